#pragma once

#include <vector>

#include "covariance/pair_reductions.h"
#include "rundata/rundata.h"

namespace korvan {

// ReduceAllPairs as the method is written, one pair at a time: y1'y2 summed
// over the records and every cross product over the stores anew for each
// pair. Slow; ReduceAllPairs must give its bits.
std::vector<std::vector<PairAnova>> ReduceAllPairsStraightforward(const RunData& run);

}  // namespace korvan
