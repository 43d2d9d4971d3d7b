#include "support/runsupport.h"

#include <utility>

#include "io/format.h"
#include "io/stop.h"

namespace mv {

debug_block debug;

void quitprog(std::string_view message) { quitprog(message, {}); }

void quitprog(std::string_view message, std::string note) {
  list_write(6, message);
  stop_run("quitprog: see output", status_fatal, std::move(note));
}

void clok(float& seconds) { seconds = 0.0f; }

void cputime() {
  float seconds = 0.0f;
  clok(seconds);
  write(6, "(A,f11.4,A)", " ****** CPU TIME =", seconds, " SEC.*****");
}

void timing(std::string_view) {}

}  // namespace mv
