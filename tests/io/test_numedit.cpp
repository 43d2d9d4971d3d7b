// Input fields read as (BN,I20), (BN,E20.0) and (BN,F20.0). The odd cases
// (a lone sign, "E5", "--1", blanks inside the exponent) are what gfortran 12
// reads from the same 20-character field.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "io/numedit.h"

namespace mv {
namespace {

std::string pad20(std::string_view s) {
  std::string f(s);
  f.resize(20, ' ');
  return f;
}

uint32_t bits_of(float x) {
  uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

// Reads through both real editors, which must agree; returns the bits, or
// the error code with the preset value checked to be untouched.
struct RealRead {
  int32_t code;
  uint32_t bits;
};
RealRead read_real(std::string_view s) {
  const std::string f = pad20(s);
  float e = -999.0f, g = -999.0f;
  const int32_t ce = read_real_e_field(f, e);
  const int32_t cf = read_real_f_field(f, g);
  EXPECT_EQ(ce, cf) << s;
  EXPECT_EQ(bits_of(e), bits_of(g)) << s;
  return {ce, bits_of(e)};
}

uint32_t real_bits(std::string_view s) {
  const RealRead r = read_real(s);
  EXPECT_EQ(r.code, 0) << s;
  return r.bits;
}

TEST(NumEdit, IntegerFieldsDropBlanksAndCheckRange) {
  struct Case {
    const char* text;
    int32_t code;
    int32_t value;
  };
  const Case cases[] = {
      {"12", 0, 12},           {"+12", 0, 12},          {"-3", 0, -3},
      {"1 2", 0, 12},          {"-  5", 0, -5},         {"", 0, 0},
      {"  -0", 0, 0},          {"2147483647", 0, 2147483647},
      {"-2147483648", 0, std::numeric_limits<int32_t>::min()},
      {"2147483648", ioerr_overflow, -7},   {"-2147483649", ioerr_overflow, -7},
      {"99999999999999999999", ioerr_overflow, -7},
      {"+", ioerr_bad_value, -7},  {"-", ioerr_bad_value, -7},  {"1.0", ioerr_bad_value, -7},
      {"1E2", ioerr_bad_value, -7}, {".", ioerr_bad_value, -7},  {"1\t2", ioerr_bad_value, -7},
      {"\t5", ioerr_bad_value, -7}, {"x", ioerr_bad_value, -7},
  };
  for (const Case& c : cases) {
    int32_t v = -7;
    EXPECT_EQ(read_int_field(pad20(c.text), v), c.code) << c.text;
    EXPECT_EQ(v, c.value) << c.text;
  }
  int32_t v = -7;
  EXPECT_EQ(read_int_field("12", v), 0);  // a bare token reads like its padded field
  EXPECT_EQ(v, 12);
}

TEST(NumEdit, RealFieldsTakeDigitsAsTheyStandAndAnyExponentForm) {
  EXPECT_EQ(real_bits("5"), bits_of(5.0f));
  EXPECT_EQ(real_bits("1.5 E3"), bits_of(1500.0f));
  EXPECT_EQ(real_bits("1.5-3"), bits_of(0.0015f));
  EXPECT_EQ(real_bits("1.5+3"), bits_of(1500.0f));
  EXPECT_EQ(real_bits("1.5D3"), bits_of(1500.0f));
  EXPECT_EQ(real_bits("1.5q3"), bits_of(1500.0f));
  EXPECT_EQ(real_bits("1e1 0"), bits_of(1.0e10f));
  EXPECT_EQ(real_bits(".5"), bits_of(0.5f));
  EXPECT_EQ(real_bits("5."), bits_of(5.0f));
  EXPECT_EQ(real_bits("0.1"), 0x3DCCCCCDu);
  // Rounded once, straight to float: through double this would round to
  // the tie 16777217 and then to even, 16777216.
  EXPECT_EQ(real_bits("16777217.000000001"), 0x4B800001u);
  EXPECT_EQ(real_bits("16777216.999999999"), 0x4B800000u);
}

TEST(NumEdit, RealFieldsWithoutMantissaDigitsReadAsSignedZero) {
  for (const char* plus_zero : {"", ".", "+", "-", "E5", "d5", "+-1"}) {
    EXPECT_EQ(real_bits(plus_zero), 0x00000000u) << plus_zero;
  }
  for (const char* minus_zero : {"-0", "-.", "-E5", "--1", "-0."}) {
    EXPECT_EQ(real_bits(minus_zero), 0x80000000u) << minus_zero;
  }
}

TEST(NumEdit, RealFieldsOverflowToInfinityUnderflowToZeroAndNameSpecials) {
  EXPECT_EQ(real_bits("1e39"), 0x7F800000u);
  EXPECT_EQ(real_bits("-1e39"), 0xFF800000u);
  EXPECT_EQ(real_bits("3.4028235e38"), 0x7F7FFFFFu);
  EXPECT_EQ(real_bits("3.4028236e38"), 0x7F800000u);
  EXPECT_EQ(real_bits("1e9999"), 0x7F800000u);
  EXPECT_EQ(real_bits("1e-50"), 0x00000000u);
  EXPECT_EQ(real_bits("-1e-50"), 0x80000000u);
  EXPECT_EQ(real_bits("8e-46"), 0x00000001u);
  EXPECT_EQ(real_bits("7e-46"), 0x00000000u);
  EXPECT_EQ(real_bits("inf"), 0x7F800000u);
  EXPECT_EQ(real_bits("- Infinity"), 0xFF800000u);
  EXPECT_EQ(real_bits("INFINITY"), 0x7F800000u);
  EXPECT_TRUE(std::isnan(std::bit_cast<float>(real_bits("nAn"))));
  EXPECT_EQ(real_bits("-nan"), 0xFFC00000u);
  EXPECT_EQ(real_bits("nan(abc)"), 0x7FC00000u);
}

TEST(NumEdit, MalformedRealFieldsAreInputErrorsAndLeaveTheValue) {
  for (const char* bad : {"1..2", "1.2.3", "1.5x", "x", "1E", "1E+", "1e5-", "+5+", "1,5", "\t5", "1\t",
                          "1.5E3.0", "1.5e3 x", "1e99999", "infin", "infinityx", "in f", "nan(", "inf(1)",
                          "nan(a b)", "0x10"}) {
    const RealRead r = read_real(bad);
    EXPECT_EQ(r.code, ioerr_bad_value) << bad;
    EXPECT_EQ(r.bits, bits_of(-999.0f)) << bad;
  }
}

}  // namespace
}  // namespace mv
