// The spectrum parameter block: the initial-state window of the absorption
// spectrum (ERANGE), the largest energy above the lowest ground state at which
// a ground eigenstate still counts as an initial state.
#pragma once

namespace mv {

struct spectr_block {
  float window = 1.0e-6f;
};
extern spectr_block spectr;

}  // namespace mv
