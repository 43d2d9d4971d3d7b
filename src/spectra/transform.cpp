// Every element of a product is a sum over the middle index in ascending
// order, started from 0, exactly as the plain triple loop forms it. The work
// is arranged only so that independent sums run side by side: a block of
// result rows (one vector lane each) times four result columns is kept in
// registers while the middle index runs, and blocks of rows go to different
// threads. mmult1 first makes a transposed copy of X, so that both products
// read their left factor down contiguous columns.
// Cost: 2·p·r² flops (mmult2), 2·p²·r (mmult1), plus p² copies for mmult1.
#include "spectra/transform.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "parallel/pool.h"
#include "spectra/simd.h"
#include "workarray/heap.h"

namespace mv {

namespace {

using simd::lanes;
using simd::load;
using simd::splat;
using simd::store;
using simd::v16;
using simd::v4;
using simd::v8;

// A column-major operand, 0-based.
struct Operand {
  const float* p;
  int32_t ld;
  const float* col(int32_t j) const { return p + static_cast<std::ptrdiff_t>(j) * ld; }
};

// res(i, k) = Σ_{j < m} z(i, j)·a(j, k) for rows i0 <= i < i1 and k < r,
// into res (leading dimension ldr), each sum from 0 in ascending j.
// Rows nv·lanes at a time, then four, then one by one; columns four at a
// time, then one by one.
template <class V, int nv, int nk>
[[gnu::always_inline]] inline void block(Operand z, Operand a, float* res, int32_t ldr, int32_t m,
                                         int32_t i, int32_t k) {
  constexpr int32_t w = lanes<V>;
  V acc[nk][nv];
  for (int32_t c = 0; c < nk; ++c)
    for (int32_t v = 0; v < nv; ++v) acc[c][v] = splat<V>(0.0f);
  for (int32_t j = 0; j < m; ++j) {
    const float* zj = z.col(j) + i;
    V x[nv];
    for (int32_t v = 0; v < nv; ++v) x[v] = load<V>(zj + w * v);
    for (int32_t c = 0; c < nk; ++c) {
      const V ajk = splat<V>(a.col(k + c)[j]);
      for (int32_t v = 0; v < nv; ++v) acc[c][v] = acc[c][v] + x[v] * ajk;
    }
  }
  for (int32_t c = 0; c < nk; ++c) {
    float* out = res + static_cast<std::ptrdiff_t>(k + c) * ldr + i;
    for (int32_t v = 0; v < nv; ++v) store(out + w * v, acc[c][v]);
  }
}

template <class V, int nv>
[[gnu::always_inline]] inline void row_block(Operand z, Operand a, float* res, int32_t ldr,
                                             int32_t m, int32_t r, int32_t i) {
  int32_t k = 0;
  for (; k + 4 <= r; k += 4) block<V, nv, 4>(z, a, res, ldr, m, i, k);
  for (; k < r; ++k) block<V, nv, 1>(z, a, res, ldr, m, i, k);
}

template <class V>
[[gnu::always_inline]] inline void product(Operand z, Operand a, float* res, int32_t ldr, int32_t m,
                                           int32_t r, int32_t i0, int32_t i1) {
  constexpr int32_t rows = 2 * lanes<V>;
  int32_t i = i0;
  for (; i + rows <= i1; i += rows) row_block<V, 2>(z, a, res, ldr, m, r, i);
  for (; i + 4 <= i1; i += 4) row_block<v4, 1>(z, a, res, ldr, m, r, i);
  for (; i < i1; ++i) {
    for (int32_t k = 0; k < r; ++k) {
      const float* ak = a.col(k);
      float sum = 0.0f;
      for (int32_t j = 0; j < m; ++j) sum = sum + z.col(j)[i] * ak[j];
      res[static_cast<std::ptrdiff_t>(k) * ldr + i] = sum;
    }
  }
}

using Kernel = void (*)(Operand, Operand, float*, int32_t, int32_t, int32_t, int32_t, int32_t);

void product_4(Operand z, Operand a, float* res, int32_t ldr, int32_t m, int32_t r, int32_t i0,
               int32_t i1) {
  product<v4>(z, a, res, ldr, m, r, i0, i1);
}
#if defined(__x86_64__) || defined(__i386__)
[[gnu::target("avx2")]] void product_8(Operand z, Operand a, float* res, int32_t ldr, int32_t m,
                                       int32_t r, int32_t i0, int32_t i1) {
  product<v8>(z, a, res, ldr, m, r, i0, i1);
}
[[gnu::target("avx512f")]] void product_16(Operand z, Operand a, float* res, int32_t ldr, int32_t m,
                                           int32_t r, int32_t i0, int32_t i1) {
  product<v16>(z, a, res, ldr, m, r, i0, i1);
}
#else
constexpr Kernel product_8 = product_4;
constexpr Kernel product_16 = product_4;
#endif

// res(i, k) for i < p, k < r, rows shared among the threads in blocks that
// the widest path takes whole.
void multiply(Operand z, Operand a, float* res, int32_t ldr, int32_t p, int32_t m, int32_t r) {
  if (p <= 0 || r <= 0) return;
  const int32_t w = simd::width();
  const Kernel kernel = w >= 16 ? product_16 : w >= 8 ? product_8 : product_4;
  // Below some 100 µs of work a thread costs more than it saves.
  constexpr int64_t min_parallel_work = int64_t(1) << 21;
  if (static_cast<int64_t>(p) * m * r < min_parallel_work) {
    return kernel(z, a, res, ldr, m, r, 0, p);
  }
  parallel::for_range(
      p, [&](int32_t i0, int32_t i1) { kernel(z, a, res, ldr, m, r, i0, i1); }, 2 * w);
}

}  // namespace

void mmult2(int32_t p, int32_t q, int32_t r, int32_t s, const float* z, const float* a,
            float* res) {
  zero(res, q * r);
  multiply({z, q}, {a, s}, res, q, p, r, r);
}

void mmult1(int32_t p, int32_t q, int32_t r, int32_t s, const float* x, const float* y,
            float* res) {
  zero(res, s * r);
  if (p <= 0) return;
  // Xᵀ, copied in tiles so that neither side strides through memory.
  std::vector<float> xt(static_cast<std::size_t>(p) * p);
  constexpr int32_t tile = 32;
  for (int32_t i0 = 0; i0 < p; i0 += tile) {
    for (int32_t j0 = 0; j0 < p; j0 += tile) {
      for (int32_t i = i0; i < std::min(p, i0 + tile); ++i) {
        const float* xi = x + static_cast<std::ptrdiff_t>(i) * q;  // column i of X
        for (int32_t j = j0; j < std::min(p, j0 + tile); ++j)
          xt[i + static_cast<std::size_t>(j) * p] = xi[j];
      }
    }
  }
  multiply({xt.data(), p}, {y, s}, res, s, p, p, r);
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
