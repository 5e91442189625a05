#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "base/korvan_error.h"
#include "base/progress.h"
#include "model/site_family_trace.h"
#include "model/site_family_trace_straightforward.h"
#include "model/absorb.h"
#include "model/fixed_equations.h"
#include "model/model_setup.h"
#include "support/trial_builder.h"

namespace korvan {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using test::Layout;
using test::BuildTrial;
using test::Tree;

std::uint32_t Bits(float x) { return std::bit_cast<std::uint32_t>(x); }
int One(int, int, int) { return 1; }

// Rows and columns 1..last, row by row.
std::vector<float> Elements(const Table2<float>& t) {
  std::vector<float> out;
  for (int i = 1; i <= t.LastRow(); ++i) out.insert(out.end(), t.Row(i) + 1, t.Row(i) + t.LastCol() + 1);
  return out;
}

// Keeps what the stages write to the progress window; "<clear>" marks the
// window being cleared.
struct RecordingSink : ProgressSink {
  std::vector<std::string> lines;
  void WriteLine(std::string_view line) override { lines.emplace_back(line); }
  void Clear() override { lines.emplace_back("<clear>"); }
};

// SetUpModel's message when it refuses the design, or "".
std::string Refusal(RunData& run) {
  NullSink quiet;
  ProgressLog log(quiet);
  try {
    SetUpModel(run, log);
  } catch (const KorvanError& error) {
    return error.what();
  }
  return "";
}

TEST(SetUpModel, TracesOfRandomDesignsAreTheSumsOverBlocks) {
  // Blocks and cells are both nested in sites, so Tr(f:sf) = Tr(f:f) = the
  // sum of n_rf^2 / n_r, exactly; in single precision up to the rounding of
  // an inverse of order p (p pivots, count matrices of modest condition):
  // 50 p FLT_EPSILON relative.
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> size(1, 4), trees(1, 3);
  std::bernoulli_distribution present(0.7);
  int accepted = 0;
  for (int trial = 0; trial < 60; ++trial) {
    const int sites = size(rng), blocks = size(rng), families = 1 + 2 * size(rng);
    RunData run = BuildTrial(Layout(sites, blocks, families, [&](int, int, int f) {
      return f == 1 || present(rng) ? trees(rng) : 0;
    }));
    if (!Refusal(run).empty()) continue;  // refused designs have their own test
    ++accepted;
    double exact = 0;
    const Incidence n = CountBlock(run, 3, 4);
    for (int r = 1; r <= n.nA; ++r)
      for (int e = n.rowStart[r]; e < n.rowStart[r + 1]; ++e)
        exact += std::pow(static_cast<double>(n.count[e]), 2) / static_cast<double>(n.levelCountA[r]);
    const double tolerance = 50.0 * run.p * static_cast<double>(FLT_EPSILON) * exact;
    EXPECT_NEAR(static_cast<double>(run.trFF), exact, tolerance) << "trial " << trial;
    EXPECT_NEAR(static_cast<double>(run.trFSF), exact, tolerance) << "trial " << trial;
  }
  EXPECT_GT(accepted, 20);
}

TEST(SetUpModel, OneSiteStepsAndTheirWindowLines) {
  // One site, two blocks, two families, one tree in every plot: D_r = diag(2, 2),
  // N = all ones, D_f = diag(2, 2), so the reduced block equations are
  // (1 -1; -1 1), and the constraint ones make them (2 0; 0 2), with either
  // kind of constraint.
  const RunData run = BuildTrial(Layout(1, 2, 2, One));
  for (bool perSite : {false, true})
    EXPECT_THAT(Elements(Absorb(run, CountBlock(run, 3, 4), perSite)), ElementsAre(2, 0, 0, 2));
  // Two sites of one block each: per site, only the diagonal gets its one.
  const RunData twoSites = BuildTrial(Layout(2, 1, 2, One));
  EXPECT_THAT(Elements(Absorb(twoSites, CountBlock(twoSites, 3, 4), true)), ElementsAre(2, -1, -1, 2));
  EXPECT_THAT(Elements(Absorb(twoSites, CountBlock(twoSites, 3, 4), false)), ElementsAre(2, 0, 0, 2));
  RecordingSink sink;
  ProgressLog log(sink);
  const Table2<float> coef = BuildFixedEquations(run, 3, log);
  // Each block holds each family once: Tr(f:f) = sum of n_rf^2 / n_r = 4 x 1/2.
  EXPECT_EQ(TraceOfProduct(InvertByColumns(coef, run.p), FixedCrossProducts(run, 3, 4), run.p), 2.0f);
  // The cells are the families, so Tr(sf:sf) = nRecord.
  const BlockFamilyInverse c = RepFamilyInverse(Absorb(run, CountBlock(run, 3, 4), false), CountBlock(run, 4, 3), log);
  EXPECT_EQ(CellTrace(c, CellIncidence(run, CountBlock(run, 5, 3), log), log), 4.0f);
  // K = 10 elements a row: 100 elements in 11 records of ten.
  WriteInverseSizeLine(10, log);
  WriteCellSizeLine(10, 8, log);
  // Mean row 4 4 2 2; the site column gets 4 + 1; each block 2 records plus
  // a one everywhere in the 2 x 2 block of the site's blocks. No line counts.
  EXPECT_THAT(sink.lines, ElementsAre(" 4 4 2 2", " 4 5 2 2", " 2 2 3 1", " 2 2 1 3", "Total Rec. No.= 2 ( 16 )",
                                      " Record No.= 1 ", " Trace =  4 ", "Total Rec. No.= 11 ( 100 )",
                                      " Record No.= 9 "));
  EXPECT_EQ(log.form2Lines(), 0);
}

TEST(SetUpModel, BalancedTwoSiteDesignGivesTheClassicalCoefficients) {
  // 2 sites x 2 blocks x 2 families, one tree per plot: sites x blocks x
  // trees per plot = 4 for Vf, blocks x trees per plot = 2 for Vsf.
  RunData run = BuildTrial(Layout(2, 2, 2, One));
  RecordingSink sink;
  ProgressLog log(sink);
  for (int i = 0; i < 20; ++i) log.CountedLine("listing");
  SetUpModel(run, log);
  // Traces of small whole-number designs come out exactly in single precision here.
  EXPECT_THAT((std::vector<float>{run.trFF, run.trFSF, run.trSFSF, run.kF, run.kFSF}), ElementsAre(4, 4, 6, 4, 2));
  EXPECT_THAT((std::vector<double>{static_cast<double>(run.dfSite), run.dfRep, static_cast<double>(run.dfFamily),
                                   run.dfSiteFam, run.dfError, run.kSF}),
              ElementsAre(1, 2, 1, 1, 2, 2));
  const std::array<std::array<double, 4>, 4> ems = {{{0, 0, 0, 0}, {0, 4, 2, 1}, {0, 0, 2, 1}, {0, 0, 0, 1}}};
  EXPECT_EQ(run.emsCoef, ems);
  // The window had 20 counted lines: the Tr(f:f) line clears it and stands
  // first; the matrix lines and the three trace-routine lines are not counted.
  const std::vector<std::string> tail(sink.lines.end() - 14, sink.lines.end());
  EXPECT_THAT(tail, ElementsAre(" 8 4 4 2 2 2 2", " 4 5 1 2 2  ", " 4 1 5   2 2", " 2 2  3 1  ", " 2 2  1 3  ",
                                " 2  2   3 1", " 2  2   1 3", "<clear>", " Tr(f:f) =  4 ", " Tr(f:sf) =  4 ",
                                "Total Rec. No.= 4 ( 36 )", " Record No.= 3 ", " Trace =  6 ", " Tr(sf:sf)=  6 "));
  EXPECT_EQ(log.form2Lines(), 2);
}

TEST(SiteFamilyTrace, AnUnderflowToMinusZeroIsSummedOverAllBlocks) {
  // Skipping the blocks without the family is exact except where an
  // accumulator holds -0: there the skipped term 0 x (negative) / size = -0
  // would have turned it into +0. With S^-1 column 2 = (d, -1, +0), d the
  // smallest float, and the family in blocks 1 and 3 (1 and 2 trees):
  // 0 - 1 x d / 3 rounds to -0, block 2 turns it into +0, block 3 keeps it.
  const float d = std::numeric_limits<float>::denorm_min();
  Table2<float> s(3, 3);
  s(1, 1) = 1.0f, s(1, 2) = d, s(2, 2) = -1.0f, s(3, 3) = 1.0f;  // its own inverse
  const Incidence family{1, 3, {0, 0, 2}, {1, 3}, {1.0f, 2.0f}, {0.0f, 3.0f}, {0.0f, 1.0f, 0.0f, 2.0f}};
  NullSink quiet;
  ProgressLog log(quiet);
  const BlockFamilyInverse c = RepFamilyInverse(s, family, log);
  ASSERT_EQ(Bits(c.repBlock(1, 2)), Bits(d));
  ASSERT_EQ(Bits(c.repBlock(3, 2)), Bits(0.0f));
  // The counts come from a table rather than constants: with a constant 0
  // the compiler's vectorizer folds 0 x (-1) to +0.
  Table2<float> count(3, 1);
  count(1, 1) = 1.0f, count(3, 1) = 2.0f;
  const Table2<float> expected = RepFamilyInverseStraightforward(s, count, family.levelCountA, log);
  EXPECT_EQ(Bits(expected(4, 2)), Bits(0.0f));
  for (int j = 1; j <= 3; ++j) EXPECT_EQ(Bits(c.crossBlock(1, j)), Bits(expected(4, j))) << "block " << j;
  EXPECT_EQ(Bits(c.familyDiagonal[1]), Bits(expected(4, 4)));
}

TEST(SetUpModel, RefusesDesignsItCannotSeparateAndSaysWhy) {
  // Block 3 of site 20 holds only family 9, which stands nowhere else; at
  // site 30, blocks 7 and 8 share family 8 only with each other.
  std::vector<Tree> stray = Layout(2, 2, 4, One);
  for (Tree& tree : stray) tree.site *= 10.0f;
  stray.push_back({20, 3, 9});
  for (float block : {1.0f, 2.0f, 7.0f, 8.0f})
    for (float family : {1.0f, 2.0f}) stray.push_back({30, block, block > 5.0f ? 8.0f : family});
  // At site 1 block 1 has families 1 and 2, block 2 families 3 and 4; site 2
  // has them all in both its blocks, so the blocks are linked across sites
  // but not within site 1.
  std::vector<Tree> withinSite = Layout(1, 2, 4, [](int, int b, int f) { return (f + 1) / 2 == b ? 1 : 0; });
  for (Tree tree : Layout(1, 2, 4, One)) withinSite.push_back({2, tree.block, tree.family});
  const struct { std::vector<Tree> trees; const char* message; } refusals[] = {
      {Layout(1, 3, 4, One), "there is only one site (site 1), so Site has no degrees"},
      {Layout(3, 3, 1, One), "there is only one family (code 1), so Family has no"},
      {Layout(3, 1, 4, One), "each site has a single block, so Rep./Site has no degrees of freedom"},
      // Sites 10 and 20 have families of their own.
      {{{10, 1, 11}, {10, 1, 12}, {10, 2, 11}, {10, 2, 12}, {20, 1, 21}, {20, 1, 22}, {20, 2, 21}, {20, 2, 22}},
       "the families do not link all sites: site 20 shares no family with the other sites. "},
      {stray, "the families do not link all blocks: block 3 of site 20 shares no family with the other blocks; "
              "blocks 7 and 8 of site 30 share no family with the other blocks. Blocks can only"},
      {withinSite, "within a site, the families do not link all its blocks: block 2 of site 1 shares no family "
                   "with the other blocks of its site."},
      // Family 1 at both sites, family 2 only at site 1, family 3 only at
      // site 2: four cells for two sites and three families.
      {{{1, 1, 1}, {1, 1, 2}, {1, 2, 1}, {1, 2, 2}, {2, 1, 1}, {2, 1, 3}, {2, 2, 1}, {2, 2, 3}},
       "so Site*Fam. has no degrees of freedom (cells - sites - families + 1 = 0)"},
      // Six trees, four cells, four blocks, two sites: nothing is left for Error.
      {{{1, 1, 1}, {1, 1, 2}, {1, 2, 1}, {2, 1, 1}, {2, 1, 2}, {2, 2, 2}},
       "its 6 records are fitted exactly by the 4 blocks and 4 site x family cells, so Error has no degrees of "
       "freedom (records - cells - blocks + sites = 0)"},
  };
  for (const auto& [trees, message] : refusals) {
    RunData run = BuildTrial(trees);
    EXPECT_THAT(Refusal(run), HasSubstr(message));
  }
  // The messages start by naming the data file.
  RunData named = BuildTrial(Layout(1, 2, 2, One));
  named.params.dataPath = "trial.dat";
  EXPECT_THAT(Refusal(named), ::testing::StartsWith("The trial in trial.dat cannot be analysed"));
}

}  // namespace
}  // namespace korvan
