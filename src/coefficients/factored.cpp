// The factored form of a store-file matrix: R rows in row blocks, C columns
// in column blocks; block (I, J) is a sum of terms w * kron(F, G), F of shape
// (a_I, b_J) and G of shape (c_I, d_J). The hybridisation of two coupled
// configurations has this shape (reduced matrices of the ion's electrons and
// of the ligand shell times recoupling coefficients), and its few distinct
// factors hold about a tenth of the matrix's elements.
#include "coefficients/factored.h"

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "coefficients/cowan.h"
#include "coefficients/store_records.h"
#include "hamiltonian/sparse.h"
#include "workarray/heap.h"

namespace mv {
namespace {

// The six records of one factored matrix, as read and checked.
struct Factored {
  std::string name;  // "matrix m", for the messages
  int32_t rows = 0, columns = 0;
  int32_t nrb = 0, ncb = 0, nf = 0, nt = 0, nv = 0;
  std::vector<int32_t> blocks;  // (a, c) per row block, then (b, d) per column block
  std::vector<int32_t> shapes;  // (rows, columns) per factor
  std::vector<int64_t> first;   // each factor's first value in values
  std::vector<float> values;    // the factors row by row, one after the other
  std::vector<int32_t> terms;   // (I, J, f, g) per term, 1-based
  std::vector<float> weights;   // the threshold, then each term's weight

