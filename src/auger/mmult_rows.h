// The product loop of mmult: C(i,k) = sum_j A(i,j) B(j,k), i = 1..na,
// k = 1..ndeg, j = 1..nb in order, C cleared first.
#pragma once
#include <cstdint>

namespace mv {

// A: leading dimension na; B: leading dimension nb; C: na x ndeg. Rows of C
// are independent: they are computed eight (or four) at a time in vector
// lanes and shared among the threads, each element's sum in the order of j.
// Cost: 2 na nb ndeg flops.
void mmult_rows(int32_t na, int32_t nb, int32_t ndeg, float* c, const float* a, const float* b);

}  // namespace mv
