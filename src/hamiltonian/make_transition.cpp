#include <algorithm>

#include "hamiltonian/assembly.h"
#include "hamiltonian/sparse.h"
#include "workarray/heap.h"

namespace mv {

namespace {

// Calls pair(i, j, L, N) for every ground block start i (configuration L) and
// excited block start j (configuration N) that the operator couples: the
// pair's operator count is non-zero and both blocks have been reached through
// the same band levels, i.e. the same block counts of every configuration up
// to min(L, N). Only marker values 1..3 start a block.
template <class Pair>
void coupled_blocks(int32_t ng, int32_t ne, const int32_t* marker_g, const int32_t* marker_e,
                    const int32_t count[3][3], Pair&& pair) {
  int32_t cg[3] = {0, 0, 0};
  for (int32_t i = 1; i <= ng; ++i) {
    const int32_t l = marker_g[i - 1];
    if (l < 1 || l > 3) continue;
    cg[l - 1] = cg[l - 1] + 1;
    int32_t ce[3] = {0, 0, 0};
    for (int32_t j = 1; j <= ne; ++j) {
      const int32_t n = marker_e[j - 1];
      if (n < 1 || n > 3) continue;
      ce[n - 1] = ce[n - 1] + 1;
      if (count[l - 1][n - 1] == 0) continue;
      bool same = cg[0] == ce[0];
      if (l > 1 && n > 1) same = same && cg[1] == ce[1];
      if (l > 2 && n > 2) same = same && cg[2] == ce[2];
      if (!same) continue;
      pair(i, j, l, n);
    }
  }
}

}  // namespace

void make_transition(int32_t& op, float dip, int32_t ng, int32_t ne, const int32_t* marker_g,
                     const int32_t* marker_e, const int32_t count[3][3], const int32_t t[3][3],
                     const int32_t mg[3], const int32_t me[3]) {
  for (int32_t l = 1; l <= 3; ++l) {
    for (int32_t n = 1; n <= 3; ++n) indx.pos[3 * (l - 1) + n - 1] = t[l - 1][n - 1];
  }

  // Counted first, so that an oversized list stops the run before a term is
  // written past the end of the add list.
  int64_t total = 0;
  coupled_blocks(ng, ne, marker_g, marker_e, count,
                 [&](int32_t, int32_t, int32_t, int32_t) { ++total; });
  check(static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX)), max_add, "MAX_ADD", 0);

  int32_t q = 0;
  coupled_blocks(ng, ne, marker_g, marker_e, count,
                 [&](int32_t i, int32_t j, int32_t l, int32_t n) {
                   ibuild.mat[q] = 3 * (l - 1) + n;
                   ibuild.row0[q] = i;
                   ibuild.col0[q] = j;
                   ibuild.nrow[q] = mg[l - 1];
                   ibuild.ncol[q] = me[n - 1];
                   ibuild.factor[q] = dip;
                   ibuild.shift[q] = 0.0f;
                   ++q;
                 });
  sp_build(op, q, ng, ne, 0);
}

}  // namespace mv
