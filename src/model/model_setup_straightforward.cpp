#include "model/model_setup_straightforward.h"

#include "linalg/invert_matrix_straightforward.h"
#include "model/site_family_trace_straightforward.h"
#include "model/absorb_straightforward.h"
#include "model/fixed_equations_straightforward.h"
#include "model/model_setup.h"

namespace korvan {

namespace {

// The same steps as SiteFamilyTrace, with C and B dense; the counts are read
// afresh rather than taken from the absorption.
float SiteFamilyTraceStraightforward(RunData& run, ProgressLog& log) {
  const Table2<float> absorbed = AbsorbStraightforward(run, 3, 4, false);
  const Table2<float> c = RepFamilyInverseStraightforward(absorbed, CountBlockStraightforward(run, 3, 4),
                                                          CountLevelsStraightforward(run, 4), log);
  log.CheckStop();
  log.Advance(4);
  return CellTraceStraightforward(c, CellIncidenceStraightforward(run, log), log);
}

}  // namespace

void SetUpModelStraightforward(RunData& run, ProgressLog& log) {
  static constexpr SetUpSteps kSteps{BuildFixedEquationsStraightforward, InvertByColumnsStraightforward,
                                     FixedCrossProductsStraightforward, SiteFamilyTraceStraightforward};
  SetUpModelWith(kSteps, run, log);
}

}  // namespace korvan
