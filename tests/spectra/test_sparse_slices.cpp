// The sliced sparse product against the plain row-by-row sum, bit for bit, at
// every lane width the processor offers and at several thread counts, on rows
// whose lengths fall around the slice of eight: empty rows, single elements,
// rows one short of or one past a multiple of eight, one long row among short
// ones, a matrix of one row, and sums that cancel to zero.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "parallel/pool.h"
#include "spectra/lanczos.h"
#include "spectra/simd.h"
#include "spectra/sparse_slices.h"
#include "spectra_test_util.h"
#include "support/work_fixture.h"
#include "workarray/heap.h"

namespace mv {
namespace {

using test::first_bit_difference;

// Rows as (column, value) lists, 0-based columns.
struct Rows {
  int32_t n = 0;
  std::vector<std::vector<std::pair<int32_t, float>>> row;
  void set(int32_t i, int32_t j, float v) { row[i].push_back({j, v}); }
};

// Row lengths cycle through a list that straddles the slice boundaries; every
// 37th row is long. Some rows repeat a value with the opposite sign so that
// their sum cancels exactly.
Rows awkward(int32_t n, uint32_t seed) {
  static const int32_t lengths[] = {0, 1, 7, 8, 9, 0, 15, 16, 17, 3, 0, 0, 2, 31, 5, 33};
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::uniform_int_distribution<int32_t> col(0, n - 1);
  Rows a{n, std::vector<std::vector<std::pair<int32_t, float>>>(static_cast<std::size_t>(n))};
  for (int32_t i = 0; i < n; ++i) {
    const int32_t len =
        std::min(n, i % 37 == 11 ? 300 : lengths[(static_cast<uint32_t>(i) * 5 + seed) % 16]);
    for (int32_t k = 0; k < len; ++k) a.set(i, len == n ? k : col(rng), u(rng));
    if (i % 9 == 4 && n > 1) {
      const int32_t j = col(rng);
      a.set(i, j, 0.375f);
      a.set(i, (j + 1) % n, -0.375f);
    }
    if (i % 13 == 6) a.set(i, col(rng), 1.0e-39f);  // subnormal
  }
  return a;
}

// The rows in the work array, as the sparse builder stores them: ascending
// columns, no zeros (a later value in a column replaces an earlier).
int32_t store(const Rows& a) {
  int32_t p = 0;
  illoc("test matrix", 3 * a.n, p);
  for (int32_t i = 0; i < a.n; ++i) {
    std::map<int32_t, float> row;
    for (const auto& [j, v] : a.row[i]) row[j] = v;
    std::erase_if(row, [](const auto& e) { return e.second == 0.0f; });
    const int32_t k = static_cast<int32_t>(row.size());
    int32_t vp = 0, cp = 0;
    alloc("test row", k, vp);
    illoc("test row", k, cp);
    int32_t e = 0;
    for (const auto& [j, v] : row) {
      rh(vp)[e] = v;
      ih(cp)[e++] = j + 1;
    }
    int32_t* t = ih(p) + 3 * i;
    t[0] = vp;
    t[1] = cp;
    t[2] = k;
  }
  return p;
}

// The plain product: each row summed alone, from +0, in ascending column.
std::vector<float> reference(int32_t h, int32_t n, const std::vector<float>& x) {
  std::vector<float> y(static_cast<std::size_t>(n));
  for (int32_t r = 0; r < n; ++r) {
    const int32_t* t = ih(h) + 3 * r;
    float sum = 0.0f;
    for (int32_t e = 0; e < t[2]; ++e) sum = sum + rh(t[0])[e] * x[ih(t[1])[e] - 1];
    y[r] = sum;
  }
  return y;
}

// x with zeros (so that a product can be -0) and the given seed.
std::vector<float> vector_with_zeros(int32_t n, uint32_t seed) {
  std::vector<float> x = test::random_vector(n, seed);
  for (int32_t k = 0; k < n; k += 7) x[k] = 0.0f;
  return x;
}

class SparseSlicesTest : public WorkArrayTest {
 protected:
  void TearDown() override {
    simd::limit_width(0);
    parallel::set_threads(0);
    WorkArrayTest::TearDown();
  }
};

TEST_F(SparseSlicesTest, EveryShapeGivesThePlainRowSumsAtEveryWidthAndThreadCount) {
  for (int32_t n : {1, 2, 7, 8, 9, 63, 64, 65, 130, 3000, 65536, 65537}) {
    const Rows a = awkward(n, static_cast<uint32_t>(n));
    const int32_t h = store(a);
    const std::vector<float> x = vector_with_zeros(n, 7u + n);
    const std::vector<float> want = reference(h, n, x);
    const sliced_matrix s = slice_rows(h, n);
    EXPECT_EQ(s.narrow_cols.empty(), n > 65536) << "two-byte columns up to 65536 rows";
    for (int32_t lanes : {4, 8}) {
      if (lanes > simd::widest_available()) continue;
      simd::limit_width(lanes);
      for (int32_t threads : {1, 2, 3, 7}) {
        parallel::set_threads(threads);
        std::vector<float> y(static_cast<std::size_t>(n), 99.0f);
        sliced_times(s, x.data(), y.data());
        EXPECT_EQ(first_bit_difference(want, y), -1)
            << "n " << n << ", " << lanes << " lanes, " << threads << " threads";
      }
    }
    std::vector<float> y(static_cast<std::size_t>(n), 99.0f);
    sparse_times(h, n, x.data(), y.data());
    EXPECT_EQ(first_bit_difference(want, y), -1) << "sparse_times, n " << n;
    reset_heap();
  }
}

// Threads take runs of slices with about equal numbers of elements: here the
// first rows are up to forty times longer than the rest, so the cuts fall far
// from equal numbers of rows (and with seven threads some runs are empty).
// Every row is still written once, with its own sum.
TEST_F(SparseSlicesTest, LongRowsBunchedAtTheStartAreSharedByElements) {
  for (const auto& [long_rows, long_length] : {std::pair{300, 1500}, {5, 1500}, {3990, 60}}) {
    const int32_t n = 4000;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    Rows a{n, std::vector<std::vector<std::pair<int32_t, float>>>(static_cast<std::size_t>(n))};
    for (int32_t i = 0; i < n; ++i) {
      const int32_t len = i < long_rows ? long_length : 40;
      for (int32_t k = 0; k < len; ++k) a.set(i, (i * 31 + k * 2) % n, u(rng));
    }
    const int32_t h = store(a);
    const std::vector<float> x = vector_with_zeros(n, 11);
    const std::vector<float> want = reference(h, n, x);
    const sliced_matrix s = slice_rows(h, n);
    for (int32_t threads : {1, 2, 3, 7}) {
      parallel::set_threads(threads);
      std::vector<float> y(static_cast<std::size_t>(n), 99.0f);
      sliced_times(s, x.data(), y.data());
      EXPECT_EQ(first_bit_difference(want, y), -1)
          << long_rows << " long rows, " << threads << " threads";
    }
    reset_heap();
  }
}

// An empty row gives +0, a row whose sum cancels gives +0, and a row of one
// product -0 gives +0 (the sum starts at +0): signs the padding must not flip.
TEST_F(SparseSlicesTest, ZeroSumsKeepTheirSign) {
  Rows a{9, std::vector<std::vector<std::pair<int32_t, float>>>(9)};
  a.set(1, 0, 2.0f);
  a.set(1, 1, -2.0f);  // 2·1 + (-2)·1 = +0
  a.set(2, 2, -1.0f);  // -1 · (+0) = -0, summed onto +0
  for (int32_t j = 0; j < 9; ++j) a.set(8, j, 1.0f);
  const int32_t h = store(a);
  std::vector<float> x = {1.0f, 1.0f, 0.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f};
  std::vector<float> y(9, 99.0f);
  sliced_times(slice_rows(h, 9), x.data(), y.data());
  for (int32_t r : {0, 1, 2, 3}) EXPECT_FALSE(std::signbit(y[r])) << "row " << r;
  EXPECT_EQ(y[1], 0.0f);
  EXPECT_EQ(y[8], 8.0f);
  EXPECT_EQ(first_bit_difference(reference(h, 9, x), y), -1);
}

// A row that never touches a non-finite x stays finite: lanes past a row's
// end must not pick up 0·inf from a padding column.
TEST_F(SparseSlicesTest, RowsBesideANonFiniteColumnStayFinite) {
  const int32_t n = 16;
  Rows a{n, std::vector<std::vector<std::pair<int32_t, float>>>(n)};
  for (int32_t i = 0; i < n; ++i) {
    for (int32_t j = 1; j <= i % 5; ++j) a.set(i, j, 0.5f);  // lengths 0..4, never column 0
  }
  a.set(5, 0, 1.0f);  // one row reads the infinite element
  const int32_t h = store(a);
  std::vector<float> x(static_cast<std::size_t>(n), 1.0f);
  x[0] = std::numeric_limits<float>::infinity();
  std::vector<float> y(static_cast<std::size_t>(n));
  sliced_times(slice_rows(h, n), x.data(), y.data());
  for (int32_t i = 0; i < n; ++i) {
    if (i == 5) continue;
    EXPECT_EQ(y[i], 0.5f * float(i % 5)) << "row " << i;
  }
  EXPECT_TRUE(std::isinf(y[5]));
}

// The copy keeps every element once, in its row's column order, and pads
// each slice only to its longest row.
TEST_F(SparseSlicesTest, TheCopyHoldsEachRowInOrderAndPadsToTheSlicesLongest) {
  const int32_t n = 70;
  const Rows a = awkward(n, 3);
  const int32_t h = store(a);
  const sliced_matrix s = slice_rows(h, n);
  ASSERT_EQ(s.slices, 9);
  std::vector<int32_t> seen(static_cast<std::size_t>(n), 0);
  for (int32_t k = 0; k < s.slices * 8; ++k) {
    const int32_t r = s.row[k];
    if (r < 0) {
      EXPECT_EQ(s.length[k], 0);
      continue;
    }
    ++seen[r];
    const int32_t* t = ih(h) + 3 * r;
    ASSERT_EQ(s.length[k], t[2]);
    const int32_t sl = k / 8, lane = k % 8;
    EXPECT_LE(int64_t(t[2]) * 8, s.start[sl + 1] - s.start[sl]);
    for (int32_t e = 0; e < t[2]; ++e) {
      const std::size_t at = static_cast<std::size_t>(s.start[sl] + int64_t(e) * 8 + lane);
      EXPECT_EQ(s.narrow_cols[at], ih(t[1])[e] - 1);
      EXPECT_EQ(s.values[at], rh(t[0])[e]);
    }
  }
  for (int32_t r = 0; r < n; ++r) EXPECT_EQ(seen[r], 1) << "row " << r;
  for (int32_t sl = 0; sl < s.slices; ++sl) {
    int32_t longest = 0;
    for (int32_t l = 0; l < 8; ++l) longest = std::max(longest, s.length[sl * 8 + l]);
    EXPECT_EQ(s.start[sl + 1] - s.start[sl], int64_t(longest) * 8) << "slice " << sl;
  }
}

}  // namespace
}  // namespace mv
