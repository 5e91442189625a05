#include "ui/straightforward_forms.h"

#include "anova/trait_reductions_straightforward.h"
#include "covariance/pair_reductions_straightforward.h"
#include "input/level_coding.h"
#include "input/reader.h"
#include "model/model_setup_straightforward.h"

namespace korvan {

const StageForms& StraightforwardForms() {
  static constexpr StageForms kStraightforwardForms{ReadRecords, CodeLevelsStraightforward, SetUpModelStraightforward,
                                                    ReduceAllTraitsStraightforward, ReduceAllPairsStraightforward};
  return kStraightforwardForms;
}

}  // namespace korvan
