// FORMAT-driven records: number editing, positioning, record ends,
// reversion and the free-format line. The expected texts of FORMAT WRITEs
// are what gfortran 12 prints for the same WRITE; the free-format line is
// the system's own (one blank, I11 and 1PG15.8E2 items).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "io/format.h"
#include "io/format_parse.h"
#include "io/stop.h"
#include "io/units.h"

namespace mv {
namespace {

using Records = std::vector<std::string>;

template <class... A>
Records recs(std::string_view fmt, const A&... a) {
  std::vector<FmtItem> items = {fmt_item(a)...};
  return format_records(fmt, items);
}

template <class T>
std::string field(std::string_view fmt, T x) {
  return internal_write(fmt, x);
}

float bits(uint32_t b) {
  float x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

const float inf = std::numeric_limits<float>::infinity();

TEST(FormatEdit, FixedRoundsExactValueTiesToEvenAndDropsZeroOnlyWhenNarrow) {
  EXPECT_EQ(field("(F5.2)", 0.125f), " 0.12");
  EXPECT_EQ(field("(F5.2)", 0.375f), " 0.38");
  EXPECT_EQ(field("(F3.0)", 0.5f), " 0.");
  EXPECT_EQ(field("(F3.0)", 1.5f), " 2.");
  EXPECT_EQ(field("(F3.0)", 2.5f), " 2.");
  EXPECT_EQ(field("(F20.10)", 0.1f), "        0.1000000015");
  EXPECT_EQ(field("(F4.3)", 0.5f), ".500");
  EXPECT_EQ(field("(F5.3)", 0.5f), "0.500");
  EXPECT_EQ(field("(F5.3)", -0.5f), "-.500");
  EXPECT_EQ(field("(F0.3)", 0.5f), ".500");
  EXPECT_EQ(field("(F2.0)", 0.4f), "0.");
  EXPECT_EQ(field("(F2.1)", 0.04f), ".0");
  EXPECT_EQ(field("(F8.3)", -0.0001f), "  -0.000");
  EXPECT_EQ(field("(F8.3)", -0.0f), "  -0.000");
  EXPECT_EQ(field("(F3.0)", -0.5f), "-0.");
  EXPECT_EQ(field("(F1.0)", 0.3f), "*");
  EXPECT_EQ(field("(F10.5)", 1.0e30f), "**********");
}

TEST(FormatEdit, ExponentFormsWithAndWithoutScaleFactor) {
  EXPECT_EQ(field("(E10.3)", 1.0e-10f), " 0.100E-09");
  EXPECT_EQ(field("(E10.3)", -0.0f), "-0.000E+00");
  EXPECT_EQ(field("(1PE12.4)", 0.0f), "  0.0000E+00");
  EXPECT_EQ(field("(-2PE12.4)", 1.0e30f), "  0.0010E+33");
  EXPECT_EQ(field("(2PE12.4)", 1.0e30f), "  10.000E+29");
  EXPECT_EQ(field("(E12.4E1)", 1.0e30f), "************");
  // An exponent beyond 99 takes the place of the letter.
  EXPECT_EQ(field("(56PE70.55)", bits(1)),
            "         14012984643248170709237295832899161312802619418765157718.-100");
}

TEST(FormatEdit, GeneralSwitchesFormAtEachDecadeAsTheRuntimeDecides) {
  EXPECT_EQ(field("(G10.3)", 0.099949f), " 0.999E-01");
  EXPECT_EQ(field("(G10.3)", 0.09995f), " 0.100    ");
  EXPECT_EQ(field("(G10.3)", 0.99949f), " 0.999    ");
  EXPECT_EQ(field("(G10.3)", 0.9995f), "  1.00    ");
  EXPECT_EQ(field("(G10.3)", 9.9949f), "  9.99    ");
  EXPECT_EQ(field("(G10.3)", 9.995f), "  10.0    ");
  EXPECT_EQ(field("(G10.3)", 99.95f), "  100.    ");
  EXPECT_EQ(field("(G10.3)", 999.49f), "  999.    ");
  EXPECT_EQ(field("(G10.3)", 999.5f), " 0.100E+04");
  EXPECT_EQ(field("(G10.3)", 0.0f), "  0.00    ");
  EXPECT_EQ(field("(G10.3)", -0.0f), " -0.00    ");
  EXPECT_EQ(field("(G5.3)", 100.0f), "*****");
  // The scale factor only acts on the E form.
  EXPECT_EQ(field("(1PG15.8E2)", 1.0f), "  1.0000000    ");
  EXPECT_EQ(field("(1PG15.8E2)", 1.0e-5f), " 9.99999975E-06");
  EXPECT_EQ(field("(1PG15.8E2)", 1.0e30f), " 1.00000002E+30");
  EXPECT_EQ(field("(1PG15.8E2)", 0.0f), "  0.0000000    ");
}

TEST(FormatEdit, InfinityAndNanFitTheirField) {
  EXPECT_EQ(field("(F8.0)", inf), "Infinity");
  EXPECT_EQ(field("(F7.0)", inf), "    Inf");
  EXPECT_EQ(field("(F9.0)", -inf), "-Infinity");
  EXPECT_EQ(field("(F8.0)", -inf), "    -Inf");
  EXPECT_EQ(field("(F3.0)", -inf), "***");
  EXPECT_EQ(field("(G10.3)", inf), "  Infinity");
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(field("(F2.0)", nan), "**");
  EXPECT_EQ(field("(E10.3)", nan), "       NaN");
}

TEST(FormatEdit, IntegersAndTexts) {
  EXPECT_EQ(field("(I5)", int32_t{-42}), "  -42");
  EXPECT_EQ(field("(I3)", int32_t{1000}), "***");
  EXPECT_EQ(field("(I1)", int32_t{-1}), "*");
  EXPECT_EQ(field("(I5.3)", int32_t{7}), "  007");
  EXPECT_EQ(field("(I4.3)", int32_t{-5}), "-005");
  EXPECT_EQ(field("(I5.0)", int32_t{0}), "     ");
  EXPECT_EQ(field("(I0)", std::numeric_limits<int32_t>::min()), "-2147483648");
  EXPECT_EQ(internal_write("(a3,'|',a,'|',a5)", "abcdef", "", "ab"), "abc||   ab");
  EXPECT_EQ(internal_write("(1x,a79)", "short"), std::string(75, ' ') + "short");
}

TEST(FormatRecords, PositioningMovesLeftOverwritesAndWritesNothingAtTheEnd) {
  EXPECT_EQ(internal_write("(a,t7,a,t20,a,t34,a)", "%", "energy", "yield", "absorption"),
            "%     energy       yield         absorption");
  EXPECT_EQ(internal_write("(a,tl3,a)", "abcdef", "Z"), "abcZef");
  EXPECT_EQ(internal_write("(a,tl30,a)", "abcdef", "Z"), "Zbcdef");
  EXPECT_EQ(internal_write("(T10,A,T1,A,T5,A)", "ten", "one", "five"), "one five ten");
  EXPECT_EQ(internal_write("(a,tr3,a,5x)", "abc", "d"), "abc   d");
  EXPECT_EQ(internal_write("(a,T20)", "abc"), "abc");
  EXPECT_EQ(internal_write("(a,5x,'tail')", "abc"), "abc     tail");
}

TEST(FormatRecords, AfterTheLastItemControlRunsToTheNextDataDescriptorColonOrEnd) {
  EXPECT_EQ(recs("(a/)", "abc"), (Records{"abc", ""}));
  EXPECT_EQ(recs("(a/)"), (Records{""}));
  EXPECT_EQ(recs("('it''s',\" say \"\"hi\"\"\")"), (Records{"it's say \"hi\""}));
  EXPECT_EQ(recs("(3/)"), (Records{"", "", "", ""}));
  EXPECT_EQ(recs("(a,5x,:,'tail')", "abc"), (Records{"abc"}));
  EXPECT_EQ(recs("(i3,2(i4,'x'),i2)", int32_t{1}, int32_t{2}), (Records{"  1   2x"}));
  EXPECT_EQ(recs("(a,2/,a)", "a", "b"), (Records{"a", "", "b"}));
  EXPECT_EQ(recs("(9(A,I2,3F9.3,3(A,F10.5)/))", "x", int32_t{3}, 1.5f, 2.25f, -3.125f, "a", 0.1f, "b", 0.2f,
                 "c", 0.3f),
            (Records{"x 3    1.500    2.250   -3.125a   0.10000b   0.20000c   0.30000", ""}));
}

TEST(FormatRecords, ReversionRestartsAtTheLastTopLevelGroupWithItsRepeat) {
  EXPECT_EQ(recs("(i3,(i4,'x'))", int32_t{1}, int32_t{2}, int32_t{3}, int32_t{4}),
            (Records{"  1   2x", "   3x", "   4x"}));
  EXPECT_EQ(recs("(e12.4,f10.3)", 1.0f, 2.0f, 3.0f),
            (Records{"  0.1000E+01     2.000", "  0.3000E+01"}));
  EXPECT_EQ(recs("(4(A,I4))", " a=", int32_t{1}, " b=", int32_t{2}, " c=", int32_t{3}, " d=", int32_t{4}, " e=",
                 int32_t{5}),
            (Records{" a=   1 b=   2 c=   3 d=   4", " e=   5"}));
  EXPECT_EQ(recs("(A,A,A,I3,A,I6,A,I3,A,/(1X,8A))", " a", "b", "c", int32_t{1}, "d", int32_t{2}, "e", int32_t{3},
                 "f", "T", "H", "E", " ", "I", "N", "P", "U", "T", " ", "L", "I", "N", "E"),
            (Records{" abc  1d     2e  3f", " THE INPU", " T LINE"}));
  std::vector<FmtItem> items = {fmt_item(" Eg="), fmt_item(-12.345678f), fmt_item(" ndeg="), fmt_item(int32_t{3}),
                                fmt_item(" :"), fmt_item(" w="), fmt_item(0.5f), fmt_item(0.25f), fmt_item(0.25f),
                                fmt_item(" e:")};
  const float e[] = {0.0f, 0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f, 0.9f, 1.0f, 1.1f, 1.2f, 1.3f};
  for (const float& x : e) items.push_back(fmt_item(x));
  EXPECT_EQ(format_records("(a,g17.10,a,i4,a /A,3F8.5 /a,t31,5f10.5/(8f10.5))", items),
            (Records{" Eg= -12.34567833     ndeg=   3 :", " w= 0.50000 0.25000 0.25000",
                     " e:                              0.00000   0.10000   0.20000   0.30000   0.40000",
                     "   0.50000   0.60000   0.70000   0.80000   0.90000   1.00000   1.10000   1.20000",
                     "   1.30000"}));
}

TEST(FormatRecords, ScaleFactorHoldsAcrossGroupsAndReversionUntilReset) {
  EXPECT_EQ(recs("(1P,E12.4,F10.3,G12.4)", 1.5f, 1.5f, 1.5f, 123456.0f, 123456.0f, 123456.0f),
            (Records{"  1.5000E+00    15.000   1.500    ", "  1.2346E+05**********  1.2346E+05"}));
  EXPECT_EQ(recs("(2PE12.4/(E12.4))", 1.5f, 1.5f, 2.5f), (Records{"  15.000E-01", "  15.000E-01", "  25.000E-01"}));
  EXPECT_EQ(recs("(1P,E12.4,0P,E12.4,(F10.3))", 1.5f, 1.5f, 2.5f, 3.5f),
            (Records{"  1.5000E+00  0.1500E+01     2.500", "     3.500"}));
}

TEST(FormatParse, BlanksCaseNestingAndHollerith) {
  EXPECT_EQ(internal_write("(  A , 2 X , F 1 0 . 5 )", "abc", 3.14159f), "abc     3.14159");
  EXPECT_EQ(internal_write("(I5,A,A,A    )", int32_t{5}, "a", "bb", "ccc"), "    5abbccc");
  EXPECT_EQ(recs("( 2(i3,2(f5.1)),'|')", int32_t{1}, 1.0f, 2.0f, int32_t{2}, 3.0f, 4.0f, int32_t{3}, 5.0f),
            (Records{"  1  1.0  2.0  2  3.0  4.0|", "  3  5.0"}));
  EXPECT_EQ(internal_write("(a,3Habc,I2)", "[", int32_t{5}), "[abc 5");
  // The cache keys on the text, not on where the text lives.
  std::string copy = "(I5,A,A,A    )";
  EXPECT_EQ(&cached_format(copy), &cached_format("(I5,A,A,A    )"));
  for (const char* bad : {"(I5", "I5)", "(Q5)", "(F10)", "(E10.3E0)", "('open)", "(SP,I5)"}) {
    EXPECT_THROW(format_records(bad, {}), RunStop) << bad;
  }
}

TEST(FormatRecords, MismatchedItemKindsAreWrittenWithoutStopping) {
  EXPECT_NO_THROW(internal_write("(F10.3,I5,I5,A,A4)", int32_t{3}, 2.7f, "text", 1.5f, int32_t{12}));
  EXPECT_EQ(internal_write("(F10.3)", int32_t{3}), "     3.000");
}

TEST(FormatListLine, BlankSeparatorsJoinedTextsAndFieldWidths) {
  EXPECT_EQ(list_line(std::vector<FmtItem>{fmt_item("Increase parameter "), fmt_item("lheap"), fmt_item(" from "),
                                           fmt_item(int32_t{9999999}), fmt_item(" to "), fmt_item(int32_t{10000000})}),
            " Increase parameter lheap from      9999999  to     10000000");
  EXPECT_EQ(list_line(std::vector<FmtItem>{fmt_item(int32_t{5}), fmt_item(int32_t{-6})}),
            "           5          -6");
  EXPECT_EQ(list_line(std::vector<FmtItem>{fmt_item("a"), fmt_item(1.0e-5f), fmt_item(1.0f), fmt_item("x")}),
            " a  9.99999975E-06   1.0000000     x");
  EXPECT_EQ(list_line({}), " ");
}

TEST(FormatUnits, WriteAndListWriteGoThroughTheUnit) {
  attach_memory(6);
  write(6, "(a/)", "abc");
  write(6, "('only text')");
  list_write(6, "gausslegendre ", int32_t{1}, 0.5f);
  EXPECT_EQ(unit_contents(6), "abc\n\nonly text\n gausslegendre            1  0.50000000    \n");
  reset_units();
}

}  // namespace
}  // namespace mv
