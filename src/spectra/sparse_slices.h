// The product y = H x of a sparse row matrix, many times over the same H (a
// Lanczos run), from a working copy of H laid out for speed.
//
// A row's sum is one chain of dependent additions: summed alone it waits on
// the adder's latency at every element. The copy puts the rows in slices of
// eight and stores element e of the eight rows side by side, so one pass adds
// element e to eight independent sums at once. Each row still sums its own
// elements from the first in ascending column order, starting from +0, so y
// has the bits of the plain row-by-row loop (rows shorter than their slice
// add nothing beyond their end: the lane adds +0, which leaves any sum that
// starts at +0 unchanged).
#pragma once
#include <cstdint>
#include <vector>

#include "workarray/large_pages.h"

namespace mv {

struct sliced_matrix {
  static constexpr int32_t rows_per_slice = 8;
  int32_t n = 0;       // rows (and the length of x and y)
  int32_t slices = 0;  // ceil(n / 8)
  // Slice s holds its rows' elements at [start[s], start[s+1]): element e of
  // lane l at start[s] + 8·e + l. Lanes past a row's end hold value 0 and
  // column 0; they are masked off by length.
  std::vector<int64_t> start;
  large_vector<float> values;
  // 0-based columns: two bytes each while n <= 65536 (narrow_cols), else four
  // (cols). A large H does not fit the caches, so the product runs at the
  // speed of memory: 6 bytes an element instead of 8 is a quarter less to read.
  large_vector<uint16_t> narrow_cols;
  large_vector<int32_t> cols;
  // Per lane (slices·8): the row it carries (-1 for none) and its length.
  std::vector<int32_t> row;
  std::vector<int32_t> length;
};

// The sliced copy of the n x n sparse row matrix whose row index is at the
// integer position h (the layout of hamiltonian/sparse.h). Within each window
// of 64 rows the rows are sorted by length, longest first (ties in row order),
// so that a slice pads little.
sliced_matrix slice_rows(int32_t h, int32_t n);

// y = H x; the slices are shared among the threads (any count, the same bits).
void sliced_times(const sliced_matrix& a, const float* x, float* y);

}  // namespace mv
