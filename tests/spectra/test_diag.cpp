// The dense symmetric eigen-solver: the shipped kernels against the plain
// transcriptions (bit for bit), known spectra, and the properties every
// eigen-decomposition must have.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "io/units.h"
#include "reference_kernels.h"
#include "spectra/diag.h"
#include "spectra/simd.h"
#include "spectra_test_util.h"

namespace mv {
namespace {

using test::first_bit_difference;
using test::random_symmetric;
using test::random_vector;

struct Reduced {
  std::vector<float> a, d, e;
};

Reduced run_tred3(std::vector<float> a, int32_t n, int32_t nm, bool reference) {
  Reduced r{std::move(a), std::vector<float>(n, -3.0f), std::vector<float>(n, -3.0f)};
  if (reference) {
    mv::reference::tred3(r.a.data(), nm, n, r.d.data(), r.e.data());
  } else {
    tred3(r.a.data(), nm, n, r.d.data(), r.e.data());
  }
  return r;
}

void expect_same_bits(const Reduced& x, const Reduced& y, const std::string& what) {
  EXPECT_EQ(first_bit_difference(x.a, y.a), -1) << what << ": matrix";
  EXPECT_EQ(first_bit_difference(x.d, y.d), -1) << what << ": d";
  EXPECT_EQ(first_bit_difference(x.e, y.e), -1) << what << ": e";
}

// Random matrices whose rows leave some steps with nothing to do (a zero row
// left of the diagonal), with negative zeros where the sign rule matters.
std::vector<float> with_gaps(int32_t n, int32_t nm, uint32_t seed) {
  std::vector<float> a = random_symmetric(n, nm, seed);
  for (int32_t i = 2; i <= n; i += 5) {
    for (int32_t k = 1; k < i; ++k)
      a[(i - 1) + static_cast<std::size_t>(k - 1) * nm] = (k % 2) ? -0.0f : 0.0f;
  }
  for (int32_t i = 3; i <= n; i += 7) a[(i - 1) + static_cast<std::size_t>(i - 2) * nm] = -0.0f;
  return a;
}

// Every instantiation of the kernels (4 lanes, and 8 and 16 where the
// processor has them) is held to the plain transcription.
class BothWidths : public ::testing::Test {
 protected:
  void TearDown() override { simd::limit_width(0); }
  // Runs check(label) once per instantiation.
  template <class F>
  static void for_both_widths(F check) {
    for (int32_t w : {4, 8, 16}) {
      if (w > simd::widest_available()) break;
      simd::limit_width(w);
      check(" lanes=" + std::to_string(w));
    }
  }
};

using Tred3 = BothWidths;
using Tql3 = BothWidths;

TEST_F(Tred3, MatchesPlainTranscriptionBitForBit) {
  const int32_t sizes[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,   11,  12,  13,
                           16, 17, 31, 32, 33, 36, 64, 65, 100, 129, 200, 300};
  for_both_widths([&](const std::string& width) {
    for (int32_t n : sizes) {
      for (int32_t pad : {0, 3}) {
        const int32_t nm = n + pad;
        const std::string what = "n=" + std::to_string(n) + " nm=" + std::to_string(nm) + width;
        const std::vector<float> a = random_symmetric(n, nm, 1000u + n + pad);
        expect_same_bits(run_tred3(a, n, nm, false), run_tred3(a, n, nm, true), what);
        const std::vector<float> g = with_gaps(n, nm, 2000u + n);
        expect_same_bits(run_tred3(g, n, nm, false), run_tred3(g, n, nm, true), what + " gaps");
      }
    }
  });
}

struct Ql {
  std::vector<float> d, e, z;
  int32_t ierr = -1;
};

// A random tridiagonal matrix; with `split`, some couplings are zero and some
// tiny, so that the sweeps run over ranges of many different lengths.
Ql run_tql3(int32_t nm, int32_t n, uint32_t seed, bool reference, bool split = false) {
  Ql r{random_vector(n, seed, -2.0f, 2.0f), random_vector(n, seed + 1),
       random_vector(std::size_t(nm) * n, seed + 2)};
  if (n > 0) r.e[0] = 0.0f;
  for (int32_t i = 5; split && i < n; i += 7) r.e[i] = (i % 2) ? 0.0f : 1.0e-9f;
  if (reference) {
    mv::reference::tql3(nm, n, r.d.data(), r.e.data(), r.z.data(), r.ierr);
  } else {
    tql3(nm, n, r.d.data(), r.e.data(), r.z.data(), r.ierr);
  }
  return r;
}

TEST_F(Tql3, MatchesPlainTranscriptionBitForBit) {
  // Row counts below and above the point where rotations are recorded, and
  // sizes whose rotations overflow one record (n = 300).
  for_both_widths([&](const std::string& width) {
    for (int32_t n : {2, 3, 10, 57, 300}) {
      for (int32_t nm : {1, 3, 15, 16, 17, 40, 300}) {
        const std::string what = "n=" + std::to_string(n) + " nm=" + std::to_string(nm) + width;
        for (bool split : {false, true}) {
          const Ql fast = run_tql3(nm, n, 77u * n + nm, false, split);
          const Ql ref = run_tql3(nm, n, 77u * n + nm, true, split);
          EXPECT_EQ(fast.ierr, ref.ierr) << what;
          EXPECT_EQ(first_bit_difference(fast.d, ref.d), -1) << what;
          EXPECT_EQ(first_bit_difference(fast.e, ref.e), -1) << what;
          EXPECT_EQ(first_bit_difference(fast.z, ref.z), -1) << what;
        }
      }
    }
  });
}

TEST_F(Tql3, OrdersOneAndZeroAndTiesAsSpecified) {
  // n = 0 and n = 1 change nothing at all.
  for (int32_t n : {0, 1}) {
    std::vector<float> d{4.0f}, e{9.0f}, z{5.0f, 6.0f};
    int32_t ierr = -1;
    tql3(2, n, d.data(), e.data(), z.data(), ierr);
    EXPECT_EQ(ierr, 0);
    EXPECT_EQ(d[0], 4.0f);
    EXPECT_EQ(e[0], 9.0f);
    EXPECT_EQ(z, (std::vector<float>{5.0f, 6.0f}));
  }
  // A diagonal input is only sorted, by selection, which is not stable: the
  // two 2's come out as the third column before the first.
  std::vector<float> d{2.0f, 1.0f, 2.0f, 0.0f}, e(4, 0.0f);
  std::vector<float> z(16, 0.0f);
  for (int32_t k = 0; k < 4; ++k) z[k + 4 * k] = float(k + 1);
  int32_t ierr = -1;
  tql3(4, 4, d.data(), e.data(), z.data(), ierr);
  EXPECT_EQ(ierr, 0);
  EXPECT_EQ(d, (std::vector<float>{0.0f, 1.0f, 2.0f, 2.0f}));
  const float columns[4] = {4.0f, 2.0f, 3.0f, 1.0f};  // the non-zero of each column
  for (int32_t k = 0; k < 4; ++k) {
    const int32_t row = int32_t(columns[k]) - 1;
    EXPECT_EQ(z[row + 4 * k], columns[k]) << "column " << k + 1;
  }
}

struct Decomposition {
  std::vector<float> a, d;
};

Decomposition run_diag(const std::vector<float>& a0, int32_t n) {
  Decomposition r{a0, std::vector<float>(n)};
  std::vector<float> e(n);
  diag(r.a.data(), n, n, r.d.data(), e.data());
  return r;
}

class DiagTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_units();
    attach_memory(6);
  }
  void TearDown() override { reset_units(); }
};

