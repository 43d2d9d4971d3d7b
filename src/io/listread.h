// Free-form (list-directed) reading of one record of numbers, as a READ(u,*)
// of a row record does: blanks and commas separate values, blank lines are
// skipped, a record may run over several lines, values left on its last line
// are skipped (the next record starts on a new line), '/' ends the record
// early (the remaining items keep their values). An integer written as 1.0 or
// 1e2 is an input error. End of file inside a record is a file-layer failure.
#pragma once
#include <cstdint>
#include <string>

namespace mv {

class ListReader {
 public:
  explicit ListReader(int32_t unit) : unit_(unit) {}
  // Each returns 0 or a positive input-error code.
  int32_t read_int(int32_t& v);
  int32_t read_real(float& v);

 private:
  bool next_value(std::string& text);  // false after '/'
  int32_t unit_;
  std::string line_;
  std::size_t pos_ = 0;
  bool have_line_ = false;
  bool ended_ = false;
};

}  // namespace mv
