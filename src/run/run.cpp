#include "run/run.h"

#include <chrono>
#include <exception>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "anova/trait_analysis.h"
#include "covariance/pair_analysis.h"
#include "exact/exact_engine.h"
#include "exact/exact_report.h"
#include "exact/precision_guard.h"
#include "base/korvan_error.h"
#include "format/report_file.h"
#include "input/level_coding.h"
#include "input/reader.h"
#include "input/run_parameters.h"
#include "model/model_setup.h"
#include "results/results_files.h"

namespace korvan {

std::string TimeOfDay() {
  const std::time_t now = std::time(nullptr);
  // std::localtime shares one buffer; only the run's own thread reads it here.
  const std::tm local = *std::localtime(&now);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

namespace {

// The seconds of each stage, in run order, and of the whole run.
class StageClock {
 public:
  void End(const char* stage) {
    const auto now = Clock::now();
    stages_.emplace_back(stage, std::chrono::duration<double>(now - stageStart_).count());
    stageStart_ = now;
  }
  double Total() const { return std::chrono::duration<double>(Clock::now() - runStart_).count(); }
  const std::vector<std::pair<std::string, double>>& Stages() const { return stages_; }

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point runStart_ = Clock::now(), stageStart_ = runStart_;
  std::vector<std::pair<std::string, double>> stages_;
};

// The records of the selected age, checked against what the analysis and
// the declared counts need, and what the procedure says of the reading.
void ReadData(RunData& run, ProgressLog& log, const StageForms& forms) {
  forms.readRecords(run, log);
  CheckRecordsRead(run);
  SettleCounts(run);
  WriteReadingNotes(run, log);
}

// Where the single-precision sections go, decided once: into the report,
// or, when the report is to hold the exact values instead, into a scratch
// file of the run that is never put in place.
struct Sections {
  Sections(const RunData& run, OutputSet& outputs, ReportFile& report)
      : scratch(run.params.exactReport ? std::optional<ReportFile>(ReportFile::Scratch(outputs, run.params.reportPath +
                                                                                            ".single"))
                                       : std::nullopt),
        single(scratch ? *scratch : report),
        exact(scratch ? &report : nullptr) {}
  std::optional<ReportFile> scratch;
  ReportFile& single;  // the single-precision sections
  ReportFile* exact;   // the exact sections, when wanted
};

// The procedure's last lines: the times of the run, then the precision
// guard's warning if it has one.
void EndProcedure(ProgressLog& log, const std::string& tStart, const PrecisionCheck& check) {
  log.CheckStop();
  log.Line(" Start at " + tStart + " and Ended at " + TimeOfDay());
  if (check.warning) log.Line(" Warning: " + *check.warning);
}

RunSummary Summary(const RunData& run, const PrecisionCheck& check, const StageClock& clock) {
  RunSummary summary;
  summary.reportPath = run.params.reportPath;
  summary.nRecord = run.nRecord;
  summary.nSite = run.nSite;
  summary.nRep = run.nRep;
  summary.nFamily = run.nFamily;
  summary.nTrait = run.nTrait;
  summary.nDropped = run.missingValues.dropped;
  summary.warnings = ReadingWarnings(run);
  summary.decimalCommas = DecimalCommaNote(run);
  if (check.warning) summary.warnings.push_back(*check.warning);
  summary.stageSeconds = clock.Stages();
  summary.seconds = clock.Total();
  return summary;
}

// Line 1 the report path as given, line 2 the site codes.
void WriteReportHead(const RunData& run, ReportFile& report) {
  report.Text(run.params.reportPath).EndLine();
  for (int i = 1; i <= run.nSite; ++i) report.Code(run.siteCode[i]).Text(" ");
  report.Text(" ").EndLine();
}

}  // namespace

void ClaimRunFiles(const RunParameters& params, OutputSet& outputs) {
  outputs.ClaimInput(params.dataPath, "data file", params.NameOf(Field::kDataFile));
  outputs.Claim(params.reportPath, ReportFile::Kind(params.NameOf(Field::kReportFile)));
}

const StageForms& ProductForms() {
  static constexpr StageForms kProduct{ReadRecords, CodeLevels, SetUpModel, ReduceAllTraits, ReduceAllPairs};
  return kProduct;
}

RunSummary RunCalculation(const RunParameters& params, ProgressSink& sink, const StageForms& forms) {
  OutputSet outputs;
  RunSummary summary = RunCalculation(params, sink, outputs, forms);
  outputs.CommitAll();
  return summary;
}

RunSummary RunCalculation(const RunParameters& params, ProgressSink& sink, OutputSet& outputs,
                          const StageForms& forms) {
  StageClock clock;
  ProgressLog log(sink);
  const std::string tStart = TimeOfDay();
  RunData run = PrepareRun(params);
  ClaimRunFiles(run.params, outputs);
  ResultsFiles results(run.params, outputs);
  // Created now, so that a folder that cannot take the report shows before
  // the data are read, not after the analysis.
  ReportFile report(outputs, run.params.reportPath, run.params.NameOf(Field::kReportFile));
  ReadData(run, log, forms);
  clock.End("read");
  forms.codeLevels(run, log);
  clock.End("coding");
  ExactBeside exact(run);
  ResultsAhead resultsAhead(results, run, exact);
  forms.setUpModel(run, log);
  clock.End("set-up");
  WriteReportHead(run, report);
  Sections sections(run, outputs, report);
  const auto traits = AnalyseTraits(run, log, sections.single, forms.reduceAllTraits);
  clock.End("traits");
  const auto pairs = AnalysePairs(run, log, sections.single, forms.reduceAllPairs);
  clock.End("pairs");
  resultsAhead.Await();
  const PrecisionCheck check = GuardPrecision(run, traits, pairs, exact, sections.exact);
  clock.End("exact");
  if (results.Wanted()) {
    results.Finish(run, check);
    clock.End("results");
  }
  EndProcedure(log, tStart, check);
  sink.Flush();
  report.Finish();
  clock.End("report");
  RunSummary summary = Summary(run, check, clock);
  summary.reml = results.RemlSummary();
  return summary;
}

}  // namespace korvan
