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

// One matrix's three records as a store holds them: the full matrix with its
// rows listed at positions counted from 7 (values) and 1007 (columns), the
// upper triangle with its row counts alone.
struct Records {
  std::vector<int32_t> index, cols;
  std::vector<float> values;
  int32_t count = 0;  // elements stored
};
Records records_of(const Dense& a, bool triangle) {
  Records r;
  const auto n = a.size();
  for (std::size_t i = 0; i < n; ++i) {
    const int32_t first = 7 + r.count;
    int32_t k = 0;
    for (std::size_t j = triangle ? i : 0; j < a[i].size(); ++j) {
      if (!present(a, i, j)) continue;
      r.cols.push_back(static_cast<int32_t>(j + 1));
      r.values.push_back(a[i][j]);
      ++k;
    }
    if (triangle) {
      r.index.push_back(k);
    } else {
      r.index.insert(r.index.end(), {k ? first : 7, k ? first + 1000 : 1007, k});
    }
    r.count += k;
  }
  return r;
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
  const Records r = records_of(a, triangle);
  const int32_t full = elements_of(a);
  return framed({full + 2, 2}) +
         framed({triangle ? -full : full, static_cast<int32_t>(a.size()), 2, 1}) +
         framed(r.index) + framed(r.cols) + framed_reals(r.values) + framed({1, 1, 2}) +
         framed({1, 2}) + framed_reals({4.0f, 5.0f});
}

// Everything the load leaves behind: the output, the work array up to its
// top (index, columns and values of both matrices), the matrices' positions.
struct Loaded {
  std::string output;
  std::vector<uint32_t> cells;
  int32_t pos1 = 0, pos2 = 0;
};
Loaded load(const std::string& bytes) {
  reset_heap();
  attach_memory(6);
  qaz.oldcowan = 1;
  cowan_store = {};
  attach_memory(99, bytes);
  cowan();
  Loaded out{unit_contents(6), {}, indx.pos[0], indx.pos[1]};
  out.cells.resize(static_cast<std::size_t>(heap_info.top));
  std::memcpy(out.cells.data(), rh(1), out.cells.size() * 4);
  return out;
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
  auto refused = [](const std::string& bytes, const std::string& why, const std::string& says) {
    SCOPED_TRACE(why);
    reset_heap();
    qaz.oldcowan = 1;
    attach_memory(99, bytes);
    const RunStop s = stop_of([] { cowan(); });
    EXPECT_EQ(s.status, status_file);
    EXPECT_NE(s.text.find("FTN99"), std::string::npos) << s.text;
    EXPECT_NE(s.text.find(says), std::string::npos) << s.text;
  };
  // {{1, 2}, {2, 3}}: triangle (1,1) (1,2) | (2,2), 4 elements in all
  auto store = [](int32_t total, int32_t count, std::vector<int32_t> rows,
                  std::vector<int32_t> cols, std::vector<float> values) {
    return framed({total, 1}) + framed({count, 2}) + framed(rows) + framed(cols) +
           framed_reals(values);
  };
  EXPECT_EQ(load(store(4, -4, {2, 1}, {1, 2, 2}, {1.0f, 2.0f, 3.0f})).cells,
            load(store(4, 4, {1, 1, 2, 3, 3, 2}, {1, 2, 1, 2}, {1.0f, 2.0f, 2.0f, 3.0f})).cells);

  refused(store(4, -4, {2, 1}, {1, 2, 1}, {1.0f, 2.0f, 3.0f}), "an element below the diagonal",
          "row 2 of matrix 1 has column 1 first");
  refused(store(4, -4, {2, 1}, {2, 1, 2}, {1.0f, 2.0f, 3.0f}), "columns out of order",
          "row 1 of matrix 1 has column 1 after column 2");
  refused(store(4, -4, {1, 1}, {1, 3}, {1.0f, 3.0f}), "a column beyond the rows",
          "row 2 of matrix 1 has column 3 first");
  refused(store(4, -4, {1, 2}, {1, 2, 3}, {1.0f, 2.0f, 3.0f}),
          "a row longer than its part of the triangle", "row 2 of matrix 1 counts 2 elements");
  refused(store(4, -4, {2, -1}, {1, 2}, {1.0f, 2.0f}), "a negative row count",
          "row 2 of matrix 1 counts -1 elements");
  refused(store(5, -5, {2, 1}, {1, 2, 2}, {1.0f, 2.0f, 3.0f}),
          "a count other than the mirrored triangle's", "expands to 4 elements, its count says 5");
  refused(store(3, -3, {2, 1}, {1, 2, 2}, {1.0f, 2.0f, 3.0f}),
          "a header counting the stored elements", "expands to 4 elements, its count says 3");
  refused(store(2, -2, {2, 1}, {1, 2, 2}, {1.0f, 2.0f, 3.0f}), "more stored than the whole",
          "hold 3 elements, more than the 2");
  refused(store(4, -4, {2, 1}, {1, 2}, {1.0f, 2.0f}), "columns cut short",
          "the columns of matrix 1 is a record of 8 bytes, 12 expected");
  refused(store(4, -4, {1, 1, 2, 3, 3, 1}, {1, 2, 2}, {1.0f, 2.0f, 3.0f}),
          "a full row index where the row counts belong",
          "the row counts of matrix 1 is a record of 24 bytes, 8 expected");
  refused(framed({0, 1}) + framed({INT32_MIN, 2}), "the one count that cannot be negated",
          "element count out of range");
  refused(framed({4, 1}) + framed({-4, 0}) + framed({}) + framed({}) + framed({}),
          "a triangle without rows", "expands to 0 elements, its count says 4");
}

}  // namespace
}  // namespace mv::testing
