// Implicit-shift QL iteration with rotations carried into z.
// Preconditions: n >= 0, rows <= nm. Cost: order n² flops for the eigenvalues,
// 6 flops per carried row per rotation (some 0.8·n² rotations in all).
// Algorithm: TQL2 of Bowdler, Martin, Reinsch and Wilkinson (Handbook II/3),
// single precision, machine precision 2⁻²³, at most 30 iterations each.
//
// The rotations depend on d and e only, never on z. For many rows they are
// therefore recorded as they are made and then applied to z a band of rows at
// a time: each element of z receives exactly the rotations it would have
// received, in the same order, but a band stays in cache through thousands of
// rotations instead of the whole of z streaming through memory for each one.
// The bands run as wide as the processor allows (simd.h) and are shared out
// among the threads: they are bound by the four multiplications each
// rotation needs per element.
#include "spectra/tql3.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "io/format.h"
#include "parallel/pool.h"
#include "spectra/simd.h"

namespace mv {

namespace {

using simd::lanes;
using simd::load;
using simd::splat;
using simd::store;
using simd::v16;
using simd::v4;
using simd::v8;

constexpr float machep = 1.1920929e-7f;  // 2⁻²³
constexpr int32_t max_iterations = 30;

// Columns i and i+1 of z, rows [0, rows): (z_i, z_i+1) <- (c z_i - s z_i+1, s z_i + c z_i+1).
inline void rotate(float* zi, float* zi1, int32_t rows, float c, float s) {
  for (int32_t k = 0; k < rows; ++k) {
    const float t = zi1[k];
    zi1[k] = s * zi[k] + c * t;
    zi[k] = c * zi[k] - s * t;
  }
}

// The recorded rotations: sweep after sweep, each over descending columns.
struct Sweep {
  int32_t top;     // first rotation acts on columns top and top+1
  int32_t count;   // rotations top, top-1, ..., top-count+1
  std::size_t at;  // their c and s in the record
};
struct Record {
  std::vector<Sweep> sweeps;
  std::vector<float> c, s;
};

// Rows carried together: eight vectors, so that eight independent chains of
// rotations keep the arithmetic units busy.
template <class V>
inline constexpr int32_t band = 8 * lanes<V>;

// One sweep applied to rows k0..k0+band-1 of z. Column i+1 is final once
// rotation i is done and column i goes on to the next rotation, so the band
// carries that column in registers from one rotation to the next: each
// column is loaded and stored once per sweep.
template <class V>
[[gnu::always_inline]] inline void apply_one(const Record& r, const Sweep& sw, float* z, int32_t nm,
                                             int32_t k0) {
  constexpr int32_t w = lanes<V>;
  constexpr int32_t nv = band<V> / w;
  auto column = [&](int32_t i) { return z + static_cast<std::ptrdiff_t>(i - 1) * nm + k0; };
  V carry[nv];
  const float* top = column(sw.top + 1);
  for (int32_t q = 0; q < nv; ++q) carry[q] = load<V>(top + w * q);
  const float* cs = r.c.data() + sw.at;
  const float* ss = r.s.data() + sw.at;
  for (int32_t j = 0; j < sw.count; ++j) {
    float* zi = column(sw.top - j);
    float* zi1 = zi + nm;
    const V c = splat<V>(cs[j]), s = splat<V>(ss[j]);
    for (int32_t q = 0; q < nv; ++q) {
      const V x = load<V>(zi + w * q);
      store(zi1 + w * q, s * x + c * carry[q]);
      carry[q] = c * x - s * carry[q];
    }
  }
  float* last = column(sw.top - sw.count + 1);
  for (int32_t q = 0; q < nv; ++q) store(last + w * q, carry[q]);
}

// Two successive sweeps over the same columns (the iterations of one
// eigenvalue), the second one column behind the first: rotation p of the
// first and rotation p+1 of the second share a step, the column the first
// finishes going straight on to the second in registers. Every element still
// sees the first sweep's rotations before the second's, each in its order,
// and is loaded and stored once for both.
template <class V>
[[gnu::always_inline]] inline void apply_two(const Record& r, const Sweep& a, const Sweep& b,
                                             float* z, int32_t nm, int32_t k0) {
  constexpr int32_t w = lanes<V>;
  constexpr int32_t nv = band<V> / w;
  auto column = [&](int32_t i) { return z + static_cast<std::ptrdiff_t>(i - 1) * nm + k0; };
  const float* ca = r.c.data() + a.at;
  const float* sa = r.s.data() + a.at;
  const float* cb = r.c.data() + b.at;
  const float* sb = r.s.data() + b.at;
  V carry_a[nv], carry_b[nv];
  {
    // Rotation top of the first sweep; its upper column is the second's start.
    const float* zt = column(a.top);
    const float* zt1 = zt + nm;
    const V c = splat<V>(ca[0]), s = splat<V>(sa[0]);
    for (int32_t q = 0; q < nv; ++q) {
      const V x = load<V>(zt + w * q);
      const V t = load<V>(zt1 + w * q);
      carry_b[q] = s * x + c * t;
      carry_a[q] = c * x - s * t;
    }
  }
  for (int32_t j = 1; j < a.count; ++j) {
    float* zi = column(a.top - j);
    float* zi2 = zi + 2 * static_cast<std::ptrdiff_t>(nm);
    const V c1 = splat<V>(ca[j]), s1 = splat<V>(sa[j]);
    const V c2 = splat<V>(cb[j - 1]), s2 = splat<V>(sb[j - 1]);
    for (int32_t q = 0; q < nv; ++q) {
      const V x = load<V>(zi + w * q);
      const V y = s1 * x + c1 * carry_a[q];  // column i+1, done with the first sweep
      carry_a[q] = c1 * x - s1 * carry_a[q];
      store(zi2 + w * q, s2 * y + c2 * carry_b[q]);
      carry_b[q] = c2 * y - s2 * carry_b[q];
    }
  }
  // The second sweep's last rotation, on the first sweep's last column.
  float* zl = column(a.top - a.count + 1);
  float* zl1 = zl + nm;
  const V c = splat<V>(cb[b.count - 1]), s = splat<V>(sb[b.count - 1]);
  for (int32_t q = 0; q < nv; ++q) {
    const V y = carry_a[q];
    store(zl1 + w * q, s * y + c * carry_b[q]);
    store(zl + w * q, c * y - s * carry_b[q]);
  }
}

// Every recorded sweep applied to rows k0..k0+band-1 of z.
template <class V>
[[gnu::always_inline]] inline void apply_band(const Record& r, float* z, int32_t nm, int32_t k0) {
  const std::size_t count = r.sweeps.size();
  for (std::size_t k = 0; k < count; ++k) {
    const Sweep& sw = r.sweeps[k];
    if (k + 1 < count && r.sweeps[k + 1].top == sw.top && r.sweeps[k + 1].count == sw.count) {
      apply_two<V>(r, sw, r.sweeps[k + 1], z, nm, k0);
      ++k;
    } else {
      apply_one<V>(r, sw, z, nm, k0);
    }
  }
}

// Every recorded sweep applied to rows 0..rows-1 of z: bands of V, then
// narrower bands, then the last few rows one by one.
template <class V>
[[gnu::always_inline]] inline void apply_record(const Record& r, float* z, int32_t nm,
                                                int32_t rows) {
  constexpr int32_t w = lanes<V>;
  int32_t k0 = 0;
  for (; k0 + band<V> <= rows; k0 += band<V>) apply_band<V>(r, z, nm, k0);
  if constexpr (w > 8) {
    for (; k0 + band<v8> <= rows; k0 += band<v8>) apply_band<v8>(r, z, nm, k0);
  }
  if constexpr (w > 4) {
    for (; k0 + band<v4> <= rows; k0 += band<v4>) apply_band<v4>(r, z, nm, k0);
  }
  if (k0 == rows) return;
  for (const Sweep& sw : r.sweeps) {
    for (int32_t j = 0; j < sw.count; ++j) {
      float* zi = z + static_cast<std::ptrdiff_t>(sw.top - j - 1) * nm + k0;
      rotate(zi, zi + nm, rows - k0, r.c[sw.at + j], r.s[sw.at + j]);
    }
  }
}

void apply_4(const Record& r, float* z, int32_t nm, int32_t rows) {
  apply_record<v4>(r, z, nm, rows);
}

#if defined(__x86_64__) || defined(__i386__)
[[gnu::target("avx2")]] void apply_8(const Record& r, float* z, int32_t nm, int32_t rows) {
  apply_record<v8>(r, z, nm, rows);
}
[[gnu::target("avx512f")]] void apply_16(const Record& r, float* z, int32_t nm, int32_t rows) {
  apply_record<v16>(r, z, nm, rows);
}
#else
void apply_8(const Record& r, float* z, int32_t nm, int32_t rows) { apply_4(r, z, nm, rows); }
void apply_16(const Record& r, float* z, int32_t nm, int32_t rows) { apply_4(r, z, nm, rows); }
#endif

// The record applied to rows 0..rows-1, the rows cut into contiguous ranges
// of whole bands, one per thread: rows are independent under the rotations.
void apply(const Record& r, float* z, int32_t nm, int32_t rows) {
  const int32_t w = simd::width();
  auto kernel = w >= 16 ? apply_16 : w >= 8 ? apply_8 : apply_4;
  const int32_t grain = 8 * w;
  // Below some 100 µs of work a thread costs more than it saves.
  constexpr int64_t min_parallel_work = int64_t(1) << 19;
  if (static_cast<int64_t>(r.c.size()) * rows < min_parallel_work) return kernel(r, z, nm, rows);
  parallel::for_range(
      rows, [&](int32_t b, int32_t e) { kernel(r, z + b, nm, e - b); }, grain);
}

// Where the rotations go: straight into z for a few rows; for many rows they
// are recorded sweep by sweep and applied to bands of rows whenever the
// record is full, and at the end.
class Carrier {
 public:
  Carrier(float* z, int32_t nm, int32_t rows, int32_t n) : z_(z), nm_(nm), rows_(rows), n_(n) {
    if (recording()) {
      r_.c.reserve(capacity);
      r_.s.reserve(capacity);
    }
  }
  void open_sweep(int32_t top) {
    if (recording()) r_.sweeps.push_back({top, 0, r_.c.size()});
  }
  void add(int32_t i, float c, float s) {
    if (!recording()) {
      rotate(column(i), column(i + 1), rows_, c, s);
      return;
    }
    r_.c.push_back(c);
    r_.s.push_back(s);
    ++r_.sweeps.back().count;
  }
  // At the end of a sweep: make room for the longest next one.
  void close_sweep() {
    if (recording() && r_.c.size() + static_cast<std::size_t>(n_) > capacity) flush();
  }
  void flush() {
    if (!recording() || r_.sweeps.empty()) return;
    apply(r_, z_, nm_, rows_);
    r_.sweeps.clear();
    r_.c.clear();
    r_.s.clear();
  }

