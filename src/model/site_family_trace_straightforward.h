#pragma once

// Tr(sf:sf) as the method is written: C dense, K x K, each element of its
// family rows summed over all blocks; B dense, nSF x K, counted record by
// record; the trace over all K x K elements, each element of B'B summed
// over all cells. Slow; RepFamilyInverse, CellIncidence and CellTrace must
// give its bits. The three write the same lines as those.

#include <vector>

#include "base/progress.h"
#include "base/tables.h"
#include "rundata/rundata.h"

namespace korvan {

// C from S = absorbedMat, `count` = N, the records of each block (row) and
// family (column), and `levelCount` = the records of each family.
Table2<float> RepFamilyInverseStraightforward(const Table2<float>& absorbedMat, const Table2<float>& count,
                                              const std::vector<float>& levelCount, ProgressLog& log);
Table2<float> CellIncidenceStraightforward(const RunData& run, ProgressLog& log);
float CellTraceStraightforward(const Table2<float>& c, const Table2<float>& b, ProgressLog& log);

}  // namespace korvan
