// The spectrum parameter block: the initial-state window of the absorption
// spectrum (ERANGE), the largest energy above the lowest ground state at which
// a ground eigenstate still counts as an initial state, and the number of
// Lanczos steps of a Krylov spectrum (KRYLOV n; 0, the default, keeps every
// spectrum exact).
#pragma once
#include <cstdint>

namespace mv {

struct spectr_block {
  float window = 1.0e-6f;
  int32_t krylov_steps = 0;
};
extern spectr_block spectr;

}  // namespace mv
