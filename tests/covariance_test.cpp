#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "anova/trait_analysis.h"
#include "anova/trait_reductions.h"
#include "anova/variance_components.h"
#include "covariance/pair_analysis.h"
#include "covariance/pair_reductions.h"
#include "format/report_file.h"
#include "support/test_support.h"
#include "support/trial_builder.h"

namespace korvan {
namespace {

using test::BuildTrial;
using test::SetCoefficients;
using test::TempDir;
using test::Tree;

// The spacing of single-precision numbers at 1.
constexpr double kSingleEpsilon = FLT_EPSILON;

// Both stages into one committed report; returns its lines.
std::vector<std::string> AnalyseAll(RunData& run, const TempDir& dir) {
  NullSink sink;
  ProgressLog log(sink);
  ReportFile report(dir / "trial.out");
  AnalyseTraits(run, log, report);
  AnalysePairs(run, log, report);
  report.Commit();
  return test::ReadLines(dir / "trial.out");
}

std::vector<std::string> Section(const std::vector<std::string>& lines, std::size_t first) {
  return {lines.begin() + static_cast<std::ptrdiff_t>(first),
          lines.begin() + static_cast<std::ptrdiff_t>(std::min(first + 15, lines.size()))};
}

TEST(AnalysePairs, CopiedAndScaledTraitsGiveExactSectionsInPairOrder) {
  // Trait 2 copies trait 1 and trait 3 is -2 times it: a power of two scales
  // every single-precision step exactly, so the sections are exact too.
  RunData run = BuildTrial(test::WorkedExampleTrees({1.0f, 1.0f, -2.0f}));
  SetCoefficients(run, 4, 2, 2);
  TempDir dir;
  const std::vector<std::string> lines = AnalyseAll(run, dir);
  ASSERT_EQ(lines.size(), 3 * 16 + 3 * 15u);

  const std::vector<std::string> same = {
      " ",
      " Trait No  1   and Trait No  2 ",
      "  Source     d.f.    S.C.P.   M.C.P.         E.M.S.",
      " Site         1    144.5   144.5 ",
      " Rep./Site    2    5   2.5 ",
      " Family       1    40.5   40.5   Ve + 2 Vsf + 4 Vf",
      " Site*Fam.    1    .5   .5   Ve + 2 Vsf",
      "   Error      2    9   4.5   Ve",
      " ",
      "  Estimate of variance components",
      " Family           10 ",
      " Site*Family     -2 ",
      " Exp. error       4.5 ",
      " Phenotypic cor. =  1 ",
      " Family cor.     =  1 "};
  EXPECT_EQ(Section(lines, 48), same);

  std::vector<std::string> scaled = {
      " ",
      " Trait No  1   and Trait No  3 ",
      "  Source     d.f.    S.C.P.   M.C.P.         E.M.S.",
      " Site         1   -289  -289 ",
      " Rep./Site    2   -10  -5 ",
      " Family       1   -81  -81   Ve + 2 Vsf + 4 Vf",
      " Site*Fam.    1   -1  -1   Ve + 2 Vsf",
      "   Error      2   -18  -9   Ve",
      " ",
      "  Estimate of variance components",
      " Family          -20 ",
      " Site*Family      4 ",
      " Exp. error      -9 ",
      " Phenotypic cor. = -1 ",
      " Family cor.     = -1 "};
  EXPECT_EQ(Section(lines, 63), scaled);
  scaled[1] = " Trait No  2   and Trait No  3 ";
  EXPECT_EQ(Section(lines, 78), scaled);
}

TEST(AnalysePairs, OneTraitWritesNoPairSection) {
  RunData run = BuildTrial(test::WorkedExampleTrees());
  SetCoefficients(run, 4, 2, 2);
  TempDir dir;
  EXPECT_EQ(AnalyseAll(run, dir).size(), 16u);
}

TEST(AnalysePairs, MissingEstimatesAreSaidInWords) {
  // Trait 1 the worked example (Vf = 10), trait 2 with families reversing
  // between the sites (Vf = -6), trait 3 one value everywhere (all M.S. 0).
  const float plots[4][6] = {{1, 1, 10, 14, 10, 14}, {1, 2, 12, 16, 12, 16},
                             {2, 1, 20, 22, 22, 21}, {2, 2, 18, 26, 24, 19}};
  std::vector<Tree> trees;
  for (const auto& p : plots)
    for (int f = 0; f < 2; ++f) trees.push_back({p[0], p[1], 101.0f + f, {p[2 + f], p[4 + f], 7.5f}});
  RunData run = BuildTrial(trees);
  SetCoefficients(run, 4, 2, 2);
  TempDir dir;
  const std::vector<std::string> lines = AnalyseAll(run, dir);
  ASSERT_EQ(lines.size(), 3 * 16 + 3 * 15u);

  const auto pair12 = Section(lines, 48), pair13 = Section(lines, 63), pair23 = Section(lines, 78);
  EXPECT_THAT(pair12[13], testing::StartsWith(" Phenotypic cor. = "));
  EXPECT_EQ(pair12[14], " No estimate for Family cor.") << "Vf of trait 2 is negative";
  EXPECT_EQ(pair13[13], " No estimate for Phenotypic cor.") << "trait 3 has a Family M.S. of 0";
  EXPECT_EQ(pair13[14], " No estimate for Family cor.") << "trait 3 has Vf = 0";
  EXPECT_EQ(pair23[13], " No estimate for Phenotypic cor.");
  EXPECT_EQ(pair23[14], " No estimate for Family cor.");
  EXPECT_EQ(run.vfByTrait[3], 0.0);
}

// An unbalanced trial of 60 to 150 trees whose values are centred, so that the
// reductions are not much larger than the sums of squares they give.
std::vector<Tree> UnbalancedTrial(std::mt19937& rng, float c, int extraTraits) {
  std::uniform_real_distribution<float> noise(-3.0f, 3.0f), chance(0.0f, 1.0f);
  std::uniform_int_distribution<int> blocks(2, 4), trees(1, 3);
  std::vector<float> familyEffect(9);
  for (float& e : familyEffect) e = 2 * noise(rng);
  std::vector<Tree> result;
  for (int s = 1; s <= 3; ++s) {
    const int nBlock = blocks(rng);
    for (int b = 1; b <= nBlock; ++b)
      for (int f = 1; f <= 8; ++f) {
        if (f > 1 && chance(rng) < 0.3f) continue;  // family 1 keeps every block linked
        for (int n = trees(rng); n > 0; --n) {
          const float v = std::round((static_cast<float>(s) + familyEffect[f] + noise(rng)) * 100) / 100;
          Tree tree{static_cast<float>(s), static_cast<float>(b), static_cast<float>(f), {v, c * v}};
          for (int k = 0; k < extraTraits; ++k) tree.values.push_back(std::round(noise(rng) * 100) / 100);
          result.push_back(tree);
        }
      }
  }
  std::shuffle(result.begin(), result.end(), rng);
  return result;
}

TEST(PairReductions, ScaledTraitScalesEveryLineOnUnbalancedData) {
  std::mt19937 rng(3);
  for (const float c : {3.0f, -0.7f, 1.0f}) {
    SCOPED_TRACE("c = " + std::to_string(c));
    const double k = c;
    RunData run = BuildTrial(UnbalancedTrial(rng, c, 0));
    SetCoefficients(run, 5.5f, 2.25f, 2.75);
    run.vfByTrait.assign(3, 0);
    run.msFamByTrait.assign(3, 0);
    const AbsorbedSystems systems = BuildAbsorbedSystems(run);
    const std::vector<double> yy = SolveAllTraits(run, systems);
    const SumsOfSquares ss = FormSumsOfSquares(run, TraitReductions(run, systems, yy[1], 1));
    const VarianceEstimates v = VarianceComponents(run, 1, ss);
    VarianceComponents(run, 2, FormSumsOfSquares(run, TraitReductions(run, systems, yy[2], 2)));
    const PairAnova p = PairReductions(run, 1, 2, RecordCrossProducts(run, 1)[2]);

    // Every S.C.P. is a difference of single-precision sums of at most a few
    // hundred terms, each no larger than |c| y'*y: 400 roundings of that.
    const double tol = 400 * kSingleEpsilon * std::fabs(k) * yy[1];
    EXPECT_NEAR(p.scpSite, k * ss.ssSite, tol);
    EXPECT_NEAR(p.scpRep, k * ss.ssRep, tol);
    EXPECT_NEAR(p.scpFamily, k * ss.ssFamily, tol);
    EXPECT_NEAR(p.scpSiteFam, k * ss.ssSiteFam, tol);
    EXPECT_NEAR(p.scpError, k * ss.ssError, tol);
    EXPECT_NEAR(p.mcpFamily, k * ss.msFamily, tol / run.dfFamily);
    EXPECT_NEAR(p.mcpError, k * ss.msError, tol / run.dfError);
    // The components divide by kF, kSF (more than 1) and add at most three terms.
    for (int i = 1; i <= 3; ++i) {
      EXPECT_NEAR(p.vcEst[i], k * static_cast<double>(v.vcEst[i]), 4 * tol) << "component " << i;
    }
    // Correlations of a trait with a multiple of itself: +-1 up to the
    // relative error of the family mean cross product.
    const double rP = static_cast<double>(p.mcpFamily) / std::sqrt(run.msFamByTrait[1] * run.msFamByTrait[2]);
    EXPECT_NEAR(rP, c > 0 ? 1 : -1, tol / (std::fabs(k) * run.dfFamily * ss.msFamily));
    ASSERT_GT(run.vfByTrait[1], 0) << "the trial is meant to have family variance";
    const double rF = p.vcEst[1] / std::sqrt(run.vfByTrait[1] * run.vfByTrait[2]);
    EXPECT_NEAR(rF, c > 0 ? 1 : -1, 4 * tol / (std::fabs(k) * run.vfByTrait[1]));
  }
}

TEST(RecordCrossProducts, ManyTraitsSumLikeOnePairAtATime) {
  // Eleven traits: the side-by-side sums run in groups of eight and a rest.
  std::mt19937 rng(5);
  RunData run = BuildTrial(UnbalancedTrial(rng, 2.0f, 9));
  ASSERT_EQ(run.nTrait, 11);
  for (int t1 = 1; t1 < run.nTrait; ++t1) {
    const std::vector<float> sums = RecordCrossProducts(run, t1);
    for (int t2 = t1 + 1; t2 <= run.nTrait; ++t2) {
      float expected = 0.0f;
      for (int r = 1; r <= run.nRecord; ++r) expected += run.traitValue(r, t1) * run.traitValue(r, t2);
      EXPECT_EQ(sums[t2], expected) << "traits " << t1 << " and " << t2;
    }
  }
}

}  // namespace
}  // namespace korvan
