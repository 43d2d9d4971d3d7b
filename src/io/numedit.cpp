#include "io/numedit.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace mv {
namespace {

// Input editing follows the Fortran runtime's own reading of a field
// character by character, so that every odd field (a lone sign, "E5", "1.5-3",
// blanks inside the exponent) gives the value or the error that the runtime
// gives. Under BN a blank is no character at all.

struct Cursor {
  std::string_view f;
  std::size_t p = 0;
  bool end() const { return p >= f.size(); }
  char c() const { return f[p]; }
  void skip_blanks() {
    while (p < f.size() && f[p] == ' ') ++p;
  }
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "inf", "infinity" or "nan" (the last optionally followed by a
// parenthesised word), any case; the name ends at a blank or '('.
int32_t read_infnan(std::string_view r, bool neg, float& v) {
  std::string name;
  bool name_done = false;
  int32_t parens = 0;
  for (const char ch : r) {
    if (ch == ' ') {
      if (parens == 1) return ioerr_bad_value;
      name_done = true;
      continue;
    }
    if (ch == '(') {
      ++parens;
      name_done = true;
      continue;
    }
    if (ch == ')') {
      if (parens++ != 1) return ioerr_bad_value;
      continue;
    }
    if (!std::isalnum(static_cast<unsigned char>(ch))) return ioerr_bad_value;
    if (!name_done) name += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  }
  if (parens != 0 && parens != 2) return ioerr_bad_value;
  if (name == "inf" || name == "infinity") {
    if (parens != 0) return ioerr_bad_value;
    v = neg ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
    return 0;
  }
  if (name != "nan") return ioerr_bad_value;
  v = std::copysign(std::numeric_limits<float>::quiet_NaN(), neg ? -1.0f : 1.0f);
  return 0;
}

// Decimal exponent of the leading non-zero digit of "[-]ddd.ddd" times
// 10**expo; decides whether a value out of float range overflowed or underflowed.
int32_t leading_exponent(std::string_view mant, int32_t expo) {
  const std::size_t dot = mant.find('.');
  const std::size_t int_end = dot == std::string_view::npos ? mant.size() : dot;
  for (std::size_t i = 0; i < mant.size(); ++i) {
    if (!is_digit(mant[i]) || mant[i] == '0') continue;
    const int32_t place = i < int_end ? static_cast<int32_t>(int_end - i) - 1 : -static_cast<int32_t>(i - int_end);
    return place + expo;
  }
  return 0;
}

// (BN,Ew.0) and (BN,Fw.0) read alike: an optional sign, a mantissa of digits
// with at most one point (possibly empty), and an exponent introduced by
// E, D or Q, or by its sign alone.
int32_t read_real_field(std::string_view field, float& v) {
  Cursor in{field};
  in.skip_blanks();
  if (in.end()) {
    v = 0.0f;
    return 0;
  }
  std::string buf;  // the number rewritten cleanly for the conversion
  buf.reserve(field.size() + 12);
  bool neg = false;
  if (in.c() == '-' || in.c() == '+') {
    neg = in.c() == '-';
    if (neg) buf += '-';
    ++in.p;
  }
  in.skip_blanks();
  if (in.end()) {
    v = 0.0f;  // a sign alone is +0.0, whichever sign
    return 0;
  }
  const char first = static_cast<char>(std::tolower(static_cast<unsigned char>(in.c())));
  if (field.size() - in.p >= 3 && (first == 'i' || first == 'n')) return read_infnan(field.substr(in.p), neg, v);

  bool seen_dp = false, int_digit = false, dec_digit = false, has_exponent = false;
  for (; !in.end(); ++in.p) {
    const char ch = in.c();
    if (ch == ' ') continue;
    if (ch == '.') {
      if (seen_dp) return ioerr_bad_value;
      seen_dp = true;
      buf += '.';
      continue;
    }
    if (is_digit(ch)) {
      buf += ch;
      (seen_dp ? dec_digit : int_digit) = true;
      continue;
    }
    if (ch == '-' || ch == '+') {
      has_exponent = true;
      break;
    }
    const char lc = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (lc == 'e' || lc == 'd' || lc == 'q') {
      ++in.p;
      has_exponent = true;
      break;
    }
    return ioerr_bad_value;
  }

  int32_t expo = 0;
  if (has_exponent) {
    in.skip_blanks();
    if (in.end()) return ioerr_bad_value;
    int32_t sign = 1;
    if (in.c() == '-' || in.c() == '+') {
      sign = in.c() == '-' ? -1 : 1;
      ++in.p;
    }
    in.skip_blanks();
    if (in.end() || !is_digit(in.c())) return ioerr_bad_value;
    for (; !in.end(); ++in.p) {
      if (in.c() == ' ') continue;
      if (!is_digit(in.c())) return ioerr_bad_value;
      if (expo < 10000) expo = expo * 10 + (in.c() - '0');
    }
    if (expo >= 10000) return ioerr_bad_value;
    expo *= sign;
  }
  if (seen_dp && !dec_digit) {
    buf += '0';
  } else if (!int_digit && !dec_digit) {
    buf += '0';  // "E5" style: no mantissa digits at all reads as zero
  }
  const std::size_t mant_len = buf.size();
  if (expo != 0) {
    buf += 'e';
    buf += std::to_string(expo);
  }

  // Straight to float: a detour through double could round twice.
  float x = 0.0f;
  auto res = std::from_chars(buf.data(), buf.data() + buf.size(), x, std::chars_format::general);
  if (res.ec == std::errc::result_out_of_range) {
    const bool over = leading_exponent(std::string_view(buf).substr(0, mant_len), expo) > 0;
    x = over ? std::numeric_limits<float>::infinity() : 0.0f;
    if (neg) x = -x;
  } else if (res.ec != std::errc() || res.ptr != buf.data() + buf.size()) {
    return ioerr_bad_value;
  }
  v = x;
  return 0;
}

}  // namespace

int32_t read_int_field(std::string_view field, int32_t& v) {
  Cursor in{field};
  in.skip_blanks();
  if (in.end()) {
    v = 0;
    return 0;
  }
  bool neg = false;
  if (in.c() == '-' || in.c() == '+') {
    neg = in.c() == '-';
    ++in.p;
    in.skip_blanks();
    if (in.end()) return ioerr_bad_value;
  }
  const int64_t maxv = neg ? 2147483648LL : 2147483647LL;
  int64_t value = 0;
  for (; !in.end(); ++in.p) {
    const char ch = in.c();
    if (ch == ' ') continue;
    if (!is_digit(ch)) return ioerr_bad_value;
    value = value * 10 + (ch - '0');
    if (value > maxv) return ioerr_overflow;
  }
  v = static_cast<int32_t>(neg ? -value : value);
  return 0;
}

int32_t read_real_e_field(std::string_view field, float& v) { return read_real_field(field, v); }

int32_t read_real_f_field(std::string_view field, float& v) { return read_real_field(field, v); }

}  // namespace mv
