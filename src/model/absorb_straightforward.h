#pragma once

// The absorption as the method is written: counts added record by record
// into dense tables, every sum over all levels in order. Slow; CountBlock,
// CountLevels and Absorb must give its bits.

#include <vector>

#include "rundata/rundata.h"

namespace korvan {

// N_ab dense, rows 1..nA, columns 1..nB, and the level sizes of factor k.
Table2<float> CountBlockStraightforward(const RunData& run, int a, int b);
std::vector<float> CountLevelsStraightforward(const RunData& run, int k);
Table2<float> AbsorbStraightforward(const RunData& run, int a, int b, bool perSiteConstraint);

}  // namespace korvan
