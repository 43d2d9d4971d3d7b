// The band-calculation block. Commands are matched as whole words in the
// order of the command table; the operator commands (XHAM, XMIX, TRAN, XTRAN)
// fill the actor tables, whose bounds the input itself must respect: a count,
// side type or configuration outside them is rejected with a warning instead
// of being stored.
#include "input/getact.h"

#include <array>
#include <string>

#include "coefficients/actors.h"
#include "hamiltonian/bandexpansion.h"
#include "input/definitions.h"
#include "input/getauger.h"
#include "input/reader.h"
#include "io/format.h"
#include "rixs/rixs.h"
#include "spectra/spectr.h"
#include "workarray/heap.h"

namespace mv {

iter_block iter;

namespace {

constexpr int32_t max_factors = max_operators;
static_assert(max_factors == 32, "the message of read_factors names the limit");
constexpr int32_t maxlevels = 100;
constexpr int32_t maxexpansion = 25;

bool first_call = true;

struct block_flags {
  int32_t keep_ground = 0;
  int32_t keep_excited = 0;
};

void set_defaults(band_parameters& p) {
  // NOMEGA, ESTART and ESTEP keep what they hold: the grid has no default.
  const int32_t nomega = p.nomega;
  const float estart = p.estart, estep = p.estep;
  p = band_parameters{};
  p.nomega = nomega;
  p.estart = estart;
  p.estep = estep;
  cprmult.prmult = 0;
  qaz.oldcowan = 0;
  iter = iter_block{};
  spectr = spectr_block{};
  bandexpansion = bandexpansion_block{};
  actors = actors_block{};
}

bool in_range(int32_t v, int32_t lo, int32_t hi) { return v >= lo && v <= hi; }

bool side_ok(std::string_view command, int32_t t) {
  if (in_range(t, 1, 2)) return true;
  list_write(6, command, ": side type must be 1 or 2, entry ignored, side type=", t);
  warn(10);
  return false;
}

bool config_ok(std::string_view command, int32_t c) {
  if (in_range(c, 1, 3)) return true;
  list_write(6, command, ": configuration number must be 1..3, entry ignored, configuration=", c);
  warn(10);
  return false;
}

// Reads N and the N factors. A count the tables cannot hold still has its
// factors consumed, so that reading stays in step; the command then stores
// nothing (returns false).
bool read_factors(std::string_view command, int32_t& n, std::array<float, max_factors>& f) {
  n = intget(n);
  const bool ok = in_range(n, 0, max_factors);
  if (!ok) {
    list_write(6, command, ": number of factors must be 0..32, command ignored, N=", n);
    warn(10);
  }
  for (int32_t k = 1; k <= n; ++k) {
    float v = 0.0f;
    v = reaget(v);
    if (ok) f[static_cast<std::size_t>(k - 1)] = v;
  }
  return ok;
}

void store_operator(int32_t t1, int32_t t2, int32_t c1, int32_t c2, int32_t n,
                    const std::array<float, max_factors>& f) {
  actor_count(t1, t2, c1, c2) = n;
  for (int32_t k = 1; k <= n; ++k)
    actor_factor(k, t1, t2, c1, c2) = f[static_cast<std::size_t>(k - 1)];
}

// XHAM N f(1..N) M (t c)*M and XMIX N f(1..N) M (t c1 c2)*M: operators within
// one side type t.
void read_side_operator(std::string_view command, bool mixing) {
  int32_t n = 0;
  std::array<float, max_factors> f{};
  const bool ok = read_factors(command, n, f);
  int32_t m = 0;
  m = intget(m);
  for (int32_t i = 1; i <= m; ++i) {
    int32_t t = 0, c1 = 0, c2 = 0;
    t = intget(t);
    c1 = intget(c1);
    if (mixing) {
      c2 = intget(c2);
    } else {
      c2 = c1;
    }
    // Every bad number of the entry is reported, in reading order.
    bool entry_ok = side_ok(command, t);
    entry_ok = config_ok(command, c1) && entry_ok;
    if (mixing) entry_ok = config_ok(command, c2) && entry_ok;
    if (ok && entry_ok) store_operator(t, t, c1, c2, n, f);
  }
}

// TRAN M (c1 c2)*M and XTRAN N f(1..N) M (c1 c2)*M: transition operators,
// always from the ground side to the excited side.
void read_transition(std::string_view command, bool with_factors) {
  int32_t n = 1;
  std::array<float, max_factors> f{};
  f[0] = 1.0f;
  const bool ok = with_factors ? read_factors(command, n, f) : true;
  int32_t m = 0;
  m = intget(m);
  for (int32_t i = 1; i <= m; ++i) {
    int32_t c1 = 0, c2 = 0;
    c1 = intget(c1);
    c2 = intget(c2);
    bool entry_ok = config_ok(command, c1);
    entry_ok = config_ok(command, c2) && entry_ok;
    if (ok && entry_ok) store_operator(1, 2, c1, c2, n, f);
  }
}

void read_nconf(band_parameters& p) {
  int32_t v[2] = {0, 0};
  v[0] = intget(v[0]);
  v[1] = intget(v[1]);
  for (int32_t side = 0; side < 2; ++side) {
    if (in_range(v[side], 1, 3)) {
      p.nconf[side] = v[side];
      continue;
    }
    list_write(6, "NCONF: number of configurations must be 1..3, value ignored, NCONF=", v[side]);
    warn(10);
  }
}

void read_shape() {
  int32_t n = 0;
  n = intget(n);
  bandexpansion.order = n;
  check(n, maxexpansion, "maxexpansion", 0);
  for (int32_t i = 0; i <= n; ++i) bandexpansion.c[i] = reaget(bandexpansion.c[i]);
}

void read_definition(band_parameters& p) {
  std::string buffer;
  getdef(buffer);
  analydef(buffer, p.del, p.ucv, p.uvv, p.eg[0], p.eg[1], p.eg[2], p.ef[0], p.ef[1], p.ef[2]);
}

// KRYLOV n: spectra of excited spaces larger than n from n Lanczos steps; 0
// returns to exact spectra.
void read_krylov() {
  int32_t n = 0;
  n = intget(n);
  if (n >= 0) {
    spectr.krylov_steps = n;
    return;
  }
  list_write(6, "KRYLOV: the number of Lanczos steps must be 0 (exact spectra) or positive,",
             " command ignored, n=", n);
  warn(10);
}

void read_auger(band_parameters& p) {
  p.auger = 1;
  getauger(p.del, p.ucv, p.uvv, p.efaug, p.dipaug, p.ci, p.nomega, p.estart, p.estep);
}

struct command {
  std::string_view word;
  void (*run)(band_parameters&, block_flags&);
};

// Matching order of the block's commands (TRIADS is handled by getact).
const command commands[] = {
    {"OLDGROUND", [](band_parameters&, block_flags& k) { k.keep_ground = 1; }},
    {"OLDEXCITE", [](band_parameters&, block_flags& k) { k.keep_excited = 1; }},
    {"NCONF", [](band_parameters& p, block_flags&) { read_nconf(p); }},
    {"N2",
     [](band_parameters& p, block_flags&) {
       p.n2 = intget(p.n2);
       check(p.n2, maxlevels, "maxlevels", 0);
     }},
    {"N3",
     [](band_parameters& p, block_flags&) {
       p.n3 = intget(p.n3);
       check(p.n3, maxlevels, "maxlevels", 0);
     }},
    {"W", [](band_parameters& p, block_flags&) { p.w = reaget(p.w); }},
    {"DEL", [](band_parameters& p, block_flags&) { p.del = reaget(p.del); }},
    {"UVV", [](band_parameters& p, block_flags&) { p.uvv = reaget(p.uvv); }},
    {"UCV", [](band_parameters& p, block_flags&) { p.ucv = reaget(p.ucv); }},
    {"EG1", [](band_parameters& p, block_flags&) { p.eg[0] = reaget(p.eg[0]); }},
    {"EG2", [](band_parameters& p, block_flags&) { p.eg[1] = reaget(p.eg[1]); }},
    {"EG3", [](band_parameters& p, block_flags&) { p.eg[2] = reaget(p.eg[2]); }},
    {"EF1", [](band_parameters& p, block_flags&) { p.ef[0] = reaget(p.ef[0]); }},
    {"EF2", [](band_parameters& p, block_flags&) { p.ef[1] = reaget(p.ef[1]); }},
    {"EF3", [](band_parameters& p, block_flags&) { p.ef[2] = reaget(p.ef[2]); }},
    {"XHAM", [](band_parameters&, block_flags&) { read_side_operator("XHAM", false); }},
    {"XMIX", [](band_parameters&, block_flags&) { read_side_operator("XMIX", true); }},
    {"TRAN", [](band_parameters&, block_flags&) { read_transition("TRAN", false); }},
    {"XTRAN", [](band_parameters&, block_flags&) { read_transition("XTRAN", true); }},
    {"PRMULT", [](band_parameters&, block_flags&) { cprmult.prmult = 1; }},
    {"OLDCOWAN", [](band_parameters&, block_flags&) { qaz.oldcowan = 1; }},
    {"MAXITER", [](band_parameters&, block_flags&) { iter.maxiter = intget(iter.maxiter); }},
    {"ERANGE", [](band_parameters&, block_flags&) { spectr.window = reaget(spectr.window); }},
    {"SQUARE",
     [](band_parameters&, block_flags&) {
       bandexpansion.order = 0;
       bandexpansion.c[0] = 1.0f;
     }},
    {"CIRCLE",
     [](band_parameters&, block_flags&) {
       bandexpansion.order = 2;
       bandexpansion.c[0] = 1.0f;
       bandexpansion.c[2] = -1.0f;
     }},
    {"SHAPE", [](band_parameters&, block_flags&) { read_shape(); }},
    {"DEF", [](band_parameters& p, block_flags&) { read_definition(p); }},
    {"DIP", [](band_parameters& p, block_flags&) { p.dip = reaget(p.dip); }},
    {"AUGER", [](band_parameters& p, block_flags&) { read_auger(p); }},
    {"RIXS", [](band_parameters&, block_flags&) { getrixs(); }},
    {"KRYLOV", [](band_parameters&, block_flags&) { read_krylov(); }},
};

void unknown_command() {
  list_write(6, "ERROR. Expected one of the following commands: ",
             " NCONF , N2 , N3 , W , DEL , UVV , UCV , XHAM , XMIX , TRAN,",
             " AUGER , DEF , DIP, OLDCOWAN, OLDGROUND, OLDEXCITE", " or PRMULT");
  warn(10);
}

}  // namespace

void reset_getact() { first_call = true; }

void getact(band_parameters& p) {
  if (first_call) {
    set_defaults(p);
    first_call = false;
  }
  status("getact");
  block_flags keep;
  for (;;) {
    const Token t = chaget();
    if (same_word(t, "TRIADS")) break;
    const command* found = nullptr;
    for (const command& c : commands) {
      if (same_word(t, c.word)) {
        found = &c;
        break;
      }
    }
    if (found) {
      found->run(p, keep);
    } else {
      unknown_command();
    }
  }
  // Store records of a space this block may have changed must not be reused.
  if (keep.keep_ground == 0) delete_from_store(1, 1);
  if (keep.keep_excited == 0) delete_from_store(2, 1000000);
}

}  // namespace mv
