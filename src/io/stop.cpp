#include "io/stop.h"

#include <cstdio>
#include <exception>
#include <utility>
#include <vector>

#include "io/units.h"

namespace mv {

void stop_run(std::string text, int status, std::string note) {
  throw RunStop{std::move(text), status, true, std::move(note)};
}

void file_failure(std::string message, int status) {
  throw RunStop{"morvex7: " + std::move(message), status, false, {}};
}

int run_program(void (*main_program)()) {
  RunStop end{{}, 0, false, {}};
  try {
    main_program();
  } catch (const RunStop& stop) {
    end = stop;
  } catch (const std::exception& e) {
    end = RunStop{std::string("morvex7: internal error: ") + e.what(), status_internal, false, {}};
  }
  const std::vector<RunStop> lost = finish_units();
  if (!end.note.empty()) std::fprintf(stderr, "%s\n", end.note.c_str());
  if (!end.text.empty()) std::fprintf(stderr, end.stop_word ? "STOP %s\n" : "%s\n", end.text.c_str());
  for (const RunStop& failure : lost) std::fprintf(stderr, "%s\n", failure.text.c_str());
  // Output that never reached its file outweighs a normal end or a fault of
  // the input; a failure already under way keeps its own status.
  const bool keeps_status = end.status != 0 && end.status != status_fatal;
  if (lost.empty() || keeps_status) return end.status;
  return lost.front().status;
}

}  // namespace mv
