#include <cmath>

#include "support/runsupport.h"
#include "hamiltonian/assembly.h"
#include "hamiltonian/band.h"
#include "io/stop.h"
#include "sparse_testing.h"

namespace mv::testing {
namespace {

Dense zeros(int32_t n, int32_t m) {
  return Dense(static_cast<std::size_t>(n), std::vector<float>(static_cast<std::size_t>(m), 0.0f));
}

// A block of the basis: configuration, band levels and first state.
struct Block {
  int32_t conf, k2, k3, start;
};

// The basis laid out depth first, written out independently of the code.
std::vector<Block> basis(int32_t k, const int32_t m[3], int32_t n2, int32_t n3) {
  std::vector<Block> out{{1, 0, 0, 1}};
  int32_t next = 1 + m[0];
  for (int32_t a = 1; k > 1 && a <= n2; ++a) {
    out.push_back({2, a, 0, next});
    next += m[1];
    for (int32_t b = 1; k > 2 && b <= n3; ++b) {
      out.push_back({3, a, b, next});
      next += m[2];
    }
  }
  return out;
}

int32_t dimension(int32_t k, const int32_t m[3], int32_t n2, int32_t n3) {
  return m[0] + (k > 1 ? n2 * (m[1] + (k > 2 ? n3 * m[2] : 0)) : 0);
}

std::vector<int32_t> markers(const std::vector<Block>& blocks, int32_t dim) {
  std::vector<int32_t> out(static_cast<std::size_t>(dim), 0);
  for (const Block& b : blocks) out[b.start - 1] = b.conf;
  return out;
}

struct Model {
  int32_t k = 1, n2 = 1, n3 = 1, d = 6;  // 1/sqrt(6) differs between float and double roots
  float w = 2.0f;
  int32_t m[3] = {3, 2, 2};
  float e[3] = {1.1f, 3.3f, -2.9f};  // (E2 + E1) - E1 is not E2 in single precision
  // Configuration blocks carry junk below their diagonal: the mirror of the
  // upper triangle must replace it.
  Dense h[3] = {{{0.75f, -1.5f, 0.0f}, {8.0f, 2.0f, 0.25f}, {-6.0f, 7.0f, -0.5f}},
                {{0.0f, 1.0f}, {5.0f, -3.0f}},
                {{2.5f, 0.0f}, {9.0f, 1.75f}}};
  Dense v12 = {{3.0f, 0.0f}, {-1.0f, 0.5f}, {0.0f, 2.0f}};
  Dense v23 = {{1.0f, -2.0f}, {0.0f, 4.0f}};
};

struct Levels {
  std::vector<float> x, v;
};

Levels band(const Model& md, int32_t n) {
  Levels l{std::vector<float>(static_cast<std::size_t>(n)),
           std::vector<float>(static_cast<std::size_t>(n))};
  gausslegendre(-md.w / 2.0f, md.w / 2.0f, l.x.data(), l.v.data(), n);
  return l;
}

// The Hamiltonian written down block by block: the upper triangle of every
// placed block, then its mirror; 1/sqrt(D) and the weights in double.
Dense reference_hamiltonian(const Model& md) {
  const int32_t dim = dimension(md.k, md.m, md.n2, md.n3);
  const Levels l2 = band(md, md.n2);
  const Levels l3 = band(md, md.n3);
  const auto root = std::sqrt(static_cast<double>(md.d));
  const auto s = static_cast<float>(1.0 / root);
  Dense up = zeros(dim, dim);
  auto place = [&](const Dense& a, int32_t r0, int32_t c0, float f) {
    for (std::size_t i = 0; i < a.size(); ++i) {
      for (std::size_t j = 0; j < a[i].size(); ++j) {
        const std::size_t r = r0 - 1 + i;
        const std::size_t c = c0 - 1 + j;
        if (c >= r && a[i][j] != 0.0f) up[r][c] = a[i][j] * f;
      }
    }
  };
  auto shift = [&](int32_t b, int32_t size, float e) {
    for (int32_t i = b; i < b + size; ++i) up[i - 1][i - 1] = up[i - 1][i - 1] + e;
  };
  place(md.h[0], 1, 1, s);
  shift(1, md.m[0], md.e[0]);
  for (const Block& b : basis(md.k, md.m, md.n2, md.n3)) {
    if (b.conf == 2) {
      place(md.h[1], b.start, b.start, s);
      shift(b.start, md.m[1], md.e[1] + md.e[0] - md.e[0] + l2.x[b.k2 - 1]);
      place(md.v12, 1, b.start, static_cast<float>(l2.v[b.k2 - 1] / root));
    }
    if (b.conf == 3) {
      const int32_t b2 = b.start - md.m[1] - (b.k3 - 1) * md.m[2];
      const float e2 = md.e[1] + md.e[0] - md.e[0] + l2.x[b.k2 - 1];
      place(md.h[2], b.start, b.start, s);
      shift(b.start, md.m[2], md.e[2] + e2 - md.e[1] + l3.x[b.k3 - 1]);
      place(md.v23, b2, b.start, static_cast<float>(l3.v[b.k3 - 1] / root));
    }
  }
  for (int32_t r = 0; r < dim; ++r) {
    for (int32_t c = 0; c < r; ++c) up[r][c] = up[c][r];
  }
  return up;
}

struct Assembled {
  int32_t ham = 0;
  std::vector<int32_t> marker;
};

Assembled assemble(const Model& md) {
  const int32_t h[3] = {make_sparse(md.h[0]), make_sparse(md.h[1]), make_sparse(md.h[2])};
  const int32_t v12 = make_sparse(md.v12);
  const int32_t v23 = make_sparse(md.v23);
  const int32_t dim = dimension(md.k, md.m, md.n2, md.n3);
  Assembled out;
  out.marker.assign(static_cast<std::size_t>(dim), 77);
  make_hamiltonian(out.ham, dim, h, md.m, md.n2, md.n3, md.e, md.d, v12, v23, out.marker.data(),
                   md.w, md.k);
  return out;
}

using MakeHamiltonian = HamiltonianTest;
using MakeTransitionTest = HamiltonianTest;

TEST_F(MakeHamiltonian, MatchesABlockByBlockConstruction) {
  for (const auto& [k, n2, n3, w] :
       {std::tuple{1, 1, 1, 2.0f}, std::tuple{2, 1, 1, 0.0f}, std::tuple{2, 3, 1, 2.0f},
        std::tuple{3, 1, 1, 1.5f}, std::tuple{3, 2, 3, 2.0f}, std::tuple{3, 4, 2, 3.0f}}) {
    Model md;
    md.k = k;
    md.n2 = n2;
    md.n3 = n3;
    md.w = w;
    SCOPED_TRACE(::testing::Message() << "K=" << k << " N2=" << n2 << " N3=" << n3 << " W=" << w);
    const Assembled a = assemble(md);
    const int32_t dim = dimension(k, md.m, n2, n3);
    expect_matrix(a.ham, reference_hamiltonian(md));
    EXPECT_EQ(a.marker, markers(basis(k, md.m, n2, n3), dim));
  }
}

TEST_F(MakeHamiltonian, SinglePointBandAndSymmetryDimensionScaleAsStated) {
  // K = 2, N2 = 1, W = 0: one level at 0 with weight 1, so the configuration-2
  // block sits at E(2); D = 4 halves every coefficient-file element.
  Model md;
  md.k = 2;
  md.w = 0.0f;
  md.d = 4;
  md.e[0] = 1.25f;
  md.e[1] = 4.5f;
  md.h[1] = {{0.0f, 1.0f}, {1.0f, 0.0f}};
  const Assembled a = assemble(md);
  const Dense got = read_sparse(a.ham, 5, 5);
  EXPECT_EQ(got[3][3], 4.5f);
  EXPECT_EQ(got[4][4], 4.5f);
  EXPECT_EQ(got[3][4], 0.5f);
  EXPECT_EQ(got[0][0], 0.375f + 1.25f);
  EXPECT_EQ(got[0][1], -0.75f);
  EXPECT_EQ(got[1][0], -0.75f);
  EXPECT_EQ(got[0][3], 1.5f);  // V12 (1, 1) = 3 times weight 1 / sqrt(4)
  EXPECT_EQ(got[3][0], 1.5f);
  EXPECT_EQ(got[2][4], 1.0f);
}

TEST_F(MakeHamiltonian, ZeroWidthBandWithSeveralLevelsStops) {
  Model md;
  md.k = 2;
  md.n2 = 2;
  md.w = 0.0f;
  EXPECT_THROW(assemble(md), RunStop);
  // -W/2 of W = 0 is a negative zero, and is printed as one.
  EXPECT_EQ(unit_contents(6),
            " In gausslegendre x1=x2=  -0.0000000      and n=           2\n"
            " n>1 is not allowed when x1=x2.\n"
            " Make W non-zero or make N2 and/or N3 =1 in INPUT.\n");
}

TEST_F(MakeHamiltonian, TooManyTermsStopBeforeTheAddListIsWritten) {
  Model md;
  md.k = 3;
  md.n2 = 100;
  md.n3 = 100;  // 1 + 200 + 20000 terms
  md.m[0] = md.m[1] = md.m[2] = 1;
  md.h[0] = md.h[1] = md.h[2] = {{1.0f}};
  md.v12 = md.v23 = {{1.0f}};
  ibuild.mat[0] = -7;
  EXPECT_THROW(assemble(md), RunStop);
  EXPECT_EQ(ibuild.mat[0], -7);
  const std::string out = unit_contents(6);
  EXPECT_NE(out.find(" Increase parameter MAX_ADD from        10000  to        20201\n"),
            std::string::npos);
}

// ---- transition operator ----

struct Side {
  int32_t k;
  int32_t m[3];
};

// T(L, N) as a dense mg(L) x me(N) block with distinct entries.
Dense transition_block(int32_t l, int32_t n, const Side& g, const Side& x) {
  Dense t = zeros(g.m[l - 1], x.m[n - 1]);
  for (int32_t a = 0; a < g.m[l - 1]; ++a) {
    for (int32_t c = 0; c < x.m[n - 1]; ++c) {
      t[a][c] =
          ((a + c) % 3 == 1) ? 0.0f : static_cast<float>(10 * l + n) + 0.125f * (a + 1) - 0.5f * c;
    }
  }
  return t;
}

// Blocks couple when the pair has operators and the band levels of the
// configurations both have in common agree: k2 when both hold a band
// electron, k3 as well when both hold two.
bool same_levels(const Block& a, const Block& b) {
  const int32_t shared = std::min(a.conf, b.conf);
  if (shared >= 2 && a.k2 != b.k2) return false;
  return shared < 3 || a.k3 == b.k3;
}

TEST_F(MakeTransitionTest, CouplesOnlyBlocksWithTheSameSpectatorLevels) {
  struct Case {
    Side g, x;
    int32_t n2, n3;
  };
  const Case cases[] = {{{3, {2, 1, 2}}, {3, {1, 2, 2}}, 2, 2},
                        {{2, {2, 3, 1}}, {3, {1, 2, 1}}, 3, 2},
                        {{1, {2, 1, 1}}, {2, {3, 2, 1}}, 3, 1},
                        {{3, {1, 2, 1}}, {2, {2, 1, 1}}, 2, 3},
                        // A symmetry absent from a configuration: the empty block's
                        // marker is overwritten, the other blocks still pair by level.
                        {{3, {0, 2, 1}}, {3, {1, 2, 2}}, 2, 2},
                        {{3, {2, 0, 1}}, {3, {1, 1, 0}}, 2, 2},
                        {{2, {1, 2, 1}}, {3, {0, 0, 2}}, 3, 2}};
  const float dip = 0.7f;
  for (const Case& cs : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "Kg=" << cs.g.k << " Ke=" << cs.x.k << " N2=" << cs.n2 << " N3=" << cs.n3);
    reset_heap();
    int32_t count[3][3] = {{1, 0, 2}, {1, 3, 1}, {2, 1, 1}};  // (1, 2) has a block but no operator
    int32_t t[3][3];
    Dense want_t[3][3];
    for (int32_t l = 1; l <= 3; ++l) {
      for (int32_t n = 1; n <= 3; ++n) {
        want_t[l - 1][n - 1] = transition_block(l, n, cs.g, cs.x);
        t[l - 1][n - 1] = make_sparse(want_t[l - 1][n - 1]);
      }
    }
    const std::vector<Block> gb = basis(cs.g.k, cs.g.m, cs.n2, cs.n3);
    const std::vector<Block> xb = basis(cs.x.k, cs.x.m, cs.n2, cs.n3);
    const int32_t ng = dimension(cs.g.k, cs.g.m, cs.n2, cs.n3);
    const int32_t ne = dimension(cs.x.k, cs.x.m, cs.n2, cs.n3);

    Dense want = zeros(ng, ne);
    for (const Block& a : gb) {
      for (const Block& b : xb) {
        if (count[a.conf - 1][b.conf - 1] == 0 || !same_levels(a, b)) continue;
        const Dense& blk = want_t[a.conf - 1][b.conf - 1];
        for (std::size_t i = 0; i < blk.size(); ++i) {
          for (std::size_t j = 0; j < blk[i].size(); ++j) {
            if (blk[i][j] != 0.0f) want[a.start - 1 + i][b.start - 1 + j] = blk[i][j] * dip;
          }
        }
      }
    }
    int32_t op = 0;
    make_transition(op, dip, ng, ne, cs.g.k, cs.x.k, cs.n2, cs.n3, count, t, cs.g.m, cs.x.m);
    expect_matrix(op, want);
  }
}

TEST_F(MakeTransitionTest, TooManyCoupledBlocksStopBeforeTheAddListIsWritten) {
  // Every one of 10101 ground blocks couples with the single excited block.
  const int32_t m[3] = {1, 1, 1};
  const int32_t ng = dimension(3, m, 100, 100);
  const int32_t count[3][3] = {{1, 0, 0}, {1, 0, 0}, {1, 0, 0}};
  const int32_t empty = make_sparse({{1.0f}});
  const int32_t t[3][3] = {{empty, empty, empty}, {empty, empty, empty}, {empty, empty, empty}};
  ibuild.mat[0] = -7;
  int32_t op = 0;
  EXPECT_THROW(make_transition(op, 1.0f, ng, 1, 3, 1, 100, 100, count, t, m, m), RunStop);
  EXPECT_EQ(ibuild.mat[0], -7);
  EXPECT_EQ(unit_contents(6),
            " Increase parameter MAX_ADD from        10000  to        10101\n"
            " Increase dimension. See output.\n");
}

}  // namespace
}  // namespace mv::testing
