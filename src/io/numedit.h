// Number editing for input fields, as the READ statements of the command
// language use it: (BN,I20), (BN,E20.0) and (BN,F20.0). Blanks are ignored.
// Each routine returns 0, or a positive input-error code (the value is then
// left unchanged by the routine; callers preset it).
#pragma once
#include <cstdint>
#include <string_view>

namespace mv {

inline constexpr int32_t ioerr_bad_value = 5010;  // not a number of that kind
inline constexpr int32_t ioerr_overflow = 5011;   // integer out of 4-byte range
// Not an editing error: the command reader's code for a real that reads as
// NaN or infinite (inf, nan, or beyond the 4-byte range), which Fortran
// accepts but no parameter of a model can be.
inline constexpr int32_t ioerr_not_finite = 5012;

int32_t read_int_field(std::string_view field, int32_t& v);      // (BN,Iw)
int32_t read_real_e_field(std::string_view field, float& v);     // (BN,Ew.0)
int32_t read_real_f_field(std::string_view field, float& v);     // (BN,Fw.0)

}  // namespace mv