 private:
  static constexpr int32_t direct_limit = 16;
  static constexpr std::size_t capacity = std::size_t(1) << 16;

  bool recording() const { return rows_ >= direct_limit; }
  float* column(int32_t i) const { return z_ + static_cast<std::ptrdiff_t>(i - 1) * nm_; }

  float* z_;
  int32_t nm_, rows_, n_;
  Record r_;
};

// One QL sweep for eigenvalue l over the rows m-1 down to l (1-based d, e).
void sweep(int32_t l, int32_t m, int32_t n, float* d, float* e, float& f, Carrier& z) {
  float g = d[l - 1];
  float p = (d[l] - g) / (2.0f * e[l - 1]);
  float r = std::sqrt(p * p + 1.0f);
  d[l - 1] = e[l - 1] / (p + std::copysign(r, p));
  float h = g - d[l - 1];
  for (int32_t i = l + 1; i <= n; ++i) d[i - 1] = d[i - 1] - h;
  f = f + h;
  p = d[m - 1];
  float c = 1.0f;
  float s = 0.0f;
  z.open_sweep(m - 1);
  for (int32_t i = m - 1; i >= l; --i) {
    const float ei = e[i - 1];
    g = c * ei;
    h = c * p;
    if (std::fabs(p) >= std::fabs(ei)) {
      c = ei / p;
      r = std::sqrt(c * c + 1.0f);
      e[i] = s * p * r;
      s = c / r;
      c = 1.0f / r;
    } else {
      c = p / ei;
      r = std::sqrt(c * c + 1.0f);
      e[i] = s * ei * r;
      s = 1.0f / r;
      c = c * s;
    }
    const float di = d[i - 1];
    p = c * di - s * g;
    d[i] = h + s * (c * g + s * di);
    z.add(i, c, s);
  }
  z.close_sweep();
  e[l - 1] = s * p;
  d[l - 1] = c * p;
}

// Selection sort, ascending; the first of equal values stays the candidate.
void sort_ascending(int32_t nm, int32_t rows, int32_t n, float* d, float* z) {
  for (int32_t i = 1; i < n; ++i) {
    int32_t k = i;
    float p = d[i - 1];
    for (int32_t j = i + 1; j <= n; ++j) {
      if (d[j - 1] < p) {
        k = j;
        p = d[j - 1];
      }
    }
    if (k == i) continue;
    d[k - 1] = d[i - 1];
    d[i - 1] = p;
    float* zi = z + static_cast<std::ptrdiff_t>(i - 1) * nm;
    float* zk = z + static_cast<std::ptrdiff_t>(k - 1) * nm;
    std::swap_ranges(zi, zi + rows, zk);
  }
}

}  // namespace

void tql3_rows(int32_t nm, int32_t rows, int32_t n, float* d, float* e, float* z, int32_t& ierr) {
  ierr = 0;
  if (n <= 1) return;
  for (int32_t i = 2; i <= n; ++i) e[i - 2] = e[i - 1];
  float f = 0.0f;
  float b = 0.0f;
  e[n - 1] = 0.0f;
  Carrier carrier(z, nm, rows, n);

  for (int32_t l = 1; l <= n; ++l) {
    const float hl = machep * (std::fabs(d[l - 1]) + std::fabs(e[l - 1]));
    if (b < hl) b = hl;
    int32_t m = l;
    while (m < n && !(std::fabs(e[m - 1]) <= b)) ++m;
    if (m != l) {
      int32_t iterations = 0;
      do {
        if (iterations == max_iterations) {
          carrier.flush();
          ierr = l;
          return;
        }
        ++iterations;
        sweep(l, m, n, d, e, f, carrier);
      } while (std::fabs(e[l - 1]) > b);
    }
    d[l - 1] = d[l - 1] + f;
  }
  carrier.flush();
  sort_ascending(nm, rows, n, d, z);
}

void tql3(int32_t nm, int32_t n, float* d, float* e, float* z, int32_t& ierr) {
  tql3_rows(nm, nm, n, d, e, z, ierr);
}

void report_no_convergence(int32_t ierr) {
  list_write(6, "tql3: no convergence after 30 iterations for eigenvalue", ierr);
}

}  // namespace mv
