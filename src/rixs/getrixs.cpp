// The RIXS block: the incident grid, the core-hole widths, the operator
// labels of the transition operator's spherical components and the
// polarisation pairs. Each RIXS block starts from the defaults; the grid and
// the widths are checked at ENDRIXS, before any triad of the block is
// computed, so that a bad block stops the run with what earlier blocks wrote.
#include <string>

#include "input/reader.h"
#include "io/format.h"
#include "rixs/rixs.h"
#include "support/runsupport.h"

namespace mv {

rixs_block rixs;

namespace {

// Incident energies of one map: each writes a line per final state.
constexpr int32_t max_nomega = 100000;

bool polarisation_of(const Token& t, bool outgoing, polarisation& p) {
  struct name {
    const char* word;
    polarisation value;
  };
  static const name names[] = {{"X", polarisation::x},         {"Y", polarisation::y},
                               {"Z", polarisation::z},         {"PLUS", polarisation::plus},
                               {"MINUS", polarisation::minus}, {"ALL", polarisation::all}};
  for (const name& n : names) {
    if (!same_word(t, n.word) || (n.value == polarisation::all && !outgoing)) continue;
    p = n.value;
    return true;
  }
  return false;
}

void read_pair() {
  polarisation_pair pair;
  const Token in = chaget();
  const Token out = chaget();
  const bool ok_in = polarisation_of(in, false, pair.in);
  const bool ok_out = polarisation_of(out, true, pair.out);
  if (ok_in && ok_out) {
    rixs.pairs.push_back(pair);
    return;
  }
  list_write(6, "RIXS: POLARISATION needs an incident polarisation X, Y, Z, PLUS or MINUS and an",
             " outgoing one X, Y, Z, PLUS, MINUS or ALL; pair ignored: ", std::string(trimmed(in)),
             " ", std::string(trimmed(out)));
  warn(10);
}

void read_components() {
  for (std::string& c : rixs.component) c = chaget();
}

// A block that cannot give a map stops the run here, before its triads.
void check_block() {
  std::string why;
  if (rixs.nomega < 1 || rixs.nomega > max_nomega) {
    why = "NOMEGA must be 1.." + std::to_string(max_nomega) + ", it is " +
          std::to_string(rixs.nomega);
  } else if (rixs.nomega > 1 && !(rixs.estep > 0.0f)) {
    why = "ESTEP must be positive with more than one incident energy";
  } else if (!(rixs.gamma > 0.0f) || (rixs.has_edge2 && !(rixs.gamma2 > 0.0f))) {
    why = "GAMMA (and GAMMA2 with EDGE2) must be positive core-hole widths";
  } else if (!(rixs.temperature >= 0.0f)) {
    why = "TEMPERATURE must not be negative";
  } else if (trimmed(rixs.component[0]).empty()) {
    why = "COMPONENTS must name the operators of q = -1, 0 and +1";
  } else if (rixs.pairs.empty()) {
    why = "no POLARISATION pair: nothing to compute";
  }
  if (!why.empty()) quitprog("RIXS block: " + why + ". No RIXS calculation.");
}

}  // namespace

void getrixs() {
  rixs = rixs_block{};
  rixs.active = 1;
  for (;;) {
    const Token t = chaget();
    if (same_word(t, "NOMEGA")) {
      rixs.nomega = intget(rixs.nomega);
    } else if (same_word(t, "ESTART")) {
      rixs.estart = reaget(rixs.estart);
    } else if (same_word(t, "ESTEP")) {
      rixs.estep = reaget(rixs.estep);
    } else if (same_word(t, "GAMMA")) {
      rixs.gamma = reaget(rixs.gamma);
    } else if (same_word(t, "EDGE2")) {
      rixs.edge2 = reaget(rixs.edge2);
      rixs.has_edge2 = 1;
    } else if (same_word(t, "GAMMA2")) {
      rixs.gamma2 = reaget(rixs.gamma2);
    } else if (same_word(t, "TEMPERATURE")) {
      rixs.temperature = reaget(rixs.temperature);
    } else if (same_word(t, "COMPONENTS")) {
      read_components();
    } else if (same_word(t, "POLARISATION")) {
      read_pair();
    } else if (same_word(t, "ENDRIXS")) {
      check_block();
      return;
    } else {
      list_write(6, "ERROR: Expected one of the following RIXS commands",
                 " NOMEGA, ESTART, ESTEP, GAMMA, EDGE2, GAMMA2, TEMPERATURE, COMPONENTS,",
                 " POLARISATION, ENDRIXS");
      warn(10);
    }
  }
}

}  // namespace mv
