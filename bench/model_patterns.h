// Generated models of the whole-run benchmarks: deterministic dense blocks
// (values spread over [-scale/2, scale/2) by a fixed hash of row, column and
// seed, the same on every machine) put together into a three-configuration
// A1G -> T1U model with band levels.
#pragma once
#include <array>
#include <string>

#include "modelwriter/modelwriter.h"

namespace bench {

inline mw::Matrix pattern(int n, int m, float scale, int seed) {
  mw::Matrix a = mw::zeros(n, m);
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= m; ++j) {
      const int h = (i * 7919 + j * 104729 + seed * 31) % 97;
      a.at(i, j) = scale * (static_cast<float>(h) / 97.0f - 0.5f);
    }
  }
  return a;
}

// One side of the model: multiplicities, the multiplet of each configuration
// (multiplet(n, scale, seed)) and the mixing blocks between neighbours.
struct Side {
  std::array<int, 3> mult;
  float multiplet_scale = 1.0f, mixing_scale = 2.0f;
};

// m1 + m2·N2 + m3·N2·N3 states on each side; seeds 1.. for the ground
// multiplets, 11.. for the excited ones, 21.. transitions, 31.. and 41.. mixing.
template <class Multiplet>
mw::Model band_model(const Side& ground, const Side& excited, Multiplet multiplet) {
  mw::Model m;
  m.nconf_ground = 3;
  m.nconf_excited = 3;
  m.op = "T1U";
  m.ground.label = "A1G";
  m.ground.mult = ground.mult;
  m.excited.label = "T1U";
  m.excited.dim = 3;
  m.excited.mult = excited.mult;
  for (int c = 0; c < 3; ++c) {
    m.ground.ham[c] = {{multiplet(ground.mult[c], ground.multiplet_scale, c + 1), 1.0f}};
    m.excited.ham[c] = {{multiplet(excited.mult[c], excited.multiplet_scale, c + 11), 1.0f}};
    m.trans[c][c] = {{pattern(ground.mult[c], excited.mult[c], 1.0f, c + 21), 1.0f}};
  }
  for (int c = 0; c < 2; ++c) {
    m.ground.mix[c] = {
        {pattern(ground.mult[c], ground.mult[c + 1], ground.mixing_scale, 31 + c), 1.0f}};
    m.excited.mix[c] = {
        {pattern(excited.mult[c], excited.mult[c + 1], excited.mixing_scale, 41 + c), 1.0f}};
  }
  return m;
}

}  // namespace bench
