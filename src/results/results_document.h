#pragma once

// The results of a run built from the exact values and the design, and the
// JSON document written from them: the one place that names the document's
// keys.

#include "exact/exact_engine.h"
#include "exact/precision_guard.h"
#include "format/output_file.h"
#include "results/results.h"
#include "rundata/rundata.h"

namespace korvan {

// From the exact values, which must be available, without the precision
// guard's findings. It reads only what the level coding left (counts,
// codes, record columns, trait values), so it may run beside the
// single-precision stages, once the exact values are in.
Results BuildResults(const RunData& run, const ExactResults& exact, const RunParameters& params);
// The precision guard's findings, for Results::precision.
PrecisionResult PrecisionOf(const PrecisionCheck& precision);

// --json in two parts: the body, keys in the document's order, before the
// precision guard has spoken; then its findings, which close the object.
void WriteResultsJson(const Results& results, OutputFile& file);
void WriteResultsJsonEnd(const PrecisionResult& precision, OutputFile& file);

// "half-sib", "full-sib", "clone", or empty for an unknown kind.
const char* FamilyKindName(FamilyKind kind);

}  // namespace korvan
