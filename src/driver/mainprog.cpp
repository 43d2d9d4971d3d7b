// The main program: the loop over band-calculation blocks and their triads.
#include "driver/mainprog.h"

#include <algorithm>
#include <string>
#include <vector>

#include "coefficients/actors.h"
#include "driver/master.h"
#include "input/getact.h"
#include "input/reader.h"
#include "io/format.h"
#include "io/units.h"
#include "rixs/rixs.h"
#include "spectra/spectr_krylov.h"
#include "support/runsupport.h"
#include "workarray/heap.h"

namespace mv {
namespace {

void open_fixed_files() {
  open_unit(14, "FTN14", true, Form::formatted);
  open_unit(15, "FTN15", true, Form::formatted);
  open_unit(98, "FTN98", false, Form::unformatted);
  open_unit(99, "FTN99", false, Form::unformatted);
}

void channel_factors(const band_parameters& p, float r[9]) {
  for (int i = 0; i < 9; ++i) r[i] = p.dipaug[i] / p.dip / 3.6878178f;
}

void band_header(int32_t b, const band_parameters& p, const float r[9]) {
  if (p.auger == 0) {
    write(6, "(a,i3)", " Band calculation number", b);
    return;
  }
  write(6, "(a,i3)", " Auger calculation number", b);
  write(6, "(A,2X, F10.5)", " DIPXAS", p.dip);
  write(6, "(A,2X,3F10.3)", " EGRND", p.eg[0], p.eg[1], p.eg[2]);
  write(6, "(A,2X,3F10.3)", " EFXAS", p.ef[0], p.ef[1], p.ef[2]);
  std::vector<FmtItem> items;
  for (int32_t i = 1; i <= 9; ++i) {
    const int c = i - 1;
    for (FmtItem it :
         {fmt_item(" EFAUG"), fmt_item(i), fmt_item(p.efaug[c][0]), fmt_item(p.efaug[c][1]),
          fmt_item(p.efaug[c][2]), fmt_item(": DIP"), fmt_item(p.dipaug[c]), fmt_item("("),
          fmt_item(r[c]), fmt_item(")  CI"), fmt_item(p.ci[c])}) {
      items.push_back(it);
    }
  }
  write_items(6, "(9(A,I2,3F9.3,3(A,F10.5)/))", items);
}

// The multiplicity look-ups, strictly in the order in which the entries stand
// in the recipe file.
void look_up_multiplicities(const band_parameters& p, const triad_labels& l, triad_dims& d) {
  const int32_t ng = p.nconf[0], ne = p.nconf[1];
  for (int32_t g = 1; g <= ng; ++g) {
    for (int32_t e = 1; e <= ne; ++e) {
      if (actor_count(1, 2, g, e) == 0) continue;
      getmul(d.mg[g - 1], d.dim_g, l.ground, "GROUND");
      getmul(d.me[e - 1], d.dim_e, l.excited, "EXCITE");
    }
  }
  for (int32_t g = 1; g < ng; ++g) {
    getmul(d.mg[g - 1], d.dim_g, l.ground, "GROUND");
    getmul(d.mg[g], d.dim_g, l.ground, "EXCITE");
  }
  for (int32_t e = 1; e < ne; ++e) {
    getmul(d.me[e - 1], d.dim_e, l.excited, "GROUND");
    getmul(d.me[e], d.dim_e, l.excited, "EXCITE");
  }
}

int32_t basis_dimension(const int32_t m[3], int32_t n2, int32_t n3) {
  int64_t n = int64_t(m[0]) + int64_t(n2) * (m[1] + int64_t(n3) * m[2]);
  if (n < 0) quitprog("A basis dimension is negative: check N2, N3 and the multiplicities.");
  check_lheap(n);
  return static_cast<int32_t>(n);
}

// A block of a x b cells; sizes whose product leaves the 4-byte range fail
// the work array's own size check, with their real size, instead of wrapping.
float* alloc_block(int32_t a, int32_t b) {
  const int64_t n = int64_t(a) * b;
  check_room(n);
  int32_t start = 0;
  alloc("master", static_cast<int32_t>(n), start);
  return rh(start);
}

void run_triad(int32_t triad, const band_parameters& p, const float r[9], triad_labels& l) {
  rewind_unit(15);
  newfil(15);
  triad_dims d;
  look_up_multiplicities(p, l, d);
  d.ng = basis_dimension(d.mg, p.n2, p.n3);
  d.ne = basis_dimension(d.me, p.n2, p.n3);

  int32_t marker = 0;
  alloc("master", 0, marker);
  master_arrays a{};
  a.purity = alloc_block(d.ng, 1);
  a.work4 = alloc_block(d.ne, 1);
  a.work5 = alloc_block(d.ne, 1);
  a.energies = alloc_block(d.ng, 1);
  a.work7 = alloc_block(d.ne, 1);
  a.work8 = alloc_block(d.ne, 1);
  a.vectors = alloc_block(d.ng, d.ng);
  // A Krylov spectrum reads the transition operator in its sparse form.
  const bool krylov = krylov_spectrum_for(d.ne, p.auger == 1, rixs.active != 0);
  a.transition = alloc_block(d.ng, krylov ? 0 : d.ne);
  int32_t pos = 0;
  illoc("master", d.ng, pos);
  a.marker_g = ih(pos);
  illoc("master", d.ne, pos);
  a.marker_e = ih(pos);

  rewind_unit(14);
  rewind_unit(15);
  newfil(15);
  master(a, d, p, r, triad, l);
  cut_heap("master", marker);
  cputime();
  qaz.oldcowan = 1;
  std::string bar;
  for (int k = 0; k < 35; ++k) bar += "<>";
  list_write(6, bar);
}

// Reads the triads of one block; false once ENDTRIADS has been read.
bool read_triad(triad_labels& l) {
  Token t = chaget();
  if (same_word(t, "ENDTRIADS")) return false;
  l.ground = t;
  l.op = chaget();
  l.excited = chaget();
  l.fourth = cprmult.prmult != 0 ? chaget() : padded("", token_length);
  return true;
}

// Past the limit of blocks or triads the command file may only end: more
// input would otherwise be dropped, or its triads read as commands, without a
// word. The end of the file here is the normal end, as anywhere.
void refuse_more_input(int32_t limit, const std::string& what) {
  quitprog("The command file has more than " + std::to_string(limit) + " " + what +
           ": a run reads no more; split the command file.");
}

}  // namespace

void MAIN(int32_t limit) {
  cputime();
  debug.level = 0;
  qaz.ints_per_cell = 1;
  open_fixed_files();

  band_parameters p;
  for (int32_t b = 1;; ++b) {
    write(44, "(a,i2)", "BAND", b);
    newfil(command_unit);
    if (b > limit) {
      chaget();  // the end of the command file ends the run normally
      refuse_more_input(limit, "band-calculation blocks");
    }
    getact(p);
    float r[9] = {};
    channel_factors(p, r);
    band_header(b, p, r);
    for (int32_t t = 1;; ++t) {
      newfil(command_unit);
      rewind_unit(99);
      status("program Morvex7");
      triad_labels l;
      if (!read_triad(l)) break;
      if (t > limit) refuse_more_input(limit, "triads in band-calculation block " + std::to_string(b));
      run_triad(t, p, r, l);
      flush_units();  // a finished triad's records are in their files before the next starts
    }
    rixs_finish();  // the RIXS map of the block's triads, when the block asked for one
    list_write(44, " FINISHED ");
  }
}

}  // namespace mv
