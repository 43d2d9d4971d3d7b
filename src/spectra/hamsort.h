// Reordering of basis states: a stable sort of the states by a key, moving the
// amplitude columns and the Hamiltonian's rows and columns with them.
#pragma once
#include <cstdint>

namespace mv {

// code(f) becomes the key f + nof·code(f), f = 1..nof; the states are then
// sorted by ascending key (selection sort), each exchange moving columns of T
// (p x nof, leading dimension p) and rows and columns of H (nof x nof).
void hamsort(int32_t p, int32_t nof, float* t, float* h, int32_t* code);

// Exchanges columns i and j of T (p rows, leading dimension p).
void swap1d(int32_t i, int32_t j, int32_t p, int32_t nof, float* t);

// Exchanges rows i and j, then columns i and j, of H (nof x nof).
void swap2d(int32_t i, int32_t j, int32_t nof, float* h);

}  // namespace mv
