// Block matrices of Kronecker products stored factored in the store file:
// assembled into exactly the arrays the whole matrix gives, and refused when
// the records disagree with each other.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "coef_testing.h"
#include "coefficients/cowan.h"

namespace mv::testing {
namespace {

using CowanFactored = CoefficientTest;
using Records = std::vector<std::vector<int32_t>>;

int32_t bits(float v) {
  int32_t b = 0;
  std::memcpy(&b, &v, 4);
  return b;
}

struct Term {
  int32_t row_block, column_block, f, g;
  float weight;
};

// A factored matrix as the store holds it.
struct Kron {
  int32_t rows = 0, columns = 0, row_blocks = 0;
  std::vector<int32_t> blocks;  // (a, c) per row block, then (b, d) per column block
  std::vector<Dense> factors;
  std::vector<Term> terms;
  float threshold = 0.0f;

  Records records() const {
    std::vector<int32_t> shapes, values, quads, weights{bits(threshold)};
    for (const Dense& f : factors) {
      shapes.push_back(static_cast<int32_t>(f.size()));
      shapes.push_back(f.empty() ? 0 : static_cast<int32_t>(f[0].size()));
      for (const auto& row : f) {
        for (float v : row) values.push_back(bits(v));
      }
    }
    for (const Term& t : terms) {
      quads.insert(quads.end(), {t.row_block, t.column_block, t.f, t.g});
      weights.push_back(bits(t.weight));
    }
    const auto ncb = static_cast<int32_t>(blocks.size() / 2) - row_blocks;
    return {{columns, row_blocks, ncb, static_cast<int32_t>(factors.size()),
             static_cast<int32_t>(terms.size()), static_cast<int32_t>(values.size())},
            blocks,
            shapes,
            values,
            quads,
            weights};
  }
};

// The matrix written out densely, block by block, each block's terms in
// their order; held marks the elements a whole store of it lists.
struct Whole {
  Dense value;
  std::vector<std::vector<bool>> held;
  int32_t elements = 0;
};

Whole reference(const Kron& k) {
  Whole w{Dense(k.rows, std::vector<float>(k.columns, 0.0f)),
          std::vector<std::vector<bool>>(k.rows, std::vector<bool>(k.columns, false))};
  std::vector<int32_t> row0{0}, col0{0};
  for (std::size_t i = 0; i < k.blocks.size() / 2; ++i) {
    auto& first = static_cast<int32_t>(i) < k.row_blocks ? row0 : col0;
    first.push_back(first.back() + k.blocks[2 * i] * k.blocks[2 * i + 1]);
  }
  for (std::size_t t = 0; t < k.terms.size(); ++t) {
    const Term& term = k.terms[t];
    const bool first_of_block = t == 0 || k.terms[t - 1].row_block != term.row_block ||
                                k.terms[t - 1].column_block != term.column_block;
    const Dense &f = k.factors[term.f - 1], &g = k.factors[term.g - 1];
    const std::size_t d = g[0].size();
    for (std::size_t i = 0; i < f.size(); ++i) {
      for (std::size_t j = 0; j < f[0].size(); ++j) {
        for (std::size_t kk = 0; kk < g.size(); ++kk) {
          for (std::size_t l = 0; l < d; ++l) {
            float& v = w.value[row0[term.row_block - 1] + i * g.size() + kk]
                              [col0[term.column_block - 1] + j * d + l];
            const float product = (term.weight * f[i][j]) * g[kk][l];
            v = first_of_block ? product : v + product;
          }
        }
      }
    }
  }
  for (int32_t r = 0; r < k.rows; ++r) {
    for (int32_t c = 0; c < k.columns; ++c) {
      const float v = w.value[r][c];
      w.held[r][c] = v != 0.0f && !(std::fabs(v) < k.threshold);
      w.elements += w.held[r][c] ? 1 : 0;
    }
  }
  return w;
}

// The whole store's three records: a row's positions from 1, an empty row at
// (1, 1, 0).
Records whole_records(const Whole& w) {
  Records r(3);
  int32_t count = 0;
  for (std::size_t i = 0; i < w.value.size(); ++i) {
    int32_t n = 0;
    for (std::size_t j = 0; j < w.value[i].size(); ++j) {
      if (!w.held[i][j]) continue;
      r[1].push_back(static_cast<int32_t>(j + 1));
      r[2].push_back(bits(w.value[i][j]));
      ++n;
    }
    r[0].insert(r[0].end(), {n ? count + 1 : 1, n ? count + 1 : 1, n});
    count += n;
  }
  return r;
}

// One matrix of a section: its record-2 counts, what it adds to the header's
// total, its records.
struct Stored {
  int32_t count, rows, loaded;
  Records records;
};

std::string section(const std::vector<Stored>& matrices) {
  int32_t total = 0;
  std::vector<int32_t> counts;
  std::string body;
  for (const Stored& m : matrices) {
    total += m.loaded;
    counts.insert(counts.end(), {m.count, m.rows});
    for (const auto& r : m.records) body += framed(r);
  }
  return framed({total, static_cast<int32_t>(matrices.size())}) + framed(counts) + body;
}

Stored factored(const Kron& k) {
  const int32_t e = reference(k).elements;
  return {e, -k.rows, e, k.records()};
}
Stored whole(const Kron& k) {
  const Whole w = reference(k);
  return {w.elements, k.rows, w.elements, whole_records(w)};
}

// 9 x 8: row blocks (a, c) = (2, 3), (1, 2), (1, 1); column blocks (b, d) =
// (2, 2), (3, 1), (1, 1). Block (1, 1) has two terms that share F's first
// column and G's equal elements, so that some elements cancel to 0, and the
// second F has a zero; block (1, 3)'s F has a zero row, one product below the
// threshold and one equal to it; block (2, 2)'s products round differently in
// another order, and its G has a zero row (row 8 empty); row block 3 has no
// term (row 9 empty). 16 + 2 + 3 elements.
Kron sample() {
  Kron k;
  k.rows = 9;
  k.columns = 8;
  k.row_blocks = 3;
  k.blocks = {2, 3, 1, 2, 1, 1, 2, 2, 3, 1, 1, 1};
  k.factors = {
      {{1.5f, -2.0f}, {0.25f, 3.0f}},                // 1: F of (1, 1)
      {{1.0f, 0.5f}, {-4.0f, 2.0f}, {0.75f, 6.0f}},  // 2: G of (1, 1), first term
      {{1.0f, 0.25f}, {-4.0f, 2.0f}, {1.5f, 6.0f}},  // 3: G of (1, 1), second term
      {{1.5f, 1.0f}, {0.25f, 0.0f}},                 // 4: F of (1, 1), second term
      {{2.0f}, {0.0f}},                              // 5: F of (1, 3)
      {{0.004f}, {0.005f}, {-3.0f}},                 // 6: G of (1, 3)
      {{1.1f, -1.3f, 0.7f}},                         // 7: F of (2, 2)
      {{1.9f}, {0.0f}},                              // 8: G of (2, 2)
  };
  k.terms = {{1, 1, 1, 2, 0.5f}, {1, 1, 4, 3, -0.5f}, {1, 3, 5, 6, 1.0f}, {2, 2, 7, 8, 0.3f}};
  k.threshold = 0.01f;
  return k;
}

TEST_F(CowanFactored, LoadsIntoTheArraysOfTheWholeMatrix) {
  const Kron k = sample();
  const Stored pair = {1, 1, 1, {{1, 1, 1}, {2}, {bits(4.0f)}}};
  const Loaded whole_load = load(section({whole(k), pair}));
  const Loaded fac = load(section({factored(k), pair}));
  EXPECT_EQ(fac.output, whole_load.output);
  EXPECT_EQ(fac.pos1, whole_load.pos1);
  EXPECT_EQ(fac.pos2, whole_load.pos2);
  EXPECT_EQ(fac.cells, whole_load.cells);  // index, columns and values bit for bit
  EXPECT_EQ(cowan_store.nmat, 2);
  EXPECT_EQ(cowan_store.nrow[0], 9);

  // Elements worked out by hand, including the cancelled, dropped and empty.
  const Dense a = stored(1, 9, 8);
  EXPECT_EQ(a[0][0], 0.0f);     // 0.75 * 1 - 0.75 * 1
  EXPECT_EQ(a[0][1], 0.1875f);  // 0.75 * 0.5 - 0.75 * 0.25
  EXPECT_EQ(a[3][2], 1.5f);     // 1.5 * 1 + (-0.5 * 0) * 1
  EXPECT_EQ(a[0][7], 0.0f);     // 2 * 0.004 below 0.01
  EXPECT_EQ(a[1][7], 0.01f);    // 2 * 0.005 at 0.01 is kept
  EXPECT_EQ(a[2][7], -6.0f);    // 2 * -3
  // (w * F) * G, which rounds differently from w * (F * G) and (w * G) * F
  const float w = 0.3f, g = 1.9f;
  EXPECT_EQ(a[6],
            (std::vector<float>{0, 0, 0, 0, (w * 1.1f) * g, (w * -1.3f) * g, (w * 0.7f) * g, 0}));
  const int32_t* index = ih(indx.pos[0]);
  for (int32_t row : {7, 8}) EXPECT_EQ(index[3 * row + 2], 0) << "row " << row + 1;
  EXPECT_EQ(reference(k).elements, 21);  // 16 + 2 + 3
}

TEST_F(CowanFactored, MixesWithWholeAndTriangleMatricesInOneSection) {
  const Kron k = sample();
  const Stored pair = {1, 1, 1, {{1, 1, 1}, {2}, {bits(4.0f)}}};
  // {{1, 2}, {2, 3}} whole and as its triangle
  const Stored full = {
      4, 2, 4, {{1, 1, 2, 3, 3, 2}, {1, 2, 1, 2}, {bits(1), bits(2), bits(2), bits(3)}}};
  const Stored triangle = {-4, 2, 4, {{3, 1}, {bits(1), bits(3)}, {2}, {bits(2)}}};
  const Loaded mixed = load(section({pair, factored(k), triangle, factored(k), pair}));
  const Loaded plain = load(section({pair, whole(k), full, whole(k), pair}));
  EXPECT_EQ(mixed.cells, plain.cells);
  EXPECT_EQ(mixed.output, plain.output);
  EXPECT_EQ(stored(3, 2, 2), (Dense{{1, 2}, {2, 3}}));
  EXPECT_EQ(stored(4, 9, 8), stored(2, 9, 8));
  EXPECT_EQ(stored(5, 1, 2), (Dense{{0, 4.0f}}));
}

TEST_F(CowanFactored, RefusesRecordsThatDisagree) {
  const Kron k = sample();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  // records: 0 layout, 1 blocks, 2 factor shapes, 3 factor values, 4 terms, 5 weights
  const std::vector<std::tuple<std::string, std::function<void(Stored&)>, std::string>> cases = {
      {"a negative count", [](Stored& s) { s.records[0][4] = -1; }, "has the negative count -1"},
      {"both counts negative", [](Stored& s) { s.count = -s.count; },
       "negative row count with a negative element count"},
      {"more columns than cells", [](Stored& s) { s.records[0][0] = INT32_MAX; },
       "matrix 1 has 2147483647 columns, more than the work array's"},
      {"row blocks other than the rows", [](Stored& s) { s.records[1][0] = 3; },
       "the blocks of matrix 1 hold 12 rows and 8 columns, the matrix has 9 and 8"},
      {"column blocks other than the columns", [](Stored& s) { s.records[1][7] = 3; },
       "hold 9 rows and 10 columns"},
      {"a negative block size", [](Stored& s) { s.records[1][0] = -2; }, "the negative size -2"},
      {"blocks whose product overflows",
       [](Stored& s) { s.records[1][0] = s.records[1][1] = INT32_MAX; },
       "hold more than 2147483647 rows"},
      {"shapes other than the values", [](Stored& s) { s.records[2][0] = 3; },
       "the factor shapes of matrix 1 hold 32 values, the layout says 30"},
      {"a negative shape", [](Stored& s) { s.records[2][3] = -2; },
       "factor 2 of matrix 1 has the shape 3 x -2"},
      {"F not of its block's shape", [](Stored& s) { s.records[2][0] = 1, s.records[2][1] = 4; },
       "term 1 of matrix 1 takes factor 1 of shape 1 x 4 where its block (1, 1) needs 2 x 2"},
      {"G not of its block's shape", [](Stored& s) { s.records[2][2] = 2, s.records[2][3] = 3; },
       "takes factor 2 of shape 2 x 3 where its block (1, 1) needs 3 x 2"},
      {"row block 0", [](Stored& s) { s.records[4][0] = 0; },
       "term 1 of matrix 1 names row block 0"},
      {"a column block too many", [](Stored& s) { s.records[4][13] = 4; },
       "term 4 of matrix 1 names row block 2, column block 4"},
      {"a factor too many", [](Stored& s) { s.records[4][3] = 9; },
       "factors 1 and 9; the matrix has 3 row blocks, 3 column blocks and 8 factors"},
      {"terms out of order",
       [](Stored& s) {
         std::swap_ranges(s.records[4].begin() + 8, s.records[4].begin() + 12,
                          s.records[4].begin() + 12);
         std::swap(s.records[5][3], s.records[5][4]);
       },
       "term 4 of matrix 1 is for block (1, 3) after block (2, 2)"},
      {"a block's terms split",
       [](Stored& s) {
         std::swap_ranges(s.records[4].begin() + 4, s.records[4].begin() + 8,
                          s.records[4].begin() + 8);
         std::swap(s.records[5][2], s.records[5][3]);
       },
       "term 3 of matrix 1 is for block (1, 1) after block (1, 3)"},
      {"a NaN factor value", [&](Stored& s) { s.records[3][5] = bits(nan); },
       "factor 2 of matrix 1 holds the value nan at (1, 2)"},
      {"an infinite weight", [&](Stored& s) { s.records[5][2] = bits(inf); },
       "term 2 of matrix 1 has the weight inf"},
      {"a NaN threshold", [&](Stored& s) { s.records[5][0] = bits(nan); },
       "the threshold of matrix 1 is nan"},
      {"a negative threshold", [](Stored& s) { s.records[5][0] = bits(-0.5f); },
       "the threshold of matrix 1 is -0.5"},
      {"an element beyond 4-byte reals", [](Stored& s) { s.records[5][1] = bits(3e38f); },
       "element (1, 1) of matrix 1 assembles to inf"},
      {"more elements than counted", [](Stored& s) { s.count = s.loaded = 20; },
       "matrix 1 assembles to more than its 20 elements"},
      {"fewer elements than counted", [](Stored& s) { s.count = s.loaded = 22; },
       "matrix 1 assembles to 21 elements, its count says 22"},
      {"the layout cut short", [](Stored& s) { s.records[0].pop_back(); },
       "the layout of matrix 1 is a record of 20 bytes, 24 expected"},
      {"a weight missing", [](Stored& s) { s.records[5].pop_back(); },
       "the weights of matrix 1 is a record of 16 bytes, 20 expected"},
      {"a term too long", [](Stored& s) { s.records[4].push_back(1); },
       "the terms of matrix 1 is a record of 68 bytes, 64 expected"},
      {"the values left out", [](Stored& s) { s.records.erase(s.records.begin() + 3); },
       "the factor values of matrix 1 is a record of 64 bytes, 120 expected"},
      {"the file ending in the factors", [](Stored& s) { s.records.resize(2); },
       "end of file where the factor shapes of matrix 1 was expected"},
  };
  for (const auto& [why, damage, says] : cases) {
    Stored s = factored(k);
    damage(s);
    refused_store(section({s}), why, says);
  }
}

// A few kilobytes of zero factors over one 6400 x 6400 block: the sweep of its
// 41 million positions for no element is refused before it starts, as is a
// count far below what the positions are for; the builder's matrices have about
// two positions per element.
TEST_F(CowanFactored, RefusesFactorsThatWouldSweepFarMorePositionsThanElements) {
  Kron k;
  k.rows = k.columns = 6400;
  k.row_blocks = 1;
  k.blocks = {80, 80, 80, 80};
  k.factors = {Dense(80, std::vector<float>(80, 0.0f)), Dense(80, std::vector<float>(80, 0.0f))};
  k.terms = {{1, 1, 1, 2, 1.0f}};
  refused_store(section({{0, -k.rows, 0, k.records()}}), "zeros",
                "the blocks with terms of matrix 1 hold more than 16777216 positions for its 0 "
                "elements (64 per element and 16777216 more at most)");
  k.factors[0][0][0] = k.factors[1][0][0] = 1.0f;  // one element: still far too many zeros
  refused_store(section({{1, -k.rows, 1, k.records()}}), "one element",
                "more than 16777280 positions for its 1 elements");
}

}  // namespace
}  // namespace mv::testing
