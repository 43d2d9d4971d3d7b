#include "spectra/sparse_slices.h"

#include <algorithm>
#include <cstddef>
#include <numeric>

#include "parallel/pool.h"
#include "spectra/simd.h"
#include "workarray/heap.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace mv {

namespace {

constexpr int32_t slice = sliced_matrix::rows_per_slice;
// Rows are sorted by length within windows of this many rows: long enough to
// group rows of like length, short enough that x and y stay local.
constexpr int32_t window = 64;
// Below some 100 µs of work a thread costs more than it saves.
constexpr std::size_t min_parallel_cells = std::size_t(1) << 17;

typedef int32_t i4 __attribute__((vector_size(16)));

// Slices s0..s1-1 of y = H x, four lanes at a time (two vectors a slice),
// for any processor.
template <class Col>
void slices_4(const sliced_matrix& a, const Col* all_cols, const float* x, float* y, int32_t s0,
              int32_t s1) {
  using simd::v4;
  for (int32_t s = s0; s < s1; ++s) {
    const int64_t b = a.start[s];
    const int32_t len = static_cast<int32_t>((a.start[s + 1] - b) / slice);
    const float* values = a.values.data() + b;
    const Col* cols = all_cols + b;
    const int32_t* length = a.length.data() + std::ptrdiff_t(s) * slice;
    v4 acc[2] = {simd::splat<v4>(0.0f), simd::splat<v4>(0.0f)};
    i4 ends[2], at = {0, 0, 0, 0};
    __builtin_memcpy(&ends[0], length, sizeof(i4));
    __builtin_memcpy(&ends[1], length + 4, sizeof(i4));
    for (int32_t e = 0; e < len; ++e, at = at + 1) {
      for (int32_t p = 0; p < 2; ++p) {
        const std::ptrdiff_t k = std::ptrdiff_t(e) * slice + 4 * p;
        const v4 xs = {x[cols[k]], x[cols[k + 1]], x[cols[k + 2]], x[cols[k + 3]]};
        const v4 product = simd::load<v4>(values + k) * xs;
        // Past its row's end a lane adds +0: the sum, never -0, stays as it is.
        acc[p] = acc[p] + (at < ends[p] ? product : simd::splat<v4>(0.0f));
      }
    }
    for (int32_t l = 0; l < slice; ++l) {
      const int32_t r = a.row[std::ptrdiff_t(s) * slice + l];
      if (r >= 0) y[r] = acc[l / 4][l % 4];
    }
  }
}

#if defined(__x86_64__) || defined(__i386__)
// One slice in eight lanes of AVX2, gathering x: its running sums and where
// its elements are.
template <class Col>
struct slice8 {
  __m256 acc;
  __m256i ends;
  const float* values;
  const Col* cols;
  int32_t len;    // elements of the longest row
  int32_t short_; // elements of the shortest row
};

template <class Col>
[[gnu::target("avx2"), gnu::always_inline]] inline slice8<Col> open8(const sliced_matrix& a,
                                                                      const Col* cols, int32_t s) {
  slice8<Col> q;
  const int64_t b = a.start[s];
  const int32_t* length = a.length.data() + std::ptrdiff_t(s) * slice;
  q.acc = _mm256_setzero_ps();
  q.ends = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(length));
  q.values = a.values.data() + b;
  q.cols = cols + b;
  q.len = static_cast<int32_t>((a.start[s + 1] - b) / slice);
  q.short_ = *std::min_element(length, length + slice);
  return q;
}

// Element e of every row of the slice added to its sum; with `masked`, rows
// that have ended gather 0 (their padding value is 0 too) and add +0.
template <bool masked, class Col>
[[gnu::target("avx2"), gnu::always_inline]] inline void step8(slice8<Col>& q, const float* x,
                                                              int32_t e) {
  const std::ptrdiff_t k = std::ptrdiff_t(e) * slice;
  // Eight loads, not the gather instruction: on some processors (AMD's) the
  // gather is microcoded and several times slower.
  const Col* c = q.cols + k;
  __m256 xs = _mm256_setr_ps(x[c[0]], x[c[1]], x[c[2]], x[c[3]], x[c[4]], x[c[5]], x[c[6]],
                             x[c[7]]);
  if constexpr (masked) {
    const __m256 live = _mm256_castsi256_ps(_mm256_cmpgt_epi32(q.ends, _mm256_set1_epi32(e)));
    xs = _mm256_and_ps(xs, live);
  }
  q.acc = _mm256_add_ps(q.acc, _mm256_mul_ps(_mm256_loadu_ps(q.values + k), xs));
}

template <class Col>
[[gnu::target("avx2"), gnu::always_inline]] inline void run8(slice8<Col>& q, const float* x,
                                                             int32_t e0) {
  int32_t e = e0;
  for (; e < q.short_; ++e) step8<false>(q, x, e);
  for (; e < q.len; ++e) step8<true>(q, x, e);
}

template <class Col>
[[gnu::target("avx2"), gnu::always_inline]] inline void close8(const sliced_matrix& a, int32_t s,
                                                               const slice8<Col>& q, float* y) {
  float sums[slice];
  _mm256_storeu_ps(sums, q.acc);
  for (int32_t l = 0; l < slice; ++l) {
    const int32_t r = a.row[std::ptrdiff_t(s) * slice + l];
    if (r >= 0) y[r] = sums[l];
  }
}

