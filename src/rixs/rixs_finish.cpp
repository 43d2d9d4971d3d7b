// rixs_finish: the RIXS map of a block from the triads rixs_collect kept.
//
// Method: every core-hole Hamiltonian is diagonalised once (diag, 4n^3/3 +
// O(n^3) flops) and the transition matrices are taken into both eigenbases;
// then each incident energy costs only the Kramers-Heisenberg sum over the
// intermediate eigenstates (kramers.h). Solving the complex system
// (w + E_i - H + i G/2) x = T|i> at every energy instead costs a complex LU
// per energy and initial state; docs/rixs.md gives the measured difference.
// Energies are split among threads; each energy is computed whole by one
// thread, so any thread count gives the same bits.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "input/reader.h"
#include "io/format.h"
#include "parallel/pool.h"
#include "rixs/kramers.h"
#include "rixs/rixs_output.h"
#include "rixs/rixs_store.h"
#include "spectra/diag.h"
#include "spectra/spectr.h"
#include "support/runsupport.h"

namespace mv {

namespace {

struct eigen_side {  // one core-hole symmetry in its eigenbasis
  std::vector<float> energies, vectors;
  int32_t offset = 0;  // first intermediate state in the concatenated list
};

std::string name(const std::string& label) { return std::string(trimmed(label)); }

// Every ground/core pair joined by one component must be joined by all three:
// a missing triad would silently drop a polarisation's part.
void check_complete(const rixs_collection& s) {
  if (s.operators.empty()) {
    quitprog("RIXS: no triad of this block has one of the COMPONENTS operators " +
             name(rixs.component[0]) + ", " + name(rixs.component[1]) + ", " +
             name(rixs.component[2]) + ". No RIXS map.");
  }
  for (const rixs_operator& o : s.operators) {
    for (int32_t q = 0; q < 3; ++q) {
      bool found = false;
      for (const rixs_operator& p : s.operators) {
        found = found || (p.ground == o.ground && p.core == o.core && p.q == q);
      }
      if (found) continue;
      quitprog("RIXS: the triad " + name(s.ground[o.ground].label) + " " + name(rixs.component[q]) +
               " " + name(s.core[o.core].label) +
               " is missing; every component joins the same symmetries. No RIXS map.");
    }
  }
}

eigen_side diagonalise(const rixs_core& c, int32_t offset) {
  eigen_side e;
  const int32_t n = c.ne;
  e.vectors = c.hamiltonian;
  e.energies.assign(static_cast<std::size_t>(n), 0.0f);
  std::vector<float> work(static_cast<std::size_t>(n) + 1, 0.0f);
  diag(e.vectors.data(), n, n, e.energies.data(), work.data());
  e.offset = offset;
  return e;
}

// B(x, n) = sum_g V(g, x) sum_j T(g, j) U(j, n): <n|D_q|x> between eigenstates,
// row x contiguous.
std::vector<float> eigen_amplitudes(const rixs_operator& o, const rixs_ground& g,
                                    const eigen_side& e) {
  const std::size_t ng = g.energies.size(), ne = e.energies.size();
  std::vector<float> tu(ng * ne, 0.0f);
  for (std::size_t n = 0; n < ne; ++n) {
    for (std::size_t j = 0; j < ne; ++j) {
      const float u = e.vectors[j + n * ne];
      for (std::size_t k = 0; k < ng; ++k) {
        const float p = o.matrix[k + j * ng] * u;
        tu[k + n * ng] = tu[k + n * ng] + p;
      }
    }
  }
  std::vector<float> b(ng * ne, 0.0f);
  for (std::size_t x = 0; x < ng; ++x) {
    for (std::size_t n = 0; n < ne; ++n) {
      float s = 0.0f;
      for (std::size_t k = 0; k < ng; ++k) {
        const float p = g.vectors[k + x * ng] * tu[k + n * ng];
        s = s + p;
      }
      b[x * ne + n] = s;
    }
  }
  return b;
}

// Coefficients c_q (q = -1, 0, +1) of a polarisation: e.D = sum_q c_q D_q.
void coefficients(polarisation p, float re[3], float im[3]) {
  const float s = 0.70710677f;
  for (int q = 0; q < 3; ++q) re[q] = im[q] = 0.0f;
  switch (p) {
    case polarisation::x:
      re[0] = s;
      re[2] = -s;
      break;
    case polarisation::y:
      im[0] = s;
      im[2] = s;
      break;
    case polarisation::z:
      re[1] = 1.0f;
      break;
    case polarisation::plus:
      re[2] = 1.0f;
      break;
    case polarisation::minus:
      re[0] = 1.0f;
      break;
    case polarisation::all:
      break;
  }
}

struct prepared {
  std::vector<eigen_side> core;
  std::vector<std::vector<float>> b;  // per operator, eigen_amplitudes
  int32_t nt = 0;
  std::vector<int32_t> final_offset;  // first final state of each ground symmetry
  int32_t nf = 0;
  std::vector<int32_t> initial_ground, initial_state;  // of each initial state
  float eg0 = 0.0f;
};

// Sum over q of c_q B_q(state, n) into row `row` of (re, im), n over every
// intermediate state; conj uses the complex conjugate coefficients.
void amplitude_row(const prepared& p, int32_t ground, int32_t state, polarisation pol, bool conj,
                   float* re, float* im) {
  float cr[3], ci[3];
  coefficients(pol, cr, ci);
  const float sign = conj ? -1.0f : 1.0f;
  for (int32_t q = 0; q < 3; ++q) {
    for (std::size_t k = 0; k < rixs_store.operators.size(); ++k) {
      const rixs_operator& o = rixs_store.operators[k];
      if (o.ground != ground || o.q != q) continue;
      const eigen_side& e = p.core[static_cast<std::size_t>(o.core)];
      const std::size_t ne = e.energies.size();
      const float* b = &p.b[k][static_cast<std::size_t>(state) * ne];
      const float cim = sign * ci[q];
      for (std::size_t n = 0; n < ne; ++n) {
        const float r = cr[q] * b[n], i = cim * b[n];
        re[e.offset + n] = re[e.offset + n] + r;
        im[e.offset + n] = im[e.offset + n] + i;
      }
    }
  }
}

void initial_states(prepared& p, kh_input& in, std::vector<float>& level_energy) {
  const auto& ground = rixs_store.ground;
  float lowest = ground[0].energies[0], highest = ground[0].energies.back();
  for (const rixs_ground& g : ground) {
    lowest = std::min(lowest, g.energies[0]);
    highest = std::max(highest, g.energies.back());
  }
  p.eg0 = lowest;
  struct state {
    float e;
    int32_t g, s;
  };
  std::vector<state> states;
  for (std::size_t g = 0; g < ground.size(); ++g) {
    for (std::size_t s = 0; s < ground[g].energies.size(); ++s) {
      const float e = ground[g].energies[s];
      if (double(e) - double(lowest) <= double(spectr.window))
        states.push_back({e, static_cast<int32_t>(g), static_cast<int32_t>(s)});
    }
  }
  std::stable_sort(states.begin(), states.end(),
                   [](const state& a, const state& b) { return a.e < b.e; });
  // Levels: states within 1.0E-6 of the ground-side spread of a level's first.
  const double tolerance = double(1.0e-6f) * (double(highest) - double(lowest));
  in.ni = static_cast<int32_t>(states.size());
  const double kt = 8.617333262e-5 * double(rixs.temperature);  // eV
  double z = 0.0;
  std::vector<double> w;
  for (const state& s : states) {
    if (level_energy.empty() || double(s.e) - double(level_energy.back()) > tolerance)
      level_energy.push_back(s.e);
    in.level.push_back(static_cast<int32_t>(level_energy.size()) - 1);
    in.e_i.push_back(s.e);
    p.initial_ground.push_back(s.g);
    p.initial_state.push_back(s.s);
    w.push_back(kt > 0.0 ? std::exp(-(double(s.e) - double(lowest)) / kt) : 1.0);
    z += w.back();
  }
  for (double x : w) in.w_i.push_back(static_cast<float>(x / z));
  in.nlevels = static_cast<int32_t>(level_energy.size());
}

prepared prepare(kh_input& in, std::vector<float>& level_energy) {
  prepared p;
  for (const rixs_core& c : rixs_store.core) {
    p.core.push_back(diagonalise(c, p.nt));
    p.nt += static_cast<int32_t>(p.core.back().energies.size());
  }
  for (const rixs_operator& o : rixs_store.operators) {
    p.b.push_back(eigen_amplitudes(o, rixs_store.ground[static_cast<std::size_t>(o.ground)],
                                   p.core[static_cast<std::size_t>(o.core)]));
  }
  for (const rixs_ground& g : rixs_store.ground) {
    p.final_offset.push_back(p.nf);
    p.nf += static_cast<int32_t>(g.energies.size());
  }
  initial_states(p, in, level_energy);
  in.nt = p.nt;
  for (const eigen_side& e : p.core) {
    for (float en : e.energies) {
      in.e_n.push_back(en);
      const bool upper = rixs.has_edge2 && double(en) - double(p.eg0) >= double(rixs.edge2);
      in.h_n.push_back((upper ? rixs.gamma2 : rixs.gamma) / 2.0f);
    }
  }
  in.nf = p.nf;
  return p;
}

void set_amplitudes(const prepared& p, const polarisation_pair& pair, kh_input& in) {
  const std::size_t nt = static_cast<std::size_t>(in.nt);
  in.a_re.assign(static_cast<std::size_t>(in.ni) * nt, 0.0f);
  in.a_im.assign(in.a_re.size(), 0.0f);
  for (int32_t i = 0; i < in.ni; ++i) {
    amplitude_row(p, p.initial_ground[i], p.initial_state[i], pair.in, false, &in.a_re[i * nt],
                  &in.a_im[i * nt]);
  }
  std::vector<polarisation> sets = {pair.out};
  if (pair.out == polarisation::all) sets = {polarisation::x, polarisation::y, polarisation::z};
  in.nsets = static_cast<int32_t>(sets.size());
  in.b_re.assign(sets.size() * static_cast<std::size_t>(in.nf) * nt, 0.0f);
  in.b_im.assign(in.b_re.size(), 0.0f);
  for (std::size_t s = 0; s < sets.size(); ++s) {
    for (std::size_t g = 0; g < rixs_store.ground.size(); ++g) {
      const int32_t ng = static_cast<int32_t>(rixs_store.ground[g].energies.size());
      for (int32_t f = 0; f < ng; ++f) {
        const std::size_t row = (s * in.nf + p.final_offset[g] + f) * nt;
        amplitude_row(p, static_cast<int32_t>(g), f, sets[s], true, &in.b_re[row], &in.b_im[row]);
      }
    }
  }
}

}  // namespace

void rixs_finish() {
  if (!rixs.active) return;
  rixs.active = 0;
  check_complete(rixs_store);
  kh_input in;
  std::vector<float> level_energy;
  const prepared p = prepare(in, level_energy);
  const std::size_t cells = static_cast<std::size_t>(in.nlevels) * in.nf;
  rixs_map map;
  map.eg0 = p.eg0;
  map.level_energy = level_energy;
  map.level_weight.assign(level_energy.size(), 0.0f);
  map.level_states.assign(level_energy.size(), 0);
  for (int32_t i = 0; i < in.ni; ++i) {
    const std::size_t l = static_cast<std::size_t>(in.level[static_cast<std::size_t>(i)]);
    map.level_weight[l] = map.level_weight[l] + in.w_i[static_cast<std::size_t>(i)];
    map.level_states[l] += 1;
  }
  for (const rixs_core& c : rixs_store.core) map.core_labels.push_back(name(c.label));
  for (std::size_t k = 0; k < p.core.size(); ++k)
    map.core_sizes.push_back(static_cast<int32_t>(p.core[k].energies.size()));
  for (const rixs_ground& g : rixs_store.ground) {
    map.final_labels.push_back(name(g.label));
    map.final_energies.push_back(g.energies);
  }
  for (std::size_t k = 0; k < rixs.pairs.size(); ++k) {
    set_amplitudes(p, rixs.pairs[k], in);
    map.intensity.assign(cells * static_cast<std::size_t>(rixs.nomega), 0.0f);
    parallel::for_range(rixs.nomega, [&](int32_t begin, int32_t end) {
      std::vector<float> z(2 * static_cast<std::size_t>(in.nt) + 1);
      for (int32_t w = begin; w < end; ++w) {
        const float omega = rixs.estart + rixs.estep * static_cast<float>(w);
        kramers_heisenberg(in, omega, &map.intensity[static_cast<std::size_t>(w) * cells],
                           z.data());
      }
    });
    write_rixs_map(static_cast<int32_t>(k) + 1, rixs.pairs[k], map);
  }
  rixs_store = rixs_collection{};
}

}  // namespace mv
