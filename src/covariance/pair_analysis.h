#pragma once

#include "format/report_file.h"
#include <vector>

#include "covariance/pair_reductions.h"
#include "rundata/rundata.h"
#include "base/progress.h"

namespace korvan {

// The cross-product reductions of every pair t1 < t2 (element [t1][t2]): the
// one step of the pair stage that has a faster form beside the
// straightforward one.
using PairReductionsForm = std::vector<std::vector<PairAnova>> (*)(const RunData& run);

// For every pair of traits (1, 2), (1, 3), .. (2, 3), ..: the analysis of
// covariance and the phenotypic and family correlations. Returns what each
// pair showed ([t1][t2]; empty with one trait).
std::vector<std::vector<PairAnova>> AnalysePairs(RunData& run, ProgressLog& log, ReportFile& report, PairReductionsForm reduceAllPairs);

}  // namespace korvan
