// The shipped complex LU kernels against the plain column-by-column
// transcription: factors, pivots, info and solutions must be the same bits,
// for every vector width and thread count, and on matrices that reach the
// rare paths (zero pivots, zero multipliers, row exchanges, subnormal
// arithmetic, signed zeros, infinities).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "auger/cgefa.h"
#include "auger/reference_cgefa.h"
#include "parallel/pool.h"
#include "spectra/simd.h"

namespace mv {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

// Same bits, except that any NaN equals any NaN: which of two NaN operands an
// addition passes on is the compiler's choice even for the plain code.
void expect_same(const std::vector<float>& got, const std::vector<float>& want,
                 const std::string& what) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (std::isnan(got[i]) && std::isnan(want[i])) continue;
    uint32_t g, w;
    std::memcpy(&g, &got[i], 4);
    std::memcpy(&w, &want[i], 4);
    if (g != w) {
      ADD_FAILURE() << what << ": float " << i << " is " << got[i] << " (0x" << std::hex << g
                    << "), want " << want[i] << " (0x" << w << ")";
      return;
    }
  }
}

enum class Kind { random, blocks, zero_rows, banded_subnormal, special };

// An n x n interleaved complex matrix with leading dimension lda; the rows
// n..lda-1 hold a marker that must survive untouched.
std::vector<float> make_matrix(Kind kind, int32_t n, int32_t lda, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> a(2 * std::size_t(lda) * n, 7.5f);
  auto set = [&](int32_t i, int32_t j, float re, float im) {
    a[2 * (i + std::size_t(j) * lda)] = re;
    a[2 * (i + std::size_t(j) * lda) + 1] = im;
  };
  for (int32_t j = 0; j < n; ++j) {
    for (int32_t i = 0; i < n; ++i) {
      float re = u(rng), im = u(rng);
      switch (kind) {
        case Kind::random:
          break;
        case Kind::blocks:
          // Zero blocks: many zero multipliers and zero row entries, so steps
          // leave whole columns alone; some blocks purely real or imaginary.
          if ((i / 5 + j / 7) % 3 == 1) re = im = 0.0f;
          if ((i / 3 + j / 2) % 4 == 2) im = 0.0f;
          if ((i / 4 + j / 3) % 5 == 3) re = 0.0f;
          break;
        case Kind::zero_rows:
          // Zero rows and a zero column: exact zero pivots (singular).
          if (i % 11 == 3 || i == n - 2 || j == n / 3) re = im = 0.0f;
          break;
        case Kind::banded_subnormal: {
          const int32_t d = i - j;
          if (d > 4 || d < -6) {
            re = im = 0.0f;
          } else if ((i + 2 * j) % 3 == 0) {
            // Subnormal entries and entries whose products fall below the
            // normal range.
            re *= 3.0e-39f;
            im *= 1.0e-44f;
          } else if ((i + j) % 5 == 0) {
            re *= 1.0e-20f;
            im *= -1.0e-19f;
          }
          break;
        }
        case Kind::special:
          // Signed zeros, infinities and NaNs on the way.
          if ((i * 7 + j) % 13 == 0) re = -0.0f;
          if ((i + j * 5) % 17 == 0) im = -0.0f;
          if (i == n / 2 && j == n / 3) re = INFINITY;
          if (i == n / 3 && j == n - 1) im = NAN;
          break;
      }
      set(i, j, re, im);
    }
  }
  return a;
}

void check_factor_and_solve(Kind kind, int32_t n, int32_t lda, uint32_t seed) {
  const std::string what = "kind " + std::to_string(int(kind)) + " n=" + std::to_string(n) +
                           " lda=" + std::to_string(lda);
  std::vector<float> want = make_matrix(kind, n, lda, seed);
  std::vector<float> got = want;
  std::vector<int32_t> ipvt_want(n, -1), ipvt_got(n, -1);
  int32_t info_want = -1, info_got = -1;
  reference::cgefa(want.data(), lda, n, ipvt_want.data(), info_want);
  cgefa(got.data(), lda, n, ipvt_got.data(), info_got);
  expect_same(got, want, what + " factors");
  EXPECT_EQ(ipvt_got, ipvt_want) << what;
  EXPECT_EQ(info_got, info_want) << what;

  std::mt19937 rng(seed + 1);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (int32_t job : {0, 1}) {
    std::vector<float> b_want(2 * std::size_t(n));
    for (float& x : b_want) x = u(rng);
    std::vector<float> b_got = b_want;
    reference::cgesl(want.data(), lda, n, ipvt_want.data(), b_want.data(), job);
    cgesl(want.data(), lda, n, ipvt_want.data(), b_got.data(), job);
    expect_same(b_got, b_want, what + " solve job " + std::to_string(job));
  }
}

