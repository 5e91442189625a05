#include "ui/run.h"

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
#include "results/html_page.h"
#include "results/results_document.h"
#include "results/tables.h"

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

// Line 1 the report path as given, line 2 the site codes.
void WriteReportHead(const RunData& run, ReportFile& report) {
  report.Text(run.params.reportPath).EndLine();
  for (int i = 1; i <= run.nSite; ++i) report.Code(run.siteCode[i]).Text(" ");
  report.Text(" ").EndLine();
}

// The results files, as their messages name them.
OutputKind ResultsKind(const char* tag, const char* what, const char* option) { return {tag, what, option, true}; }

// The results files of a run, opened before the data are read so that a
// folder that cannot take them fails first, and placed with the report.
class ResultsFiles {
 public:
  ResultsFiles(const RunParameters& params, OutputSet& outputs) {
    // Each name is refused before any file is made, in the order of the options.
    outputs.Claim(params.jsonPath, ResultsKind("results", "results file", "--json"));
    outputs.Claim(params.tablesDir, ResultsKind("table", "results table", "--tables"));
    outputs.Claim(params.htmlPath, ResultsKind("page", "results page", "--html"));
    if (!params.jsonPath.empty()) json_ = &outputs.Add(params.jsonPath, ResultsKind("results", "results file", "--json"));
    if (!params.tablesDir.empty()) OpenTables(params.tablesDir, outputs);
    if (!params.htmlPath.empty()) html_ = &outputs.Add(params.htmlPath, ResultsKind("page", "results page", "--html"));
  }
  ResultsFiles(const ResultsFiles&) = delete;
  ResultsFiles& operator=(const ResultsFiles&) = delete;

  bool Wanted() const { return json_ || html_ || !tables_.empty(); }

  // All but the precision guard's findings: the document, the JSON up to
  // them and the tables. Safe beside the single-precision stages.
  void Prepare(const RunData& run, ExactBeside& exact) {
    try {
      const ExactResults& values = exact.Results();
      exact_ = &values;
      available_ = values.available;
      if (!available_) return;
      nlohmann::json body = ResultsBody(run, values, run.params);
      if (json_) AppendResultsJson(body, *json_);
      if (!tables_.empty()) {
        const std::vector<CsvTable> tables = ResultsTables(body);
        for (std::size_t i = 0; i < tables.size(); ++i) tables_[i]->Append(tables[i].text);
      }
      // Only the page needs the document after this; freeing it here keeps
      // that work off the run's own thread too.
      if (html_) body_ = std::move(body);
    } catch (...) {
      failure_ = std::current_exception();
    }
  }

  void Finish(const RunData& run, const PrecisionCheck& precision) {
    if (failure_) std::rethrow_exception(failure_);
    if (!available_)
      ThrowExactAbsent(run, *exact_, "the results files are made of them; run without the results files");
    const nlohmann::json findings = PrecisionFindings(precision);
    if (json_) AppendResultsJsonEnd(findings, *json_);
    if (html_) {
      body_["precision"] = findings;
      html_->Append(HtmlPage(body_));
    }
  }

 private:
  void OpenTables(const std::string& dir, OutputSet& outputs) {
    std::error_code error;
    const std::filesystem::path folder(dir);
    if (!std::filesystem::is_directory(folder, error)) {
      if (std::filesystem::create_directories(folder, error)) outputs.AddMadeFolder(dir);
      if (error)
        throw KorvanError("cannot create the folder " + dir + " for the results tables: " + ReasonText(error) +
                          "; choose a folder that you may write to");
    }
    for (const std::string& name : ResultsTableNames())
      tables_.push_back(&outputs.Add((folder / name).string(), ResultsKind("table", "results table", "--tables")));
  }

  OutputFile* json_ = nullptr;
  OutputFile* html_ = nullptr;
  std::vector<OutputFile*> tables_;
  bool available_ = false;
  const ExactResults* exact_ = nullptr;  // the engine's, once they are in
  std::exception_ptr failure_;
  nlohmann::json body_;
};

