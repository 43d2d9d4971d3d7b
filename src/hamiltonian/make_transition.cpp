#include <algorithm>
#include <vector>

#include "hamiltonian/assembly.h"
#include "hamiltonian/sparse.h"
#include "workarray/heap.h"

namespace mv {

namespace {

// One block of a basis: its first row, its configuration and the band levels
// it holds (k2 for configurations 2 and 3, k3 for configuration 3).
struct BasisBlock {
  int32_t start, conf, k2, k3;
};

// The blocks of a basis of k configurations with multiplicities m, laid out
// depth first as make_hamiltonian lays them out. Empty blocks (a symmetry
// absent from a configuration) are left out: they have no rows, and their
// configuration markers are overwritten by the next block's, so the walk
// must not rely on the markers to find the band levels of a block.
std::vector<BasisBlock> basis_blocks(int32_t k, const int32_t m[3], int32_t n2, int32_t n3) {
  std::vector<BasisBlock> out;
  if (m[0] > 0) out.push_back({1, 1, 0, 0});
  int32_t next = 1 + m[0];
  for (int32_t a = 1; k > 1 && a <= n2; ++a) {
    if (m[1] > 0) out.push_back({next, 2, a, 0});
    next += m[1];
    for (int32_t b = 1; k > 2 && b <= n3; ++b) {
      if (m[2] > 0) out.push_back({next, 3, a, b});
      next += m[2];
    }
  }
  return out;
}

// Calls pair(i, j, L, N) for every ground block start i (configuration L) and
// excited block start j (configuration N) that the operator couples: the
// pair's operator count is non-zero and both blocks hold the same band levels
// in the configurations they share (k2 when both hold a band electron, k3 as
// well when both hold two). Ground blocks in row order, excited blocks in
// column order, which is the order of the terms and so of the additions.
template <class Pair>
void coupled_blocks(const std::vector<BasisBlock>& ground, const std::vector<BasisBlock>& excited,
                    const int32_t count[3][3], Pair&& pair) {
  for (const BasisBlock& g : ground) {
    for (const BasisBlock& e : excited) {
      if (count[g.conf - 1][e.conf - 1] == 0) continue;
      const int32_t shared = std::min(g.conf, e.conf);
      if (shared >= 2 && g.k2 != e.k2) continue;
      if (shared >= 3 && g.k3 != e.k3) continue;
      pair(g.start, e.start, g.conf, e.conf);
    }
  }
}

}  // namespace

void make_transition(int32_t& op, float dip, int32_t ng, int32_t ne, int32_t kg, int32_t ke,
                     int32_t n2, int32_t n3, const int32_t count[3][3], const int32_t t[3][3],
                     const int32_t mg[3], const int32_t me[3]) {
  for (int32_t l = 1; l <= 3; ++l) {
    for (int32_t n = 1; n <= 3; ++n) indx.pos[3 * (l - 1) + n - 1] = t[l - 1][n - 1];
  }

  // Counted first, so that an oversized list stops the run before a term is
  // written past the end of the add list.
  const std::vector<BasisBlock> ground = basis_blocks(kg, mg, n2, n3);
  const std::vector<BasisBlock> excited = basis_blocks(ke, me, n2, n3);
  int64_t total = 0;
  coupled_blocks(ground, excited, count,
                 [&](int32_t, int32_t, int32_t, int32_t) { ++total; });
  check(static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX)), max_add, "MAX_ADD", 0);

  int32_t q = 0;
  coupled_blocks(ground, excited, count,
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
