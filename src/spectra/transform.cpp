// Every element of a product is a sum over the middle index in ascending
// order, started from 0, exactly as the plain triple loop forms it; the loops
// are arranged only so that the innermost one walks contiguous memory, or
// runs four independent sums side by side.
#include "spectra/transform.h"

#include <algorithm>
#include <cstddef>

#include "workarray/heap.h"

namespace mv {

namespace {

inline std::ptrdiff_t at(int32_t i, int32_t j, int32_t ld) {
  return (i - 1) + static_cast<std::ptrdiff_t>(j - 1) * ld;
}

}  // namespace

void mmult2(int32_t p, int32_t q, int32_t r, int32_t s, const float* z, const float* a,
            float* res) {
  zero(res, q * r);
  // Four result columns at a time: res(., k..k+3) gathers Z(., j)·A(j, k..k+3)
  // for j = 1, 2, ... in turn.
  int32_t k = 1;
  for (; k + 3 <= r; k += 4) {
    float* c0 = res + at(1, k, q);
    float* c1 = c0 + q;
    float* c2 = c1 + q;
    float* c3 = c2 + q;
    for (int32_t j = 1; j <= r; ++j) {
      const float* zj = z + at(1, j, q);
      const float a0 = a[at(j, k, s)], a1 = a[at(j, k + 1, s)];
      const float a2 = a[at(j, k + 2, s)], a3 = a[at(j, k + 3, s)];
      for (int32_t i = 0; i < p; ++i) {
        const float zij = zj[i];
        c0[i] = c0[i] + zij * a0;
        c1[i] = c1[i] + zij * a1;
        c2[i] = c2[i] + zij * a2;
        c3[i] = c3[i] + zij * a3;
      }
    }
  }
  for (; k <= r; ++k) {
    float* ck = res + at(1, k, q);
    for (int32_t j = 1; j <= r; ++j) {
      const float* zj = z + at(1, j, q);
      const float ajk = a[at(j, k, s)];
      for (int32_t i = 0; i < p; ++i) ck[i] = ck[i] + zj[i] * ajk;
    }
  }
}

void mmult1(int32_t p, int32_t q, int32_t r, int32_t s, const float* x, const float* y,
            float* res) {
  zero(res, s * r);
  for (int32_t k = 1; k <= r; ++k) {
    const float* yk = y + at(1, k, s);
    float* rk = res + at(1, k, s);
    // Four rows of the result at a time: four independent dot products.
    int32_t i = 1;
    for (; i + 3 <= p; i += 4) {
      const float* x0 = x + at(1, i, q);
      const float* x1 = x0 + q;
      const float* x2 = x1 + q;
      const float* x3 = x2 + q;
      float s0 = rk[i - 1], s1 = rk[i], s2 = rk[i + 1], s3 = rk[i + 2];
      for (int32_t j = 0; j < p; ++j) {
        const float yj = yk[j];
        s0 = s0 + x0[j] * yj;
        s1 = s1 + x1[j] * yj;
        s2 = s2 + x2[j] * yj;
        s3 = s3 + x3[j] * yj;
      }
      rk[i - 1] = s0;
      rk[i] = s1;
      rk[i + 1] = s2;
      rk[i + 2] = s3;
    }
    for (; i <= p; ++i) {
      const float* xi = x + at(1, i, q);
      float sum = rk[i - 1];
      for (int32_t j = 0; j < p; ++j) sum = sum + xi[j] * yk[j];
      rk[i - 1] = sum;
    }
  }
}

void copy(const float* source, float* target, int32_t count) {
  if (count > 0) std::copy(source, source + count, target);
}

void transform_ket(int32_t p, int32_t q, int32_t r, int32_t s, float* z, const float* a) {
  constexpr const char* name = "transform_ket  aMggHg";
  const int32_t cells = q * r;
  int32_t temp = 0;
  alloc(name, cells, temp);
  mmult2(p, q, r, s, z, a, rh(temp));
  copy(rh(temp), z, cells);
  dealloc(name, cells, temp);
}

void transform_bra(int32_t p, int32_t q, int32_t r, int32_t s, const float* x, float* y) {
  constexpr const char* name = "transform_bra  aHaaMg";
  const int32_t cells = s * r;
  int32_t temp = 0;
  alloc(name, cells, temp);
  mmult1(p, q, r, s, x, y, rh(temp));
  copy(rh(temp), y, cells);
  dealloc(name, cells, temp);
}

}  // namespace mv
