#pragma once

// The trees of a trial file in the generator's fixed-column layout (site
// 1-4, block 5-8, family 9-14, age 15-18, traits of width 10 from 19), read
// by korvan's own reader as a run reads them: what the REML timing tools fit.

#include <cstdlib>

#include "base/progress.h"
#include "input/level_coding.h"
#include "input/reader.h"
#include "input/run_parameters.h"
#include "reml/reml_trees.h"

namespace korvan::bench {

// argv: FILE SITES BLOCKS FAMILIES RECORDS TRAITS.
inline RemlTrees ReadGeneratedTrial(char** argv) {
  RunParameters params;
  params.dataPath = argv[1];
  params.reportPath = "unused.out";
  params.nSite = std::atof(argv[2]);
  params.nBlock = std::atof(argv[3]);
  params.nFamily = std::atof(argv[4]);
  params.nRecord = std::atof(argv[5]);
  params.nTrait = std::atof(argv[6]);
  params.ageSel = 10;
  params.colSite = 1, params.wSite = 4, params.colBlock = 5, params.wBlock = 4;
  params.colFamily = 9, params.wFamily = 6, params.colAge = 15, params.wAge = 4;
  params.colTrait = 19, params.wTrait = 10;
  RunData run = PrepareRun(params);
  NullSink sink;
  ProgressLog log(sink);
  ReadRecords(run, log);
  CodeLevels(run, log);
  return RemlTreesFromRun(run);
}

}  // namespace korvan::bench
