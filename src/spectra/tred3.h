// Householder reduction of a dense real symmetric matrix to tridiagonal form,
// with the orthogonal transformation accumulated in place.
#pragma once
#include <cstdint>

namespace mv {

// a: n x n within leading dimension nm (nm before n). Reads the lower triangle
// only. On return d(1..n) is the diagonal and e(2..n) the sub-diagonal of the
// tridiagonal T (e(1) = 0), and a holds Q with Qᵀ A Q = T. n < 1 does nothing.
// Its arguments match the computing routine that the computed-matrix store calls.
void tred3(float* a, int32_t nm, int32_t n, float* d, float* e);

}  // namespace mv
