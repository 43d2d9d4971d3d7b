// The block eigen-solver: the block search, and rows carried into the
// eigenbasis against explicit products with the full eigenvectors.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "io/units.h"
#include "spectra/diag.h"
#include "spectra/eigen.h"
#include "spectra_test_util.h"
#include "workarray/heap.h"
#include "support/work_fixture.h"

namespace mv {
namespace {

using test::random_symmetric;
using test::random_vector;
using test::records;

std::string block_line(int32_t nstart, int32_t nlast) {
  auto field = [](int32_t v) {
    std::string s = std::to_string(v);
    return std::string(11 - s.size(), ' ') + s;
  };
  return "  eigen2 called for block: nstart= " + field(nstart) + "  nlast= " + field(nlast);
}

class EigenTest : public WorkArrayTest {};

TEST_F(EigenTest, DiagonalMatrixClosesOneBlockPerRow) {
  const int32_t n = 4, ldv = 2;
  std::vector<float> h(n * n, 0.0f);
  const float diagonal[n] = {3.0f, 1.0f, -2.0f, 5.0f};
  for (int32_t k = 0; k < n; ++k) h[k + n * k] = diagonal[k];
  std::vector<float> v = random_vector(ldv * n, 5u);
  const std::vector<float> v0 = v;
  std::vector<float> w(n);
  eigen("S", h.data(), n, n, w.data(), v.data(), ldv);
  const std::vector<std::string> lines = records(unit_contents(6));
  ASSERT_EQ(lines.size(), 4u);
  for (int32_t k = 1; k <= n; ++k) EXPECT_EQ(lines[k - 1], block_line(k, k));
  for (int32_t k = 0; k < n; ++k) EXPECT_EQ(w[k], diagonal[k]);  // row order, not sorted
  EXPECT_EQ(v, v0);
  EXPECT_EQ(heap_info.top, 0);
}

TEST_F(EigenTest, BlockSearchFollowsTheReachOfEachRow) {
  // Row 1 reaches column 3, so rows 1..3 are one block although H(2,2) is
  // isolated; rows 4 and 5 are zero and only close as the trailing block.
  const int32_t n = 5, ldv = 1;
  std::vector<float> h(n * n, 0.0f);
  auto H = [&](int32_t i, int32_t j) -> float& { return h[(i - 1) + n * (j - 1)]; };
  H(1, 1) = 1.0f;
  H(1, 3) = H(3, 1) = 2.0f;
  H(2, 2) = 0.5f;
  H(3, 3) = -1.0f;
  std::vector<float> v{1.0f, 2.0f, 3.0f, 4.0f, 5.0f}, w(n, -7.0f);
  eigen("S", h.data(), n, n, w.data(), v.data(), ldv);
  EXPECT_EQ(records(unit_contents(6)),
            (std::vector<std::string>{block_line(1, 3), block_line(4, 5)}));
  // Block 1..3: 0.5 and the pair of [[1, 2], [2, -1]], i.e. ±√5, ascending.
  EXPECT_NEAR(w[0], -std::sqrt(5.0f), 1e-6);
  EXPECT_NEAR(w[1], 0.5f, 1e-6);
  EXPECT_NEAR(w[2], std::sqrt(5.0f), 1e-6);
  EXPECT_EQ(w[3], 0.0f);
  EXPECT_EQ(w[4], 0.0f);
  EXPECT_EQ(v[3], 4.0f);  // the zero block leaves its components alone
  EXPECT_EQ(v[4], 5.0f);
  // Row norm is kept inside the rotated block.
  EXPECT_NEAR(v[0] * v[0] + v[1] * v[1] + v[2] * v[2], 14.0f, 1e-4);

  // A zero row inside: row 2 joins the block that row 3 closes.
  reset_units();
  attach_memory(6);
  std::vector<float> g{1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 2.0f}, wg(3);
  std::vector<float> vg{1.0f, 1.0f, 1.0f};
  eigen("S", g.data(), 3, 3, wg.data(), vg.data(), 1);
  EXPECT_EQ(records(unit_contents(6)),
            (std::vector<std::string>{block_line(1, 1), block_line(2, 3)}));
  EXPECT_EQ(wg, (std::vector<float>{1.0f, 0.0f, 2.0f}));

  // n = 0: nothing.
  reset_units();
  attach_memory(6);
  eigen("S", g.data(), 3, 0, wg.data(), vg.data(), 1);
  EXPECT_EQ(unit_contents(6), "");
}

// V·X with X the eigenvectors from the full diagonalisation of one block.
void expect_projection(const std::vector<float>& block, int32_t m, const std::vector<float>& v0,
                       int32_t ldv, int32_t first, const std::vector<float>& v, const float* w) {
  std::vector<float> x = block, d(m), e(m);
  diag(x.data(), m, m, d.data(), e.data());
  for (int32_t k = 0; k < m; ++k) {
    EXPECT_EQ(w[k], d[k]) << "eigenvalue " << k;  // same d and e arithmetic
    for (int32_t r = 0; r < ldv; ++r) {
      double p = 0.0;
      for (int32_t j = 0; j < m; ++j) p += double(v0[r + ldv * (first + j)]) * x[j + m * k];
      EXPECT_NEAR(v[r + ldv * (first + k)], p, 2e-5) << "row " << r << " state " << k;
    }
  }
}

TEST_F(EigenTest, CarriedRowsAreProjectionsOnTheEigenvectors) {
  // Two decoupled blocks of 12 and 18 states, three carried rows.
  const int32_t n = 30, ldv = 3, m1 = 12, m2 = 18;
  const std::vector<float> b1 = test::mirrored(random_symmetric(m1, m1, 61u), m1, m1);
  const std::vector<float> b2 = test::mirrored(random_symmetric(m2, m2, 62u), m2, m2);
  std::vector<float> h(n * n, 0.0f);
  for (int32_t j = 0; j < m1; ++j)
    for (int32_t i = 0; i < m1; ++i) h[i + n * j] = b1[i + m1 * j];
  for (int32_t j = 0; j < m2; ++j)
    for (int32_t i = 0; i < m2; ++i) h[(m1 + i) + n * (m1 + j)] = b2[i + m2 * j];
  const std::vector<float> v0 = random_vector(ldv * n, 63u);
  std::vector<float> v = v0, w(n);
  eigen("S", h.data(), n, n, w.data(), v.data(), ldv);
  EXPECT_EQ(records(unit_contents(6)),
            (std::vector<std::string>{block_line(1, 12), block_line(13, 30)}));
  reset_units();
  attach_memory(6);
  expect_projection(b1, m1, v0, ldv, 0, v, w.data());
  expect_projection(b2, m2, v0, ldv, m1, v, w.data() + m1);
  EXPECT_EQ(heap_info.top, 0);

  // One row through eigen2 after a separate reduction, as the absorption
  // spectrum does it.
  const int32_t ne = 40;
  const std::vector<float> he = test::mirrored(random_symmetric(ne, ne, 64u), ne, ne);
  std::vector<float> q = he, d(ne), e(ne);
  tred3(q.data(), ne, ne, d.data(), e.data());
  const std::vector<float> row0 = random_vector(ne, 65u);
  std::vector<float> row = row0;
  eigen2(2, "S", q.data(), ne, ne, d.data(), row.data(), 1, e.data());
  expect_projection(he, ne, row0, 1, 0, row, d.data());
}

}  // namespace
}  // namespace mv
