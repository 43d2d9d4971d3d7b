// The photon-energy steps of the Auger spectrum loop: at step i (photon energy
// w = 10000 for i = 0, else ESTART + ESTEP*(i-1)) solve
//   (Eg + w - Ea + i*gamma + i*pi*W) X = Ta - i*pi*M,   A = Tb + Hab^T X,
// then write the step's spectrum and its total-yield line.
#pragma once
#include <cstdint>

#include "auger/agmain.h"

namespace mv {

struct energy_loop {
  int32_t triad = 0, nomega = 0;
  float estart = 0.0f, estep = 0.0f;
  int32_t noa = 0, nob = 0, ndeg = 0;
  float* intensity = nullptr;  // the driver's: the last step's spectrum stays there
  const float* ea = nullptr;
  const float* eb = nullptr;
  const float* eg = nullptr;
  const agmain_arrays* x = nullptr;
};

// Steps 0..nomega, written in their order. With several threads the steps'
// solves are computed side by side, each in memory of its own, and each step
// then goes through the work array and the output files exactly as when it is
// computed alone: the files, the stops and the work array's top and peak are
// the same for every thread count.
void energy_steps(const energy_loop& in);

}  // namespace mv
