#include <algorithm>
#include <vector>

#include "hamiltonian/sparse.h"
#include "support/runsupport.h"
#include "workarray/heap.h"
#include "workarray/large_pages.h"

namespace mv {

ibuild_block ibuild;
indx_block indx;

namespace {

struct RowRef {
  const float* values;
  const int32_t* cols;
  int32_t k;
};

RowRef row_of(int32_t p, int32_t i) {
  const int32_t* t = ih(p) + 3 * (i - 1);
  return {rh(t[0]), ih(t[1]), t[2]};
}

// A row is compressed here before its blocks are allocated, so that counting
// and copying take one pass; kept between calls so a build sizes it once.
struct RowScratch {
  std::vector<float> values;
  std::vector<int32_t> cols;
};

RowScratch& scratch(int32_t m) {
  static RowScratch s;
  const std::size_t need = static_cast<std::size_t>(std::max(m, 1));
  if (s.values.size() < need) {
    s.values.resize(need);
    s.cols.resize(need);
  }
  return s;
}

// Non-zero elements of row[lo-1 .. hi-1] into s (sized for them); returns k.
// Branch-free: every cell is written, only non-zeros advance the count.
int32_t compress(const float* row, int32_t lo, int32_t hi, RowScratch& s) {
  float* values = s.values.data();
  int32_t* cols = s.cols.data();
  int32_t k = 0;
  for (int32_t c = lo; c <= hi; ++c) {
    const float v = row[c - 1];
    values[k] = v;
    cols[k] = c;
    k += (v != 0.0f) ? 1 : 0;
  }
  return k;
}

void store_row(int32_t p, int32_t i, const RowScratch& s, int32_t k) {
  int32_t vp = 0;
  int32_t cp = 0;
  alloc("vector to row", k, vp);
  illoc("vector to row", k, cp);
  int32_t* t = ih(p) + 3 * (i - 1);
  t[0] = vp;
  t[1] = cp;
  t[2] = k;
  std::copy_n(s.values.data(), k, rh(vp));
  std::copy_n(s.cols.data(), k, ih(cp));
}

[[noreturn]] void outside_matrix() {
  quitprog("sp_build: an add-list term reaches outside the matrix being built.");
}

// The transposed working copy that makes symmetrisation cost O(elements)
// instead of a search through every earlier row: for each column c, the
// elements (r, c) with r < c of the rows stored so far, as a linked list.
struct MirrorList {
  large_vector<int32_t> head;  // head[c]: newest entry for column c, -1 none
  large_vector<int32_t> next;
  large_vector<int32_t> row;
  large_vector<float> value;
};

// Row i's buffer columns 1..i-1 get the elements (r, i) of the earlier rows and
// 0.0 elsewhere. Outside [lo, hi] the buffer is already 0.0, so only the part
// the terms touched needs clearing.
void mirror_into(const MirrorList& ml, float* buf, int32_t m, int32_t i, int32_t& lo, int32_t& hi) {
  const int32_t below = std::min(i - 1, m);
  const int32_t clear_hi = std::min(hi, below);
  if (lo <= clear_hi) std::fill(buf + (lo - 1), buf + clear_hi, 0.0f);
  for (int32_t e = ml.head[i]; e >= 0; e = ml.next[e]) {
    const int32_t r = ml.row[e];
    buf[r - 1] = ml.value[e];
    lo = std::min(lo, r);
    hi = std::max(hi, r);
  }
}

void record_above(MirrorList& ml, int32_t i, int32_t n, const RowScratch& s, int32_t k) {
  for (int32_t e = 0; e < k; ++e) {
    const int32_t c = s.cols[e];
    if (c <= i || c > n) continue;
    ml.next.push_back(ml.head[c]);
    ml.head[c] = static_cast<int32_t>(ml.row.size());
    ml.row.push_back(i);
    ml.value.push_back(s.values[e]);
  }
}

// One term's contribution to row i, widening the touched range [lo, hi].
void add_term_row(float* buf, int32_t m, int32_t i, int32_t j, int32_t& lo, int32_t& hi) {
  const int32_t c0 = ibuild.col0[j];
  const RowRef r = row_of(indx.pos[ibuild.mat[j] - 1], i - ibuild.row0[j] + 1);
  if (r.k > 0) {
    const int64_t first = int64_t{c0} + r.cols[0] - 1;
    const int64_t last = int64_t{c0} + r.cols[r.k - 1] - 1;
    if (first < 1 || last > m) outside_matrix();
    fill_vector_x(buf + (c0 - 1), r.values, r.cols, r.k, ibuild.factor[j]);
    lo = std::min(lo, static_cast<int32_t>(first));
    hi = std::max(hi, static_cast<int32_t>(last));
  }
  const float shift = ibuild.shift[j];
  if (shift != 0.0f) {
    if (i > m) outside_matrix();
    buf[i - 1] = buf[i - 1] + shift;
    lo = std::min(lo, i);
    hi = std::max(hi, i);
  }
}

// Indices of the terms whose rows cover row, in list order: (row - first) <
// rows in unsigned arithmetic. A row is covered by a handful of terms out of
// thousands, so blocks of 16 are first tested with a branch-free OR (which the
// compiler vectorises) and only a block with a hit is gathered.
bool covers(uint32_t row, uint32_t first, uint32_t rows) { return row - first < rows; }

std::size_t gather_covering(uint32_t row, const uint32_t* first, const uint32_t* rows,
                            std::size_t count, int32_t* covering) {
  constexpr std::size_t block = 16;
  std::size_t hits = 0;
  std::size_t b = 0;
  for (; b + block <= count; b += block) {
    uint32_t any = 0;
    for (std::size_t j = 0; j < block; ++j) any |= covers(row, first[b + j], rows[b + j]) ? 1u : 0u;
    if (any == 0) continue;
    for (std::size_t j = b; j < b + block; ++j) {
      if (covers(row, first[j], rows[j])) covering[hits++] = static_cast<int32_t>(j);
    }
  }
  for (std::size_t j = b; j < count; ++j) {
    if (covers(row, first[j], rows[j])) covering[hits++] = static_cast<int32_t>(j);
  }
  return hits;
}

}  // namespace

// sp_build: the n x m sparse row matrix summed from add-list terms 1..q (stored matrix
// times factor at an offset, plus a diagonal shift), optionally mirrored; needs indx set.
// Per row: one pass over the list, the covering terms' elements, the touched buffer span.
void sp_build(int32_t& p, int32_t q, int32_t n, int32_t m, int32_t symmetrise_flag) {
  check(q, max_add, "MAX_ADD", 0);
  for (int32_t j = 0; j < q; ++j) {
    if (ibuild.mat[j] < 1 || ibuild.mat[j] > lindx) {
      quitprog("sp_build: an add-list term names a matrix outside 1..1000.");
    }
  }
  if (n < 0 || m < 0) quitprog("sp_build: a matrix of negative size was asked for.");
  // The row index must fit before 3n is formed in 4 bytes: a size from a
  // damaged recipe stops at the work array's size check, as illoc would.
  check_room((3 * int64_t{n} + qaz.ints_per_cell - 1) / qaz.ints_per_cell);
  illoc("Sparse Build", 3 * n, p);
  int32_t buf_pos = 0;
  alloc("Sparse Build", m, buf_pos);
  float* const buf = rh(buf_pos);
  zero(buf, m);

  const bool sym = symmetrise_flag != 0;
  MirrorList mirror;
  if (sym) mirror.head.assign(static_cast<std::size_t>(std::max(n, 0)) + 1, -1);
  RowScratch& s = scratch(m);

  // Working copies of the two row columns of the list for the row-range test.
  const auto count = static_cast<std::size_t>(std::max(q, 0));
  std::vector<uint32_t> first_row(count);
  std::vector<uint32_t> rows(count);
  for (std::size_t j = 0; j < count; ++j) {
    first_row[j] = static_cast<uint32_t>(ibuild.row0[j]);
    rows[j] = static_cast<uint32_t>(std::max(ibuild.nrow[j], 0));
  }
  std::vector<int32_t> covering(count + 1);

  // Only the span a row touched is cleared for the next one, so a row costs what
  // its terms put in, not m; the buffer ends holding the last row, as a full
  // clear at the start of every row would leave it.
  int32_t lo = 1;
  int32_t hi = 0;
  for (int32_t i = 1; i <= n; ++i) {
    if (lo <= hi) std::fill(buf + (lo - 1), buf + hi, 0.0f);
    lo = m + 1;
    hi = 0;
    const std::size_t hits = gather_covering(static_cast<uint32_t>(i), first_row.data(),
                                             rows.data(), count, covering.data());
    for (std::size_t h = 0; h < hits; ++h) add_term_row(buf, m, i, covering[h], lo, hi);
    if (sym) mirror_into(mirror, buf, m, i, lo, hi);
    const int32_t k = compress(buf, lo, hi, s);
    store_row(p, i, s, k);
    if (sym) record_above(mirror, i, n, s, k);
  }
  remove_region("Sparse Build", buf_pos, buf_pos + m);
}

void vec_to_row(int32_t p, const float* row, int32_t m, int32_t i) {
  RowScratch& s = scratch(m);
  store_row(p, i, s, compress(row, 1, m, s));
}

void vec_to_row_x(float* values, int32_t* cols, const float* row, int32_t m) {
  int32_t k = 0;
  for (int32_t c = 1; c <= m; ++c) {
    if (row[c - 1] == 0.0f) continue;
    values[k] = row[c - 1];
    cols[k] = c;
    ++k;
  }
}

void fill_vector(float* row, int32_t term_pos, int32_t i, int32_t c0, int32_t local_row,
                 float factor, float shift) {
  const RowRef r = row_of(term_pos, local_row);
  fill_vector_x(row + (c0 - 1), r.values, r.cols, r.k, factor);
  if (shift != 0.0f) row[i - 1] = row[i - 1] + shift;
}

void fill_vector_x(float* row_from_c0, const float* values, const int32_t* cols, int32_t k,
                   float factor) {
  for (int32_t e = 0; e < k; ++e) {
    float& cell = row_from_c0[cols[e] - 1];
    const float product = values[e] * factor;
    cell = cell + product;
  }
}

void symmetrise(int32_t p, float* row, int32_t n, int32_t m, int32_t i) {
  (void)n;
  const int32_t last = std::min(i - 1, m);
  for (int32_t r = 1; r <= last; ++r) {
    const RowRef rr = row_of(p, r);
    row[r - 1] = find_element_of_sparse_row(rr.values, rr.cols, rr.k, i);
  }
}

float find_element_of_sparse_row(const float* values, const int32_t* cols, int32_t k, int32_t c) {
  for (int32_t e = 0; e < k; ++e) {
    if (cols[e] >= c) return cols[e] == c ? values[e] : 0.0f;
  }
  return 0.0f;
}

}  // namespace mv
