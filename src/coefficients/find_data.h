// The computed-matrix store: a look-up-or-compute cache of diagonalisations and
// tridiagonal reductions, keyed by (state number, 20-character symmetry label),
// kept as unformatted records on unit 98 with an index held in memory only.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace mv {

inline constexpr int32_t maxix = 100;
inline constexpr int32_t store_unit = 98;

// Record i of the index describes record i of the file; a state number of 0
// marks a record removed between blocks (never found, still in the file).
struct store_index_block {
  int32_t count = 0;
  int32_t state[maxix] = {};
};
extern store_index_block store_index;

struct store_ir_index_block {
  std::string label[maxix];
};
extern store_ir_index_block store_ir_index;

using compute_routine = void (*)(float* a, int32_t p2, int32_t p3, float* v1, float* v2);

// On return a (n x n within leading dimension lda), v1 and v2 (n each) hold the
// result of routine(a, lda, n, v1, v2), computed now or read back from unit 98.
void find_data(int32_t state, std::string_view label, compute_routine routine, float* a,
               int32_t lda, int32_t n, float* v1, float* v2);

}  // namespace mv
