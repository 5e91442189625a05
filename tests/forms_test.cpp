// Every step that has a faster form, run in both of its forms on the same
// trials: the results must be the same bits. One table of steps, one list of
// trials; a step's row says how to run it in either form and which of its
// results to compare.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "base/korvan_error.h"
#include "base/progress.h"
#include "base/tables.h"
#include "input/level_coding.h"
#include "input/level_coding_straightforward.h"
#include "input/reader.h"
#include "input/reader_straightforward.h"
#include "input/run_parameters.h"
#include "input/rundata.h"
#include "support/test_support.h"
#include "support/trial_builder.h"

namespace korvan {
namespace {

enum class Form { kProduct, kStraightforward };

struct Trial {
  std::string name;
  std::vector<test::Tree> trees;
};

// Every result of a step as bits, in a fixed order.
class Bits {
 public:
  Bits& Add(float x) { bits_.push_back(std::bit_cast<std::uint32_t>(x)); return *this; }
  Bits& Add(double x) { bits_.push_back(std::bit_cast<std::uint64_t>(x)); return *this; }
  Bits& Add(std::int64_t x) { bits_.push_back(static_cast<std::uint64_t>(x)); return *this; }
  Bits& Add(const std::vector<float>& v) { for (float x : v) Add(x); return *this; }
  Bits& Add(const std::vector<double>& v) { for (double x : v) Add(x); return *this; }
  // Rows and columns 1..last, as the stages use them.
  Bits& Add(const Table2<float>& t, int lastRow, int lastCol) {
    for (int r = 1; r <= lastRow; ++r)
      for (int c = 1; c <= lastCol; ++c) Add(t(r, c));
    return *this;
  }
  bool operator==(const Bits&) const = default;
  std::size_t size() const { return bits_.size(); }