  // Row block I's (a, c) and column block J's (b, d); 0-based.
  int32_t a(int32_t i) const { return blocks[2 * i]; }
  int32_t c(int32_t i) const { return blocks[2 * i + 1]; }
  int32_t b(int32_t j) const { return blocks[2 * (nrb + j)]; }
  int32_t d(int32_t j) const { return blocks[2 * (nrb + j) + 1]; }
  const float* factor(int32_t f) const { return values.data() + first[f - 1]; }  // 1-based
};

std::string str(int64_t n) { return std::to_string(n); }

// Sum of p*q over n pairs of counts >= 0, or -1 once it passes the largest
// count: each product is below 2^62, so nothing overflows on the way.
int64_t sum_of_products(const int32_t* pairs, int32_t n) {
  int64_t sum = 0;
  for (int32_t i = 0; i < n; ++i) {
    sum += int64_t{pairs[2 * i]} * pairs[2 * i + 1];
    if (sum > std::numeric_limits<int32_t>::max()) return -1;
  }
  return sum;
}

std::string sum_text(int64_t sum) {
  return sum < 0 ? "more than " + str(std::numeric_limits<int32_t>::max()) : str(sum);
}

void read_layout(Factored& m) {
  int32_t layout[6] = {};
  expect_record(6, "the layout of " + m.name);
  rint99(layout, 6);
  for (int32_t v : layout) {
    if (v < 0) {
      refuse_store("the layout of " + m.name + " (columns, row blocks, column blocks, factors, " +
                   "terms, factor values) has the negative count " + str(v) + ".");
    }
  }
  m.columns = layout[0];
  m.nrb = layout[1];
  m.ncb = layout[2];
  m.nf = layout[3];
  m.nt = layout[4];
  m.nv = layout[5];
  // No matrix the work array can build has more columns than it has cells.
  if (m.columns > heap_size.cells) {
    refuse_store(m.name + " has " + str(m.columns) + " columns, more than the work array's " +
                 str(heap_size.cells) + " cells.");
  }
}

void read_blocks(Factored& m) {
  const int64_t n = 2 * (int64_t{m.nrb} + m.ncb);
  expect_record(n, "the blocks of " + m.name);
  m.blocks.resize(static_cast<std::size_t>(n));
  rint99(m.blocks.data(), static_cast<int32_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    if (m.blocks[i] < 0) {
      refuse_store("the blocks of " + m.name + " hold the negative size " + str(m.blocks[i]) + ".");
    }
  }
  const int64_t rows = sum_of_products(m.blocks.data(), m.nrb);
  const int64_t columns = sum_of_products(m.blocks.data() + 2 * m.nrb, m.ncb);
  if (rows != m.rows || columns != m.columns) {
    refuse_store("the blocks of " + m.name + " hold " + sum_text(rows) + " rows and " +
                 sum_text(columns) + " columns, the matrix has " + str(m.rows) + " and " +
                 str(m.columns) + ".");
  }
}

void read_factors(Factored& m) {
  expect_record(2 * int64_t{m.nf}, "the factor shapes of " + m.name);
  m.shapes.resize(2 * static_cast<std::size_t>(m.nf));
  rint99(m.shapes.data(), 2 * m.nf);
  m.first.resize(static_cast<std::size_t>(m.nf));
  int64_t at = 0;
  for (int32_t f = 0; f < m.nf; ++f) {
    if (m.shapes[2 * f] < 0 || m.shapes[2 * f + 1] < 0) {
      refuse_store("factor " + str(f + 1) + " of " + m.name + " has the shape " +
                   str(m.shapes[2 * f]) + " x " + str(m.shapes[2 * f + 1]) + ".");
    }
  }
  const int64_t nv = sum_of_products(m.shapes.data(), m.nf);
  if (nv != m.nv) {
    refuse_store("the factor shapes of " + m.name + " hold " + sum_text(nv) +
                 " values, the layout says " + str(m.nv) + ".");
  }
  for (int32_t f = 0; f < m.nf; ++f) {
    m.first[f] = at;
    at += int64_t{m.shapes[2 * f]} * m.shapes[2 * f + 1];
  }
  expect_record(m.nv, "the factor values of " + m.name);
  m.values.resize(static_cast<std::size_t>(m.nv));
  read99(m.values.data(), m.nv);
  for (int32_t f = 0; f < m.nf; ++f) {
    const int32_t width = m.shapes[2 * f + 1];
    const int64_t size = int64_t{m.shapes[2 * f]} * width;
    for (int64_t e = 0; e < size; ++e) {
      const float v = m.values[m.first[f] + e];
      if (!std::isfinite(v)) {
        refuse_store("factor " + str(f + 1) + " of " + m.name + " holds the value " +
                     std::to_string(v) + " at (" + str(e / width + 1) + ", " + str(e % width + 1) +
                     ").");
      }
    }
  }
}

// Each term's block and factors in range and of the block's shapes; the
// terms sorted by (I, J), so that those of one block are consecutive.
void check_term(const Factored& m, int32_t t) {
  const int32_t* term = &m.terms[4 * static_cast<std::size_t>(t)];
  const int32_t bi = term[0], bj = term[1], f = term[2], g = term[3];
  const std::string which = "term " + str(t + 1) + " of " + m.name;
  if (bi < 1 || bi > m.nrb || bj < 1 || bj > m.ncb || f < 1 || f > m.nf || g < 1 || g > m.nf) {
    refuse_store(which + " names row block " + str(bi) + ", column block " + str(bj) +
                 ", factors " + str(f) + " and " + str(g) + "; the matrix has " + str(m.nrb) +
                 " row blocks, " + str(m.ncb) + " column blocks and " + str(m.nf) + " factors.");
  }
  const auto shape_of = [&](int32_t factor, int32_t rows, int32_t columns) {
    const int32_t r = m.shapes[2 * (factor - 1)], c = m.shapes[2 * (factor - 1) + 1];
    if (r != rows || c != columns) {
      refuse_store(which + " takes factor " + str(factor) + " of shape " + str(r) + " x " + str(c) +
                   " where its block (" + str(bi) + ", " + str(bj) + ") needs " + str(rows) +
                   " x " + str(columns) + ".");
    }
  };
  shape_of(f, m.a(bi - 1), m.b(bj - 1));
  shape_of(g, m.c(bi - 1), m.d(bj - 1));
  if (t == 0) return;
  const int32_t pi = term[-4], pj = term[-3];
  if (bi < pi || (bi == pi && bj < pj)) {
    refuse_store(which + " is for block (" + str(bi) + ", " + str(bj) + ") after block (" +
                 str(pi) + ", " + str(pj) + "): the terms come sorted by block, those of a " +
                 "block together.");
  }
}

void read_terms(Factored& m) {
  expect_record(4 * int64_t{m.nt}, "the terms of " + m.name);
  m.terms.resize(4 * static_cast<std::size_t>(m.nt));
  rint99(m.terms.data(), 4 * m.nt);
  for (int32_t t = 0; t < m.nt; ++t) check_term(m, t);
  expect_record(int64_t{m.nt} + 1, "the weights of " + m.name);
  m.weights.resize(static_cast<std::size_t>(m.nt) + 1);
  read99(m.weights.data(), m.nt + 1);
  if (!std::isfinite(m.weights[0]) || m.weights[0] < 0.0f) {
    refuse_store("the threshold of " + m.name + " is " + std::to_string(m.weights[0]) +
                 " (a finite value >= 0 is needed).");
  }
  for (int32_t t = 0; t < m.nt; ++t) {
    if (!std::isfinite(m.weights[t + 1])) {
      refuse_store("term " + str(t + 1) + " of " + m.name + " has the weight " +
                   std::to_string(m.weights[t + 1]) + ".");
    }
  }
}

// The assembly sweeps every position of every block with terms. The model
// builder's factored matrices have about two positions per element, so records
// whose blocks hold far more (billions of zeros from a few kilobytes of factors)
// do not belong together: refused before the sweep instead of spinning for hours.
constexpr int64_t positions_per_element = 64;
constexpr int64_t spare_positions = int64_t{1} << 24;

void check_positions(const Factored& m, int32_t elements) {
  const int64_t limit = positions_per_element * elements + spare_positions;
  int64_t positions = 0;
  for (int32_t t = 0; t < m.nt; ++t) {
    const int32_t* term = &m.terms[4 * static_cast<std::size_t>(t)];
    if (t > 0 && term[0] == term[-4] && term[1] == term[-3]) continue;  // the same block
    const int32_t bi = term[0] - 1, bj = term[1] - 1;
    // a block's rows and its columns each below 2^31: no product or sum overflows
    positions += int64_t{m.a(bi)} * m.c(bi) * (int64_t{m.b(bj)} * m.d(bj));
    if (positions > limit) {
      refuse_store("the blocks with terms of " + m.name + " hold more than " + str(limit) +
                   " positions for its " + str(elements) + " elements (" +
                   str(positions_per_element) + " per element and " + str(spare_positions) +
                   " more at most): records that do not belong together.");
    }
  }
}

// Writes the elements of one row into cols/values from count on, never past
// elements. The row is row k of the Kronecker factor G and row i of F within
// row block I, whose terms are [t0, t1); each block's terms are summed in
// their order, (w * F[i][j]) * G[k][l] each, in 4-byte reals.
struct Assembly {
  const Factored& m;
  int32_t elements;
  int32_t* cols;
  float* values;
  std::vector<int64_t> column0;  // each column block's first column, from 0
  std::vector<float> scale;      // w * F[i][j] of each term of one block
  int64_t count = 0;

