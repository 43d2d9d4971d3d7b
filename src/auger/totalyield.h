// The total-yield file of one Auger calculation: per photon-energy step the
// total Auger yield and the total absorption, as a plot block.
#pragma once
#include <cstdint>

namespace mv {

// Called once per step i = 0..nomega. The header is written at step 1, so the
// step-0 record (computed far above the resonances) stands before the plot
// block; "%END" follows the record of step nomega. Data records and the
// column-title line are echoed on standard output.
void totalyield(int32_t unit, int32_t nomega, int32_t i, float estart, float estep, float yield,
                float absorption);

}  // namespace mv
