// The input-position report, the warning counter and the handling of read
// status codes, which also decides the normal end of a run: the end of the
// command file.
#include <vector>

#include "support/runsupport.h"
#include "input/reader.h"
#include "io/format.h"
#include "io/stop.h"

namespace mv {

namespace {

constexpr int32_t report_last_column = 78;
constexpr std::string_view marker = "<";

// Last column shown after the marker: the last non-blank one up to column 78.
int32_t last_shown_column(int32_t p) {
  if (p > report_last_column) return report_last_column;
  for (int32_t c = report_last_column; c >= p; --c) {
    if (chline.line[static_cast<std::size_t>(c - 1)] != ' ') return c;
  }
  return p - 1;
}

}  // namespace

void putinp() {
  const int32_t p = inline_.column;
  const int32_t last = last_shown_column(p);
  const std::string_view line = chline.line;
  std::vector<FmtItem> items = {
      fmt_item(" routine="),  fmt_item(ctrace.name), fmt_item(" file="),
      fmt_item(inline_.unit), fmt_item(" line="),    fmt_item(inline_.line_count),
      fmt_item(" col="),      fmt_item(p),           fmt_item(" =>")};
  for (int32_t c = 1; c < p; ++c) items.push_back(fmt_item(line.substr(c - 1, 1)));
  items.push_back(fmt_item(marker));
  items.push_back(fmt_item(marker));
  for (int32_t c = p; c <= last; ++c) items.push_back(fmt_item(line.substr(c - 1, 1)));
  write_items(6, "(A,A,A,I3,A,I6,A,I3,A,/(1X,80A))", items);
}

void warn(int32_t limit) {
  if (limit != 0) {
    putinp();
    comwarn.count += 1;
    list_write(6, "***** number of warnings is ", comwarn.count, " *****");
  }
  if (comwarn.count > limit) quitprog("TOO MANY WARNINGS");
}

void ioerr(int32_t status_code, std::string_view routine) {
  if (status_code == 0) return;
  if (status_code > 0) {
    list_write(6, "IO error nr ", status_code, " encountered in ", routine, "  at:");
    warn(10);
    return;
  }
  if (inline_.unit == command_unit) {
    list_write(44, "FINISHED");
    stop_run("Normal end because of end of file on input", 0);
  }
  list_write(6, "End of file encountered in ", routine, "  at:");
  warn(10);
  quitprog("quitprog because of unwanted end of file");
}

}  // namespace mv
