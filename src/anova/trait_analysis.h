#pragma once

#include "format/report_file.h"
#include <vector>

#include "anova/trait_reductions.h"
#include "anova/variance_components.h"
#include "rundata/rundata.h"
#include "base/progress.h"

namespace korvan {

// The reductions of every trait (index 1..nTrait), leaving the per-trait
// stores that the pair analysis reads: the one step of the trait stage that
// has a faster form beside the straightforward one.
using TraitReductionsForm = std::vector<Reductions> (*)(RunData& run);

// What the report shows of one trait, for judging it against exact values.
struct TraitOutcome {
  Reductions reductions;
  SumsOfSquares ss;
  VarianceEstimates estimates;
};

// For every trait in order: the reductions (with the family constants),
// the analysis-of-variance table, the variance components and their report
// lines. Returns what each trait showed (index 1..nTrait).
std::vector<TraitOutcome> AnalyseTraits(RunData& run, ProgressLog& log, ReportFile& report, TraitReductionsForm reduceAllTraits);

}  // namespace korvan
