// Run-support routines used everywhere: the single fatal stop and the
// CPU-time line. The line reader's own support (newfil, status) lives with
// the reader in input/reader.h.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace mv {

// Writes the message as a free-format line on unit 6, then stops the run with
// the stop text "quitprog: see output" and the fatal status.
[[noreturn]] void quitprog(std::string_view message);
// The same, with a line for the error stream that tells the user what to do.
[[noreturn]] void quitprog(std::string_view message, std::string note);

void clok(float& seconds);           // no clock: always 0.0
void cputime();                      // " ****** CPU TIME =", f11.4, " SEC.*****"
void timing(std::string_view text);  // milestone hook, does nothing

// The debug level block.
struct debug_block {
  int32_t level = 0;
};
extern debug_block debug;

}  // namespace mv
