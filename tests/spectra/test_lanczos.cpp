// The Krylov spectrum against what the test computes itself: a double
// precision Jacobi diagonalisation of the same matrix gives the exact spectrum
// and its moments vᵀHᵏv, which a run of m steps must reproduce up to k = 2m−1.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "hamiltonian/sparse.h"
#include "parallel/pool.h"
#include "spectra/eigen.h"
#include "spectra/lanczos.h"
#include "spectra/tred3.h"
#include "spectra_test_util.h"
#include "support/work_fixture.h"
#include "workarray/heap.h"

namespace mv {
namespace {

using test::first_bit_difference;
using test::random_vector;

// A random sparse symmetric n x n matrix (column-major), diagonal spread over
// [-1, 1] and a few couplings of size ~0.2 per row, optionally cut into two
// blocks that do not couple (rows < split and rows >= split).
std::vector<float> sparse_symmetric(int32_t n, uint32_t seed, int32_t per_row, int32_t split = 0) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::uniform_int_distribution<int32_t> col(0, n - 1);
  std::vector<float> a(static_cast<std::size_t>(n) * n, 0.0f);
  for (int32_t i = 0; i < n; ++i) {
    a[i + static_cast<std::size_t>(i) * n] = u(rng);
    for (int32_t k = 0; k < per_row; ++k) {
      const int32_t j = col(rng);
      if (j == i || (split > 0 && (i < split) != (j < split))) continue;
      const float x = 0.2f * u(rng);
      a[i + static_cast<std::size_t>(j) * n] = x;
      a[j + static_cast<std::size_t>(i) * n] = x;
    }
  }
  return a;
}

// Cyclic Jacobi in double: eigenvalues and the squared projections of v.
struct Exact {
  std::vector<double> energy, weight;
};
Exact exact_spectrum(const std::vector<float>& af, int32_t n, const std::vector<float>& v) {
  std::vector<double> a(af.begin(), af.end()), q(static_cast<std::size_t>(n) * n, 0.0);
  auto at = [n](std::vector<double>& m, int32_t i, int32_t j) -> double& {
    return m[i + static_cast<std::size_t>(j) * n];
  };
  for (int32_t i = 0; i < n; ++i) at(q, i, i) = 1.0;
  for (int sweep = 0; sweep < 60; ++sweep) {
    double off = 0.0;
    for (int32_t i = 0; i < n; ++i)
      for (int32_t j = i + 1; j < n; ++j) off += at(a, i, j) * at(a, i, j);
    if (off < 1e-26) break;
    for (int32_t p = 0; p < n; ++p) {
      for (int32_t r = p + 1; r < n; ++r) {
        if (at(a, p, r) == 0.0) continue;
        const double theta = (at(a, r, r) - at(a, p, p)) / (2.0 * at(a, p, r));
        const double t =
            (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
        const double c = 1.0 / std::sqrt(t * t + 1), s = t * c;
        for (int32_t k = 0; k < n; ++k) {  // columns p, r
          const double x = at(a, k, p), y = at(a, k, r);
          at(a, k, p) = c * x - s * y;
          at(a, k, r) = s * x + c * y;
        }
        for (int32_t k = 0; k < n; ++k) {  // rows p, r
          const double x = at(a, p, k), y = at(a, r, k);
          at(a, p, k) = c * x - s * y;
          at(a, r, k) = s * x + c * y;
        }
        for (int32_t k = 0; k < n; ++k) {
          const double x = at(q, k, p), y = at(q, k, r);
          at(q, k, p) = c * x - s * y;
          at(q, k, r) = s * x + c * y;
        }
      }
    }
  }
  std::vector<int32_t> order(static_cast<std::size_t>(n));
  for (int32_t k = 0; k < n; ++k) order[k] = k;
  std::sort(order.begin(), order.end(),
            [&](int32_t x, int32_t y) { return at(a, x, x) < at(a, y, y); });
  Exact e;
  for (int32_t k : order) {
    double p = 0.0;
    for (int32_t i = 0; i < n; ++i) p += at(q, i, k) * v[i];
    e.energy.push_back(at(a, k, k));
    e.weight.push_back(p * p);
  }
  return e;
}

class LanczosTest : public WorkArrayTest {
 protected:
  // The dense matrix as a sparse row matrix in the work array.
  static int32_t sparse(const std::vector<float>& dense, int32_t n) {
    int32_t p = 0;
    illoc("test matrix", 3 * n, p);
    std::vector<float> row(static_cast<std::size_t>(n));
    for (int32_t i = 0; i < n; ++i) {
      for (int32_t j = 0; j < n; ++j) row[j] = dense[i + static_cast<std::size_t>(j) * n];
      vec_to_row(p, row.data(), n, i + 1);
    }
    return p;
  }

  struct Ritz {
    int32_t m = 0;
    std::vector<float> energy, amplitude;
  };
  static Ritz run(int32_t h, int32_t n, const std::vector<float>& v, int32_t steps) {
    std::vector<float> basis(static_cast<std::size_t>(lanczos_basis_cells(steps, n)));
    std::vector<float> alpha(static_cast<std::size_t>(steps)), beta(alpha.size());
    const lanczos_result r =
        lanczos(h, n, v.data(), steps, basis.data(), alpha.data(), beta.data());
    Ritz out;
    out.m = r.m;
    out.energy.resize(static_cast<std::size_t>(n));
    out.amplitude.resize(static_cast<std::size_t>(n));
    ritz_spectrum(r, alpha.data(), beta.data(), out.energy.data(), out.amplitude.data());
    out.energy.resize(static_cast<std::size_t>(r.m));
    out.amplitude.resize(static_cast<std::size_t>(r.m));
    return out;
  }

  // A random sparse matrix (stored), a random start vector and their exact spectrum.
  struct Problem {
    std::vector<float> a, v;
    int32_t h = 0;
    Exact want;
  };
  static Problem problem(int32_t n, uint32_t seed, int32_t per_row) {
    Problem p;
    p.a = sparse_symmetric(n, seed, per_row);
    p.v = random_vector(n, seed + 1);
    p.h = sparse(p.a, n);
    p.want = exact_spectrum(p.a, n, p.v);
    return p;
  }

  static double norm2(const std::vector<float>& v) {
    double s = 0.0;
    for (float x : v) s += double(x) * x;
    return s;
  }
};

// With as many steps as states (or more) the Ritz spectrum is the spectrum:
// the same energies and weights as the double-precision diagonalisation and
// as the engine's exact path (reduction, then the QL stage carrying v).
TEST_F(LanczosTest, AsManyStepsAsStatesGiveTheExactSpectrum) {
  const int32_t n = 60;
  const auto [a, v, h, want] = problem(n, 11, 4);

  std::vector<float> dense = a, d(n), e(n), z = v;
  tred3(dense.data(), n, n, d.data(), e.data());
  eigen2(2, "TEST", dense.data(), n, n, d.data(), z.data(), 1, e.data());

  // 4-byte tolerances: the spectrum spans about 2.5, the weights add up to |v|².
  const double etol = 1e-5, tol = 5e-6 * norm2(v);
  for (int32_t steps : {n, n + 25}) {
    const Ritz got = run(h, n, v, steps);
    ASSERT_EQ(got.m, n) << "steps " << steps;
    for (int32_t k = 0; k < n; ++k) {
      EXPECT_NEAR(got.energy[k], want.energy[k], etol) << k;
      EXPECT_NEAR(double(got.amplitude[k]) * got.amplitude[k], want.weight[k], tol) << k;
      EXPECT_NEAR(got.energy[k], d[k], etol) << k;
      EXPECT_NEAR(got.amplitude[k] * got.amplitude[k], z[k] * z[k], tol) << k;
    }
  }
}

// A short run: m Ritz lines whose moments Σ a² Eᵏ equal vᵀHᵏv for k up to
// 2m−1 (k = 0 is the total intensity |v|²); the next moment differs.
TEST_F(LanczosTest, ShortRunKeepsTheFirstMomentsOfTheSpectrum) {
  const int32_t n = 200;
  const auto [a, v, h, want] = problem(n, 21, 6);
  // Moments of x = (E − c)/r, the spectrum mapped onto [−1, 1], so that
  // every moment is at most |v|² and one tolerance serves all of them.
  const double c = (want.energy.front() + want.energy.back()) / 2;
  const double r = (want.energy.back() - want.energy.front()) / 2;
  const auto moment = [&](const std::vector<double>& e, const std::vector<double>& w, int k) {
    double sum = 0.0;
    for (std::size_t j = 0; j < e.size(); ++j) sum += w[j] * std::pow((e[j] - c) / r, k);
    return sum;
  };
  const double tol = 1e-6 * norm2(v);
  for (int32_t steps : {1, 4, 10}) {
    const Ritz got = run(h, n, v, steps);
    ASSERT_EQ(got.m, steps);
    ASSERT_TRUE(std::is_sorted(got.energy.begin(), got.energy.end()));
    std::vector<double> e(got.energy.begin(), got.energy.end()), w;
    for (float a : got.amplitude) w.push_back(double(a) * a);
    for (int32_t k = 0; k <= 2 * steps; ++k) {
      const double diff = moment(e, w, k) - moment(want.energy, want.weight, k);
      if (k < 2 * steps) {
        EXPECT_NEAR(diff, 0.0, tol) << "steps " << steps << " moment " << k;
      } else if (steps <= 4) {
        // (after ten steps the quadrature fits even this moment to a few 1e-5)
        EXPECT_GT(std::fabs(diff), 100 * tol) << "steps " << steps << " moment " << k;
      }
    }
    // Ritz values lie inside the spectrum.
    EXPECT_GE(got.energy.front(), want.energy.front() - 1e-5);
    EXPECT_LE(got.energy.back(), want.energy.back() + 1e-5);
  }
}

// A start vector inside one of two uncoupled blocks reaches only that block:
// after its 12 states the run goes on in the other block, whose lines carry
// amplitude 0, so that the spectrum still has a line per step; the weighted
// lines are those of the exact spectrum. A zero start vector gives lines of
// amplitude 0 only.
TEST_F(LanczosTest, InvariantSubspaceAndZeroStartGiveLinesOfAmplitudeZero) {
  const int32_t n = 50, split = 12;
  const std::vector<float> a = sparse_symmetric(n, 31, 5, split);
  std::vector<float> v = random_vector(n, 32);
  std::fill(v.begin() + split, v.end(), 0.0f);
  const int32_t h = sparse(a, n);
  const Ritz got = run(h, n, v, 40);
  EXPECT_EQ(got.m, 40);
  const Exact want = exact_spectrum(a, n, v);
  double total = 0.0;
  int32_t weighted = 0;
  for (int32_t j = 0; j < got.m; ++j) {
    if (got.amplitude[j] == 0.0f) {
      EXPECT_FALSE(std::signbit(got.amplitude[j])) << j;  // written 0.000000, not -0.000000
      continue;
    }
    ++weighted;
    total += double(got.amplitude[j]) * got.amplitude[j];
    // the exact line nearest this Ritz value carries the same weight
    int32_t best = 0;
    for (int32_t k = 1; k < n; ++k)
      if (std::fabs(want.energy[k] - got.energy[j]) < std::fabs(want.energy[best] - got.energy[j]))
        best = k;
    EXPECT_NEAR(got.energy[j], want.energy[best], 1e-5);
    EXPECT_NEAR(double(got.amplitude[j]) * got.amplitude[j], want.weight[best], 5e-6 * norm2(v));
  }
  EXPECT_EQ(weighted, split);
  EXPECT_NEAR(total, norm2(v), 1e-6 * norm2(v));
  const Ritz none = run(h, n, std::vector<float>(n, 0.0f), 40);
  EXPECT_EQ(none.m, 40);
  EXPECT_EQ(std::count(none.amplitude.begin(), none.amplitude.end(), 0.0f), 40);
}

// Rows of the product and the reorthogonalisation are shared among threads;
// the bits must not depend on how many. One thread reorthogonalises in a
// single sweep (the first pass's subtraction fused with the second pass's
// coefficients), several take the passes one after the other: the same sums.
// The second start vector reaches an invariant subspace of 60 states, after
// which the run goes on from a fresh vector orthogonalised the same two ways.
TEST_F(LanczosTest, SameBitsAtAnyThreadCount) {
  const int32_t n = 4500, split = 60;
  for (const bool invariant : {false, true}) {
    const std::vector<float> a = sparse_symmetric(n, 41, 8, invariant ? split : 0);
    std::vector<float> v = random_vector(n, 42);
    if (invariant) std::fill(v.begin() + split, v.end(), 0.0f);
    const int32_t h = sparse(a, n);
    parallel::set_threads(1);
    const Ritz one = run(h, n, v, 80);
    EXPECT_EQ(one.m, 80);
    EXPECT_EQ(std::count(one.amplitude.begin(), one.amplitude.end(), 0.0f), invariant ? 20 : 0);
    for (int32_t t : {2, 3, 7}) {
      parallel::set_threads(t);
      const Ritz many = run(h, n, v, 80);
      EXPECT_EQ(first_bit_difference(one.energy, many.energy), -1) << t << " threads";
      EXPECT_EQ(first_bit_difference(one.amplitude, many.amplitude), -1) << t << " threads";
    }
    parallel::set_threads(0);
  }
}

}  // namespace
}  // namespace mv
