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

#include "base/progress.h"
#include "base/tables.h"
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

std::vector<Trial> Trials() {
  std::vector<Trial> trials{{"worked example", test::WorkedExampleTrees({1.0f, -2.5f})}};
  std::mt19937 rng(2024);
  trials.push_back({"balanced", test::RandomTrial(rng, 3, true)});
  for (int i = 0; i < 60; ++i) trials.push_back({"unbalanced " + std::to_string(i), test::RandomTrial(rng, 3)});
  return trials;
}

// --- Reading and level coding.

// --- Set-up: fixed equations, absorption, inversion and traces.

// --- Traits and pairs.

const StepCase kSteps[] = {
    // Reading and level coding: rows here.

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
