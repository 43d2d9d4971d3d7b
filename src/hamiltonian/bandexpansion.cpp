#include "hamiltonian/bandexpansion.h"

namespace mv {

bandexpansion_block bandexpansion;

}  // namespace mv
