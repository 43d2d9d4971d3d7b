// Implicit-shift QL iteration with rotations carried into z.
// Preconditions: n >= 0, rows <= nm. Cost: about 3n² flops for the
// eigenvalues and 6 flops per carried row per rotation (some 6·rows·n² total).
// Algorithm: TQL2 of Bowdler, Martin, Reinsch and Wilkinson (Handbook II/3),
// single precision, machine precision 2⁻²³, at most 30 iterations each.
//
// The rotations depend on d and e only, never on z. For many rows they are
// therefore recorded as they are made and then applied to z a band of rows at
// a time: each element of z receives exactly the rotations it would have
// received, in the same order, but a band stays in cache through thousands of
// rotations instead of the whole of z streaming through memory for each one.
#include "spectra/tql3.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "io/format.h"
#include "spectra/simd4.h"

namespace mv {

namespace {

using simd::load;
using simd::splat;
using simd::store;
using simd::v4;

constexpr float machep = 1.1920929e-7f;  // 2⁻²³
constexpr int32_t max_iterations = 30;

// Columns i and i+1 of z, rows [0, rows): (z_i, z_i+1) <- (c z_i - s z_i+1, s z_i + c z_i+1).
inline void rotate(float* zi, float* zi1, int32_t rows, float c, float s) {
  const v4 cv = splat(c), sv = splat(s);
  int32_t k = 0;
  for (; k + 4 <= rows; k += 4) {
    const v4 t = load(zi1 + k);
    const v4 x = load(zi + k);
    store(zi1 + k, sv * x + cv * t);
    store(zi + k, cv * x - sv * t);
  }
  for (; k < rows; ++k) {
    const float t = zi1[k];
    zi1[k] = s * zi[k] + c * t;
    zi[k] = c * zi[k] - s * t;
  }
}

struct Rotation {
  int32_t i;  // acts on columns i and i+1 (1-based)
  float c, s;
};

// Where the rotations go: straight into z for a few rows, else recorded and
// applied band by band whenever the record is full and at the end.
class Carrier {
 public:
  Carrier(float* z, int32_t nm, int32_t rows) : z_(z), nm_(nm), rows_(rows) {
    if (rows_ >= direct_limit) log_.reserve(capacity);
  }
  void add(int32_t i, float c, float s) {
    if (rows_ < direct_limit) {
      rotate(column(i), column(i + 1), rows_, c, s);
      return;
    }
    log_.push_back({i, c, s});
    if (log_.size() == capacity) flush();
  }
  void flush() {
    for (int32_t k0 = 0; k0 < rows_; k0 += band) {
      const int32_t rows = std::min(band, rows_ - k0);
      for (const Rotation& r : log_) rotate(column(r.i) + k0, column(r.i + 1) + k0, rows, r.c, r.s);
    }
    log_.clear();
  }

 private:
  static constexpr int32_t direct_limit = 16;
  static constexpr std::size_t capacity = 1 << 16;
  static constexpr int32_t band = 32;
  float* column(int32_t i) const { return z_ + static_cast<std::ptrdiff_t>(i - 1) * nm_; }
  float* z_;
  int32_t nm_, rows_;
  std::vector<Rotation> log_;
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
  Carrier carrier(z, nm, rows);

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
