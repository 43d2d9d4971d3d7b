#include "output/information.h"

namespace mv {

information_block information;

std::string information_columns(int32_t first, int32_t last) {
  std::string padded = information.text;
  // The driver always writes 80 characters; a shorter text (a test, a reset
  // block) reads as blanks beyond its end, like a Fortran character variable.
  if (padded.size() < static_cast<std::size_t>(last))
    padded.resize(static_cast<std::size_t>(last), ' ');
  return padded.substr(static_cast<std::size_t>(first - 1),
                       static_cast<std::size_t>(last - first + 1));
}

}  // namespace mv
