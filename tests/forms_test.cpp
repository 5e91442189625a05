// Every step that has a faster form, run in both of its forms on the same
// trials: the results must be the same bits. One table of steps, one list of
// trials; a step's row says how to run it in either form and which of its
// results to compare.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "anova/trait_reductions_straightforward.h"
#include "base/korvan_error.h"
#include "base/progress.h"
#include "base/tables.h"
#include "covariance/pair_reductions_straightforward.h"
#include "input/level_coding.h"
#include "input/level_coding_straightforward.h"
#include "input/reader.h"
#include "input/reader_straightforward.h"
#include "input/run_parameters.h"
#include "rundata/rundata.h"
#include "linalg/invert_matrix_straightforward.h"
#include "model/site_family_trace.h"
#include "model/site_family_trace_straightforward.h"
#include "model/absorb.h"
#include "model/absorb_straightforward.h"
#include "model/fixed_equations.h"
#include "model/fixed_equations_straightforward.h"
#include "model/model_setup.h"
#include "model/model_setup_straightforward.h"
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

// `copies` of the balanced random design, each with fresh values and
// families of its own: as many levels and records as needed, still linked.
std::vector<test::Tree> CopiedFamilies(std::mt19937& rng, int nTrait, int copies) {
  std::vector<test::Tree> trees;
  for (int copy = 0; copy < copies; ++copy)
    for (const test::Tree& t : test::RandomTrial(rng, nTrait, true))
      trees.push_back({t.site, t.block, t.family + 100.0f * static_cast<float>(copy), t.values});
  return trees;
}
// Set-up: trials with more than 128 fixed columns, 64 blocks and 8 families.
std::vector<test::Tree> LargeTrial(std::mt19937& rng, int variant);

// Many small blocks: 6 sites of 20 blocks, one tree a plot, 3 of each site's
// 10 families missing (family 1 never). The eliminations take several steps
// a pass and, on the blocks after the cells, pass over other sites' zeros.
std::vector<test::Tree> ManyBlocksTrial(std::mt19937& rng) {
  std::vector<std::vector<bool>> missing(7, std::vector<bool>(11, false));
  for (int s = 1; s <= 6; ++s)
    for (int dropped = 0; dropped < 3;) {
      const int f = std::uniform_int_distribution<int>(2, 10)(rng);
      if (!missing[s][f]) missing[s][f] = true, ++dropped;
    }
  std::uniform_int_distribution<int> value(-500, 500);
  std::vector<test::Tree> trees = test::Layout(6, 20, 10, [&](int s, int, int f) { return missing[s][f] ? 0 : 1; });
  for (test::Tree& t : trees) t.values = {static_cast<float>(value(rng)) / 100, static_cast<float>(value(rng)) / 10};
  return trees;
}

