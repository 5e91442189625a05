#pragma once

#include "rundata/rundata.h"
#include "base/progress.h"

namespace korvan {

// Everything that depends on the design only: the traces Tr(f:f), Tr(f:sf)
// and Tr(sf:sf), the degrees of freedom and the E.M.S. coefficients.
void SetUpModel(RunData& run, ProgressLog& log);

// The steps in which the forms of the set-up differ. Everything else (the
// checks of the design, the messages for singular equations, the lines of
// the traces, the degrees of freedom and the coefficients) is the same set-up.
struct SetUpSteps {
  Table2<float> (*buildFixedEquations)(const RunData& run, int lastFixed, ProgressLog& log);
  Table2<float> (*invertByColumns)(const Table2<float>& a, int n);
  Table2<float> (*fixedCrossProducts)(const RunData& run, int lastFixed, int b);
  // Tr(sf:sf) from the families absorbed into the blocks, with the window
  // lines of its steps; throws SingularEquations when the block equations are.
  float (*siteFamilyTrace)(RunData& run, ProgressLog& log);
};
// The set-up with these steps: SetUpModel and SetUpModelStraightforward are
// its two forms.
void SetUpModelWith(const SetUpSteps& steps, RunData& run, ProgressLog& log);

}  // namespace korvan
