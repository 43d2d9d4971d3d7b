// Loading the coefficient store from the coefficient file or from the store
// file, the row reader and the re-basing of row indexes, and the store file's
// records.
#include "coefficients/cowan.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "coefficients/factored.h"
#include "coefficients/store_records.h"
#include "input/reader.h"
#include "io/format.h"
#include "io/listread.h"
#include "io/notice.h"
#include "io/stop.h"
#include "io/units.h"
#include "support/runsupport.h"
#include "workarray/heap.h"

namespace mv {

cowan_store_block cowan_store;

namespace {
constexpr int32_t coefficient_unit = 14;
constexpr int32_t store_unit = 99;
}  // namespace

// Cells to ask for: a size that cannot fit stops the run with the work
// array's own message and its real size, instead of overflowing on the way.
int32_t cells_for(int64_t n) {
  check_room((n + qaz.ints_per_cell - 1) / qaz.ints_per_cell);
  return static_cast<int32_t>(n);
}

[[noreturn]] void refuse_store(const std::string& why) {
  file_failure("Coefficient store file FTN99 (unit 99) refused: " + why);
}

// The store is written by this program or the model builder, so a record of
// any other length means a file that does not belong here.
void expect_record(int64_t n, const std::string& what) {
  const int64_t bytes = uf_peek_length(store_unit);
  if (bytes < 0) {
    refuse_store("end of file where " + what +
                 " was expected (the file holds fewer sections than this calculation loads).");
  }
  if (bytes != 4 * n) {
    refuse_store(what + " is a record of " + std::to_string(bytes) + " bytes, " +
                 std::to_string(4 * n) + " expected.");
  }
}

namespace {

// ---------------------------------------------------------------- unit 14

void row_read_error() {
  list_write(6, "A read error occurred on file 14. The numbers are ",
             "not in the rigth order or wrong characters are present. ",
             "The error occurred in the matrix after the following position:");
  warn(10);
}

// A value that reads as NaN or infinite (also one beyond the 4-byte range, such
// as 1e39) would run through the whole calculation as NaN: the run stops, as it
// does for such a value in the command or recipe file, naming the line.
[[noreturn]] void refuse_value(const ListReader& record, int32_t row) {
  const std::string where = unit_name(coefficient_unit) + " line " +
                            std::to_string(record.line_number());
  quitprog("Coefficient file " + where + ": row " + std::to_string(row) + " has the value " +
               record.last_text() +
               ", which is NaN, infinite or beyond the range of 4-byte reals. No calculation.",
           "morvex7: " + where + ": the value " + record.last_text() +
               " is not a finite 4-byte real");
}

// One row record into cols/values[0..); false on a read error. Besides bad
// characters, a row number outside 1..nrow, a count that overruns the
// element arrays and columns that are not strictly ascending from 1 count as
// numbers out of order: stored as they are, they would break the store.
// An item the record leaves out (a null value, or one after '/') keeps its
// value: i and n the previous record's, a column or value the 0 it is given
// here (so a column left out is out of order).
bool read_row_record(int32_t* cols, float* values, int32_t nrow, int32_t room, int32_t& i,
                     int32_t& n) {
  ListReader record(coefficient_unit);
  if (record.read_int(i) != 0 || record.read_int(n) != 0) return false;
  if (i < 1 || i > nrow || n < 0 || n > room) return false;
  int32_t last_column = 0;
  for (int32_t e = 0; e < n; ++e) {
    cols[e] = 0;
    values[e] = 0.0f;
    if (record.read_int(cols[e]) != 0 || record.read_real(values[e]) != 0) return false;
    if (!std::isfinite(values[e])) refuse_value(record, i);
    if (cols[e] <= last_column) return false;
    last_column = cols[e];
  }
  return true;
}

void cowan_from_text() {
  status("COWAN near begin");
  int32_t total_elements = 0;
  uint32_t total_size = 0;  // reported only; wraps like a 4-byte sum would
  std::vector<int32_t> nelem(lindx), nrow(lindx), col_pos(lindx), val_pos(lindx);
  int32_t m = 1;
  for (;;) {
    const Token token = chaget();
    status("COWAN at begin loop");
    if (same_word(token, "FINISHED")) break;
    if (token.compare(0, 3, "RME") != 0) continue;
    for (int skip = 0; skip < 5; ++skip) chaget();
    int32_t rows = 0, columns = 0, elements = 0;
    rows = intget(rows);
    columns = intget(columns);
    elements = intget(elements);
    check(m, lindx, "LINDX", 0);
    if (rows < 0 || columns < 0 || elements < 0) {
      quitprog("Coefficient file: matrix " + std::to_string(m) +
               " has a negative row, column or element count.");
    }
    nrow[m - 1] = rows;
    nelem[m - 1] = elements;
    // A 4-byte sum that wraps like one; absurd counts are stopped by the
    // work array's size check just below.
    total_elements = static_cast<int32_t>(static_cast<uint32_t>(total_elements) +
                                          static_cast<uint32_t>(elements));
    total_size += static_cast<uint32_t>(rows) * static_cast<uint32_t>(columns);
    int32_t index_pos = 0;
    illoc("cowan", cells_for(3 * int64_t{rows}), index_pos);
    indx.pos[m - 1] = index_pos;
    illoc("cowan", elements, col_pos[m - 1]);
    alloc("cowan", elements, val_pos[m - 1]);
    rncowan(ih(index_pos), rh(val_pos[m - 1]), ih(col_pos[m - 1]), rows, elements);
    // The rows were read from the file past the token reader's line: the next
    // token comes from the line after the last row record.
    inline_.column = line_length + 1;
    shift_index(ih(index_pos), val_pos[m - 1], col_pos[m - 1], rows);
    status("COWAN near end");
    ++m;
  }
  const int32_t nmat = m - 1;
  cowan_store.nmat = nmat;
  cowan_store.from_store = false;
  cowan_store.store_written = true;
  std::copy_n(nrow.begin(), nmat, cowan_store.nrow);

  write(6, "(a,i9,a)", " In store: ", nmat, " matrixes.");
  list_write(6, "Total matrix size ", static_cast<int32_t>(total_size), " with ", total_elements,
             " elements");

  const int32_t head[2] = {total_elements, nmat};
  wint99(head, 2);
  std::vector<int32_t> counts(2 * static_cast<std::size_t>(nmat));
  for (int32_t k = 0; k < nmat; ++k) {
    counts[2 * k] = nelem[k];
    counts[2 * k + 1] = nrow[k];
  }
  wint99(counts.data(), 2 * nmat);
  for (int32_t k = 0; k < nmat; ++k) {
    wint99(ih(indx.pos[k]), 3 * nrow[k]);
    wint99(ih(col_pos[k]), nelem[k]);
    write99(rh(val_pos[k]), nelem[k]);
  }
  list_write(6, " Cowan store written to file 99.");
}

// ---------------------------------------------------------------- unit 99

// Every row of a matrix read back must lie inside its element arrays, at the
// same offset in the value and the column array.
void check_row_index(const int32_t* index, int32_t nrow, int32_t nelem, int32_t m) {
  if (nrow <= 0) return;
  int64_t ref_v = std::numeric_limits<int64_t>::max(), ref_c = ref_v;
  for (int32_t i = 0; i < nrow; ++i) {
    ref_v = std::min<int64_t>(ref_v, index[3 * i]);
    ref_c = std::min<int64_t>(ref_c, index[3 * i + 1]);
  }
  for (int32_t i = 0; i < nrow; ++i) {
    const int64_t off_v = index[3 * i] - ref_v, off_c = index[3 * i + 1] - ref_c,
                  k = index[3 * i + 2];
    if (k < 0 || off_v != off_c || off_v + k > nelem) {
      refuse_store("row " + std::to_string(i + 1) + " of matrix " + std::to_string(m) +
                   " lies outside the matrix's " + std::to_string(nelem) + " elements.");
    }
  }
}

// The columns of every row must ascend strictly from 1, as the coefficient
// file's reader stores them: the builder takes a row's last column as its
// widest, so a larger one in the middle would land outside the result. No
// matrix the work array can build has more columns than it has cells.
void check_columns(const int32_t* index, const int32_t* cols, int32_t nrow, int32_t m) {
  if (nrow <= 0) return;
  int64_t ref_c = std::numeric_limits<int64_t>::max();
  for (int32_t i = 0; i < nrow; ++i) ref_c = std::min<int64_t>(ref_c, index[3 * i + 1]);
  for (int32_t i = 0; i < nrow; ++i) {
    const int32_t* row = cols + (index[3 * i + 1] - ref_c);
    int32_t last = 0;
    for (int32_t e = 0; e < index[3 * i + 2]; ++e) {
      if (row[e] <= last || row[e] > heap_size.cells) {
        refuse_store("row " + std::to_string(i + 1) + " of matrix " + std::to_string(m) +
                     " has column " + std::to_string(row[e]) +
                     (e == 0 ? std::string(" first") : " after column " + std::to_string(last)) +
                     " (the columns of a row ascend from 1).");
      }
      last = row[e];
    }
  }
}

// Record 2: element and row counts of every matrix, adding up to the section
// header's total. A negative element count marks a symmetric matrix of which
// only the upper triangle is stored: it holds -count elements once expanded,
// and that is what the header counts. A negative row count -R marks a
// factored matrix of R rows (its element count, >= 0, is the assembled one).
int64_t loaded_elements(int32_t count) { return count < 0 ? -int64_t{count} : int64_t{count}; }

void check_counts(const std::vector<int32_t>& counts, int32_t nmat, int32_t total) {
  constexpr int32_t lowest = std::numeric_limits<int32_t>::min();
  int64_t sum = 0;
  for (int32_t k = 0; k < nmat; ++k) {
    const int32_t elements = counts[2 * k], rows = counts[2 * k + 1];
    if ((rows < 0 && elements < 0) || elements == lowest || rows == lowest) {
      refuse_store("matrix " + std::to_string(k + 1) + " has a negative row count with a " +
                   "negative element count, or a row or element count out of range.");
    }
    sum += loaded_elements(elements);
  }
  if (sum != total) {
    refuse_store("the matrices hold " + std::to_string(sum) +
                 " elements, the section header says " + std::to_string(total) + ".");
  }
}

// One matrix: each record's length is checked against its count before the
// array that receives it is taken from the work array, and what was read is
// checked before the row index is re-based onto the new arrays.
void read_store_matrix(int32_t k, int32_t elements, int32_t rows) {
  const std::string which = " of matrix " + std::to_string(k + 1);
  int32_t index_pos = 0, col_pos = 0, val_pos = 0;
  expect_record(3 * int64_t{rows}, "the row index" + which);
  illoc("old cowan", cells_for(3 * int64_t{rows}), index_pos);
  indx.pos[k] = index_pos;
  rint99(ih(index_pos), 3 * rows);
  expect_record(elements, "the columns" + which);
  illoc("old cowan", elements, col_pos);
  rint99(ih(col_pos), elements);
  expect_record(elements, "the values" + which);
  alloc("old cowan", elements, val_pos);
  read99(rh(val_pos), elements);
  check_row_index(ih(index_pos), rows, elements, k + 1);
  check_columns(ih(index_pos), ih(col_pos), rows, k + 1);
  shift_index(ih(index_pos), val_pos, col_pos, rows);
}

// A symmetric matrix stored as its upper triangle, in four records: one word
// a row (twice the number of the row's elements right of the diagonal, plus 1
// when it has one on the diagonal: the rows follow each other, no positions),
// the diagonal elements' values, then the columns and the values of the
// elements right of the diagonal, row by row. It is expanded into the element
// list the full matrix would have been stored as - rows ascending, columns
// ascending within a row, the mirrored values copied bit for bit, a row
// without elements at (1, 1, 0) before re-basing - in arrays taken from the
// work array exactly as for the full matrix, so that everything built from it
// is the same. The triangle itself is read outside the work array, each
// record checked before its array is made (a damaged count cannot ask for
// more memory than the file holds).
void read_store_triangle(int32_t k, int32_t elements, int32_t rows) {
  const std::string which = " of matrix " + std::to_string(k + 1);
  const std::string shape = std::to_string(rows) + " x " + std::to_string(rows);
  int32_t index_pos = 0, col_pos = 0, val_pos = 0;
  expect_record(rows, "the row words" + which);
  illoc("old cowan", cells_for(3 * int64_t{rows}), index_pos);
  indx.pos[k] = index_pos;
  std::vector<int32_t> word(static_cast<std::size_t>(rows));
  rint99(word.data(), rows);
  int64_t ndiag = 0, nright = 0;
  for (int32_t i = 0; i < rows; ++i) {
    if (word[i] < 0 || word[i] / 2 > rows - 1 - i) {
      refuse_store("row " + std::to_string(i + 1) + which + " has the word " +
                   std::to_string(word[i]) + ": more elements right of the diagonal than the " +
                   std::to_string(rows - 1 - i) + " a row of a symmetric " + shape +
                   " matrix has there, or fewer than none.");
    }
    ndiag += word[i] % 2;
    nright += word[i] / 2;
  }
  if (ndiag + 2 * nright != elements) {
    refuse_store("the upper triangle" + which + " expands to " +
                 std::to_string(ndiag + 2 * nright) + " elements, its count says " +
                 std::to_string(elements) + ".");
  }
  const auto nd = static_cast<int32_t>(ndiag), n = static_cast<int32_t>(nright);
  expect_record(nd, "the diagonal" + which);
  std::vector<float> diagonal(static_cast<std::size_t>(nd));
  read99(diagonal.data(), nd);
  expect_record(n, "the columns" + which);
  std::vector<int32_t> cols(static_cast<std::size_t>(n));
  rint99(cols.data(), n);
  expect_record(n, "the values" + which);
  std::vector<float> values(static_cast<std::size_t>(n));
  read99(values.data(), n);

  // The columns right of the diagonal ascend within a row, from past the
  // diagonal to at most rows; each is mirrored into its column's row.
  std::vector<int64_t> lower(static_cast<std::size_t>(rows), 0);
  int64_t at = 0;
  for (int32_t i = 0; i < rows; ++i) {
    int32_t last = i + 1;
    for (int32_t e = 0; e < word[i] / 2; ++e, ++at) {
      const int32_t c = cols[at];
      if (c <= last || c > rows) {
        refuse_store("row " + std::to_string(i + 1) + which + " has column " +
                     std::to_string(c) +
                     (e == 0 ? std::string(" first") : " after column " + std::to_string(last)) +
                     " (right of the diagonal of a symmetric " + shape +
                     " matrix the columns of a row ascend from the row's own + 1).");
      }
      ++lower[c - 1];
      last = c;
    }
  }

  illoc("old cowan", elements, col_pos);
  alloc("old cowan", elements, val_pos);
  int32_t* out_cols = ih(col_pos);
  float* out_values = rh(val_pos);
  int32_t* index = ih(index_pos);
  // Row i holds its mirrored elements (left of the diagonal) first, from
  // next[i] on, then its diagonal element and the elements right of it.
  std::vector<int64_t> next(static_cast<std::size_t>(rows));
  int64_t start = 0, d = 0;
  at = 0;
  for (int32_t i = 0; i < rows; ++i) {
    next[i] = start;
    int64_t out = start + lower[i];
    if (word[i] % 2 != 0) {
      out_cols[out] = i + 1;
      out_values[out] = diagonal[d++];
      ++out;
    }
    for (int32_t e = 0; e < word[i] / 2; ++e, ++at, ++out) {
      out_cols[out] = cols[at];
      out_values[out] = values[at];
    }
    const auto count = static_cast<int32_t>(out - start);
    index[3 * i] = count > 0 ? static_cast<int32_t>(start + 1) : 1;
    index[3 * i + 1] = index[3 * i];
    index[3 * i + 2] = count;
    start = out;
  }
  at = 0;
  for (int32_t i = 0; i < rows; ++i) {  // rows ascending: mirrored columns ascend
    for (int32_t e = 0; e < word[i] / 2; ++e, ++at) {
      const int32_t c = cols[at];
      out_cols[next[c - 1]] = i + 1;
      out_values[next[c - 1]] = values[at];
      ++next[c - 1];
    }
  }
  shift_index(index, val_pos, col_pos, rows);
}

void cowan_from_store() {
  if (!cowan_store.store_written && !cowan_store.age_checked) store_age_notice();
  cowan_store.age_checked = true;
  int32_t head[2] = {0, 0};
  expect_record(2, "the section header (total elements, number of matrices)");
  rint99(head, 2);
  const int32_t total = head[0], nmat = head[1];
  write(6, "(a/ a,i12/ a,i5)", " Cowan store will be read from file 99.", " Total length =", total,
        " Number of matrixes  =", nmat);
  if (nmat < 0 || nmat > lindx) {
    refuse_store("a section of " + std::to_string(nmat) + " matrices (0 to " +
                 std::to_string(lindx) + " allowed).");
  }
  std::vector<int32_t> counts(2 * static_cast<std::size_t>(nmat));
  expect_record(2 * int64_t{nmat}, "the element and row counts");
  rint99(counts.data(), 2 * nmat);
  check_counts(counts, nmat, total);
  cowan_store.nmat = 0;
  cowan_store.from_store = true;
  for (int32_t k = 0; k < nmat; ++k) {
    const int32_t elements = counts[2 * k], rows = counts[2 * k + 1];
    if (rows < 0) {
      read_store_factored(k, elements, -rows);
    } else if (elements < 0) {
      read_store_triangle(k, -elements, rows);
    } else {
      read_store_matrix(k, elements, rows);
    }
    cowan_store.nrow[k] = rows < 0 ? -rows : rows;
  }
  cowan_store.nmat = nmat;
}

void read_record(std::span<std::byte> bytes) {
  if (uf_read(store_unit, {bytes}) != 0) {
    refuse_store(
        "end of file inside a section (the file holds fewer sections than this calculation "
        "loads).");
  }
}

}  // namespace

// Loads one section of the coefficient store. Reading from the text file
// writes the same section to the store file, so later calculations of the
// run (which load the same pairs in the same order) skip the text parsing.
void cowan() {
  if (qaz.oldcowan != 0) {
    cowan_from_store();
    return;
  }
  cowan_from_text();
}

// Reads row records until nelem elements or nrow records have been read.
// Rows not listed keep (1, 1, 0); a read error ends the matrix, rows not yet
// read keep count 0, and the load goes on.
void rncowan(int32_t* row_index, float* values, int32_t* cols, int32_t nrow, int32_t nelem) {
  for (int32_t i = 0; i < nrow; ++i) {
    row_index[3 * i] = 1;
    row_index[3 * i + 1] = 1;
    row_index[3 * i + 2] = 0;
  }
  if (nrow <= 0) return;
  int32_t pos = 0;
  int32_t i = 0, n = 0;  // kept from record to record, as the items of one READ are
  for (int32_t record = 0; record < nrow; ++record) {
    if (pos == nelem) return;
    if (!read_row_record(cols + pos, values + pos, nrow, nelem - pos, i, n)) {
      row_read_error();
      return;
    }
    row_index[3 * (i - 1)] = pos + 1;
    row_index[3 * (i - 1) + 1] = pos + 1;
    row_index[3 * (i - 1) + 2] = n;
    pos += n;
  }
}

void shift_index(int32_t* row_index, int32_t value_base, int32_t col_base, int32_t nrow) {
  if (nrow <= 0) return;
  int32_t ref_v = row_index[0], ref_c = row_index[1];
  for (int32_t i = 1; i < nrow; ++i) {
    ref_v = std::min(ref_v, row_index[3 * i]);
    ref_c = std::min(ref_c, row_index[3 * i + 1]);
  }
  // Modular arithmetic: the shifted positions are in range even when the
  // difference of the bases is not.
  const uint32_t dv = static_cast<uint32_t>(value_base) - static_cast<uint32_t>(ref_v);
  const uint32_t dc = static_cast<uint32_t>(col_base) - static_cast<uint32_t>(ref_c);
  for (int32_t i = 0; i < nrow; ++i) {
    row_index[3 * i] = static_cast<int32_t>(static_cast<uint32_t>(row_index[3 * i]) + dv);
    row_index[3 * i + 1] = static_cast<int32_t>(static_cast<uint32_t>(row_index[3 * i + 1]) + dc);
  }
}

void store_age_notice() {
  namespace fs = std::filesystem;
  std::error_code e14, e99;
  const fs::file_time_type t14 = fs::last_write_time("FTN14", e14);
  const fs::file_time_type t99 = fs::last_write_time("FTN99", e99);
  if (e14 || e99 || !(t99 < t14)) return;
  notice(
      "FTN99 is older than FTN14: with OLDCOWAN the coefficient blocks are read from FTN99, which "
      "may have been written from an earlier FTN14 or for another model.");
}

void wint99(const int32_t* a, int32_t n) {
  uf_write(store_unit, {uf_bytes(a, static_cast<std::size_t>(std::max(n, 0)))});
}

void write99(const float* a, int32_t n) {
  uf_write(store_unit, {uf_bytes(a, static_cast<std::size_t>(std::max(n, 0)))});
}

void rint99(int32_t* a, int32_t n) {
  read_record(uf_bytes_out(a, static_cast<std::size_t>(std::max(n, 0))));
}

void read99(float* a, int32_t n) {
  read_record(uf_bytes_out(a, static_cast<std::size_t>(std::max(n, 0))));
}

}  // namespace mv