 private:
  std::vector<std::uint64_t> bits_;
};

struct StepCase {
  const char* name;
  Bits (*run)(const Trial& trial, Form form);
};

std::vector<Trial> Trials() {
  std::vector<Trial> trials{{"worked example", test::WorkedExampleTrees({1.0f, -2.5f})}};
  std::mt19937 rng(2024);
  trials.push_back({"balanced", test::RandomTrial(rng, 3, true)});
  for (int i = 0; i < 60; ++i) trials.push_back({"unbalanced " + std::to_string(i), test::RandomTrial(rng, 3)});
  return trials;
}

// --- Reading and level coding.

// Every line of a listing, its length first.
void AddLines(Bits& bits, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    bits.Add(static_cast<std::int64_t>(line.size()));
    for (const char c : line) bits.Add(std::int64_t{c});
  }
}

class ListingSink : public ProgressSink {
 public:
  void WriteLine(std::string_view line) override { lines.emplace_back(line); }
  void Clear() override {}
  std::vector<std::string> lines;
};

// The trial as a data file, its trees again and again up to `records`
// records. Each code is written in one of several ways that read as the same
// number, and after the first round every fifth code is one no tree has
// (codes equal only in single precision, -0, text). Comment lines, lines of
// another age, CR LF ends on odd lines and none on the last; one line with a
// character that is not ASCII before its age. Each value in two trait fields,
// as measured and in exponent form, now and then blank or cut off by the end
// of the line. Site 1-6, block 7-10, family 11-16, age 19-22, traits of 10
// from 23; the first trait of record `tooLarge` and the last of the third
// record after it are beyond single precision.
std::string TrialFile(const Trial& trial, int records, int tooLarge = 0) {
  static const char* const kOdd[] = {"-0", "0", "1.1", "0.3", "16777217", "16777216", "1e1", "x", ""};
  static const char* const kForms[] = {"%g", "0%g", "%.1f", "%+g"};
  std::string file = ":site block family age traits\n";
  auto add = [&file](const std::string& text, std::size_t width) {
    file += std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
  };
  for (int r = 0; r < records; ++r) {
    const test::Tree& tree = trial.trees[static_cast<std::size_t>(r) % trial.trees.size()];
    if (r % 23 == 5) file += ":" + std::to_string(r) + "\n";
    if (r % 31 == 7) file += "    10" "   1" "   101" "  " "   5" "      1.00\n";
    char text[32];
    const float codes[] = {tree.site, tree.block, tree.family};
    for (int n = 0; n < 3; ++n) {
      std::snprintf(text, sizeof text, kForms[(r + n) % 4], static_cast<double>(codes[n]));
      const bool odd = r >= static_cast<int>(trial.trees.size()) && (r + n) % 5 == 0;
      add(odd ? kOdd[(r / 5 + n) % 9] : text, n == 1 ? 4 : 6);
    }
    file += r == records / 4 ? "\xC3\xA9 " : "  ";
    add(r % 7 == 3 ? "10.0" : "10", 4);
    for (std::size_t t = 0; t < tree.values.size(); ++t) {
      std::snprintf(text, sizeof text, "%10.2f", static_cast<double>(tree.values[t]));
      file += r + 1 == tooLarge && t == 0 ? "   4.1e+38" : text;
      if (t + 1 == tree.values.size() && r % 17 == 9) break;
      std::snprintf(text, sizeof text, "%10.3E", static_cast<double>(tree.values[t]));
      if (tooLarge > 0 && r == tooLarge + 2 && t + 1 == tree.values.size()) std::snprintf(text, sizeof text, "   4.1E+38");
      file += r % 13 == 0 && t == (r / 13 + 1) % tree.values.size() ? std::string(10, ' ') : text;
    }
    if (r + 1 < records) file += r % 2 ? "\r\n" : "\n";
  }
  return file;
}

struct ReadOutcome {
  RunData run;
  std::vector<std::string> lines;
  std::string error;
};

ReadOutcome ReadTrial(const Trial& trial, const std::string& file, Form form, double capRecord = 1e6) {
  test::TempDir dir;
  test::WriteFile(dir / "trial.dat", file);
  RunParameters params;
  params.dataPath = dir / "trial.dat";
  params.reportPath = dir / "trial.out";
  params.nSite = params.nBlock = params.nFamily = 100;
  params.nRecord = capRecord;
  params.nTrait = 2.0 * static_cast<double>(trial.trees.front().values.size());
  params.ageSel = 10;
  params.colSite = 1, params.wSite = 6, params.colBlock = 7, params.wBlock = 4, params.colFamily = 11;
  params.wFamily = 6, params.colAge = 19, params.wAge = 4, params.colTrait = 23, params.wTrait = 10;
  ReadOutcome outcome{PrepareRun(params), {}, {}};
  ListingSink sink;
  ProgressLog log(sink);
  try {
    (form == Form::kProduct ? ReadRecords : ReadRecordsStraightforward)(outcome.run, log);
  } catch (const KorvanError& error) {
    outcome.error = error.what();  // without the temporary folder, which differs from read to read
    outcome.error.replace(outcome.error.find(params.dataPath), params.dataPath.size(), "trial.dat");
  }
  outcome.lines = std::move(sink.lines);
  return outcome;
}

// Over 8192 records with four traits or more: the product converts the trait
// fields in batches, the largest on two threads.
Bits ReadRecordsRun(const Trial& trial, Form form) {
  const int records = 9000;
  const ReadOutcome read = ReadTrial(trial, TrialFile(trial, records), form);
  const RunData& run = read.run;
  Bits bits;
  bits.Add(run.siteCode).Add(run.familyCode).Add(run.otherAges);
  for (int i = 1; i <= run.nSite; ++i) bits.Add(run.blockCode[i]).Add(std::int64_t{run.blockCount[i]});
  for (int r = 1; r <= run.nRecord; ++r) {
    for (int factor = 1; factor <= 3; ++factor) bits.Add(std::int64_t{run.recordColumn(r, factor)});
    for (int t = 1; t <= run.nTrait; ++t) bits.Add(run.traitValue(r, t));
  }
  for (const std::int64_t n : {std::int64_t{run.nRecord}, run.linesRead, run.commentLines, run.codeWarning.count,
                               run.codeWarning.firstLine, run.traitWarning.count, run.traitWarning.firstLine})
    bits.Add(n);
  for (const std::uint8_t held : run.fieldHeldNumber) bits.Add(std::int64_t{held});
  AddLines(bits, read.lines);
  // A trait field that cannot be stored and a record beyond the declared
  // count, either one first, wherever the batches stand.
  const int n = static_cast<int>(trial.trees.size());
  const ReadOutcome failed = ReadTrial(trial, TrialFile(trial, records, 1 + n * 7919 % records), form, n * 104729 % records);
  AddLines(bits, {failed.error});
  return bits;
}

// Blocks beyond those found leave empty columns for the odd tree counts.
Bits CodeLevelsRun(const Trial& trial, Form form) {
  RunData run = ReadTrial(trial, TrialFile(trial, 3 * static_cast<int>(trial.trees.size())), Form::kProduct).run;
  run.nBlock = *std::max_element(run.blockCount.begin(), run.blockCount.end()) + static_cast<int>(trial.trees.size() % 2) * 2;
  ListingSink sink;
  ProgressLog log(sink);
  (form == Form::kProduct ? CodeLevels : CodeLevelsStraightforward)(run, log);
  Bits bits;
  for (int r = 1; r <= run.nRecord; ++r)
    for (int factor = 1; factor <= 5; ++factor) bits.Add(std::int64_t{run.recordColumn(r, factor)});
  for (const int n : run.colOffset) bits.Add(std::int64_t{n});
  for (const int n : {run.repOffset, run.p, run.famEnd, run.q, run.nRep, run.nSF}) bits.Add(std::int64_t{n});
  for (const int site : run.repSite) bits.Add(std::int64_t{site});
  AddLines(bits, sink.lines);
  return bits;
}

// --- Set-up: fixed equations, absorption, inversion and traces.

// --- Traits and pairs.

const StepCase kSteps[] = {
    // Reading and level coding: rows here.
    {"ReadRecords", ReadRecordsRun},
    {"CodeLevels", CodeLevelsRun},

    // Set-up: rows here.

    // Traits and pairs: rows here.
};

class FastForm : public ::testing::TestWithParam<StepCase> {};

TEST_P(FastForm, GivesTheStraightforwardBitsOnEveryTrial) {
  const StepCase& step = GetParam();
  for (const Trial& trial : Trials()) {
    const Bits product = step.run(trial, Form::kProduct);
    const Bits straightforward = step.run(trial, Form::kStraightforward);
    ASSERT_GT(straightforward.size(), 0u) << step.name << ", " << trial.name;
    EXPECT_TRUE(product == straightforward) << step.name << ": the forms differ on the " << trial.name << " trial";
  }
}

INSTANTIATE_TEST_SUITE_P(EveryStep, FastForm, ::testing::ValuesIn(kSteps),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvan
