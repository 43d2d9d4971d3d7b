// The two halves of a classical Gram–Schmidt pass against the vectors of a
// Krylov basis (vector i at basis + i·n), with the sums of the plain loops:
//   coefficients: c[i] += Σ q_i[k]·w[k], k ascending, one sum per vector;
//   subtract:     w[k] −= c[i]·q_i[k], for each element i ascending.
// Both take a range of elements [k0, k1), so that a caller can walk the basis
// block by block (ranges in ascending order continue each coefficient's sum
// exactly where it stopped) or share the elements among threads. Vector
// lanes only hold independent sums: a lane of `coefficients` is one vector's
// sum (the basis is read in square tiles turned on their side), a lane of
// `subtract` is one element. The bits are those of the scalar loops at every
// vector width.
#pragma once
#include <cstdint>

namespace mv {

// c[i] += Σ_{k0<=k<k1} q_i[k]·w[k] for i = i0..i1-1.
void gs_coefficients(const float* basis, int32_t n, const float* w, float* c, int32_t i0,
                     int32_t i1, int32_t k0, int32_t k1);

// w[k] := w[k] − Σ_{i<count} c[i]·q_i[k] for k = k0..k1-1, terms in ascending i.
void gs_subtract(const float* basis, int32_t n, const float* c, int32_t count, float* w,
                 int32_t k0, int32_t k1);

}  // namespace mv
