#include "ui/straightforward_forms.h"

#include "input/level_coding_straightforward.h"
#include "input/reader_straightforward.h"
#include "model/model_setup.h"

namespace korvan {

const StageForms& StraightforwardForms() {
  static constexpr StageForms kStraightforwardForms{ReadRecordsStraightforward, CodeLevelsStraightforward,
                                                    SetUpModel, ReduceAllTraitsStraightforward,
                                                    ReduceAllPairsStraightforward};
  return kStraightforwardForms;
}

}  // namespace korvan
