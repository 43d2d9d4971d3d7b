// The Auger block: the commands between AUGER and ENDAUGER that set up to nine
// decay channels, the photon-energy grid and the extra width gamma.
#pragma once
#include <cstdint>

namespace mv {

// del, ucv, uvv: the band-calculation values, the starting values of the
// block's own DEL, UCV, UVV (which serve only its definitions).
void getauger(float del, float ucv, float uvv, float efaug[9][3], float dipaug[9], float ci[9],
              int32_t& nomega, float& estart, float& estep);

}  // namespace mv
