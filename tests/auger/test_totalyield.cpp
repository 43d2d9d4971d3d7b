// The total-yield file: plot block from step 1 to NOMEGA, step 0 before it.
// Expected records were checked against a Fortran compiler's output.
#include <gtest/gtest.h>

#include <string>

#include "auger/totalyield.h"
#include "io/units.h"
#include "output/information.h"

namespace mv {
namespace {

class TotalYieldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_units();
    attach_memory(6);
    attach_memory(62);
    information.text = "31  1.000  2.500  6.000  7.000" + std::string(25, ' ') + "GRDSYOPERAEXCIT" +
                       std::string(10, ' ');
  }
  void TearDown() override {
    reset_units();
    information = {};
  }
};

const std::string titles = "%     energy       yield         absorption\n";

TEST_F(TotalYieldTest, ThreeStepsFormOnePlotBlock) {
  for (int32_t i = 0; i <= 3; ++i) {
    const float y = 0.125f * static_cast<float>(i) + 1.0f;
    totalyield(62, 3, i, 5.0f, 0.5f, y, 2.0f * y);
  }
  const std::string data =
      "     5.00000     1.12500    1     2.25000\n"
      "     5.50000     1.25000    2     2.50000\n"
      "     6.00000     1.37500    3     2.75000\n";
  const std::string step0 = "     4.50000     1.00000    0     2.00000\n";
  EXPECT_EQ(unit_contents(62), step0 +
                                   "%XYLINE\n"
                                   "%PARAMETER0 OUTPUT OF MORVEX   TOTAL YIELD\n"
                                   "%PARAMETER13 1  1.000  2.500  6.000  7.000 GRDSYOPERAEXCIT\n"
                                   "%ESTART=    5.0000 NOMEGA=   3\n"
                                   "%FORMAT  1(F12.5,F12.5)\n" +
                                   titles + data + "%END\n");
  EXPECT_EQ(unit_contents(6), step0 + titles + data);
}

TEST_F(TotalYieldTest, NomegaZeroHasNoHeader) {
  totalyield(62, 0, 0, 5.0f, 0.5f, 1.0f, 2.0f);
  EXPECT_EQ(unit_contents(62), "     4.50000     1.00000    0     2.00000\n%END\n");
  EXPECT_EQ(unit_contents(6), "     4.50000     1.00000    0     2.00000\n");
}

TEST_F(TotalYieldTest, OverflowingFieldsAreAsterisks) {
  totalyield(62, 0, 0, 5.0f, 0.5f, 1234567.0f, 0.5f);
  totalyield(62, 0, 123456, 5.0f, 0.5f, 1.0f, 0.5f);
  EXPECT_EQ(unit_contents(62),
            "     4.50000************    0     0.50000\n%END\n"
            " 61732.50000     1.00000*****     0.50000\n");
}

}  // namespace
}  // namespace mv
