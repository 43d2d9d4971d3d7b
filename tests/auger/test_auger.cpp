// The Auger driver on tiny excited spaces: channel decoding from the diagonal,
// the coupling and transition scaling, the branches without continuum states,
// without intermediate states and without energy steps, and mmult's checks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "auger/agmain.h"
#include "auger/auger.h"
#include "auger/com_gamma.h"
#include "coefficients/find_data.h"
#include "io/stop.h"
#include "io/units.h"
#include "output/information.h"
#include "workarray/heap.h"
#include "support/work_fixture.h"

namespace mv {
namespace {

bool has(const std::string& text, const std::string& piece) {
  return text.find(piece) != std::string::npos;
}

class AugerTest : public WorkArrayTest {
 protected:
  AugerTest() : WorkArrayTest({6, 44, 45, 46, 62, 98}) {}
  void SetUp() override {
    WorkArrayTest::SetUp();
    store_index = {};
    store_ir_index = {};
    com_gamma = {};
  }
  void TearDown() override {
    WorkArrayTest::TearDown();
    store_index = {};
    store_ir_index = {};
    information = {};
  }
};

// One ground state (Q = 1), nof excited states in up to two configurations.
struct Case {
  int32_t nof;
  std::vector<float> h, t;  // nof x nof, 1 x nof
  std::vector<int32_t> marker;
  std::vector<float> energy, intensity, work4;
  float q = 1.0f, eg = 0.0f, wc[3] = {1.0f, 0.0f, 0.0f};
  int32_t nconf[2] = {1, 2}, mg[3] = {1, 0, 0}, me[3] = {0, 0, 0};
  float channel_factor[9] = {5.0f, 7.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f};
  float ci[9] = {2.0f, 3.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f};
  float efaug[9][3] = {};
  float ef[3] = {0.5f, 1.5f, 0.0f};

