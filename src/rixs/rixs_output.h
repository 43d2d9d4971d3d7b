// The RIXS file (unit 47, fort.47): one plot block per polarisation pair.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "rixs/rixs.h"

namespace mv {

inline constexpr int32_t rixs_unit = 47;

struct rixs_map {
  float eg0 = 0.0f;                      // lowest ground-side energy
  std::vector<float> level_energy;       // initial levels
  std::vector<float> level_weight;       // summed weights of their states
  std::vector<int32_t> level_states;     // their numbers of states
  std::vector<std::string> core_labels;  // intermediate symmetries
  std::vector<int32_t> core_sizes;
  std::vector<std::string> final_labels;  // final symmetries
  std::vector<std::vector<float>> final_energies;
  // [omega][level][final state, all symmetries in order]
  std::vector<float> intensity;
};

// The name of a polarisation as the command and the file write it.
const char* polarisation_name(polarisation p);

void write_rixs_map(int32_t pair_number, const polarisation_pair& pair, const rixs_map& map);

}  // namespace mv
