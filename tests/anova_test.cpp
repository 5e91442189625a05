#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "anova/trait_analysis.h"
#include "anova/trait_reductions.h"
#include "anova/trait_reductions_straightforward.h"
#include "format/report_file.h"
#include "base/korvan_error.h"
#include "support/test_support.h"
#include "support/trial_builder.h"

namespace korvan {
namespace {

using test::BuildTrial;
using test::TempDir;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

// The spacing of single-precision numbers at 1.
constexpr double kSingleEpsilon = FLT_EPSILON;

class RecordingSink : public ProgressSink {
 public:
  void WriteLine(std::string_view line) override { lines.emplace_back(line); }
  void Clear() override {}
  std::vector<std::string> lines;
};

// What the trait stage writes of the worked example: the family constants,
// the table and the estimates.
const std::vector<std::string> kWorkedExampleLines = {
    "  101    15 ", "  102    19.5 ",
    " ", " Trait No  1 ",
    "  Source     d.f.   S.S.   M.S.           E.M.S.",
    " Site         1    144.5   144.5 ", " Rep./Site    2    5   2.5 ",
    " Family       1    40.5   40.5   Ve + 2 Vsf + 4 Vf", " Site*Fam.    1    .5   .5   Ve + 2 Vsf",
    "   Error      2   9   4.5   Ve",
    " ", "  Estimate of variance components",
    " Family           10    8.26765787068301 ", " Site*Family     -2    1.60403137957668 ",
    " Exp. error       4.5    3.18198051533946 ", " Family-mean heritability =  .987654320987654 "};

// The trait stage on the worked example, trait k scaled by scale[k], into
// dir/trial.out, which is committed if the stage ends.
RunData AnalyseWorkedExample(const std::vector<float>& scale, ProgressLog& log, const TempDir& dir) {
  RunData run = BuildTrial(test::WorkedExampleTrees(scale));
  test::SetCoefficients(run, 4, 2, 2);
  OutputSet outputs;
  ReportFile report(outputs, dir / "trial.out");
  AnalyseTraits(run, log, report, ReduceAllTraits);
  outputs.CommitAll();
  return run;
}

TEST(AnalyseTraits, WorkedExampleGivesItsSixteenLines) {
  RecordingSink sink;
  ProgressLog log(sink);
  TempDir dir;
  const RunData run = AnalyseWorkedExample({1.0f}, log, dir);
  EXPECT_EQ(sink.lines, (std::vector<std::string>{
                            " R(u,r)          =  2530 ", " R(u,f)          =  2421 ",
                            " R(u,sf)         =  2566 ", "R(r)=  144.5 ",
                            " R(u,s,f)        =  2565.5 ", "R(r)=  149.5 ",
                            " R(u,s,r,f)      =  2570.5 ", "R(r)=  5 ",
                            " R(u,s,r,sf)     =  2571 ", " y'*y            =  2580 "}));
  EXPECT_EQ(log.form2Lines(), 10);
  EXPECT_EQ(test::ReadLines(dir / "trial.out"), kWorkedExampleLines);
  EXPECT_EQ(test::ReadFile(dir / "trial.out").substr(0, 14), "  101    15 \r\n");

  // What the pair stage reads. The solutions are the design's up to one
  // rounding per elimination step of an order-4 system: 16 * FLT_EPSILON.
  const double solRF[] = {-5.25, -3.25, 3.75, 4.75};
  for (int j = 1; j <= 4; ++j) EXPECT_NEAR(run.solRF(j, 1), solRF[j - 1], 16 * kSingleEpsilon * 5.25);
  EXPECT_NEAR(run.solSF(2, 1), 4.25, 16 * kSingleEpsilon * 4.25);
  EXPECT_EQ(run.vfByTrait[1], 10.0);
  EXPECT_EQ(run.msFamByTrait[1], 40.5);
}

// ---------------------------------------------------------------------------
// Least squares done independently in double: the reduction of a sub-model
// is the squared length of the projection of y onto its columns.

double ProjectionReduction(const RunData& run, const std::vector<int>& factors) {
  const auto dot = [](const std::vector<double>& a, const std::vector<double>& b) {
    return std::inner_product(a.begin(), a.end(), b.begin(), 0.0);
  };
  std::vector<double> y(run.nRecord);
  for (int r = 1; r <= run.nRecord; ++r) y[r - 1] = run.traitValue(r, 1);
  std::vector<std::vector<double>> basis;
  double reduction = 0;
  for (int k : factors) {
    for (int level = 1; level <= run.colOffset[k + 1] - run.colOffset[k]; ++level) {
      std::vector<double> v(run.nRecord);
      for (int r = 1; r <= run.nRecord; ++r) v[r - 1] = run.recordColumn(r, k) - run.colOffset[k] == level;
      const double norm0 = std::sqrt(dot(v, v));
      for (int pass = 0; pass < 2; ++pass)  // twice: one Gram-Schmidt pass loses orthogonality
        for (const auto& q : basis) {
          const double d = dot(q, v);
          for (int r = 0; r < run.nRecord; ++r) v[r] -= d * q[r];
        }
      const double norm = std::sqrt(dot(v, v));
      if (norm < 1e-9 * norm0) continue;  // spanned by the columns before it
      for (double& x : v) x /= norm;
      reduction += dot(v, y) * dot(v, y);
      basis.push_back(std::move(v));
    }
  }
  return reduction;
}

TEST(FormSumsOfSquares, AgreeWithProjectionsAndBalancedLinesAddUp) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 6; ++trial) {
    const bool balanced = trial == 0;
    SCOPED_TRACE("trial " + std::to_string(trial));
    RunData run = BuildTrial(test::RandomTrial(rng, 1, balanced));
    const Reductions r = ReduceAllTraits(run)[1];
    const SumsOfSquares ss = FormSumsOfSquares(run, r);
    // The reductions are single-precision sums of a few hundred terms at most,
    // none larger than y'*y: 100 roundings of y'*y bound their error.
    const double tolerance = 100 * kSingleEpsilon * r.yy;
    const double rUSRF = ProjectionReduction(run, {1, 2, 3, 4});
    const double rUSRCell = ProjectionReduction(run, {1, 2, 3, 5});
    EXPECT_NEAR(ss.ssFamily, rUSRF - ProjectionReduction(run, {1, 3}), tolerance);
    EXPECT_NEAR(ss.ssSiteFam, rUSRCell - rUSRF, tolerance);
    EXPECT_NEAR(ss.ssError, r.yy - rUSRCell, tolerance);
    EXPECT_NEAR(ss.ssSite, ProjectionReduction(run, {1, 2, 4}) - ProjectionReduction(run, {1, 4}), tolerance);
    if (balanced) {
      const double mean = ProjectionReduction(run, {1});
      EXPECT_NEAR(ss.ssSite + ss.ssRep + ss.ssFamily + ss.ssSiteFam + ss.ssError, r.yy - mean, tolerance);
    }
  }
}

