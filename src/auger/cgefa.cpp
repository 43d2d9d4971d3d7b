// Complex LU factorisation with partial pivoting, P*A = L*U (LINPACK CGEFA).
// Needs a column-major n x n interleaved complex matrix, lda >= n; cost
// ~8n^3/3 real flops, n^2 complex numbers of extra memory for a working copy.
//
// Every element receives exactly the operations of the column-by-column
// procedure, in the same order: at step k, rows k and l exchanged, then
// a(i,j) += a(k,j) * m(i,k) for i > k, skipped when a(k,j) = 0 or the pivot
// is zero. Only the order in which independent elements are visited changes:
// - The matrix is copied into split columns (real parts, then imaginary
//   parts), so that vectors hold eight (or four) rows of one column.
// - Steps are taken in panels of nb columns. A panel is factorised column by
//   column; the later columns then receive its nb steps one after the other
//   while a tile of their rows stays in registers.
// - Within a panel, the interchanges of later steps are applied to a column
//   first and its multipliers are read from a copy that has been through the
//   same interchanges (rows exchanged move with their multipliers); element
//   by element this is the original sequence of updates.
// - The columns after a panel are independent of each other while they take
//   its steps: threads share them, and any thread count gives the same bits.
#include "auger/cgefa.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "auger/cplx.h"
#include "auger/cvec.h"
#include "parallel/pool.h"

namespace mv {

namespace {

using namespace lu;

constexpr int32_t nb = 32;  // steps per panel
constexpr int32_t max_lanes = 8;
constexpr int32_t max_tile = 2 * max_lanes;  // rows of a register tile: two vectors

// The split working copy: column j's real parts at col_re(j), its imaginary
// parts ld floats further. Rows n..ld-1 are padding that vector sweeps may
// run into; they never reach a pivot search, an interchange or the result.
struct Split {
  int32_t n = 0, ld = 0;
  float* w = nullptr;  // 2*ld floats per column, owned by the caller
  float* re(int32_t j) const { return w + 2 * std::ptrdiff_t(j) * ld; }
  float* im(int32_t j) const { return re(j) + ld; }
  cplx at(int32_t i, int32_t j) const { return {re(j)[i], im(j)[i]}; }
  void set(int32_t i, int32_t j, cplx z) const {
    re(j)[i] = z.re;
    im(j)[i] = z.im;
  }
  void exchange(int32_t i, int32_t l, int32_t j) const {
    std::swap(re(j)[i], re(j)[l]);
    std::swap(im(j)[i], im(j)[l]);
  }
};

// Zeroed floats whose first one starts a cache line, so that the columns of
// a split copy (ld a multiple of 16) do too and no vector load straddles two.
class Floats {
 public:
  explicit Floats(std::size_t n) : v_(n + 16, 0.0f) {}
  float* data() {
    const auto at = reinterpret_cast<std::uintptr_t>(v_.data());
    return v_.data() + ((64 - at % 64) % 64) / sizeof(float);
  }