TEST_F(DiagTest, MatchesPlainPipelineBitForBit) {
  for (int32_t n : {1, 2, 5, 33, 120, 250}) {
    const std::vector<float> a = random_symmetric(n, n, 500u + n);
    const Decomposition fast = run_diag(a, n);
    std::vector<float> ra = a, rd(n), re(n);
    int32_t ierr = 0;
    mv::reference::tred3(ra.data(), n, n, rd.data(), re.data());
    mv::reference::tql3(n, n, rd.data(), re.data(), ra.data(), ierr);
    EXPECT_EQ(first_bit_difference(fast.a, ra), -1) << "n=" << n;
    EXPECT_EQ(first_bit_difference(fast.d, rd), -1) << "n=" << n;
  }
}

TEST_F(DiagTest, KnownSpectraAndLogLine) {
  // 1 x 1.
  std::vector<float> one{-2.5f}, d1(1), e1(1);
  diag(one.data(), 1, 1, d1.data(), e1.data());
  EXPECT_EQ(d1[0], -2.5f);
  EXPECT_EQ(one[0], 1.0f);
  EXPECT_EQ(unit_contents(6), " Matrix size=   1*   1\n");

  // Diagonal: the reduction is the identity, the QL stage only sorts.
  const int32_t n = 5;
  const float diagonal[n] = {3.0f, -1.0f, 4.0f, 1.5f, -9.0f};
  std::vector<float> a(n * n, 0.0f), d(n), e(n);
  for (int32_t k = 0; k < n; ++k) a[k + n * k] = diagonal[k];
  std::vector<float> t = a;
  tred3(t.data(), n, n, d.data(), e.data());
  for (int32_t k = 0; k < n; ++k) {
    EXPECT_EQ(d[k], diagonal[k]);
    EXPECT_EQ(e[k], 0.0f);
    for (int32_t i = 0; i < n; ++i) EXPECT_EQ(t[i + n * k], i == k ? 1.0f : 0.0f);
  }
  diag(a.data(), n, n, d.data(), e.data());
  const int32_t from[n] = {4, 1, 3, 0, 2};  // ascending order of the diagonal
  for (int32_t k = 0; k < n; ++k) {
    EXPECT_EQ(d[k], diagonal[from[k]]);
    for (int32_t i = 0; i < n; ++i) EXPECT_EQ(a[i + n * k], i == from[k] ? 1.0f : 0.0f);
  }

  // The discrete Laplacian: eigenvalues 2 - 2cos(kπ/(m+1)).
  const int32_t m = 40;
  std::vector<float> lap(m * m, 0.0f), dl(m), el(m);
  for (int32_t k = 0; k < m; ++k) {
    lap[k + m * k] = 2.0f;
    if (k + 1 < m) lap[(k + 1) + m * k] = -1.0f;
  }
  reset_units();
  attach_memory(6);
  diag(lap.data(), m, m, dl.data(), el.data());
  EXPECT_EQ(unit_contents(6), " Matrix size=  40*  40\n");
  for (int32_t k = 1; k <= m; ++k) {
    const double exact = 2.0 - 2.0 * std::cos(k * std::numbers::pi / (m + 1));
    EXPECT_NEAR(dl[k - 1], exact, 2e-6) << "k=" << k;
  }

  // n = 0: no line, nothing touched.
  reset_units();
  attach_memory(6);
  float untouched = 8.0f;
  diag(&untouched, 0, 0, &untouched, &untouched);
  EXPECT_EQ(untouched, 8.0f);
  EXPECT_EQ(unit_contents(6), "");
}

