// Plain, loop-for-loop transcriptions of the Householder reduction and the QL
// iteration, kept as the yardstick for the shipped kernels: every fast path
// in src/spectra must reproduce these results bit for bit.
#pragma once
#include <cstdint>

namespace mv::reference {

// Same contracts as mv::tred3 and mv::tql3.
void tred3(float* a, int32_t nm, int32_t n, float* d, float* e);
void tql3(int32_t nm, int32_t n, float* d, float* e, float* z, int32_t& ierr);
// Same contracts as mv::mmult1 and mv::mmult2: the plain triple loops.
void mmult1(int32_t p, int32_t q, int32_t r, int32_t s, const float* x, const float* y, float* res);
void mmult2(int32_t p, int32_t q, int32_t r, int32_t s, const float* z, const float* a, float* res);
// Same contracts as mv::gs_coefficients and mv::gs_subtract: one sum at a time.
void gs_coefficients(const float* basis, int32_t n, const float* w, float* c, int32_t i0,
                     int32_t i1, int32_t k0, int32_t k1);
void gs_subtract(const float* basis, int32_t n, const float* c, int32_t count, float* w,
                 int32_t k0, int32_t k1);

}  // namespace mv::reference
