#pragma once

#include <vector>

#include "anova/trait_reductions.h"
#include "rundata/rundata.h"

namespace korvan {

// ReduceAllTraits as the method is written, one trait at a time: the totals
// summed over the records anew for every trait, the three absorbed systems
// rebuilt from dense counts with their right-hand sides summed over every
// level, each solved by InvertMatrix, the family constants summed over every
// block. Slow; ReduceAllTraits must give its bits, results and stores alike.
std::vector<Reductions> ReduceAllTraitsStraightforward(RunData& run);

}  // namespace korvan
