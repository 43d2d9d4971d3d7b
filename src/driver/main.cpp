// The morvex7 executable: runs the main program in the working directory and
// turns the way the run ended into the stop text and the exit status.
#include <cstdio>
#include <exception>

#include "driver/mainprog.h"
#include "io/stop.h"
#include "io/units.h"

int main() {
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
