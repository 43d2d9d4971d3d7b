#include "spectra/hamsort.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace mv {

namespace {

inline float* column(float* m, int32_t j, int32_t ld) {
  return m + static_cast<std::ptrdiff_t>(j - 1) * ld;
}

}  // namespace

void swap1d(int32_t i, int32_t j, int32_t p, int32_t nof, float* t) {
  (void)nof;
  std::swap_ranges(column(t, i, p), column(t, i, p) + p, column(t, j, p));
}

void swap2d(int32_t i, int32_t j, int32_t nof, float* h) {
  for (int32_t k = 1; k <= nof; ++k) std::swap(column(h, k, nof)[i - 1], column(h, k, nof)[j - 1]);
  std::swap_ranges(column(h, i, nof), column(h, i, nof) + nof, column(h, j, nof));
}

void hamsort(int32_t p, int32_t nof, float* t, float* h, int32_t* code) {
  for (int32_t f = 1; f <= nof; ++f) code[f - 1] = f + nof * code[f - 1];
  for (int32_t i = 1; i < nof; ++i) {
    int32_t j = i;
    for (int32_t k = i + 1; k <= nof; ++k) {
      if (code[k - 1] < code[j - 1]) j = k;
    }
    if (j == i) continue;
    std::swap(code[i - 1], code[j - 1]);
    swap1d(i, j, p, nof, t);
    swap2d(i, j, nof, h);
  }
}

}  // namespace mv
