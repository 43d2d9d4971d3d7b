#include "auger/auger.h"

#include <cmath>
#include <string>
#include <vector>

#include "auger/agmain.h"
#include "auger/totalyield.h"
#include "support/runsupport.h"
#include "io/format.h"
#include "output/plotout.h"
#include "spectra/eigen.h"
#include "spectra/hamsort.h"
#include "spectra/matcut.h"
#include "spectra/transform.h"
#include "workarray/heap.h"

namespace mv {
namespace {

inline float& at(float* a, int32_t ld, int32_t i, int32_t j) {
  return a[(i - 1) + static_cast<std::size_t>(j - 1) * ld];
}

// Nearest integer of the diagonal element / 1000, halves away from zero. A
// state outside the nine channels has no row in the channel tables: stop.
int32_t channel_code(float diagonal, int32_t state) {
  const float q = diagonal / 1000.0f;
  if (std::isfinite(q) && std::fabs(q) < 9.5f) {
    const int32_t code = static_cast<int32_t>(std::lround(q));
    if (code >= 0 && code <= 9) return code;
  }
  quitprog("Excited state " + std::to_string(state) + " has the channel code " +
           (std::isfinite(q) ? std::to_string(std::lround(q)) : std::string("(not a number)")) +
           " (diagonal element " + internal_write("(1PG15.8E2)", diagonal) +
           "); Auger channel codes must lie in 0..9.");
}

void direct_spectrum(const auger_args& g) {
  const int32_t nof = g.nof, ndeg = g.ndeg;
  int32_t pt = 0, pe = 0, pi = 0;
  alloc("auger degTf", ndeg * nof, pt);
  alloc("auger Ene", nof, pe);
  alloc("auger rInten", nof, pi);
  float* degtf = rh(pt);
  float* ene = rh(pe);
  float* inten = rh(pi);
  cut_rows(g.t, g.nog, ndeg, nof, degtf);
  eigen(g.label, g.h, nof, nof, ene, degtf, ndeg);
  float total = 0.0f;
  auger_spect_real(ndeg, nof, degtf, inten, total);
  for (int32_t i = 0; i <= g.nomega; ++i) {
    output(i, nof, ene, inten, g.eg, total);
    totalyield(61 + g.triad, g.nomega, i, g.estart, g.estep, total, total);
  }
  dealloc("auger rInten", nof, pi);
  dealloc("auger Ene", nof, pe);
  dealloc("auger degTf", ndeg * nof, pt);
}

float* take(int32_t n) {
  int32_t p = 0;
  alloc("auger", n, p);
  return rh(p);
}

void resonant_spectrum(const auger_args& g, int32_t noa, int32_t nob) {
  const int32_t nog = g.nog, ndeg = g.ndeg;
  int32_t mark = 0;
  alloc("auger", 0, mark);
  agmain_arrays x{};
  x.haa = take(noa * noa);
  x.hbb = take(nob * nob);
  x.hab = take(noa * nob);
  x.ta = take(nog * noa);
  x.tb = take(nog * nob);
  x.w = take(noa * noa);
  x.ra = take(2 * ndeg * nob);
  x.hba = take(nob * noa);
  x.m = take(ndeg * noa);
  x.g = take(2 * noa * noa);
  x.rx = take(2 * ndeg * noa);
  x.scratch = take(std::max(noa, nob));
  genmat(nog, g.nof, g.h, g.t, noa, nob, x.haa, x.hbb, x.hab, x.ta, x.tb);
  check(noa, niwk, "NiWK", 1);
  agmain(g.label, g.triad, g.nomega, g.estart, g.estep, noa, nob, nog, ndeg, g.intensity, g.wc,
         g.energy, g.energy + noa, g.eg, x);
  cut_heap("auger", mark);
}

}  // namespace

void cut_rows(const float* a, int32_t lda, int32_t k, int32_t m, float* b) {
  for (int32_t j = 0; j < m; ++j) {
    for (int32_t i = 0; i < k; ++i)
      b[i + static_cast<std::size_t>(j) * k] = a[i + static_cast<std::size_t>(j) * lda];
  }
}

int32_t rescale(const auger_args& g, int32_t* code) {
  const int32_t nof = g.nof;
  int32_t noa = 0;
  int32_t conf = 1;
  for (int32_t l = 1; l <= nof; ++l) {
    if (g.marker_e[l - 1] != 0) conf = g.marker_e[l - 1];
    float& d = at(g.h, nof, l, l);
    code[l - 1] = channel_code(d, l);
    const int32_t c = code[l - 1];
    if (c == 0) {
      ++noa;
      continue;
    }
    d = d - static_cast<float>(1000 * c) + g.efaug[c - 1][conf - 1] - g.ef[conf - 1];
  }
  if (noa == 0) {
    list_write(6, " No direct transitions to these",
               " intermediate states are posible for this symmetry. Noa=0");
  }
  for (int32_t j = 1; j <= nof; ++j) {
    for (int32_t i = 1; i <= nof; ++i) {
      const int32_t ci = code[i - 1], cj = code[j - 1];
      if ((ci == 0) == (cj == 0)) continue;
      const int32_t c = ci != 0 ? ci : cj;
      at(g.h, nof, i, j) = at(g.h, nof, i, j) * g.ci[c - 1];
    }
  }
  for (int32_t f = 1; f <= nof; ++f) {
    const int32_t c = code[f - 1];
    if (c == 0) continue;
    for (int32_t k = 1; k <= g.nog; ++k)
      at(g.t, g.nog, k, f) = at(g.t, g.nog, k, f) * g.channel_factor[c - 1];
  }
  return noa;
}

void auger(const auger_args& g) {
  list_write(6, "subroutine AUGER callED");
  check(g.nof, niwk, "NiWK", 0);
  std::vector<int32_t> code(static_cast<std::size_t>(std::max(g.nof, 1)));
  const int32_t noa = rescale(g, code.data());
  const int32_t nob = g.nof - noa;
  hamsort(g.nog, g.nof, g.t, g.h, code.data());
  write(6, "(10(a,i6))", " nog=", g.nog, " nof=", g.nof, " noa=", noa, " nob=", nob,
        " ndeg=", g.ndeg);
  transform_bra(g.nog, g.nog, g.nof, g.nog, g.q, g.t);
  if (noa > 0) {
    resonant_spectrum(g, noa, nob);
  } else {
    direct_spectrum(g);
  }
}

}  // namespace mv
