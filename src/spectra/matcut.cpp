#include "spectra/matcut.h"

#include <cstddef>

#include "support/runsupport.h"
#include "io/format.h"

namespace mv {

namespace {

[[noreturn]] void matcut_error() { quitprog("Error in subroutine MATCUT"); }

constexpr const char* not_below_one = "These values should be equal to or greater than 1";
constexpr const char* not_below_zero = "These values should be equal to or greater than 0";

// 1 <= offset <= size, else the " Out of range | NAME(" message.
void check_offset(const char* text, int32_t offset, int32_t size) {
  if (offset >= 1 && offset <= size) return;
  write(6, "( 2(A,I4) )", text, offset, ") should be 1<= & <=", size);
  matcut_error();
}

// offset + extent - 1 <= size, else the "should be less than" message.
void check_extent(const char* offset_text, int32_t offset, const char* extent_text, int32_t extent,
                  const char* size_text, int32_t size) {
  const int32_t end = offset + extent - 1;
  if (end <= size) return;
  write(6, "( 4(A,I4) )", offset_text, offset, extent_text, extent, ")-1=", end, size_text, size);
  matcut_error();
}

}  // namespace

void matcut(int32_t nyi, int32_t nxi, int32_t nyo, int32_t nxo, int32_t nofsxi, int32_t nofsyi,
            int32_t nofsxo, int32_t nofsyo, int32_t ndx, int32_t ndy, const float* source,
            float* target) {
  if (nxo == 0 || nyo == 0 || ndx == 0 || ndy == 0) return;

  if (nxi < 1 || nyi < 1 || nxo < 1 || nyo < 1) {
    list_write(6, not_below_one);
    write(6, "(4(A,I4))", " NXI=", nxi, " NYI=", nyi, " NXO=", nxo, " NYO=", nyo);
    matcut_error();
  }
  if (nofsxi < 0 || nofsyi < 0 || nofsxo < 0 || nofsyo < 0) {
    list_write(6, not_below_zero);
    write(6, "(4(A,I4))", " NOFSXI=", nofsxi, " NOFSYI=", nofsyi, "NOFSXO=", nofsxo,
          " NOFSYO=", nofsyo);
    matcut_error();
  }
  if (ndx < 0 || ndy < 0) {
    list_write(6, not_below_zero);
    write(6, "(2(A,I4))", " NDX=", ndx, " NDY=", ndy);
    matcut_error();
  }
  check_offset(" Out of range | NOFSXI(", nofsxi, nxi);
  check_offset(" Out of range | NOFSYI(", nofsyi, nyi);
  check_offset(" Out of range | NOFSXO(", nofsxo, nxo);
  check_offset(" Out of range | NOFSYO(", nofsyo, nyo);
  check_extent(" Out of range | NOFSXI(", nofsxi, ")+NDX(", ndx, " should be less than NXI=", nxi);
  check_extent(" Out of range | NOFSYI(", nofsyi, ")+NDY(", ndy, " should be less than NYI=", nyi);
  check_extent(" Out of range | NOFSXO(", nofsxo, ")+NDY(", ndy, " should be less than NXO=", nxo);
  check_extent(" Out of range | NOFSYO(", nofsyo, ")+NDX(", ndx, " should be less than NYO=", nyo);

  for (int32_t i = 0; i < ndx; ++i) {
    const float* from = source + (nofsyi - 1) + static_cast<std::ptrdiff_t>(nofsxi - 1 + i) * nyi;
    float* to = target + (nofsyo - 1 + i) + static_cast<std::ptrdiff_t>(nofsxo - 1) * nyo;
    for (int32_t j = 0; j < ndy; ++j) to[static_cast<std::ptrdiff_t>(j) * nyo] = from[j];
  }
}

void genmat(int32_t nog, int32_t nof, const float* h, const float* t, int32_t noa, int32_t nob,
            float* haa, float* hbb, float* hab, float* ta, float* tb) {
  list_write(6, "subroutine GENMAT callED");
  matcut(nof, nof, noa, noa, 1, 1, 1, 1, noa, noa, h, haa);
  matcut(nof, nof, nob, nob, noa + 1, noa + 1, 1, 1, nob, nob, h, hbb);
  matcut(nof, nof, noa, nob, 1, noa + 1, 1, 1, noa, nob, h, hab);
  matcut(nog, nof, noa, nog, 1, 1, 1, 1, noa, nog, t, ta);
  matcut(nog, nof, nob, nog, noa + 1, 1, 1, 1, nob, nog, t, tb);
}

}  // namespace mv
