#pragma once

#include "input/rundata.h"
#include "base/progress.h"

namespace korvan {

// Everything that depends on the design only: the traces Tr(f:f), Tr(f:sf)
// and Tr(sf:sf), the degrees of freedom and the E.M.S. coefficients.
void SetUpModel(RunData& run, ProgressLog& log);

}  // namespace korvan
