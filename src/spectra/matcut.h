// Sub-matrix extraction: a checked, transposing block copy between dense
// matrices, and the cutting of the final-state Hamiltonian and amplitudes into
// their intermediate and continuum blocks.
#pragma once
#include <cstdint>

namespace mv {

// target(nofsyo + i, nofsxo + j) = source(nofsyi + j, nofsxi + i) for
// i < ndx, j < ndy; source nyi x nxi, target nyo x nxo (leading dimensions nyi,
// nyo). A zero nxo, nyo, ndx or ndy does nothing; a size, offset or extent out
// of range prints what is wrong and stops the run ("Error in subroutine MATCUT").
void matcut(int32_t nyi, int32_t nxi, int32_t nyo, int32_t nxo, int32_t nofsxi, int32_t nofsyi,
            int32_t nofsxo, int32_t nofsyo, int32_t ndx, int32_t ndy, const float* source,
            float* target);

// H (nof x nof, nof = noa + nob) and T (nog x nof) cut into Haa, Hbb, Hab (the
// blocks of H), Ta(a, g) = T(g, a) and Tb(b, g) = T(g, noa + b).
void genmat(int32_t nog, int32_t nof, const float* h, const float* t, int32_t noa, int32_t nob,
            float* haa, float* hbb, float* hab, float* ta, float* tb);

}  // namespace mv
