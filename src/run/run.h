#pragma once

// The run sequence and the output driver: one call does the whole
// calculation, from the parameters of the front end to the finished report.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "anova/trait_analysis.h"
#include "base/progress.h"
#include "covariance/pair_analysis.h"
#include "format/output_file.h"
#include "rundata/rundata.h"

namespace korvan {

struct RunSummary {
  std::string reportPath;     // where the report went
  int nRecord = 0;            // records selected
  int nSite = 0;              // sites found
  int nRep = 0;               // blocks of all sites
  int nFamily = 0;            // families found
  int nTrait = 0;             // traits analysed
  std::int64_t nDropped = 0;  // records left out because they lack trait values
  double seconds = 0;         // wall-clock time of the whole run
  std::vector<std::pair<std::string, double>> stageSeconds;  // per stage, in run order
  std::vector<std::string> warnings;  // things the user should know that did not stop the run
  std::string decimalCommas;          // how a sheet's decimal commas were read; empty when it wrote none
  std::string reml;                   // REML's traits, iterations and time; empty without --reml
};

// The stages whose work has a faster form beside the straightforward one, as
// the method is written. A program chooses the forms once, for the whole run:
// korvan and korvan-cli the product forms, korvan-cli-straightforward and the
// tests the straightforward ones (ui/straightforward_forms.h), whose reports
// and procedure files are the bytes the product forms must give.
struct StageForms {
  void (*readRecords)(RunData& run, ProgressLog& log);
  void (*codeLevels)(RunData& run, ProgressLog& log);
  void (*setUpModel)(RunData& run, ProgressLog& log);
  TraitReductionsForm reduceAllTraits;
  PairReductionsForm reduceAllPairs;
};

const StageForms& ProductForms();

// Runs the whole calculation and puts the report in place. Throws
// KorvanError with a message for the user when the input or the design is
// wrong, RunCancelled when the sink asks to stop; either way no report is
// left behind and an existing one is untouched.
RunSummary RunCalculation(const RunParameters& params, ProgressSink& sink,
                          const StageForms& forms = ProductForms());

// The same, for a front end that writes other files beside the report (the
// procedure file, the timings): the report joins `outputs`, last, before
// the data are read, and the caller puts them all in place at once with
// outputs.CommitAll() once its own files are complete.
RunSummary RunCalculation(const RunParameters& params, ProgressSink& sink, OutputSet& outputs,
                          const StageForms& forms = ProductForms());

// The data file and the report, claimed in `outputs` before any output is
// made: a front end that writes files of its own claims these first, so
// that a name its files share with either is refused in their words.
void ClaimRunFiles(const RunParameters& params, OutputSet& outputs);

// Time of day as hh:mm:ss on the 24-hour clock.
std::string TimeOfDay();

}  // namespace korvan