// Lanes: 4, 8 or 16, capped at what the processor has (the LU itself stops
// at 8); one thread.
class LuWidths : public ::testing::TestWithParam<int32_t> {
 protected:
  void SetUp() override {
    simd::limit_width(GetParam());
    parallel::set_threads(1);
  }
  void TearDown() override {
    simd::limit_width(0);
    parallel::set_threads(0);
  }
};

TEST_P(LuWidths, SmallOrdersOfEveryKindMatchThePlainProcedure) {
  for (Kind kind :
       {Kind::random, Kind::blocks, Kind::zero_rows, Kind::banded_subnormal, Kind::special}) {
    for (int32_t n : {1, 2, 3, 5, 9, 31, 32, 33, 40, 65, 77}) {
      check_factor_and_solve(kind, n, n, 100u + n);
      check_factor_and_solve(kind, n, n + 3, 200u + n);
    }
  }
}

TEST_P(LuWidths, PanelSizedAndLargeOrdersMatchThePlainProcedure) {
  for (int32_t n : {300, 301, 333}) {
    check_factor_and_solve(Kind::random, n, n, 300u + n);
    check_factor_and_solve(Kind::zero_rows, n, n + 1, 400u + n);
  }
  check_factor_and_solve(Kind::blocks, 301, 301, 7u);
  check_factor_and_solve(Kind::banded_subnormal, 333, 340, 8u);
  if (!sanitized) check_factor_and_solve(Kind::random, 1000, 1000, 9u);
}

TEST_P(LuWidths, LevelOneHelpersMatchThePlainLoops) {
  std::mt19937 rng(11u);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (int32_t n : {0, 1, 3, 4, 5, 8, 13, 17}) {
    for (int32_t inc : {1, 2, -1}) {
      const std::size_t len = 2 * std::size_t(std::max(n, 1)) * std::abs(inc);
      std::vector<float> x(len), y(len);
      for (float& v : x) v = u(rng);
      for (float& v : y) v = u(rng);
      if (n > 2) x[2] = 1.0e-41f;  // a subnormal factor
      const float ar = u(rng), ai = u(rng);
      std::vector<float> yw = y, yg = y;
      reference::caxpy(n, ar, ai, x.data(), inc, yw.data(), inc);
      caxpy(n, ar, ai, x.data(), inc, yg.data(), inc);
      expect_same(yg, yw, "caxpy n=" + std::to_string(n) + " inc=" + std::to_string(inc));
      std::vector<float> xw = x, xg = x;
      reference::cscal(n, ar, ai, xw.data(), std::abs(inc));
      cscal(n, ar, ai, xg.data(), std::abs(inc));
      expect_same(xg, xw, "cscal n=" + std::to_string(n));
      EXPECT_EQ(icamax(n, x.data(), std::abs(inc)), reference::icamax(n, x.data(), std::abs(inc)));
    }
  }
  // A zero factor leaves y alone, even where t*x would be a NaN.
  std::vector<float> x{INFINITY, 0.0f, 1.0f, 2.0f}, y{-0.0f, 1.0f, 2.0f, 3.0f};
  const std::vector<float> y0 = y;
  caxpy(2, 0.0f, -0.0f, x.data(), 1, y.data(), 1);
  expect_same(y, y0, "caxpy with a zero factor");
}

INSTANTIATE_TEST_SUITE_P(Lanes, LuWidths, ::testing::Values(4, 8, 16),
                         [](const auto& info) { return std::to_string(info.param); });

// Threads share the columns after each panel; the widest vectors.
class LuThreads : public ::testing::TestWithParam<int32_t> {
 protected:
  void SetUp() override { parallel::set_threads(GetParam()); }
  void TearDown() override { parallel::set_threads(0); }
};

TEST_P(LuThreads, EveryThreadCountMatchesThePlainProcedure) {
  check_factor_and_solve(Kind::blocks, 77, 80, 21u);
  check_factor_and_solve(Kind::special, 100, 100, 22u);
  check_factor_and_solve(Kind::zero_rows, 301, 301, 23u);
  check_factor_and_solve(Kind::random, 333, 335, 24u);
  if (!sanitized) check_factor_and_solve(Kind::random, 1000, 1000, 25u);
}

INSTANTIATE_TEST_SUITE_P(Threads, LuThreads, ::testing::Values(1, 2, 3, 7),
                         [](const auto& info) { return std::to_string(info.param); });

}  // namespace
}  // namespace mv
