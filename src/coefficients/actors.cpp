// The operator tables and the PRMULT switch (filled by the command block).
#include "coefficients/actors.h"

namespace mv {

actors_block actors;
cprmult_block cprmult;

}  // namespace mv
