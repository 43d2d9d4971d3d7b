// Sub-matrix extraction: every check of matcut with its exact message, the
// transposing copy, and genmat's blocks including an empty side.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/stop.h"
#include "io/units.h"
#include "spectra/matcut.h"
#include "spectra_test_util.h"

namespace mv {
namespace {

using test::records;

class MatcutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_units();
    attach_memory(6);
  }
  void TearDown() override { reset_units(); }

  struct Args {
    int32_t nyi = 4, nxi = 5, nyo = 5, nxo = 4, nofsxi = 1, nofsyi = 1, nofsxo = 1, nofsyo = 1,
            ndx = 2, ndy = 2;
  };
  // Runs matcut on 1..20 and returns the lines it printed before stopping.
  std::vector<std::string> failure(const Args& a) {
    std::vector<float> source(20), target(20, 0.0f);
    for (int32_t k = 0; k < 20; ++k) source[k] = float(k + 1);
    try {
      matcut(a.nyi, a.nxi, a.nyo, a.nxo, a.nofsxi, a.nofsyi, a.nofsxo, a.nofsyo, a.ndx, a.ndy,
             source.data(), target.data());
    } catch (const RunStop& stop) {
      EXPECT_EQ(stop.text, "quitprog: see output");
      EXPECT_EQ(stop.status, status_fatal);
      EXPECT_EQ(target, std::vector<float>(20, 0.0f)) << "nothing is copied before the checks pass";
      std::vector<std::string> lines = records(unit_contents(6));
      EXPECT_EQ(lines.back(), " Error in subroutine MATCUT");
      lines.pop_back();
      reset_units();
      attach_memory(6);
      return lines;
    }
    ADD_FAILURE() << "matcut did not stop";
    return {};
  }
};

TEST_F(MatcutTest, EveryCheckStopsWithItsMessage) {
  using L = std::vector<std::string>;
  const std::string one = " These values should be equal to or greater than 1";
  const std::string zero = " These values should be equal to or greater than 0";
  Args a;
  a.nyi = 0;
  EXPECT_EQ(failure(a), (L{one, " NXI=   5 NYI=   0 NXO=   4 NYO=   5"}));
  a = {};
  a.nofsxo = -1;
  EXPECT_EQ(failure(a), (L{zero, " NOFSXI=   1 NOFSYI=   1NOFSXO=  -1 NOFSYO=   1"}));
  a = {};
  a.ndx = -3;  // a negative extent is not a zero size
  EXPECT_EQ(failure(a), (L{zero, " NDX=  -3 NDY=   2"}));
  a = {};
  a.nofsxi = 0;
  EXPECT_EQ(failure(a), (L{" Out of range | NOFSXI(   0) should be 1<= & <=   5"}));
  a = {};
  a.nofsyi = 5;
  EXPECT_EQ(failure(a), (L{" Out of range | NOFSYI(   5) should be 1<= & <=   4"}));
  a = {};
  a.nofsxo = 5;
  EXPECT_EQ(failure(a), (L{" Out of range | NOFSXO(   5) should be 1<= & <=   4"}));
  a = {};
  a.nofsyo = 6;
  EXPECT_EQ(failure(a), (L{" Out of range | NOFSYO(   6) should be 1<= & <=   5"}));
  // An offset equal to its size passes with an extent of 1 and fails with 2,
  // under the "should be less than" wording.
  a = {};
  a.nofsxi = 5;
  EXPECT_EQ(failure(a),
            (L{" Out of range | NOFSXI(   5)+NDX(   2)-1=   6 should be less than NXI=   5"}));
  a = {};
  a.nofsyi = 4;
  EXPECT_EQ(failure(a),
            (L{" Out of range | NOFSYI(   4)+NDY(   2)-1=   5 should be less than NYI=   4"}));
  a = {};
  a.nofsxo = 4;
  EXPECT_EQ(failure(a),
            (L{" Out of range | NOFSXO(   4)+NDY(   2)-1=   5 should be less than NXO=   4"}));
  a = {};
  a.nofsyo = 5;
  EXPECT_EQ(failure(a),
            (L{" Out of range | NOFSYO(   5)+NDX(   2)-1=   6 should be less than NYO=   5"}));

  // Accepted: offsets at their sizes with extents of 1.
  std::vector<float> source(20), target(20, 0.0f);
  for (int32_t k = 0; k < 20; ++k) source[k] = float(k + 1);
  matcut(4, 5, 5, 4, 5, 4, 4, 5, 1, 1, source.data(), target.data());
  EXPECT_EQ(target[(5 - 1) + 5 * (4 - 1)], source[(4 - 1) + 4 * (5 - 1)]);
  // Zero sizes return before any check.
  matcut(-1, -1, 0, 3, -5, -5, -5, -5, 2, 2, source.data(), target.data());
  matcut(-1, -1, 3, 3, -5, -5, -5, -5, 2, 0, source.data(), target.data());
  EXPECT_EQ(unit_contents(6), "");
}

