#include "auger/com_gamma.h"

namespace mv {

com_gamma_block com_gamma;

}  // namespace mv
