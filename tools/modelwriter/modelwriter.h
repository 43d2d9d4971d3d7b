// Writer of coefficient files (FTN14) and recipe files (FTN15) for small test
// models, from explicit dense matrices. It knows only the two files' text
// layout and the order in which a calculation consumes them, nothing of the
// program's internals.
//
// Low level: write_ftn14 (sections of numbered sparse matrices, each ended by
// FINISHED) and write_ftn15 (IRREP entries, then REDUCEDMATRIX recipes).
// High level: a Model (per side and configuration the multiplet operators,
// the mixing operators, the transition operators) gives both files, the
// command lines that switch its operators on, and, per loaded pair, the dense
// matrices the program should build from them.
//
// One Model describes one triad. Later triads of a run read the coefficient
// sections of the first one again (from the store file), so a second triad
// may only use the same matrices: its FTN15 text (write_model of a model with
// other labels and the same operators) may be appended to the first's.
#pragma once
#include <array>
#include <initializer_list>
#include <string>
#include <vector>

namespace mw {

// A small dense matrix, row-major.
struct Matrix {
  int rows = 0, cols = 0;
  std::vector<float> a;
  float at(int i, int j) const {
    return a[static_cast<std::size_t>((i - 1) * cols + (j - 1))];
  }  // 1-based
  float& at(int i, int j) { return a[static_cast<std::size_t>((i - 1) * cols + (j - 1))]; }
};
Matrix zeros(int rows, int cols);
Matrix matrix(int rows, int cols, std::initializer_list<float> row_major);

// ---------------------------------------------------------------- FTN14

struct Section {
  std::vector<Matrix> matrices;  // numbered 1, 2, ... in the ADD lines
};

struct Style {
  int pairs_per_line = 3;        // a row record with more pairs continues on further lines
  bool foreign_text = true;      // coupling-program-like words around the matrices
  bool reverse_rows = false;     // list each matrix's rows last to first
  int block_rows = 0;            // > 0: store each operator in blocks of at most this
  int block_cols = 0;            //   many rows / columns, one ADD line per block
  bool split_add_lines = false;  // ADD lines continued on a second line
};

// Exact zeros are left out; values are written so that they read back to the
// same float.
std::string write_ftn14(const std::vector<Section>& sections, const Style& style = {});

// ---------------------------------------------------------------- FTN15

struct Irrep {
  std::string kind;  // "GROUND" or "EXCITE" (a word containing one of them)
  std::string label;
  int mult = 0, dim = 0;
};

struct Add {
  int matrix = 1, row0 = 1, col0 = 1, rows = 0, cols = 0;
  float coefficient = 1.0f;
};

struct Recipe {
  std::string kind;  // "TRANSI", "GROUND", "EXCITE" or a word containing one
  std::string bra, op, ket;
  std::string fourth;     // written only when not empty (runs with PRMULT)
  std::string end_label;  // empty: one is made up
  int dim_bra = 0, dim_ket = 0;
  std::vector<Add> adds;
};

std::string write_ftn15(const std::vector<Irrep>& irreps, const std::vector<Recipe>& recipes,
                        const Style& style = {});

// The operator name a recipe header carries for the scalar operator "0" of a
// side: "0+" when the side's label carries a parity sign ("A1+", "T2-").
std::string scalar_operator(const std::string& label);

// ---------------------------------------------------------------- models

struct Operator {
  Matrix m;
  float factor = 1.0f;  // the operator's factor in the command file
};

struct Side {
  std::string label;                         // symmetry label as on the triad line (upper case)
  int dim = 1;                               // DIM of the IRREP entries
  std::array<int, 3> mult{};                 // multiplicity per configuration
  std::array<std::vector<Operator>, 3> ham;  // multiplet terms of configuration c (mult x mult)
  std::array<std::vector<Operator>, 2> mix;  // [0]: configuration 1 to 2, [1]: 2 to 3
};

struct Model {
  int nconf_ground = 1, nconf_excited = 1;
  Side ground, excited;
  std::string op = "T1";  // operator label of the triad
  bool prmult = false;
  std::string fourth;                                         // fourth triad label, with prmult
  std::array<std::array<std::vector<Operator>, 3>, 3> trans;  // [L-1][N-1]: ground L to excited N
  Style style;
};

// One configuration pair as the calculation loads it, in load order, with the
// arguments of the load and the matrices it should produce.
struct LoadedPair {
  int type_bra = 1, type_ket = 2, conf_bra = 1, conf_ket = 1;  // types: 1 ground, 2 excited
  std::string bra, op, ket, fourth;                            // labels passed to the load
  int dim_bra = 0, dim_ket = 0;
  Section section;
  std::vector<Recipe> recipes;
  Matrix ham_bra, ham_ket, trans;  // sum of factor x matrix of each kind
};

std::vector<LoadedPair> loaded_pairs(const Model& model);
// The IRREP entries in the order of the multiplicity look-ups.
std::vector<Irrep> irrep_entries(const Model& model);

struct Files {
  std::string ftn14, ftn15;
};
Files write_model(const Model& model);

// NCONF, XHAM, XMIX, XTRAN (and PRMULT) lines giving the model's operator
// counts and factors; the band parameters and TRIADS are the caller's.
std::string command_lines(const Model& model);
// "ground op excited [fourth]".
std::string triad_line(const Model& model);

// Sum of factor x matrix over the operators, in their order, as floats; a
// rows x cols zero matrix when there are none.
Matrix combined(const std::vector<Operator>& ops, int rows, int cols);

}  // namespace mw
