// The command line of the morvex7 executable:
//   morvex7 [--threads N] [--work-array CELLS] [DIR]
//   morvex7 --help | --version
// Parsing is kept apart from the run so that every refusal happens before a
// file of the run is touched.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "workarray/heap.h"

namespace mv {

struct Options {
  enum class Action { run, help, version };
  Action action = Action::run;
  int32_t threads = 0;  // 0: every core
  int32_t work_array = default_heap_cells;
  std::string directory;  // "": the working directory
};

// The options of argv (and MORVEX7_THREADS from the environment), or nothing
// with `error` saying what is wrong. --help and --version win over everything
// else on the line.
std::optional<Options> parse_options(int argc, const char* const* argv, std::string& error);

// Makes `dir` the working directory; false with `error` naming it when it is
// missing, is not a directory or cannot be entered.
bool enter_directory(const std::string& dir, std::string& error);

// The short usage line written after a refused command line.
extern const char* const usage_line;
// The text of --help.
extern const char* const help_text;

}  // namespace mv
