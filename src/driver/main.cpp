// The morvex7 executable: reads the command line (driver/options.h), runs the
// main program in the run directory and turns the way the run ended into the
// stop text and the exit status.
//   morvex7 [--threads N] [--work-array CELLS] [DIR]
// N threads (default: MORVEX7_THREADS from the environment, else every core)
// share the large kernels; the results are the same bits for every N.
// CELLS sizes the work array (default 10,000,000 cells of 4 bytes); memory is
// taken only as the model uses it, and the results do not depend on it.
#include <cstdio>
#include <optional>
#include <string>

#include "driver/mainprog.h"
#include "driver/options.h"
#include "io/signals.h"
#include "io/stop.h"
#include "parallel/pool.h"
#include "workarray/heap.h"

namespace {

// The status after --help or --version: a text that could not be written
// (standard output full or closed) is a failure, not a success.
int finish_stdout() {
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return 0;
  std::fprintf(stderr, "morvex7: cannot write to standard output\n");
  return mv::status_file;
}

}  // namespace

int main(int argc, char** argv) {
  mv::guard_run();  // before any thread, so that every thread inherits its mask
  std::string error;
  const std::optional<mv::Options> options = mv::parse_options(argc, argv, error);
  if (!options) {
    std::fprintf(stderr, "morvex7: %s\n%s\n", error.c_str(), mv::usage_line);
    return mv::status_file;
  }
  if (options->action == mv::Options::Action::help) {
    std::fputs(mv::help_text, stdout);
    return finish_stdout();
  }
  if (options->action == mv::Options::Action::version) {
    std::printf("morvex7 %s\n", MORVEX7_VERSION);
    return finish_stdout();
  }
  // Before anything else, so that every file of the run is DIR's.
  if (!options->directory.empty() && !mv::enter_directory(options->directory, error)) {
    std::fprintf(stderr, "morvex7: %s\n", error.c_str());
    return mv::status_file;
  }
  mv::parallel::set_threads(options->threads);
  if (options->work_array != mv::default_heap_cells && !mv::set_heap_cells(options->work_array)) {
    std::fprintf(stderr, "morvex7: cannot reserve a work array of %d cells\n", options->work_array);
    return 2;
  }
  return mv::run_program([] { mv::MAIN(); });
}
