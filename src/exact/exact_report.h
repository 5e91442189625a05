#pragma once

// The report of --arithmetic double: the layout, lines and order of the
// default report, with the exact engine's values written as doubles.

#include <vector>

#include "anova/trait_analysis.h"
#include "exact/exact_engine.h"
#include "format/report_file.h"
#include "rundata/rundata.h"

namespace korvan {

// Everything after the head. The family constants are the default report's
// own (`traits` holds them), so that only the table values change.
void WriteExactSections(const RunData& run, const std::vector<TraitOutcome>& traits, const ExactResults& exact,
                        ReportFile& report);

}  // namespace korvan
