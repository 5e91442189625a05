#pragma once

#include "format/report_file.h"
#include <vector>

#include "anova/trait_reductions.h"
#include "input/rundata.h"
#include "base/progress.h"

namespace korvan {

// The reductions of every trait (index 1..nTrait), leaving the per-trait
// stores that the pair analysis reads: the one step of the trait stage that
// has a faster form beside the straightforward one.
using TraitReductionsForm = std::vector<Reductions> (*)(RunData& run);

// For every trait in order: the reductions (with the family constants),
// the analysis-of-variance table, the variance components and their report
// lines.
void AnalyseTraits(RunData& run, ProgressLog& log, ReportFile& report, TraitReductionsForm reduceAllTraits);

}  // namespace korvan
