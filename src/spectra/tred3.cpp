// Householder tridiagonalisation with accumulated transformations.
// Preconditions: a symmetric in its lower triangle, nm >= n. Cost: about
// 4n³/3 flops for the reduction and 2n³/3 for the accumulation.
// Algorithm: the row-oriented TRED2 procedure of Martin, Reinsch and Wilkinson
// (Handbook for Automatic Computation II, contribution II/2), single precision.
//
// Every sum is formed in the order of the textbook loops and every product
// rounded as there; speed comes only from where the data sit and from
// independent sums running side by side:
// - the matrix is transposed in place first, so the rows the textbook walks
//   are contiguous (and transposed back at the end);
// - the product of the reduced lower triangle with the Householder vector is
//   taken row by row: row k gives the whole first part of sum k and the next
//   term of every sum j < k, so one pass serves all sums in their own order;
// - the Householder vectors (and their scaled copies) are kept contiguous, and
//   the accumulation runs column strip by column strip: a strip of Q evolves
//   independently of the others and stays in cache for all n steps.
#include "spectra/tred3.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "spectra/simd4.h"

namespace mv {

namespace {

using simd::load;
using simd::splat;
using simd::store;
using simd::v4;

// The matrix after the in-place transposition: row(i)[k-1] is element (i, k).
struct Rows {
  float* t;
  int32_t ld;
  float* row(int32_t i) const { return t + static_cast<std::ptrdiff_t>(i - 1) * ld; }
};

void transpose_square(float* a, int32_t ld, int32_t n) {
  constexpr int32_t tile = 32;
  const std::ptrdiff_t l = ld;
  for (int32_t jb = 0; jb < n; jb += tile) {
    for (int32_t ib = jb; ib < n; ib += tile) {
      const int32_t jend = std::min(jb + tile, n);
      const int32_t iend = std::min(ib + tile, n);
      for (int32_t j = jb; j < jend; ++j) {
        for (int32_t i = std::max(ib, j + 1); i < iend; ++i) std::swap(a[i + j * l], a[j + i * l]);
      }
    }
  }
}

// Householder vectors of every step i, contiguous: u(i) is row i of the matrix
// left of the diagonal after the step, v(i) = u/(scale·h) as the step made it.
struct Vectors {
  std::vector<float> u, v;
  explicit Vectors(int32_t n)
      : u(static_cast<std::size_t>(n) * (n - 1) / 2), v(u.size()) {}
  static std::size_t offset(int32_t i) { return static_cast<std::size_t>(i - 1) * (i - 2) / 2; }
  float* ui(int32_t i) { return u.data() + offset(i); }
  float* vi(int32_t i) { return v.data() + offset(i); }
};

// Sums s[p] = sum over c < len[p] of row p [c]·u[c], left to right from 0, for
// four rows at once (one lane per row) over their common prefix.
inline void dot4_prefix(const float* const r[4], const float* u, int32_t common, v4& acc,
                        int32_t& done) {
  int32_t c = 0;
  for (; c + 4 <= common; c += 4) {
    const v4 x0 = load(r[0] + c), x1 = load(r[1] + c), x2 = load(r[2] + c), x3 = load(r[3] + c);
    acc = acc + v4{x0[0], x1[0], x2[0], x3[0]} * splat(u[c]);
    acc = acc + v4{x0[1], x1[1], x2[1], x3[1]} * splat(u[c + 1]);
    acc = acc + v4{x0[2], x1[2], x2[2], x3[2]} * splat(u[c + 2]);
    acc = acc + v4{x0[3], x1[3], x2[3], x3[3]} * splat(u[c + 3]);
  }
  done = c;
}

// g(j) = Σ_{k<=j} A(j,k)·u(k) + Σ_{j<k<=l} A(k,j)·u(k) for j = 1..l, each sum
// in ascending k from 0, with A the lower triangle held in rows.
__attribute__((noinline)) void lower_times(const Rows& a, int32_t l, const float* u, float* g) {
  constexpr int32_t block = 8;
  for (int32_t k0 = 1; k0 <= l; k0 += block) {
    const int32_t nb = std::min(block, l - k0 + 1);
    const float* r[block];
    for (int32_t p = 0; p < nb; ++p) r[p] = a.row(k0 + p);

    // First parts: row k0+p against u(1..k0+p).
    float s[block];
    int32_t done[block];
    int32_t p = 0;
    for (; p + 4 <= nb; p += 4) {
      v4 acc = splat(0.0f);
      int32_t c = 0;
      dot4_prefix(r + p, u, k0 + p, acc, c);
      for (int32_t q = 0; q < 4; ++q) {
        s[p + q] = acc[q];
        done[p + q] = c;
      }
    }
    for (; p < nb; ++p) {
      s[p] = 0.0f;
      done[p] = 0;
    }
    for (p = 0; p < nb; ++p) {
      const int32_t len = k0 + p;
      float sum = s[p];
      for (int32_t c = done[p]; c < len; ++c) sum = sum + r[p][c] * u[c];
      g[k0 + p - 1] = sum;
    }

    // Second parts: the next terms of the sums j < k0, rows in order.
    const int32_t prefix = k0 - 1;
    int32_t j = 0;
    for (; j + 4 <= prefix; j += 4) {
      v4 gv = load(g + j);
      for (p = 0; p < nb; ++p) gv = gv + load(r[p] + j) * splat(u[k0 + p - 1]);
      store(g + j, gv);
    }
    for (; j < prefix; ++j) {
      float gj = g[j];
      for (p = 0; p < nb; ++p) gj = gj + r[p][j] * u[k0 + p - 1];
      g[j] = gj;
    }
    // ... and of the sums begun in this block.
    for (int32_t q = 0; q + 1 < nb; ++q) {
      float gj = g[k0 + q - 1];
      for (p = q + 1; p < nb; ++p) gj = gj + r[p][k0 + q - 1] * u[k0 + p - 1];
      g[k0 + q - 1] = gj;
    }
  }
}

// row(k) = row(k) - f·e(k) - g·u(k) for k < len.
__attribute__((noinline)) void rank2_row(float* row, int32_t len, float f, const float* e, float g, const float* u) {
  const v4 fv = splat(f), gv = splat(g);
  int32_t k = 0;
  for (; k + 4 <= len; k += 4) store(row + k, load(row + k) - fv * load(e + k) - gv * load(u + k));
  for (; k < len; ++k) row[k] = row[k] - f * e[k] - g * u[k];
}

// Step i of the reduction (rows held in `a`); returns h, the step's d(i).
float reduce_row(const Rows& a, int32_t i, float* e, Vectors& hv, std::vector<float>& g) {
  const int32_t l = i - 1;
  float* ri = a.row(i);
  if (l <= 1) {
    e[i - 1] = ri[l - 1];
    return 0.0f;
  }
  float scale = 0.0f;
  for (int32_t k = 0; k < l; ++k) scale = scale + std::fabs(ri[k]);
  if (scale == 0.0f) {
    e[i - 1] = ri[l - 1];
    return 0.0f;
  }
  float h = 0.0f;
  for (int32_t k = 0; k < l; ++k) {
    ri[k] = ri[k] / scale;
    h = h + ri[k] * ri[k];
  }
  float f = ri[l - 1];
  const float root = std::sqrt(h);
  const float gl = std::signbit(f) ? root : -root;
  e[i - 1] = scale * gl;
  h = h - f * gl;
  ri[l - 1] = f - gl;

  float* v = hv.vi(i);
  const float sh = scale * h;
  for (int32_t j = 0; j < l; ++j) v[j] = ri[j] / sh;
  lower_times(a, l, ri, g.data());
  f = 0.0f;
  for (int32_t j = 0; j < l; ++j) {
    e[j] = g[j] / h;
    f = f + e[j] * ri[j];
  }
  const float hh = f / (h + h);
  for (int32_t j = 0; j < l; ++j) e[j] = e[j] - hh * ri[j];
  for (int32_t j = 1; j <= l; ++j) rank2_row(a.row(j), j, ri[j - 1], e, e[j - 1], ri);
  for (int32_t k = 0; k < l; ++k) ri[k] = scale * ri[k];
  std::copy(ri, ri + l, hv.ui(i));
  return h;
}

// The accumulation for the columns first..first+4·nv+tail-1 of Q (a strip of
// every row): step i applies g = uᵀQ, Q -= v gᵀ to the strip's columns left
// of i, then makes column i the unit vector and clears row i left of it.
// Columns right of i take the update too; they are zero above the diagonal
// and overwritten when their own step comes, so it changes nothing.
template <int nv>
__attribute__((noinline)) void accumulate_strip(const Rows& a, int32_t n, int32_t first, int32_t tail, Vectors& hv,
                      const std::vector<char>& active) {
  const int32_t width = 4 * nv + tail;
  const int32_t c0 = first - 1;
  for (int32_t i = first; i <= n; ++i) {
    const int32_t l = i - 1;
    if (active[i] && l >= first) {
      const float* u = hv.ui(i);
      const float* v = hv.vi(i);
      v4 g[nv > 0 ? nv : 1];
      float gs[3] = {0.0f, 0.0f, 0.0f};
      for (int32_t q = 0; q < nv; ++q) g[q] = splat(0.0f);
      for (int32_t k = 1; k <= l; ++k) {
        const float* p = a.row(k) + c0;
        const float uk = u[k - 1];
        for (int32_t q = 0; q < nv; ++q) g[q] = g[q] + splat(uk) * load(p + 4 * q);
        for (int32_t t = 0; t < tail; ++t) gs[t] = gs[t] + uk * p[4 * nv + t];
      }
      for (int32_t k = 1; k <= l; ++k) {
        float* p = a.row(k) + c0;
        const float vk = v[k - 1];
        for (int32_t q = 0; q < nv; ++q) store(p + 4 * q, load(p + 4 * q) - g[q] * splat(vk));
        for (int32_t t = 0; t < tail; ++t) p[4 * nv + t] = p[4 * nv + t] - gs[t] * vk;
      }
    }
    if (i < first + width) {
      for (int32_t k = 1; k < i; ++k) a.row(k)[i - 1] = 0.0f;
      a.row(i)[i - 1] = 1.0f;
    }
    float* ri = a.row(i);
    const int32_t last = std::min(first + width - 1, i - 1);
    for (int32_t j = first; j <= last; ++j) ri[j - 1] = 0.0f;
  }
}

void accumulate(const Rows& a, int32_t n, Vectors& hv, const std::vector<char>& active) {
  constexpr int32_t strip = 32;
  for (int32_t first = 1; first <= n; first += strip) {
    const int32_t width = std::min(strip, n - first + 1);
    const int32_t tail = width % 4;
    switch (width / 4) {
      case 8: accumulate_strip<8>(a, n, first, tail, hv, active); break;
      case 7: accumulate_strip<7>(a, n, first, tail, hv, active); break;
      case 6: accumulate_strip<6>(a, n, first, tail, hv, active); break;
      case 5: accumulate_strip<5>(a, n, first, tail, hv, active); break;
      case 4: accumulate_strip<4>(a, n, first, tail, hv, active); break;
      case 3: accumulate_strip<3>(a, n, first, tail, hv, active); break;
      case 2: accumulate_strip<2>(a, n, first, tail, hv, active); break;
      case 1: accumulate_strip<1>(a, n, first, tail, hv, active); break;
      default: accumulate_strip<0>(a, n, first, tail, hv, active); break;
    }
  }
}

}  // namespace

void tred3(float* a, int32_t nm, int32_t n, float* d, float* e) {
  if (n < 1) return;
  transpose_square(a, nm, n);
  const Rows rows{a, nm};
  Vectors hv(n);
  std::vector<float> g(static_cast<std::size_t>(n));
  for (int32_t i = n; i >= 2; --i) d[i - 1] = reduce_row(rows, i, e, hv, g);
  d[0] = 0.0f;
  e[0] = 0.0f;

  // The accumulation reads each step's h and then its diagonal element, which
  // no earlier step touches: both can be taken now.
  std::vector<char> active(static_cast<std::size_t>(n) + 1, 0);
  for (int32_t i = 2; i <= n; ++i) active[i] = d[i - 1] != 0.0f;
  for (int32_t i = 1; i <= n; ++i) {
    float* ri = rows.row(i);
    d[i - 1] = ri[i - 1];
    std::fill(ri + i, ri + n, 0.0f);  // above the diagonal: only v(i) was there
  }
  accumulate(rows, n, hv, active);
  transpose_square(a, nm, n);
}

}  // namespace mv
