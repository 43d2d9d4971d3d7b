// Full diagonalisation of a dense real symmetric matrix: the Householder
// reduction followed by the QL iteration with eigenvectors.
#pragma once
#include <cstdint>

#include "spectra/tql3.h"
#include "spectra/tred3.h"

namespace mv {

// tred3 then tql3 on the n x n matrix a (leading dimension nm): d the
// eigenvalues (ascending), column k of a the eigenvector of d(k), e destroyed,
// ierr as tql3 returns it. Rows below n of a are not touched.
void dcsmaa(float* a, int32_t n, int32_t nm, float* d, float* e, int32_t& ierr);

// dcsmaa after the " Matrix size=" line; n = 0 does nothing. A QL iteration
// that does not converge is reported by one free-format line, and the result
// left as it stands. Its arguments match the computing routine that the
// computed-matrix store calls.
void diag(float* a, int32_t n, int32_t nm, float* d, float* e);

}  // namespace mv