  explicit Case(int32_t n)
      : nof(n), h(n * n, 0.0f), t(n, 0.0f), marker(n, 0), energy(n), intensity(n), work4(n) {
    marker[0] = 1;
    efaug[0][0] = 20.5f;
    efaug[1][1] = 10.25f;
  }
  float& at(int32_t i, int32_t j) { return h[(i - 1) + (j - 1) * nof]; }
  auger_args args(int32_t nomega) {
    return auger_args{nconf,
                      0,
                      0,
                      mg,
                      1,
                      &q,
                      &eg,
                      1,
                      me,
                      nof,
                      h.data(),
                      energy.data(),
                      intensity.data(),
                      t.data(),
                      wc,
                      work4.data(),
                      marker.data(),
                      "EXCITED",
                      1,
                      nomega,
                      1.0f,
                      0.5f,
                      channel_factor,
                      ci,
                      efaug,
                      ef};
  }
};

TEST_F(AugerTest, RescaleDecodesChannelsAndScalesCouplingsAndTransitions) {
  Case c(5);
  c.marker[2] = 2;  // states 3..5 belong to configuration 2
  const float diagonal[5] = {499.9f, 500.0f, 2003.5f, -499.0f, 1.25f};
  for (int32_t i = 1; i <= 5; ++i) {
    for (int32_t j = 1; j <= 5; ++j) c.at(i, j) = i == j ? diagonal[i - 1] : 0.125f * (i + 2 * j);
    c.t[i - 1] = 0.5f * i;
  }
  const std::vector<float> before = c.h;
  std::vector<int32_t> code(5, -1);
  EXPECT_EQ(rescale(c.args(1), code.data()), 3);
  EXPECT_EQ(code, (std::vector<int32_t>{0, 1, 2, 0, 0}));

  // Channel states get the channel energy of their own configuration.
  EXPECT_EQ(c.at(1, 1), 499.9f);
  EXPECT_EQ(c.at(2, 2), -480.0f);  // 500 - 1000 + EFAUG(1,1) - EF(1)
  EXPECT_EQ(c.at(3, 3), 12.25f);   // 3.5 + EFAUG(2,2) - EF(2)
  EXPECT_EQ(c.at(4, 4), -499.0f);
  // Only intermediate-continuum elements are scaled, by CI of the channel.
  const int32_t codes[5] = {0, 1, 2, 0, 0};
  for (int32_t i = 1; i <= 5; ++i) {
    for (int32_t j = 1; j <= 5; ++j) {
      if (i == j) continue;
      const int32_t ki = codes[i - 1], kj = codes[j - 1];
      float want = before[(i - 1) + (j - 1) * 5];
      if ((ki == 0) != (kj == 0)) want = want * c.ci[(ki != 0 ? ki : kj) - 1];
      EXPECT_EQ(c.at(i, j), want) << "(" << i << ", " << j << ")";
    }
  }
  EXPECT_EQ(c.t, (std::vector<float>{0.5f, 5.0f, 10.5f, 2.0f, 2.5f}));
  EXPECT_EQ(unit_contents(6), "");

  // No intermediate state: reported, not fatal.
  Case d(2);
  d.at(1, 1) = 1000.0f;
  d.at(2, 2) = 1001.0f;
  std::vector<int32_t> code2(2);
  EXPECT_EQ(rescale(d.args(1), code2.data()), 0);
  EXPECT_EQ(unit_contents(6),
            "  No direct transitions to these intermediate states are posible for this symmetry."
            " Noa=0\n");
}

TEST_F(AugerTest, DirectBranchWritesTheSameSpectrumAtEveryStep) {
  // Two continuum states of channel 1, uncoupled: the same spectrum at each step.
  auto run = [&](int32_t nomega) {
    reset_units();
    for (int32_t u : {6, 44, 62}) attach_memory(u);
    Case c(2);
    c.at(1, 1) = 1000.25f;
    c.at(2, 2) = 1000.75f;
    c.t = {0.5f, 0.25f};
    auger(c.args(nomega));
    EXPECT_EQ(heap_info.top, 0);
  };
  auto blocks = [] {
    int32_t n = 0;
    for (std::size_t at = 0; (at = unit_contents(44).find(" TRANSFORMED", at)) != std::string::npos;
         ++at)
      ++n;
    return n;
  };
  run(-1);
  EXPECT_TRUE(has(unit_contents(6), " nog=     1 nof=     2 noa=     0 nob=     2 ndeg=     1"));
  EXPECT_EQ(blocks(), 0);
  EXPECT_EQ(unit_contents(62), "");
  run(0);
  EXPECT_EQ(blocks(), 1);
  EXPECT_EQ(unit_contents(62), "     0.50000     7.81250    0     7.81250\n%END\n");
  run(2);
  EXPECT_EQ(blocks(), 3);
  // Energies 0.25 + EFAUG(1,1) - EF(1) and 0.75 + ...; amplitudes times the
  // channel factor 5, squared.
  EXPECT_TRUE(has(unit_contents(44),
                  " BRA/KET :  20.25000  20.75000\n"
                  "  0.00000:  6.250000  1.562500\n"
                  " Total intensity   7.81250\n"));
}

TEST_F(AugerTest, WithoutEnergyStepsOnlyTheIntermediateStatesAreWritten) {
  Case c(2);
  c.at(1, 1) = 0.5f;
  c.at(2, 2) = 1000.0f;
  c.at(1, 2) = c.at(2, 1) = 0.1f;
  c.t = {0.5f, 0.25f};
  auger(c.args(-1));
  const std::string out = unit_contents(6);
  EXPECT_TRUE(has(out, " PARAMETER NiWK :USED=           1  :SIZE=        5000\n"));
  EXPECT_TRUE(has(out, " The continuum states are not diagonalized.\n"));
  EXPECT_FALSE(has(out, "eigen2 called"));
  EXPECT_FALSE(has(unit_contents(44), "TRANSFORMED"));
  EXPECT_TRUE(has(unit_contents(44), "    0.5000  0.250000    0.125664    1\n"));
  EXPECT_EQ(unit_contents(62), "");
  EXPECT_NE(unit_contents(46), "");
  EXPECT_EQ(heap_info.top, 0);
}

TEST_F(AugerTest, IntermediateStatesWithoutContinuumStopInMmult) {
  Case c(2);
  c.at(1, 1) = 0.5f;
  c.at(2, 2) = 0.75f;
  c.t = {0.5f, 0.25f};
  try {
    auger(c.args(2));
    FAIL() << "no stop";
  } catch (const RunStop& stop) {
    EXPECT_EQ(stop.status, status_fatal);
  }
  const std::string out = unit_contents(6);
  EXPECT_TRUE(has(out,
                  " These values should be equal to or greater than 1\n"
                  " Na=   2 Nb=   0 Ng=   1 Ndeg=   1\n"
                  " Error in subroutine MMULT\n"))
      << out;
}

TEST(Mmult, ProductInOrderAndItsSizeChecks) {
  reset_units();
  attach_memory(6);
  // A (2 x 3) times B (3 x 2), B with leading dimension 3.
  const std::vector<float> a{1.0f, 4.0f, 2.0f, 5.0f, 3.0f, 6.0f};
  const std::vector<float> b{1.0f, 0.5f, -1.0f, 2.0f, 0.0f, 0.25f};
  std::vector<float> c(4, 99.0f);
  mmult(2, 3, 2, 2, c.data(), a.data(), b.data());
  EXPECT_EQ(c, (std::vector<float>{-1.0f, 0.5f, 2.75f, 9.5f}));
  mmult(0, 3, 2, 2, c.data(), a.data(), b.data());  // nothing to do
  EXPECT_EQ(c, (std::vector<float>{-1.0f, 0.5f, 2.75f, 9.5f}));
  EXPECT_EQ(unit_contents(6), "");

  EXPECT_THROW(mmult(2, 3, 1, 2, c.data(), a.data(), b.data()), RunStop);
  EXPECT_EQ(unit_contents(6),
            " Ndeg=           2  should be smaller than Ng=           1\n"
            " Error in subroutine MMULT\n");
  reset_units();
}

}  // namespace
}  // namespace mv
