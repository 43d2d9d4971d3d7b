// Formatted records driven by Fortran FORMAT strings, and the free-format
// (list-directed) line. FORMAT strings are written in the code exactly as the
// record layouts define them and interpreted here; parsed formats are cached.
//
// Descriptors: A, Aw, Iw, Fw.d, Ew.d, Gw.d, Gw.dEe, kP scale factor, nX, Tn,
// TLn, TRn, '/', ':', quoted literals ('..' and ".."), repeat counts, nested
// groups, format reversion to the last top-level group, w asterisks when a
// value does not fit. Numbers are converted exactly (correctly rounded from
// the binary value, ties to even) with the rules gfortran 12 applies.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mv {

// One output item: a 4-byte integer, a 4-byte real or a text.
struct FmtItem {
  enum Kind { Int, Real, Text } kind;
  int32_t i = 0;
  float r = 0.0f;
  std::string_view t;
};

inline FmtItem fmt_item(int32_t v) { return {FmtItem::Int, v, 0.0f, {}}; }
inline FmtItem fmt_item(float v) { return {FmtItem::Real, 0, v, {}}; }
inline FmtItem fmt_item(std::string_view v) { return {FmtItem::Text, 0, 0.0f, v}; }
inline FmtItem fmt_item(const char* v) { return fmt_item(std::string_view(v)); }
inline FmtItem fmt_item(const std::string& v) { return fmt_item(std::string_view(v)); }
inline FmtItem fmt_item(const FmtItem& v) { return v; }
FmtItem fmt_item(double) = delete;  // every real of the system is 4-byte
FmtItem fmt_item(int64_t) = delete;
FmtItem fmt_item(uint64_t) = delete;

// The records (without line ends) that a WRITE with this format produces.
std::vector<std::string> format_records(std::string_view fmt, std::span<const FmtItem> items);

// WRITE(unit, fmt) items: each record goes to the unit.
void write_items(int32_t unit, std::string_view fmt, std::span<const FmtItem> items);

template <class... A>
void write(int32_t unit, std::string_view fmt, const A&... a) {
  if constexpr (sizeof...(A) == 0) {
    write_items(unit, fmt, {});
  } else {
    const FmtItem items[] = {fmt_item(a)...};
    write_items(unit, fmt, items);
  }
}

// Internal WRITE into a text: the first record.
template <class... A>
std::string internal_write(std::string_view fmt, const A&... a) {
  std::vector<FmtItem> items = {fmt_item(a)...};
  std::vector<std::string> r = format_records(fmt, items);
  return r.empty() ? std::string() : r.front();
}

// Free-format line: one blank opens the line; a text that follows a text is
// joined to it directly, every other item is preceded by one blank; integers
// right-aligned in 11 columns, reals as 1PG15.8E2.
std::string list_line(std::span<const FmtItem> items);
void list_write_items(int32_t unit, std::span<const FmtItem> items);

template <class... A>
void list_write(int32_t unit, const A&... a) {
  if constexpr (sizeof...(A) == 0) {
    list_write_items(unit, {});
  } else {
    const FmtItem items[] = {fmt_item(a)...};
    list_write_items(unit, items);
  }
}

}  // namespace mv
