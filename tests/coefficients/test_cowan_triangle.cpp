// Symmetric matrices stored as their upper triangle in the store file: loaded
// into exactly the arrays the full matrix gives, and refused when the
// triangle does not agree with its counts.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "coef_testing.h"
#include "coefficients/cowan.h"

namespace mv::testing {
namespace {

using CowanTriangle = CoefficientTest;

// A symmetric 5 x 5 matrix: row 4 (and column 4) empty, a zero diagonal
// element at (2, 2), a -0.0 and a subnormal off the diagonal whose bits must
// survive the mirroring, and a full last row.
const Dense symmetric = {
    {1.5f, 0, -0.0f, 0, 2.0f},
    {0, 0, 1e-40f, 0, -3.25f},
    {-0.0f, 1e-40f, 7.0f, 0, 0.125f},
    {0, 0, 0, 0, 0},
    {2.0f, -3.25f, 0.125f, 0, 9.0f},
};

// Which elements are stored: the non-zero ones and the two -0.0 (a stored
// zero is an element like any other).
bool present(const Dense& a, std::size_t i, std::size_t j) {
  uint32_t bits = 0;
  std::memcpy(&bits, &a[i][j], 4);
  return bits != 0;
}

// One matrix's records as a store holds them: the full matrix with its rows
// listed at positions counted from 7 (values) and 1007 (columns); the upper
// triangle as its row words, diagonal, and the columns and values right of
// the diagonal.
std::string records_of(const Dense& a, bool triangle) {
  std::vector<int32_t> index, cols;
  std::vector<float> values, diagonal;
  int32_t count = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const int32_t first = 7 + count;
    int32_t k = 0;
    bool diag = false;
    for (std::size_t j = triangle ? i : 0; j < a[i].size(); ++j) {
      if (!present(a, i, j)) continue;
      if (triangle && j == i) {
        diagonal.push_back(a[i][j]);
        diag = true;
        continue;
      }
      cols.push_back(static_cast<int32_t>(j + 1));
      values.push_back(a[i][j]);
      ++k;
    }
    if (triangle) {
      index.push_back(2 * k + (diag ? 1 : 0));
    } else {
      index.insert(index.end(), {k ? first : 7, k ? first + 1000 : 1007, k});
    }
    count += k;
  }
  if (triangle) return framed(index) + framed_reals(diagonal) + framed(cols) + framed_reals(values);
  return framed(index) + framed(cols) + framed_reals(values);
}

int32_t elements_of(const Dense& a) {
  int32_t n = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    for (std::size_t j = 0; j < a[i].size(); ++j) n += present(a, i, j) ? 1 : 0;
  }
  return n;
}

// A section of the matrix followed by a full 1 x 2 one (which must land where
// it lands after the full matrix).
std::string section(const Dense& a, bool triangle) {
  const int32_t full = elements_of(a);
  return framed({full + 2, 2}) +
         framed({triangle ? -full : full, static_cast<int32_t>(a.size()), 2, 1}) +
         records_of(a, triangle) + framed({1, 1, 2}) + framed({1, 2}) + framed_reals({4.0f, 5.0f});
}

TEST_F(CowanTriangle, LoadsIntoTheArraysOfTheFullMatrix) {
  const Loaded full = load(section(symmetric, false));
  const Loaded tri = load(section(symmetric, true));
  EXPECT_EQ(tri.output, full.output);
  EXPECT_EQ(tri.pos1, full.pos1);
  EXPECT_EQ(tri.pos2, full.pos2);
  EXPECT_EQ(tri.cells, full.cells);  // bit for bit, -0.0 and the subnormal included
  EXPECT_EQ(cowan_store.nmat, 2);
  EXPECT_EQ(cowan_store.nrow[0], 5);
  EXPECT_EQ(stored(1, 5, 5), symmetric);
  EXPECT_EQ(stored(2, 1, 2), (Dense{{4.0f, 5.0f}}));
  EXPECT_NE(tri.output.find("Total length =          15"), std::string::npos) << tri.output;

  // Diagonal only, and a 1 x 1 matrix: the triangle is the whole matrix.
  for (const Dense& a : {Dense{{1.0f, 0}, {0, 2.0f}}, Dense{{-6.5f}}}) {
    EXPECT_EQ(load(section(a, true)).cells, load(section(a, false)).cells);
  }
}