// ---------------------------------------------------------------------------
// Data the analysis cannot take: stopped with a message, no report replaced.

TEST(AnalyseTraits, OverflowStopsTheRunAndLeavesTheOldReport) {
  TempDir dir;
  test::WriteFile(dir / "trial.out", "the old report\r\n");
  RecordingSink sink;
  ProgressLog log(sink);
  // Trait 2's block totals pass the single-precision range (3.4E+38).
  EXPECT_THAT([&] { AnalyseWorkedExample({1.0f, 1e37f}, log, dir); },
              ThrowsMessage<KorvanError>(AllOf(HasSubstr("The trait 2 of trial.dat"), HasSubstr("R(u,r)"),
                                               HasSubstr("not a finite number"))));
  EXPECT_EQ(test::ReadFile(dir / "trial.out"), "the old report\r\n");
  EXPECT_EQ(sink.lines.size(), 10u) << "trait 1 was shown in full";
}

TEST(ReduceAllTraits, SingularSystemNamesItsLevelsInEitherForm) {
  // At site 10, block 1 holds only family 1 and block 2 only family 2: the
  // families link them through site 20, but no site x family cell does.
  // (The set-up refuses such a design; this is the stage's own safety net.)
  RunData run = BuildTrial({{10, 1, 1, {3}}, {10, 1, 1, {4}}, {10, 2, 2, {5}}, {10, 2, 2, {6}},
                            {20, 1, 1, {7}}, {20, 1, 2, {8}}, {20, 2, 1, {9}}, {20, 2, 2, {1}}});
  for (TraitReductionsForm reduceAllTraits : {ReduceAllTraits, ReduceAllTraitsStraightforward})
    EXPECT_THAT([&] { reduceAllTraits(run); },
                ThrowsMessage<KorvanError>(AllOf(HasSubstr("trial.dat"),
                                                 HasSubstr("site x family cells are singular at block"),
                                                 HasSubstr("of site 10."))));
}

}  // namespace
}  // namespace korvan
