// Discretisation of a band of width W into N levels: Gauss-Legendre nodes as
// level energies and hybridisation weights that carry the band shape, scaled
// so that their squares add up to 1.
#pragma once
#include <cstdint>

namespace mv {

// The band-shape polynomial of the block bandexpansion at x, with x1..x2
// mapped onto t = -1..+1.
float bandshape(float x, float x1, float x2);

// Nodes x[0..n-1] (ascending) and normalised weights v[0..n-1] on [x1, x2];
// writes the "gausslegendre" report line on unit 6. x1 = x2 is allowed only
// for n = 1; otherwise, and for a band shape that gives no usable weights,
// the run stops through quitprog.
void gausslegendre(float x1, float x2, float* x, float* v, int32_t n);

}  // namespace mv