TEST_F(CowanTriangle, RefusesATriangleThatDisagreesWithItsCounts) {
  // {{1, 2}, {2, 3}}: words 3 (diagonal, one right of it) and 1 (diagonal)
  auto store = [](int32_t total, int32_t count, std::vector<int32_t> words,
                  std::vector<float> diagonal, std::vector<int32_t> cols,
                  std::vector<float> values) {
    return framed({total, 1}) + framed({count, static_cast<int32_t>(words.size())}) +
           framed(words) + framed_reals(diagonal) + framed(cols) + framed_reals(values);
  };
  const std::vector<float> two = {2.0f};
  EXPECT_EQ(load(store(4, -4, {3, 1}, {1.0f, 3.0f}, {2}, two)).cells,
            load(framed({4, 1}) + framed({4, 2}) + framed({1, 1, 2, 3, 3, 2}) +
                 framed({1, 2, 1, 2}) + framed_reals({1.0f, 2.0f, 2.0f, 3.0f}))
                .cells);
  // {{1, 2, 5}, {2, 0, 3}, {5, 3, 4}}: words 5, 2, 1
  EXPECT_EQ(load(store(8, -8, {5, 2, 1}, {1.0f, 4.0f}, {2, 3, 3}, {2.0f, 5.0f, 3.0f})).cells,
            load(framed({8, 1}) + framed({8, 3}) + framed({1, 1, 3, 4, 4, 2, 6, 6, 3}) +
                 framed({1, 2, 3, 1, 3, 1, 2, 3}) +
                 framed_reals({1.0f, 2.0f, 5.0f, 2.0f, 3.0f, 5.0f, 3.0f, 4.0f}))
                .cells);

  refused_store(store(4, -4, {3, 1}, {1.0f, 3.0f}, {1}, two), "an element on the diagonal's place",
          "row 1 of matrix 1 has column 1 first");
  refused_store(store(4, -4, {3, 1}, {1.0f, 3.0f}, {3}, two), "a column beyond the rows",
          "row 1 of matrix 1 has column 3 first");
  refused_store(store(8, -8, {5, 2, 1}, {1.0f, 4.0f}, {3, 2, 3}, {5.0f, 2.0f, 3.0f}),
          "columns out of order", "row 1 of matrix 1 has column 2 after column 3");
  refused_store(store(4, -4, {5, 1}, {1.0f, 3.0f}, {2}, two), "a row longer than its part",
          "row 1 of matrix 1 has the word 5");
  refused_store(store(4, -4, {3, -1}, {1.0f, 3.0f}, {2}, two), "a negative word",
          "row 2 of matrix 1 has the word -1");
  refused_store(store(5, -5, {3, 1}, {1.0f, 3.0f}, {2}, two), "a count other than the triangle's",
          "expands to 4 elements, its count says 5");
  refused_store(store(3, -3, {3, 1}, {1.0f, 3.0f}, {2}, two), "a count of the stored elements",
          "expands to 4 elements, its count says 3");
  refused_store(store(4, -4, {3, 1}, {1.0f}, {2}, two), "the diagonal cut short",
          "the diagonal of matrix 1 is a record of 4 bytes, 8 expected");
  refused_store(store(4, -4, {3, 1}, {1.0f, 3.0f}, {}, {}), "the columns cut short",
          "the columns of matrix 1 is a record of 0 bytes, 4 expected");
  refused_store(framed({4, 1}) + framed({-4, 2}) + framed({1, 1, 2, 3, 3, 1}),
          "a full row index where the row words belong",
          "the row words of matrix 1 is a record of 24 bytes, 8 expected");
  refused_store(framed({0, 1}) + framed({INT32_MIN, 2}), "the one count that cannot be negated",
          "element count out of range");
  refused_store(framed({4, 1}) + framed({-4, 0}) + framed({}), "a triangle without rows",
          "expands to 0 elements, its count says 4");
}

}  // namespace
}  // namespace mv::testing