// ResultsFiles::Prepare on a thread of its own, which waits for the exact
// values and then works while the single-precision stages still run: on a
// large trial most of the results' cost is hidden there. Made after the
// exact engine and gone before it, which it stops when the run ends early.
class ResultsAhead {
 public:
  ResultsAhead(ResultsFiles& files, const RunData& run, ExactBeside& exact) : files_(files), run_(run), exact_(exact) {
    if (!files.Wanted()) return;
    try {
      thread_ = std::thread([this] { files_.Prepare(run_, exact_); });
    } catch (const std::system_error&) {
      files_.Prepare(run_, exact_);
    }
  }
  ~ResultsAhead() {
    if (!thread_.joinable()) return;
    exact_.RequestStop();
    thread_.join();
  }
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

// The exact values: the exact report in place of the sections when one is
// wanted, and a warning when the report's values differ visibly.
PrecisionCheck GuardPrecision(const RunData& run, const std::vector<TraitOutcome>& traits,
                                          const std::vector<std::vector<PairAnova>>& pairs, ExactBeside& exact,
                                          ReportFile* exactReport) {
  const ExactResults& values = exact.Results();
  if (exactReport) {
    if (!values.available) ThrowExactAbsent(run, values, "the default arithmetic writes the report");
    WriteExactSections(run, traits, values, *exactReport);
  }
  return CheckPrecision(run, traits, pairs, values);
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
  using Clock = std::chrono::steady_clock;
  const auto runStart = Clock::now();
  RunSummary summary;
  auto stageStart = runStart;
  auto endStage = [&](const char* name) {
    const auto now = Clock::now();
    summary.stageSeconds.emplace_back(name, std::chrono::duration<double>(now - stageStart).count());
    stageStart = now;
  };

  ProgressLog log(sink);
  const std::string tStart = TimeOfDay();
  RunData run = PrepareRun(params);
  ClaimRunFiles(run.params, outputs);
  ResultsFiles results(run.params, outputs);
  // Created now, so that a folder that cannot take the report shows before
  // the data are read, not after the analysis.
  ReportFile report(outputs, run.params.reportPath, run.params.NameOf(Field::kReportFile));
  forms.readRecords(run, log);
  CheckRecordsRead(run);
  SettleCounts(run);
  if (const std::string note = DecimalCommaNote(run); !note.empty()) log.Line(" " + note);
  if (run.missingValues.dropped > 0) {
    // Built piece by piece: GCC 12 warns falsely about " " + a number's text.
    std::string line(1, ' ');
    line.append(std::to_string(run.missingValues.dropped)).append(" records left out: they lack trait values");
    log.Line(line);
  }
  endStage("read");
  forms.codeLevels(run, log);
  endStage("coding");
  ExactBeside exact(run);
  ResultsAhead resultsAhead(results, run, exact);
  forms.setUpModel(run, log);
  endStage("set-up");
  WriteReportHead(run, report);
  // The exact report keeps the sections of the single-precision one aside,
  // in a file that is never put in place.
  std::optional<ReportFile> single;
  if (run.params.exactReport) single.emplace(ReportFile::Scratch(outputs, run.params.reportPath + ".single"));
  const auto traits = AnalyseTraits(run, log, single ? *single : report, forms.reduceAllTraits);
  endStage("traits");
  const auto pairs = AnalysePairs(run, log, single ? *single : report, forms.reduceAllPairs);
  endStage("pairs");
  resultsAhead.Await();
  const PrecisionCheck check = GuardPrecision(run, traits, pairs, exact, single ? &report : nullptr);
  const std::optional<std::string>& precision = check.warning;
  endStage("exact");
  if (results.Wanted()) {
    results.Finish(run, check);
    endStage("results");
  }
  log.CheckStop();
  log.Line(" Start at " + tStart + " and Ended at " + TimeOfDay());
  if (precision) log.Line(" Warning: " + *precision);
  sink.Flush();
  report.Finish();
  endStage("report");

  summary.reportPath = run.params.reportPath;
  summary.nRecord = run.nRecord;
  summary.nSite = run.nSite;
  summary.nRep = run.nRep;
  summary.nFamily = run.nFamily;
  summary.nTrait = run.nTrait;
  summary.nDropped = run.missingValues.dropped;
  summary.warnings = ReadingWarnings(run);
  summary.decimalCommas = DecimalCommaNote(run);
  if (precision) summary.warnings.push_back(*precision);
  summary.seconds = std::chrono::duration<double>(Clock::now() - runStart).count();
  return summary;
}

}  // namespace korvan
