// The calculation driver: one triad from the coefficient blocks to the ground
// state report and the absorption spectrum, or to the Auger calculation.
#pragma once
#include <cstdint>
#include <string>

#include "input/getact.h"

namespace mv {

// The calculation's arrays, allocated by the main program in this order.
struct master_arrays {
  float* vectors;     // NG x NG: dense ground Hamiltonian, then its eigenvectors
  float* transition;  // NG x NE: dense transition operator
  float* purity;      // NG
  float* work4;       // NE
  float* work5;       // NE
  float* energies;    // NG: ground energies, ascending
  float* work7;       // NE
  float* work8;       // NE
  int32_t* marker_g;  // NG: configuration marker array of the ground basis
  int32_t* marker_e;  // NE
};

struct triad_dims {
  int32_t ng = 0, ne = 0;
  int32_t mg[3] = {0, 0, 0}, me[3] = {0, 0, 0};
  int32_t dim_g = 0, dim_e = 0;  // symmetry dimensions
};

struct triad_labels {
  std::string ground, op, excited, fourth;  // 20 characters each
};

void master(const master_arrays& a, const triad_dims& dims, const band_parameters& p,
            const float channel_factor[9], int32_t triad, const triad_labels& labels);

}  // namespace mv
