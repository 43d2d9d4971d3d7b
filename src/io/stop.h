// The one way a run ends early or normally: a RunStop value thrown up to the
// executable's main, which flushes every unit, writes the stop text on the
// error stream and returns the status. Library code never calls exit.
#pragma once
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

// Ends the run after a failure of the file layer itself (missing file,
// unreadable record, end of file inside a numeric record). Status 2.
[[noreturn]] void file_failure(std::string message);

inline constexpr int status_fatal = 1;
inline constexpr int status_file = 2;

}  // namespace mv
