// The one way a run ends early or normally: a RunStop value thrown up to the
// executable's main, which hands it to run_program: every unit is written
// out, the stop text goes to the error stream and the status is returned.
// Library code never calls exit.
#pragma once
#include <csignal>
#include <string>

namespace mv {

struct RunStop {
  std::string text;       // stop text, or the whole message of a file-layer failure
  int status = 0;         // process exit status
  bool stop_word = true;  // true: the error stream gets "STOP " + text
  std::string note;       // if not empty, a line for the error stream before the stop
};

// Ends the run with "STOP <text>" on the error stream and the given status,
// after the note's line if there is one.
[[noreturn]] void stop_run(std::string text, int status, std::string note = {});

inline constexpr int status_fatal = 1;
inline constexpr int status_file = 2;
inline constexpr int status_internal = 3;
// A signal ends the run with 128 + its number, as a shell reports it; a
// pipe whose reader has gone counts as SIGPIPE.
inline constexpr int status_signal_base = 128;
inline constexpr int status_broken_pipe = status_signal_base + SIGPIPE;

// Ends the run after a failure of the file layer itself (missing file,
// unreadable record, end of file inside a numeric record, a write that
// fails): "morvex7: <message>" on the error stream, status 2 unless given.
[[noreturn]] void file_failure(std::string message, int status = status_file);

// Runs the main program and ends the run: every unit is written out and
// closed, the stop's note and text go to the error stream, then a line for
// each file that could not take its last records. Returns the exit status:
// the stop's, or the failure's when files could not be written after a
// normal end or a fatal stop.
int run_program(void (*main_program)());

}  // namespace mv
