// Solves G*X = R in single-precision complex for the Auger amplitudes.
// Needs G of order n non-singular (guaranteed for gamma > 0); cost one LU (~8n^3/3
// flops) shared by all m right-hand sides, plus 8n^2 flops per side.
// Algorithm: partial-pivoting LU (cgefa/cgesl) on interleaved copies in the work array.
#include "auger/slvgrn.h"

#include "auger/cgefa.h"
#include "support/runsupport.h"
#include "io/format.h"
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

void solve_equations(float* a, int32_t n, float* b, int32_t m, int32_t* ipvt) {
  int32_t info = 0;
  cgefa(a, n, n, ipvt, info);
  if (info != 0) {
    list_write(6, "matrix was singular ", n);
    quitprog("Error in subroutine solve_equations");
  }
  for (int32_t j = 0; j < m; ++j) cgesl(a, n, n, ipvt, b + 2 * j * n, 0);
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
