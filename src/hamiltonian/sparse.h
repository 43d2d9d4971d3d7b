// Sparse row matrices in the work array and the builder that assembles a large
// one from an add list of smaller stored ones.
//
// A matrix of n rows is known by the integer position p of its row index:
// 3 integers per row i at ih(p)[3*(i-1) + 0..2] = (cell position of the row's
// value block, integer position of its column block, element count k). The
// column block holds k strictly ascending 1-based column numbers; exact zeros
// are never stored. Rows are immutable once written; a matrix is freed only by
// its owner's cut_heap to an earlier marker.
#pragma once
#include <cstdint>

namespace mv {

inline constexpr int32_t max_add = 10000;

// The add list: term j (1-based) is index j-1 of every array. The builder
// takes a term's columns from its stored rows; ncol is recorded only.
struct ibuild_block {
  int32_t mat[max_add], row0[max_add], col0[max_add], nrow[max_add], ncol[max_add];
  float factor[max_add], shift[max_add];
};
extern ibuild_block ibuild;

inline constexpr int32_t lindx = 1000;
// Row-index positions of the stored matrices that add-list terms refer to:
// pos[m-1] belongs to matrix id m.
struct indx_block {
  int32_t pos[lindx];
};
extern indx_block indx;

// Builds the n x m matrix made of terms 1..q of the add list into p (out).
// With symmetrise_flag non-zero the part below the diagonal becomes the
// transpose of the part above it, whatever the terms put there. q = 0 gives an
// all-zero matrix. More than max_add terms stops the run (MAX_ADD check).
void sp_build(int32_t& p, int32_t q, int32_t n, int32_t m, int32_t symmetrise_flag);

// Stores the non-zero elements of the dense row row[0..m-1] as row i of the
// matrix whose row index is at p (value and column blocks allocated here).
void vec_to_row(int32_t p, const float* row, int32_t m, int32_t i);
// Copies the non-zero elements of row[0..m-1] and their 1-based columns,
// ascending, into values and cols (which must have room for them).
void vec_to_row_x(float* values, int32_t* cols, const float* row, int32_t m);

// Adds local row local_row of the stored matrix at term_pos, times factor, into
// the dense row at columns c0.., then adds shift (when non-zero) to column i.
// The caller makes sure every touched column lies inside the dense row.
void fill_vector(float* row, int32_t term_pos, int32_t i, int32_t c0, int32_t local_row,
                 float factor, float shift);
// row_from_c0[c-1] += values[e] * factor for each stored element (c, values[e]).
void fill_vector_x(float* row_from_c0, const float* values, const int32_t* cols, int32_t k,
                   float factor);

// Replaces row[0..i-2] (at most m cells) by the elements (r, i) of the rows
// r < i already stored in the matrix at p, 0.0 where a row has none.
void symmetrise(int32_t p, float* row, int32_t n, int32_t m, int32_t i);

// The element in column c of a stored row, 0.0 when the row has none there.
float find_element_of_sparse_row(const float* values, const int32_t* cols, int32_t k, int32_t c);

// The dense n x m column-major form (leading dimension n) of the matrix at p.
void expand(float* dense, int32_t p, int32_t n, int32_t m);
// Writes the k stored elements of row s into the dense n x m array.
void expand_row(float* dense, int32_t n, int32_t m, int32_t s, const float* values,
                const int32_t* cols, int32_t k);

}  // namespace mv
