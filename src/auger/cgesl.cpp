// Solve with the factors of cgefa: a*x = b (job = 0) or ctrans(a)*x = b.
// Needs the factors and pivots of cgefa; cost 8n^2 real flops per right-hand
// side, one pass over the factors.
// Algorithm: LINPACK CGESL; the column sweeps go through the vectorised caxpy.
#include "auger/cgefa.h"
#include "auger/cplx.h"

namespace mv {

using namespace lu;

void cgesl(const float* a, int32_t lda, int32_t n, const int32_t* ipvt, float* b, int32_t job) {
  auto col = [&](int32_t j) { return a + 2 * std::ptrdiff_t(j - 1) * lda; };
  if (job == 0) {
    // L*y = b: the recorded interchanges and multipliers, column by column.
    for (int32_t k = 1; k <= n - 1; ++k) {
      const int32_t l = ipvt[k - 1];
      const cplx t = get(b, l - 1);
      if (l != k) {
        put(b, l - 1, get(b, k - 1));
        put(b, k - 1, t);
      }
      caxpy(n - k, t.re, t.im, col(k) + 2 * k, 1, b + 2 * k, 1);
    }
    // U*x = y.
    for (int32_t k = n; k >= 1; --k) {
      const cplx xk = div(get(b, k - 1), get(col(k), k - 1));
      put(b, k - 1, xk);
      const cplx t = neg(xk);
      caxpy(k - 1, t.re, t.im, col(k), 1, b, 1);
    }
    return;
  }
  // ctrans(U)*y = b.
  for (int32_t k = 1; k <= n; ++k) {
    cplx t{};
    cdotc(k - 1, col(k), 1, b, 1, t.re, t.im);
    const cplx bk = get(b, k - 1);
    put(b, k - 1, div({bk.re - t.re, bk.im - t.im}, conj(get(col(k), k - 1))));
  }
  // ctrans(L)*x = y.
  for (int32_t k = n - 1; k >= 1; --k) {
    cplx t{};
    cdotc(n - k, col(k) + 2 * k, 1, b + 2 * k, 1, t.re, t.im);
    const cplx bk = get(b, k - 1);
    put(b, k - 1, {bk.re + t.re, bk.im + t.im});
    const int32_t l = ipvt[k - 1];
    if (l == k) continue;
    const cplx s = get(b, l - 1);
    put(b, l - 1, get(b, k - 1));
    put(b, k - 1, s);
  }
}

}  // namespace mv
