// The run-description string: 80 characters that the calculation driver
// writes for every calculation (band sizes, W, DEL, UVV, UCV, three 5-character
// labels). Plot headers and spectrum blocks quote columns of it.
#pragma once
#include <cstdint>
#include <string>

namespace mv {

struct information_block {
  std::string text = std::string(80, ' ');
};
extern information_block information;

// Characters first..last (1-based, inclusive) of the run-description string,
// read as if it were blank-padded to 80 characters.
std::string information_columns(int32_t first, int32_t last);

}  // namespace mv
