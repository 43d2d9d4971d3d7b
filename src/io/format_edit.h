// Output editing of one value into one field, with the rules gfortran 12
// applies: digits correctly rounded from the exact binary value (ties to
// even), the optional leading zero of values below 1 written only where the
// field has room, w asterisks when the value does not fit, Inf and NaN
// spelled as the runtime spells them. Each routine appends exactly w
// characters to `out` (w = 0: the shortest field that holds the value).
#pragma once
#include <cstdint>
#include <string>

namespace mv {

// Iw.m (m < 0: no minimum digit count).
void edit_int(std::string& out, int32_t v, int32_t w, int32_t m = -1);

// Fw.d under scale factor k (the value printed is x * 10**k).
void edit_fixed(std::string& out, float x, int32_t w, int32_t d, int32_t k = 0);

// Ew.d (e > 0: Ew.dEe) under scale factor k.
void edit_exp(std::string& out, float x, int32_t w, int32_t d, int32_t e = -1, int32_t k = 0);

// Gw.d (e > 0: Gw.dEe) under scale factor k, which only the E form uses.
void edit_general(std::string& out, float x, int32_t w, int32_t d, int32_t e = -1, int32_t k = 0);

// Aw (w < 0: the whole text); a longer text is cut to its first w
// characters, a shorter one right-aligned.
void edit_text(std::string& out, std::string_view t, int32_t w);

}  // namespace mv
