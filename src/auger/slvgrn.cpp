// Solves G*X = R in single-precision complex for the Auger amplitudes.
// Needs G of order n non-singular (guaranteed for gamma > 0); cost one LU (~8n^3/3
// flops) shared by all m right-hand sides, plus 8n^2 flops per side.
// Algorithm: partial-pivoting LU (cgefa/cgesl) on interleaved copies in the work array.
#include "auger/slvgrn.h"

#include <cstddef>

#include "auger/cgefa.h"
#include "io/format.h"
#include "support/runsupport.h"
#include "workarray/heap.h"

namespace mv {

void real_to_complex(const float* s, float* c, int32_t n) {
  for (int32_t j = 0; j < n; ++j) {
    c[2 * j] = s[j];
    c[2 * j + 1] = s[j + n];
  }
}

void complex_to_real(const float* c, float* s, int32_t n) {
  for (int32_t j = 0; j < n; ++j) {
    s[j] = c[2 * j];
    s[j + n] = c[2 * j + 1];
  }
}

namespace {

// cgefa, then cgesl for every right-hand side unless a pivot is zero.
int32_t factor_and_solve(float* a, int32_t n, float* b, int32_t m, int32_t* ipvt) {
  int32_t info = 0;
  cgefa(a, n, n, ipvt, info);
  if (info != 0) return info;
  for (int32_t j = 0; j < m; ++j) cgesl(a, n, n, ipvt, b + 2 * std::ptrdiff_t(j) * n, 0);
  return 0;
}

[[noreturn]] void singular(int32_t n) {
  list_write(6, "matrix was singular ", n);
  quitprog("Error in subroutine solve_equations");
}

}  // namespace

void solve_equations(float* a, int32_t n, float* b, int32_t m, int32_t* ipvt) {
  if (factor_and_solve(a, n, b, m, ipvt) != 0) singular(n);
}

int32_t solve_green(int32_t n, int32_t m, const float* g, float* r, green_scratch& scratch) {
  if (n == 0) return 0;
  scratch.rhs.resize(2 * std::size_t(n) * m);
  scratch.matrix.resize(2 * std::size_t(n) * n);
  scratch.pivots.resize(n);
  real_to_complex(r, scratch.rhs.data(), n * m);
  real_to_complex(g, scratch.matrix.data(), n * n);
  const int32_t info =
      factor_and_solve(scratch.matrix.data(), n, scratch.rhs.data(), m, scratch.pivots.data());
  if (info == 0) complex_to_real(scratch.rhs.data(), r, n * m);
  return info;
}

void slvgrn_work_array(int32_t n, int32_t m, int32_t info) {
  if (n == 0) return;
  int32_t mark = 0, amg = 0, aga = 0, work = 0;
  alloc("slvgrn", 0, mark);
  alloc("slvgrn  aMg ", 2 * n * m, amg);
  alloc("slvgrn  aGa ", 2 * n * n, aga);
  alloc("slvgrn  work", n, work);
  if (info != 0) singular(n);
  cut_heap("slvgrn", mark);
}

void slvgrn(int32_t n, int32_t m, const float* g, float* r) {
  if (n == 0) return;
  int32_t mark = 0;
  int32_t amg = 0;
  int32_t aga = 0;
  int32_t work = 0;
  alloc("slvgrn", 0, mark);
  alloc("slvgrn  aMg ", 2 * n * m, amg);
  alloc("slvgrn  aGa ", 2 * n * n, aga);
  alloc("slvgrn  work", n, work);

  real_to_complex(r, rh(amg), n * m);
  real_to_complex(g, rh(aga), n * n);
  solve_equations(rh(aga), n, rh(amg), m, ih(work));
  complex_to_real(rh(amg), r, n * m);

  cut_heap("slvgrn", mark);
}

}  // namespace mv
