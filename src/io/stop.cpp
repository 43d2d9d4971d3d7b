#include "io/stop.h"

#include <cstdio>
#include <utility>

namespace mv {

void stop_run(std::string text, int status, std::string note) {
  throw RunStop{std::move(text), status, true, std::move(note)};
}

void file_failure(std::string message) {
  throw RunStop{"morvex7: " + std::move(message), status_file, false, {}};
}

void notice(std::string_view text) {
  const std::string line = "morvex7: notice: " + std::string(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace mv
