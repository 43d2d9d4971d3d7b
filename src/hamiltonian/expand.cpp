#include <algorithm>
#include <cstddef>

#include "hamiltonian/sparse.h"
#include "workarray/heap.h"

namespace mv {

// expand: the dense n x m column-major array (leading dimension n) of the sparse
// row matrix at p. Needs room for n*m reals at dense. Cost: n*m cells cleared plus
// one assignment per stored element; each element is assigned, never added.
void expand(float* dense, int32_t p, int32_t n, int32_t m) {
  if (n > 0 && m > 0)
    std::fill_n(dense, static_cast<std::size_t>(n) * static_cast<std::size_t>(m), 0.0f);
  for (int32_t s = 1; s <= n; ++s) {
    const int32_t* t = ih(p) + 3 * (s - 1);
    expand_row(dense, n, m, s, rh(t[0]), ih(t[1]), t[2]);
  }
}

void expand_row(float* dense, int32_t n, int32_t m, int32_t s, const float* values,
                const int32_t* cols, int32_t k) {
  (void)m;
  const std::size_t ld = static_cast<std::size_t>(n);
  for (int32_t e = 0; e < k; ++e) {
    dense[static_cast<std::size_t>(s - 1) + ld * static_cast<std::size_t>(cols[e] - 1)] = values[e];
  }
}

}  // namespace mv
