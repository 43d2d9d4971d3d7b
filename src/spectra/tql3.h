// The implicit-shift QL iteration on a symmetric tridiagonal matrix, carrying
// the rotations into the rows of a matrix z.
#pragma once
#include <cstdint>

namespace mv {

// d(1..n): diagonal in, eigenvalues out (ascending); e(2..n): sub-diagonal in,
// destroyed. Rows 1..nm of z (leading dimension nm, n columns) are multiplied
// by the eigenvector matrix. ierr = 0, or the index l of the eigenvalue that did
// not converge in 30 iterations (d and z then as they stand, unsorted). n = 1
// returns at once; n = 0 leaves d, e and z untouched.
void tql3(int32_t nm, int32_t n, float* d, float* e, float* z, int32_t& ierr);

// The same iteration carrying only rows 1..rows of z (rows <= nm).
void tql3_rows(int32_t nm, int32_t rows, int32_t n, float* d, float* e, float* z, int32_t& ierr);

// The free-format line with which a caller that goes on reports ierr != 0.
void report_no_convergence(int32_t ierr);

}  // namespace mv
