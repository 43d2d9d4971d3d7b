#include "io/format_edit.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

namespace mv {
namespace {

// Digits are produced by std::to_chars on the float widened to double: the
// double holds the float exactly, and to_chars with a precision is correctly
// rounded from that exact value with ties to even, as the C library's printf
// that the Fortran runtime relies on.
constexpr int32_t exact_fraction_digits = 149;  // 2**-149 needs that many

// Reusable character buffers: editing a big spectrum must not allocate per
// value. Slot 1 holds the raw digits while slot 0 holds the field's parts.
char* scratch(std::size_t n, int slot = 0) {
  thread_local std::string buf[2];
  if (buf[slot].size() < n) buf[slot].resize(n);
  return buf[slot].data();
}

void fill(std::string& out, int32_t w, char c) { out.append(static_cast<std::size_t>(w), c); }

void overflow(std::string& out, int32_t w) { fill(out, w, '*'); }

// Inf and NaN in a field of width w, as the runtime writes them: "Infinity"
// where there is room, else "Inf"; a negative infinity needs one more column.
void edit_infnan(std::string& out, float x, int32_t w) {
  const bool neg = std::signbit(x);
  if (std::isnan(x)) {
    if (w == 0) w = 3;
    if (w < 3) return overflow(out, w);
    fill(out, w - 3, ' ');
    out += "NaN";
    return;
  }
  if (w == 0) w = neg ? 4 : 3;
  if (w < 3 || (neg && w == 3)) return overflow(out, w);
  std::string_view word = w > (neg ? 8 : 7) ? "Infinity" : "Inf";
  const int32_t len = static_cast<int32_t>(word.size()) + (neg ? 1 : 0);
  fill(out, w - len, ' ');
  if (neg) out += '-';
  out += word;
}

// The assembled parts of a real field: sign, integer digits (empty when the
// integer part is zero), fraction digits and exponent text. The zero before
// the point is written only when the field has a spare column for it;
// when there are no fraction digits it is the only digit and always written.
void emit_real(std::string& out, int32_t w, bool neg, std::string_view ipart, std::string_view frac,
               std::string_view expo) {
  const bool need_zero = ipart.empty() && frac.empty();
  int32_t len = (neg ? 1 : 0) + static_cast<int32_t>(ipart.size() + 1 + frac.size() + expo.size()) +
                (need_zero ? 1 : 0);
  const bool opt_zero = ipart.empty() && !need_zero && w > 0 && len + 1 <= w;
  if (opt_zero) ++len;
  if (w == 0) w = len;
  if (len > w) return overflow(out, w);
  fill(out, w - len, ' ');
  if (neg) out += '-';
  if (need_zero || opt_zero) out += '0';
  out += ipart;
  out += '.';
  out += frac;
  out += expo;
}

// Fixed form under a scale factor: the exact decimal expansion is shifted by
// k places and rounded once (ties to even) to d decimals. Rare in practice,
// so plainness beats speed here.
void fixed_scaled(std::string& out, double v, bool neg, int32_t w, int32_t d, int32_t k) {
  const std::size_t cap = 48 + exact_fraction_digits;
  char* buf = scratch(cap);
  auto res = std::to_chars(buf, buf + cap, v, std::chars_format::fixed, exact_fraction_digits);
  std::string_view s(buf, static_cast<std::size_t>(res.ptr - buf));
  const std::size_t dot = s.find('.');
  std::string digits(s.substr(0, dot));
  digits += s.substr(dot + 1);
  int32_t point = static_cast<int32_t>(dot) + k;  // digits before the point after scaling
  if (point < 0) {
    digits.insert(0, static_cast<std::size_t>(-point), '0');
    point = 0;
  }
  const std::size_t keep = static_cast<std::size_t>(point + d);
  if (digits.size() < keep) digits.append(keep - digits.size(), '0');
  std::string kept = digits.substr(0, keep);
  const std::string_view rest = std::string_view(digits).substr(keep);
  bool up = false;
  if (!rest.empty() && rest[0] >= '5') {
    const bool tie = rest[0] == '5' && rest.find_first_not_of('0', 1) == std::string_view::npos;
    up = !tie || (!kept.empty() && (kept.back() - '0') % 2 == 1);
  }
  if (up) {
    std::size_t i = kept.size();
    while (i > 0 && kept[i - 1] == '9') kept[--i] = '0';
    if (i == 0) {
      kept.insert(0, 1, '1');
      ++point;
    } else {
      ++kept[i - 1];
    }
  }
  std::string_view ipart = std::string_view(kept).substr(0, static_cast<std::size_t>(point));
  const std::string_view frac = std::string_view(kept).substr(static_cast<std::size_t>(point));
  while (!ipart.empty() && ipart.front() == '0') ipart.remove_prefix(1);
  emit_real(out, w, neg, ipart, frac, {});
}

// nsig significant digits of v > 0 and the decimal exponent x of the first
// one (v ~ d.ddd * 10**x).
int32_t sci_digits(double v, int32_t nsig, char* digits) {
  const std::size_t cap = static_cast<std::size_t>(nsig) + 16;
  char* buf = scratch(cap, 1);
  auto res = std::to_chars(buf, buf + cap, v, std::chars_format::scientific, nsig - 1);
  const char* p = buf;
  int32_t n = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  int32_t x = 0;
  std::from_chars(p[1] == '+' ? p + 2 : p + 1, res.ptr, x);
  return x;
}

void append_uint(std::string& out, uint32_t v, int32_t min_digits) {
  char buf[16];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  const int32_t n = static_cast<int32_t>(res.ptr - buf);
  if (n < min_digits) fill(out, min_digits - n, '0');
  out.append(buf, res.ptr);
}

}  // namespace

void edit_int(std::string& out, int32_t v, int32_t w, int32_t m) {
  const bool neg = v < 0;
  const uint32_t mag = neg ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
  char buf[16];
  int32_t n = 0;
  if (!(mag == 0 && m == 0)) {
    n = static_cast<int32_t>(std::to_chars(buf, buf + sizeof buf, mag).ptr - buf);
  }
  const int32_t ndig = std::max(n, m);
  const int32_t len = ndig + (neg ? 1 : 0);
  if (w == 0) w = std::max(len, 1);
  if (len > w) return overflow(out, w);
  fill(out, w - len, ' ');
  if (neg) out += '-';
  fill(out, ndig - n, '0');
  out.append(buf, static_cast<std::size_t>(n));
}

void edit_fixed(std::string& out, float x, int32_t w, int32_t d, int32_t k) {
  if (!std::isfinite(x)) return edit_infnan(out, x, w);
  const bool neg = std::signbit(x);
  const double v = std::fabs(static_cast<double>(x));
  if (k != 0) return fixed_scaled(out, v, neg, w, d, k);
  const std::size_t cap = 48 + static_cast<std::size_t>(d);
  char* buf = scratch(cap);
  auto res = std::to_chars(buf, buf + cap, v, std::chars_format::fixed, d);
  std::string_view s(buf, static_cast<std::size_t>(res.ptr - buf));
  const std::size_t dot = s.find('.');
  std::string_view ipart = s.substr(0, dot);
  const std::string_view frac = dot == std::string_view::npos ? std::string_view() : s.substr(dot + 1);
  if (ipart == "0") ipart = {};
  emit_real(out, w, neg, ipart, frac, {});
}

void edit_exp(std::string& out, float x, int32_t w, int32_t d, int32_t e, int32_t k) {
  if (!std::isfinite(x)) return edit_infnan(out, x, w);
  // The runtime refuses a scale factor outside -d < k < d+2.
  if (k <= -d || k >= d + 2) return overflow(out, w);
  const bool neg = std::signbit(x);
  const double v = std::fabs(static_cast<double>(x));
  const int32_t nsig = k <= 0 ? d + k : d + 1;
  // Mantissa: k > 0 puts k digits before the point, k <= 0 puts -k zeros after it.
  const int32_t lead = k <= 0 ? -k : 0;
  char* buf = scratch(static_cast<std::size_t>(lead + nsig + 8));
  std::memset(buf, '0', static_cast<std::size_t>(lead));
  char* digits = buf + lead;
  int32_t expo = 0;
  if (v == 0.0) {
    std::memset(digits, '0', static_cast<std::size_t>(nsig));
  } else {
    expo = sci_digits(v, nsig, digits) + 1 - k;
  }
  const int32_t before = k > 0 ? k : 0;
  const std::string_view ipart(buf, static_cast<std::size_t>(before));
  const std::string_view frac(buf + before, static_cast<std::size_t>(lead + nsig - before));
  // Exponent: Ee gives e digits; otherwise two digits after E, and three
  // digits in place of the letter when the exponent exceeds 99.
  const uint32_t mag = static_cast<uint32_t>(std::abs(expo));
  const int32_t mag_digits = mag < 10 ? 1 : mag < 100 ? 2 : mag < 1000 ? 3 : 4;
  std::string etext;
  if (e > 0 ? mag_digits > e : mag_digits > 3) return overflow(out, w);
  if (e > 0 || mag_digits <= 2) etext += 'E';
  etext += expo < 0 ? '-' : '+';
  append_uint(etext, mag, e > 0 ? e : std::max(mag_digits, 2));
  emit_real(out, w, neg, ipart, frac, etext);
}

void edit_general(std::string& out, float x, int32_t w, int32_t d, int32_t e, int32_t k) {
  if (!std::isfinite(x)) return edit_infnan(out, x, w);
  const float m = std::fabs(x);
  // The F/E decision is made as the runtime makes it, in the arithmetic of
  // the value's own kind: a value just under a decade boundary that rounds
  // up to it at d digits already counts as the next decade.
  auto power10 = [](int32_t n) {
    float r = 1.0f;
    for (int32_t i = 0; i < std::abs(n); ++i) r *= 10.0f;
    return n >= 0 ? r : static_cast<float>(1.0 / static_cast<double>(r));
  };
  const float exp_d = power10(d);
  const float r = 0.5f;
  const float r_sc = 1.0f - r / exp_d;
  const float low_limit = static_cast<float>(0.1 * static_cast<double>(r_sc));
  if ((m > 0.0f && (m < low_limit || r >= exp_d - m)) || d == 0) {
    return edit_exp(out, x, w, d, e, k);
  }
  int32_t mid = 0, low = 0, high = d + 1, lbound = 0, ubound = d + 1;
  while (low <= high) {
    mid = (low + high) / 2;
    const float temp = power10(mid - 1) * r_sc;
    if (m < temp) {
      ubound = mid;
      if (ubound == lbound + 1) break;
      high = mid - 1;
    } else if (m > temp) {
      lbound = mid;
      if (ubound == lbound + 1) {
        ++mid;
        break;
      }
      low = mid + 1;
    } else {
      ++mid;
      break;
    }
  }
  int32_t npad = e <= 0 ? 4 : e + 2;
  if (npad >= w) npad = w - 1;
  const int32_t fd = m == 0.0f ? d - 1 : d + 1 - mid;
  const std::size_t start = out.size();
  edit_fixed(out, x, w - npad, fd, 0);
  if (out.size() > start && out[start] == '*') {
    out.resize(start);
    return overflow(out, w);
  }
  fill(out, npad, ' ');
}

void edit_text(std::string& out, std::string_view t, int32_t w) {
  if (w < 0) {
    out += t;
    return;
  }
  const std::size_t n = static_cast<std::size_t>(w);
  if (t.size() >= n) {
    out += t.substr(0, n);
    return;
  }
  fill(out, static_cast<int32_t>(n - t.size()), ' ');
  out += t;
}

}  // namespace mv
