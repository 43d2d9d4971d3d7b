// Free-form (list-directed) reading of one record of numbers, as a READ(u,*)
// of a row record does:
// - blanks, tabs and commas separate values; blanks around a comma belong to
//   it; a line end counts as a blank, so a record may run over several lines
//   and blank lines are skipped; values left on its last line are skipped
//   (the next record starts on a new line);
// - r*c stands for r copies of the value c, r*  for r null values
//   (r from 1 to 200,000,000, digits only, no sign);
// - a null value (r*, nothing between two commas, or a comma before the first
//   value on the record's first line) leaves its item unchanged;
// - '/' ends the record early: the remaining items keep their values.
// Each copy of a repeated value is read as its own item, so 2*1 gives an
// integer and a real item alike. An integer written as 1.0 or 1e2 is an
// input error. End of file inside a record is a file-layer failure.
#pragma once
#include <cstdint>
#include <string>

namespace mv {

class ListReader {
 public:
  explicit ListReader(int32_t unit) : unit_(unit) {}
  // Each returns 0 or a positive input-error code; after a null value or
  // the end of the record, v is left as it was.
  int32_t read_int(int32_t& v);
  int32_t read_real(float& v);
  // Where the last item came from, for messages: its line in the file and its text.
  int64_t line_number() const { return line_number_; }
  const std::string& last_text() const { return last_text_; }

 private:
  enum class Item { value, null, end, error };
  enum class Separator { start, comma, blank };
  Item next_item(std::string& text);
  Item scan_item(std::string& text);
  void skip_separator();
  char peek();  // next character of the record, reading lines as needed; '\n' at a line end

  int32_t unit_;
  std::string line_;
  std::size_t pos_ = 0;
  bool have_line_ = false;
  bool ended_ = false;
  Separator last_ = Separator::start;
  int32_t repeat_left_ = 0;  // copies of repeat_text_ (a null when empty) still to give
  std::string repeat_text_;
  int32_t error_ = 0;
  int64_t line_number_ = 0;
  std::string last_text_;
};

}  // namespace mv
