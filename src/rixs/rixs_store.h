// What rixs_collect keeps of a block's triads until rixs_finish.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "rixs/rixs.h"

namespace mv {

struct rixs_ground {  // one ground-side symmetry: initial and final states
  std::string label;
  std::vector<float> energies;  // NG, ascending
  std::vector<float> vectors;   // NG x NG
};

struct rixs_core {  // one core-hole symmetry: intermediate states
  std::string label;
  int32_t ne = 0;
  std::vector<float> hamiltonian;  // NE x NE
};

struct rixs_operator {  // component q between ground[ground] and core[core]
  int32_t ground = 0, core = 0, q = 0;
  std::vector<float> matrix;  // NG x NE
};

struct rixs_collection {
  std::vector<rixs_ground> ground;
  std::vector<rixs_core> core;
  std::vector<rixs_operator> operators;
};
extern rixs_collection rixs_store;

}  // namespace mv
