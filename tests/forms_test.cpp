// Every step that has a faster form, run in both of its forms on the same
// trials: the results must be the same bits. One table of steps, one list of
// trials; a step's row says how to run it in either form and which of its
// results to compare.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "anova/trait_reductions_straightforward.h"
#include "base/progress.h"
#include "base/tables.h"
#include "covariance/pair_reductions_straightforward.h"
#include "input/rundata.h"
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
  return trials;
}

// --- Reading and level coding.

// --- Set-up: fixed equations, absorption, inversion and traces.

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
