// Four-lane single-precision vectors for the kernels of this folder. Lanes are
// independent: a vector operation is four IEEE operations side by side, so a
// kernel written with them gives the bits of the scalar loop it replaces as
// long as each lane sees its operations in the scalar order.
#pragma once
#include <cstring>

namespace mv::simd {

typedef float v4 __attribute__((vector_size(16)));

inline v4 load(const float* p) {
  v4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store(float* p, v4 v) { std::memcpy(p, &v, sizeof v); }
inline v4 splat(float x) { return v4{x, x, x, x}; }

}  // namespace mv::simd
