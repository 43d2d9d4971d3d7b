// The absorption spectrum of a large excited space from a Krylov subspace:
// for each initial state, Lanczos on the sparse excited Hamiltonian from the
// transition vector T|g>, and the Ritz values with their weights written as
// the same matrix block as the exact spectrum (KRYLOV n in the command file).
#pragma once
#include <cstdint>
#include <string_view>

namespace mv {

// Whether a triad with an excited dimension ne takes the Krylov path: KRYLOV n
// with n > 0 was given, ne > n, and the triad computes a plain absorption
// spectrum (no Auger decay, no RIXS map: those need the dense excited matrix).
bool krylov_spectrum_for(int32_t ne, bool auger_path, bool rixs_map);

// q: ground eigenvectors (ng x ng); op: row-index position of the sparse
// transition operator (ng x ne); hexc: that of the sparse excited Hamiltonian
// (ne x ne); eg: ground eigenvalues, ascending. Every ground state within
// spectr.window of the lowest is an initial state: its block holds at most
// spectr.krylov_steps lines, the Ritz values and amplitudes |T g|·y_k(1).
// Each block has min(n, ne) lines (lines beyond an invariant subspace that
// T|g> reaches carry amplitude 0), which is the return value. energies and
// amplitudes (ne cells each) return the lines of the last initial state.
// Nothing goes through the computed-matrix store.
int32_t spectr_krylov(const float* q, int32_t op, int32_t hexc, int32_t ng, int32_t ne,
                      float* energies, float* amplitudes, const float* eg,
                      std::string_view ground_label, std::string_view op_label,
                      std::string_view excited_label, int32_t dim1, int32_t dim2);

// amplitudes(k) = Σ_j Q(j, i)·T(j, k) for the column qi of Q (ng cells) and the
// sparse ng x ne operator at op, j ascending: the same sums as the dense
// product of the exact path, without forming the dense operator.
void project_sparse(const float* qi, int32_t op, int32_t ng, int32_t ne, float* amplitudes);

}  // namespace mv
