#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "format/number_format.h"
#include "base/korvan_error.h"
#include "linalg/invert_matrix.h"
#include "linalg/site_family_trace.h"
#include "model/absorb.h"
#include "model/design_checks.h"
#include "model/fixed_equations.h"
#include "model/model_setup.h"
#include "support/test_design.h"
#include "support/test_support.h"
#include "base/progress.h"

namespace korvan {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using test::Layout;
using test::MakeDesign;
using test::Tree;

std::uint32_t Bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// Varied designs: 1 to 4 sites of 1 to 4 blocks, 2 to 9 families, plots
// present with a chance of a third, two thirds or always, 1 to 3 trees in a
// plot, codes out of order and the records shuffled. Every 25th design is
// large enough (about 120 blocks and 50 families) for the work to be shared
// among threads.
std::vector<Tree> RandomTrees(std::mt19937& rng, int trial) {
  const bool large = trial % 25 == 24;
  std::uniform_int_distribution<int> siteCount(large ? 12 : 1, large ? 12 : 4);
  std::uniform_int_distribution<int> blockCount(large ? 8 : 1, large ? 12 : 4);
  std::uniform_int_distribution<int> familyCount(large ? 40 : 2, large ? 60 : 9), trees(1, 3);
  const double presence[3] = {0.35, 0.7, 1.0};
  std::bernoulli_distribution present(large ? 0.9 : presence[trial % 3]);
  const int sites = siteCount(rng), families = familyCount(rng);
  std::vector<Tree> out;
  for (int s = 1; s <= sites; ++s) {
    const int blocks = blockCount(rng);
    for (int b = 1; b <= blocks; ++b)
      for (int f = 1; f <= families; ++f)
        if (present(rng))
          for (int t = trees(rng); t > 0; --t)
            out.push_back({static_cast<float>(10 * s), static_cast<float>(b + 0.5f), static_cast<float>(100 - 7 * f)});
  }
  if (out.empty()) out.push_back({1, 1, 1});
  std::shuffle(out.begin(), out.end(), rng);
  return out;
}

std::string Describe(const RunData& run) {
  return std::to_string(run.nSite) + " sites, " + std::to_string(run.nRep) + " blocks, " +
         std::to_string(run.nFamily) + " families, " + std::to_string(run.nSF) + " cells, " +
         std::to_string(run.nRecord) + " trees";
}

// Rows and columns 1..n of two tables hold the same bits; reports the first
// difference with both values.
::testing::AssertionResult SameBits(const Table2<float>& expected, const Table2<float>& actual, int rows, int cols) {
  for (int i = 1; i <= rows; ++i)
    for (int j = 1; j <= cols; ++j)
      if (Bits(expected(i, j)) != Bits(actual(i, j)))
        return ::testing::AssertionFailure() << "(" << i << "," << j << "): expected " << expected(i, j) << " ("
                                             << std::hex << Bits(expected(i, j)) << "), got " << actual(i, j) << " ("
                                             << Bits(actual(i, j)) << std::dec << ")";
  return ::testing::AssertionSuccess();
}

TEST(Absorb, FamiliesIntoBlocksOfTheSmallExamples) {
  // One site, two blocks, two families, one tree in every plot: D_r = diag(2, 2),
  // N = all ones, D_f = diag(2, 2), so the reduced matrix is (1 -1; -1 1) and
  // the constraint ones make it (2 0; 0 2), with either kind of constraint.
  const RunData oneSite = MakeDesign(Layout(1, 2, 2, [](int, int, int) { return 1; }));
  const Incidence n = CountIncidence(oneSite, 3, 4);
  for (bool perSite : {false, true}) {
    const Table2<float> s = Absorb(oneSite, n, perSite);
    EXPECT_EQ(s(1, 1), 2.0f);
    EXPECT_EQ(s(1, 2), 0.0f);
    EXPECT_EQ(s(2, 1), 0.0f);
    EXPECT_EQ(s(2, 2), 2.0f);
  }
  // Two sites of one block each: per site, only the diagonal gets its one.
  const RunData twoSites = MakeDesign(Layout(2, 1, 2, [](int, int, int) { return 1; }));
  const Table2<float> perSite = Absorb(twoSites, CountIncidence(twoSites, 3, 4), true);
  EXPECT_EQ(perSite(1, 1), 2.0f);
  EXPECT_EQ(perSite(1, 2), -1.0f);
  EXPECT_EQ(perSite(2, 2), 2.0f);
  const Table2<float> overall = Absorb(twoSites, CountIncidence(twoSites, 3, 4), false);
  EXPECT_EQ(overall(1, 2), 0.0f);
}

TEST(Absorb, RowsSumToTheConstraintOnes) {
  // The reduced rows sum to zero, so what is left is the ones added: nA per
  // row overall, the number of blocks of the row's own site per site.
  std::mt19937 rng(11);
  for (int trial = 0; trial < 30; ++trial) {
    const RunData run = MakeDesign(RandomTrees(rng, trial));
    for (const auto& [b, perSite] : {std::pair{4, false}, std::pair{5, true}}) {
      const Incidence inc = CountIncidence(run, 3, b);
      const Table2<float> s = Absorb(run, inc, perSite);
      float largest = 0;
      for (float c : inc.levelCountA) largest = std::max(largest, c);
      // Each element rounds once per level of b, on values up to the largest block size.
      const double tolerance = 4.0 * inc.nA * inc.nB * static_cast<double>(FLT_EPSILON) * static_cast<double>(largest);
      for (int i = 1; i <= inc.nA; ++i) {
        double sum = 0;
        int ones = 0;
        for (int j = 1; j <= inc.nA; ++j) {
          sum += static_cast<double>(s(i, j));
          ones += !perSite || run.repSite[run.repOffset + i] == run.repSite[run.repOffset + j];
        }
        EXPECT_NEAR(sum, ones, tolerance) << Describe(run) << ", row " << i << (perSite ? ", per site" : "");
      }
    }
  }
}

TEST(Absorb, SameBitsAsTheStraightforwardFormOnRandomDesigns) {
  std::mt19937 rng(2024);
  for (int trial = 0; trial < 250; ++trial) {
    const RunData run = MakeDesign(RandomTrees(rng, trial));
    // The pairs the set-up and the per-trait reductions absorb.
    for (const auto& [a, b, perSite] : {std::tuple{3, 4, false}, std::tuple{2, 4, false}, std::tuple{3, 5, true}}) {
      const Incidence inc = CountIncidence(run, a, b);
      const Table2<float> expected = AbsorbStraightforward(run, a, b, perSite);
      // The incidence holds the dense count block and sizes.
      const Table2<float> counts = CountBlockStraightforward(run, a, b);
      const std::vector<float> sizes = CountLevelsStraightforward(run, b);
      for (int i = 1; i <= inc.nA; ++i) {
        std::vector<float> row(inc.nB + 1, 0.0f);
        for (int e = inc.rowStart[i]; e < inc.rowStart[i + 1]; ++e) {
          ASSERT_TRUE(e == inc.rowStart[i] || inc.colIndex[e - 1] < inc.colIndex[e]);
          row[inc.colIndex[e]] = inc.count[e];
        }
        for (int k = 1; k <= inc.nB; ++k) ASSERT_EQ(row[k], counts(i, k)) << i << "," << k;
      }
      for (int k = 1; k <= inc.nB; ++k) ASSERT_EQ(inc.levelCountB[k], sizes[k]);
      EXPECT_TRUE(SameBits(expected, Absorb(run, inc, perSite), inc.nA, inc.nA))
          << "absorbing " << b << " into " << a << ", trial " << trial << ": " << Describe(run);
    }
  }
}

// Keeps what the stages write to the progress window; "<clear>" marks the
// window being cleared.
class RecordingSink : public ProgressSink {
 public:
  void WriteLine(std::string_view line) override { lines.emplace_back(line); }
  void Clear() override { lines.emplace_back("<clear>"); }
  std::vector<std::string> lines;
};

TEST(FixedEquations, OneSiteMatrixLinesInverseAndFamilyTrace) {
  // One site, two blocks, two families, one tree in every plot.
  const RunData run = MakeDesign(Layout(1, 2, 2, [](int, int, int) { return 1; }));
  RecordingSink sink;
  ProgressLog log(sink);
  const Table2<float> coef = BuildFixedEquations(run, 3, log);
  // Mean row 4 4 2 2; the site column gets 4 + 1; each block 2 records plus
  // a one everywhere in the 2 x 2 block of the site's blocks.
  EXPECT_THAT(sink.lines, ElementsAre(" 4 4 2 2", " 4 5 2 2", " 2 2 3 1", " 2 2 1 3"));
  EXPECT_EQ(log.form2Lines(), 0);
  // Each block holds each family once: sum of n_rf^2 / n_r = 4 x 1/2 = 2.
  const Table2<float> inverse = InvertByColumns(coef, run.p);
  EXPECT_EQ(TraceOfProduct(inverse, FixedCrossProducts(run, 3, 4), run.p), 2.0f);
  // InvertByColumns of order 1 is 1/a.
  EXPECT_EQ(InvertByColumns(coef, 1)(1, 1), 0.25f);

}

TEST(SetUpModel, BalancedTwoSiteDesignGivesTheClassicalCoefficients) {
  // 2 sites x 2 blocks x 2 families, one tree per plot: sites x blocks x
  // trees per plot = 4 for Vf, blocks x trees per plot = 2 for Vsf.
  RunData run = MakeDesign(Layout(2, 2, 2, [](int, int, int) { return 1; }));
  RecordingSink sink;
  ProgressLog log(sink);
  for (int i = 0; i < 20; ++i) log.CountedLine("listing");
  SetUpModel(run, log);
  // Traces of small whole-number designs come out exactly in single precision here.
  EXPECT_EQ(run.trFF, 4.0f);
  EXPECT_EQ(run.trFSF, 4.0f);
  EXPECT_EQ(run.trSFSF, 6.0f);
  EXPECT_EQ(run.dfSite, 1);
  EXPECT_EQ(run.dfRep, 2.0);
  EXPECT_EQ(run.dfFamily, 1);
  EXPECT_EQ(run.dfSiteFam, 1.0);
  EXPECT_EQ(run.dfError, 2.0);
  EXPECT_EQ(run.kF, 4.0f);
  EXPECT_EQ(run.kFSF, 2.0f);
  EXPECT_EQ(run.kSF, 2.0);
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

TEST(SiteFamilyTrace, OneSiteCellsAreTheFamiliesAndRecordCountLines) {
  // With one site the cells are the families, so Tr(sf:sf) = nRecord = 4.
  const RunData run = MakeDesign(Layout(1, 2, 2, [](int, int, int) { return 1; }));
  RecordingSink sink;
  ProgressLog log(sink);
  const BlockFamilyInverse c =
      RepFamilyInverse(Absorb(run, CountIncidence(run, 3, 4), false), CountIncidence(run, 4, 3), log);
  const CellRows b = CellIncidence(run, log);
  // Each cell's row of B: 1 and 1 in the block columns, 2 in its family's.
  for (int cell = 1; cell <= 2; ++cell) {
    EXPECT_EQ(b.cellFamily[cell], cell);
    EXPECT_EQ(b.cellBlocks.levelCountA[cell], 2.0f);
    EXPECT_THAT(std::vector<float>(b.cellBlocks.count.begin() + b.cellBlocks.rowStart[cell],
                                   b.cellBlocks.count.begin() + b.cellBlocks.rowStart[cell + 1]),
                ElementsAre(1.0f, 1.0f));
  }
  EXPECT_EQ(CellTrace(c, b, log), 4.0f);
  EXPECT_THAT(sink.lines, ElementsAre("Total Rec. No.= 2 ( 16 )", " Record No.= 1 ", " Trace =  4 "));

  // K = 10 elements a row: 100 elements in 11 records of ten.
  const RunData ten = MakeDesign(Layout(2, 3, 4, [](int, int, int) { return 1; }));
  RecordingSink tenSink;
  ProgressLog tenLog(tenSink);
  RepFamilyInverse(Absorb(ten, CountIncidence(ten, 3, 4), false), CountIncidence(ten, 4, 3), tenLog);
  CellIncidence(ten, tenLog);
  EXPECT_THAT(tenSink.lines, ElementsAre("Total Rec. No.= 11 ( 100 )", " Record No.= 9 "));
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
  Incidence family;
  family.nA = 1, family.nB = 3;
  family.rowStart = {0, 0, 2};
  family.colIndex = {1, 3};
  family.count = {1.0f, 2.0f};
  family.levelCountA = {0.0f, 3.0f};
  family.levelCountB = {0.0f, 1.0f, 0.0f, 2.0f};
  NullSink quiet;
  ProgressLog log(quiet);
  const BlockFamilyInverse c = RepFamilyInverse(s, family, log);
  ASSERT_EQ(Bits(c.repBlock(1, 2)), Bits(d));
  ASSERT_EQ(Bits(c.repBlock(3, 2)), Bits(0.0f));

  // The counts are read from the incidence rather than written as constants:
  // with a constant 0 the compiler's vectorizer folds 0 x (-1) to +0.
  std::vector<float> count(4, 0.0f);
  for (int e = 0; e < 2; ++e) count[family.colIndex[e]] = family.count[e];
  float cross[4] = {0, 0, 0, 0};
  for (int j = 1; j <= 3; ++j)
    for (int k = 1; k <= 3; ++k)
      cross[j] = RoundToSingle(static_cast<double>(cross[j]) -
                               static_cast<double>(count[k]) * static_cast<double>(c.repBlock(k, j)) / 3.0);
  float diagonal = 1.0f / 3.0f;
  for (int k = 1; k <= 3; ++k)
    diagonal = RoundToSingle(static_cast<double>(diagonal) -
                             static_cast<double>(count[k]) * static_cast<double>(cross[k]) / 3.0);
  EXPECT_EQ(Bits(cross[2]), Bits(0.0f));
  for (int j = 1; j <= 3; ++j) EXPECT_EQ(Bits(c.crossBlock(1, j)), Bits(cross[j])) << "block " << j;
  EXPECT_EQ(Bits(c.familyDiagonal[1]), Bits(diagonal));
}

// The whole set-up, fast forms against the straightforward ones: every
// matrix and every trace bit for bit, on designs of all shapes.
TEST(SetUpModel, FastFormsGiveTheStraightforwardBitsOnRandomDesigns) {
  std::mt19937 rng(31337);
  int accepted = 0;
  for (int trial = 0; trial < 250; ++trial) {
    RunData run = MakeDesign(RandomTrees(rng, trial));
    const std::string what = "trial " + std::to_string(trial) + ": " + Describe(run);
    NullSink quiet;
    ProgressLog log(quiet);

    const Table2<float> coef = BuildFixedEquations(run, 3, log);
    ASSERT_TRUE(SameBits(BuildFixedEquationsStraightforward(run, 3, log), coef, run.p, run.p)) << what;
    const Table2<float> inverse = InvertByColumns(coef, run.p);
    ASSERT_TRUE(SameBits(InvertByColumnsStraightforward(coef, run.p), inverse, run.p, run.p)) << what;
    for (int b : {4, 5}) {
      const Table2<float> zz = FixedCrossProducts(run, 3, b);
      ASSERT_TRUE(SameBits(FixedCrossProductsStraightforward(run, 3, b), zz, run.p, run.p)) << what << ", factor " << b;
    }

    const Table2<float> absorbed = AbsorbStraightforward(run, 3, 4, false);
    Table2<float> c;
    BlockFamilyInverse fast;
    try {
      c = RepFamilyInverseStraightforward(run, absorbed, log);
    } catch (const SingularEquations& expected) {
      try {
        RepFamilyInverse(absorbed, CountIncidence(run, 4, 3), log);
        ADD_FAILURE() << what << ": only the straightforward form found the block equations singular";
      } catch (const SingularEquations& actual) {
        EXPECT_EQ(actual.step, expected.step) << what;
        EXPECT_EQ(actual.unpivotedColumns, expected.unpivotedColumns) << what;
      }
      EXPECT_THROW(CheckDesign(run), KorvanError) << what;
      continue;
    }
    fast = RepFamilyInverse(absorbed, CountIncidence(run, 4, 3), log);
    const int nRep = run.nRep;
    const Table2<float> counts = CountBlockStraightforward(run, 3, 4);
    ASSERT_TRUE(SameBits(c, fast.repBlock, nRep, nRep)) << what;
    for (int f = 1; f <= run.nFamily; ++f) {
      ASSERT_EQ(Bits(c(nRep + f, nRep + f)), Bits(fast.familyDiagonal[f])) << what << ", family " << f;
      for (int j = 1; j <= nRep; ++j)
        if (counts(j, f) != 0.0f) {
          ASSERT_EQ(Bits(c(nRep + f, j)), Bits(fast.crossBlock(f, j))) << what;
        }
    }
    const float trSFSF = CellTraceStraightforward(c, CellIncidenceStraightforward(run, log), log);
    const float fastTrace = CellTrace(fast, CellIncidence(run, log), log);
    ASSERT_EQ(Bits(trSFSF), Bits(fastTrace)) << what << ": expected " << trSFSF << ", got " << fastTrace;

    try {
      SetUpModel(run, log);
    } catch (const KorvanError&) {
      continue;  // refused designs have their own tests
    }
    ++accepted;
    EXPECT_EQ(Bits(run.trFF), Bits(TraceOfProduct(inverse, FixedCrossProductsStraightforward(run, 3, 4), run.p)))
        << what;
    EXPECT_EQ(Bits(run.trFSF), Bits(TraceOfProduct(inverse, FixedCrossProductsStraightforward(run, 3, 5), run.p)))
        << what;
    EXPECT_EQ(Bits(run.trSFSF), Bits(trSFSF)) << what;

    // Blocks and cells are both nested in sites, so Tr(f:sf) = Tr(f:f) =
    // the sum of n_rf^2 / n_r, exactly; in single precision up to the
    // rounding of an inverse of order p (p pivots, count matrices of modest
    // condition): 50 p FLT_EPSILON relative.
    double exact = 0;
    const Incidence n = CountIncidence(run, 3, 4);
    for (int r = 1; r <= n.nA; ++r)
      for (int e = n.rowStart[r]; e < n.rowStart[r + 1]; ++e)
        exact += std::pow(static_cast<double>(n.count[e]), 2) / static_cast<double>(n.levelCountA[r]);
    const double tolerance = 50.0 * run.p * static_cast<double>(FLT_EPSILON) * exact;
    EXPECT_NEAR(static_cast<double>(run.trFF), exact, tolerance) << what;
    EXPECT_NEAR(static_cast<double>(run.trFSF), exact, tolerance) << what;
  }
  // Most designs must have gone the whole way.
  EXPECT_GT(accepted, 120);
}

// The Douglas-fir trial (3 sites, 127 blocks, 109 families, 8688 trees,
// strongly unbalanced), read from the team's data folder when it is there.
TEST(SetUpModel, DouglasFirTrialGivesTheStraightforwardBits) {
  const std::string path = "/work/shared/data/douglas_c13.dat";
  std::vector<Tree> trees;
  try {
    for (const std::string& line : test::ReadLines(path))
      if (line.size() >= 18 && line[0] != ':')
        trees.push_back({static_cast<float>(TextToNumber(line.substr(0, 4))),
                         static_cast<float>(TextToNumber(line.substr(4, 4))),
                         static_cast<float>(TextToNumber(line.substr(8, 6)))});
  } catch (const std::exception&) {
    GTEST_SKIP() << path << " is not available";
  }
  RunData run = MakeDesign(trees);
  ASSERT_EQ(run.nRecord, 8688);
  ASSERT_EQ(run.nRep, 127);
  ASSERT_EQ(run.nFamily, 109);
  RecordingSink sink;
  ProgressLog log(sink);
  SetUpModel(run, log);

  NullSink quiet;
  ProgressLog quietLog(quiet);
  const Table2<float> inverse =
      InvertByColumnsStraightforward(BuildFixedEquationsStraightforward(run, 3, quietLog), run.p);
  EXPECT_EQ(Bits(run.trFF), Bits(TraceOfProduct(inverse, FixedCrossProductsStraightforward(run, 3, 4), run.p)));
  EXPECT_EQ(Bits(run.trFSF), Bits(TraceOfProduct(inverse, FixedCrossProductsStraightforward(run, 3, 5), run.p)));
  const Table2<float> c = RepFamilyInverseStraightforward(run, AbsorbStraightforward(run, 3, 4, false), quietLog);
  const float trSFSF = CellTraceStraightforward(c, CellIncidenceStraightforward(run, quietLog), quietLog);
  EXPECT_EQ(Bits(run.trSFSF), Bits(trSFSF)) << "expected " << trSFSF << ", got " << run.trSFSF;
  // p matrix lines, then the trace lines of the set-up and the trace routine.
  ASSERT_EQ(sink.lines.size(), static_cast<std::size_t>(run.p) + 6);
  EXPECT_EQ(sink.lines[run.p + 2], "Total Rec. No.= 5570 ( 55696 )");
  EXPECT_EQ(run.dfSiteFam, static_cast<double>(run.nSF - 3 - 109 + 1));
  EXPECT_GT(run.kF, 0.0f);
  EXPECT_GT(run.kSF, 0.0);
}

std::string RefusalOf(const std::vector<Tree>& trees) {
  RunData run = MakeDesign(trees);
  NullSink quiet;
  ProgressLog log(quiet);
  try {
    SetUpModel(run, log);
  } catch (const KorvanError& error) {
    return error.what();
  }
  return "accepted";
}

TEST(SetUpModel, RefusesDesignsItCannotSeparateAndSaysWhy) {
  const auto all = [](int, int, int) { return 1; };
  EXPECT_THAT(RefusalOf(Layout(1, 3, 4, all)), HasSubstr("there is only one site (site 1), so Site has no degrees"));
  EXPECT_THAT(RefusalOf(Layout(3, 3, 1, all)), HasSubstr("there is only one family (code 1), so Family has no"));
  EXPECT_THAT(RefusalOf(Layout(3, 1, 4, all)),
              HasSubstr("each site has a single block, so Rep./Site has no degrees of freedom"));

  // Sites 10 and 20 have families of their own.
  std::vector<Tree> apart;
  for (float site : {10.0f, 20.0f})
    for (float block : {1.0f, 2.0f})
      for (float family : {1.0f, 2.0f}) apart.push_back({site, block, family + site});
  EXPECT_THAT(RefusalOf(apart), HasSubstr("the families do not link all sites: site 20 shares no family with the "
                                          "other sites. "));

  // Block 3 of site 20 holds only family 9, which stands nowhere else; at
  // site 30, blocks 7 and 8 share family 8 only with each other.
  std::vector<Tree> stray = Layout(2, 2, 4, all);
  for (Tree& tree : stray) tree.site *= 10.0f;
  stray.push_back({20, 3, 9});
  for (float block : {1.0f, 2.0f, 7.0f, 8.0f})
    for (float family : {1.0f, 2.0f}) stray.push_back({30, block, block > 5.0f ? 8.0f : family});
  EXPECT_THAT(RefusalOf(stray),
              HasSubstr("the families do not link all blocks: block 3 of site 20 shares no family with the other "
                        "blocks; blocks 7 and 8 of site 30 share no family with the other blocks. Blocks can only"));

  // At site 1 block 1 has families 1 and 2, block 2 families 3 and 4; site 2
  // has them all in both its blocks, so the blocks are linked across sites
  // but not within site 1.
  std::vector<Tree> withinSite = Layout(1, 2, 4, [](int, int b, int f) { return (f + 1) / 2 == b ? 1 : 0; });
  for (Tree tree : Layout(1, 2, 4, all)) withinSite.push_back({2, tree.block, tree.family});
  EXPECT_THAT(RefusalOf(withinSite), HasSubstr("within a site, the families do not link all its blocks: block 2 of "
                                               "site 1 shares no family with the other blocks of its site."));

  // Family 1 at both sites, family 2 only at site 1, family 3 only at site 2:
  // four cells for two sites and three families.
  const std::vector<Tree> chain = {{1, 1, 1}, {1, 1, 2}, {1, 2, 1}, {1, 2, 2},
                                   {2, 1, 1}, {2, 1, 3}, {2, 2, 1}, {2, 2, 3}};
  EXPECT_THAT(RefusalOf(chain), HasSubstr("so Site*Fam. has no degrees of freedom (cells - sites - families + 1 = 0)"));

  // Six trees, four cells, four blocks, two sites: nothing is left for Error.
  const std::vector<Tree> tight = {{1, 1, 1}, {1, 1, 2}, {1, 2, 1}, {2, 1, 1}, {2, 1, 2}, {2, 2, 2}};
  EXPECT_THAT(RefusalOf(tight),
              HasSubstr("its 6 records are fitted exactly by the 4 blocks and 4 site x family cells, so Error has no "
                        "degrees of freedom (records - cells - blocks + sites = 0)"));

  // The messages start by naming the data file.
  RunData named = MakeDesign(Layout(1, 2, 2, all));
  named.params.dataPath = "trial.dat";
  NullSink quiet;
  ProgressLog log(quiet);
  EXPECT_THAT([&] { SetUpModel(named, log); },
              ::testing::ThrowsMessage<KorvanError>(::testing::StartsWith("The trial in trial.dat cannot be analysed")));
}

}  // namespace
}  // namespace korvan
