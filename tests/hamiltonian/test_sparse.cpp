#include <cmath>
#include <random>

#include "io/stop.h"
#include "sparse_testing.h"
#include "support/runsupport.h"

namespace mv::testing {
namespace {

using SparseRows = HamiltonianTest;

TEST_F(SparseRows, VecToRowStoresNonZerosAscendingInItsOwnBlocks) {
  int32_t p = 0;
  illoc("index", 6, p);
  const int32_t top = heap_info.top;
  const float row1[] = {0.0f, 2.5f, -0.0f, 0.0f, -1.0e-30f, 7.0f};
  vec_to_row(p, row1, 6, 1);
  // Value block, then column block, both exactly k cells; -0.0 counts as zero.
  EXPECT_EQ(ih(p)[0], top + 1);
  EXPECT_EQ(ih(p)[1], top + 4);
  EXPECT_EQ(ih(p)[2], 3);
  EXPECT_EQ(heap_info.top, top + 6);
  EXPECT_EQ(rh(top + 1)[0], 2.5f);
  EXPECT_EQ(rh(top + 1)[1], -1.0e-30f);
  EXPECT_EQ(rh(top + 1)[2], 7.0f);
  EXPECT_EQ(ih(top + 4)[0], 2);
  EXPECT_EQ(ih(top + 4)[1], 5);
  EXPECT_EQ(ih(top + 4)[2], 6);

  const float row2[] = {0.0f, -0.0f, 0.0f};
  vec_to_row(p, row2, 3, 2);
  EXPECT_EQ(ih(p)[5], 0);
  EXPECT_EQ(heap_info.top, top + 6);

  float values[3] = {};
  int32_t cols[3] = {};
  vec_to_row_x(values, cols, row1, 6);
  EXPECT_EQ(values[0], 2.5f);
  EXPECT_EQ(values[2], 7.0f);
  EXPECT_EQ(cols[1], 5);
}

TEST_F(SparseRows, FindElementScansAscendingColumns) {
  const float values[] = {1.0f, 2.0f, 3.0f};
  const int32_t cols[] = {2, 5, 9};
  EXPECT_EQ(find_element_of_sparse_row(values, cols, 0, 1), 0.0f);  // empty row
  EXPECT_EQ(find_element_of_sparse_row(values, cols, 3, 1), 0.0f);
  EXPECT_EQ(find_element_of_sparse_row(values, cols, 3, 2), 1.0f);
  EXPECT_EQ(find_element_of_sparse_row(values, cols, 3, 4), 0.0f);
  EXPECT_EQ(find_element_of_sparse_row(values, cols, 3, 9), 3.0f);
  EXPECT_EQ(find_element_of_sparse_row(values, cols, 3, 10), 0.0f);
  EXPECT_EQ(find_element_of_sparse_row(values, cols, 2, 9), 0.0f);  // only k elements count
}

using SpBuild = HamiltonianTest;

TEST_F(SpBuild, PlacesTermsAtTheirOffsetsWithTheDocumentedLayout) {
  indx.pos[6] = make_sparse({{1.0f, 2.0f}, {0.0f, 3.0f}});
  indx.pos[1] = make_sparse({{4.0f}});
  set_term(1, 7, 2, 3, 2, 99, 1.0f, 0.0f);  // ncol is recorded only
  set_term(2, 2, 1, 1, 1, 1, 0.5f, 0.0f);
  const int32_t top = heap_info.top;
  int32_t p = 0;
  sp_build(p, 2, 4, 5, 0);
  // Row index (3n), buffer (m), then row 1's value and column blocks.
  EXPECT_EQ(p, top + 1);
  EXPECT_EQ(ih(p)[0], top + 12 + 5 + 1);
  expect_matrix(p,
                {{2.0f, 0, 0, 0, 0}, {0, 0, 1.0f, 2.0f, 0}, {0, 0, 0, 3.0f, 0}, {0, 0, 0, 0, 0}});
  // Nothing is given back: 2 cells per stored element above row index and buffer.
  EXPECT_EQ(heap_info.top, top + 12 + 5 + 2 * 4);
}

TEST_F(SpBuild, WithoutTermsGivesAnAllZeroMatrix) {
  int32_t p = 0;
  sp_build(p, 0, 3, 4, 1);
  for (int32_t i = 1; i <= 3; ++i) EXPECT_EQ(row_count(p, i), 0);
  expect_matrix(p, Dense(3, std::vector<float>(4, 0.0f)));
}

TEST_F(SpBuild, AddsContributionsInListOrderAndDropsExactZeros) {
  // (1e8 + 1) - 1e8 is 0 in single precision, 1e8 - 1e8 + 1 is 1: the order
  // of the list decides; an exact zero is not stored.
  indx.pos[0] = make_sparse({{1.0e8f, 1.0f}});
  indx.pos[1] = make_sparse({{1.0f, 0.0f}});
  indx.pos[2] = make_sparse({{-1.0e8f, -1.0f}});
  set_term(1, 1, 1, 1, 1, 2, 1.0f, 0.0f);
  set_term(2, 2, 1, 1, 1, 2, 1.0f, 0.0f);
  set_term(3, 3, 1, 1, 1, 2, 1.0f, 0.0f);
  int32_t p = 0;
  sp_build(p, 3, 1, 2, 0);
  expect_matrix(p, {{0.0f, 0.0f}});

  set_term(1, 1, 1, 1, 1, 2, 1.0f, 0.0f);
  set_term(2, 3, 1, 1, 1, 2, 1.0f, 0.0f);
  set_term(3, 2, 1, 1, 1, 2, 1.0f, 0.0f);
  sp_build(p, 3, 1, 2, 0);
  expect_matrix(p, {{1.0f, 0.0f}});

  // Each product is rounded before it is added: 0.1f * 3 then + (0.1f * 3).
  indx.pos[3] = make_sparse({{0.1f}});
  set_term(1, 4, 1, 1, 1, 1, 3.0f, 0.0f);
  set_term(2, 4, 1, 1, 1, 1, 3.0f, 0.0f);
  sp_build(p, 2, 1, 1, 0);
  const float once = 0.1f * 3.0f;
  expect_matrix(p, {{once + once}});
}

TEST_F(SpBuild, AddsTheDiagonalShiftToColumnIOfEveryCoveredRow) {
  // Only an off-diagonal element and an empty row, placed off the diagonal.
  indx.pos[0] = make_sparse({{0.0f, 5.0f}, {0.0f, 0.0f}});
  set_term(1, 1, 2, 1, 2, 2, 2.0f, 1.5f);
  set_term(2, 1, 1, 1, 1, 2, 1.0f, 0.0f);
  int32_t p = 0;
  sp_build(p, 2, 3, 3, 0);
  expect_matrix(p, {{0, 5.0f, 0}, {0, 11.5f, 0}, {0, 0, 1.5f}});

  // The row routine alone: local row 1 at column offset 3 of row 2.
  float row[4] = {0.0f, 1.0f, 0.0f, 0.0f};
  fill_vector(row, indx.pos[0], 2, 3, 1, -2.0f, 0.25f);
  EXPECT_EQ(row[1], 1.25f);
  EXPECT_EQ(row[3], -10.0f);
  fill_vector(row, indx.pos[0], 1, 1, 2, 3.0f, 0.0f);  // empty row, no shift
  EXPECT_EQ(row[0], 0.0f);
}

TEST_F(SpBuild, SymmetrisingMirrorsTheUpperTriangleAndIgnoresTheLower) {
  // Term 2 puts 9 below the diagonal at (3, 1): overwritten by the mirror of
  // (1, 3), which no term supplies, so it becomes 0.
  indx.pos[0] = make_sparse({{1.0f, 2.0f, 0.0f}, {0.0f, 3.0f, 4.0f}, {0.0f, 0.0f, 5.0f}});
  indx.pos[1] = make_sparse({{9.0f, 0.0f, 6.0f}});
  set_term(1, 1, 1, 1, 3, 3, 1.0f, 0.0f);
  set_term(2, 2, 3, 1, 1, 3, 1.0f, 0.0f);
  int32_t p = 0;
  sp_build(p, 2, 3, 3, 1);
  expect_matrix(p, {{1.0f, 2.0f, 0}, {2.0f, 3.0f, 4.0f}, {0, 4.0f, 11.0f}});

  // The row routine alone does the same on a stored matrix.
  float row[3] = {7.0f, 7.0f, 7.0f};
  symmetrise(p, row, 3, 3, 3);
  EXPECT_EQ(row[0], 0.0f);
  EXPECT_EQ(row[1], 4.0f);
  EXPECT_EQ(row[2], 7.0f);
  symmetrise(p, row, 3, 3, 1);  // row 1: nothing before it
  EXPECT_EQ(row[0], 0.0f);
}

// The builder as the algorithm reads, on dense rows: per row clear the buffer,
// add every covering term in list order, mirror the earlier rows if asked.
Dense reference_build(const std::vector<Dense>& mats, int32_t q, int32_t n, int32_t m, bool sym) {
  Dense out(n, std::vector<float>(m, 0.0f));
  for (int32_t i = 1; i <= n; ++i) {
    std::vector<float> buf(m, 0.0f);
    for (int32_t j = 0; j < q; ++j) {
      if (i < ibuild.row0[j] || i >= ibuild.row0[j] + ibuild.nrow[j]) continue;
      const std::vector<float>& local = mats[ibuild.mat[j] - 1][i - ibuild.row0[j]];
      for (std::size_t c = 0; c < local.size(); ++c) {
        if (local[c] == 0.0f) continue;
        const float product = local[c] * ibuild.factor[j];
        buf[ibuild.col0[j] - 1 + c] = buf[ibuild.col0[j] - 1 + c] + product;
      }
      if (ibuild.shift[j] != 0.0f) buf[i - 1] = buf[i - 1] + ibuild.shift[j];
    }
    if (sym) {
      for (int32_t r = 1; r < i; ++r) buf[r - 1] = out[r - 1][i - 1];
    }
    out[i - 1] = buf;
  }
  return out;
}

TEST_F(SpBuild, MatchesThePlainAlgorithmOnRandomAddLists) {
  std::mt19937 gen(12345);
  std::uniform_real_distribution<float> value(-2.0f, 2.0f);
  std::vector<Dense> mats;
  for (int32_t id = 1; id <= 6; ++id) {
    const int32_t rows = 1 + id % 4;
    const int32_t cols = 1 + (id * 7) % 5;
    Dense a(rows, std::vector<float>(cols, 0.0f));
    for (auto& r : a) {
      for (float& v : r) v = (gen() % 3 == 0) ? 0.0f : value(gen);
    }
    mats.push_back(a);
    indx.pos[id - 1] = make_sparse(a);
  }
  for (const bool sym : {false, true}) {
    for (const auto& [n, m, q] :
         {std::tuple{40, 40, 300}, std::tuple{30, 55, 200}, std::tuple{50, 50, 1}}) {
      if (sym && n != m) continue;
      for (int32_t j = 1; j <= q; ++j) {
        const int32_t id = 1 + static_cast<int32_t>(gen() % 6);
        const auto rows = static_cast<int32_t>(mats[id - 1].size());
        const auto cols = static_cast<int32_t>(mats[id - 1][0].size());
        const int32_t r0 = 1 + static_cast<int32_t>(gen() % (n - rows + 1));
        const int32_t c0 = 1 + static_cast<int32_t>(gen() % (m - cols + 1));
        const float shift = (gen() % 4 == 0) ? value(gen) : 0.0f;
        set_term(j, id, r0, c0, rows, cols, value(gen), shift);
      }
      const Dense want = reference_build(mats, q, n, m, sym);
      int32_t p = 0;
      sp_build(p, q, n, m, sym ? 1 : 0);
      SCOPED_TRACE(::testing::Message() << "n=" << n << " m=" << m << " q=" << q << " sym=" << sym);
      expect_matrix(p, want);
    }
  }
}

TEST_F(SpBuild, MoreThanTheAddListHoldsStopsTheRun) {
  int32_t p = 0;
  try {
    sp_build(p, max_add + 1, 2, 2, 0);
    FAIL() << "no stop";
  } catch (const RunStop& stop) {
    EXPECT_EQ(stop.status, status_fatal);
    EXPECT_EQ(stop.text, "quitprog: see output");
  }
  EXPECT_EQ(unit_contents(6),
            " Increase parameter MAX_ADD from        10000  to        10001\n"
            " Increase dimension. See output.\n");
  EXPECT_EQ(heap_info.top, 0);
}

TEST_F(SpBuild, StopsOnATermOutsideTheMatrix) {
  indx.pos[0] = make_sparse({{1.0f, 1.0f}});
  set_term(1, 1, 1, 2, 1, 2, 1.0f, 0.0f);  // reaches column 3 of 2
  int32_t p = 0;
  EXPECT_THROW(sp_build(p, 1, 1, 2, 0), RunStop);
  set_term(1, 0, 1, 1, 1, 2, 1.0f, 0.0f);  // no such matrix id
  EXPECT_THROW(sp_build(p, 1, 1, 2, 0), RunStop);
  set_term(1, 1, 1, 2147483647, 1, 2, 1.0f, 0.0f);  // the offset column leaves the 4-byte range
  EXPECT_THROW(sp_build(p, 1, 1, 2, 0), RunStop);
}

// A row count whose 3n row-index cells leave the 4-byte range stops at the
// work array's size check with its real size, before anything is allocated.
TEST_F(SpBuild, RowCountBeyondTheWorkArrayStopsAtTheSizeCheck) {
  for (const int32_t n : {715827883, 2147483647, 5000000}) {
    SetUp();
    int32_t p = 0;
    try {
      sp_build(p, 0, n, 3, 0);
      FAIL() << "no stop for " << n;
    } catch (const RunStop& stop) {
      EXPECT_EQ(stop.status, status_fatal);
      EXPECT_EQ(stop.text, "quitprog: see output");
    }
    EXPECT_NE(unit_contents(6).find(" Increase parameter lheap from "), std::string::npos)
        << unit_contents(6);
    EXPECT_EQ(heap_info.top, 0);
  }
}

using Expand = HamiltonianTest;

TEST_F(Expand, WritesColumnMajorWithLeadingDimensionN) {
  const int32_t one = make_sparse({{-3.5f}});
  float single = 1.0e30f;
  expand(&single, one, 1, 1);
  EXPECT_EQ(single, -3.5f);

  const int32_t p = make_sparse({{1.0f, 0.0f, 2.0f}, {0.0f, 0.0f, 0.0f}});
  std::vector<float> dense(6, 1.0e30f);  // cells never written stay 0.0
  expand(dense.data(), p, 2, 3);
  EXPECT_EQ(dense, (std::vector<float>{1.0f, 0.0f, 0.0f, 0.0f, 2.0f, 0.0f}));

  std::vector<float> other(6, 0.0f);
  expand_row(other.data(), 2, 3, 2, rh(ih(p)[0]), ih(ih(p)[1]), ih(p)[2]);
  EXPECT_EQ(other, (std::vector<float>{0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 2.0f}));
}

}  // namespace
}  // namespace mv::testing
