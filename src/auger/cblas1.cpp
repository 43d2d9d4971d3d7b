// Level-1 complex helpers of the LU routines (LINPACK's ICAMAX, CSCAL, CAXPY,
// CDOTC) on interleaved single-precision complex vectors.
// Cost: n complex operations each. cscal and caxpy run vectorised on unit
// strides (several floats at a time, each lane doing the scalar
// operations in the scalar order), so every stride gives the scalar bits.
// Eight lanes where the processor has AVX2, else four (sixteen were slower).
#include "auger/cgefa.h"
#include "auger/cplx.h"
#include "auger/cvec.h"

namespace mv {

namespace {

using namespace lu;

// Start of a strided sweep over n elements: a negative increment walks the
// vector from its far end, as the reference BLAS does.
int32_t first_index(int32_t n, int32_t inc) { return inc < 0 ? (1 - n) * inc : 0; }

// Unit-stride sweeps over whole vectors; they return how many complex
// elements they did, the caller finishes the rest one by one.
template <class V>
[[gnu::always_inline]] inline int32_t scale_run(int32_t n, float ar, float ai, float* x) {
  constexpr int32_t per = lanes<V> / 2;
  const V tr = splat<V>(ar), ti = splat<V>(ai);
  int32_t i = 0;
  for (; i + per <= n; i += per) store(x + 2 * i, cmul(tr, ti, load<V>(x + 2 * i)));
  return i;
}

template <class V>
[[gnu::always_inline]] inline int32_t axpy_run(int32_t n, float ar, float ai, const float* x,
                                               float* y) {
  constexpr int32_t per = lanes<V> / 2;
  const V tr = splat<V>(ar), ti = splat<V>(ai);
  int32_t i = 0;
  for (; i + per <= n; i += per) {
    const V p = cmul(tr, ti, load<V>(x + 2 * i));
    store(y + 2 * i, load<V>(y + 2 * i) + p);
  }
  return i;
}

[[gnu::target("avx2")]] int32_t scale_8(int32_t n, float ar, float ai, float* x) {
  return scale_run<v8>(n, ar, ai, x);
}
int32_t scale_4(int32_t n, float ar, float ai, float* x) { return scale_run<v4>(n, ar, ai, x); }

[[gnu::target("avx2")]] int32_t axpy_8(int32_t n, float ar, float ai, const float* x, float* y) {
  return axpy_run<v8>(n, ar, ai, x, y);
}
int32_t axpy_4(int32_t n, float ar, float ai, const float* x, float* y) {
  return axpy_run<v4>(n, ar, ai, x, y);
}

int32_t scale_unit(int32_t n, float ar, float ai, float* x) {
  return simd::width() >= 8 ? scale_8(n, ar, ai, x) : scale_4(n, ar, ai, x);
}

int32_t axpy_unit(int32_t n, float ar, float ai, const float* x, float* y) {
  return simd::width() >= 8 ? axpy_8(n, ar, ai, x, y) : axpy_4(n, ar, ai, x, y);
}

}  // namespace

int32_t icamax(int32_t n, const float* cx, int32_t incx) {
  if (n < 1 || incx <= 0) return 0;
  int32_t best = 1;
  float smax = cabs1(get(cx, 0));
  for (int32_t i = 2; i <= n; ++i) {
    const float s = cabs1(get(cx, std::ptrdiff_t(i - 1) * incx));
    if (s <= smax) continue;
    best = i;
    smax = s;
  }
  return best;
}

void cscal(int32_t n, float ar, float ai, float* cx, int32_t incx) {
  if (n <= 0 || incx <= 0) return;
  const cplx ca{ar, ai};
  int32_t i = 0;
  if (incx == 1) i = scale_unit(n, ar, ai, cx);
  for (; i < n; ++i) {
    const std::ptrdiff_t ix = std::ptrdiff_t(i) * incx;
    put(cx, ix, mul(ca, get(cx, ix)));
  }
}

void caxpy(int32_t n, float ar, float ai, const float* cx, int32_t incx, float* cy, int32_t incy) {
  if (n <= 0) return;
  const cplx ca{ar, ai};
  if (cabs1(ca) == 0.0f) return;
  int32_t done = 0;
  if (incx == 1 && incy == 1) {
    done = axpy_unit(n, ar, ai, cx, cy);
  }
  std::ptrdiff_t ix = first_index(n, incx) + std::ptrdiff_t(done) * incx;
  std::ptrdiff_t iy = first_index(n, incy) + std::ptrdiff_t(done) * incy;
  for (int32_t i = done; i < n; ++i, ix += incx, iy += incy) {
    const cplx p = mul(ca, get(cx, ix));
    const cplx y = get(cy, iy);
    put(cy, iy, {y.re + p.re, y.im + p.im});
  }
}

void cdotc(int32_t n, const float* cx, int32_t incx, const float* cy, int32_t incy, float& re,
           float& im) {
  // A running sum: its order is the result, so it stays one element at a time.
  cplx t{0.0f, 0.0f};
  std::ptrdiff_t ix = first_index(n, incx);
  std::ptrdiff_t iy = first_index(n, incy);
  for (int32_t i = 0; i < n; ++i, ix += incx, iy += incy) {
    const cplx p = mul(conj(get(cx, ix)), get(cy, iy));
    t = {t.re + p.re, t.im + p.im};
  }
  re = t.re;
  im = t.im;
}

}  // namespace mv