TEST_F(DiagTest, EigenvectorsAreOrthonormalWithSmallResiduals) {
  for (int32_t n : {3, 50, 300}) {
    const std::vector<float> a = test::mirrored(random_symmetric(n, n, 900u + n), n, n);
    const Decomposition r = run_diag(a, n);
    double worst_ortho = 0.0, worst_residual = 0.0;
    for (int32_t k = 0; k < n; ++k) {
      if (k > 0) {
        EXPECT_LE(r.d[k - 1], r.d[k]);
      }
      for (int32_t l = 0; l <= k; ++l) {
        double dot = 0.0;
        for (int32_t i = 0; i < n; ++i) dot += double(r.a[i + n * k]) * r.a[i + n * l];
        worst_ortho = std::max(worst_ortho, std::fabs(dot - (k == l ? 1.0 : 0.0)));
      }
      for (int32_t i = 0; i < n; ++i) {
        double av = 0.0;
        for (int32_t j = 0; j < n; ++j) av += double(a[i + n * j]) * r.a[j + n * k];
        worst_residual = std::max(worst_residual, std::fabs(av - double(r.d[k]) * r.a[i + n * k]));
      }
    }
    EXPECT_LT(worst_ortho, 2e-5 * std::sqrt(double(n))) << "n=" << n;
    EXPECT_LT(worst_residual, 2e-5 * std::sqrt(double(n))) << "n=" << n;
  }
}

TEST_F(DiagTest, ReadsOnlyTheLowerTriangleOfTheLeadingBlock) {
  const int32_t n = 20, nm = 23;
  std::vector<float> x = random_symmetric(n, nm, 31u);
  std::vector<float> y = x;
  for (int32_t j = 0; j < n; ++j) {
    for (int32_t i = 0; i < j; ++i) y[i + nm * j] = -100.0f - i;  // other upper triangle
    for (int32_t i = n; i < nm; ++i) y[i + nm * j] = 1.0e30f;     // other padding
  }
  std::vector<float> dx(n), ex(n), dy(n), ey(n);
  diag(x.data(), n, nm, dx.data(), ex.data());
  diag(y.data(), n, nm, dy.data(), ey.data());
  EXPECT_EQ(first_bit_difference(dx, dy), -1);
  for (int32_t j = 0; j < n; ++j) {
    for (int32_t i = 0; i < n; ++i) EXPECT_EQ(x[i + nm * j], y[i + nm * j]);
    for (int32_t i = n; i < nm; ++i) {
      EXPECT_EQ(x[i + nm * j], 7.5f);  // padding is not part of the matrix
      EXPECT_EQ(y[i + nm * j], 1.0e30f);
    }
  }
}

}  // namespace
}  // namespace mv
