#pragma once

#include "input/rundata.h"

namespace korvan {

// Checks the parameters before anything is read and starts the run's data
// with the capacities and field windows they give. Throws KorvanError naming
// the box or option at fault.
RunData PrepareRun(const RunParameters& params);

}  // namespace korvan
