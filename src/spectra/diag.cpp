#include "spectra/diag.h"

#include "io/format.h"

namespace mv {

void dcsmaa(float* a, int32_t n, int32_t nm, float* d, float* e, int32_t& ierr) {
  tred3(a, nm, n, d, e);
  // Rows n+1..nm are padding of the caller's array, not part of the matrix:
  // the QL stage rotates the n rows of the eigenvectors only.
  tql3_rows(nm, n, n, d, e, a, ierr);
}

void diag(float* a, int32_t n, int32_t nm, float* d, float* e) {
  if (n == 0) return;
  write(6, "(2(A,I4))", " Matrix size=", n, "*", n);
  int32_t ierr = 0;
  dcsmaa(a, n, nm, d, e, ierr);
  if (ierr != 0) report_no_convergence(ierr);
}

}  // namespace mv
