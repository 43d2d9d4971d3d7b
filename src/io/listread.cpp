#include "io/listread.h"

#include <charconv>

#include "io/numedit.h"
#include "io/stop.h"
#include "io/units.h"

namespace mv {
namespace {

// The largest repeat count the Fortran run-time library accepts.
constexpr int64_t max_repeat = 200000000;

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool ends_value(char c) { return is_blank(c) || c == ',' || c == '/'; }

// The r of r*c: digits only, 1..max_repeat; 0 when it is not one.
int32_t repeat_count(std::string_view digits, int32_t& error) {
  int64_t r = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') {
      error = ioerr_bad_value;
      return 0;
    }
    r = r * 10 + (c - '0');
    if (r > max_repeat) {
      error = ioerr_overflow;
      return 0;
    }
  }
  if (digits.empty() || r == 0) {
    error = ioerr_bad_value;
    return 0;
  }
  return static_cast<int32_t>(r);
}

}  // namespace

// The next character that is not a blank, reading further lines of the
// record as needed. A line end is a blank; one passed before anything was
// read means that a comma on a later line no longer stands for a first null.
char ListReader::peek() {
  for (;;) {
    if (!have_line_) {
      TextLine whole;
      if (read_line(unit_, static_cast<std::size_t>(max_line_bytes), whole) != 0) {
        file_failure("end of file inside a numeric record on unit " + std::to_string(unit_));
      }
      line_ = std::move(whole.kept);
      line_number_ = whole.number;
      have_line_ = true;
      pos_ = 0;
    }
    while (pos_ < line_.size() && is_blank(line_[pos_])) ++pos_;
    if (pos_ < line_.size()) return line_[pos_];
    have_line_ = false;
    if (last_ == Separator::start) last_ = Separator::blank;
  }
}

// After a value: its separator, looked for on the current line only (the
// record may end here, and the next one starts on a new line). A '/' is left
// for the next item to find.
void ListReader::skip_separator() {
  while (pos_ < line_.size() && is_blank(line_[pos_])) ++pos_;
  if (pos_ < line_.size() && line_[pos_] == ',') {
    ++pos_;
    last_ = Separator::comma;
    return;
  }
  last_ = Separator::blank;
}

// One item as it stands in the record: a value's text, a null (a comma right
// after another one or at the start), or the end ('/').
ListReader::Item ListReader::scan_item(std::string& text) {
  for (;;) {
    const char c = peek();
    if (c == '/') {
      ended_ = true;
      return Item::end;
    }
    if (c == ',') {
      ++pos_;
      const bool null = last_ != Separator::blank;
      last_ = Separator::comma;  // blanks before a comma belong to it
      if (null) return Item::null;
      continue;
    }
    const std::size_t start = pos_;
    while (pos_ < line_.size() && !ends_value(line_[pos_])) ++pos_;
    text = line_.substr(start, pos_ - start);
    skip_separator();
    return Item::value;
  }
}

// The next item of the list, giving out the copies of a repeated value first.
ListReader::Item ListReader::next_item(std::string& text) {
  if (ended_) return Item::end;
  if (repeat_left_ > 0) {
    --repeat_left_;
    text = repeat_text_;
    return text.empty() ? Item::null : Item::value;
  }
  const Item item = scan_item(text);
  if (item != Item::value) return item;
  const std::size_t star = text.find('*');
  if (star == std::string::npos) return item;
  error_ = 0;
  const int32_t r = repeat_count(std::string_view(text).substr(0, star), error_);
  if (r == 0) return Item::error;
  repeat_text_ = text.substr(star + 1);
  if (repeat_text_.find('*') != std::string::npos) {
    error_ = ioerr_bad_value;
    return Item::error;
  }
  repeat_left_ = r - 1;
  text = repeat_text_;
  return text.empty() ? Item::null : Item::value;
}

int32_t ListReader::read_int(int32_t& v) {
  std::string text;
  const Item item = next_item(text);
  if (item == Item::error) return error_;
  if (item != Item::value) return 0;
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
  const Item item = next_item(text);
  if (item == Item::error) return error_;
  if (item != Item::value) return 0;
  if (text == "+" || text == "-" || text == ".") return ioerr_bad_value;
  last_text_ = text;
  float value = 0.0f;
  int32_t code = read_real_e_field(text, value);
  if (code == 0) v = value;
  return code;
}

}  // namespace mv
