#pragma once

// The results files of a run (--json, --tables, --html): opened with the
// report, before the data are read, so that a folder that cannot take them
// fails first; prepared on a thread of their own once the exact values are
// in; finished with the precision guard's findings and put in place with
// the report.

#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "exact/exact_engine.h"
#include "exact/precision_guard.h"
#include "format/output_file.h"
#include "results/results.h"
#include "rundata/rundata.h"

namespace korvan {

class ResultsFiles {
 public:
  ResultsFiles(const RunParameters& params, OutputSet& outputs);
  ResultsFiles(const ResultsFiles&) = delete;
  ResultsFiles& operator=(const ResultsFiles&) = delete;

  bool Wanted() const { return json_ || html_ || !tables_.empty(); }

  // All but the precision guard's findings: the document, the JSON up to
  // them and the tables. Safe beside the single-precision stages.
  void Prepare(const RunData& run, ExactBeside& exact);
  // The findings, then the page; rethrows what stopped Prepare.
  void Finish(const RunData& run, const PrecisionCheck& precision);
  // REML's iterations and time, for the summary; empty without --reml.
  const std::string& RemlSummary() const { return remlSummary_; }

 private:
  void OpenTables(const std::string& dir, bool reml, OutputSet& outputs);

  OutputFile* json_ = nullptr;
  OutputFile* html_ = nullptr;
  std::vector<OutputFile*> tables_;
  bool available_ = false;
  const ExactResults* exact_ = nullptr;  // the engine's, once they are in
  std::exception_ptr failure_;
  Results results_;  // kept for the page, which needs the precision guard's findings
  std::string remlSummary_;
};

// ResultsFiles::Prepare on a thread of its own, which waits for the exact
// values and then works while the single-precision stages still run: on a
// large trial most of the results' cost is hidden there. Made after the
// exact engine and gone before it, which it stops when the run ends early.
class ResultsAhead {
 public:
  ResultsAhead(ResultsFiles& files, const RunData& run, ExactBeside& exact);
  ~ResultsAhead();
  ResultsAhead(const ResultsAhead&) = delete;
  ResultsAhead& operator=(const ResultsAhead&) = delete;
  // Before anything else asks the exact engine for its values.
  void Await() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  ResultsFiles& files_;
  const RunData& run_;
  ExactBeside& exact_;
  std::thread thread_;
};

}  // namespace korvan
