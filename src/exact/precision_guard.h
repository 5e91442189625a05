#pragma once

// Judges the single-precision report against the exact values: a warning
// when a reader would notice the difference, nothing otherwise.

#include <optional>
#include <string>
#include <vector>

#include "anova/trait_analysis.h"
#include "covariance/pair_reductions.h"
#include "exact/exact_engine.h"
#include "format/report_file.h"
#include "rundata/rundata.h"

namespace korvan {

// One value of the report that a reader would notice is off: what it is,
// the report's value and the exact one (nothing where either has none).
struct PrecisionFinding {
  std::string quantity;
  std::optional<double> report, exact;
};

struct PrecisionCheck {
  std::optional<std::string> warning;      // as PrecisionWarning words it
  std::vector<PrecisionFinding> findings;  // every one, the worst first
};

PrecisionCheck CheckPrecision(const RunData& run, const std::vector<TraitOutcome>& traits,
                              const std::vector<std::vector<PairAnova>>& pairs, const ExactResults& exact);

// Once the single-precision sections are written: the exact report in
// their place when `exactReport` is given, and the check of the report
// against the exact values.
PrecisionCheck GuardPrecision(const RunData& run, const std::vector<TraitOutcome>& traits,
                              const std::vector<std::vector<PairAnova>>& pairs, ExactBeside& exact,
                              ReportFile* exactReport);

// The warning, naming the worst quantities with both values, or nothing when
// every value of the report stays within what a reader tolerates.
std::optional<std::string> PrecisionWarning(const RunData& run, const std::vector<TraitOutcome>& traits,
                                            const std::vector<std::vector<PairAnova>>& pairs,
                                            const ExactResults& exact);

}  // namespace korvan
