// korvan-cli: the batch twin of the main window. The options fill the same
// run parameters as the boxes; messages name the options instead.

#include <algorithm>
#include <cassert>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "cli/cli.h"
#include "cli/options.h"

#include "base/korvan_error.h"
#include "base/main_stack.h"
#include "base/memory_reserve.h"
#include "base/program_stop.h"
#include "base/terminal.h"
#include "format/output_file.h"
#include "input/preview.h"
#include "input/run_parameters.h"
#include "run/run.h"

namespace {

using korvan::KorvanError;
using korvan::cli::CliOptions;
using korvan::cli::UsageError;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The batch program's own outputs, as their messages name them.
const korvan::OutputKind kProcedureKind{"procedure", "procedure file", "--procedure", false};
const korvan::OutputKind kTimingsKind{"timings", "timings file", "--timings", false};

// One line on the terminal that says which stage runs and how far it is;
// it appears only when a run takes long enough to wonder about.
class TerminalIndicator {
 public:
  void BeginStage(std::string_view name, std::int64_t workItems) {
    stage_ = name;
    item_.clear();
    workItems_ = workItems;
    done_ = 0;
    Show(0, true);
  }
  void Advance(std::int64_t done) {
    done_ = done;
    Show(done, false);
  }
  void Item(std::string_view what) {
    item_ = what;
    Show(done_, false);
  }
  void Erase() {
    if (shownWidth_ == 0) return;
    std::cerr << '\r' << std::string(shownWidth_, ' ') << '\r' << std::flush;
    shownWidth_ = 0;
  }

 private:
  using Clock = std::chrono::steady_clock;

  void Show(std::int64_t done, bool newStage) {
    const auto now = Clock::now();
    if (now - start_ < std::chrono::milliseconds(500)) return;
    if (!newStage && now - lastShown_ < std::chrono::milliseconds(200)) return;
    lastShown_ = now;
    std::string text = "korvan-cli: " + stage_;
    if (workItems_ > 0) {
      text += ' ';
      text += std::to_string(std::min<std::int64_t>(100, done * 100 / workItems_));
      text += '%';
    }
    if (!item_.empty()) text += ": " + item_;
    const std::size_t width = text.size();
    if (width < shownWidth_) text.append(shownWidth_ - width, ' ');
    std::cerr << '\r' << text << std::flush;
    shownWidth_ = std::max(width, shownWidth_);
  }

  Clock::time_point start_ = Clock::now();
  Clock::time_point lastShown_;
  std::string stage_;
  std::string item_;  // what the stage works on now
  std::int64_t workItems_ = 0;
  std::int64_t done_ = 0;
  std::size_t shownWidth_ = 0;
};

class CliSink final : public korvan::ProgressSink {
 public:
  CliSink(korvan::OutputFile* procedure, TerminalIndicator* indicator, const korvan::ProgramStop& signals)
      : procedure_(procedure), indicator_(indicator), signals_(signals) {}
  void WriteLine(std::string_view line) override {
    procedure_->Append(line);
    procedure_->Append("\n");
  }
  // A file keeps every line; only the window shows one screen at a time.
  void Clear() override {}
  bool WantsLines() const override { return procedure_ != nullptr; }
  void BeginStage(std::string_view name, std::int64_t workItems) override {
    if (indicator_) indicator_->BeginStage(name, workItems);
  }
  void Advance(std::int64_t done) override {
    if (indicator_) indicator_->Advance(done);
  }
  void Item(std::string_view what) override {
    if (indicator_) indicator_->Item(what);
  }
  void Flush() override {
    if (procedure_) procedure_->Flush();
  }
  bool StopRequested() const override { return signals_.received() != 0; }

