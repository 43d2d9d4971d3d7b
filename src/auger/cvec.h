// Complex arithmetic on vectors of floats for the LU kernels, in two layouts:
// split (a vector of real parts beside a vector of imaginary parts) and
// interleaved (re, im, re, im, ...). Each lane performs exactly the float
// operations of the scalar formula in cplx.h, so vector and scalar code give
// the same bits. Products and sums are separate vector operations; with
// -ffp-contract=off GCC never fuses operations on vector types, and the
// files using this header are also built without FMA (src/CMakeLists.txt).
#pragma once
#include <cstdint>

#include "spectra/simd.h"

namespace mv::lu {

using simd::lanes;
using simd::load;
using simd::splat;
using simd::store;
using simd::v4;
using simd::v8;

// y <- y + t*x on split lanes: yr + (tr*xr - ti*xi), yi + (tr*xi + ti*xr).
template <class V>
[[gnu::always_inline]] inline void madd(V& yr, V& yi, V tr, V ti, V xr, V xi) {
  const V ac = tr * xr;
  const V bd = ti * xi;
  const V ad = tr * xi;
  const V bc = ti * xr;
  yr = yr + (ac - bd);
  yi = yi + (ad + bc);
}

// x with each (re, im) pair exchanged.
template <class V>
[[gnu::always_inline]] inline V swap_pairs(V x);
// Even lanes from s, odd lanes from p.
template <class V>
[[gnu::always_inline]] inline V even_odd(V s, V p);

typedef int32_t m4 __attribute__((vector_size(16)));
typedef int32_t m8 __attribute__((vector_size(32)));

// The integer vector of the same lanes, for masks and sign bits.
template <class V>
struct int_lanes;
template <>
struct int_lanes<v4> {
  using type = m4;
};
template <>
struct int_lanes<v8> {
  using type = m8;
};

// |Re| + |Im| lane by lane, as std::fabs does it: the sign bit cleared.
template <class V>
[[gnu::always_inline]] inline V cabs1(V re, V im) {
  using iv = typename int_lanes<V>::type;
  const iv nosign = iv{} + 0x7fffffff;
  return (V)((iv)re & nosign) + (V)((iv)im & nosign);
}

template <>
[[gnu::always_inline]] inline v4 swap_pairs<v4>(v4 x) {
  return __builtin_shuffle(x, m4{1, 0, 3, 2});
}
template <>
[[gnu::always_inline]] inline v8 swap_pairs<v8>(v8 x) {
  return __builtin_shuffle(x, m8{1, 0, 3, 2, 5, 4, 7, 6});
}
template <>
[[gnu::always_inline]] inline v4 even_odd<v4>(v4 s, v4 p) {
  return __builtin_shuffle(s, p, m4{0, 5, 2, 7});
}
template <>
[[gnu::always_inline]] inline v8 even_odd<v8>(v8 s, v8 p) {
  return __builtin_shuffle(s, p, m8{0, 9, 2, 11, 4, 13, 6, 15});
}

// t*x for lanes/2 interleaved complex numbers x: the real lanes take
// tr*xr - ti*xi (a true subtraction), the imaginary lanes tr*xi + ti*xr.
template <class V>
[[gnu::always_inline]] inline V cmul(V tr, V ti, V x) {
  const V a = tr * x;
  const V b = ti * swap_pairs(x);
  return even_odd(a - b, a + b);
}

}  // namespace mv::lu
