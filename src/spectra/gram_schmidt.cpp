#include "spectra/gram_schmidt.h"

#include <cstddef>

#include "spectra/simd.h"

namespace mv {

namespace {

using simd::lanes;
using simd::load;
using simd::splat;
using simd::store;
using simd::v4;
using simd::v8;

const float* row(const float* basis, int32_t n, int32_t i) {
  return basis + static_cast<std::ptrdiff_t>(i) * n;
}

// G groups of L = lanes<V> vectors from vector i: each group's L sums in the
// lanes of one accumulator. An L x L tile (L vectors, L elements) is loaded
// row by row and transposed, so that column m holds element k + m of every
// vector of the group; the columns are added in ascending m. Two groups side
// by side give two independent chains of additions.
template <class V, int32_t G>
[[gnu::always_inline]] inline void coefficient_groups(const float* basis, int32_t n,
                                                      const float* w, float* c, int32_t i,
                                                      int32_t k0, int32_t k1) {
  constexpr int32_t L = lanes<V>;
  const float* q[G * L];
  for (int32_t r = 0; r < G * L; ++r) q[r] = row(basis, n, i + r);
  V acc[G];
  for (int32_t g = 0; g < G; ++g) acc[g] = load<V>(c + i + g * L);
  int32_t k = k0;
  for (; k + L <= k1; k += L) {
    for (int32_t g = 0; g < G; ++g) {
      V x[L];
      for (int32_t l = 0; l < L; ++l) x[l] = load<V>(q[g * L + l] + k);
      simd::transpose(x);
      for (int32_t m = 0; m < L; ++m) acc[g] = acc[g] + x[m] * splat<V>(w[k + m]);
    }
  }
  for (; k < k1; ++k) {
    const V wk = splat<V>(w[k]);
    for (int32_t g = 0; g < G; ++g) {
      V x;
      for (int32_t l = 0; l < L; ++l) x[l] = q[g * L + l][k];
      acc[g] = acc[g] + x * wk;
    }
  }
  for (int32_t g = 0; g < G; ++g) store(c + i + g * L, acc[g]);
}

template <class V>
[[gnu::always_inline]] inline void coefficients_in(const float* basis, int32_t n, const float* w,
                                                   float* c, int32_t i0, int32_t i1, int32_t k0,
                                                   int32_t k1) {
  constexpr int32_t L = lanes<V>;
  int32_t i = i0;
  for (; i + 2 * L <= i1; i += 2 * L) coefficient_groups<V, 2>(basis, n, w, c, i, k0, k1);
  for (; i + L <= i1; i += L) coefficient_groups<V, 1>(basis, n, w, c, i, k0, k1);
  for (; i < i1; ++i) {
    const float* q = row(basis, n, i);
    float sum = c[i];
    for (int32_t k = k0; k < k1; ++k) sum = sum + q[k] * w[k];
    c[i] = sum;
  }
}

// Eight vectors at a time: a stretch of w is read once, takes their eight
// terms in ascending i, and is stored once. Four stretches side by side give
// four independent chains of subtractions.
template <class V>
[[gnu::always_inline]] inline void subtract_in(const float* basis, int32_t n, const float* c,
                                               int32_t count, float* w, int32_t k0, int32_t k1) {
  constexpr int32_t L = lanes<V>, G = 8, K = 4;
  int32_t i = 0;
  for (; i + G <= count; i += G) {
    const float* q[G];
    for (int32_t g = 0; g < G; ++g) q[g] = row(basis, n, i + g);
    int32_t k = k0;
    for (; k + K * L <= k1; k += K * L) {
      V acc[K];
      for (int32_t s = 0; s < K; ++s) acc[s] = load<V>(w + k + s * L);
      for (int32_t g = 0; g < G; ++g) {
        for (int32_t s = 0; s < K; ++s) acc[s] = acc[s] - splat<V>(c[i + g]) * load<V>(q[g] + k + s * L);
      }
      for (int32_t s = 0; s < K; ++s) store(w + k + s * L, acc[s]);
    }
    for (; k + L <= k1; k += L) {
      V acc = load<V>(w + k);
      for (int32_t g = 0; g < G; ++g) acc = acc - splat<V>(c[i + g]) * load<V>(q[g] + k);
      store(w + k, acc);
    }
    for (; k < k1; ++k) {
      float s = w[k];
      for (int32_t g = 0; g < G; ++g) s = s - c[i + g] * q[g][k];
      w[k] = s;
    }
  }
  for (; i < count; ++i) {
    const float* q = row(basis, n, i);
    const float ci = c[i];
    for (int32_t k = k0; k < k1; ++k) w[k] = w[k] - ci * q[k];
  }
}

struct Kernels {
  void (*coefficients)(const float*, int32_t, const float*, float*, int32_t, int32_t, int32_t,
                       int32_t);
  void (*subtract)(const float*, int32_t, const float*, int32_t, float*, int32_t, int32_t);
};

void coefficients_4(const float* basis, int32_t n, const float* w, float* c, int32_t i0,
                    int32_t i1, int32_t k0, int32_t k1) {
  coefficients_in<v4>(basis, n, w, c, i0, i1, k0, k1);
}
void subtract_4(const float* basis, int32_t n, const float* c, int32_t count, float* w,
                int32_t k0, int32_t k1) {
  subtract_in<v4>(basis, n, c, count, w, k0, k1);
}
constexpr Kernels kernels_4{coefficients_4, subtract_4};

#if defined(__x86_64__) || defined(__i386__)
[[gnu::target("avx2")]] void coefficients_8(const float* basis, int32_t n, const float* w,
                                            float* c, int32_t i0, int32_t i1, int32_t k0,
                                            int32_t k1) {
  coefficients_in<v8>(basis, n, w, c, i0, i1, k0, k1);
}
[[gnu::target("avx2")]] void subtract_8(const float* basis, int32_t n, const float* c,
                                        int32_t count, float* w, int32_t k0, int32_t k1) {
  subtract_in<v8>(basis, n, c, count, w, k0, k1);
}
constexpr Kernels kernels_8{coefficients_8, subtract_8};
#else
constexpr Kernels kernels_8 = kernels_4;
#endif

// Sixteen lanes take the eight-lane kernels: both are bound by reading the
// basis, not by the width of the arithmetic.
const Kernels& kernels() { return simd::width() >= 8 ? kernels_8 : kernels_4; }

}  // namespace

void gs_coefficients(const float* basis, int32_t n, const float* w, float* c, int32_t i0,
                     int32_t i1, int32_t k0, int32_t k1) {
  if (i1 <= i0 || k1 <= k0) return;
  kernels().coefficients(basis, n, w, c, i0, i1, k0, k1);
}

void gs_subtract(const float* basis, int32_t n, const float* c, int32_t count, float* w,
                 int32_t k0, int32_t k1) {
  if (count <= 0 || k1 <= k0) return;
  kernels().subtract(basis, n, c, count, w, k0, k1);
}

}  // namespace mv
