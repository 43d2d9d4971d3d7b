// The complex linear solve of the Auger loop: G*X = R for the amplitudes on
// the intermediate states, one right-hand side per degenerate ground state.
#pragma once
#include <cstdint>
#include <vector>

namespace mv {

// g: n x n, r: n x m, both in split complex storage (all real parts, then all
// imaginary parts, column by column). On return r holds X; g is unchanged.
// Nothing happens when n = 0. A singular G stops the run.
void slvgrn(int32_t n, int32_t m, const float* g, float* r);

// c(j) = (s(j), s(j + n)), j = 1..n: split to interleaved complex.
void real_to_complex(const float* s, float* c, int32_t n);
// s(j) = Re c(j), s(j + n) = Im c(j), j = 1..n: interleaved to split.
void complex_to_real(const float* c, float* s, int32_t n);

// Factorises a (interleaved, n x n) in place and overwrites each of the m
// columns of b (interleaved, n x m) with its solution; ipvt: n integers.
void solve_equations(float* a, int32_t n, float* b, int32_t m, int32_t* ipvt);

// slvgrn's arithmetic without the work array and without stopping, for solves
// run side by side: the interleaved copies live in `scratch`. Returns 0, or
// cgefa's info for a singular G (r is then left as it was).
struct green_scratch {
  std::vector<float> rhs, matrix;
  std::vector<int32_t> pivots;
};
int32_t solve_green(int32_t n, int32_t m, const float* g, float* r, green_scratch& scratch);
// What slvgrn does to the work array and, for a singular G, to the run (the
// message and the stop), for a solve done by solve_green: afterwards both are
// as if slvgrn had been called.
void slvgrn_work_array(int32_t n, int32_t m, int32_t info);

}  // namespace mv
