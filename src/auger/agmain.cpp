#include "auger/agmain.h"

#include "auger/energy_steps.h"
#include "auger/mmult_rows.h"
#include "coefficients/find_data.h"
#include "support/runsupport.h"
#include "io/format.h"
#include "output/plotout.h"
#include "spectra/diag.h"
#include "spectra/eigen.h"
#include "spectra/transform.h"
#include "workarray/heap.h"

namespace mv {
namespace {

inline std::size_t ix(int32_t i, int32_t j, int32_t ld) {
  return static_cast<std::size_t>(i - 1) + static_cast<std::size_t>(j - 1) * ld;
}

void continuum_eigenstates(std::string_view label, int32_t noa, int32_t nob, int32_t ndeg,
                           float* eb, const agmain_arrays& x) {
  const int32_t rows = noa + ndeg;
  int32_t pp = 0;
  alloc("agmain", nob * rows, pp);
  float* p = rh(pp);
  gather(noa, ndeg, nob, x.hab, x.tb, p);
  eigen(label, x.hbb, nob, nob, eb, p, rows);
  degather(noa, ndeg, nob, p, x.hab, x.tb);
  dealloc("agmain", nob * rows, pp);
}

}  // namespace

void gather(int32_t noa, int32_t ndeg, int32_t nob, const float* hab, const float* tb, float* p) {
  const int32_t rows = noa + ndeg;
  for (int32_t b = 1; b <= nob; ++b) {
    for (int32_t a = 1; a <= noa; ++a) p[ix(a, b, rows)] = hab[ix(a, b, noa)];
    for (int32_t k = 1; k <= ndeg; ++k) p[ix(noa + k, b, rows)] = tb[ix(b, k, nob)];
  }
}

void degather(int32_t noa, int32_t ndeg, int32_t nob, const float* p, float* hab, float* tb) {
  const int32_t rows = noa + ndeg;
  for (int32_t b = 1; b <= nob; ++b) {
    for (int32_t a = 1; a <= noa; ++a) hab[ix(a, b, noa)] = p[ix(a, b, rows)];
    for (int32_t k = 1; k <= ndeg; ++k) tb[ix(b, k, nob)] = p[ix(noa + k, b, rows)];
  }
}

void mmult(int32_t na, int32_t nb, int32_t ng, int32_t ndeg, float* c, const float* a,
           const float* b) {
  if (na == 0) return;
  if (na < 1 || nb < 1 || ng < 1 || ndeg < 1) {
    list_write(6, "These values should be equal to or greater than 1");
    write(6, "(4(A,I4))", " Na=", na, " Nb=", nb, " Ng=", ng, " Ndeg=", ndeg);
    quitprog("Error in subroutine MMULT");
  }
  if (ng < ndeg) {
    list_write(6, "Ndeg=", ndeg, " should be smaller than Ng=", ng);
    quitprog("Error in subroutine MMULT");
  }
  mmult_rows(na, nb, ndeg, c, a, b);
}

void auger_spect(int32_t n, int32_t ndeg, const float* re, const float* im, float* out,
                 float& total) {
  zero(out, n);
  for (int32_t i = 1; i <= n; ++i) {
    for (int32_t k = 1; k <= ndeg; ++k) {
      const float r = re[ix(i, k, n)], m = im[ix(i, k, n)];
      out[i - 1] = out[i - 1] + (r * r + m * m);
    }
  }
  total = 0.0f;
  for (int32_t i = 0; i < n; ++i) total = total + out[i];
}

void auger_spect_real(int32_t ndeg, int32_t n, const float* t, float* out, float& total) {
  for (int32_t f = 1; f <= n; ++f) {
    float s = 0.0f;
    for (int32_t k = 1; k <= ndeg; ++k) s = s + t[ix(k, f, ndeg)] * t[ix(k, f, ndeg)];
    out[f - 1] = s;
  }
  total = 0.0f;
  for (int32_t f = 0; f < n; ++f) total = total + out[f];
}

void agmain(std::string_view label, int32_t triad, int32_t nomega, float estart, float estep,
            int32_t noa, int32_t nob, int32_t nog, int32_t ndeg, float* intensity, const float* wc,
            float* ea, float* eb, const float* eg, const agmain_arrays& x) {
  find_data(2, label, diag, x.haa, noa, noa, ea, x.hba);
  transform_bra(noa, noa, nob, noa, x.haa, x.hab);
  transform_bra(noa, noa, nog, noa, x.haa, x.ta);
  if (nomega < 0) {
    list_write(6, "The continuum states are not diagonalized.");
  } else {
    continuum_eigenstates(label, noa, nob, ndeg, eb, x);
  }
  for (int32_t b = 1; b <= nob; ++b) {
    for (int32_t a = 1; a <= noa; ++a) x.hba[ix(b, a, nob)] = x.hab[ix(a, b, noa)];
  }
  mmult(noa, nob, nog, ndeg, x.m, x.hab, x.tb);
  mmult(noa, nob, noa, noa, x.w, x.hab, x.hba);
  midout(46, 45, nog, noa, ndeg, eg, ea, x.ta, x.w, wc);
  if (nomega == 0) list_write(6, "CAUTION Nomega=0");
  energy_steps({triad, nomega, estart, estep, noa, nob, ndeg, intensity, ea, eb, eg, &x});
}

}  // namespace mv
