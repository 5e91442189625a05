#pragma once

#include "input/rundata.h"
#include "base/progress.h"

namespace korvan {

// Gives every record its model columns, removes the columns no record uses
// and settles colOffset, p, famEnd, q, nRep and nSF; writes both listings.
void CodeLevels(RunData& run, ProgressLog& log);

// The same as the method is written: the empty columns removed one at a time,
// each tested against every record (columns x records), and the site of each
// block set record by record. Slow; CodeLevels must give its results.
void CodeLevelsStraightforward(RunData& run, ProgressLog& log);

}  // namespace korvan
