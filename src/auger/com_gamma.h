// The extra width gamma of the Auger calculation (command GAMMA); reset to 0
// at the start of every Auger block.
#pragma once

namespace mv {

struct com_gamma_block {
  float gamma = 0.0f;
};
extern com_gamma_block com_gamma;

}  // namespace mv
