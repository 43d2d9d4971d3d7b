// The main program: opens the fixed files and runs the loop over band-
// calculation blocks and their triads until the command file ends.
#pragma once
#include <cstdint>

namespace mv {

// At most this many band-calculation blocks per run, and triads per block.
inline constexpr int32_t loop_limit = 100000;

// The limit is a parameter only so that tests can reach it quickly.
void MAIN(int32_t limit = loop_limit);

}  // namespace mv
