#include <gtest/gtest.h>

#include <atomic>

#include "exact/exact_engine.h"
#include "support/trial_builder.h"

namespace korvan {
namespace {

ExactResults Exact(const RunData& run) {
  const std::atomic<bool> stop{false};
  return ComputeExact(run, stop);
}

// Every value of the worked example is a short binary fraction or the
// double nearest its quotient: the engine must give them exactly.
TEST(ComputeExact, WorkedExampleExactly) {
  const ExactResults e = Exact(test::BuildTrial(test::WorkedExampleTrees()));
  ASSERT_TRUE(e.available);
  EXPECT_EQ(e.trFF, 4);
  EXPECT_EQ(e.trFSF, 4);
  EXPECT_EQ(e.trSFSF, 6);
  EXPECT_EQ(e.kF, 4);
  EXPECT_EQ(e.kFSF, 2);
  EXPECT_EQ(e.kSF, 2);
  const ExactTrait& t = e.traits[1];
  EXPECT_EQ(t.rUR, 2530);
  EXPECT_EQ(t.rUF, 2421);
  EXPECT_EQ(t.rUCell, 2566);
  EXPECT_EQ(t.rUSF, 2565.5);
  EXPECT_EQ(t.rUSRF, 2570.5);
  EXPECT_EQ(t.rUSRCell, 2571);
  EXPECT_EQ(t.yy, 2580);
  EXPECT_EQ(t.ss, (std::array<double, 5>{144.5, 5, 40.5, 0.5, 9}));
  EXPECT_EQ(t.ms, (std::array<double, 5>{144.5, 2.5, 40.5, 0.5, 4.5}));
  EXPECT_EQ(t.vc, (std::array<double, 4>{0, 10, -2, 4.5}));
  EXPECT_EQ(t.se[1], std::sqrt(1640.5 / 24));
  EXPECT_EQ(t.se[2], std::sqrt(0.125 / 3 + 20.25 / 8));
  EXPECT_EQ(t.se[3], std::sqrt(10.125));
  EXPECT_EQ(t.h2, 10 / (40.5 / 4));
}

}  // namespace
}  // namespace korvan
