// The line reader's state, the line and token routines, and the reader's own
// run support (newfil, status). Number readers, checks and reports live in
// reader_numbers.cpp and reader_report.cpp.
#include "input/reader.h"

#include <algorithm>

#include "io/format.h"
#include "io/notice.h"
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

// The cut text as it can be shown on one line of the error stream.
std::string shown(const TextLine& raw) {
  std::string s;
  for (const char ch : trimmed(raw.cut_excerpt)) {
    const auto b = static_cast<unsigned char>(ch);
    if (b >= 0x20 && b < 0x7f) {
      s += ch;
      continue;
    }
    const char* hex = "0123456789abcdef";
    s += "\\x";
    s += hex[b >> 4];
    s += hex[b & 15];
  }
  const int64_t shown_end = raw.cut_column - 1 + static_cast<int64_t>(raw.cut_excerpt.size());
  if (shown_end < raw.length) s += "...";
  return s;
}

// Fortran reads only the first 136 columns of a line and drops the rest
// without a word; a parameter written there would never be set, so the user
// is told (on the error stream: the log of the run stays as it is).
void notice_cut_line(const TextLine& raw) {
  notice(unit_name(inline_.unit) + " line " + std::to_string(raw.number) + " has " +
         std::to_string(raw.length) + " columns; only the first " + std::to_string(line_length) +
         " are read, ignored from column " + std::to_string(raw.cut_column) + ": \"" + shown(raw) +
         "\"");
}

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
  TextLine raw;
  const int32_t code = read_line(inline_.unit, line_length, raw);
  ioerr(code, "NEWLIN");  // at the end of unit 50 the run ends here
  chline.line = padded(raw.kept, line_length);
  inline_.line_count += 1;
  inline_.column = 1;
  if (inline_.unit != command_unit) return;
  if (raw.cut_column != 0) notice_cut_line(raw);
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
