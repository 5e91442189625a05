#pragma once

#include "format/report_file.h"
#include "input/rundata.h"
#include "ui/progress.h"

namespace korvan {

// For every trait in order: the reductions (with the family constants),
// the analysis-of-variance table, the variance components and their report
// lines. Leaves the per-trait stores that the pair analysis reads.
void AnalyseTraits(RunData& run, ProgressLog& log, ReportFile& report);

}  // namespace korvan
