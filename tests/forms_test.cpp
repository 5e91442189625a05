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

void AddWhole(Bits& bits, auto... n) { (bits.Add(static_cast<std::int64_t>(n)), ...); }

// The lines a stage writes, each as its length and its characters.
struct ListingSink : ProgressSink {
  void WriteLine(std::string_view line) override {
    AddWhole(bits, line.size());
    for (const char c : line) AddWhole(bits, c);
  }
  void Clear() override {}
  Bits bits;
};

// The trial as a data file, its trees again and again up to `records`
// records. Each code is written in one of several ways that read as the same
// number, and after the first round every fifth code is one no tree has
// (codes equal only in single precision, -0, text). Comment lines, lines of
// another age, CR LF ends on odd lines and none on the last; the 1001st
// record with a character that is not ASCII before its age. Each value in
// two trait fields, as measured and in exponent form; after that record now
// and then one blank or cut off by the end of the line: empty fields are
// first met in a batch split between threads, the first of them in the last
// trait, after which a pass trait by trait meets later lines first. Site 1-6, block 7-10,
// family 11-16, age 19-22, traits of 10 from 23; the first trait of record
// `tooLarge` and the last of the third record after it are beyond single
// precision.
std::string TrialFile(const Trial& trial, int records, int tooLarge = 0) {
  static const char* const kOdd[] = {"-0", "0", "1.1", "0.3", "16777217", "16777216", "1e1", "x", ""};
  static const char* const kForms[] = {"%g", "0%g", "%.1f", "%+g"};
  std::string file = ":site block family age traits\n";
  auto add = [&file](const std::string& text, std::size_t width) {
    file += std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
  };
  for (int r = 0; r < records; ++r) {
    const test::Tree& tree = trial.trees[static_cast<std::size_t>(r) % trial.trees.size()];
    const std::size_t last = tree.values.size() - 1;
    if (r % 23 == 5) file.append(":").append(std::to_string(r)).append("\n");
    if (r % 31 == 7) file += "    10" "   1" "   101" "  " "   5" "      1.00\n";
    char text[32];
    const float codes[] = {tree.site, tree.block, tree.family};
    for (int n = 0; n < 3; ++n) {
      std::snprintf(text, sizeof text, kForms[(r + n) % 4], static_cast<double>(codes[n]));
      const bool odd = r >= static_cast<int>(trial.trees.size()) && (r + n) % 5 == 0;
      add(odd ? kOdd[(r / 5 + n) % 9] : text, n == 1 ? 4 : 6);
    }
    file += r == 1000 ? "\xC3\xA9 " : "  ";
    add(r % 7 == 3 ? "10.0" : "10", 4);
    for (std::size_t t = 0; t <= last && !(t == last && r > 1000 && r % 17 == 9); ++t) {
      std::snprintf(text, sizeof text, "%10.2f", static_cast<double>(tree.values[t]));
      file += r + 1 == tooLarge && t == 0 ? "   4.1e+38" : text;
      const bool alsoTooLarge = tooLarge > 0 && r == tooLarge + 2 && t == last;
      std::snprintf(text, sizeof text, "%10.3E", alsoTooLarge ? 4.1e38 : static_cast<double>(tree.values[t]));
      file += r > 1000 && r % 13 == 0 && t == (r / 13) % (last + 1) ? std::string(10, ' ') : text;
    }
    if (r + 1 < records) file += r % 2 ? "\r\n" : "\n";
  }
  return file;
}

// The file read into `run` in the given form, with room for `capRecord`
// records, listed into `sink`. The message of a failure, without the
// temporary folder, which differs from read to read.
std::string ReadTrial(const Trial& trial, const std::string& file, Form form, RunData& run, ListingSink& sink,
                      double capRecord = 1e6) {
  test::TempDir dir;
  test::WriteFile(dir / "trial.dat", file);
  RunParameters params;
  params.dataPath = dir / "trial.dat", params.reportPath = dir / "trial.out";
  params.nSite = params.nBlock = params.nFamily = 100, params.nRecord = capRecord, params.ageSel = 10;
  params.nTrait = 2.0 * static_cast<double>(trial.trees.front().values.size());
  params.colSite = 1, params.wSite = 6, params.colBlock = 7, params.wBlock = 4, params.colFamily = 11;
  params.wFamily = 6, params.colAge = 19, params.wAge = 4, params.colTrait = 23, params.wTrait = 10;
  run = PrepareRun(params);
  ProgressLog log(sink);
  try {
    (form == Form::kProduct ? ReadRecords : ReadRecordsStraightforward)(run, log);
  } catch (const KorvanError& error) {
    const std::string message = error.what(), folder = dir.path().string() + "/";
    return message.substr(0, message.find(folder)) + message.substr(message.find(folder) + folder.size());
  }
  return "";
}

// 12000 records of four traits or more: the product converts the trait
// fields in batches, the one full batch on two threads.
Bits ReadRecordsRun(const Trial& trial, Form form) {
  const int records = 12000, n = static_cast<int>(trial.trees.size());
  ListingSink sink, failed;
  RunData run, failing;
  ReadTrial(trial, TrialFile(trial, records), form, run, sink);
  Bits& bits = sink.bits;
  bits.Add(run.siteCode).Add(run.familyCode).Add(run.otherAges);
  for (int i = 1; i <= run.nSite; ++i) bits.Add(run.blockCode[i]);
  for (int r = 1; r <= run.nRecord; ++r) {
    AddWhole(bits, run.recordColumn(r, 1), run.recordColumn(r, 2), run.recordColumn(r, 3));
    for (int t = 1; t <= run.nTrait; ++t) bits.Add(run.traitValue(r, t));
  }
  AddWhole(bits, run.nRecord, run.linesRead, run.commentLines, run.codeWarning.count, run.codeWarning.firstLine,
           run.traitWarning.count, run.traitWarning.firstLine);
  for (const std::uint8_t held : run.fieldHeldNumber) AddWhole(bits, held);
  // A trait field that cannot be stored and a record beyond the declared
  // count, either one first, wherever the batches stand. Only the message
  // counts: the product lists no record of a batch that failed.
  sink.WriteLine(ReadTrial(trial, TrialFile(trial, records, 1 + n * 7919 % records), form, failing, failed,
                           n * 104729 % records));
  return bits;
}

// Room for blocks that no site has leaves empty columns on odd tree counts.
Bits CodeLevelsRun(const Trial& trial, Form form) {
  const int n = static_cast<int>(trial.trees.size());
  ListingSink read, sink;
  RunData run;
  ReadTrial(trial, TrialFile(trial, 3 * n), Form::kProduct, run, read);
  run.nBlock = *std::max_element(run.blockCount.begin(), run.blockCount.end()) + n % 2 * 2;
  ProgressLog log(sink);
  (form == Form::kProduct ? CodeLevels : CodeLevelsStraightforward)(run, log);
  for (int r = 1; r <= run.nRecord; ++r)
    for (int factor = 1; factor <= 5; ++factor) AddWhole(sink.bits, run.recordColumn(r, factor));
  for (const int column : run.colOffset) AddWhole(sink.bits, column);
  for (const int site : run.repSite) AddWhole(sink.bits, site);
  AddWhole(sink.bits, run.repOffset, run.p, run.famEnd, run.q, run.nRep, run.nSF);
  return sink.bits;
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
