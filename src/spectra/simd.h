// Single-precision vectors for the kernels of this folder. Lanes are
// independent: a vector operation is four (or eight) IEEE operations side by
// side, so a kernel written with them gives the bits of the scalar loop it
// replaces as long as each lane sees its operations in the scalar order.
//
// Kernels are templates on the vector type, instantiated three times: with
// four lanes for any x86-64 (or other) processor, with eight inside functions
// compiled for AVX2 and with sixteen inside functions compiled for AVX-512,
// each used when the processor has it. Everything a kernel calls with vectors
// is always inlined, so no vector ever crosses a call between code compiled
// for different instruction sets; width() says which one runs. Neither
// target enables fused multiply-add
// and the build forbids contraction: every instantiation gives the same bits
// (CI disassembles the engine to make sure no fused instruction slipped in).
#pragma once
#include <cstdint>

// Wide vectors live only inside always-inlined kernels compiled for their
// instruction set: no vector crosses a call, whatever this warning says.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace mv::simd {

typedef float v4 __attribute__((vector_size(16)));
typedef float v8 __attribute__((vector_size(32)));
typedef float v16 __attribute__((vector_size(64)));

template <class V>
inline constexpr int32_t lanes = static_cast<int32_t>(sizeof(V) / sizeof(float));

template <class V>
[[gnu::always_inline]] inline V load(const float* p) {
  V v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}
template <class V>
[[gnu::always_inline]] inline void store(float* p, V v) {
  __builtin_memcpy(p, &v, sizeof v);
}
template <class V>
[[gnu::always_inline]] inline V splat(float x);
// A broadcast of lane 0 (the initialiser list form becomes a chain of lane
// inserts in GCC 12 instead of one broadcast instruction).
#if defined(__clang__)
template <>
[[gnu::always_inline]] inline v4 splat<v4>(float x) {
  return v4{x, x, x, x};
}
template <>
[[gnu::always_inline]] inline v8 splat<v8>(float x) {
  return v8{x, x, x, x, x, x, x, x};
}
template <>
[[gnu::always_inline]] inline v16 splat<v16>(float x) {
  return v16{x, x, x, x, x, x, x, x, x, x, x, x, x, x, x, x};
}
#else
template <>
[[gnu::always_inline]] inline v4 splat<v4>(float x) {
  typedef int32_t mask __attribute__((vector_size(16)));
  return __builtin_shuffle(v4{x}, mask{});
}
template <>
[[gnu::always_inline]] inline v8 splat<v8>(float x) {
  typedef int32_t mask __attribute__((vector_size(32)));
  return __builtin_shuffle(v8{x}, mask{});
}
template <>
[[gnu::always_inline]] inline v16 splat<v16>(float x) {
  typedef int32_t mask __attribute__((vector_size(64)));
  return __builtin_shuffle(v16{x}, mask{});
}
#endif

// x[0..3] as the rows of a 4 x 4 block become its columns.
[[gnu::always_inline]] inline void transpose(v4* x) {
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
  typedef int32_t mask __attribute__((vector_size(16)));
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

// The vector width the kernels use: what limit_width() asked for, else the
// environment variable MORVEX7_LANES (4, 8 or 16), else 8 lanes; never more
// than the processor offers (16 with AVX-512 foundation, 8 with AVX2, else
// 4). Sixteen lanes are not the default: on the development machine the
// AVX-512 instantiations of the eigen kernels ran at half the speed of the
// AVX2 ones (lower clock, same port count), so they serve only where asked.
int32_t width();
// Chooses the width (4, 8 or 16; tests run every instantiation this way);
// 0 returns to the default.
void limit_width(int32_t lanes);
// What the processor offers.
int32_t widest_available();

}  // namespace mv::simd
