// The band-shape polynomial: order n (0..25) and coefficients c(0..n) in powers
// of the reduced energy t in [-1, 1]. SQUARE, CIRCLE and SHAPE set it; the
// default (order 0, c(0) = 1) is the square band.
#pragma once
#include <cstdint>

namespace mv {

struct bandexpansion_block {
  int32_t order = 0;
  float c[26] = {1.0f};
};
extern bandexpansion_block bandexpansion;

}  // namespace mv
