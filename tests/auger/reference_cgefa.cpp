// The plain, column-by-column transcription of the complex LU factorisation
// and its solve (LINPACK CGEFA/CGESL with BLAS-1 ICAMAX/CSCAL/CAXPY/CDOTC),
// kept as the yardstick: the shipped kernels must reproduce it bit for bit.
// Built without fused multiply-add (see tests/CMakeLists.txt).
#include "auger/reference_cgefa.h"

#include <cmath>

namespace mv::reference {

namespace {

struct cplx {
  float re;
  float im;
};

float cabs1(cplx z) { return std::fabs(z.re) + std::fabs(z.im); }

cplx mul(cplx x, cplx y) { return {x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re}; }

// Scaled division: divide by the larger component first, so that neither
// |c|^2 + |d|^2 nor the quotients overflow before the result does.
cplx div(cplx x, cplx y) {
  const float a = x.re, b = x.im, c = y.re, d = y.im;
  if (std::fabs(c) >= std::fabs(d)) {
    const float r = d / c;
    const float den = c + d * r;
    return {(a + b * r) / den, (b - a * r) / den};
  }
  const float r = c / d;
  const float den = c * r + d;
  return {(a * r + b) / den, (b * r - a) / den};
}

cplx neg(cplx z) { return {-z.re, -z.im}; }
cplx conj(cplx z) { return {z.re, -z.im}; }

// Element (i) of a complex vector, 0-based, in interleaved storage.
cplx get(const float* p, int32_t i) { return {p[2 * i], p[2 * i + 1]}; }
void put(float* p, int32_t i, cplx z) {
  p[2 * i] = z.re;
  p[2 * i + 1] = z.im;
}

// Start of a strided sweep over n elements: a negative increment walks the
// vector from its far end, as the reference BLAS does.
int32_t first_index(int32_t n, int32_t inc) { return inc < 0 ? (1 - n) * inc : 0; }

}  // namespace

int32_t icamax(int32_t n, const float* cx, int32_t incx) {
  if (n < 1 || incx <= 0) return 0;
  int32_t best = 1;
  float smax = cabs1(get(cx, 0));
  for (int32_t i = 2; i <= n; ++i) {
    const float s = cabs1(get(cx, (i - 1) * incx));
    if (s <= smax) continue;
    best = i;
    smax = s;
  }
  return best;
}

void cscal(int32_t n, float ar, float ai, float* cx, int32_t incx) {
  if (n <= 0 || incx <= 0) return;
  const cplx ca{ar, ai};
  for (int32_t i = 0; i < n; ++i) put(cx, i * incx, mul(ca, get(cx, i * incx)));
}

void caxpy(int32_t n, float ar, float ai, const float* cx, int32_t incx, float* cy, int32_t incy) {
  if (n <= 0) return;
  const cplx ca{ar, ai};
  if (cabs1(ca) == 0.0f) return;
  int32_t ix = first_index(n, incx);
  int32_t iy = first_index(n, incy);
  for (int32_t i = 0; i < n; ++i, ix += incx, iy += incy) {
    const cplx p = mul(ca, get(cx, ix));
    const cplx y = get(cy, iy);
    put(cy, iy, {y.re + p.re, y.im + p.im});
  }
}

void cdotc(int32_t n, const float* cx, int32_t incx, const float* cy, int32_t incy, float& re,
           float& im) {
  cplx t{0.0f, 0.0f};
  int32_t ix = first_index(n, incx);
  int32_t iy = first_index(n, incy);
  for (int32_t i = 0; i < n; ++i, ix += incx, iy += incy) {
    const cplx p = mul(conj(get(cx, ix)), get(cy, iy));
    t = {t.re + p.re, t.im + p.im};
  }
  re = t.re;
  im = t.im;
}

void cgefa(float* a, int32_t lda, int32_t n, int32_t* ipvt, int32_t& info) {
  // Column j (1-based) starts at element (j-1)*lda; element (i,j) at (i-1)+(j-1)*lda.
  auto col = [&](int32_t j) { return a + 2 * (j - 1) * lda; };
  info = 0;
  for (int32_t k = 1; k <= n - 1; ++k) {
    float* ck = col(k);
    const int32_t l = icamax(n - k + 1, ck + 2 * (k - 1), 1) + k - 1;
    ipvt[k - 1] = l;
    // A zero pivot means this column is already triangular: note it, go on.
    if (cabs1(get(ck, l - 1)) == 0.0f) {
      info = k;
      continue;
    }
    if (l != k) {
      const cplx t = get(ck, l - 1);
      put(ck, l - 1, get(ck, k - 1));
      put(ck, k - 1, t);
    }
    const cplx t = neg(div({1.0f, 0.0f}, get(ck, k - 1)));
    cscal(n - k, t.re, t.im, ck + 2 * k, 1);
    for (int32_t j = k + 1; j <= n; ++j) {
      float* cj = col(j);
      const cplx tj = get(cj, l - 1);
      if (l != k) {
        put(cj, l - 1, get(cj, k - 1));
        put(cj, k - 1, tj);
      }
      caxpy(n - k, tj.re, tj.im, ck + 2 * k, 1, cj + 2 * k, 1);
    }
  }
  if (n < 1) return;
  ipvt[n - 1] = n;
  if (cabs1(get(col(n), n - 1)) == 0.0f) info = n;
}

void cgesl(const float* a, int32_t lda, int32_t n, const int32_t* ipvt, float* b, int32_t job) {
  auto col = [&](int32_t j) { return a + 2 * (j - 1) * lda; };
  if (job == 0) {
    // L*y = b: the recorded interchanges and multipliers, column by column.
    for (int32_t k = 1; k <= n - 1; ++k) {
      const int32_t l = ipvt[k - 1];
      const cplx t = get(b, l - 1);
      if (l != k) {
        put(b, l - 1, get(b, k - 1));
        put(b, k - 1, t);
      }
      caxpy(n - k, t.re, t.im, col(k) + 2 * k, 1, b + 2 * k, 1);
    }
    // U*x = y.
    for (int32_t k = n; k >= 1; --k) {
      const cplx xk = div(get(b, k - 1), get(col(k), k - 1));
      put(b, k - 1, xk);
      const cplx t = neg(xk);
      caxpy(k - 1, t.re, t.im, col(k), 1, b, 1);
    }
    return;
  }
  // ctrans(U)*y = b.
  for (int32_t k = 1; k <= n; ++k) {
    cplx t{};
    cdotc(k - 1, col(k), 1, b, 1, t.re, t.im);
    const cplx bk = get(b, k - 1);
    put(b, k - 1, div({bk.re - t.re, bk.im - t.im}, conj(get(col(k), k - 1))));
  }
  // ctrans(L)*x = y.
  for (int32_t k = n - 1; k >= 1; --k) {
    cplx t{};
    cdotc(n - k, col(k) + 2 * k, 1, b + 2 * k, 1, t.re, t.im);
    const cplx bk = get(b, k - 1);
    put(b, k - 1, {bk.re + t.re, bk.im + t.im});
    const int32_t l = ipvt[k - 1];
    if (l == k) continue;
    const cplx s = get(b, l - 1);
    put(b, l - 1, get(b, k - 1));
    put(b, k - 1, s);
  }
}

}  // namespace mv::reference