// Slices s0..s1-1 of y = H x with AVX2, two slices side by side (two
// independent chains of vector additions) while both have elements left.
template <class Col>
[[gnu::target("avx2")]] void slices_8(const sliced_matrix& a, const Col* cols, const float* x,
                                      float* y, int32_t s0, int32_t s1) {
  int32_t s = s0;
  for (; s + 2 <= s1; s += 2) {
    slice8<Col> p = open8(a, cols, s), q = open8(a, cols, s + 1);
    const int32_t both = std::min(p.short_, q.short_);
    for (int32_t e = 0; e < both; ++e) {
      step8<false>(p, x, e);
      step8<false>(q, x, e);
    }
    run8(p, x, both);
    run8(q, x, both);
    close8(a, s, p, y);
    close8(a, s + 1, q, y);
  }
  if (s < s1) {
    slice8<Col> p = open8(a, cols, s);
    run8(p, x, 0);
    close8(a, s, p, y);
  }
}
#else
template <class Col>
void slices_8(const sliced_matrix& a, const Col* cols, const float* x, float* y, int32_t s0,
              int32_t s1) {
  slices_4(a, cols, x, y, s0, s1);
}
#endif

}  // namespace

sliced_matrix slice_rows(int32_t h, int32_t n) {
  sliced_matrix a;
  a.n = std::max(n, 0);
  a.slices = (a.n + slice - 1) / slice;
  a.row.assign(std::size_t(a.slices) * slice, -1);
  a.length.assign(a.row.size(), 0);
  a.start.assign(std::size_t(a.slices) + 1, 0);
  auto count = [h](int32_t r) { return ih(h)[3 * r + 2]; };
  std::vector<int32_t> order(static_cast<std::size_t>(a.n));
  std::iota(order.begin(), order.end(), 0);
  for (int32_t w0 = 0; w0 < a.n; w0 += window) {
    const auto first = order.begin() + w0, last = order.begin() + std::min(a.n, w0 + window);
    std::stable_sort(first, last, [&](int32_t i, int32_t j) { return count(i) > count(j); });
  }
  for (int32_t k = 0; k < a.n; ++k) {
    a.row[k] = order[k];
    a.length[k] = count(order[k]);
  }
  for (int32_t s = 0; s < a.slices; ++s) {
    const int32_t longest =
        *std::max_element(a.length.begin() + std::ptrdiff_t(s) * slice,
                          a.length.begin() + std::ptrdiff_t(s + 1) * slice);
    a.start[s + 1] = a.start[s] + int64_t(longest) * slice;
  }
  a.values.assign(static_cast<std::size_t>(a.start[a.slices]), 0.0f);
  const bool narrow = a.n <= 65536;
  if (narrow) {
    a.narrow_cols.assign(a.values.size(), 0);
  } else {
    a.cols.assign(a.values.size(), 0);
  }
  for (int32_t s = 0; s < a.slices; ++s) {
    for (int32_t l = 0; l < slice; ++l) {
      const int32_t r = a.row[std::ptrdiff_t(s) * slice + l];
      if (r < 0) continue;
      const int32_t* t = ih(h) + 3 * r;
      const float* values = rh(t[0]);
      const int32_t* cols = ih(t[1]);
      for (int32_t e = 0; e < t[2]; ++e) {
        const std::size_t k = static_cast<std::size_t>(a.start[s] + int64_t(e) * slice + l);
        a.values[k] = values[e];
        if (narrow) {
          a.narrow_cols[k] = static_cast<uint16_t>(cols[e] - 1);
        } else {
          a.cols[k] = cols[e] - 1;
        }
      }
    }
  }
  return a;
}

namespace {

// The first slice of part t when the slices are cut into `parts` runs of
// about equal numbers of elements (rows of the core-hole configurations
// differ several times in length, so equal numbers of slices would leave one
// thread waiting for the other), at a window boundary: the rows of a window
// are mixed among its slices, so a window's results are written by one thread.
int32_t part_start(const sliced_matrix& a, int32_t parts, int32_t t) {
  if (t >= parts) return a.slices;
  const int64_t target = a.start[a.slices] / parts * t;
  const auto s = static_cast<int32_t>(
      std::lower_bound(a.start.begin(), a.start.begin() + a.slices, target) - a.start.begin());
  constexpr int32_t slices_per_window = window / slice;
  return std::min(a.slices, (s + slices_per_window / 2) / slices_per_window * slices_per_window);
}

template <class Col>
void times(const sliced_matrix& a, const Col* cols, const float* x, float* y) {
  auto kernel = simd::width() >= 8 ? slices_8<Col> : slices_4<Col>;
  if (a.values.size() < min_parallel_cells) return kernel(a, cols, x, y, 0, a.slices);
  const int32_t parts = std::min(parallel::threads(), (a.slices + 7) / 8);
  parallel::run(parts, [&](int32_t t) {
    kernel(a, cols, x, y, part_start(a, parts, t), part_start(a, parts, t + 1));
  });
}

}  // namespace

void sliced_times(const sliced_matrix& a, const float* x, float* y) {
  if (a.n <= 0) return;
  if (a.narrow_cols.size() == a.values.size()) return times(a, a.narrow_cols.data(), x, y);
  times(a, a.cols.data(), x, y);
}

}  // namespace mv