TEST_F(MatcutTest, GenmatCutsTransposedBlocksAndSkipsEmptySides) {
  const int32_t nog = 2, nof = 5;
  std::vector<float> h(nof * nof), t(nog * nof);
  for (int32_t j = 1; j <= nof; ++j) {
    for (int32_t i = 1; i <= nof; ++i) h[(i - 1) + nof * (j - 1)] = float(10 * i + j);
    for (int32_t g = 1; g <= nog; ++g) t[(g - 1) + nog * (j - 1)] = float(100 * g + j);
  }
  auto run = [&](int32_t noa) {
    const int32_t nob = nof - noa;
    std::vector<float> haa(25, -1.0f), hbb(25, -1.0f), hab(25, -1.0f), ta(25, -1.0f), tb(25, -1.0f);
    genmat(nog, nof, h.data(), t.data(), noa, nob, haa.data(), hbb.data(), hab.data(), ta.data(),
           tb.data());
    EXPECT_EQ(records(unit_contents(6)), std::vector<std::string>{" subroutine GENMAT callED"});
    reset_units();
    attach_memory(6);
    for (int32_t a = 1; a <= noa; ++a) {
      for (int32_t a2 = 1; a2 <= noa; ++a2)
        EXPECT_EQ(haa[(a - 1) + noa * (a2 - 1)], float(10 * a2 + a));
      for (int32_t b = 1; b <= nob; ++b)
        EXPECT_EQ(hab[(a - 1) + noa * (b - 1)], float(10 * (noa + b) + a));
      for (int32_t g = 1; g <= nog; ++g) EXPECT_EQ(ta[(a - 1) + noa * (g - 1)], float(100 * g + a));
    }
    for (int32_t b = 1; b <= nob; ++b) {
      for (int32_t b2 = 1; b2 <= nob; ++b2)
        EXPECT_EQ(hbb[(b - 1) + nob * (b2 - 1)], float(10 * (noa + b2) + noa + b));
      for (int32_t g = 1; g <= nog; ++g)
        EXPECT_EQ(tb[(b - 1) + nob * (g - 1)], float(100 * g + noa + b));
    }
    if (noa == 0) {
      EXPECT_EQ(haa, std::vector<float>(25, -1.0f));
      EXPECT_EQ(hab, std::vector<float>(25, -1.0f));
      EXPECT_EQ(ta, std::vector<float>(25, -1.0f));
    }
    if (nob == 0) {
      EXPECT_EQ(hbb, std::vector<float>(25, -1.0f));
      EXPECT_EQ(hab, std::vector<float>(25, -1.0f));
      EXPECT_EQ(tb, std::vector<float>(25, -1.0f));
    }
  };
  run(2);
  run(0);
  run(5);
}

}  // namespace
}  // namespace mv
