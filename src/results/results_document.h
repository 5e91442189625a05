#pragma once

// The results of a run for programs and for the page: every quantity of the
// report with its label, the design with the data's own codes, and the
// uncertainty, tests and family ranking that follow from the same analysis.

#include <nlohmann/json.hpp>

#include "exact/exact_engine.h"
#include "exact/precision_guard.h"
#include "format/output_file.h"
#include "rundata/rundata.h"

namespace korvan {

// From the exact values, which must be available. Missing values are null,
// never NaN or an infinity.
nlohmann::json ResultsDocument(const RunData& run, const ExactResults& exact, const RunParameters& params,
                               const PrecisionCheck& precision);

// The document without "precision": everything that the exact values and
// the coded records give. It reads only what the level coding left (counts,
// codes, record columns, trait values), so it may run beside the
// single-precision stages, once the exact values are in.
nlohmann::json ResultsBody(const RunData& run, const ExactResults& exact, const RunParameters& params);
// The document's "precision" member.
nlohmann::json PrecisionFindings(const PrecisionCheck& precision);

// --json in two parts: the body, keys in the document's order, before the
// precision guard has spoken; then its findings, which close the object.
void AppendResultsJson(const nlohmann::json& body, OutputFile& file);
void AppendResultsJsonEnd(const nlohmann::json& precision, OutputFile& file);

// "half-sib", "full-sib", "clone", or empty for an unknown kind.
const char* FamilyKindName(FamilyKind kind);

}  // namespace korvan
