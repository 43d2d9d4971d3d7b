// Notices: remarks on a run that goes on, meant for the user rather than the
// log. They go to the error stream, one line each with the prefix
// "morvex7: notice: ", so that standard output stays what the run computed.
#pragma once
#include <string>
#include <string_view>

namespace mv {

void notice(std::string_view text);

// Test hook: while sink is set, notices are appended to it (a line each)
// instead of going to the error stream; nullptr restores the stream.
void capture_notices(std::string* sink);

}  // namespace mv
