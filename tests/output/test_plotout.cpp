// Intermediate-state listing and plot file, and the Auger spectrum block of
// one step. Expected records were checked against a Fortran compiler's output
// of the same FORMATs on the same single-precision data.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/stop.h"
#include "io/units.h"
#include "output/information.h"
#include "output/plotout.h"
#include "workarray/heap.h"
#include "support/work_fixture.h"

namespace mv {
namespace {

// As the driver writes it: (2I1,4F7.3,25X,3A5) of 3, 1, 1.0, 2.5, 6.0, 7.0 and
// the labels GRDSY, OPERA, EXCIT.
const std::string run_description = "31  1.000  2.500  6.000  7.000" + std::string(25, ' ') +
                                    "GRDSYOPERAEXCIT" + std::string(10, ' ');

class PlotTest : public WorkArrayTest {
 protected:
  PlotTest() : WorkArrayTest({6, 44, 45, 46}) {}
  void SetUp() override {
    WorkArrayTest::SetUp();
    information.text = run_description;
  }
  void TearDown() override {
    WorkArrayTest::TearDown();
    information = {};
  }
};

// Seven intermediate states, three ground states of which two are degenerate.
struct Model {
  std::vector<float> eg{-2.5f, -2.5f, -1.25f};
  std::vector<float> ea, ta, w;
  std::vector<float> weights{1.2f, 0.6f, 0.2f};
  Model() : ea(7), ta(7 * 3), w(7 * 7) {
    for (int32_t a = 1; a <= 7; ++a) {
      const float fa = static_cast<float>(a);
      ea[a - 1] = 0.75f * fa + 1.0f;
      ta[a - 1] = 0.01f * fa;
      ta[a - 1 + 7] = 0.02f * static_cast<float>(8 - a);
      ta[a - 1 + 14] = 99.0f;  // a non-degenerate ground state: never summed
      for (int32_t b = 1; b <= 7; ++b) w[a - 1 + (b - 1) * 7] = 0.001f * static_cast<float>(a + b);
    }
    ta[2] = 0.0111108f;  // intensity 0.00012345: listed as the integer 1
    ta[2 + 7] = 0.0f;
  }
};

const std::string table_block =
    "%FORMAT  1(F10.4,F10.6) \n"
    "%   Energy Intensity       Gamma    I\n"
    "    4.2500  0.019700    0.006283    1\n"
    "    5.0000  0.014800    0.012566    2\n"
    "    5.7500  0.000123    0.018850    3\n"
    "    6.5000  0.008000    0.025133    4\n"
    "    7.2500  0.006100    0.031416    5\n"
    "    8.0000  0.005200    0.037699    6\n"
    "    8.7500  0.005300    0.043982    7\n"
    "%END\n";

const std::string summary =
    "%Eg=  -2.5000 NDeg=  2 : 1stExE=  -1.2500 Charc= 0.600 0.300 0.100\n"
    "%TotalIntensity=  0.059223\n"
    "%OUTPUT OF MORVEX INTERMEDIATE STATE\n";

TEST_F(PlotTest, MidoutWritesListingPlotFileAndTable) {
  const Model md;
  midout(46, 45, 3, 7, 2, md.eg.data(), md.ea.data(), md.ta.data(), md.w.data(), md.weights.data());

  EXPECT_EQ(unit_contents(46),
            "    7  '31  1.000  2.500  6.000  7.000                         GRDSYOPERAEXCIT'\n"
            "    4.25     197    5.00     148    5.75       1    6.50      79    7.25      61\n"
            "    8.00      52    8.75      53\n" +
                summary);
  EXPECT_EQ(unit_contents(45),
            "%OUTOUT FOR TALVEN\n"
            "%PARAMETER0 OUTPUT OF MORVEX INTERMEDIATE STATE\n"
            "%Number Of Data=    7\n"
            "%PARAMETER1 3 1  1.000  2.500  6.000  7.000 GRDSYOPERAEXCIT\n" +
                table_block + summary);
  EXPECT_EQ(unit_contents(44), table_block);
  EXPECT_EQ(unit_contents(6), "");
}

TEST_F(PlotTest, MidoutWithOneGroundStateRepeatsEg) {
  const std::vector<float> eg{-1.0f}, ea{0.5f}, ta{0.5f}, w{0.0f}, weights{0.25f, 0.5f, 0.25f};
  midout(46, 45, 1, 1, 1, eg.data(), ea.data(), ta.data(), w.data(), weights.data());
  EXPECT_EQ(unit_contents(46),
            "    1  '31  1.000  2.500  6.000  7.000                         GRDSYOPERAEXCIT'\n"
            "    1.50    2500\n"
            "%Eg=  -1.0000 NDeg=  1 : 1stExE=  -1.0000 Charc= 0.250 0.500 0.250\n"
            "%TotalIntensity=  0.250000\n"
            "%OUTPUT OF MORVEX INTERMEDIATE STATE\n");
}

TEST_F(PlotTest, MidoutRefusesMoreThanItsTableHolds) {
  const std::vector<float> eg{0.0f}, weights{1.0f, 0.0f, 0.0f};
  const std::vector<float> ea(3001, 1.0f), ta(3001, 0.1f), w(1, 0.0f);
  try {
    midout(46, 45, 1, 3001, 1, eg.data(), ea.data(), ta.data(), w.data(), weights.data());
    FAIL() << "midout accepted 3001 intermediate states";
  } catch (const RunStop& stop) {
    EXPECT_EQ(stop.text, "subroutine MIDOUT");
    EXPECT_EQ(stop.status, status_fatal);
  }
  EXPECT_EQ(unit_contents(6), " INCREASE ITMP TO         3001\n");
  for (int32_t u : {44, 45, 46}) EXPECT_EQ(unit_contents(u), "") << "unit " << u;
}

TEST_F(PlotTest, OutputSortsCondensesAndPrintsOneBlock) {
  // Unsorted on entry; after sorting 1.00004 merges into 1.0 and the weak line
  // at 2.0 goes to the line at 1.5.
  const std::vector<float> e{1.5f, 1.0f, 3.0f, 1.00004f, 2.0f, 1.00020f};
  const std::vector<float> inten{0.2f, 0.1f, 0.4f, 0.05f, 1.0e-8f, 0.3f};
  float total = 0.0f;
  for (float x : inten) total = total + x;
  const std::vector<float> eg{-2.5f};
  output(2, 6, e.data(), inten.data(), eg.data(), total);

  EXPECT_EQ(unit_contents(44),
            " TRANSFORMED MATRIX FOR TRIAD (    GRDSY   2OPERA    EXCIT ) (1*      4) DIM :  1 : 0 "
            ": 1 ACTOR "
            "MULTIPOLE\n"
            " BRA/KET :   1.00000   1.00020   1.50000   3.00000\n"
            " -2.50000:  0.150000  0.300000  0.200000  0.400000\n"
            " Total intensity   1.05000\n");
  EXPECT_EQ(e[0], 1.5f) << "the caller's spectrum is not changed";
  EXPECT_EQ(heap_info.top, 0);
  EXPECT_EQ(heap_info.peak, 12);
}

TEST_F(PlotTest, OutputOfAnEmptySpectrum) {
  const std::vector<float> eg{-2.5f};
  output(0, 0, nullptr, nullptr, eg.data(), 0.0f);
  EXPECT_EQ(unit_contents(44),
            " TRANSFORMED MATRIX FOR TRIAD (    GRDSY OPERA       EXCIT ) (1*      0) DIM :  1 : 0 "
            ": 1 ACTOR "
            "MULTIPOLE\n"
            " Total intensity   0.00000\n");
  EXPECT_EQ(heap_info.top, 0);
}

}  // namespace
}  // namespace mv
