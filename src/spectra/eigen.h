// Block diagonalisation of a dense symmetric Hamiltonian, carrying a set of
// row vectors into its eigenbasis without forming the eigenvectors.
#pragma once
#include <cstdint>
#include <string_view>

namespace mv {

// H (n x n, leading dimension lda) is split into the diagonal blocks that its
// non-zero pattern at and right of the diagonal allows; each block is reduced
// and diagonalised. On return eigenvalues(1..n) hold the eigenvalues,
// ascending within each block, column k of V (ldv rows, leading dimension ldv)
// the components of the carried rows on eigenstate k, and H is destroyed.
void eigen(std::string_view label, float* h, int32_t lda, int32_t n, float* eigenvalues, float* v,
           int32_t ldv);

// The second half of a diagonalisation whose reduction is done: a (n x n,
// leading dimension lda) holds Q, w the diagonal, work the sub-diagonal (work(1)
// = 0). Z (ldz x n) becomes Z·Q·(eigenvectors of the tridiagonal matrix) and w
// the eigenvalues, ascending. block and label only name the call.
void eigen2(int32_t block, std::string_view label, float* a, int32_t lda, int32_t n, float* w,
            float* z, int32_t ldz, float* work);

}  // namespace mv
