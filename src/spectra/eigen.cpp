#include "spectra/eigen.h"

#include <algorithm>
#include <cstddef>

#include "io/format.h"
#include "spectra/tql3.h"
#include "spectra/transform.h"
#include "spectra/tred3.h"
#include "workarray/heap.h"

namespace mv {

namespace {

// Rightmost column u >= e with H(e, u) != 0, or e - 1 when there is none.
int32_t reach(const float* h, int32_t lda, int32_t n, int32_t e) {
  const float* row = h + (e - 1);
  for (int32_t u = n; u >= e; --u) {
    if (row[static_cast<std::ptrdiff_t>(u - 1) * lda] != 0.0f) return u;
  }
  return e - 1;
}

void diagonalise_block(int32_t block, std::string_view label, float* h, int32_t lda,
                       float* eigenvalues, float* v, int32_t ldv, int32_t nstart, int32_t nlast) {
  list_write(6, " eigen2 called for block: ", "nstart=", nstart, " nlast=", nlast);
  const int32_t m = nlast - nstart + 1;
  float* hb = h + (nstart - 1) + static_cast<std::ptrdiff_t>(nstart - 1) * lda;
  float* wb = eigenvalues + (nstart - 1);
  float* vb = v + static_cast<std::ptrdiff_t>(nstart - 1) * ldv;
  int32_t work = 0;
  alloc("eigen work", m, work);
  tred3(hb, lda, m, wb, rh(work));
  eigen2(block, label, hb, lda, m, wb, vb, ldv, rh(work));
  dealloc("eigen work", m, work);
}

}  // namespace

void eigen(std::string_view label, float* h, int32_t lda, int32_t n, float* eigenvalues, float* v,
           int32_t ldv) {
  int32_t nstart = 1;
  int32_t nlast = 1;
  int32_t block = 0;
  for (int32_t e = 1; e <= n; ++e) {
    nlast = std::max(nlast, reach(h, lda, n, e));
    if (nlast != e) continue;
    diagonalise_block(++block, label, h, lda, eigenvalues, v, ldv, nstart, nlast);
    nstart = nlast + 1;
  }
  // Trailing rows that are entirely zero never close their block themselves.
  if (nstart <= n) diagonalise_block(++block, label, h, lda, eigenvalues, v, ldv, nstart, n);
}

void eigen2(int32_t block, std::string_view label, float* a, int32_t lda, int32_t n, float* w,
            float* z, int32_t ldz, float* work) {
  (void)block;
  (void)label;
  transform_ket(ldz, ldz, n, lda, z, a);
  int32_t ierr = 0;
  tql3(ldz, n, w, work, z, ierr);
  if (ierr != 0) report_no_convergence(ierr);
}

}  // namespace mv
