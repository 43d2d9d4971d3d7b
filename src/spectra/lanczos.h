// Lanczos tridiagonalisation of a sparse symmetric matrix from one start
// vector, with full reorthogonalisation, and the spectrum of the start vector
// that the tridiagonal matrix gives (Ritz values and weights).
//
// For a start vector v and m steps the Krylov basis q_1 = v/|v|, q_2, ..., q_m
// spans {v, Hv, ..., H^(m-1) v}, and T_m = Qᵀ H Q is tridiagonal. Its
// eigenvalues θ_k (Ritz values) with the first components y_k(1) of its
// eigenvectors give the spectrum Σ_k (|v| y_k(1))² δ(E − θ_k), whose moments
// Σ_k (|v| y_k(1))² θ_k^p equal vᵀ H^p v for p = 0 .. 2m−1 (Golub & Meurant,
// "Matrices, Moments and Quadrature"); with m equal to the dimension (or an
// invariant subspace reached) it is the exact spectrum.
#pragma once
#include <cstdint>

namespace mv {

// The tridiagonal matrix of a Lanczos run: alpha[0..m-1] on the diagonal,
// beta[0..m-2] below it; norm = |v| of the start vector. The first `reached`
// basis vectors span the Krylov space of v; beyond an invariant subspace
// (reached < m) the run went on uncoupled, in a part of the space that v has
// no weight on.
struct lanczos_result {
  int32_t m = 0;
  int32_t reached = 0;
  float norm = 0.0f;
};

// y = H x for the n x n sparse row matrix at row-index position h (every
// stored element of a row, in ascending column order, summed from 0). Rows
// are shared among the threads; each row's sum is the same for any count.
void sparse_times(int32_t h, int32_t n, const float* x, float* y);

// Cells of the basis that lanczos() needs for at most `steps` steps on a space
// of dimension n: min(steps, n) + 1 vectors of n cells.
int64_t lanczos_basis_cells(int32_t steps, int32_t n);

// At most `steps` Lanczos steps on the n x n symmetric sparse matrix at h from
// the start vector v (n cells). basis holds lanczos_basis_cells(steps, n)
// cells (vector j at basis + j·n); alpha and beta hold `steps` cells each.
// Every new vector is orthogonalised against all earlier ones twice
// (classical Gram–Schmidt repeated), so that no Ritz value appears twice as a
// ghost in 4-byte arithmetic. A residual norm below 2⁻²³·64 times the largest
// |alpha| + beta seen marks an invariant subspace (the rest of the space is
// not reached from v; v = 0 reaches nothing): that beta becomes 0 and the run
// goes on from a fixed pseudo-random vector orthogonal to the basis, so that
// m = min(steps, n) whatever v is, and the lines beyond carry amplitude 0.
// Cost of step j: one sparse product and 8·j·n flops of reorthogonalisation
// (two passes), so 4·m²·n for the run.
lanczos_result lanczos(int32_t h, int32_t n, const float* v, int32_t steps, float* basis,
                       float* alpha, float* beta);

// The spectrum of the run: energies[0..m-1] the Ritz values, ascending, and
// amplitudes[0..m-1] = norm · (first component of each eigenvector of the
// tridiagonal matrix), signed; the QL iteration tql3 carries the single row
// e_1ᵀ. alpha and beta are destroyed. Nothing is written for m = 0.
void ritz_spectrum(const lanczos_result& r, float* alpha, float* beta, float* energies,
                   float* amplitudes);

}  // namespace mv
