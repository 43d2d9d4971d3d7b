// Models that more than one program builds from: the shipped examples write
// them as run directories, the fuzzing seeds as input files in other layouts.
#pragma once
#include "modelwriter/modelwriter.h"

namespace mw {

// The charge-transfer example (examples/charge_transfer): a d0 ion in an
// octahedral crystal, ground 3d0 + 3d1L + 3d2L2, excited 2p5 3d1 + 2p5 3d2L +
// 2p5 3d3L2, with invented multiplet matrices.
Model charge_transfer_example();

}  // namespace mw
