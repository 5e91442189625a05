#include "run/straightforward_forms.h"

#include "anova/trait_reductions_straightforward.h"
#include "covariance/pair_reductions_straightforward.h"
#include "input/level_coding_straightforward.h"
#include "input/reader_straightforward.h"
#include "model/model_setup_straightforward.h"

namespace korvan {

const StageForms& StraightforwardForms() {
  static constexpr StageForms kStraightforwardForms{ReadRecordsStraightforward, CodeLevelsStraightforward,
                                                    SetUpModelStraightforward, ReduceAllTraitsStraightforward,
                                                    ReduceAllPairsStraightforward};
  return kStraightforwardForms;
}

}  // namespace korvan
