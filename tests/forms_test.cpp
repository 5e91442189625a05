// Every step that has a faster form, run in both of its forms on the same
// trials: the results must be the same bits. One table of steps, one list of
// trials; a step's row says how to run it in either form and which of its
// results to compare.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
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
#include "input/rundata.h"
#include "linalg/invert_matrix_straightforward.h"
#include "linalg/site_family_trace.h"
#include "linalg/site_family_trace_straightforward.h"
#include "model/absorb.h"
#include "model/absorb_straightforward.h"
#include "model/fixed_equations.h"
#include "model/fixed_equations_straightforward.h"
#include "model/model_setup.h"
#include "model/model_setup_straightforward.h"
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
  return trials;
}

// --- Reading and level coding.

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
