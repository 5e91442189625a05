#pragma once

#include "rundata/rundata.h"
#include "base/progress.h"

namespace korvan {

// Gives every record its model columns, removes the columns no record uses
// and settles colOffset, p, famEnd, q, nRep and nSF; writes both listings.
void CodeLevels(RunData& run, ProgressLog& log);

}  // namespace korvan
