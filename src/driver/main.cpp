// The morvex7 executable: reads the command line, runs the main program in
// the working directory and turns the way the run ended into the stop text
// and the exit status.
//   morvex7 [--threads N] [--work-array CELLS]
// N threads (default: MORVEX7_THREADS from the environment, else every core)
// share the large kernels; the results are the same bits for every N.
// CELLS sizes the work array (default 10,000,000 cells of 4 bytes); memory is
// taken only as the model uses it, and the results do not depend on it.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "driver/mainprog.h"
#include "io/signals.h"
#include "io/stop.h"
#include "parallel/pool.h"
#include "workarray/heap.h"

namespace {

struct Options {
  int32_t threads = 0;  // 0: every core
  int32_t work_array = mv::default_heap_cells;
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
    std::string_view name = arg.substr(0, arg.find('='));
    int32_t* target = name == "--threads"      ? &o.threads
                      : name == "--work-array" ? &o.work_array
                                               : nullptr;
    if (target == nullptr) {
      error = "unknown argument '" + std::string(arg) + "'";
      return std::nullopt;
    }
    std::string_view value;
    if (name.size() < arg.size()) {
      value = arg.substr(name.size() + 1);
    } else if (k + 1 < argc) {
      value = argv[++k];
    } else {
      error = std::string(name) + " needs a count";
      return std::nullopt;
    }
    const std::optional<int32_t> n = count(value);
    // Cell 1 is the first in use and the check keeps one cell spare.
    const int32_t least = target == &o.work_array ? 2 : 1;
    if (!n || *n < least) {
      error = std::string(name) + " needs a whole number of at least " + std::to_string(least) +
              ", not '" + std::string(value) + "'";
      return std::nullopt;
    }
    *target = *n;
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  mv::guard_run();  // before any thread, so that every thread inherits its mask
  std::string error;
  const std::optional<Options> options = parse_options(argc, argv, error);
  if (!options) {
    std::fprintf(stderr, "morvex7: %s\nusage: morvex7 [--threads N] [--work-array CELLS]\n",
                 error.c_str());
    return 2;
  }
  mv::parallel::set_threads(options->threads);
  if (options->work_array != mv::default_heap_cells && !mv::set_heap_cells(options->work_array)) {
    std::fprintf(stderr, "morvex7: cannot reserve a work array of %d cells\n", options->work_array);
    return 2;
  }
  return mv::run_program(mv::MAIN);
}
