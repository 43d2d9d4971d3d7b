// Single-precision complex arithmetic of the LU routines, written out in
// float: (a + bi)(c + di) = (ac - bd) + (ad + bc)i, and the scaled division.
//
// Every product is kept a value of its own before it is added. GCC pairs the
// real and imaginary halves of a complex product into one fused
// multiply-add-subtract (vfmaddsub) when FMA or AVX-512 is enabled, whatever
// -ffp-contract says; the fused form rounds once instead of twice and the
// results change. An empty asm that claims to modify the product makes that
// pairing impossible at any optimisation level and for any -march.
#pragma once
#include <cmath>
#include <cstddef>

namespace mv::lu {

struct cplx {
  float re;
  float im;
};

// x, unchanged, but opaque to the optimiser.
[[gnu::always_inline]] inline float kept(float x) {
#if defined(__x86_64__) || defined(__i386__)
  asm("" : "+x"(x));
#else
  asm("" : "+g"(x));
#endif
  return x;
}

[[gnu::always_inline]] inline float cabs1(cplx z) { return std::fabs(z.re) + std::fabs(z.im); }

[[gnu::always_inline]] inline cplx mul(cplx x, cplx y) {
  const float ac = kept(x.re * y.re), bd = kept(x.im * y.im);
  const float ad = kept(x.re * y.im), bc = kept(x.im * y.re);
  return {ac - bd, ad + bc};
}

// Scaled division: divide by the larger component first, so that neither
// |c|^2 + |d|^2 nor the quotients overflow before the result does.
inline cplx div(cplx x, cplx y) {
  const float a = x.re, b = x.im, c = y.re, d = y.im;
  if (std::fabs(c) >= std::fabs(d)) {
    const float r = d / c;
    const float den = c + kept(d * r);
    return {(a + kept(b * r)) / den, (b - kept(a * r)) / den};
  }
  const float r = c / d;
  const float den = kept(c * r) + d;
  return {(kept(a * r) + b) / den, (kept(b * r) - a) / den};
}

inline cplx neg(cplx z) { return {-z.re, -z.im}; }
inline cplx conj(cplx z) { return {z.re, -z.im}; }

// Element i (0-based) of an interleaved complex vector.
[[gnu::always_inline]] inline cplx get(const float* p, std::ptrdiff_t i) {
  return {p[2 * i], p[2 * i + 1]};
}
[[gnu::always_inline]] inline void put(float* p, std::ptrdiff_t i, cplx z) {
  p[2 * i] = z.re;
  p[2 * i + 1] = z.im;
}

}  // namespace mv::lu