 private:
  korvan::OutputFile* procedure_;
  TerminalIndicator* indicator_;
  const korvan::ProgramStop& signals_;
};

void CheckProcedurePath(const CliOptions& options) {
  const std::string& path = *options.procedurePath;
  const std::filesystem::path procedure(path);
  std::error_code error;
  if (path.empty() || !procedure.has_filename() || std::filesystem::is_directory(procedure, error))
    throw KorvanError("--procedure: '" + path + "' is no file name; type a name for the procedure file");
}

std::string Counted(std::int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Every file the run wrote, the report first, then what the data held.
std::string SummaryLine(const CliOptions& options, const korvan::RunSummary& summary) {
  const korvan::RunParameters& params = options.params;
  std::string files = summary.reportPath;
  for (const std::optional<std::string>& path : {options.procedurePath, options.timingsPath})
    if (path) files += ", " + *path;
  if (!params.jsonPath.empty()) files += ", " + params.jsonPath;
  if (!params.tablesDir.empty()) files += ", the tables in " + params.tablesDir;
  if (!params.htmlPath.empty()) files += ", " + params.htmlPath;
  char seconds[32];
  const auto end = std::to_chars(seconds, seconds + sizeof seconds, summary.seconds, std::chars_format::fixed, 2).ptr;
  return "korvan-cli: wrote " + files + ": " + Counted(summary.nRecord, "record", "records") + ", " +
         Counted(summary.nSite, "site", "sites") + ", " + Counted(summary.nRep, "block", "blocks") + ", " +
         Counted(summary.nFamily, "family", "families") + ", " + Counted(summary.nTrait, "trait", "traits") + ", " +
         (summary.nDropped > 0 ? Counted(summary.nDropped, "record", "records") + " that lack values left out, " : "") +
         std::string(seconds, end) + " s" + (summary.reml.empty() ? "" : "; " + summary.reml);
}

// The benchmark driver reads these.
std::string TimingsText(const korvan::RunSummary& summary) {
  std::string text;
  auto put = [&text](std::string_view name, double seconds) {
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, seconds, std::chars_format::fixed, 6).ptr;
    text.append(name).append(" ").append(digits, end).append("\n");
  };
  for (const auto& [stage, seconds] : summary.stageSeconds) put(stage, seconds);
  put("total", summary.seconds);
  return text;
}

int Run(const CliOptions& options, const korvan::StageForms& forms) {
  korvan::OutputSet outputs;
  std::optional<TerminalIndicator> indicator;
  if (!options.quiet && korvan::StandardErrorIsTerminal()) indicator.emplace();
  // The run asks the signals at each safe point (CliSink).
  korvan::ProgramStop signals("korvan-cli", [](int) {}, [&] {
    if (!outputs.Abandon()) return false;
    if (indicator) std::fputs("\n", stderr);
    return true;
  });
  int status = kExitFailed;
  std::string said;  // what the user reads at the end
  try {
    if (options.procedurePath) CheckProcedurePath(options);
    // Written after the report, a timings file that shares a name with
    // another file would destroy that file after a run that succeeded.
    korvan::ClaimRunFiles(options.params, outputs);
    if (options.procedurePath) outputs.Claim(*options.procedurePath, kProcedureKind);
    if (options.timingsPath) outputs.Claim(*options.timingsPath, kTimingsKind);
    korvan::OutputFile* procedure =
        options.procedurePath ? &outputs.Add(*options.procedurePath, kProcedureKind) : nullptr;
    korvan::OutputFile* timings = options.timingsPath ? &outputs.Add(*options.timingsPath, kTimingsKind) : nullptr;
    CliSink sink(procedure, indicator ? &*indicator : nullptr, signals);
    const korvan::RunSummary summary = korvan::RunCalculation(options.params, sink, outputs, forms);
    if (timings) timings->Append(TimingsText(summary));
    outputs.CommitAll();
    // The outputs are in place: the run has succeeded, whatever follows.
    status = 0;
    try {
      for (const std::string& warning : summary.warnings) said += "korvan-cli: warning: " + warning + '\n';
      if (!options.quiet && !summary.decimalCommas.empty())
        said += "korvan-cli: note: " + summary.decimalCommas + '\n';
      if (!options.quiet) said += SummaryLine(options, summary) + '\n';
    } catch (const std::bad_alloc&) {
      said.clear();
    }
  } catch (const korvan::RunCancelled&) {
    said = signals.StoppedMessage(signals.received());
    status = 128 + signals.received();
  } catch (const KorvanError& error) {
    said = "korvan-cli: error: " + std::string(error.what()) + '\n';
  } catch (const std::bad_alloc&) {
    said = "korvan-cli: error: not enough memory for this run: the data or the model it gives are too large for "
           "this machine; no report was written\n";
  } catch (const std::exception& error) {
    said = "korvan-cli: error: " + std::string(error.what()) + "; no report was written\n";
  }
  signals.Ended();
  if (indicator) indicator->Erase();
  std::cerr << said;
  return status;
}

// What a run would read, on standard output; no report. With the data file
// alone, what the file holds: a sheet's columns, or a fixed-column file's
// first lines under a ruler.
int Preview(const CliOptions& options) {
  try {
    korvan::NullSink sink;
    std::cout << (options.ColumnsNamed() ? korvan::PreviewData(options.params, options.preview, sink)
                                         : korvan::PreviewFile(options.params, options.preview));
    return 0;
  } catch (const KorvanError& error) {
    std::cerr << "korvan-cli: error: " << error.what() << '\n';
  }
  return kExitFailed;
}

}  // namespace

int RunCli(int argc, char** argv, const korvan::StageForms& forms) {
  korvan::ReserveMainStack();
  const korvan::MemoryReserve reserve;
  std::ios::sync_with_stdio(false);
  CliOptions options;
  try {
    options = korvan::cli::ParseOptions(std::vector<std::string_view>(argv + 1, argv + argc));
    if (options.help) {
      std::cout << korvan::cli::HelpText();
      return 0;
    }
    if (options.version) {
      std::cout << "korvan-cli " << KORVAN_VERSION << '\n';
      return 0;
    }
    korvan::cli::CheckOptionsGiven(options);
  } catch (const UsageError& error) {
    std::cerr << "korvan-cli: " << error.message << "; see korvan-cli --help\n";
    return kExitUsage;
  } catch (const KorvanError& error) {
    std::cerr << "korvan-cli: error: " << error.what() << '\n';
    return kExitFailed;
  }
  if (options.preview > 0) return Preview(options);
  return Run(options, forms);
}