  Assembly(const Factored& matrix, int32_t n, int32_t* c, float* v)
      : m(matrix),
        elements(n),
        cols(c),
        values(v),
        column0(static_cast<std::size_t>(matrix.ncb)),
        scale(static_cast<std::size_t>(matrix.nt)) {
    for (int32_t j = 1; j < m.ncb; ++j)
      column0[j] = column0[j - 1] + int64_t{m.b(j - 1)} * m.d(j - 1);
  }

  void row(int32_t t0, int32_t t1, int32_t i, int32_t k, int64_t row_number) {
    for (int32_t g0 = t0, g1 = t0; g0 < t1; g0 = g1) {
      const int32_t bj = m.terms[4 * g0 + 1];
      while (g1 < t1 && m.terms[4 * g1 + 1] == bj) ++g1;
      block(g0, g1, i, k, row_number);
    }
  }

  void block(int32_t g0, int32_t g1, int32_t i, int32_t k, int64_t row_number) {
    const int32_t bj = m.terms[4 * g0 + 1] - 1;
    const int32_t width = m.b(bj), d = m.d(bj);
    const float tau = m.weights[0];
    for (int32_t j = 0; j < width; ++j) {
      // A column of F that is zero in every term gives only zeros: skipped.
      bool any = false;
      for (int32_t t = g0; t < g1; ++t) {
        scale[t - g0] = m.weights[t + 1] * m.factor(m.terms[4 * t + 2])[int64_t{i} * width + j];
        any = any || scale[t - g0] != 0.0f;
      }
      if (!any) continue;
      const int64_t base = column0[bj] + int64_t{j} * d + 1;
      for (int32_t l = 0; l < d; ++l) {
        const int64_t at = int64_t{k} * d + l;
        float v = scale[0] * m.factor(m.terms[4 * g0 + 3])[at];
        for (int32_t t = g0 + 1; t < g1; ++t) {
          v = v + scale[t - g0] * m.factor(m.terms[4 * t + 3])[at];
        }
        if (v == 0.0f || std::fabs(v) < tau) continue;
        if (!std::isfinite(v)) {
          refuse_store("element (" + str(row_number + 1) + ", " + str(base + l) + ") of " + m.name +
                       " assembles to " + std::to_string(v) +
                       ", beyond the range of 4-byte reals.");
        }
        if (count == elements) {
          refuse_store(m.name + " assembles to more than its " + str(elements) + " elements.");
        }
        cols[count] = static_cast<int32_t>(base + l);
        values[count] = v;
        ++count;
      }
    }
  }
};

// The whole matrix, rows ascending (row i * c_I + k of row block I), into the
// row index: a row's first positions (from 1) and its count, a row without
// elements at (1, 1, 0), as the whole matrix would have been stored.
void assemble(const Factored& m, int32_t elements, int32_t* index, int32_t* cols, float* values) {
  Assembly out(m, elements, cols, values);
  int64_t row_number = 0;
  int32_t t0 = 0;
  for (int32_t bi = 0; bi < m.nrb; ++bi) {
    int32_t t1 = t0;
    while (t1 < m.nt && m.terms[4 * t1] == bi + 1) ++t1;
    for (int32_t i = 0; i < m.a(bi); ++i) {
      for (int32_t k = 0; k < m.c(bi); ++k, ++row_number) {
        const int64_t start = out.count;
        out.row(t0, t1, i, k, row_number);
        const auto n = static_cast<int32_t>(out.count - start);
        index[3 * row_number] = n > 0 ? static_cast<int32_t>(start + 1) : 1;
        index[3 * row_number + 1] = index[3 * row_number];
        index[3 * row_number + 2] = n;
      }
    }
    t0 = t1;
  }
  if (out.count != elements) {
    refuse_store(m.name + " assembles to " + str(out.count) + " elements, its count says " +
                 str(elements) + ".");
  }
}

}  // namespace

void read_store_factored(int32_t k, int32_t elements, int32_t rows) {
  Factored m;
  m.name = "matrix " + str(k + 1);
  m.rows = rows;
  read_layout(m);
  read_blocks(m);
  read_factors(m);
  read_terms(m);
  check_positions(m, elements);
  int32_t index_pos = 0, col_pos = 0, val_pos = 0;
  illoc("old cowan", cells_for(3 * int64_t{rows}), index_pos);
  indx.pos[k] = index_pos;
  illoc("old cowan", elements, col_pos);
  alloc("old cowan", elements, val_pos);
  assemble(m, elements, ih(index_pos), ih(col_pos), rh(val_pos));
  shift_index(ih(index_pos), val_pos, col_pos, rows);
}

}  // namespace mv
