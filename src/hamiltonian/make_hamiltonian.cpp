#include <algorithm>
#include <cmath>
#include <vector>

#include "hamiltonian/assembly.h"
#include "hamiltonian/band.h"
#include "hamiltonian/sparse.h"
#include "workarray/heap.h"

namespace mv {

namespace {

// Matrix ids of the blocks in indx while a Hamiltonian is assembled.
enum : int32_t { id_h1 = 1, id_h2 = 2, id_h3 = 3, id_v12 = 4, id_v23 = 5 };

void add_term(int32_t& q, int32_t mat, int32_t row0, int32_t col0, int32_t nrow, int32_t ncol,
              float factor, float shift) {
  ibuild.mat[q] = mat;
  ibuild.row0[q] = row0;
  ibuild.col0[q] = col0;
  ibuild.nrow[q] = nrow;
  ibuild.ncol[q] = ncol;
  ibuild.factor[q] = factor;
  ibuild.shift[q] = shift;
  ++q;
}

// a / sqrt(d) with the root and the division in double, rounded once.
float over_root(float a, int32_t d) {
  return static_cast<float>(static_cast<double>(a) / std::sqrt(static_cast<double>(d)));
}

// A block of zero states starts where the next block does, possibly one past
// the basis; its marker is then overwritten or has no state to sit on.
void mark(int32_t* marker, int32_t dim, int32_t pos, int32_t conf) {
  if (pos >= 1 && pos <= dim) marker[pos - 1] = conf;
}

int32_t term_count(int32_t n2, int32_t n3, int32_t k) {
  int64_t q = 1;
  if (k > 1) q += 2 * int64_t(n2);
  if (k > 2) q += 2 * int64_t(n2) * int64_t(n3);
  return static_cast<int32_t>(std::min<int64_t>(q, INT32_MAX));
}

}  // namespace

void make_hamiltonian(int32_t& ham, int32_t dim, const int32_t h[3], const int32_t m[3], int32_t n2,
                      int32_t n3, const float e[3], int32_t d, int32_t v12, int32_t v23,
                      int32_t* marker, float w, int32_t k) {
  izero(marker, dim);
  std::vector<float> x2(static_cast<std::size_t>(std::max(n2, 1)));
  std::vector<float> h2(x2.size());
  std::vector<float> x3(static_cast<std::size_t>(std::max(n3, 1)));
  std::vector<float> h3(x3.size());
  const float lower = -w / 2.0f;
  const float upper = w / 2.0f;
  if (k > 1) gausslegendre(lower, upper, x2.data(), h2.data(), n2);
  if (k > 2) gausslegendre(lower, upper, x3.data(), h3.data(), n3);

  indx.pos[id_h1 - 1] = h[0];
  indx.pos[id_h2 - 1] = h[1];
  indx.pos[id_h3 - 1] = h[2];
  indx.pos[id_v12 - 1] = v12;
  indx.pos[id_v23 - 1] = v23;

  const int32_t nterms = term_count(n2, n3, k);
  check(nterms, max_add, "MAX_ADD", 0);

  const float s = over_root(1.0f, d);
  const float e1 = e[0];
  int32_t q = 0;
  add_term(q, id_h1, 1, 1, m[0], m[0], s, e1);
  mark(marker, dim, 1, 1);
  int32_t r = 1 + m[0];
  for (int32_t k2 = 1; k > 1 && k2 <= n2; ++k2) {
    const int32_t b2 = r;
    r = r + m[1];
    mark(marker, dim, b2, 2);
    const float e2 = e[1] + e1 - e[0] + x2[k2 - 1];
    add_term(q, id_h2, b2, b2, m[1], m[1], s, e2);
    add_term(q, id_v12, 1, b2, m[0], m[1], over_root(h2[k2 - 1], d), 0.0f);
    for (int32_t k3 = 1; k > 2 && k3 <= n3; ++k3) {
      const int32_t b3 = r;
      r = r + m[2];
      mark(marker, dim, b3, 3);
      const float e3 = e[2] + e2 - e[1] + x3[k3 - 1];
      add_term(q, id_h3, b3, b3, m[2], m[2], s, e3);
      add_term(q, id_v23, b2, b3, m[1], m[2], over_root(h3[k3 - 1], d), 0.0f);
    }
  }
  sp_build(ham, q, dim, dim, 1);
}

}  // namespace mv
