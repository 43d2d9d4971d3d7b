// Householder tridiagonalisation with accumulated transformations.
// Preconditions: a symmetric in its lower triangle, nm >= n. Cost: about
// 4n³/3 flops for the reduction and as many for the accumulation.
// Algorithm: the row-oriented TRED2 procedure of Martin, Reinsch and Wilkinson
// (Handbook for Automatic Computation II, contribution II/2), single precision.
//
// Every sum is formed in the order of the textbook loops and every product
// rounded as there; speed comes only from where the data sit and from
// independent operations running side by side:
// - the matrix is transposed in place first, so the rows the textbook walks
//   are contiguous (and transposed back at the end);
// - the product of the reduced lower triangle with the Householder vector is
//   taken row by row: row k completes the first part of sum k and adds the
//   next term of every sum j < k, so one pass serves all sums in their order;
// - the rank-two update of step i and the product of step i-1 read the same
//   rows, so they share one pass (the last row is updated first: it is the
//   next Householder vector);
// - the Householder vectors are kept contiguous, and the accumulation runs
//   column strip by column strip: a strip of Q evolves independently of the
//   others and stays in cache through all n steps, the update of one step
//   sharing its pass with the product of the next;
// - the vector loops run as wide as simd::width() allows. Both remaining
//   passes are then bound by memory bandwidth;
// - with threads, a step's rows are cut into contiguous parts: each part
//   updates its rows, completes their first parts and adds the terms of its
//   own rows to the sums of its own columns; then the terms of later parts'
//   rows are added to the earlier columns, split among the threads by
//   columns, in row order. The accumulation's strips go to the threads whole.
//   Each sum still receives its terms in the textbook order.
#include "spectra/tred3.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <vector>

#include "parallel/pool.h"
#include "spectra/simd.h"

namespace mv {

namespace {

using simd::lanes;
using simd::load;
using simd::splat;
using simd::store;
using simd::transpose;
using simd::v16;
using simd::v4;
using simd::v8;

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
class Vectors {
 public:
  explicit Vectors(int32_t n)
      : size_(static_cast<std::size_t>(n) * (n - 1) / 2),
        u_(new float[size_ + 1]),
        v_(new float[size_ + 1]) {}
  float* u(int32_t i) { return u_.get() + offset(i); }
  float* v(int32_t i) { return v_.get() + offset(i); }

