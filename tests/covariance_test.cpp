#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "anova/trait_analysis.h"
#include "anova/trait_reductions.h"
#include "anova/variance_components.h"
#include "covariance/pair_analysis.h"
#include "covariance/pair_reductions.h"
#include "format/number_format.h"
#include "format/report_file.h"
#include "support/test_support.h"
#include "support/trial_builder.h"

namespace korvan {
namespace {

using test::BuildTrial;
using test::SetCoefficients;
using test::TempDir;
using test::Tree;
using ::testing::StartsWith;

// The spacing of single-precision numbers at 1.
constexpr double kSingleEpsilon = FLT_EPSILON;

// Both stages into one committed report; returns its lines.
std::vector<std::string> AnalyseAll(RunData& run, const TempDir& dir) {
  NullSink sink;
  ProgressLog log(sink);
  ReportFile report(dir / "trial.out");
  AnalyseTraits(run, log, report, ReduceAllTraits);
  AnalysePairs(run, log, report, ReduceAllPairs);
  report.Commit();
  return test::ReadLines(dir / "trial.out");
}

std::vector<std::string> Section(const std::vector<std::string>& lines, std::size_t first, std::size_t size) {
  const auto begin = lines.begin() + static_cast<std::ptrdiff_t>(std::min(first, lines.size()));
  return {begin, begin + static_cast<std::ptrdiff_t>(std::min(size, static_cast<std::size_t>(lines.end() - begin)))};
}

TEST(AnalysePairs, CopiedAndScaledTraitsGiveExactSectionsInPairOrder) {
  // Trait 2 copies trait 1 and trait 3 is -2 times it: a power of two scales
  // every single-precision step exactly, so the sections are exact too.
  RunData run = BuildTrial(test::WorkedExampleTrees({1.0f, 1.0f, -2.0f}));
  SetCoefficients(run, 4, 2, 2);
  TempDir dir;
  const std::vector<std::string> lines = AnalyseAll(run, dir);
  ASSERT_EQ(lines.size(), 3 * 16 + 3 * 15u);

  EXPECT_EQ(Section(lines, 48, 15), (std::vector<std::string>{
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
                                        " Family cor.     =  1 "}));
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
  EXPECT_EQ(Section(lines, 63, 15), scaled);
  scaled[1] = " Trait No  2   and Trait No  3 ";
  EXPECT_EQ(Section(lines, 78, 15), scaled);
}

TEST(AnalysePairs, MissingEstimatesAreSaidInWordsAndSignsKept) {
  // Trait 1 the worked example (Vf = 10); trait 2 with families reversing
  // between the sites, a balanced design with Vf = (0.5 - 2 - 2 x 11.25) / 4
  // = -6 and h2 = -6 / (0.5 / 4) = -48; trait 3 one value everywhere, so
  // every mean square and estimate is 0.
  const float plots[4][6] = {{1, 1, 10, 14, 10, 14}, {1, 2, 12, 16, 12, 16},
                             {2, 1, 20, 22, 22, 21}, {2, 2, 18, 26, 24, 19}};
  std::vector<Tree> trees;
  for (const auto& p : plots)
    for (int f = 0; f < 2; ++f) trees.push_back({p[0], p[1], 101.0f + static_cast<float>(f), {p[2 + f], p[4 + f], 7.5f}});
  RunData run = BuildTrial(trees);
  SetCoefficients(run, 4, 2, 2);
  TempDir dir;
  const std::vector<std::string> lines = AnalyseAll(run, dir);
  ASSERT_EQ(lines.size(), 3 * 16 + 3 * 15u);

  // Trait 2: the value after the fixed text, up to the rounding of the
  // order-4 single-precision solutions (relative 16 * FLT_EPSILON).
  const auto valueAt = [&](std::size_t line, std::size_t at) {
    return TextToNumber(lines[line].substr(at, lines[line].find(' ', at + 1) - at));
  };
  EXPECT_THAT(lines[16 + 12], StartsWith(" Family          -"));
  EXPECT_NEAR(valueAt(16 + 12, 17), -6, 16 * kSingleEpsilon * 48);
  EXPECT_THAT(lines[16 + 15], StartsWith(" Family-mean heritability = -"));
  EXPECT_NEAR(valueAt(16 + 15, 28), -48, 16 * kSingleEpsilon * 48);
  // Trait 3.
  EXPECT_EQ(lines[32 + 7], " Family       1    0   0   Ve + 2 Vsf + 4 Vf");
  EXPECT_EQ(lines[32 + 15], " No estimate for Family-mean heritability");

  const auto pair12 = Section(lines, 48, 15), pair13 = Section(lines, 63, 15), pair23 = Section(lines, 78, 15);
  EXPECT_THAT(pair12[13], StartsWith(" Phenotypic cor. = "));
  EXPECT_EQ(pair12[14], " No estimate for Family cor.") << "Vf of trait 2 is negative";
  EXPECT_EQ(pair13[13], " No estimate for Phenotypic cor.") << "trait 3 has a Family M.S. of 0";
  EXPECT_EQ(pair13[14], " No estimate for Family cor.") << "trait 3 has Vf = 0";
  EXPECT_EQ(pair23[13], " No estimate for Phenotypic cor.");
  EXPECT_EQ(pair23[14], " No estimate for Family cor.");
}

TEST(ReduceAllPairs, ScaledTraitScalesEveryLineOnUnbalancedData) {
  std::mt19937 rng(3);
  for (const float c : {3.0f, -0.7f, 1.0f}) {
    SCOPED_TRACE("c = " + std::to_string(c));
    const double k = c;
    std::vector<Tree> trees = test::RandomTrial(rng, 2);
    for (Tree& tree : trees) tree.values[1] = c * tree.values[0];
    RunData run = BuildTrial(trees);
    SetCoefficients(run, 5.5f, 2.25f, 2.75);
    run.vfByTrait.assign(3, 0);
    run.msFamByTrait.assign(3, 0);
    const std::vector<Reductions> r = ReduceAllTraits(run);
    const SumsOfSquares ss = FormSumsOfSquares(run, r[1]);
    const VarianceEstimates v = VarianceComponents(run, 1, ss);
    VarianceComponents(run, 2, FormSumsOfSquares(run, r[2]));
    const PairAnova p = ReduceAllPairs(run)[1][2];

    // Every S.C.P. is a difference of single-precision sums of at most a few
    // hundred terms, each no larger than |c| y'*y: 400 roundings of that.
    const double tol = 400 * kSingleEpsilon * std::fabs(k) * r[1].yy;
    EXPECT_NEAR(p.scpSite, k * ss.ssSite, tol);
    EXPECT_NEAR(p.scpRep, k * ss.ssRep, tol);
    EXPECT_NEAR(p.scpFamily, k * ss.ssFamily, tol);
    EXPECT_NEAR(p.scpSiteFam, k * ss.ssSiteFam, tol);
    EXPECT_NEAR(p.scpError, k * ss.ssError, tol);
    EXPECT_NEAR(p.mcpError, k * ss.msError, tol / run.dfError);
    // The components add at most three such quotients.
    for (int i = 1; i <= 3; ++i) EXPECT_NEAR(p.vcEst[i], k * static_cast<double>(v.vcEst[i]), 4 * tol) << i;
    const double rP = static_cast<double>(p.mcpFamily) / std::sqrt(run.msFamByTrait[1] * run.msFamByTrait[2]);
    EXPECT_NEAR(rP, c > 0 ? 1 : -1, tol / (std::fabs(k) * run.dfFamily * ss.msFamily));
    ASSERT_GT(run.vfByTrait[1], 0) << "the trial is meant to have family variance";
    const double rF = p.vcEst[1] / std::sqrt(run.vfByTrait[1] * run.vfByTrait[2]);
    EXPECT_NEAR(rF, c > 0 ? 1 : -1, 4 * tol / (std::fabs(k) * run.vfByTrait[1]));
  }
}

TEST(RunCalculation, MaizeTrialOfSixTraitsGivesFifteenPairSections) {
  const std::string data = test::SourcePath("examples/maize2010_6traits.dat");
  ASSERT_TRUE(std::filesystem::exists(data)) << data;
  TempDir dir;
  const auto result = test::RunCli({"--data", data, "--output", dir / "maize.out", "--quiet",
                                    "--sites", "10", "--blocks", "4", "--families", "93",
                                    "--records", "1765", "--traits", "6", "--age", "10",
                                    "--site-col", "1,4", "--block-col", "5,4", "--family-col", "9,6",
                                    "--age-col", "15,4", "--trait-col", "19,10"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const std::vector<std::string> lines = test::ReadLines(dir / "maize.out");
  // Head, six trait sections of 93 family lines and 14 more, 15 pairs of 15.
  ASSERT_EQ(lines.size(), 2 + 6 * (93 + 14) + 15 * 15u);
  const int pairs[15][2] = {{1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}, {2, 3}, {2, 4}, {2, 5},
                            {2, 6}, {3, 4}, {3, 5}, {3, 6}, {4, 5}, {4, 6}, {5, 6}};
  for (int k = 0; k < 15; ++k) {
    const std::size_t first = 2 + 6 * (93 + 14) + 15 * static_cast<std::size_t>(k);
    EXPECT_EQ(lines[first + 1], " Trait No  " + std::to_string(pairs[k][0]) + "   and Trait No  " +
                                    std::to_string(pairs[k][1]) + " ");
    EXPECT_EQ(lines[first + 9], "  Estimate of variance components");
  }
  for (const std::string& line : lines) {
    EXPECT_EQ(line.find("nan"), std::string::npos) << line;
    EXPECT_EQ(line.find("inf"), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace korvan
