#include "io/listread.h"

#include <charconv>

#include "io/numedit.h"
#include "io/stop.h"
#include "io/units.h"

namespace mv {
namespace {

bool is_separator(char c) { return c == ' ' || c == ',' || c == '\t'; }

}  // namespace

// Takes the next value of the record, reading further lines as needed.
bool ListReader::next_value(std::string& text) {
  text.clear();
  if (ended_) return false;
  for (;;) {
    if (!have_line_ || pos_ >= line_.size()) {
      if (read_line(unit_, line_) != 0) {
        file_failure("end of file inside a numeric record on unit " + std::to_string(unit_));
      }
      have_line_ = true;
      pos_ = 0;
      continue;
    }
    while (pos_ < line_.size() && is_separator(line_[pos_])) ++pos_;
    if (pos_ >= line_.size()) {
      have_line_ = false;
      continue;
    }
    if (line_[pos_] == '/') {
      ended_ = true;
      return false;
    }
    std::size_t start = pos_;
    while (pos_ < line_.size() && !is_separator(line_[pos_]) && line_[pos_] != '/') ++pos_;
    text = line_.substr(start, pos_ - start);
    return true;
  }
}

int32_t ListReader::read_int(int32_t& v) {
  std::string text;
  if (!next_value(text)) return 0;
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') ++first;
  int32_t value = 0;
  auto [p, ec] = std::from_chars(first, last, value);
  if (ec == std::errc::result_out_of_range) return ioerr_overflow;
  if (ec != std::errc() || p != last || first == last) return ioerr_bad_value;
  v = value;
  return 0;
}

int32_t ListReader::read_real(float& v) {
  std::string text;
  if (!next_value(text)) return 0;
  if (text == "+" || text == "-" || text == ".") return ioerr_bad_value;
  float value = 0.0f;
  int32_t code = read_real_e_field(text, value);
  if (code == 0) v = value;
  return code;
}

}  // namespace mv
