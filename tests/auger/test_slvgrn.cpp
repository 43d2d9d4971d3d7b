// The complex Green's-function solve, checked against an independent
// double-precision elimination, and its singular-matrix stop.
#include <gtest/gtest.h>

#include <complex>
#include <random>
#include <string>
#include <vector>

#include "auger/cgefa.h"
#include "auger/slvgrn.h"
#include "io/stop.h"
#include "io/units.h"
#include "workarray/heap.h"
#include "support/work_fixture.h"

namespace mv {
namespace {

using cd = std::complex<double>;

// Dense complex n x n (column-major) and n x m, both in split storage.
struct System {
  int32_t n, m;
  std::vector<float> g, r;
  System(int32_t n_, int32_t m_) : n(n_), m(m_), g(2 * n_ * n_, 0.0f), r(2 * n_ * m_, 0.0f) {}
  void set_g(int32_t i, int32_t j, float re, float im) {
    g[(i - 1) + (j - 1) * n] = re;
    g[(i - 1) + (j - 1) * n + n * n] = im;
  }
  cd g_at(int32_t i, int32_t j) const {
    return {g[(i - 1) + (j - 1) * n], g[(i - 1) + (j - 1) * n + n * n]};
  }
  cd r_at(int32_t i, int32_t k) const {
    return {r[(i - 1) + (k - 1) * n], r[(i - 1) + (k - 1) * n + n * m]};
  }
};

// Gauss-Jordan elimination in double with full row search, independent of the
// single-precision code under test.
std::vector<cd> reference_solve(const System& s) {
  const int32_t n = s.n, m = s.m;
  std::vector<cd> a(n * n), x(n * m);
  for (int32_t i = 1; i <= n; ++i)
    for (int32_t j = 1; j <= n; ++j) a[(i - 1) + (j - 1) * n] = s.g_at(i, j);
  for (int32_t i = 1; i <= n; ++i)
    for (int32_t k = 1; k <= m; ++k) x[(i - 1) + (k - 1) * n] = s.r_at(i, k);
  for (int32_t c = 0; c < n; ++c) {
    int32_t p = c;
    for (int32_t i = c + 1; i < n; ++i)
      if (std::abs(a[i + c * n]) > std::abs(a[p + c * n])) p = i;
    for (int32_t j = 0; j < n; ++j) std::swap(a[c + j * n], a[p + j * n]);
    for (int32_t k = 0; k < m; ++k) std::swap(x[c + k * n], x[p + k * n]);
    const cd piv = a[c + c * n];
    for (int32_t i = 0; i < n; ++i) {
      if (i == c) continue;
      const cd f = a[i + c * n] / piv;
      for (int32_t j = c; j < n; ++j) a[i + j * n] -= f * a[c + j * n];
      for (int32_t k = 0; k < m; ++k) x[i + k * n] -= f * x[c + k * n];
    }
  }
  for (int32_t i = 0; i < n; ++i)
    for (int32_t k = 0; k < m; ++k) x[i + k * n] /= a[i + i * n];
  return x;
}

class SlvgrnTest : public WorkArrayTest {};

// The Auger matrix: (E - Ea) on the diagonal, gamma + pi*W imaginary, W a
// positive semi-definite Gram matrix; the right-hand sides arbitrary.
System auger_like(int32_t n, int32_t m, std::mt19937& rng) {
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  System s(n, m);
  std::vector<float> h(n * n);
  for (float& x : h) x = u(rng);
  for (int32_t i = 1; i <= n; ++i)
    for (int32_t j = 1; j <= n; ++j) {
      double w = 0.0;
      for (int32_t b = 0; b < n; ++b) w += double(h[(i - 1) + b * n]) * double(h[(j - 1) + b * n]);
      const float re = i == j ? 2.0f * u(rng) : 0.0f;
      const float im =
          3.1415927f * static_cast<float>(w) / static_cast<float>(n) + (i == j ? 0.3f : 0.0f);
      s.set_g(i, j, re, im);
    }
  for (float& x : s.r) x = u(rng);
  return s;
}

TEST_F(SlvgrnTest, MatchesDoublePrecisionSolveOnRandomSystems) {
  std::mt19937 rng(20240611u);
  for (const auto& [n, m] :
       {std::pair{2, 1}, std::pair{5, 2}, std::pair{12, 3}, std::pair{40, 2}}) {
    System s = auger_like(n, m, rng);
    const std::vector<float> g_before = s.g;
    const std::vector<cd> want = reference_solve(s);
    slvgrn(n, m, s.g.data(), s.r.data());
    EXPECT_EQ(s.g, g_before) << "G must be left unchanged";
    double scale = 0.0;
    for (const cd& x : want) scale = std::max(scale, std::abs(x));
    for (int32_t i = 1; i <= n; ++i)
      for (int32_t k = 1; k <= m; ++k)
        EXPECT_LT(std::abs(s.r_at(i, k) - want[(i - 1) + (k - 1) * n]), 4e-6 * scale)
            << "n=" << n << " i=" << i << " k=" << k;
  }
}

TEST_F(SlvgrnTest, WorkArrayIsUsedAndGivenBack) {
  std::mt19937 rng(7u);
  System s = auger_like(6, 2, rng);
  int32_t below = 0;
  alloc("caller", 5, below);
  slvgrn(6, 2, s.g.data(), s.r.data());
  EXPECT_EQ(heap_info.top, 5);
  EXPECT_EQ(heap_info.peak, 5 + 2 * 6 * 2 + 2 * 6 * 6 + 6);

  System none(0, 2);
  slvgrn(0, 2, none.g.data(), none.r.data());
  EXPECT_EQ(heap_info.peak, 5 + 2 * 6 * 2 + 2 * 6 * 6 + 6);
  EXPECT_EQ(unit_contents(6), "");
}

TEST_F(SlvgrnTest, OrderOneAndRowExchange) {
  // n = 1: X = R / G(1,1) for every right-hand side.
  System one(1, 2);
  one.set_g(1, 1, 0.5f, -2.0f);
  one.r = {1.0f, -3.0f, 2.0f, 0.25f};  // (1 + 2i), (-3 + 0.25i)
  slvgrn(1, 2, one.g.data(), one.r.data());
  const cd g11(0.5, -2.0);
  EXPECT_NEAR(std::abs(one.r_at(1, 1) - cd(1.0, 2.0) / g11), 0.0, 1e-6);
  EXPECT_NEAR(std::abs(one.r_at(1, 2) - cd(-3.0, 0.25) / g11), 0.0, 1e-6);

  // G(1,1) = 0, G(2,1) != 0: solvable only after exchanging the rows.
  System two(2, 1);
  two.set_g(1, 1, 0.0f, 0.0f);
  two.set_g(2, 1, 2.0f, 1.0f);
  two.set_g(1, 2, 1.0f, -1.0f);
  two.set_g(2, 2, 0.5f, 0.0f);
  two.r = {1.0f, 0.0f, 0.0f, 3.0f};
  const std::vector<cd> want = reference_solve(two);
  slvgrn(2, 1, two.g.data(), two.r.data());
  for (int32_t i = 1; i <= 2; ++i) EXPECT_NEAR(std::abs(two.r_at(i, 1) - want[i - 1]), 0.0, 1e-6);

  std::vector<float> a{0.0f, 0.0f, 2.0f, 1.0f, 1.0f, -1.0f, 0.5f, 0.0f};
  std::vector<int32_t> ipvt(2);
  int32_t info = -1;
  cgefa(a.data(), 2, 2, ipvt.data(), info);
  EXPECT_EQ(info, 0);
  EXPECT_EQ(ipvt, (std::vector<int32_t>{2, 2}));
}

// The stop of a singular system: the message names the order, not the pivot.
void expect_singular_stop(System s, const std::string& message_line) {
  reset_units();
  attach_memory(6);
  try {
    slvgrn(s.n, s.m, s.g.data(), s.r.data());
    FAIL() << "singular matrix accepted";
  } catch (const RunStop& stop) {
    EXPECT_EQ(stop.text, "quitprog: see output");
    EXPECT_EQ(stop.status, status_fatal);
  }
  EXPECT_EQ(unit_contents(6), message_line + " Error in subroutine solve_equations\n");
}

TEST_F(SlvgrnTest, SingularMatricesStopTheRun) {
  System zero1(1, 1);
  zero1.r = {1.0f, 1.0f};
  expect_singular_stop(zero1, " matrix was singular            1\n");

  // First column zero: the first pivot is zero, elimination goes on.
  System col(3, 1);
  col.set_g(1, 2, 1.0f, 0.0f);
  col.set_g(2, 3, 1.0f, 0.0f);
  col.set_g(3, 2, 0.0f, 1.0f);
  expect_singular_stop(col, " matrix was singular            3\n");

  // Rank one: the last pivot cancels exactly to zero.
  System last(2, 1);
  last.set_g(1, 1, 1.0f, 0.0f);
  last.set_g(2, 1, 2.0f, 0.0f);
  last.set_g(1, 2, 2.0f, 0.0f);
  last.set_g(2, 2, 4.0f, 0.0f);
  expect_singular_stop(last, " matrix was singular            2\n");
  std::vector<float> a{1.0f, 0.0f, 2.0f, 0.0f, 2.0f, 0.0f, 4.0f, 0.0f};
  std::vector<int32_t> ipvt(2);
  int32_t info = 0;
  cgefa(a.data(), 2, 2, ipvt.data(), info);
  EXPECT_EQ(info, 2);
}

TEST(Blas1, StridesAndEdgeCases) {
  // Elements 1, 3, 5 of an interleaved vector (stride 2).
  const std::vector<float> x{1.0f, 0.0f, 9.0f, 9.0f, -2.0f, 2.0f, 9.0f, 9.0f, 0.0f, -4.0f};
  EXPECT_EQ(icamax(3, x.data(), 2), 2);  // |-2|+|2| = 4 = |0|+|-4|: the first wins
  EXPECT_EQ(icamax(0, x.data(), 1), 0);
  EXPECT_EQ(icamax(3, x.data(), 0), 0);

  // caxpy with a negative increment walks x from its far end.
  const std::vector<float> cx{1.0f, 0.0f, 0.0f, 1.0f};
  std::vector<float> cy{0.0f, 0.0f, 0.0f, 0.0f};
  caxpy(2, 0.0f, 2.0f, cx.data(), -1, cy.data(), 1);  // cy = 2i * (x2, x1)
  EXPECT_EQ(cy, (std::vector<float>{-2.0f, 0.0f, 0.0f, 2.0f}));

  float re = 0.0f, im = 0.0f;
  const std::vector<float> cz{3.0f, 4.0f};
  cdotc(1, cz.data(), 1, cz.data(), 1, re, im);  // |3 + 4i|^2
  EXPECT_EQ(re, 25.0f);
  EXPECT_EQ(im, 0.0f);

  std::vector<float> s{1.0f, 1.0f};
  cscal(1, 0.0f, 1.0f, s.data(), 1);  // i * (1 + i) = -1 + i
  EXPECT_EQ(s, (std::vector<float>{-1.0f, 1.0f}));
}

TEST(Cgesl, ConjugateTransposedSolve) {
  // A = [[2, i], [1, 3]]; solve ctrans(A) x = b and check ctrans(A) x against b.
  std::vector<float> a{2.0f, 0.0f, 1.0f, 0.0f, 0.0f, 1.0f, 3.0f, 0.0f};
  const std::vector<cd> ac{cd(2, 0), cd(1, 0), cd(0, 1), cd(3, 0)};
  std::vector<int32_t> ipvt(2);
  int32_t info = -1;
  cgefa(a.data(), 2, 2, ipvt.data(), info);
  ASSERT_EQ(info, 0);
  std::vector<float> b{1.0f, 1.0f, -2.0f, 0.5f};
  cgesl(a.data(), 2, 2, ipvt.data(), b.data(), 1);
  const cd x1(b[0], b[1]), x2(b[2], b[3]);
  EXPECT_NEAR(std::abs(std::conj(ac[0]) * x1 + std::conj(ac[1]) * x2 - cd(1, 1)), 0.0, 1e-6);
  EXPECT_NEAR(std::abs(std::conj(ac[2]) * x1 + std::conj(ac[3]) * x2 - cd(-2, 0.5)), 0.0, 1e-6);
}

}  // namespace
}  // namespace mv
