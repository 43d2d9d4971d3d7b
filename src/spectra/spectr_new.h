// The absorption spectrum of a calculation without Auger decay: for every
// initial state, the signed transition amplitudes to the excited eigenstates,
// written by the matrix printer as one block of the spectrum file.
#pragma once
#include <cstdint>
#include <string_view>

namespace mv {

// q: ground eigenvectors (ng x ng); t: dense transition matrix (ng x ne);
// hexc: row-index position of the sparse excited Hamiltonian (ne x ne); eg: the
// ground eigenvalues, ascending. Every ground state within spectr.window of
// the lowest is an initial state. energies and amplitudes (ne each) return
// those of the last initial state; spare is not used. The excited label keys
// the tridiagonal reduction in the computed-matrix store.
void spectr_new(const float* q, const float* t, int32_t hexc, int32_t ng, int32_t ne,
                float* energies, float* spare, float* amplitudes, const float* eg,
                std::string_view ground_label, std::string_view op_label,
                std::string_view excited_label, int32_t dim1, int32_t dim2);

}  // namespace mv
