#pragma once

#include "format/report_file.h"
#include "input/rundata.h"
#include "ui/progress.h"

namespace korvan {

// For every pair of traits (1, 2), (1, 3), .. (2, 3), ..: the analysis of
// covariance and the phenotypic and family correlations.
void AnalysePairs(RunData& run, ProgressLog& log, ReportFile& report);

}  // namespace korvan
