#pragma once

#include "base/progress.h"
#include "rundata/rundata.h"

namespace korvan {

// CodeLevels as the method is written: the empty columns removed one at a
// time, each tested against every record (columns x records), and the site
// of each block set record by record. Slow; CodeLevels must give its results.
void CodeLevelsStraightforward(RunData& run, ProgressLog& log);

}  // namespace korvan
