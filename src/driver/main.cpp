// The morvex7 executable: reads the command line, runs the main program in
// the working directory and turns the way the run ended into the stop text
// and the exit status.
//   morvex7 [--threads N]
// N threads (default: MORVEX7_THREADS from the environment, else every core)
// share the large kernels; the results are the same bits for every N.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "driver/mainprog.h"
#include "io/stop.h"
#include "io/units.h"
#include "parallel/pool.h"

namespace {

struct Options {
  int32_t threads = 0;  // 0: every core
};

// A whole positive decimal count, or nothing.
std::optional<int32_t> count(std::string_view text) {
  int32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || value < 1) return std::nullopt;
  return value;
}

// The options, or a message saying what is wrong with them.
std::optional<Options> parse_options(int argc, char** argv, std::string& error) {
  Options o;
  if (const char* env = std::getenv("MORVEX7_THREADS"); env != nullptr && *env != '\0') {
    const std::optional<int32_t> n = count(env);
    if (!n) {
      error = "MORVEX7_THREADS must be a positive whole number, not '" + std::string(env) + "'";
      return std::nullopt;
    }
    o.threads = *n;
  }
  for (int k = 1; k < argc; ++k) {
    const std::string_view arg = argv[k];
    std::string_view value;
    if (arg == "--threads") {
      if (k + 1 >= argc) {
        error = "--threads needs a count";
        return std::nullopt;
      }
      value = argv[++k];
    } else if (arg.starts_with("--threads=")) {
      value = arg.substr(10);
    } else {
      error = "unknown argument '" + std::string(arg) + "'";
      return std::nullopt;
    }
    const std::optional<int32_t> n = count(value);
    if (!n) {
      error = "--threads needs a positive whole number, not '" + std::string(value) + "'";
      return std::nullopt;
    }
    o.threads = *n;
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  const std::optional<Options> options = parse_options(argc, argv, error);
  if (!options) {
    std::fprintf(stderr, "morvex7: %s\nusage: morvex7 [--threads N]\n", error.c_str());
    return 2;
  }
  mv::parallel::set_threads(options->threads);

  int status = 0;
  try {
    mv::MAIN();
  } catch (const mv::RunStop& stop) {
    mv::flush_units();
    if (stop.stop_word) {
      std::fprintf(stderr, "STOP %s\n", stop.text.c_str());
    } else {
      std::fprintf(stderr, "%s\n", stop.text.c_str());
    }
    status = stop.status;
  } catch (const std::exception& e) {
    mv::flush_units();
    std::fprintf(stderr, "morvex7: internal error: %s\n", e.what());
    status = 3;
  }
  mv::flush_units();
  return status;
}
