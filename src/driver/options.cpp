#include "driver/options.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace mv {

const char* const usage_line =
    "usage: morvex7 [--threads N] [--work-array CELLS] [DIR]   (morvex7 --help for more)";

const char* const help_text =
    R"(usage: morvex7 [--threads N] [--work-array CELLS] [DIR]
       morvex7 --help | --version

Reads the command file fort.50 of the run directory DIR (default: the working
directory) to its end, computes the spectra it asks for and writes the results
beside it. Nothing is asked interactively.

Options:
  --threads N         threads that share the large kernels (default:
                      MORVEX7_THREADS, else every core); the results are the
                      same bits for every N
  --work-array CELLS  size of the work array that holds every matrix of a
                      calculation, in cells of 4 bytes (default 10000000);
                      memory is taken only as the model uses it and the
                      results do not depend on the size
  DIR                 the run directory: morvex7 enters it before it opens
                      any file (one DIR at most)
  -h, --help          this text
  --version           the version of morvex7

Files read in the run directory:
  fort.50             the command file: band-calculation blocks, each with
                      its triad lines up to ENDTRIADS
  FTN14               the coefficient file: numbered reduced-matrix blocks
  FTN15               the recipe file: IRREP tables, REDUCEDMATRIX recipes
Files written there:
  fort.44             command echo, ground-state report, spectra
  fort.43             every ground-state energy
  fort.45, fort.46    intermediate-state plot file and listing (Auger runs)
  fort.62, ...        total-yield curve of triad 1, 2, ... (Auger runs)
  FTN98, FTN99        store files: diagonalisations of this run; the
                      unformatted copy of FTN14 that OLDCOWAN reads back
The log goes to standard output, the closing STOP line to standard error.

Environment:
  MORVEX7_THREADS     the thread count when --threads is not given
  MORVEX7_LANES       vector width of the kernels: 4, 8 (default) or 16, at
                      most what the processor offers

Exit status:
  0   normal end: the command file was read to its end
  1   the run stopped on a fault in the model or its input (the log says why)
  2   a file could not be opened, read or written, or the command line was
      refused
  3   an internal error (please report it with the input files)

Examples:
  morvex7 > log.txt              run here, the log in log.txt
  cp -r examples/charge_transfer ct && morvex7 ct > ct/log.txt
                                 a copy of a shipped example, run in ct/
  morvex7 --threads 1 ct         the same run on one core
)";

namespace {

// A whole positive decimal count, or nothing.
std::optional<int32_t> count(std::string_view text) {
  int32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || value < 1) return std::nullopt;
  return value;
}

bool is_option(std::string_view arg) { return arg.size() > 1 && arg[0] == '-'; }

// Reads the value of --threads or --work-array (as --name N or --name=N) at
// argv[k], advancing k past it; false with `error` set when it is wrong.
bool read_count(int argc, const char* const* argv, int& k, std::string_view name, int32_t least,
                int32_t& target, std::string& error) {
  const std::string_view arg = argv[k];
  std::string_view value;
  if (name.size() < arg.size()) {
    value = arg.substr(name.size() + 1);
  } else if (k + 1 < argc) {
    value = argv[++k];
  } else {
    error = std::string(name) + " needs a count";
    return false;
  }
  const std::optional<int32_t> n = count(value);
  if (!n || *n < least) {
    error = std::string(name) + " needs a whole number of at least " + std::to_string(least) +
            ", not '" + std::string(value) + "'";
    return false;
  }
  target = *n;
  return true;
}

}  // namespace

std::optional<Options> parse_options(int argc, const char* const* argv, std::string& error) {
  Options o;
  for (int k = 1; k < argc; ++k) {
    const std::string_view arg = argv[k];
    if (arg == "--") break;
    if (arg == "-h" || arg == "--help") o.action = Options::Action::help;
    if (arg == "--version" && o.action == Options::Action::run) o.action = Options::Action::version;
  }
  if (o.action != Options::Action::run) return o;

  if (const char* env = std::getenv("MORVEX7_THREADS"); env != nullptr && *env != '\0') {
    const std::optional<int32_t> n = count(env);
    if (!n) {
      error = "MORVEX7_THREADS must be a positive whole number, not '" + std::string(env) + "'";
      return std::nullopt;
    }
    o.threads = *n;
  }
  bool options_end = false;
  for (int k = 1; k < argc; ++k) {
    const std::string_view arg = argv[k];
    if (!options_end && arg == "--") {
      options_end = true;
      continue;
    }
    if (!options_end && is_option(arg)) {
      const std::string_view name = arg.substr(0, arg.find('='));
      bool ok = false;
      if (name == "--threads") {
        ok = read_count(argc, argv, k, name, 1, o.threads, error);
      } else if (name == "--work-array") {
        // Cell 1 is the first in use and the size check keeps one cell spare.
        ok = read_count(argc, argv, k, name, 2, o.work_array, error);
      } else {
        error = "unknown option '" + std::string(arg) + "'";
      }
      if (!ok) return std::nullopt;
      continue;
    }
    if (!o.directory.empty()) {
      error = "one run directory at most: '" + o.directory + "' and '" + std::string(arg) +
              "' were given";
      return std::nullopt;
    }
    if (arg.empty()) {
      error = "the run directory is an empty name";
      return std::nullopt;
    }
    o.directory = arg;
  }
  return o;
}

bool enter_directory(const std::string& dir, std::string& error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status st = fs::status(dir, ec);
  if (st.type() == fs::file_type::not_found) {
    error = "there is no directory '" + dir + "'";
    return false;
  }
  if (ec) {
    error = "cannot reach the directory '" + dir + "': " + ec.message();
    return false;
  }
  if (fs::is_regular_file(st)) {
    error = "'" + dir +
            "' is a file, not a directory: DIR must be the run directory, and the command file "
            "is fort.50 in it (beside FTN14 and FTN15)";
    return false;
  }
  if (!fs::is_directory(st)) {
    error = "'" + dir + "' is not a directory";
    return false;
  }
  if (::chdir(dir.c_str()) != 0) {
    error = "cannot enter the directory '" + dir + "': " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace mv
