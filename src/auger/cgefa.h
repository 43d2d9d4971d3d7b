// Single-precision complex LU factorisation with partial pivoting and its
// solve, with the level-1 helpers they use. Complex numbers are interleaved
// (re, im) pairs of floats; matrices column-major with leading dimension lda;
// increments count complex elements. Arithmetic is written out in float.
#pragma once
#include <cstdint>

namespace mv {

// Factorises a (n x n) in place; ipvt(k) the pivot row of column k; info = 0,
// or the index of the last zero pivot (|Re| + |Im| = 0). The result is the
// column-by-column procedure's to the bit, with the pool's threads sharing
// the work (parallel/pool.h) and whatever vectors the processor offers.
void cgefa(float* a, int32_t lda, int32_t n, int32_t* ipvt, int32_t& info);
// Solves a*x = b (job = 0) or ctrans(a)*x = b (job != 0) with the factors of
// cgefa; b (n complex numbers) is overwritten by x.
void cgesl(const float* a, int32_t lda, int32_t n, const int32_t* ipvt, float* b, int32_t job);

// 1-based index of the element of largest |Re| + |Im| (the first on ties);
// 0 when n < 1 or incx <= 0.
int32_t icamax(int32_t n, const float* cx, int32_t incx);
// cx <- (ar + i ai) * cx.
void cscal(int32_t n, float ar, float ai, float* cx, int32_t incx);
// cy <- cy + (ar + i ai) * cx.
void caxpy(int32_t n, float ar, float ai, const float* cx, int32_t incx, float* cy, int32_t incy);
// (re, im) = sum conj(cx) * cy.
void cdotc(int32_t n, const float* cx, int32_t incx, const float* cy, int32_t incy, float& re,
           float& im);

}  // namespace mv
