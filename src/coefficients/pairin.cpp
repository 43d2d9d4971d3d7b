// Loading one configuration pair: the coefficient store from unit 14 (or 99),
// then the pair's recipe blocks from unit 15, in the order in which the
// recipe file holds them: transition blocks, bra-side blocks, ket-side blocks.
#include "coefficients/pairin.h"

#include <limits>
#include <string>

#include "coefficients/actors.h"
#include "coefficients/cowan.h"
#include "hamiltonian/sparse.h"
#include "input/reader.h"
#include "io/format.h"
#include "io/units.h"
#include "support/runsupport.h"
#include "workarray/heap.h"

namespace mv {
namespace {

std::string_view side_label(int32_t type) {
  constexpr std::string_view labels = "groundexcite";
  return labels.substr(static_cast<std::size_t>(6 * type - 6), 6);
}

// A recipe that does not fit blocks read back from the store file most
// likely meets a store file written for another model or from an older
// coefficient file: the message says so.
[[noreturn]] void bad_add(int32_t j, const std::string& why) {
  std::string text = "Recipe ADD line " + std::to_string(j + 1) + " of the block " + why;
  if (cowan_store.from_store) {
    text +=
        " The coefficient blocks were read from FTN99 (OLDCOWAN): FTN99 was probably written for "
        "another model or from an older FTN14.";
  }
  quitprog(text);
}

// The builder trusts its add list; a recipe that names a matrix the section
// does not hold, or places one outside the n x m result, is stopped here
// rather than read past the store.
void check_add_list(int32_t q, int32_t n, int32_t m) {
  if (n < 0 || m < 0) {
    quitprog("Recipe header gives a negative dimension: " + std::to_string(n) + " x " +
             std::to_string(m));
  }
  // The row index of an n-row matrix takes 3n cells: beyond this no work
  // array can hold it, so the header is wrong rather than the model large.
  constexpr int32_t max_rows = std::numeric_limits<int32_t>::max() / 3;
  if (n > max_rows) {
    quitprog("Recipe header gives the dimensions " + std::to_string(n) + " x " + std::to_string(m) +
             ": no work array holds a matrix of more than " + std::to_string(max_rows) + " rows.");
  }
  for (int32_t j = 0; j < q; ++j) {
    const int32_t mat = ibuild.mat[j], rows = ibuild.nrow[j], r0 = ibuild.row0[j],
                  c0 = ibuild.col0[j];
    if (rows <= 0) continue;
    if (mat < 1 || mat > cowan_store.nmat) {
      bad_add(j, "names matrix " + std::to_string(mat) + "; the coefficient section holds " +
                     std::to_string(cowan_store.nmat) + ".");
    }
    if (rows > cowan_store.nrow[mat - 1]) {
      bad_add(j, "uses " + std::to_string(rows) + " rows of matrix " + std::to_string(mat) +
                     ", which has " + std::to_string(cowan_store.nrow[mat - 1]) + ".");
    }
    if (r0 < 1 || int64_t{r0} + rows - 1 > n) {
      bad_add(j, "places rows outside the " + std::to_string(n) + " rows of the result.");
    }
    const int32_t* index = ih(indx.pos[mat - 1]);
    for (int32_t r = 0; r < rows; ++r) {
      const int32_t k = index[3 * r + 2];
      if (k == 0) continue;
      const int32_t last_column = ih(index[3 * r + 1])[k - 1];
      if (c0 < 1 || int64_t{c0} + last_column - 1 > m) {
        bad_add(j, "places columns outside the " + std::to_string(m) + " columns of the result.");
      }
    }
  }
}

// The blocks of `count` operators of one kind into one matrix.
void build(int32_t& p, int32_t count, int32_t t1, int32_t t2, int32_t c1, int32_t c2, int32_t& dim1,
           int32_t& dim2, std::string_view bra, std::string_view op, std::string_view ket,
           std::string_view fourth, std::string_view kind) {
  if (count > max_operators) {
    quitprog("More than " + std::to_string(max_operators) +
             " operators for one configuration pair.");
  }
  int32_t counter = 1;
  for (int32_t k = 1; k <= count; ++k) {
    etr(dim1, dim2, bra, op, ket, fourth, kind, counter, actor_factor(k, t1, t2, c1, c2));
  }
  check_add_list(counter - 1, dim1, dim2);
  sp_build(p, counter - 1, dim1, dim2, 0);
}

}  // namespace

void pairin(int32_t& ham_bra, int32_t& ham_ket, int32_t& trans, int32_t& dim_bra, int32_t& dim_ket,
            std::string_view bra, std::string_view op, std::string_view ket,
            std::string_view fourth, int32_t type_bra, int32_t type_ket, int32_t conf_bra,
            int32_t conf_ket) {
  const int32_t count = actor_count(type_bra, type_ket, conf_bra, conf_ket);
  if (count == 0) return;

  write_record(6, "");
  write(6, "(3a,i1,3a,i1,a,i6,a,i6)", "=========== PAIR  ", side_label(type_bra), " ", conf_bra,
        " => ", side_label(type_ket), " ", conf_ket, "   ", dim_bra, " * ", dim_ket);

  newfil(14);
  int32_t store_mark = 0, built_mark = 0;
  alloc("pairin", 0, store_mark);
  timing("begin of cowan");
  cowan();
  timing("end of cowan");
  alloc("pairin", 0, built_mark);

  newfil(15);
  build(trans, count, type_bra, type_ket, conf_bra, conf_ket, dim_bra, dim_ket, bra, op, ket,
        fourth, "TRANSI");
  // "GROUND" and "EXCITE" name the bra and the ket side of the pair, also when
  // both configurations belong to one side.
  build(ham_bra, actor_count(type_bra, type_bra, conf_bra, conf_bra), type_bra, type_bra, conf_bra,
        conf_bra, dim_bra, dim_bra, bra, "0", bra, "0", "GROUND");
  build(ham_ket, actor_count(type_ket, type_ket, conf_ket, conf_ket), type_ket, type_ket, conf_ket,
        conf_ket, dim_ket, dim_ket, ket, "0", ket, "0", "EXCITE");

  // The store was needed only for these three; its cells stay until the
  // driver cuts the work array back.
  remove_region("pairin", store_mark, built_mark);
}

}  // namespace mv
