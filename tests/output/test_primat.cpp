// Matrix printer, line sorting and condensation. Expected records were
// checked against a Fortran compiler's output of the same FORMATs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/units.h"
#include "output/primat.h"

namespace mv {
namespace {

class PrimatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_units();
    attach_memory(44);
  }
  void TearDown() override { reset_units(); }
};

const std::string header_tail = " ACTOR MULTIPOLE\n";

TEST_F(PrimatTest, EmptyBlockIsHeaderAndZeroTotal) {
  primat(0, -2.5f, nullptr, nullptr, 0, "GROUNDSYMMETRYLABEL ", "OPERATORLABEL       ", "EX", 1, 1);
  EXPECT_EQ(
      unit_contents(44),
      " TRANSFORMED MATRIX FOR TRIAD ( GROUNDSY OPERATOR       EX ) (1*      0) DIM :  1 : 0 : 1" +
          header_tail + " Total intensity   0.00000\n");
}

TEST_F(PrimatTest, FifteenLinesPrintInGroupsOfSeven) {
  std::vector<float> e(15), v(15);
  for (int32_t i = 1; i <= 15; ++i) {
    e[i - 1] = 0.5f * static_cast<float>(i) - 1.25f;
    v[i - 1] = 0.001f * static_cast<float>(i) * static_cast<float>(i);
  }
  // The bra energy needs ten columns: the F9.5 field overflows to asterisks.
  primat(3, -123.45678f, e.data(), v.data(), 15, "GRDSY", "ABCDE", "EXCIT", 12, 3);
  EXPECT_EQ(
      unit_contents(44),
      " TRANSFORMED MATRIX FOR TRIAD (    GRDSY   3ABCDE    EXCIT ) (1*     15) DIM : 12 : 0 : 3" +
          header_tail +
          " BRA/KET :  -0.75000  -0.25000   0.25000   0.75000   1.25000   1.75000   2.25000\n"
          "*********:  0.001000  0.004000  0.009000  0.016000  0.025000  0.036000  0.049000\n"
          " BRA/KET :   2.75000   3.25000   3.75000   4.25000   4.75000   5.25000   5.75000\n"
          "*********:  0.064000  0.081000  0.100000  0.121000  0.144000  0.169000  0.196000\n"
          " BRA/KET :   6.25000\n"
          "*********:  0.225000\n"
          " Total intensity   1.24000\n");
}

TEST_F(PrimatTest, SecondLabelFieldDependsOnStep) {
  const float e = -0.75f, v = 0.001f;
  primat(12, 1.5f, &e, &v, 1, "GRDSY", "ABCDEFGH", "EXCIT", 1, 1);  // step + first five characters
  primat(0, 1.5f, &e, &v, 1, "GRDSY", "AB", "EXCIT", 1, 1);         // the label itself, padded
  primat(7, 1.5f, &e, &v, 1, "GRDSY", "XY", "EXCIT", 1, 1);  // a short label as a 5-wide field
  const std::string body =
      " BRA/KET :  -0.75000\n  1.50000:  0.001000\n Total intensity   0.00100\n";
  const std::string dims = ") (1*      1) DIM :  1 : 0 : 1" + header_tail;
  EXPECT_EQ(unit_contents(44),
            " TRANSFORMED MATRIX FOR TRIAD (    GRDSY  12ABCDE    EXCIT " + dims + body +
                " TRANSFORMED MATRIX FOR TRIAD (    GRDSY AB          EXCIT " + dims + body +
                " TRANSFORMED MATRIX FOR TRIAD (    GRDSY   7   XY    EXCIT " + dims + body);
}

TEST(Order, SortsAscendingAndKeepsEqualEnergiesInOrder) {
  std::vector<float> e{3.0f, 1.0f, 2.0f, 1.0f, -1.0f, 2.0f, 1.0f};
  std::vector<float> v{30.0f, 11.0f, 21.0f, 12.0f, -10.0f, 22.0f, 13.0f};
  order(e.data(), v.data(), 7);
  EXPECT_EQ(e, (std::vector<float>{-1.0f, 1.0f, 1.0f, 1.0f, 2.0f, 2.0f, 3.0f}));
  EXPECT_EQ(v, (std::vector<float>{-10.0f, 11.0f, 12.0f, 13.0f, 21.0f, 22.0f, 30.0f}));

  float one_e = 5.0f, one_v = 6.0f;
  order(&one_e, &one_v, 1);
  order(nullptr, nullptr, 0);
  EXPECT_EQ(one_e, 5.0f);
  EXPECT_EQ(one_v, 6.0f);
}

TEST(Condens, MergesCloseLinesAndRaisesKeptEnergies) {
  // 1.00004 is below delta/2 from 1.0 and merges; 1.00020 is kept as it is.
  std::vector<float> e{1.0f, 1.00004f, 1.00020f};
  std::vector<float> v{0.5f, 0.25f, 0.125f};
  int32_t m = -1;
  condens(e.data(), v.data(), 3, 1.0e-9f, 1.0e-4f, m);
  ASSERT_EQ(m, 2);
  EXPECT_EQ(e[0], 1.0f);
  EXPECT_EQ(v[0], 0.75f);
  EXPECT_EQ(e[1], 1.00020f);
  EXPECT_EQ(v[1], 0.125f);

  // 0.00006 is not below delta/2: kept, but moved up to Ekeep + delta; the
  // next line is then measured from the raised energy.
  std::vector<float> e2{1.0f, 1.00006f, 1.00013f, 1.0002f};
  std::vector<float> v2{1.0f, 2.0f, 4.0f, 8.0f};
  condens(e2.data(), v2.data(), 4, 0.0f, 1.0e-4f, m);
  ASSERT_EQ(m, 3);
  EXPECT_EQ(e2[1], 1.0f + 1.0e-4f);
  EXPECT_EQ(v2[1], 6.0f);  // 1.00013 is within delta/2 of the raised 1.0001
  EXPECT_EQ(e2[2], std::max(1.0002f, e2[1] + 1.0e-4f));
  EXPECT_EQ(v2[2], 8.0f);

  condens(nullptr, nullptr, 0, 0.0f, 1.0e-4f, m);
  EXPECT_EQ(m, 0);
}

TEST(Condens, WeakLinesGoToTheLineBeforeAndTotalIsKept) {
  std::vector<float> e{1.0f, 2.0f, 3.0f, 4.0f, 5.0f};
  std::vector<float> v{0.5f, 1.0e-7f, 0.25f, 0.125f, 1.0e-7f};
  float before = 0.0f;
  for (float x : v) before = before + x;
  int32_t m = 0;
  condens(e.data(), v.data(), 5, 1.0e-6f, 1.0e-4f, m);
  ASSERT_EQ(m, 3);
  EXPECT_EQ(e[0], 1.0f);
  EXPECT_EQ(e[1], 3.0f);
  EXPECT_EQ(e[2], 4.0f);
  EXPECT_EQ(v[0], 0.5f + 1.0e-7f);
  EXPECT_EQ(v[2], 0.125f + 1.0e-7f);
  float after = 0.0f;
  for (int32_t i = 0; i < m; ++i) after = after + v[i];
  EXPECT_FLOAT_EQ(after, before);

  // A line exactly at the limit is not weak (the test is strict).
  std::vector<float> e3{1.0f, 2.0f};
  std::vector<float> v3{1.0f, 1.0e-6f};
  condens(e3.data(), v3.data(), 2, 1.0e-6f, 1.0e-4f, m);
  EXPECT_EQ(m, 2);
}

}  // namespace
}  // namespace mv
