// The recipe-block reader and the pair loader on hand-written recipe files.
#include <string>

#include "coef_testing.h"
#include "coefficients/pairin.h"
#include "io/format.h"

namespace mv::testing {
namespace {

class Recipes : public CoefficientTest {
 protected:
  void recipes(const std::string& text) {
    attach_memory(15, text);
    newfil(15);
  }
  static Token label(const char* s) { return padded(s, token_length); }
};

struct Entry {
  int32_t mat, row0, col0, nrow, ncol;
  float factor;
};
void expect_entry(int32_t j, const Entry& e) {
  const int32_t k = j - 1;
  EXPECT_EQ(ibuild.mat[k], e.mat) << "entry " << j;
  EXPECT_EQ(ibuild.row0[k], e.row0) << "entry " << j;
  EXPECT_EQ(ibuild.col0[k], e.col0) << "entry " << j;
  EXPECT_EQ(ibuild.nrow[k], e.nrow) << "entry " << j;
  EXPECT_EQ(ibuild.ncol[k], e.ncol) << "entry " << j;
  EXPECT_EQ(ibuild.factor[k], e.factor) << "entry " << j;
  EXPECT_EQ(ibuild.shift[k], 0.0f) << "entry " << j;
}

TEST_F(Recipes, SuccessiveBlocksOfOnePairAndTheirAddLines) {
  // Words around REDUCEDMATRIX and after TRANSI still match; an ADD line runs
  // over two lines; the second operator's header repeats the first one's.
  recipes(
      "IRREP GROUND A1 MULT 1 DIM 1\n"
      "XREDUCEDMATRIXY TRANSITION A1 T1 T1 E1 2 3\n"
      "  ADD 1 1 1 2 3 0.5\n"
      "  ADD 2 2\n"
      "     1 1 3 2.0\n"
      "  END E1\n"
      "REDUCEDMATRIX TRANSI A1 T1 T1 E2 2 3\n"
      "  ADD 3 1 2 1 1 -1.0\n"
      "  END E2\n");
  int32_t dim_bra = 2, dim_ket = 3, counter = 1;
  etr(dim_bra, dim_ket, label("A1"), label("T1"), label("T1"), label(""), "TRANSI", counter, 2.0f);
  etr(dim_bra, dim_ket, label("A1"), label("T1"), label("T1"), label(""), "TRANSI", counter, 0.25f);
  EXPECT_EQ(counter, 4);
  expect_entry(1, {1, 1, 1, 2, 3, 1.0f});
  expect_entry(2, {2, 2, 1, 1, 3, 4.0f});
  expect_entry(3, {3, 1, 2, 1, 1, -0.25f});
  EXPECT_TRUE(
      has_record(6, " looking for   TRANSI  A1    T1    T1        2    3 Factor =   2.0000000"));
  EXPECT_TRUE(
      has_record(6, " looking for   TRANSI  A1    T1    T1        2    3 Factor =   0.2500000"));
  EXPECT_EQ(ctrace.name, label("ETR"));
  EXPECT_EQ(comwarn.count, 0);
}

TEST_F(Recipes, ScalarOperatorOfASignedSideIsZeroPlus) {
  recipes(
      "REDUCEDMATRIX GROUND A1+ 0 A1+ D1 1 1\n"
      " ADD 1 1 1 1 1 5.0\n END D1\n"
      "REDUCEDMATRIX GROUND A1+ 0+ A1+ G1 1 1\n"
      " ADD 2 1 1 1 1 1.0\n END G1\n"
      "REDUCEDMATRIX GROUND A1 0+ A1 D2 1 1\n"
      " ADD 3 1 1 1 1 5.0\n END D2\n"
      "REDUCEDMATRIX GROUND A1 0 A1 G2 1 1\n"
      " ADD 4 1 1 1 1 1.0\n END G2\n");
  int32_t dim = 1, counter = 1;
  etr(dim, dim, label("A1+"), "0", label("A1+"), "0", "GROUND", counter, 1.0f);
  etr(dim, dim, label("A1"), "0", label("A1"), "0", "GROUND", counter, 1.0f);
  EXPECT_EQ(counter, 3);
  EXPECT_EQ(ibuild.mat[0], 2);
  EXPECT_EQ(ibuild.mat[1], 4);
  EXPECT_TRUE(
      has_record(6, " looking for   GROUND  A1+   0+    A1+       1    1 Factor =   1.0000000"));
  EXPECT_EQ(comwarn.count, 0);
}

TEST_F(Recipes, FourthLabelOnlyWithPrmult) {
  recipes(
      "REDUCEDMATRIX TRANSI A1 T1 T1 F2 E1 1 1\n ADD 1 1 1 1 1 5.0\n END E1\n"
      "REDUCEDMATRIX TRANSI A1 T1 T1 F1 E2 1 1\n ADD 2 1 1 1 1 1.0\n END E2\n");
  cprmult.prmult = 1;
  int32_t dim_bra = 1, dim_ket = 1, counter = 1;
  etr(dim_bra, dim_ket, label("A1"), label("T1"), label("T1"), label("F1"), "TRANSI", counter,
      1.0f);
  EXPECT_EQ(ibuild.mat[0], 2);

  // Without PRMULT a fourth word is the end label, and the sizes follow it.
  cprmult.prmult = 0;
  recipes("REDUCEDMATRIX TRANSI A1 T1 T1 F1 2 3\n ADD 7 1 1 1 1 1.0\n END F1\n");
  counter = 1;
  dim_bra = 0;
  dim_ket = 0;
  etr(dim_bra, dim_ket, label("A1"), label("T1"), label("T1"), label("F1"), "TRANSI", counter,
      1.0f);
  EXPECT_EQ(ibuild.mat[0], 7);
  EXPECT_EQ(dim_bra, 2);
  EXPECT_EQ(dim_ket, 3);
  EXPECT_EQ(comwarn.count, 0);
}

TEST_F(Recipes, FaultsInsideABlockAreCountedWarnings) {
  recipes(
      "REDUCEDMATRIX GROUND A1 0 A1 E1 2 2\n"
      " ADD 1 1 1 1 1 1.0 JUNK\n"
      " ADD 1 2 2 1 1 1.0\n"
      " END E9\n"
      "REDUCEDMATRIX GROUND A1 0 A1 E2 4 5\n"
      " END E2\n");
  int32_t dim = 3, counter = 1;  // one side: the same variable checked twice
  etr(dim, dim, label("A1"), "0", label("A1"), "0", "GROUND", counter, 1.0f);
  EXPECT_EQ(comwarn.count, 3);  // size 3 read as 2, JUNK, end label E9
  EXPECT_EQ(dim, 2);
  EXPECT_EQ(counter, 3);
  const Token junk_token = label("JUNK"), e1 = label("E1"), e9 = label("E9");
  const FmtItem junk[] = {fmt_item("Expected \"ADD\" or \"END\", got: "), fmt_item(junk_token),
                          fmt_item(" in:")};
  EXPECT_TRUE(has_record(6, list_line(junk))) << unit_contents(6);
  const FmtItem end[] = {fmt_item("expected: "), fmt_item(e1), fmt_item(", got:"), fmt_item(e9),
                         fmt_item(" in:")};
  EXPECT_TRUE(has_record(6, list_line(end)));

  // An expected size of 0 takes any value without a warning.
  int32_t dim_bra = 0, dim_ket = 5;
  etr(dim_bra, dim_ket, label("A1"), "0", label("A1"), "0", "GROUND", counter, 1.0f);
  EXPECT_EQ(comwarn.count, 3);
  EXPECT_EQ(dim_bra, 4);
}

TEST_F(Recipes, MissingBlockRunsIntoTheEndOfTheFile) {
  recipes("REDUCEDMATRIX TRANSI A1 T1 T2 E1 1 1\n ADD 1 1 1 1 1 1.0\n END E1\n");
  int32_t dim_bra = 1, dim_ket = 1, counter = 1;
  const RunStop s = stop_of([&] {
    etr(dim_bra, dim_ket, label("A1"), label("T1"), label("T1"), "", "TRANSI", counter, 1.0f);
  });
  EXPECT_EQ(s.status, status_fatal);
  EXPECT_TRUE(output_contains("End of file encountered in NEWLIN"));
  EXPECT_TRUE(output_contains("quitprog because of unwanted end of file"));
}

TEST_F(Recipes, AddListFullStopsTheRun) {
  recipes(
      "REDUCEDMATRIX TRANSI A1 T1 T1 E1 1 1\n ADD 1 1 1 1 1 1.0\n ADD 2 1 1 1 1 1.0\n END E1\n");
  int32_t dim_bra = 1, dim_ket = 1, counter = max_add;
  const RunStop s = stop_of([&] {
    etr(dim_bra, dim_ket, label("A1"), label("T1"), label("T1"), "", "TRANSI", counter, 1.0f);
  });
  EXPECT_EQ(s.text, "quitprog: see output");
  EXPECT_EQ(ibuild.mat[max_add - 1], 1);  // the last entry is still filled
  const FmtItem items[] = {fmt_item("Increase parameter "),
                           fmt_item("MAX_ADD"),
                           fmt_item(" from "),
                           fmt_item(max_add),
                           fmt_item(" to "),
                           fmt_item(max_add + 1)};
  EXPECT_TRUE(has_record(6, list_line(items)));
}

// A one-matrix section with a 2 x 3 operator.
const char* const small_section =
    "RME a b c d e 2 3 3\n"
    " 1 2 1 1.0 3 2.0\n"
    " 2 1 2 -4.0\n"
    "FINISHED\n";

TEST_F(Recipes, PairWithoutOperatorsReadsNothing) {
  attach_memory(14, small_section);
  recipes("REDUCEDMATRIX TRANSI A1 T1 T1 E1 2 3\n");
  int32_t hb = -11, hk = -12, tr = -13, dim_bra = 2, dim_ket = 3;
  pairin(hb, hk, tr, dim_bra, dim_ket, label("A1"), label("T1"), label("T1"), label(""), 1, 2, 1,
         1);
  EXPECT_EQ(unit_contents(6), "");
  EXPECT_EQ((std::vector<int32_t>{hb, hk, tr}), (std::vector<int32_t>{-11, -12, -13}));
  EXPECT_EQ(heap_info.top, 0);
  EXPECT_EQ(unit_contents(99), "");
  newfil(15);
  EXPECT_EQ(chaget(), label("REDUCEDMATRIX"));  // the recipe file was not moved
}

TEST_F(Recipes, PairBuildsItsOperatorAndEmptySides) {
  attach_memory(14, small_section);
  recipes("REDUCEDMATRIX TRANSI A1 T1 T1 E1 2 3\n ADD 1 1 1 2 3 0.5\n END E1\n");
  actor_count(1, 2, 1, 2) = 1;
  actor_factor(1, 1, 2, 1, 2) = 3.0f;
  int32_t hb = 0, hk = 0, tr = 0, dim_bra = 2, dim_ket = 3;
  pairin(hb, hk, tr, dim_bra, dim_ket, label("A1"), label("T1"), label("T1"), label(""), 1, 2, 1,
         2);
  const std::vector<std::string> out = records(6);
  ASSERT_GE(out.size(), 2u);
  EXPECT_EQ(out[0], "");
  EXPECT_EQ(out[1], "=========== PAIR  ground 1 => excite 2        2 *      3");
  EXPECT_EQ(expanded(tr, 2, 3), (Dense{{1.5f, 0, 3.0f}, {0, -6.0f, 0}}));
  // Sides without Hamiltonian operators give all-zero matrices of their size.
  EXPECT_EQ(expanded(hb, 2, 2), Dense(2, std::vector<float>(2, 0.0f)));
  EXPECT_EQ(expanded(hk, 3, 3), Dense(3, std::vector<float>(3, 0.0f)));
  EXPECT_EQ(comwarn.count, 0);
}

TEST_F(Recipes, AddLinesReachingOutsideTheStoreAreRefused) {
  auto refused = [&](const std::string& add, const std::string& why) {
    reset_heap();
    attach_memory(6);
    attach_memory(14, small_section);
    recipes("REDUCEDMATRIX TRANSI A1 T1 T1 E1 2 3\n " + add + "\n END E1\n");
    actor_count(1, 2, 1, 1) = 1;
    actor_factor(1, 1, 2, 1, 1) = 1.0f;
    int32_t hb = 0, hk = 0, tr = 0, dim_bra = 2, dim_ket = 3;
    const RunStop s = stop_of([&] {
      pairin(hb, hk, tr, dim_bra, dim_ket, label("A1"), label("T1"), label("T1"), label(""), 1, 2,
             1, 1);
    });
    EXPECT_EQ(s.status, status_fatal) << why;
    EXPECT_TRUE(output_contains(why)) << unit_contents(6);
  };
  refused("ADD 2 1 1 2 3 1.0", "names matrix 2");
  refused("ADD 1 1 1 3 3 1.0", "uses 3 rows of matrix 1");
  refused("ADD 1 2 1 2 3 1.0", "places rows outside");
  refused("ADD 1 1 2 2 3 1.0", "places columns outside");
  EXPECT_FALSE(output_contains("FTN99"));
}

// The same faults on blocks read back from the store file point at the store
// file: one written for another model (or from an older coefficient file) is
// the likely cause, not the recipe file.
TEST_F(Recipes, AddLinesThatDoNotFitBlocksFromTheStoreFileNameIt) {
  attach_memory(14, small_section);
  newfil(14);
  cowan();
  for (const char* add : {"ADD 1 1 1 3 3 1.0", "ADD 2 1 1 2 3 1.0"}) {
    reset_heap();
    attach_memory(6);
    rewind_unit(99);
    qaz.oldcowan = 1;
    recipes(std::string("REDUCEDMATRIX TRANSI A1 T1 T1 E1 2 3\n ") + add + "\n END E1\n");
    actor_count(1, 2, 1, 1) = 1;
    actor_factor(1, 1, 2, 1, 1) = 1.0f;
    int32_t hb = 0, hk = 0, tr = 0, dim_bra = 2, dim_ket = 3;
    const RunStop s = stop_of([&] {
      pairin(hb, hk, tr, dim_bra, dim_ket, label("A1"), label("T1"), label("T1"), label(""), 1, 2,
             1, 1);
    });
    EXPECT_EQ(s.status, status_fatal) << add;
    EXPECT_TRUE(
        output_contains("The coefficient blocks were read from FTN99 (OLDCOWAN): FTN99 was "
                        "probably written for another model or from an older FTN14."))
        << unit_contents(6);
  }
}

// A header dimension whose row index no work array can hold (3n beyond the
// 4-byte range) is refused as a recipe fault before anything is allocated.
TEST_F(Recipes, HeaderDimensionBeyondAnyWorkArrayIsRefused) {
  attach_memory(14, small_section);
  recipes("REDUCEDMATRIX TRANSI A1 T1 T1 RM1 715827883 3\n ADD 1 1 1 2 3 1.0\n END RM1\n");
  actor_count(1, 2, 1, 1) = 1;
  actor_factor(1, 1, 2, 1, 1) = 1.0f;
  int32_t hb = 0, hk = 0, tr = 0, dim_bra = 2, dim_ket = 3;
  const RunStop s = stop_of([&] {
    pairin(hb, hk, tr, dim_bra, dim_ket, label("A1"), label("T1"), label("T1"), label(""), 1, 2, 1,
           1);
  });
  EXPECT_EQ(s.status, status_fatal);
  EXPECT_TRUE(
      output_contains("Recipe header gives the dimensions 715827883 x 3: no work array "
                      "holds a matrix of more than 715827882 rows."))
      << unit_contents(6);
}

}  // namespace
}  // namespace mv::testing
