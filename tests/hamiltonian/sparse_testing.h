// Helpers for the Hamiltonian tests: sparse matrices made from dense ones
// through vec_to_row, and a dense reading of a stored matrix taken straight
// from its row index (independent of expand).
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "hamiltonian/bandexpansion.h"
#include "hamiltonian/sparse.h"
#include "io/units.h"
#include "workarray/heap.h"

namespace mv::testing {

using Dense = std::vector<std::vector<float>>;  // [row][column], 0-based

// A fresh work array, add list, band shape and captured standard output.
class HamiltonianTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_units();
    attach_memory(6);
    reset_heap();
    ibuild = {};
    indx = {};
    bandexpansion = {};
  }
  void TearDown() override { reset_units(); }
};

inline int32_t make_sparse(const Dense& a) {
  const auto n = static_cast<int32_t>(a.size());
  int32_t p = 0;
  illoc("test matrix", 3 * n, p);
  for (int32_t i = 1; i <= n; ++i) {
    vec_to_row(p, a[i - 1].data(), static_cast<int32_t>(a[i - 1].size()), i);
  }
  return p;
}

inline int32_t row_count(int32_t p, int32_t i) { return ih(p)[3 * (i - 1) + 2]; }

inline Dense read_sparse(int32_t p, int32_t n, int32_t m) {
  Dense a(static_cast<std::size_t>(n), std::vector<float>(static_cast<std::size_t>(m), 0.0f));
  for (int32_t i = 1; i <= n; ++i) {
    const int32_t* t = ih(p) + 3 * (i - 1);
    const float* v = rh(t[0]);
    const int32_t* c = ih(t[1]);
    for (int32_t e = 0; e < t[2]; ++e) {
      EXPECT_TRUE(c[e] >= 1 && c[e] <= m) << "row " << i << " column " << c[e];
      if (e > 0) {
        EXPECT_LT(c[e - 1], c[e]) << "row " << i << " columns not ascending";
      }
      EXPECT_NE(v[e], 0.0f) << "row " << i << " stores a zero";
      if (c[e] >= 1 && c[e] <= m) a[i - 1][c[e] - 1] = v[e];
    }
  }
  return a;
}

inline int32_t nonzeros(const std::vector<float>& row) {
  int32_t k = 0;
  for (float v : row) k += v != 0.0f ? 1 : 0;
  return k;
}

// Every element equal (exactly) and every row storing exactly its non-zeros.
inline void expect_matrix(int32_t p, const Dense& want) {
  const auto n = static_cast<int32_t>(want.size());
  const auto m = n > 0 ? static_cast<int32_t>(want[0].size()) : 0;
  const Dense got = read_sparse(p, n, m);
  for (int32_t i = 0; i < n; ++i) {
    EXPECT_EQ(row_count(p, i + 1), nonzeros(want[i])) << "row " << i + 1;
    for (int32_t j = 0; j < m; ++j) {
      EXPECT_EQ(got[i][j], want[i][j]) << "element (" << i + 1 << ", " << j + 1 << ")";
    }
  }
}

inline void set_term(int32_t j, int32_t mat, int32_t row0, int32_t col0, int32_t nrow, int32_t ncol,
                     float factor, float shift) {
  ibuild.mat[j - 1] = mat;
  ibuild.row0[j - 1] = row0;
  ibuild.col0[j - 1] = col0;
  ibuild.nrow[j - 1] = nrow;
  ibuild.ncol[j - 1] = ncol;
  ibuild.factor[j - 1] = factor;
  ibuild.shift[j - 1] = shift;
}

}  // namespace mv::testing
