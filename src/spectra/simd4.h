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

// x[0..3] as the rows of a 4 x 4 block become its columns.
inline void transpose(v4* x) {
#if defined(__clang__)
  const v4 t0 = __builtin_shufflevector(x[0], x[1], 0, 4, 1, 5);
  const v4 t1 = __builtin_shufflevector(x[2], x[3], 0, 4, 1, 5);
  const v4 t2 = __builtin_shufflevector(x[0], x[1], 2, 6, 3, 7);
  const v4 t3 = __builtin_shufflevector(x[2], x[3], 2, 6, 3, 7);
  x[0] = __builtin_shufflevector(t0, t1, 0, 1, 4, 5);
  x[1] = __builtin_shufflevector(t0, t1, 2, 3, 6, 7);
  x[2] = __builtin_shufflevector(t2, t3, 0, 1, 4, 5);
  x[3] = __builtin_shufflevector(t2, t3, 2, 3, 6, 7);
#else
  typedef int mask __attribute__((vector_size(16)));
  const v4 t0 = __builtin_shuffle(x[0], x[1], mask{0, 4, 1, 5});
  const v4 t1 = __builtin_shuffle(x[2], x[3], mask{0, 4, 1, 5});
  const v4 t2 = __builtin_shuffle(x[0], x[1], mask{2, 6, 3, 7});
  const v4 t3 = __builtin_shuffle(x[2], x[3], mask{2, 6, 3, 7});
  x[0] = __builtin_shuffle(t0, t1, mask{0, 1, 4, 5});
  x[1] = __builtin_shuffle(t0, t1, mask{2, 3, 6, 7});
  x[2] = __builtin_shuffle(t2, t3, mask{0, 1, 4, 5});
  x[3] = __builtin_shuffle(t2, t3, mask{2, 3, 6, 7});
#endif
}

}  // namespace mv::simd
