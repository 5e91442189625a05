#pragma once

#include "base/progress.h"
#include "rundata/rundata.h"

namespace korvan {

// SetUpModel with every step as the method is written: dense count blocks,
// one elimination per column of the identity, every sum over all levels.
// Slow; SetUpModel must give its bits.
void SetUpModelStraightforward(RunData& run, ProgressLog& log);

}  // namespace korvan