 private:
  std::vector<float> v_;
};

// Rows padded so that a register tile started at any row below n, and a
// buffer of nb rows plus a vector, stay inside the column; the column stride
// avoids multiples of 4 KiB, which would map every column to the same cache set.
int32_t padded_rows(int32_t n) {
  int32_t ld = (n + max_tile + nb + 15) / 16 * 16;
  if (ld % 512 == 0) ld += 16;
  return ld;
}

// One panel: steps k0 .. k0+kb-1.
struct Panel {
  int32_t k0 = 0, kb = 0;
  std::array<int32_t, nb> piv{};  // pivot row of each step (0-based)
  std::array<bool, nb> skip{};    // zero pivot: the step does nothing
  Split l;                        // multipliers of each step, later interchanges applied
};

// 0-based row of the largest |Re| + |Im| among rows k..n-1 of column (re, im),
// the first on ties; a NaN takes over as it does in the scalar sweep.
template <class V>
[[gnu::always_inline]] inline int32_t pivot_row(const float* re, const float* im, int32_t k,
                                                int32_t n) {
  using iv = typename int_lanes<V>::type;
  constexpr int32_t L = lanes<V>;
  int32_t best = k;
  float smax = std::fabs(re[k]) + std::fabs(im[k]);
  int32_t i = k + 1;
  for (; i + L <= n; i += L) {
    // Vectors only decide whether a chunk can hold a new maximum; the chunk
    // is then scanned as the scalar loop would.
    const V s = cabs1(load<V>(re + i), load<V>(im + i));
    const iv stays = s <= splat<V>(smax);
    bool all = true;
    for (int32_t q = 0; q < L; ++q) all = all && stays[q] != 0;
    if (all) continue;
    for (int32_t r = i; r < i + L; ++r) {
      const float t = std::fabs(re[r]) + std::fabs(im[r]);
      if (t <= smax) continue;
      best = r;
      smax = t;
    }
  }
  for (; i < n; ++i) {
    const float t = std::fabs(re[i]) + std::fabs(im[i]);
    if (t <= smax) continue;
    best = i;
    smax = t;
  }
  return best;
}

// x <- t*x over rows [0, m) rounded up to whole vectors (into the padding).
template <class V>
[[gnu::always_inline]] inline void scale(cplx t, float* xr, float* xi, int32_t m) {
  const V tr = splat<V>(t.re), ti = splat<V>(t.im);
  for (int32_t i = 0; i < m; i += lanes<V>) {
    const V a = load<V>(xr + i), b = load<V>(xi + i);
    const V ac = tr * a, bd = ti * b, ad = tr * b, bc = ti * a;
    store(xr + i, ac - bd);
    store(xi + i, ad + bc);
  }
}

// y <- y + t*x over rows [0, m) rounded up to whole vectors.
template <class V>
[[gnu::always_inline]] inline void axpy(cplx t, const float* xr, const float* xi, float* yr,
                                        float* yi, int32_t m) {
  const V tr = splat<V>(t.re), ti = splat<V>(t.im);
  for (int32_t i = 0; i < m; i += lanes<V>) {
    V ar = load<V>(yr + i), ai = load<V>(yi + i);
    madd(ar, ai, tr, ti, load<V>(xr + i), load<V>(xi + i));
    store(yr + i, ar);
    store(yi + i, ai);
  }
}

// The column-by-column procedure on the panel's own columns; records pivots.
template <class V>
[[gnu::always_inline]] inline void factor_panel(const Split& a, Panel& p, int32_t* ipvt,
                                                int32_t& info) {
  const int32_t n = a.n;
  for (int32_t q = 0; q < p.kb; ++q) {
    const int32_t k = p.k0 + q;
    const int32_t l = pivot_row<V>(a.re(k), a.im(k), k, n);
    ipvt[k] = l + 1;
    p.piv[q] = l;
    p.skip[q] = cabs1(a.at(l, k)) == 0.0f;
    if (p.skip[q]) {
      info = k + 1;
      continue;
    }
    if (l != k) a.exchange(k, l, k);
    const cplx t = neg(div({1.0f, 0.0f}, a.at(k, k)));
    scale<V>(t, a.re(k) + k + 1, a.im(k) + k + 1, n - k - 1);
    for (int32_t j = k + 1; j < p.k0 + p.kb; ++j) {
      const cplx tj = a.at(l, j);
      if (l != k) a.exchange(k, l, j);
      if (cabs1(tj) == 0.0f) continue;
      axpy<V>(tj, a.re(k) + k + 1, a.im(k) + k + 1, a.re(j) + k + 1, a.im(j) + k + 1, n - k - 1);
    }
  }
}

// The panel's multipliers, each column put through the interchanges of the
// panel's later steps.
void copy_multipliers(const Split& a, const Panel& p) {
  for (int32_t q = 0; q < p.kb; ++q) {
    if (p.skip[q]) continue;
    const int32_t k = p.k0 + q;
    std::copy(a.re(k) + k + 1, a.re(k) + a.ld, p.l.re(q) + k + 1);
    std::copy(a.im(k) + k + 1, a.im(k) + a.ld, p.l.im(q) + k + 1);
    for (int32_t q2 = q + 1; q2 < p.kb; ++q2) {
      if (!p.skip[q2] && p.piv[q2] != p.k0 + q2) p.l.exchange(p.k0 + q2, p.piv[q2], q);
    }
  }
}

// Column j before its register tiles: the panel's interchanges, then the
// panel's steps on rows k0 .. k0+kb-1, which fixes the factor's row entries
// a(k, j) that scale each step's update of the rows below.
template <class V>
[[gnu::always_inline]] inline void head(const Split& a, const Panel& p, int32_t j) {
  constexpr int32_t L = lanes<V>;
  for (int32_t q = 0; q < p.kb; ++q) {
    if (!p.skip[q] && p.piv[q] != p.k0 + q) a.exchange(p.k0 + q, p.piv[q], j);
  }
  // A copy with room for a vector past the panel: sweeps may run over, and
  // the rows they overrun belong to the tiles, which take their steps later.
  alignas(64) float br[nb + max_lanes], bi[nb + max_lanes];
  const int32_t k0 = p.k0, kb = p.kb;
  std::copy(a.re(j) + k0, a.re(j) + k0 + kb + L, br);
  std::copy(a.im(j) + k0, a.im(j) + k0 + kb + L, bi);
  for (int32_t q = 0; q + 1 < kb; ++q) {
    const cplx t{br[q], bi[q]};
    if (p.skip[q] || cabs1(t) == 0.0f) continue;
    axpy<V>(t, p.l.re(q) + k0 + q + 1, p.l.im(q) + k0 + q + 1, br + q + 1, bi + q + 1, kb - q - 1);
  }
  std::copy(br, br + kb, a.re(j) + k0);
  std::copy(bi, bi + kb, a.im(j) + k0);
}

// The factor's row entries of the panel's steps for a group of columns, and
// whether each step updates the column at all.
template <int32_t C>
struct RowEntries {
  alignas(64) float re[C][nb];
  alignas(64) float im[C][nb];
  bool active[C][nb];
  bool all_active;
};

template <int32_t C>
void row_entries(const Split& a, const Panel& p, int32_t j, RowEntries<C>& t) {
  t.all_active = true;
  for (int32_t c = 0; c < C; ++c) {
    for (int32_t q = 0; q < p.kb; ++q) {
      const cplx z = a.at(p.k0 + q, j + c);
      t.re[c][q] = z.re;
      t.im[c][q] = z.im;
      t.active[c][q] = !p.skip[q] && cabs1(z) != 0.0f;
      t.all_active = t.all_active && t.active[c][q];
    }
  }
}

// Rows [s, s + R vectors) of columns j .. j+C-1 receive the panel's steps in
// order, the rows held in registers throughout. Every step's multipliers are
// loaded once for the C columns.
template <class V, int32_t C, int32_t R, bool all_active>
[[gnu::always_inline]] inline void tile(const Split& a, const Panel& p, const RowEntries<C>& t,
                                        int32_t s, int32_t j) {
  constexpr int32_t L = lanes<V>;
  V yr[C][R], yi[C][R];
  for (int32_t c = 0; c < C; ++c) {
    for (int32_t v = 0; v < R; ++v) {
      yr[c][v] = load<V>(a.re(j + c) + s + v * L);
      yi[c][v] = load<V>(a.im(j + c) + s + v * L);
    }
  }
  for (int32_t q = 0; q < p.kb; ++q) {
    const float* lr = p.l.re(q) + s;
    const float* li = p.l.im(q) + s;
    V xr[R], xi[R];
    for (int32_t v = 0; v < R; ++v) {
      xr[v] = load<V>(lr + v * L);
      xi[v] = load<V>(li + v * L);
    }
    for (int32_t c = 0; c < C; ++c) {
      if (!all_active && !t.active[c][q]) continue;
      const V tr = splat<V>(t.re[c][q]), ti = splat<V>(t.im[c][q]);
      for (int32_t v = 0; v < R; ++v) madd(yr[c][v], yi[c][v], tr, ti, xr[v], xi[v]);
    }
  }
  for (int32_t c = 0; c < C; ++c) {
    for (int32_t v = 0; v < R; ++v) {
      store(a.re(j + c) + s + v * L, yr[c][v]);
      store(a.im(j + c) + s + v * L, yi[c][v]);
    }
  }
}

// Columns j .. j+C-1 receive the panel's steps, rows below the panel tile by tile.
template <class V, int32_t C>
[[gnu::always_inline]] inline void update_group(const Split& a, const Panel& p, int32_t j) {
  constexpr int32_t R = 2;
  RowEntries<C> t;
  for (int32_t c = 0; c < C; ++c) head<V>(a, p, j + c);
  row_entries<C>(a, p, j, t);
  const int32_t rows = R * lanes<V>;
  for (int32_t s = p.k0 + p.kb; s < a.n; s += rows) {
    if (t.all_active) {
      tile<V, C, R, true>(a, p, t, s, j);
    } else {
      tile<V, C, R, false>(a, p, t, s, j);
    }
  }
}

// Columns [j0, j1) of the trailing matrix receive the panel's steps, in
// pairs: the rows of a pair stream through while the panel's multipliers
// (n x nb) stay in the second-level cache.
template <class V>
[[gnu::always_inline]] inline void update(const Split& a, const Panel& p, int32_t j0, int32_t j1) {
  int32_t j = j0;
  for (; j + 2 <= j1; j += 2) update_group<V, 2>(a, p, j);
  if (j < j1) update_group<V, 1>(a, p, j);
}

// The kernels of one vector width, each compiled for its instruction set.
struct Kernels {
  void (*panel)(const Split&, Panel&, int32_t*, int32_t&);
  void (*update)(const Split&, const Panel&, int32_t, int32_t);
};

[[gnu::target("avx2")]] void panel_8(const Split& a, Panel& p, int32_t* ipvt, int32_t& info) {
  factor_panel<v8>(a, p, ipvt, info);
}
[[gnu::target("avx2")]] void update_8(const Split& a, const Panel& p, int32_t j0, int32_t j1) {
  update<v8>(a, p, j0, j1);
}
void panel_4(const Split& a, Panel& p, int32_t* ipvt, int32_t& info) {
  factor_panel<v4>(a, p, ipvt, info);
}
void update_4(const Split& a, const Panel& p, int32_t j0, int32_t j1) { update<v4>(a, p, j0, j1); }

// Eight lanes at most: with sixteen (AVX-512) the same kernels ran at half
// the speed on the development machine.
Kernels kernels() {
  if (simd::width() >= 8) return {panel_8, update_8};
  return {panel_4, update_4};
}

// Panel after panel; the trailing columns of a panel are shared among the
// threads in contiguous ranges (columns are independent within a panel).
void factor(const Split& a, int32_t* ipvt, int32_t& info) {
  const Kernels k = kernels();
  const int32_t n = a.n;
  Floats multipliers(2 * std::size_t(nb) * a.ld);
  Panel p;
  p.l = {n, a.ld, multipliers.data()};
  for (int32_t k0 = 0; k0 < n - 1; k0 += nb) {
    p.k0 = k0;
    p.kb = std::min(nb, n - 1 - k0);
    k.panel(a, p, ipvt, info);
    copy_multipliers(a, p);
    const int32_t j0 = k0 + p.kb;
    parallel::for_range(
        n - j0, [&](int32_t b, int32_t e) { k.update(a, p, j0 + b, j0 + e); }, 2);
  }
}

}  // namespace

void cgefa(float* a, int32_t lda, int32_t n, int32_t* ipvt, int32_t& info) {
  info = 0;
  if (n < 1) return;
  const int32_t ld = padded_rows(n);
  Floats copy(2 * std::size_t(n) * ld);
  const Split s{n, ld, copy.data()};
  for (int32_t j = 0; j < n; ++j) {
    const float* c = a + 2 * std::ptrdiff_t(j) * lda;
    for (int32_t i = 0; i < n; ++i) s.set(i, j, get(c, i));
  }
  factor(s, ipvt, info);
  ipvt[n - 1] = n;
  if (cabs1(s.at(n - 1, n - 1)) == 0.0f) info = n;
  for (int32_t j = 0; j < n; ++j) {
    float* c = a + 2 * std::ptrdiff_t(j) * lda;
    for (int32_t i = 0; i < n; ++i) put(c, i, s.at(i, j));
  }
}

}  // namespace mv
