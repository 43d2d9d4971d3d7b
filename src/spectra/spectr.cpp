#include "spectra/spectr.h"

namespace mv {

spectr_block spectr;

}  // namespace mv
