#include "results/results_files.h"

#include <filesystem>
#include <system_error>

#include "base/korvan_error.h"
#include "results/html_page.h"
#include "results/reml_section.h"
#include "results/results_document.h"
#include "results/tables.h"

namespace korvan {

namespace {

// The results files, as their messages name them.
OutputKind ResultsKind(const char* tag, const char* what, const char* option) { return {tag, what, option, true}; }

}  // namespace

ResultsFiles::ResultsFiles(const RunParameters& params, OutputSet& outputs) {
  // Each name is refused before any file is made, in the order of the options.
  outputs.Claim(params.jsonPath, ResultsKind("results", "results file", "--json"));
  outputs.Claim(params.tablesDir, ResultsKind("table", "results table", "--tables"));
  outputs.Claim(params.htmlPath, ResultsKind("page", "results page", "--html"));
  if (!params.jsonPath.empty()) json_ = &outputs.Add(params.jsonPath, ResultsKind("results", "results file", "--json"));
  if (!params.tablesDir.empty()) OpenTables(params.tablesDir, params.reml, outputs);
  if (!params.htmlPath.empty()) html_ = &outputs.Add(params.htmlPath, ResultsKind("page", "results page", "--html"));
}

void ResultsFiles::Prepare(const RunData& run, ExactBeside& exact) {
  try {
    const ExactResults& values = exact.Results();
    exact_ = &values;
    available_ = values.available;
    if (!available_) return;
    Results results = BuildResults(run, values, run.params);
    if (run.params.reml) {
      results.reml = BuildRemlResult(run, results, run.params);
      remlSummary_ = RemlSummaryText(*results.reml);
    }
    if (json_) WriteResultsJson(results, *json_);
    if (!tables_.empty()) {
      const std::vector<CsvTable> tables = ResultsTables(results);
      for (std::size_t i = 0; i < tables.size(); ++i) tables_[i]->Append(tables[i].text);
    }
    // Only the page needs the results after this; freeing them here keeps
    // that work off the run's own thread too.
    if (html_) results_ = std::move(results);
  } catch (...) {
    failure_ = std::current_exception();
  }
}

void ResultsFiles::Finish(const RunData& run, const PrecisionCheck& precision) {
  if (failure_) std::rethrow_exception(failure_);
  if (!available_) ThrowExactAbsent(run, *exact_, "the results files are made of them; run without the results files");
  results_.precision = PrecisionOf(precision);
  if (json_) WriteResultsJsonEnd(results_.precision, *json_);
  if (html_) html_->Append(HtmlPage(results_));
}

void ResultsFiles::OpenTables(const std::string& dir, bool reml, OutputSet& outputs) {
  std::error_code error;
  const std::filesystem::path folder(dir);
  if (!std::filesystem::is_directory(folder, error)) {
    if (std::filesystem::create_directories(folder, error)) outputs.AddMadeFolder(dir);
    if (error)
      throw KorvanError("cannot create the folder " + dir + " for the results tables: " + ReasonText(error) +
                        "; choose a folder that you may write to");
  }
  for (const std::string& name : ResultsTableNames(reml))
    tables_.push_back(&outputs.Add((folder / name).string(), ResultsKind("table", "results table", "--tables")));
}

ResultsAhead::ResultsAhead(ResultsFiles& files, const RunData& run, ExactBeside& exact)
    : files_(files), run_(run), exact_(exact) {
  if (!files.Wanted()) return;
  try {
    thread_ = std::thread([this] { files_.Prepare(run_, exact_); });
  } catch (const std::system_error&) {
    files_.Prepare(run_, exact_);
  }
}

ResultsAhead::~ResultsAhead() {
  if (!thread_.joinable()) return;
  exact_.RequestStop();
  thread_.join();
}

}  // namespace korvan
