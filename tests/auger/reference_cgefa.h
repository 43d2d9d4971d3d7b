// Plain transcriptions of the complex LU routines, with the contracts of
// auger/cgefa.h: the yardstick the shipped kernels are held to.
#pragma once
#include <cstdint>

namespace mv::reference {

void cgefa(float* a, int32_t lda, int32_t n, int32_t* ipvt, int32_t& info);
void cgesl(const float* a, int32_t lda, int32_t n, const int32_t* ipvt, float* b, int32_t job);
int32_t icamax(int32_t n, const float* cx, int32_t incx);
void cscal(int32_t n, float ar, float ai, float* cx, int32_t incx);
void caxpy(int32_t n, float ar, float ai, const float* cx, int32_t incx, float* cy, int32_t incy);
void cdotc(int32_t n, const float* cx, int32_t incx, const float* cy, int32_t incy, float& re,
           float& im);

}  // namespace mv::reference
