#include <bit>
#include <cmath>
#include <limits>

#include "support/runsupport.h"
#include "hamiltonian/band.h"
#include "io/stop.h"
#include "sparse_testing.h"

namespace mv::testing {
namespace {

using Band = HamiltonianTest;

struct Rule {
  std::vector<float> x, v;
};

Rule levels(float x1, float x2, int32_t n) {
  Rule r{std::vector<float>(static_cast<std::size_t>(n)),
         std::vector<float>(static_cast<std::size_t>(n))};
  gausslegendre(x1, x2, r.x.data(), r.v.data(), n);
  return r;
}

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

TEST_F(Band, GaussLegendreNodesAndWeightsMatchTheTables) {
  // Positive half of the classical tables on [-1, 1]: node, plain weight.
  const std::vector<std::vector<std::pair<double, double>>> table = {
      {{0.0, 2.0}},
      {{0.5773502692, 1.0}},
      {{0.0, 0.8888888889}, {0.7745966692, 0.5555555556}},
      {{0.0, 0.5688888889}, {0.5384693101, 0.4786286705}, {0.9061798459, 0.2369268851}},
      {{0.0765265211, 0.1527533871},
       {0.2277858511, 0.1491729865},
       {0.3737060887, 0.1420961093},
       {0.5108670020, 0.1316886384},
       {0.6360536807, 0.1181945320},
       {0.7463319065, 0.1019301198},
       {0.8391169718, 0.0832767416},
       {0.9122344283, 0.0626720483},
       {0.9639719273, 0.0406014298},
       {0.9931285992, 0.0176140071}}};
  for (const int32_t n : {1, 2, 3, 5, 20}) {
    const auto& half = table[n == 1 ? 0 : n == 2 ? 1 : n == 3 ? 2 : n == 5 ? 3 : 4];
    const Rule r = levels(-1.0f, 1.0f, n);
    for (std::size_t h = 0; h < half.size(); ++h) {
      const auto [node, weight] = half[h];
      // 0-based level n/2 + h holds the h-th non-negative node.
      const std::size_t up = static_cast<std::size_t>(n / 2) + h;
      const std::size_t down = static_cast<std::size_t>(n - 1) - up;
      SCOPED_TRACE(::testing::Message() << "N=" << n << " node " << node);
      EXPECT_NEAR(r.x[up], node, 4e-7);
      EXPECT_NEAR(r.x[down], -node, 4e-7);
      // A square band on a width-2 interval: v(i)^2 = w(i) / 2.
      EXPECT_NEAR(2.0 * r.v[up] * r.v[up], weight, 2e-6);
      EXPECT_EQ(r.v[down], r.v[up]);
    }
    for (int32_t i = 1; i < n; ++i) EXPECT_LT(r.x[i - 1], r.x[i]);
  }
}

TEST_F(Band, SingleStepsRoundLikeTheFortranKernel) {
  // Bit patterns of a single-precision transcription on [-1.25, 1.25]; a
  // reordered sum or a double intermediate changes the last bits.
  const Rule r3 = levels(-1.25f, 1.25f, 3);
  EXPECT_EQ(bits(r3.x[0]), 0xBF77DEF6u);
  EXPECT_EQ(bits(r3.x[1]), 0x27A00000u);  // Newton stops just off zero
  EXPECT_EQ(bits(r3.v[0]), 0x3F06EC80u);
  EXPECT_EQ(bits(r3.v[1]), 0x3F2AAAABu);
  const Rule r5 = levels(-1.25f, 1.25f, 5);
  const uint32_t x5[] = {0xBF90FD20u, 0xBF2C4F68u, 0x00000000u, 0x3F2C4F68u, 0x3F90FD20u};
  const uint32_t v5[] = {0x3EB03905u, 0x3EFA781Fu, 0x3F08888Bu, 0x3EFA781Fu, 0x3EB03905u};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(bits(r5.x[i]), x5[i]) << i;
    EXPECT_EQ(bits(r5.v[i]), v5[i]) << i;
  }
  bandexpansion.order = 3;
  bandexpansion.c[1] = 0.3f;
  bandexpansion.c[2] = -0.7f;
  bandexpansion.c[3] = 0.25f;
  const Rule c5 = levels(-1.25f, 1.25f, 5);
  const uint32_t vc5[] = {0xBC5C56F1u, 0x3EB28746u, 0x3F232876u, 0x3F154C4Fu, 0x3EB9F697u};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(bits(c5.v[i]), vc5[i]) << i;
}

TEST_F(Band, BandShapeMapsTheIntervalAndUsesTheIntegerPower) {
  bandexpansion.order = 1;
  bandexpansion.c[0] = 0.0f;
  bandexpansion.c[1] = 1.0f;
  EXPECT_EQ(bandshape(-3.0f, -3.0f, 5.0f), -1.0f);
  EXPECT_EQ(bandshape(5.0f, -3.0f, 5.0f), 1.0f);
  EXPECT_EQ(bandshape(1.0f, -3.0f, 5.0f), 0.0f);
  // t**7 by squaring: 0x3DA8A965; seven plain products would give ...964.
  bandexpansion = {};
  bandexpansion.order = 7;
  bandexpansion.c[0] = 0.0f;
  bandexpansion.c[7] = 1.0f;
  EXPECT_EQ(bits(bandshape(0.7f, -1.0f, 1.0f)), 0x3DA8A965u);
}

TEST_F(Band, WeightsAreNormalisedForEveryShape) {
  auto sum_sq = [](const Rule& r) {
    double s = 0.0;
    for (float v : r.v) s += double(v) * v;
    return s;
  };
  for (const int32_t n : {1, 5, 20, 57}) {
    bandexpansion = {};
    const Rule square = levels(-1.5f, 1.5f, n);
    EXPECT_NEAR(sum_sq(square), 1.0, 1e-5) << n;

    bandexpansion.order = 2;
    bandexpansion.c[2] = -1.0f;
    const Rule circle = levels(-1.5f, 1.5f, n);
    EXPECT_NEAR(sum_sq(circle), 1.0, 1e-5) << n;
    // Proportional to (1 - t^2) sqrt(w): the ratio to the square band's
    // weights over (1 - t^2) is one constant; smallest weights at the edges.
    auto ratio = [&](int32_t i) {
      const float t = 2.0f * (circle.x[i] + 1.5f) / 3.0f - 1.0f;  // the shape's own variable
      return circle.v[i] / (double(1.0f - t * t) * square.v[i]);
    };
    for (int32_t i = 0; i < n; ++i) {
      EXPECT_NEAR(ratio(i), ratio(0), 1e-5 * ratio(0)) << "N=" << n << " level " << i + 1;
      if (i > 0 && i <= (n - 1) / 2) {
        EXPECT_LT(circle.v[i - 1], circle.v[i]);
      }
    }

    bandexpansion = {};
    bandexpansion.order = 3;
    bandexpansion.c[0] = 0.2f;
    bandexpansion.c[1] = 0.5f;
    bandexpansion.c[3] = 1.0f;
    const Rule shaped = levels(-1.5f, 1.5f, n);
    EXPECT_NEAR(sum_sq(shaped), 1.0, 1e-5) << n;
    for (int32_t i = 0; i < n; ++i) {
      EXPECT_EQ(std::signbit(shaped.v[i]), std::signbit(bandshape(shaped.x[i], -1.5f, 1.5f))) << i;
    }
  }
}

TEST_F(Band, ReportLineListsEveryLevel) {
  Rule r = levels(0.0f, 0.0f, 1);  // W = 0 with one level: the level at x2, weight 1
  EXPECT_EQ(r.x[0], 0.0f);
  EXPECT_EQ(r.v[0], 1.0f);
  r = levels(-1.0f, 1.0f, 2);
  EXPECT_EQ(unit_contents(6),
            " gausslegendre            1   0.0000000       1.0000000    \n"
            " gausslegendre            1 -0.57735026      0.70710677               2  0.57735026"
            "      0.70710677    \n");
  r = levels(2.0f, 2.0f, 1);
  EXPECT_EQ(r.x[0], 2.0f);
}

TEST_F(Band, ZeroWidthWithSeveralLevelsStopsTheRun) {
  float x[2];
  float v[2];
  try {
    gausslegendre(0.0f, 0.0f, x, v, 2);
    FAIL() << "no stop";
  } catch (const RunStop& stop) {
    EXPECT_EQ(stop.status, status_fatal);
    EXPECT_EQ(stop.text, "quitprog: see output");
  }
  EXPECT_EQ(unit_contents(6),
            " In gausslegendre x1=x2=   0.0000000      and n=           2\n"
            " n>1 is not allowed when x1=x2.\n"
            " Make W non-zero or make N2 and/or N3 =1 in INPUT.\n");
}

TEST_F(Band, ShapeWithoutUsableWeightsStopsTheRun) {
  // t vanishes at the single centre node: S = 0.
  bandexpansion.order = 1;
  bandexpansion.c[0] = 0.0f;
  bandexpansion.c[1] = 1.0f;
  float x[3];
  float v[3];
  EXPECT_THROW(gausslegendre(-1.0f, 1.0f, x, v, 1), RunStop);
  EXPECT_EQ(unit_contents(6),
            " In gausslegendre the band-shape sum S=   0.0000000      for n=           1\n"
            " Band shape gives zero or undefined weights: check SHAPE/CIRCLE and W.\n");

  bandexpansion = {};
  bandexpansion.c[0] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_THROW(gausslegendre(-1.0f, 1.0f, x, v, 3), RunStop);
  bandexpansion.c[0] = 1.0e30f;  // the squares overflow
  EXPECT_THROW(gausslegendre(-1.0f, 1.0f, x, v, 3), RunStop);
}

}  // namespace
}  // namespace mv::testing
