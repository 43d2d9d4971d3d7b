// The main program: opens the fixed files and runs the loop over band-
// calculation blocks and their triads until the command file ends.
#pragma once

namespace mv {

void MAIN();

}  // namespace mv
