#pragma once

// The results of a run for programs and for the page: every quantity of the
// report with its label, the design with the data's own codes, and the
// uncertainty, tests and family ranking that follow from the same analysis.

#include <nlohmann/json.hpp>

#include "exact/exact_engine.h"
#include "exact/precision_guard.h"
#include "input/rundata.h"

namespace korvan {

// From the exact values, which must be available. Missing values are null,
// never NaN or an infinity.
nlohmann::json ResultsDocument(const RunData& run, const ExactResults& exact, const RunParameters& params,
                               const PrecisionCheck& precision);

// "half-sib", "full-sib", "clone", or empty for an unknown kind.
const char* FamilyKindName(FamilyKind kind);

}  // namespace korvan
