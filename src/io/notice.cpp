#include "io/notice.h"

#include <cstdio>

namespace mv {
namespace {

std::string* captured = nullptr;

}  // namespace

void notice(std::string_view text) {
  std::string line = "morvex7: notice: ";
  line += text;
  line += '\n';
  if (captured != nullptr) {
    *captured += line;
    return;
  }
  std::fwrite(line.data(), 1, line.size(), stderr);
}

void capture_notices(std::string* sink) { captured = sink; }

}  // namespace mv
