// The line reader's state, the line and token routines, and the reader's own
// run support (newfil, status). Number readers, checks and reports live in
// reader_numbers.cpp and reader_report.cpp.
#include "input/reader.h"

#include <algorithm>

#include "io/format.h"
#include "io/units.h"

namespace mv {

inline_block inline_;
chline_block chline;
ctrace_block ctrace;
comwarn_block comwarn;

namespace {

constexpr int32_t used_up = line_length + 1;  // column value meaning "read a new line"
constexpr int32_t echo_unit = 44;

char at(int32_t column) { return chline.line[static_cast<std::size_t>(column - 1)]; }

}  // namespace

std::string_view trimmed(std::string_view text) {
  std::size_t end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

bool same_word(std::string_view token, std::string_view keyword) {
  return trimmed(token) == trimmed(keyword);
}

std::string padded(std::string_view text, std::size_t n) {
  std::string s(text.substr(0, std::min(n, text.size())));
  s.resize(n, ' ');
  return s;
}

void uppercase(std::string& text, std::size_t n) {
  n = std::min(n, text.size());
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c == '_') continue;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    text[kept++] = c;
  }
  for (; kept < n; ++kept) text[kept] = ' ';
}

void newlin() {
  std::string raw;
  const int32_t code = read_line(inline_.unit, raw);
  ioerr(code, "NEWLIN");  // at the end of unit 50 the run ends here
  chline.line = padded(raw, line_length);
  inline_.line_count += 1;
  inline_.column = 1;
  if (inline_.unit != command_unit) return;
  uppercase(chline.line, line_length);
  write(echo_unit, "(1x,a79)", chline.line);
}

Token chaget() {
  Token token(token_length, ' ');
  for (;;) {
    if (inline_.column == used_up) newlin();
    while (inline_.column <= line_length && at(inline_.column) == ' ') ++inline_.column;
    if (inline_.column > line_length) {
      inline_.column = used_up;  // blank rest of line: go on with the next
      continue;
    }
    if (at(inline_.column) == '%') {  // a word opening with % comments out the line
      newlin();
      continue;
    }
    break;
  }
  int32_t length = 0;
  while (inline_.column <= line_length && at(inline_.column) != ' ') {
    ++length;
    if (length > token_length) {
      // Reported while the column still points at the dropped character, so
      // the position report marks it.
      list_write(6, "string longer than 20 characters is not allowed");
      warn(10);
    } else {
      token[static_cast<std::size_t>(length - 1)] = at(inline_.column);
    }
    ++inline_.column;
  }
  return token;
}

void newfil(int32_t unit) {
  inline_.unit = unit;
  inline_.column = used_up;
  inline_.line_count = 0;
  chline.line.assign(line_length, ' ');
}

void status(std::string_view text) { ctrace.name = padded(text, token_length); }

void reset_reader() {
  inline_ = {};
  chline = {};
  ctrace = {};
  comwarn = {};
}

}  // namespace mv