std::vector<Trial> Trials() {
  std::vector<Trial> trials{{"worked example", test::WorkedExampleTrees({1.0f, -2.5f})}};
  std::mt19937 rng(2024);
  trials.push_back({"balanced", test::RandomTrial(rng, 3, true)});
  for (int i = 0; i < 60; ++i) trials.push_back({"unbalanced " + std::to_string(i), test::RandomTrial(rng, 3)});
  trials.push_back({"unbalanced, 1 trait", test::RandomTrial(rng, 1)});
  trials.push_back({"unbalanced, 11 traits", test::RandomTrial(rng, 11)});
  // 40 traits of 72 families in 1,296 records: enough work for the second
  // thread of every step of the traits and pairs that has one.
  trials.push_back({"40 traits", CopiedFamilies(rng, 40, 12)});
  for (int i = 0; i < 2; ++i) trials.push_back({"large " + std::to_string(i), LargeTrial(rng, i)});
  trials.push_back({"many blocks", ManyBlocksTrial(rng)});
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
                      const std::function<void(RunParameters&)>& adjust = {}) {
  test::TempDir dir;
  test::WriteFile(dir / "trial.dat", file);
  RunParameters params;
  params.dataPath = dir / "trial.dat", params.reportPath = dir / "trial.out";
  params.nSite = params.nBlock = params.nFamily = 100, params.nRecord = 1e6, params.ageSel = 10;
  params.nTrait = 2.0 * static_cast<double>(trial.trees.front().values.size());
  params.colSite = 1, params.wSite = 6, params.colBlock = 7, params.wBlock = 4, params.colFamily = 11;
  params.wFamily = 6, params.colAge = 19, params.wAge = 4, params.colTrait = 23, params.wTrait = 10;
  if (adjust) adjust(params);
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

// What a read leaves, as bits: levels, names, records, tallies.
void AddRead(Bits& bits, const RunData& run) {
  bits.Add(run.otherAges);
  auto addCodes = [&bits](const std::vector<LevelCode>& codes) {
    for (const LevelCode& code : codes)
      AddWhole(bits, std::hash<std::string>{}(code.text + '\n' + code.key + '\n' + code.written), code.name);
  };
  addCodes(run.siteCode);
  addCodes(run.familyCode);
  for (int i = 1; i <= run.nSite; ++i) addCodes(run.blockCode[i]);
  for (int r = 1; r <= run.nRecord; ++r) {
    AddWhole(bits, run.recordColumn(r, 1), run.recordColumn(r, 2), run.recordColumn(r, 3));
    for (int t = 1; t <= run.nTrait; ++t) bits.Add(run.traitValue.AsWritten(r, t));
  }
  AddWhole(bits, run.nRecord, run.linesRead, run.commentLines, run.codeWarning.count, run.codeWarning.firstLine,
           run.traitWarning.count, run.traitWarning.firstLine);
  const MissingTally& missing = run.missingValues;
  AddWhole(bits, missing.trees, missing.firstLine, missing.dropped, run.decimalCommas.count,
           run.decimalCommas.firstLine, std::hash<std::string>{}(run.decimalCommaText));
  for (const TraitTally& trait : missing.byTrait)
    AddWhole(bits, trait.missing.count, trait.missing.firstLine, trait.unreadable.count, trait.unreadable.firstLine,
             std::hash<std::string>{}(trait.unreadableText));
  for (const std::uint8_t held : run.fieldHeldNumber) AddWhole(bits, held);
}

// 12000 records of four traits or more: the product converts the trait
// fields in batches, the one full batch on two threads.
Bits ReadRecordsRun(const Trial& trial, Form form) {
  const int records = 12000, n = static_cast<int>(trial.trees.size());
  ListingSink sink, failed;
  RunData run, failing;
  ReadTrial(trial, TrialFile(trial, records), form, run, sink);
  AddRead(sink.bits, run);
  // A trait field that cannot be stored, wherever the batches stand. Only
  // the message counts: the product lists no record of a batch that failed.
  sink.WriteLine(ReadTrial(trial, TrialFile(trial, records, 1 + n * 7919 % records), form, failing, failed));
  return sink.bits;
}

// The trial as a sheet saved by a spreadsheet, in 12000 records: the
// delimiter, the decimal mark and what becomes of missing values change
// from trial to trial. Block codes are names, and now and then a family
// name is quoted around the delimiter, a doubled quote or a line end; trait
// fields are now and then missing (NA, blank, empty) or beyond single
// precision. The traits are named in the reverse order of their columns.
Bits ReadDelimitedRun(const Trial& trial, Form form) {
  const int records = 12000, n = static_cast<int>(trial.trees.size());
  const char delimiter = ",;\t"[n % 3];
  // Semicolon sheets write decimal commas; now and then they are read with
  // points, which leaves their trait fields no numbers.
  const bool writesCommas = delimiter == ';';
  const DecimalMark mark = writesCommas && n % 2 == 0 ? DecimalMark::kPoint : DecimalMark::kAsTheSheet;
  const MissingMode mode = static_cast<MissingMode>(n / 3 % 3);
  const std::size_t nTrait = trial.trees.front().values.size();
  std::string file = "site" + std::string(1, delimiter) + "block" + delimiter + "family" + delimiter + "age";
  for (std::size_t t = 0; t < nTrait; ++t) file += delimiter + std::string("t") + std::to_string(t + 1);
  file += "\n";
  char text[32];
  for (int r = 0; r < records; ++r) {
    const test::Tree& tree = trial.trees[static_cast<std::size_t>(r) % trial.trees.size()];
    if (r % 29 == 3) file += r % 2 ? ":a comment\n" : "\n";
    std::snprintf(text, sizeof text, "%g", static_cast<double>(tree.site));
    file += (r % 7 == 1 ? "\"" + std::string(text) + "\"" : std::string(text)) + delimiter + "B" +
            std::to_string(static_cast<int>(tree.block)) + delimiter;
    std::snprintf(text, sizeof text, "%g", static_cast<double>(tree.family));
    const std::string family = text;
    const int shape = r > n ? r % 11 : 0;
    file += shape == 1 ? "\"" + family + delimiter + "x\"" : shape == 2 ? "\"" + family + "\"\"q\"" :
            shape == 3 ? "\"" + family + "\nline\"" : shape == 4 ? family + "a" : family;
    file += delimiter + std::string("10");
    for (std::size_t t = 0; t < nTrait; ++t) {
      std::snprintf(text, sizeof text, "%.2f", static_cast<double>(tree.values[t]));
      std::string value = text;
      if (writesCommas) std::replace(value.begin(), value.end(), '.', ',');
      static const char* const kMissing[] = {"NA", "  ", ""};
      if (r > 1000 && r % 13 == 0 && t == static_cast<std::size_t>(r / 13) % nTrait) value = kMissing[r % 3];
      if (r + 1 == 1 + n * 7919 % records && t == 0 && mode == MissingMode::kZero) value = "4.1e38";
      file += delimiter + value;
    }
    file += r % 2 ? "\r\n" : "\n";
  }
  ListingSink sink;
  RunData run;
  std::vector<std::string> traitColumns;
  for (std::size_t t = nTrait; t >= 1; --t) traitColumns.push_back("t" + std::to_string(t));
  const std::string failure = ReadTrial(trial, file, form, run, sink, [&](RunParameters& p) {
    p.delimited = true, p.siteColumn = "site", p.blockColumn = "2", p.familyColumn = "family", p.ageColumn = "age";
    p.traitColumns = traitColumns, p.nTrait = 0, p.decimalMark = mark, p.missing = mode;
  });
  // After a failure only the message counts, as above.
  if (!failure.empty()) sink.bits = {};
  else AddRead(sink.bits, run);
  sink.WriteLine(failure);
  return sink.bits;
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

// Large enough for every step of the set-up to share its work among threads,
// and past the first band of 128 columns of the inverse: 10 sites of 13
// blocks and 40 families; or 3 sites of 30, 45 and 60 blocks, sparsely
// planted. Family 1 stands in every block, which links them all.
std::vector<test::Tree> LargeTrial(std::mt19937& rng, int variant) {
  const std::vector<int> blocks = variant == 0 ? std::vector<int>(10, 13) : std::vector<int>{30, 45, 60};
  std::bernoulli_distribution planted(0.8), present(variant == 0 ? 0.6 : 0.35);
  std::uniform_int_distribution<int> trees(1, 2), value(-300, 300);
  std::vector<test::Tree> out;
  for (std::size_t s = 1; s <= blocks.size(); ++s) {
    std::vector<bool> here{true, true};
    while (here.size() <= (variant == 0 ? 40u : 25u)) here.push_back(planted(rng));
    for (int b = 1; b <= blocks[s - 1]; ++b)
      for (std::size_t f = 1; f < here.size(); ++f)
        for (int n = here[f] && (f == 1 || present(rng)) ? trees(rng) : 0; n > 0; --n)
          out.push_back({10.0f * static_cast<float>(s), static_cast<float>(b), 100.0f + static_cast<float>(f),
                         {static_cast<float>(value(rng)) / 100, static_cast<float>(value(rng)) / 100}});
  }
  std::shuffle(out.begin(), out.end(), rng);
  return out;
}

namespace setup {

// Keeps the window's lines and the progress steps.
struct Window : ProgressSink {
  std::vector<std::string> lines;
  void WriteLine(std::string_view line) override { lines.emplace_back(line); }
  void Clear() override { lines.emplace_back("<clear>"); }
  void Advance(std::int64_t done) override { lines.push_back("<advance " + std::to_string(done) + ">"); }
};

Bits& AddLines(Bits& bits, const Window& window) {
  for (const std::string& line : window.lines) bits.Add(static_cast<std::int64_t>(std::hash<std::string>{}(line)));
  return bits;
}

bool Fast(Form form) { return form == Form::kProduct; }

// X'X with its window lines, its inverse, and X'Z_b Z_b'X for f and sf.
Bits FixedEquationsRow(const Trial& trial, Form form) {
  const RunData run = test::BuildTrial(trial.trees);
  Window window;
  ProgressLog log(window);
  const Table2<float> coef = (Fast(form) ? BuildFixedEquations : BuildFixedEquationsStraightforward)(run, 3, log);
  Bits bits;
  const auto invert = Fast(form) ? InvertByColumns : InvertByColumnsStraightforward;
  const auto crossProducts = Fast(form) ? FixedCrossProducts : FixedCrossProductsStraightforward;
  bits.Add(coef, run.p, run.p).Add(invert(coef, run.p), run.p, run.p);
  for (int b : {4, 5}) bits.Add(crossProducts(run, 3, b), run.p, run.p);
  return AddLines(bits, window);
}

Bits AbsorbRow(const Trial& trial, Form form) {
  const RunData run = test::BuildTrial(trial.trees);
  Bits bits;
  // The systems of the set-up and of the reductions.
  const struct { int a, b; bool perSite; } systems[] = {{3, 4, false}, {2, 4, false}, {3, 5, true}};
  for (const auto& [a, b, perSite] : systems) {
    const Table2<float> s =
        Fast(form) ? Absorb(run, CountBlock(run, a, b), perSite) : AbsorbStraightforward(run, a, b, perSite);
    bits.Add(s, s.LastRow(), s.LastCol());
  }
  return bits;
}

// C where the fast form forms it: the blocks' part, each family's diagonal,
// and its elements for the blocks where the family stands; then the trace.
Bits SiteFamilyTraceRow(const Trial& trial, Form form) {
  const RunData run = test::BuildTrial(trial.trees);
  const Table2<float> n = CountBlockStraightforward(run, 3, 4), absorbed = AbsorbStraightforward(run, 3, 4, false);
  const int nRep = run.nRep;
  Window window;
  ProgressLog log(window);
  Bits bits;
  auto addFamilyRows = [&](auto element) {  // element(f, 0): the diagonal
    for (int f = 1; f <= run.nFamily; ++f)
      for (int j = 0; j <= nRep; ++j)
        if (j == 0 || n(j, f) != 0.0f) bits.Add(element(f, j));
  };
  if (Fast(form)) {
    const BlockFamilyInverse c = RepFamilyInverse(absorbed, CountBlock(run, 4, 3), log);
    bits.Add(c.repBlock, nRep, nRep);
    addFamilyRows([&](int f, int j) { return j == 0 ? c.familyDiagonal[f] : c.crossBlock(f, j); });
    bits.Add(CellTrace(c, CellIncidence(run, CountBlock(run, 5, 3), log), log));
  } else {
    const Table2<float> c = RepFamilyInverseStraightforward(absorbed, n, CountLevelsStraightforward(run, 4), log);
    bits.Add(c, nRep, nRep);
    addFamilyRows([&](int f, int j) { return c(nRep + f, j == 0 ? nRep + f : j); });
    bits.Add(CellTraceStraightforward(c, CellIncidenceStraightforward(run, log), log));
  }
  return AddLines(bits, window);
}

// The whole set-up: every trace, degree of freedom and coefficient, the
// window's lines and progress steps, or the refusal.
Bits SetUpModelRow(const Trial& trial, Form form) {
  RunData run = test::BuildTrial(trial.trees);
  Window window;
  ProgressLog log(window);
  try {
    (Fast(form) ? SetUpModel : SetUpModelStraightforward)(run, log);
  } catch (const KorvanError& error) {
    window.lines.emplace_back(error.what());
  }
  Bits bits;
  bits.Add(run.trFF).Add(run.trFSF).Add(run.trSFSF).Add(run.kF).Add(run.kFSF).Add(run.kSF);
  bits.Add(std::int64_t{run.dfSite}).Add(run.dfRep).Add(std::int64_t{run.dfFamily}).Add(run.dfSiteFam).Add(run.dfError);
  for (const auto& line : run.emsCoef) bits.Add(std::vector<double>(line.begin(), line.end()));
  return AddLines(bits, window);
}

}  // namespace setup

// --- Traits and pairs.

// The reductions of every trait, and every store they leave for the pairs.
Bits ReduceAllTraitsRow(const Trial& trial, Form form) {
  RunData run = test::BuildTrial(trial.trees);
  Bits bits;
  for (const Reductions& r : (form == Form::kProduct ? ReduceAllTraits : ReduceAllTraitsStraightforward)(run)) {
    bits.Add(r.rUR).Add(r.rUF).Add(r.rUCell).Add(r.rSiteF).Add(r.rUSF).Add(r.rRepF).Add(r.rUSRF).Add(r.rRepCell);
    bits.Add(r.rUSRCell).Add(r.yy).Add(r.famConst);
  }
  for (const Table2<float>* store : {&run.repTot, &run.famTot, &run.sfTot, &run.rhsSF, &run.solSF, &run.rhsRF,
                                     &run.solRF, &run.rhsRSF, &run.solRSF})
    bits.Add(*store, store->LastRow(), store->LastCol());
  return bits.Add(run.repCnt).Add(run.famCnt).Add(run.sfCnt);
}

// Every pair's lines and components, both forms from the same trait stores.
Bits ReduceAllPairsRow(const Trial& trial, Form form) {
  RunData run = test::BuildTrial(trial.trees);
  test::SetCoefficients(run, 5.5f, 2.25f, 2.75);
  ReduceAllTraits(run);
  Bits bits;
  bits.Add(std::int64_t{run.nTrait});
  for (const auto& row : (form == Form::kProduct ? ReduceAllPairs : ReduceAllPairsStraightforward)(run)) {
    for (const PairAnova& p : row) {
      bits.Add(p.scpSite).Add(p.scpRep).Add(p.scpFamily).Add(p.scpSiteFam).Add(p.scpError).Add(p.mcpSite);
      bits.Add(p.mcpRep).Add(p.mcpFamily).Add(p.mcpSiteFam).Add(p.mcpError).Add(p.vcEst[1]).Add(p.vcEst[2]);
      bits.Add(p.vcEst[3]);
    }
  }
  return bits;
}

const StepCase kSteps[] = {
    // Reading and level coding: rows here.
    {"ReadRecords", ReadRecordsRun},
    {"ReadDelimited", ReadDelimitedRun},
    {"CodeLevels", CodeLevelsRun},

    // Set-up: rows here.
    {"FixedEquations", setup::FixedEquationsRow},
    {"Absorb", setup::AbsorbRow},
    {"SiteFamilyTrace", setup::SiteFamilyTraceRow},
    {"SetUpModel", setup::SetUpModelRow},

    // Traits and pairs: rows here.
    {"ReduceAllTraits", ReduceAllTraitsRow},
    {"ReduceAllPairs", ReduceAllPairsRow},
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
