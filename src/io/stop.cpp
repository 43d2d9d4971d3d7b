#include "io/stop.h"

#include <utility>

namespace mv {

void stop_run(std::string text, int status, std::string note) {
  throw RunStop{std::move(text), status, true, std::move(note)};
}

void file_failure(std::string message) {
  throw RunStop{"morvex7: " + std::move(message), status_file, false, {}};
}

}  // namespace mv
