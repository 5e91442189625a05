#pragma once

// The fixed part as the method is written: X'X from dense count blocks and
// X'Z_b Z_b'X summed over every level of b. Slow; BuildFixedEquations and
// FixedCrossProducts must give their bits.

#include "base/progress.h"
#include "rundata/rundata.h"

namespace korvan {

Table2<float> BuildFixedEquationsStraightforward(const RunData& run, int lastFixed, ProgressLog& log);
Table2<float> FixedCrossProductsStraightforward(const RunData& run, int lastFixed, int b);

}  // namespace korvan
