// Rows of a dense product side by side; see mmult_rows.h.
#include "auger/mmult_rows.h"

#include <cstddef>

#include "parallel/pool.h"
#include "spectra/simd.h"

namespace mv {

namespace {

using simd::lanes;
using simd::load;
using simd::splat;
using simd::store;
using simd::v4;
using simd::v8;

// Rows [i0, i1) of every column k of C; whole vectors of rows, then single rows.
template <class V>
[[gnu::always_inline]] inline void rows(int32_t na, int32_t nb, int32_t ndeg, float* c,
                                        const float* a, const float* b, int32_t i0, int32_t i1) {
  constexpr int32_t L = lanes<V>;
  for (int32_t k = 0; k < ndeg; ++k) {
    const float* bk = b + std::ptrdiff_t(k) * nb;
    float* ck = c + std::ptrdiff_t(k) * na;
    int32_t i = i0;
    for (; i + 2 * L <= i1; i += 2 * L) {
      // Two vectors: two independent chains of additions in flight.
      V s0 = load<V>(ck + i), s1 = load<V>(ck + i + L);
      for (int32_t j = 0; j < nb; ++j) {
        const V bj = splat<V>(bk[j]);
        const float* aj = a + std::ptrdiff_t(j) * na + i;
        const V p0 = load<V>(aj) * bj;
        const V p1 = load<V>(aj + L) * bj;
        s0 = s0 + p0;
        s1 = s1 + p1;
      }
      store(ck + i, s0);
      store(ck + i + L, s1);
    }
    for (; i < i1; ++i) {
      float s = ck[i];
      for (int32_t j = 0; j < nb; ++j) s = s + a[i + std::ptrdiff_t(j) * na] * bk[j];
      ck[i] = s;
    }
  }
}

[[gnu::target("avx2")]] void rows_8(int32_t na, int32_t nb, int32_t ndeg, float* c, const float* a,
                                    const float* b, int32_t i0, int32_t i1) {
  rows<v8>(na, nb, ndeg, c, a, b, i0, i1);
}
void rows_4(int32_t na, int32_t nb, int32_t ndeg, float* c, const float* a, const float* b,
            int32_t i0, int32_t i1) {
  rows<v4>(na, nb, ndeg, c, a, b, i0, i1);
}

}  // namespace

void mmult_rows(int32_t na, int32_t nb, int32_t ndeg, float* c, const float* a, const float* b) {
  for (std::ptrdiff_t e = 0; e < std::ptrdiff_t(na) * ndeg; ++e) c[e] = 0.0f;
  const bool wide = simd::width() >= 8;
  // Ranges of whole vectors, so that only the last one has single rows.
  parallel::for_range(
      na,
      [&](int32_t i0, int32_t i1) {
        if (wide) {
          rows_8(na, nb, ndeg, c, a, b, i0, i1);
        } else {
          rows_4(na, nb, ndeg, c, a, b, i0, i1);
        }
      },
      64);
}

}  // namespace mv
