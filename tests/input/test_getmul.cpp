// Multiplicity look-ups in the recipe file: forward search order, what counts
// as an entry, the DIM check and the end of the file.
#include "command_fixture.h"

namespace mv::test {
namespace {

class GetmulTest : public CommandTest {
 protected:
  void recipes(std::string text) {
    attach_memory(15, std::move(text));
    newfil(15);
  }
};

TEST_F(GetmulTest, SearchesForwardForTheFirstMatchingEntry) {
  recipes(
      "REDUCEDMATRIX something\n"
      "  IRREP GROUND A1G MULT 2 DIM 1\n"
      "x IRREP GROUND T1U MULT 9 DIM 3\n"  // IRREP is not the first word
      "IRREP GROUND t1u MULT 8 DIM 3\n"    // recipe lines keep their case
      "IRREP EXCITE T1U MULT 7 DIM 3\n"    // other kind
      "IRREP GROUND1 T1U MULT 3\n"
      "   DIM 3\n"
      "IRREP EXCITE T1U MULT 4 DIM 3\n");
  int32_t m = 0, d = 0;
  getmul(m, d, padded("T1U", 20), "GROUND");
  EXPECT_EQ(m, 3);
  EXPECT_EQ(d, 3);
  EXPECT_EQ(inline_.line_count, 7);
  int32_t m2 = 0;
  getmul(m2, d, "T1U", "EXCITE");  // the search goes on from there
  EXPECT_EQ(m2, 4);
  EXPECT_EQ(comwarn.count, 0);
  EXPECT_EQ(log_records(),
            (std::vector<std::string>{" Looking for  irrep   GROUND  T1U     MULT",
                                      " multiplicity found   GROUND  T1U     mult=    3  dim= 3",
                                      " Looking for  irrep   EXCITE  T1U     MULT",
                                      " multiplicity found   EXCITE  T1U     mult=    4  dim= 3"}));
}

TEST_F(GetmulTest, DimensionAndKeywordChecks) {
  recipes(
      "IRREP GROUND E MULT 1 DIM 2\n"
      "IRREP EXCITE E MULT 5 DIM 3\n"
      "IRREP EXCITE2 E MULX 6 DIM 2\n");
  int32_t m = 0, d = 0;
  getmul(m, d, "E", "GROUND");
  EXPECT_EQ(d, 2);
  getmul(m, d, "E", "EXCITE");
  EXPECT_EQ(m, 5);
  EXPECT_EQ(d, 3);  // the value read, after the warning
  EXPECT_EQ(comwarn.count, 1);
  const auto out = log_records();
  EXPECT_EQ(out[3], " expected:            2 , got:           3  in:");
  getmul(m, d, "E", "EXCITE");
  EXPECT_EQ(m, 6);
  EXPECT_EQ(comwarn.count, 3);  // MULX and DIM 2 against 3
}

TEST_F(GetmulTest, MissingEntryRunsIntoTheEndOfTheFile) {
  recipes("IRREP GROUND A1G MULT 1 DIM 1\n");
  int32_t m = 0, d = 0;
  const RunStop s = stop_of([&] { getmul(m, d, "T2G", "GROUND"); });
  EXPECT_EQ(s.text, "quitprog: see output");
  EXPECT_EQ(s.status, status_fatal);
  EXPECT_EQ(log_records().back(), " quitprog because of unwanted end of file");
}

}  // namespace
}  // namespace mv::test