 private:
  static std::size_t offset(int32_t i) { return static_cast<std::size_t>(i - 1) * (i - 2) / 2; }
  std::size_t size_;
  std::unique_ptr<float[]> u_, v_;
};

// ---- the reduction ---------------------------------------------------------

constexpr int32_t block = 8;

// One block of rows k0..k0+nb-1 of the product g = A u of the lower triangle,
// any nb <= block: g(j) = Σ_{k<=j} A(j,k)·u(k) + Σ_{j<k} A(k,j)·u(k), each sum
// in ascending k from 0.
[[gnu::always_inline]] inline void lower_block_any(const float* const r[], int32_t k0, int32_t nb,
                                                   int32_t from, const float* u, float* g) {
  // First parts: row k0+p against u(1..k0+p), four rows side by side.
  float s[block];
  int32_t done[block];
  int32_t p = 0;
  for (; p + 4 <= nb; p += 4) {
    v4 acc = splat<v4>(0.0f);
    int32_t c = 0;
    for (; c + 4 <= k0 + p; c += 4) {
      v4 x[4] = {load<v4>(r[p] + c), load<v4>(r[p + 1] + c), load<v4>(r[p + 2] + c),
                 load<v4>(r[p + 3] + c)};
      transpose(x);
      for (int32_t q = 0; q < 4; ++q) acc = acc + x[q] * splat<v4>(u[c + q]);
    }
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
    float sum = s[p];
    for (int32_t c = done[p]; c < k0 + p; ++c) sum = sum + r[p][c] * u[c];
    g[k0 + p - 1] = sum;
  }
  // Second parts: the next terms of the sums from <= j < k0, rows in order.
  const int32_t prefix = k0 - 1;
  int32_t j = from;
  for (; j + 4 <= prefix; j += 4) {
    v4 gv = load<v4>(g + j);
    for (p = 0; p < nb; ++p) gv = gv + load<v4>(r[p] + j) * splat<v4>(u[k0 + p - 1]);
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

// A full block of eight rows: both parts in one pass over the shared columns,
// each loaded vector of four columns serving the second parts directly and,
// transposed, the first parts of four rows at once. Columns left of `from`
// (a multiple of four) serve the first parts only.
[[gnu::always_inline]] inline void lower_block8(const float* const r[], int32_t k0, int32_t from,
                                                const float* u, float* g) {
  const int32_t prefix = k0 - 1;
  v4 uk[block];
  for (int32_t p = 0; p < block; ++p) uk[p] = splat<v4>(u[k0 + p - 1]);
  v4 acc0 = splat<v4>(0.0f), acc1 = splat<v4>(0.0f);
  int32_t c = 0;
  for (; c + 4 <= from; c += 4) {
    v4 x[block];
    for (int32_t p = 0; p < block; ++p) x[p] = load<v4>(r[p] + c);
    transpose(x);
    transpose(x + 4);
    for (int32_t q = 0; q < 4; ++q) {
      const v4 uc = splat<v4>(u[c + q]);
      acc0 = acc0 + x[q] * uc;
      acc1 = acc1 + x[4 + q] * uc;
    }
  }
  for (; c + 4 <= prefix; c += 4) {
    v4 x[block];
    for (int32_t p = 0; p < block; ++p) x[p] = load<v4>(r[p] + c);
    v4 gv = load<v4>(g + c);
    for (int32_t p = 0; p < block; ++p) gv = gv + x[p] * uk[p];
    store(g + c, gv);
    transpose(x);
    transpose(x + 4);
    for (int32_t q = 0; q < 4; ++q) {
      const v4 uc = splat<v4>(u[c + q]);
      acc0 = acc0 + x[q] * uc;
      acc1 = acc1 + x[4 + q] * uc;
    }
  }
  for (int32_t j = c; j < prefix; ++j) {
    float gj = g[j];
    for (int32_t p = 0; p < block; ++p) gj = gj + r[p][j] * u[k0 + p - 1];
    g[j] = gj;
  }
  for (int32_t p = 0; p < block; ++p) {
    float sum = p < 4 ? acc0[p] : acc1[p - 4];
    for (int32_t cc = c; cc < k0 + p; ++cc) sum = sum + r[p][cc] * u[cc];
    g[k0 + p - 1] = sum;
  }
  for (int32_t q = 0; q + 1 < block; ++q) {
    float gj = g[k0 + q - 1];
    for (int32_t p = q + 1; p < block; ++p) gj = gj + r[p][k0 + q - 1] * u[k0 + p - 1];
    g[k0 + q - 1] = gj;
  }
}

// row(k) = row(k) - f·e(k) - g·u(k) for k < len.
template <class V>
[[gnu::always_inline]] inline void rank2_row(float* row, int32_t len, float f, const float* e,
                                             float g, const float* u) {
  constexpr int32_t w = lanes<V>;
  const V fv = splat<V>(f), gv = splat<V>(g);
  int32_t k = 0;
  for (; k + w <= len; k += w)
    store(row + k, load<V>(row + k) - fv * load<V>(e + k) - gv * load<V>(u + k));
  for (; k < len; ++k) row[k] = row[k] - f * e[k] - g * u[k];
}

// The work of one step that touches the whole triangle.
struct Update {  // rank-two update of rows 1..: row(j) -= u(j)·e + e(j)·u
  const float* u = nullptr;
  const float* e = nullptr;
};
struct Product {  // g = A u
  const float* u = nullptr;
  float* g = nullptr;
};

// A full block of eight rows on eight-lane vectors, the update of one step
// (with `update`) and the product of the next in one pass: each loaded
// vector of eight columns is updated, stored, and serves the second parts
// directly and, transposed, the first parts of the eight rows. The rows are
// read once from memory, not once for the update and again for the product.
template <bool update>
[[gnu::always_inline]] inline void fused_block8(float* const r[], int32_t k0, int32_t from,
                                                Update up, const float* u, float* g) {
  const int32_t prefix = k0 - 1;
  v8 uk[block], fk[block], gk[block];
  for (int32_t p = 0; p < block; ++p) {
    uk[p] = splat<v8>(u[k0 + p - 1]);
    if constexpr (update) {
      fk[p] = splat<v8>(up.u[k0 + p - 1]);
      gk[p] = splat<v8>(up.e[k0 + p - 1]);
    }
  }
  v8 acc = splat<v8>(0.0f);
  int32_t c = 0;
  for (; c + 8 <= prefix; c += 8) {
    v8 x[block];
    for (int32_t p = 0; p < block; ++p) x[p] = load<v8>(r[p] + c);
    if constexpr (update) {
      const v8 ev = load<v8>(up.e + c), uv = load<v8>(up.u + c);
      for (int32_t p = 0; p < block; ++p) {
        x[p] = x[p] - fk[p] * ev - gk[p] * uv;
        store(r[p] + c, x[p]);
      }
    }
    if (c >= from) {
      v8 gv = load<v8>(g + c);
      for (int32_t p = 0; p < block; ++p) gv = gv + x[p] * uk[p];
      store(g + c, gv);
    }
    transpose(x);
    for (int32_t q = 0; q < 8; ++q) acc = acc + x[q] * splat<v8>(u[c + q]);
  }
  if constexpr (update) {
    for (int32_t p = 0; p < block; ++p) {
      const float f = up.u[k0 + p - 1], gg = up.e[k0 + p - 1];
      for (int32_t k = c; k < k0 + p; ++k) r[p][k] = r[p][k] - f * up.e[k] - gg * up.u[k];
    }
  }
  for (int32_t j = c; j < prefix; ++j) {
    float gj = g[j];
    for (int32_t p = 0; p < block; ++p) gj = gj + r[p][j] * u[k0 + p - 1];
    g[j] = gj;
  }
  for (int32_t p = 0; p < block; ++p) {
    float sum = acc[p];
    for (int32_t cc = c; cc < k0 + p; ++cc) sum = sum + r[p][cc] * u[cc];
    g[k0 + p - 1] = sum;
  }
  for (int32_t q = 0; q + 1 < block; ++q) {
    float gj = g[k0 + q - 1];
    for (int32_t p = q + 1; p < block; ++p) gj = gj + r[p][k0 + q - 1] * u[k0 + p - 1];
    g[k0 + q - 1] = gj;
  }
}

// Rows first..last (first-1 a multiple of the block): the update of one
// step, then the product of the next, block by block; either may be absent.
// The second parts are added for the columns from `from` on (a multiple of
// eight, at most first-1): the terms of columns further left belong after
// the rows before `first`, and second_parts() adds them.
template <class V>
[[gnu::always_inline]] inline void pass_rows(const Rows& a, int32_t first, int32_t last,
                                             int32_t from, Update up, Product pr) {
  for (int32_t k0 = first; k0 <= last; k0 += block) {
    const int32_t nb = std::min(block, last - k0 + 1);
    float* r[block];
    for (int32_t p = 0; p < nb; ++p) r[p] = a.row(k0 + p);
    if constexpr (lanes<V> >= 8) {
      if (nb == block && pr.u != nullptr) {
        if (up.u != nullptr) {
          fused_block8<true>(r, k0, from, up, pr.u, pr.g);
        } else {
          fused_block8<false>(r, k0, from, up, pr.u, pr.g);
        }
        continue;
      }
    }
    if (up.u != nullptr) {
      for (int32_t p = 0; p < nb; ++p) {
        rank2_row<V>(r[p], k0 + p, up.u[k0 + p - 1], up.e, up.e[k0 + p - 1], up.u);
      }
    }
    if (pr.u == nullptr) continue;
    if (nb == block) {
      lower_block8(r, k0, from, pr.u, pr.g);
    } else {
      lower_block_any(r, k0, nb, from, pr.u, pr.g);
    }
  }
}

// The rows cut into parts: part t has rows bounds[t]..bounds[t+1]-1.
struct Parts {
  std::vector<int32_t> bounds;
  int32_t count() const { return static_cast<int32_t>(bounds.size()) - 1; }
};

// After every part's pass: the terms that rows of later parts add to the
// sums of columns j0..j1-1 (j0 and j1 multiples of eight, or j1 the end),
// part after part, rows in order, as the single pass would have added them.
template <class V>
[[gnu::always_inline]] inline void second_parts(const Rows& a, const Parts& parts, int32_t j0,
                                                int32_t j1, Product pr) {
  constexpr int32_t w = lanes<V>;
  for (int32_t t = 1; t < parts.count(); ++t) {
    const int32_t hi = std::min(j1, parts.bounds[t] - 1);  // columns of the parts before t
    if (hi <= j0) continue;
    for (int32_t k0 = parts.bounds[t]; k0 < parts.bounds[t + 1]; k0 += block) {
      const int32_t nb = std::min(block, parts.bounds[t + 1] - k0);
      const float* r[block];
      float uk[block];
      for (int32_t p = 0; p < nb; ++p) {
        r[p] = a.row(k0 + p);
        uk[p] = pr.u[k0 + p - 1];
      }
      int32_t j = j0;
      for (; j + w <= hi; j += w) {
        V gv = load<V>(pr.g + j);
        for (int32_t p = 0; p < nb; ++p) gv = gv + load<V>(r[p] + j) * splat<V>(uk[p]);
        store(pr.g + j, gv);
      }
      for (; j < hi; ++j) {
        float gj = pr.g[j];
        for (int32_t p = 0; p < nb; ++p) gj = gj + r[p][j] * uk[p];
        pr.g[j] = gj;
      }
    }
  }
}

struct Step {
  bool active = false;  // the step reflects (its row left of the diagonal is not zero)
  float h = 0.0f;
  float scale = 0.0f;
};

// The start of step i on row i, which carries every earlier update: scales
// the row into the Householder vector u and sets e(i) and v(i).
Step open_step(const Rows& a, int32_t i, float* e, Vectors& hv) {
  const int32_t l = i - 1;
  float* ri = a.row(i);
  if (l <= 1) {
    e[i - 1] = ri[l - 1];
    return {};
  }
  float scale = 0.0f;
  for (int32_t k = 0; k < l; ++k) scale = scale + std::fabs(ri[k]);
  if (scale == 0.0f) {
    e[i - 1] = ri[l - 1];
    return {};
  }
  float h = 0.0f;
  for (int32_t k = 0; k < l; ++k) {
    ri[k] = ri[k] / scale;
    h = h + ri[k] * ri[k];
  }
  const float f = ri[l - 1];
  const float root = std::sqrt(h);
  const float g = std::signbit(f) ? root : -root;
  e[i - 1] = scale * g;
  h = h - f * g;
  ri[l - 1] = f - g;
  float* v = hv.v(i);
  const float sh = scale * h;
  for (int32_t j = 0; j < l; ++j) v[j] = ri[j] / sh;
  return {true, h, scale};
}

// The end of step i, its product g = A u done: e becomes the update vector
// p - (uᵀp / 2h) u with p = g / h.
void close_step(int32_t l, const float* u, float h, const float* g, float* e) {
  float f = 0.0f;
  for (int32_t j = 0; j < l; ++j) {
    e[j] = g[j] / h;
    f = f + e[j] * u[j];
  }
  const float hh = f / (h + h);
  for (int32_t j = 0; j < l; ++j) e[j] = e[j] - hh * u[j];
}

// ---- the accumulation ------------------------------------------------------

constexpr int32_t strip_width = 32;

// A strip of Q: columns first..first+width-1 of every row, copied out
// contiguously (row k at s + (k-1)·width) so that walking down the rows
// neither strides across pages nor leaves the cache.
struct Strip {
  float* s;
  int32_t width;
  int32_t first;
  float* row(int32_t k) const { return s + static_cast<std::ptrdiff_t>(k - 1) * width; }
  float& at(int32_t k, int32_t j) const { return row(k)[j - first]; }
};

// One pass over rows 1..l of a strip of nv vectors and `tail` more columns:
// with `update`, row -= g·v(k); with `product`, gn += un(k)·row (updated).
template <class V, int nv, bool update, bool product>
[[gnu::always_inline]] inline void strip_rows(const Strip& q, int32_t tail, int32_t l, const V* g,
                                              const float* gs, const float* v, const float* un,
                                              V* gn, float* gns) {
  constexpr int32_t w = lanes<V>;
  for (int32_t k = 1; k <= l; ++k) {
    float* p = q.row(k);
    // Broadcast once per row: the stores below could alias v and un.
    V vk{}, uk{};
    if constexpr (update) vk = splat<V>(v[k - 1]);
    if constexpr (product) uk = splat<V>(un[k - 1]);
    for (int32_t c = 0; c < nv; ++c) {
      V x = load<V>(p + w * c);
      if constexpr (update) {
        x = x - g[c] * vk;
        store(p + w * c, x);
      }
      if constexpr (product) gn[c] = gn[c] + uk * x;
    }
    for (int32_t t = 0; t < tail; ++t) {
      float x = p[w * nv + t];
      if constexpr (update) {
        x = x - gs[t] * v[k - 1];
        p[w * nv + t] = x;
      }
      if constexpr (product) gns[t] = gns[t] + un[k - 1] * x;
    }
  }
}

// The accumulation on one strip: step i forms g = uᵀQ and Q -= v gᵀ on the
// strip's columns left of i, then makes column i the unit vector and clears
// row i left of it. Columns right of i take the update too: they are zero
// above the diagonal (so stay zero) and are set when their own step comes.
// The product of step i+1 is gathered while step i updates, and finished
// with row i once step i has set it.
template <class V, int nv>
[[gnu::always_inline]] inline void accumulate_strip(const Strip& q, int32_t n, int32_t tail,
                                                    Vectors& hv, const std::vector<char>& active) {
  constexpr int32_t w = lanes<V>;
  constexpr int nvec = nv > 0 ? nv : 1;
  const int32_t first = q.first;
  V g[nvec] = {};
  float gs[w] = {};
  bool have = false;
  for (int32_t i = first; i <= n; ++i) {
    const int32_t l = i - 1;
    const bool act = active[i] && l >= first;
    const bool next = i < n && active[i + 1];
    if (act && !have) {
      for (int32_t c = 0; c < nv; ++c) g[c] = splat<V>(0.0f);
      for (int32_t t = 0; t < w; ++t) gs[t] = 0.0f;
      strip_rows<V, nv, false, true>(q, tail, l, nullptr, nullptr, nullptr, hv.u(i), g, gs);
    }
    V gn[nvec];
    float gns[w];
    for (int32_t c = 0; c < nv; ++c) gn[c] = splat<V>(0.0f);
    for (int32_t t = 0; t < w; ++t) gns[t] = 0.0f;
    const float* un = next ? hv.u(i + 1) : nullptr;
    if (act && next) {
      strip_rows<V, nv, true, true>(q, tail, l, g, gs, hv.v(i), un, gn, gns);
    } else if (act) {
      strip_rows<V, nv, true, false>(q, tail, l, g, gs, hv.v(i), nullptr, nullptr, nullptr);
    } else if (next) {
      strip_rows<V, nv, false, true>(q, tail, l, nullptr, nullptr, nullptr, un, gn, gns);
    }

    const bool in_strip = i < first + q.width;
    if (in_strip) {
      for (int32_t k = 1; k < i; ++k) q.at(k, i) = 0.0f;
      q.at(i, i) = 1.0f;
    }
    float* ri = q.row(i);
    const int32_t last = std::min(first + q.width - 1, i - 1);
    for (int32_t j = first; j <= last; ++j) q.at(i, j) = 0.0f;

    if (next) {
      for (int32_t c = 0; c < nv; ++c) gn[c] = gn[c] + splat<V>(un[i - 1]) * load<V>(ri + w * c);
      for (int32_t t = 0; t < tail; ++t) gns[t] = gns[t] + un[i - 1] * ri[w * nv + t];
      if (in_strip) {
        // Column i changed after its terms were gathered: its sum again, from
        // the column as step i left it.
        float sum = 0.0f;
        for (int32_t k = 1; k <= i; ++k) sum = sum + un[k - 1] * q.at(k, i);
        const int32_t lane = i - first;
        if (lane < w * nv) {
          gn[lane / w][lane % w] = sum;
        } else {
          gns[lane - w * nv] = sum;
        }
      }
    }
    for (int32_t c = 0; c < nv; ++c) g[c] = gn[c];
    for (int32_t t = 0; t < w; ++t) gs[t] = gns[t];
    have = next;
  }
}

template <class V, int nv>
[[gnu::always_inline]] inline void accumulate_width(const Strip& q, int32_t n, Vectors& hv,
                                                    const std::vector<char>& active) {
  constexpr int32_t w = lanes<V>;
  if constexpr (nv > 0) {
    if (q.width / w < nv) return accumulate_width<V, nv - 1>(q, n, hv, active);
  }
  accumulate_strip<V, nv>(q, n, q.width - w * nv, hv, active);
}

// Strips first_strip.. of Q (columns from first_col on, `strips` strips of
// strip_width but the last) through the whole accumulation, one at a time
// in the buffer (n·strip_width cells).
template <class V>
[[gnu::always_inline]] inline void accumulate_strips(const Rows& a, int32_t n, int32_t first_col,
                                                     int32_t last_col, float* buffer, Vectors& hv,
                                                     const std::vector<char>& active) {
  for (int32_t first = first_col; first <= last_col; first += strip_width) {
    const int32_t width = std::min(strip_width, last_col - first + 1);
    const Strip q{buffer, width, first};
    for (int32_t k = 1; k <= n; ++k) std::copy_n(a.row(k) + (first - 1), width, q.row(k));
    accumulate_width<V, strip_width / lanes<V>>(q, n, hv, active);
    for (int32_t k = 1; k <= n; ++k) std::copy_n(q.row(k), width, a.row(k) + (first - 1));
  }
}

// ---- one set of kernels per lane width ---------------------------------------

// The vector kernels, compiled for the instruction set of their width; the
// steps, the partition and the threads are plain code around them (a lambda
// inside a function compiled for a wider target would not be).
struct Kernels {
  void (*pass)(const Rows&, int32_t, int32_t, int32_t, Update, Product);
  void (*second)(const Rows&, const Parts&, int32_t, int32_t, Product);
  void (*rank2)(float*, int32_t, float, const float*, float, const float*);
  void (*strips)(const Rows&, int32_t, int32_t, int32_t, float*, Vectors&,
                 const std::vector<char>&);
};

void pass_4(const Rows& a, int32_t f, int32_t l, int32_t from, Update up, Product pr) {
  pass_rows<v4>(a, f, l, from, up, pr);
}
void second_4(const Rows& a, const Parts& p, int32_t j0, int32_t j1, Product pr) {
  second_parts<v4>(a, p, j0, j1, pr);
}
void rank2_4(float* row, int32_t len, float f, const float* e, float g, const float* u) {
  rank2_row<v4>(row, len, f, e, g, u);
}
void strips_4(const Rows& a, int32_t n, int32_t c0, int32_t c1, float* buf, Vectors& hv,
              const std::vector<char>& act) {
  accumulate_strips<v4>(a, n, c0, c1, buf, hv, act);
}

#if defined(__x86_64__) || defined(__i386__)
[[gnu::target("avx2")]] void pass_8(const Rows& a, int32_t f, int32_t l, int32_t from, Update up,
                                    Product pr) {
  pass_rows<v8>(a, f, l, from, up, pr);
}
[[gnu::target("avx2")]] void second_8(const Rows& a, const Parts& p, int32_t j0, int32_t j1,
                                      Product pr) {
  second_parts<v8>(a, p, j0, j1, pr);
}
[[gnu::target("avx2")]] void rank2_8(float* row, int32_t len, float f, const float* e, float g,
                                     const float* u) {
  rank2_row<v8>(row, len, f, e, g, u);
}
[[gnu::target("avx2")]] void strips_8(const Rows& a, int32_t n, int32_t c0, int32_t c1, float* buf,
                                      Vectors& hv, const std::vector<char>& act) {
  accumulate_strips<v8>(a, n, c0, c1, buf, hv, act);
}
[[gnu::target("avx512f")]] void pass_16(const Rows& a, int32_t f, int32_t l, int32_t from,
                                        Update up, Product pr) {
  pass_rows<v16>(a, f, l, from, up, pr);
}
[[gnu::target("avx512f")]] void second_16(const Rows& a, const Parts& p, int32_t j0, int32_t j1,
                                          Product pr) {
  second_parts<v16>(a, p, j0, j1, pr);
}
[[gnu::target("avx512f")]] void rank2_16(float* row, int32_t len, float f, const float* e, float g,
                                         const float* u) {
  rank2_row<v16>(row, len, f, e, g, u);
}
[[gnu::target("avx512f")]] void strips_16(const Rows& a, int32_t n, int32_t c0, int32_t c1,
                                          float* buf, Vectors& hv, const std::vector<char>& act) {
  accumulate_strips<v16>(a, n, c0, c1, buf, hv, act);
}
constexpr Kernels kernels_8{pass_8, second_8, rank2_8, strips_8};
constexpr Kernels kernels_16{pass_16, second_16, rank2_16, strips_16};
#else
constexpr Kernels kernels_8{pass_4, second_4, rank2_4, strips_4};
constexpr Kernels kernels_16 = kernels_8;
#endif
constexpr Kernels kernels_4{pass_4, second_4, rank2_4, strips_4};

const Kernels& kernels() {
  const int32_t w = simd::width();
  return w >= 16 ? kernels_16 : w >= 8 ? kernels_8 : kernels_4;
}

// ---- the threads -----------------------------------------------------------

// [1, count] cut into at most `want` ranges of whole blocks, each of about the
// same cost, where row k costs cost(k).
template <class F>
Parts split(int32_t count, int32_t want, int32_t grain, F cost) {
  Parts parts{{1}};
  double total = 0.0;
  for (int32_t k = 1; k <= count; ++k) total += cost(k);
  double done = 0.0;
  for (int32_t k0 = 1; k0 <= count; k0 += grain) {
    for (int32_t k = k0; k < std::min(count + 1, k0 + grain); ++k) done += cost(k);
    const int32_t made = parts.count() + 1;
    if (made < want && done >= total * made / want && k0 + grain <= count)
      parts.bounds.push_back(k0 + grain);
  }
  parts.bounds.push_back(count + 1);
  return parts;
}

// Below this many rows a reduction step is too short to share.
constexpr int32_t min_parallel_rows = 256;

// Rows 1..count: the update of one step and the product of the next. With
// threads, part t updates its rows and forms their first parts and the
// second parts of its own columns; then the columns take the terms of the
// later parts' rows, split among the threads by columns.
void triangle_pass(const Kernels& k, const Rows& a, int32_t count, Update up, Product pr) {
  const int32_t threads = parallel::threads();
  if (threads == 1 || count < min_parallel_rows) return k.pass(a, 1, count, 0, up, pr);
  // A row costs its update and first part (about three columns' worth per
  // column) and, later, its share of second parts.
  const Parts parts = split(count, threads, block, [](int32_t r) { return 3.0 * r; });
  parallel::run(parts.count(), [&](int32_t t) {
    k.pass(a, parts.bounds[t], parts.bounds[t + 1] - 1, parts.bounds[t] - 1, up, pr);
  });
  if (pr.u == nullptr || parts.count() == 1) return;
  parallel::for_range(
      parts.bounds[parts.count() - 1] - 1,
      [&](int32_t j0, int32_t j1) { k.second(a, parts, j0, j1, pr); }, block);
}

// Steps n..2 on the rows; d(i) = h of step i, e(i) the sub-diagonal. The
// scaled row i (left in place) is step i's u for the update; the saved u(i)
// is scaled back.
void reduce(const Kernels& k, const Rows& a, int32_t n, float* d, float* e, Vectors& hv, float* g) {
  if (n < 2) return;
  Step s = open_step(a, n, e, hv);
  if (s.active) triangle_pass(k, a, n - 1, {}, {a.row(n), g});
  for (int32_t i = n; i >= 2; --i) {
    const int32_t l = i - 1;
    const float* ri = a.row(i);
    Update up;
    if (s.active) {
      close_step(l, ri, s.h, g, e);
      k.rank2(a.row(l), l, ri[l - 1], e, e[l - 1], ri);
      float* u = hv.u(i);
      for (int32_t c = 0; c < l; ++c) u[c] = s.scale * ri[c];
      up = {ri, e};
    }
    d[i - 1] = s.h;
    if (l == 1) break;
    const Step next = open_step(a, l, e, hv);
    triangle_pass(k, a, l - 1, up, next.active ? Product{a.row(l), g} : Product{});
    s = next;
  }
}

// The strips of Q are independent: contiguous runs of strips, one per
// thread, each through its own buffer. A strip costs the steps right of its
// first column.
void accumulate(const Kernels& k, const Rows& a, int32_t n, Vectors& hv,
                const std::vector<char>& active) {
  const int32_t strips = (n + strip_width - 1) / strip_width;
  const int32_t want = n < min_parallel_rows ? 1 : std::min(parallel::threads(), strips);
  const Parts parts = split(n, want, strip_width, [&](int32_t c) {
    return 0.5 * (static_cast<double>(n) * n - static_cast<double>(c) * c);
  });
  parallel::run(parts.count(), [&](int32_t t) {
    std::unique_ptr<float[]> buffer(new float[static_cast<std::size_t>(n) * strip_width]);
    k.strips(a, n, parts.bounds[t], parts.bounds[t + 1] - 1, buffer.get(), hv, active);
  });
}

void tred3_rows(const Rows& rows, int32_t n, float* d, float* e) {
  const Kernels& k = kernels();
  Vectors hv(n);
  std::vector<float> g(static_cast<std::size_t>(n));
  reduce(k, rows, n, d, e, hv, g.data());
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
  accumulate(k, rows, n, hv, active);
}

}  // namespace

void tred3(float* a, int32_t nm, int32_t n, float* d, float* e) {
  if (n < 1) return;
  transpose_square(a, nm, n);
  const Rows rows{a, nm};
  tred3_rows(rows, n, d, e);
  transpose_square(a, nm, n);
}

}  // namespace mv
