// The calculation driver: reads the coefficient blocks of one triad,
// assembles and diagonalises the ground Hamiltonian, reports the ground state
// and then computes the absorption spectrum or hands over to the Auger
// calculation. Every array lives in the work array until the main program
// cuts back to its marker.
#include "driver/master.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "auger/auger.h"
#include "coefficients/actors.h"
#include "coefficients/find_data.h"
#include "coefficients/pairin.h"
#include "hamiltonian/assembly.h"
#include "hamiltonian/sparse.h"
#include "input/reader.h"
#include "io/format.h"
#include "output/information.h"
#include "rixs/rixs.h"
#include "spectra/diag.h"
#include "spectra/spectr_krylov.h"
#include "spectra/spectr_new.h"
#include "support/runsupport.h"
#include "workarray/heap.h"

namespace mv {
namespace {

// Sparse blocks read for one triad (row-index positions; 0 = not read).
struct coefficient_blocks {
  int32_t hg[3] = {0, 0, 0}, he[3] = {0, 0, 0};
  int32_t vg12 = 0, vg23 = 0, ve12 = 0, ve23 = 0;
  int32_t t[3][3] = {};
};

// A parameter that is NaN or infinite runs through the whole calculation and
// ends as a normal run with NaN energies. The reader refuses such numbers, but
// a definition (2DEL with DEL 3E38) or a quotient (DIP 0 under AUGER) can
// still overflow.
void require_finite(float v, const std::string& name) {
  if (std::isfinite(v)) return;
  const char* what = std::isnan(v) ? "NaN" : v > 0 ? "+infinity" : "-infinity";
  quitprog("The parameter " + name + " is " + what +
           ": a value or a definition has left the range of 4-byte reals. No calculation.");
}

void check_parameters(const band_parameters& p, const float channel_factor[9], bool auger_path) {
  require_finite(p.w, "W");
  require_finite(p.del, "DEL");
  require_finite(p.ucv, "UCV");
  require_finite(p.uvv, "UVV");
  for (int k = 0; k < 3; ++k) require_finite(p.eg[k], "EG" + std::to_string(k + 1));
  for (int k = 0; k < 3; ++k) require_finite(p.ef[k], "EF" + std::to_string(k + 1));
  require_finite(p.dip, "DIP");
  if (!auger_path) return;
  require_finite(p.estart, "ESTART");
  require_finite(p.estep, "ESTEP");
  for (int i = 0; i < 9; ++i) {
    const std::string channel = " of Auger channel " + std::to_string(i + 1);
    for (int k = 0; k < 3; ++k) require_finite(p.efaug[i][k], "EF" + std::to_string(k + 1) + channel);
    require_finite(p.dipaug[i], "DIP" + channel);
    require_finite(p.ci[i], "CI" + channel);
    require_finite(channel_factor[i], "DIP" + channel + " divided by DIP");
  }
}

// Finite parameters can still be too large for the single-precision
// diagonalisation (an EG of 3E38); its NaN results must not pass for a result.
void require_finite_energies(const float* e, int32_t n, const std::string& which) {
  if (std::all_of(e, e + n, [](float x) { return std::isfinite(x); })) return;
  quitprog("The " + which +
           " energies are not finite numbers: the model's energies (W, EG, EF, the operator "
           "factors) are too large for 4-byte reals.");
}

void describe_run(const band_parameters& p, const triad_labels& l) {
  std::string s = internal_write("(2I1,4F7.3,25X,3A5)", p.n2, p.n3, p.w, p.del, p.uvv, p.ucv,
                                 l.ground, l.op, l.excited);
  information.text = padded(s, 80);
}

void read_blocks(const band_parameters& p, triad_dims d, const triad_labels& l,
                 coefficient_blocks& c) {
  const int32_t ng = p.nconf[0], ne = p.nconf[1];
  for (int32_t g = 1; g <= ng; ++g) {
    for (int32_t e = 1; e <= ne; ++e) {
      if (actor_count(1, 2, g, e) == 0) continue;
      pairin(c.hg[g - 1], c.he[e - 1], c.t[g - 1][e - 1], d.mg[g - 1], d.me[e - 1], l.ground, l.op,
             l.excited, l.fourth, 1, 2, g, e);
    }
  }
  if (ng > 1) {
    pairin(c.hg[0], c.hg[1], c.vg12, d.mg[0], d.mg[1], l.ground, "0", l.ground, "0", 1, 1, 1, 2);
  }
  if (ng > 2) {
    pairin(c.hg[1], c.hg[2], c.vg23, d.mg[1], d.mg[2], l.ground, "0", l.ground, "0", 1, 1, 2, 3);
  }
  if (ne > 1) {
    pairin(c.he[0], c.he[1], c.ve12, d.me[0], d.me[1], l.excited, "0", l.excited, "0", 2, 2, 1, 2);
  }
  if (ne > 2) {
    pairin(c.he[1], c.he[2], c.ve23, d.me[1], d.me[2], l.excited, "0", l.excited, "0", 2, 2, 2, 3);
  }
}

// A block that has rows in the basis but was never read (no operator of its
// pair) enters the assembly as an all-zero matrix of its size.
void empty_if_missing(int32_t& pos, int32_t rows, int32_t cols) {
  if (pos == 0) sp_build(pos, 0, rows, cols, 0);
}

void fill_missing_blocks(const band_parameters& p, const triad_dims& d, coefficient_blocks& c) {
  for (int k = 0; k < p.nconf[0]; ++k) empty_if_missing(c.hg[k], d.mg[k], d.mg[k]);
  for (int k = 0; k < p.nconf[1]; ++k) empty_if_missing(c.he[k], d.me[k], d.me[k]);
  if (p.nconf[0] > 1) empty_if_missing(c.vg12, d.mg[0], d.mg[1]);
  if (p.nconf[0] > 2) empty_if_missing(c.vg23, d.mg[1], d.mg[2]);
  if (p.nconf[1] > 1) empty_if_missing(c.ve12, d.me[0], d.me[1]);
  if (p.nconf[1] > 2) empty_if_missing(c.ve23, d.me[1], d.me[2]);
  for (int g = 0; g < p.nconf[0]; ++g) {
    for (int e = 0; e < p.nconf[1]; ++e) {
      if (actor_count(1, 2, g + 1, e + 1) != 0) empty_if_missing(c.t[g][e], d.mg[g], d.me[e]);
    }
  }
}

void write_energy_list(const float* e, int32_t ng) {
  std::vector<FmtItem> items;
  items.reserve(2 * static_cast<std::size_t>(ng));
  for (int32_t k = 1; k <= ng; ++k) {
    items.push_back(fmt_item(k));
    items.push_back(fmt_item(e[k - 1]));
  }
  write_items(43, "(5(I4, F10.4))", items);
}

// Ground states within 1.0E-6 of the spread of the spectrum above the lowest.
int32_t degeneracy(const float* e, int32_t ng) {
  const double tolerance = double(1.0e-6f) * (double(e[ng - 1]) - double(e[0]));
  int32_t ndeg = 1;
  for (int32_t k = 2; k <= ng; ++k) {
    if (double(e[k - 1]) - double(e[0]) <= tolerance) ++ndeg;
  }
  return ndeg;
}

// Configuration of each basis row: the last non-zero marker seen.
std::vector<int32_t> row_configurations(const int32_t* marker, int32_t n) {
  std::vector<int32_t> conf(static_cast<std::size_t>(n));
  int32_t c = 1;
  for (int32_t i = 0; i < n; ++i) {
    if (marker[i] != 0) c = marker[i];
    conf[static_cast<std::size_t>(i)] = c;
  }
  return conf;
}

void configuration_weights(const float* v, int32_t ng, int32_t ndeg,
                           const std::vector<int32_t>& conf, float wc[3]) {
  wc[0] = wc[1] = wc[2] = 0.0f;
  for (int32_t i = 1; i <= ng; ++i) {
    const int c = conf[static_cast<std::size_t>(i - 1)] - 1;
    for (int32_t s = 1; s <= ndeg; ++s) {
      const float x = v[(i - 1) + static_cast<std::size_t>(s - 1) * ng];
      wc[c] = wc[c] + x * x;
    }
  }
}

void ground_state_report(int32_t unit, const float* e, int32_t ng, int32_t ndeg,
                         const float wc[3]) {
  const float nd = static_cast<float>(ndeg);
  std::vector<FmtItem> items = {fmt_item(" Ground state energy Eg0="),
                                fmt_item(e[0]),
                                fmt_item(" ("),
                                fmt_item(ndeg),
                                fmt_item(" times)"),
                                fmt_item(" Weight of configurations 1,2,3 in the ground state:"),
                                fmt_item(wc[0] / nd),
                                fmt_item(wc[1] / nd),
                                fmt_item(wc[2] / nd),
                                fmt_item(" Lowest few energies ")};
  const int32_t shown = std::min(ng, ndeg + 10);
  for (int32_t k = 0; k < shown; ++k) items.push_back(fmt_item(e[k]));
  write_items(unit, "(a,g17.10,a,i4,a /A,3F8.5 /a,t31,5f10.5/(8f10.5))", items);
}

void purities(const float* v, const float* e, int32_t ng, const std::vector<int32_t>& conf,
              float* purity) {
  for (int32_t k = 1; k <= ng; ++k) {
    float sum = 0.0f;
    const float* col = v + static_cast<std::size_t>(k - 1) * ng;
    for (int32_t i = 1; i <= ng; ++i) {
      if (conf[static_cast<std::size_t>(i - 1)] == 1) sum = sum + col[i - 1] * col[i - 1];
    }
    purity[k - 1] = sum;
  }
  list_write(44, "energies and purities");
  std::vector<FmtItem> items;
  for (int32_t k = 1; k <= std::min(ng, 40); ++k) {
    items.push_back(fmt_item(e[k - 1]));
    items.push_back(fmt_item(purity[k - 1]));
  }
  write_items(44, "( 5(f10.5,f6.3) )", items);
}

void summary_records(int32_t ne, const float* e, int32_t ng, int32_t ndeg, const float wc[3]) {
  const float nd = static_cast<float>(ndeg);
  write(44, "(I5,A,A,A    )", ne, "  '", std::string_view(information.text).substr(0, 70), "'");
  write(44, "(A)", "%Output of Pelko , MORVEX7");
  // With a single ground state there is no second energy: show the first.
  const float first_excited = ng > 1 ? e[1] : e[0];
  write(44, "(A,F9.4,A,I3,A,F9.4,A,3F6.3)", "%Eg=", e[0], " NDeg=", ndeg,
        " : 1stExE=", first_excited, " Charc=", wc[0] / nd, wc[1] / nd, wc[2] / nd);
}

// A RIXS block keeps the triad's dense core-hole Hamiltonian and transition
// matrix before the absorption spectrum reuses the work array.
void collect_for_rixs(const master_arrays& a, const triad_dims& d, const triad_labels& l,
                      int32_t ham_e) {
  std::vector<float> h(static_cast<std::size_t>(d.ne) * static_cast<std::size_t>(d.ne));
  if (!h.empty()) expand(h.data(), ham_e, d.ne, d.ne);
  rixs_collect({l.ground, l.op, l.excited, d.ng, d.ne, d.dim_g, d.dim_e, a.vectors, a.energies,
                h.data(), a.transition});
}

}  // namespace

void master(const master_arrays& a, const triad_dims& d, const band_parameters& p,
            const float channel_factor[9], int32_t triad, const triad_labels& l) {
  const int32_t ng = d.ng, ne = d.ne;
  const bool auger_path = p.auger == 1;
  if (ng < 1) {
    quitprog("The ground-state basis of triad " + std::to_string(triad) + " (" +
             std::string(trimmed(l.ground)) + ") is empty: check NCONF, N2, N3 and FTN15.");
  }
  check_parameters(p, channel_factor, auger_path);
  describe_run(p, l);

  int32_t m1 = 0, m2 = 0, m3 = 0, m4 = 0, m5 = 0, m6 = 0, m7 = 0, m8 = 0;
  alloc("master", 0, m1);
  coefficient_blocks c;
  read_blocks(p, d, l, c);
  warn(0);
  fill_missing_blocks(p, d, c);

  alloc("master", 0, m2);
  alloc("master", 0, m3);
  int32_t ham_g = 0;
  make_hamiltonian(ham_g, ng, c.hg, d.mg, p.n2, p.n3, p.eg, d.dim_g, c.vg12, c.vg23, a.marker_g,
                   p.w, p.nconf[0]);
  alloc("master", 0, m4);
  expand(a.vectors, ham_g, ng, ng);
  remove_region("master", m3, m4);

  find_data(1, l.ground, diag, a.vectors, ng, ng, a.energies, a.purity);
  require_finite_energies(a.energies, ng, "ground-state");
  write_energy_list(a.energies, ng);
  const int32_t ndeg = degeneracy(a.energies, ng);
  const std::vector<int32_t> conf_g = row_configurations(a.marker_g, ng);
  float wc[3];
  configuration_weights(a.vectors, ng, ndeg, conf_g, wc);
  ground_state_report(6, a.energies, ng, ndeg, wc);
  ground_state_report(44, a.energies, ng, ndeg, wc);
  purities(a.vectors, a.energies, ng, conf_g, a.purity);

  if (auger_path) alloc("master", 0, m5);
  int32_t ham_e = 0;
  make_hamiltonian(ham_e, ne, c.he, d.me, p.n2, p.n3, p.ef, d.dim_e, c.ve12, c.ve23, a.marker_e,
                   p.w, p.nconf[1]);
  if (auger_path) alloc("master", 0, m6);
  alloc("master", 0, m7);
  int32_t counts[3][3];
  for (int g = 0; g < 3; ++g) {
    for (int e = 0; e < 3; ++e) counts[g][e] = actor_count(1, 2, g + 1, e + 1);
  }
  int32_t op = 0;
  make_transition(op, p.dip, ng, ne, p.nconf[0], p.nconf[1], p.n2, p.n3, counts, c.t, d.mg, d.me);
  alloc("master", 0, m8);
  remove_region("master", m1, m2);
  const bool krylov = krylov_spectrum_for(ne, auger_path, rixs.active != 0);
  if (!krylov && krylov_spectrum_for(ne, false, false)) {
    write(6, "(A,I9,A)", " KRYLOV does not apply: an AUGER or RIXS triad needs all", ne,
          " core-hole states");
  }
  if (!krylov) {
    expand(a.transition, op, ng, ne);
    remove_region("master", m7, m8);
  }

  if (auger_path && rixs.active) {
    quitprog("A RIXS block and the Auger path cannot share a run: AUGER, once given, holds for "
             "every later block. No RIXS map.");
  }
  if (auger_path) {
    int32_t hpos = 0;
    check_room(int64_t(ne) * ne);
    alloc("master", ne * ne, hpos);
    float* hdense = rh(hpos);
    expand(hdense, ham_e, ne, ne);
    remove_region("master", m5, m6);
    auger_args g{p.nconf, p.n2,           p.n3,       d.mg,      ng,      a.vectors, a.energies,
                 ndeg,    d.me,           ne,         hdense,    a.work7, a.work8,   a.transition,
                 wc,      a.work4,        a.marker_e, l.excited, triad,   p.nomega,  p.estart,
                 p.estep, channel_factor, p.ci,       p.efaug,   p.ef};
    auger(g);
    return;
  }
  if (rixs.active) collect_for_rixs(a, d, l, ham_e);
  timing(" before spectr_new");
  // The label record counts the lines of each spectrum block: NE, or the
  // steps of a Krylov spectrum.
  int32_t lines = ne;
  if (krylov) {
    lines = spectr_krylov(a.vectors, op, ham_e, ng, ne, a.work4, a.work8, a.energies, l.ground,
                          l.op, l.excited, d.dim_g, d.dim_e);
  } else {
    spectr_new(a.vectors, a.transition, ham_e, ng, ne, a.work4, a.work5, a.work8, a.energies,
               l.ground, l.op, l.excited, d.dim_g, d.dim_e);
  }
  require_finite_energies(a.work4, lines, "excited-state");
  summary_records(lines, a.energies, ng, ndeg, wc);
}

}  // namespace mv
