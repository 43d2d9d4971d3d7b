// The coefficient store: the numbered sparse reduced-matrix blocks of one
// configuration pair, loaded into the work array from the coefficient file
// (unit 14, text) or, with the OLDCOWAN switch on, from its unformatted copy
// (unit 99), which every load from the text file writes.
//
// Matrix m (1-based, in its order within the section) is reached through
// indx.pos[m-1], the position of its row index: per row the triple (value
// position, column position, element count), absolute work-array positions.
#pragma once
#include <cstdint>

#include "hamiltonian/sparse.h"

namespace mv {

// Loads the next section. The token input must already be switched to unit 14.
void cowan();

// Reads the row records of one matrix from unit 14 (free form, one record per
// listed row: i, n, n pairs (column, value)). Row positions come out relative
// (row with the first element read at 1); shift_index makes them absolute.
void rncowan(int32_t* row_index, float* values, int32_t* cols, int32_t nrow, int32_t nelem);

// Moves the row index onto value and column arrays starting at value_base and
// col_base. The old bases are the lowest positions the index holds (every
// position lies at or above its array's start, and an empty row sits at it),
// so rows may be listed in any order.
void shift_index(int32_t* row_index, int32_t value_base, int32_t col_base, int32_t nrow);

// A notice when the store file FTN99 is older than the coefficient file
// FTN14 (both in the working directory): it may hold another model's blocks.
void store_age_notice();

// One record of unit 99 each.
void wint99(const int32_t*, int32_t n);
void write99(const float*, int32_t n);
void rint99(int32_t*, int32_t n);
void read99(float*, int32_t n);

// What the last load holds: the number of matrices and their row counts, so
// that the recipe reader can refuse an add list that reaches outside them,
// and whether it came from the store file (then a mismatch most likely means
// a store file left by another model). The run's first read of the store
// file compares its age with the coefficient file's, unless the run wrote it.
struct cowan_store_block {
  int32_t nmat = 0;
  int32_t nrow[lindx] = {};
  bool from_store = false;
  bool store_written = false;
  bool age_checked = false;
};
extern cowan_store_block cowan_store;

}  // namespace mv
