#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "anova/trait_reductions.h"
#include "anova/variance_components.h"
#include "covariance/pair_reductions.h"
#include "format/number_format.h"
#include "support/test_support.h"
#include "support/trial_builder.h"

namespace korvan {
namespace {

using test::TempDir;
using test::Tree;
using ::testing::StartsWith;

// The spacing of single-precision numbers at 1.
constexpr double kSingleEpsilon = FLT_EPSILON;

TEST(RunCalculation, CopiedScaledAndEmptyTraitsGiveTheirSectionsInPairOrder) {
  // Traits 1 to 3: the worked example, a copy and -2 times it; a power of two
  // scales every single-precision step exactly, so their sections are exact
  // too. Trait 4 with families reversing between the sites, a balanced design
  // with Vf = (0.5 - 2 - 2 x 11.25) / 4 = -6 and h2 = -6 / (0.5 / 4) = -48;
  // trait 5 one value everywhere, so every mean square and estimate is 0.
  // The last record is of another age: not selected.
  const int plots[5][7] = {{1, 1, 20, 10, 14, 10, 14}, {1, 2, 20, 12, 16, 12, 16}, {2, 1, 20, 20, 22, 22, 21},
                           {2, 2, 20, 18, 26, 24, 19}, {2, 2, 30, 9, 9, 9, 9}};  // site, block, age, 2 x 2 values
  std::string data = ": worked example\r\n";
  for (const auto& p : plots) {
    for (int f = 0; f < 2; ++f) {
      data += std::to_string(p[0]) + " " + std::to_string(p[1]) + " 10" + std::to_string(1 + f) + " " +
              std::to_string(p[2]);
      for (int v : {p[3 + f], p[3 + f], -2 * p[3 + f], p[5 + f], 7})
        data += std::string(6 - std::to_string(v).size(), ' ') + std::to_string(v);
      data += "\r\n";
    }
  }
  TempDir dir;
  test::WriteFile(dir / "trial.dat", data);
  const auto result = test::RunCli({"--data", dir / "trial.dat", "--output", dir / "trial.out", "--quiet",
                                    "--sites", "2", "--blocks", "2", "--families", "2", "--records", "8",
                                    "--traits", "5", "--age", "20", "--site-col", "1,1", "--block-col", "3,1",
                                    "--family-col", "5,3", "--age-col", "9,2", "--trait-col", "11,6"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const std::vector<std::string> lines = test::ReadLines(dir / "trial.out");
  ASSERT_EQ(lines.size(), 2 + 5 * 16 + 10 * 15u);
  EXPECT_EQ(lines[1], " 1   2   ");
  // The k-th pair of (1, 2), (1, 3), (1, 4), (1, 5), (2, 3), .. (4, 5).
  const auto pair = [&](int k) { return std::vector(lines.begin() + 82 + 15 * k, lines.begin() + 97 + 15 * k); };

  const std::vector<std::string> copied = {
      " ", " Trait No  1   and Trait No  2 ",
      "  Source     d.f.    S.C.P.   M.C.P.         E.M.S.",
      " Site         1    144.5   144.5 ", " Rep./Site    2    5   2.5 ",
      " Family       1    40.5   40.5   Ve + 2 Vsf + 4 Vf", " Site*Fam.    1    .5   .5   Ve + 2 Vsf",
      "   Error      2    9   4.5   Ve",
      " ", "  Estimate of variance components",
      " Family           10 ", " Site*Family     -2 ", " Exp. error       4.5 ",
      " Phenotypic cor. =  1 ", " Family cor.     =  1 "};
  EXPECT_EQ(pair(0), copied);
  std::vector<std::string> scaled = {
      " ", " Trait No  1   and Trait No  3 ",
      "  Source     d.f.    S.C.P.   M.C.P.         E.M.S.",
      " Site         1   -289  -289 ", " Rep./Site    2   -10  -5 ",
      " Family       1   -81  -81   Ve + 2 Vsf + 4 Vf", " Site*Fam.    1   -1  -1   Ve + 2 Vsf",
      "   Error      2   -18  -9   Ve",
      " ", "  Estimate of variance components",
      " Family          -20 ", " Site*Family      4 ", " Exp. error      -9 ",
      " Phenotypic cor. = -1 ", " Family cor.     = -1 "};
  EXPECT_EQ(pair(1), scaled);
  scaled[1] = " Trait No  2   and Trait No  3 ";
  EXPECT_EQ(pair(4), scaled);

  // Trait 4: the value after the fixed text, up to the rounding of the
  // order-4 single-precision solutions (relative 16 * FLT_EPSILON).
  const auto valueAt = [&](std::size_t line, std::size_t at) {
    return TextToNumber(lines[line].substr(at, lines[line].find(' ', at + 1) - at));
  };
  EXPECT_THAT(lines[50 + 12], StartsWith(" Family          -"));
  EXPECT_NEAR(valueAt(50 + 12, 17), -6, 16 * kSingleEpsilon * 48);
  EXPECT_THAT(lines[50 + 15], StartsWith(" Family-mean heritability = -"));
  EXPECT_NEAR(valueAt(50 + 15, 28), -48, 16 * kSingleEpsilon * 48);
  // Trait 5.
  EXPECT_EQ(lines[66 + 7], " Family       1    0   0   Ve + 2 Vsf + 4 Vf");
  EXPECT_EQ(lines[66 + 15], " No estimate for Family-mean heritability");

  EXPECT_THAT(pair(2)[13], StartsWith(" Phenotypic cor. = "));
  EXPECT_EQ(pair(2)[14], " No estimate for Family cor.") << "Vf of trait 4 is negative";
  EXPECT_EQ(pair(3)[13], " No estimate for Phenotypic cor.") << "trait 5 has a Family M.S. of 0";
  EXPECT_EQ(pair(3)[14], " No estimate for Family cor.") << "trait 5 has Vf = 0";
  EXPECT_EQ(pair(9)[13], " No estimate for Phenotypic cor.");
  EXPECT_EQ(pair(9)[14], " No estimate for Family cor.");
}

TEST(ReduceAllPairs, ScaledTraitScalesEveryLineOnUnbalancedData) {
  std::mt19937 rng(3);
  for (const float c : {3.0f, -0.7f, 1.0f}) {
    SCOPED_TRACE("c = " + std::to_string(c));
    const double k = c;
    std::vector<Tree> trees = test::RandomTrial(rng, 2);
    for (Tree& tree : trees) tree.values[1] = c * tree.values[0];
    RunData run = test::BuildTrial(trees);
    test::SetCoefficients(run, 5.5f, 2.25f, 2.75);
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
    const std::pair<float, double> lines[] = {{p.scpSite, ss.ssSite}, {p.scpRep, ss.ssRep}, {p.scpFamily, ss.ssFamily},
                                              {p.scpSiteFam, ss.ssSiteFam}, {p.scpError, ss.ssError}};
    for (const auto& [scp, sumOfSquares] : lines) EXPECT_NEAR(scp, k * sumOfSquares, tol);
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
  std::size_t first = 2 + 6 * (93 + 14);
  for (int t1 = 1; t1 < 6; ++t1) {
    for (int t2 = t1 + 1; t2 <= 6; ++t2, first += 15) {
      EXPECT_EQ(lines[first + 1], " Trait No  " + std::to_string(t1) + "   and Trait No  " + std::to_string(t2) + " ");
      EXPECT_EQ(lines[first + 9], "  Estimate of variance components");
    }
  }
  for (const std::string& line : lines) {
    EXPECT_EQ(line.find("nan"), std::string::npos) << line;
    EXPECT_EQ(line.find("inf"), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace korvan
