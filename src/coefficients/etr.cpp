// Reading one REDUCEDMATRIX block of the recipe file into the add list.
//
// Block layout (tokens; an ADD line may be split over several lines):
//   REDUCEDMATRIX kind bra op ket [fourth, with PRMULT] endlabel dim_bra dim_ket
//   ADD matrix first_row first_column rows columns coefficient
//   END endlabel
#include "coefficients/etr.h"

#include <string>

#include "coefficients/actors.h"
#include "hamiltonian/sparse.h"
#include "input/reader.h"
#include "io/format.h"
#include "workarray/heap.h"

namespace mv {
namespace {

bool contains(std::string_view token, std::string_view word) {
  return trimmed(token).find(trimmed(word)) != std::string_view::npos;
}

// The recipe file writes the scalar operator of a side with a parity-signed
// name ("A1+ ") as "0+".
std::string operator_copy(std::string_view op, std::string_view bra) {
  std::string copy = padded(op, token_length);
  if (!same_word(copy, "0")) return copy;
  const std::string bra_name = padded(bra, token_length);
  if (bra_name.find("+ ") != std::string::npos || bra_name.find("- ") != std::string::npos) {
    return padded("0+", token_length);
  }
  return copy;
}

// Reads forward, a line at a time, to the header of the block asked for. The
// tokens of the header stay in the reader, which then stands after the last
// label compared.
void find_header(std::string_view kind, std::string_view bra, std::string_view op,
                 std::string_view ket, std::string_view fourth) {
  for (;;) {
    newlin();
    if (!contains(chaget(), "REDUCEDMATRIX")) continue;
    if (!contains(chaget(), kind)) continue;
    if (!same_word(chaget(), bra)) continue;
    if (!same_word(chaget(), op)) continue;
    if (!same_word(chaget(), ket)) continue;
    if (cprmult.prmult != 0 && !same_word(chaget(), fourth)) continue;
    return;
  }
}

void read_add(int32_t& counter, float factor) {
  check(counter, max_add, "MAX_ADD", 0);
  const int32_t j = counter - 1;
  intget(ibuild.mat[j]);
  intget(ibuild.row0[j]);
  intget(ibuild.col0[j]);
  intget(ibuild.nrow[j]);
  intget(ibuild.ncol[j]);
  float v = 0.0f;
  reaget(v);
  ibuild.factor[j] = v * factor;
  ibuild.shift[j] = 0.0f;
  counter += 1;
}

}  // namespace

void etr(int32_t& dim_bra, int32_t& dim_ket, std::string_view bra, std::string_view op,
         std::string_view ket, std::string_view fourth, std::string_view kind, int32_t& counter,
         float factor) {
  const std::string op_copy = operator_copy(op, bra);
  write(6, "(A,A8,2X,3A6,2I5,A,F12.7)", " looking for ", kind, bra, op_copy, ket, dim_bra, dim_ket,
        " Factor =", factor);
  status("ETR");
  find_header(kind, bra, op_copy, ket, fourth);

  const Token end_label = chaget();
  chckin(dim_bra);  // dim_bra and dim_ket may be one variable (a side's own Hamiltonian)
  chckin(dim_ket);
  putinp();

  for (;;) {
    const Token token = chaget();
    if (same_word(token, "ADD")) {
      read_add(counter, factor);
      continue;
    }
    if (same_word(token, "END")) {
      chckch(end_label);
      return;
    }
    list_write(6, "Expected \"ADD\" or \"END\", got: ", token, " in:");
    warn(10);
  }
}

}  // namespace mv
