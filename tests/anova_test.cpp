#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "anova/trait_analysis.h"
#include "anova/trait_reductions.h"
#include "anova/variance_components.h"
#include "format/number_format.h"
#include "format/report_file.h"
#include "input/korvan_error.h"
#include "linalg/invert_matrix.h"
#include "support/test_support.h"
#include "support/trial_builder.h"

namespace korvan {
namespace {

using test::BuildTrial;
using test::SetCoefficients;
using test::TempDir;
using test::Tree;
using ::testing::HasSubstr;

// The spacing of single-precision numbers at 1.
constexpr double kSingleEpsilon = FLT_EPSILON;

class RecordingSink : public ProgressSink {
 public:
  void WriteLine(std::string_view line) override { lines.emplace_back(line); }
  void Clear() override { ++clears; }
  std::vector<std::string> lines;
  int clears = 0;
};

// Runs the trait stage into a committed report and returns its lines.
std::vector<std::string> AnalyseToLines(RunData& run, RecordingSink& sink, const TempDir& dir) {
  ProgressLog log(sink);
  ReportFile report(dir / "trial.out");
  AnalyseTraits(run, log, report);
  report.Commit();
  return test::ReadLines(dir / "trial.out");
}

TEST(AnalyseTraits, WorkedExampleGivesTheReferenceLines) {
  RunData run = BuildTrial(test::WorkedExampleTrees());
  SetCoefficients(run, 4, 2, 2);
  RecordingSink sink;
  TempDir dir;
  const std::vector<std::string> report = AnalyseToLines(run, sink, dir);

  const std::vector<std::string> progress = {
      " R(u,r)          =  2530 ",   " R(u,f)          =  2421 ",
      " R(u,sf)         =  2566 ",   "R(r)=  144.5 ",
      " R(u,s,f)        =  2565.5 ", "R(r)=  149.5 ",
      " R(u,s,r,f)      =  2570.5 ", "R(r)=  5 ",
      " R(u,s,r,sf)     =  2571 ",   " y'*y            =  2580 "};
  EXPECT_EQ(sink.lines, progress);
  const std::vector<std::string> expected = {
      "  101    15 ",
      "  102    19.5 ",
      " ",
      " Trait No  1 ",
      "  Source     d.f.   S.S.   M.S.           E.M.S.",
      " Site         1    144.5   144.5 ",
      " Rep./Site    2    5   2.5 ",
      " Family       1    40.5   40.5   Ve + 2 Vsf + 4 Vf",
      " Site*Fam.    1    .5   .5   Ve + 2 Vsf",
      "   Error      2   9   4.5   Ve",
      " ",
      "  Estimate of variance components",
      " Family           10    8.26765787068301 ",
      " Site*Family     -2    1.60403137957668 ",
      " Exp. error       4.5    3.18198051533946 ",
      " Family-mean heritability =  .987654320987654 "};
  EXPECT_EQ(report, expected);
  EXPECT_EQ(test::ReadFile(dir / "trial.out").find("\r\n"), expected[0].size()) << "lines end CR LF";

  // What the pair stage will read. The solutions are the design's up to one
  // rounding per elimination step of an order-4 system: 4 * 4 * kSingleEpsilon.
  const double tolerance = 16 * kSingleEpsilon * 5.25;
  const double solRF[] = {-5.25, -3.25, 3.75, 4.75};
  for (int j = 1; j <= 4; ++j) EXPECT_NEAR(run.solRF(j, 1), solRF[j - 1], tolerance) << "block " << j;
  EXPECT_NEAR(run.solSF(1, 1), -4.25, tolerance);
  EXPECT_NEAR(run.solSF(2, 1), 4.25, tolerance);
  EXPECT_EQ(run.vfByTrait[1], 10.0);
  EXPECT_EQ(run.msFamByTrait[1], 40.5);
  EXPECT_EQ(run.famCnt[2], 4.0f);
  EXPECT_EQ(run.sfTot(4, 1), 48.0f) << "site 2, family 102: 22 + 26";
}

TEST(VarianceComponents, WorkedExampleInverseAndSamplingVariances) {
  RunData run = BuildTrial(test::WorkedExampleTrees());
  SetCoefficients(run, 4, 2, 2);
  run.vfByTrait.assign(2, 0);
  run.msFamByTrait.assign(2, 0);
  SumsOfSquares ss;
  ss.msFamily = 40.5;
  ss.msSiteFam = 0.5;
  ss.msError = 4.5;
  const VarianceEstimates e = VarianceComponents(run, 1, ss);

  const float emsInv[4][4] = {{}, {0, 0.25f, -0.25f, 0}, {0, 0, 0.5f, -0.5f}, {0, 0, 0, 1}};
  for (int i = 1; i <= 3; ++i) {
    for (int k = 1; k <= 3; ++k) EXPECT_EQ(e.emsInv[i][k], emsInv[i][k]) << "emsInv(" << i << "," << k << ")";
  }
  EXPECT_EQ(e.vcEst[1], 10.0f);
  EXPECT_EQ(e.vcEst[2], -2.0f);
  EXPECT_EQ(e.vcEst[3], 4.5f);
  // The sums are of three exact terms divided once each: a few double roundings.
  EXPECT_NEAR(e.vcVar[1], 1640.5 / 24, 4 * DBL_EPSILON * 70);
  EXPECT_NEAR(e.vcVar[2], 0.125 / 3 + 20.25 / 8, 4 * DBL_EPSILON * 3);
  EXPECT_EQ(e.vcVar[3], 10.125);
}

// ---------------------------------------------------------------------------
// The per-trait rebuild, dense and step by step as the method is written:
// counts over every pair of levels, the absorption summed over every level of
// the absorbed factor, one InvertMatrix per trait. The fast path must give
// the same bits.

int LevelsOf(const RunData& run, int k) { return run.colOffset[k + 1] - run.colOffset[k]; }
int Local(const RunData& run, int record, int k) { return run.recordColumn(record, k) - run.colOffset[k]; }

Table2<float> DenseCounts(const RunData& run, int a, int b) {
  Table2<float> c(LevelsOf(run, a), LevelsOf(run, b));
  for (int r = 1; r <= run.nRecord; ++r) c(Local(run, r, a), Local(run, r, b)) += 1.0f;
  return c;
}

std::vector<float> DenseLevelCounts(const RunData& run, int k) {
  std::vector<float> n(LevelsOf(run, k) + 1, 0.0f);
  for (int r = 1; r <= run.nRecord; ++r) n[Local(run, r, k)] += 1.0f;
  return n;
}

std::vector<float> DenseTotals(const RunData& run, int k, int t) {
  std::vector<float> total(LevelsOf(run, k) + 1, 0.0f);
  for (int r = 1; r <= run.nRecord; ++r) total[Local(run, r, k)] += run.traitValue(r, t);
  return total;
}

Table2<float> DenseAbsorb(const RunData& run, int a, int b, bool perSite) {
  const int nA = LevelsOf(run, a), nB = LevelsOf(run, b);
  const Table2<float> own = DenseCounts(run, a, a);
  const Table2<float> n = DenseCounts(run, a, b);
  const std::vector<float> lc = DenseLevelCounts(run, b);
  Table2<float> absorbed(nA, nA);
  for (int i = 1; i <= nA; ++i) {
    for (int j = 1; j <= nA; ++j) {
      const bool one = !perSite || run.repSite[run.repOffset + i] == run.repSite[run.repOffset + j];
      const float base = own(i, j) + (one ? 1.0f : 0.0f);
      float acc = 0.0f;
      for (int k = 1; k <= nB; ++k) {
        acc = RoundToSingle(static_cast<double>(n(i, k)) * static_cast<double>(n(j, k)) /
                                static_cast<double>(lc[k]) + static_cast<double>(acc));
      }
      absorbed(i, j) = base - acc;
    }
  }
  return absorbed;
}

struct ReferenceSystem {
  std::vector<float> rhs, sol;  // 1..nA
  float rr = 0;                 // R(r)
  Table2<float> counts;         // N_ab
};

ReferenceSystem ReferenceAbsorbedReduction(const RunData& run, int a, int b, bool perSite, int t) {
  ReferenceSystem s;
  const int nA = LevelsOf(run, a), nB = LevelsOf(run, b);
  s.counts = DenseCounts(run, a, b);
  const std::vector<float> lc = DenseLevelCounts(run, b);
  const std::vector<float> absTotal = DenseTotals(run, b, t);
  const std::vector<float> keptTotal = DenseTotals(run, a, t);
  const Table2<float> absorbed = DenseAbsorb(run, a, b, perSite);
  Table2<float> invMat(nA, nA + 1);
  s.rhs.assign(nA + 1, 0.0f);
  for (int i = 1; i <= nA; ++i) {
    float sum = 0.0f;
    for (int j = 1; j <= nB; ++j) sum += (s.counts(i, j) * absTotal[j]) / lc[j];
    s.rhs[i] = keptTotal[i] - sum;
    for (int j = 1; j <= nA; ++j) invMat(i, j) = absorbed(i, j);
    invMat(i, nA + 1) = s.rhs[i];
  }
  std::vector<float> rowSwap(nA + 2), colSwap(nA + 2);
  InvertMatrix(invMat, nA, rowSwap, colSwap);
  s.sol.assign(nA + 1, 0.0f);
  for (int i = 1; i <= nA; ++i) {
    s.sol[i] = invMat(i, nA + 1);
    s.rr += s.rhs[i] * s.sol[i];
  }
  return s;
}

std::uint32_t Bits(float x) { return std::bit_cast<std::uint32_t>(x); }

void ExpectSameBits(const std::vector<float>& expected, const Table2<float>& actual, int t,
                    const char* what) {
  ASSERT_EQ(static_cast<int>(expected.size()) - 1, actual.LastRow()) << what;
  for (int j = 1; j < static_cast<int>(expected.size()); ++j) {
    EXPECT_EQ(Bits(expected[j]), Bits(actual(j, t)))
        << what << "(" << j << ", " << t << "): expected " << expected[j] << ", got " << actual(j, t);
  }
}

// Sites with 2 to 4 blocks, families planted at some sites only, plots
// missing and of 1 to 3 trees, values of both signs. Family 1 stands in every
// block so that every system is connected.
std::vector<Tree> RandomTrial(std::mt19937& rng, int nTrait) {
  std::uniform_int_distribution<int> sites(2, 4), blocks(2, 4), families(5, 9), trees(1, 3);
  std::uniform_real_distribution<float> value(-40.0f, 60.0f), chance(0.0f, 1.0f);
  const int nSite = sites(rng), nFamily = families(rng);
  std::vector<std::vector<bool>> planted(nSite, std::vector<bool>(nFamily + 1));
  for (auto& site : planted) {
    for (int f = 1; f <= nFamily; ++f) site[f] = f == 1 || chance(rng) < 0.7f;
  }
  std::vector<Tree> result;
  for (int s = 0; s < nSite; ++s) {
    const int nBlock = blocks(rng);
    for (int b = 1; b <= nBlock; ++b) {
      for (int f = 1; f <= nFamily; ++f) {
        if (!planted[s][f] || (f > 1 && chance(rng) < 0.25f)) continue;
        for (int n = trees(rng); n > 0; --n) {
          Tree tree{static_cast<float>(10 * (s + 1)), static_cast<float>(b), static_cast<float>(100 + f), {}};
          for (int t = 0; t < nTrait; ++t) tree.values.push_back(std::round(value(rng) * 100) / 100);
          result.push_back(tree);
        }
      }
    }
  }
  std::shuffle(result.begin(), result.end(), rng);  // record order decides the float sums
  return result;
}

TEST(SolveAllTraits, SameBitsAsThePerTraitRebuild) {
  std::mt19937 rng(20240611);
  for (int trial = 0; trial < 12; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    RunData run = BuildTrial(RandomTrial(rng, 3));
    const AbsorbedSystems systems = BuildAbsorbedSystems(run);
    const std::vector<double> yy = SolveAllTraits(run, systems);
    for (int t = 1; t <= run.nTrait; ++t) {
      const ReferenceSystem sf = ReferenceAbsorbedReduction(run, 2, 4, false, t);
      const ReferenceSystem rf = ReferenceAbsorbedReduction(run, 3, 4, false, t);
      const ReferenceSystem rsf = ReferenceAbsorbedReduction(run, 3, 5, true, t);
      ExpectSameBits(sf.rhs, run.rhsSF, t, "rhsSF");
      ExpectSameBits(sf.sol, run.solSF, t, "solSF");
      ExpectSameBits(rf.rhs, run.rhsRF, t, "rhsRF");
      ExpectSameBits(rf.sol, run.solRF, t, "solRF");
      ExpectSameBits(rsf.rhs, run.rhsRSF, t, "rhsRSF");
      ExpectSameBits(rsf.sol, run.solRSF, t, "solRSF");
      ExpectSameBits(DenseTotals(run, 3, t), run.repTot, t, "repTot");
      ExpectSameBits(DenseTotals(run, 4, t), run.famTot, t, "famTot");
      ExpectSameBits(DenseTotals(run, 5, t), run.sfTot, t, "sfTot");
      EXPECT_EQ(run.sfCnt, DenseLevelCounts(run, 5));

      const Reductions r = TraitReductions(run, systems, yy[t], t);
      EXPECT_EQ(Bits(r.rSiteF), Bits(sf.rr)) << r.rSiteF << " vs " << sf.rr;
      EXPECT_EQ(Bits(r.rRepF), Bits(rf.rr)) << r.rRepF << " vs " << rf.rr;
      EXPECT_EQ(Bits(r.rRepCell), Bits(rsf.rr)) << r.rRepCell << " vs " << rsf.rr;
      // Family constants from the dense counts, every block visited.
      const std::vector<float> famTot = DenseTotals(run, 4, t), famCnt = DenseLevelCounts(run, 4);
      for (int j = 1; j <= run.nFamily; ++j) {
        float a = 0.0f;
        for (int i = 1; i <= run.nRep; ++i) a += rf.counts(i, j) * rf.sol[i];
        const float famConst = (famTot[j] - a) / famCnt[j];
        EXPECT_EQ(Bits(r.famConst[j]), Bits(famConst)) << "family " << j << ": " << r.famConst[j] << " vs " << famConst;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Sums of squares against least squares done independently, in double, by
// projecting the records onto the columns of each sub-model.

double ProjectionReduction(const RunData& run, const std::vector<int>& factors, int t) {
  std::vector<std::vector<double>> basis;
  std::vector<double> y(run.nRecord);
  for (int r = 1; r <= run.nRecord; ++r) y[r - 1] = run.traitValue(r, t);
  for (int k : factors) {
    for (int level = 1; level <= LevelsOf(run, k); ++level) {
      std::vector<double> v(run.nRecord);
      for (int r = 1; r <= run.nRecord; ++r) v[r - 1] = Local(run, r, k) == level ? 1.0 : 0.0;
      const double norm0 = std::sqrt(std::inner_product(v.begin(), v.end(), v.begin(), 0.0));
      for (int pass = 0; pass < 2; ++pass) {  // twice: classical Gram-Schmidt loses orthogonality
        for (const auto& q : basis) {
          const double d = std::inner_product(q.begin(), q.end(), v.begin(), 0.0);
          for (int r = 0; r < run.nRecord; ++r) v[r] -= d * q[r];
        }
      }
      const double norm = std::sqrt(std::inner_product(v.begin(), v.end(), v.begin(), 0.0));
      if (norm < 1e-9 * norm0) continue;  // a column the earlier ones already span
      for (double& x : v) x /= norm;
      basis.push_back(std::move(v));
    }
  }
  double reduction = 0;
  for (const auto& q : basis) {
    const double d = std::inner_product(q.begin(), q.end(), y.begin(), 0.0);
    reduction += d * d;
  }
  return reduction;
}

TEST(FormSumsOfSquares, UnbalancedTrialAgreesWithProjections) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 6; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    RunData run = BuildTrial(RandomTrial(rng, 1));
    const AbsorbedSystems systems = BuildAbsorbedSystems(run);
    const std::vector<double> yy = SolveAllTraits(run, systems);
    const SumsOfSquares ss = FormSumsOfSquares(run, TraitReductions(run, systems, yy[1], 1));

    const double rUR = ProjectionReduction(run, {1, 3}, 1);
    const double rUSRF = ProjectionReduction(run, {1, 2, 3, 4}, 1);
    const double rUSRCell = ProjectionReduction(run, {1, 2, 3, 5}, 1);
    // The program's reductions are single-precision sums of at most a few
    // hundred terms, none larger than y'*y: 100 roundings of y'*y bound them.
    const double tolerance = 100 * kSingleEpsilon * yy[1];
    EXPECT_NEAR(ss.ssFamily, rUSRF - rUR, tolerance);
    EXPECT_NEAR(ss.ssSiteFam, rUSRCell - rUSRF, tolerance);
    EXPECT_NEAR(ss.ssError, yy[1] - rUSRCell, tolerance);
    EXPECT_NEAR(ss.ssSite, ProjectionReduction(run, {1, 2, 4}, 1) - ProjectionReduction(run, {1, 4}, 1),
                tolerance);
  }
}

TEST(FormSumsOfSquares, BalancedLinesAddUpToTheCorrectedTotal) {
  // 3 sites x 3 blocks x 4 families x 2 trees, values with two decimals.
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> value(5.0f, 25.0f);
  std::vector<Tree> trees;
  double sum = 0;
  for (int s = 1; s <= 3; ++s)
    for (int b = 1; b <= 3; ++b)
      for (int f = 1; f <= 4; ++f)
        for (int n = 0; n < 2; ++n) {
          const float v = std::round(value(rng) * 100) / 100;
          trees.push_back({static_cast<float>(s), static_cast<float>(b), static_cast<float>(f), {v}});
          sum += static_cast<double>(v);
        }
  RunData run = BuildTrial(trees);
  const AbsorbedSystems systems = BuildAbsorbedSystems(run);
  const std::vector<double> yy = SolveAllTraits(run, systems);
  const SumsOfSquares ss = FormSumsOfSquares(run, TraitReductions(run, systems, yy[1], 1));
  const double corrected = yy[1] - sum * sum / run.nRecord;
  // Reductions near y'*y (about 2.2E+04) carry single-precision rounding.
  EXPECT_NEAR(ss.ssSite + ss.ssRep + ss.ssFamily + ss.ssSiteFam + ss.ssError, corrected,
              100 * kSingleEpsilon * yy[1]);
  EXPECT_EQ(run.dfError, 72 - 12 - 9 + 3);
}

// ---------------------------------------------------------------------------
// What the report says when an estimate does not exist or cannot be written.

TEST(AnalyseTraits, EstimatesKeepTheirSignAndAZeroFamilyMeanSquareHasNoHeritability) {
  // Trait 1: families reverse their ranking between the sites, so Vf < 0.
  // Trait 2: the same value everywhere, so every mean square is exactly 0.
  const float plots[4][4] = {{1, 1, 10, 14}, {1, 2, 12, 16}, {2, 1, 22, 21}, {2, 2, 24, 19}};
  std::vector<Tree> trees;
  for (const auto& plot : plots)
    for (int f = 0; f < 2; ++f) trees.push_back({plot[0], plot[1], 101.0f + f, {plot[2 + f], 7.5f}});
  RunData run = BuildTrial(trees);
  SetCoefficients(run, 4, 2, 2);
  RecordingSink sink;
  TempDir dir;
  const std::vector<std::string> report = AnalyseToLines(run, sink, dir);

  ASSERT_EQ(report.size(), 32u);
  // Balanced: Vf = (0.5 - 2 - 2 x 11.25) / 4 = -6, h2 = -6 / (0.5 / 4) = -48,
  // each up to the rounding of an order-4 single-precision solution.
  const auto valueAfter = [](const std::string& line, std::size_t at) {
    return TextToNumber(line.substr(at, line.find(' ', at + 1) - at));
  };
  EXPECT_THAT(report[12], testing::StartsWith(" Family          -"));
  EXPECT_NEAR(valueAfter(report[12], 17), -6, 1e-4);
  EXPECT_THAT(report[15], testing::StartsWith(" Family-mean heritability = -"));
  EXPECT_NEAR(valueAfter(report[15], 28), -48, 1e-3);

  EXPECT_EQ(report[16 + 7], " Family       1    0   0   Ve + 2 Vsf + 4 Vf");
  EXPECT_EQ(report[16 + 12], " Family           0    0 ");
  EXPECT_EQ(report[16 + 15], " No estimate for Family-mean heritability");
  EXPECT_EQ(sink.lines.size(), 20u);
  EXPECT_EQ(run.msFamByTrait[2], 0.0);
}

TEST(AnalyseTraits, OverflowStopsTheRunAndLeavesTheOldReport) {
  // Trait 2's block totals pass the single-precision range (3.4E+38).
  std::vector<Tree> trees = test::WorkedExampleTrees({1.0f, 1e37f});
  RunData run = BuildTrial(trees);
  SetCoefficients(run, 4, 2, 2);
  TempDir dir;
  test::WriteFile(dir / "trial.out", "the old report\r\n");
  RecordingSink sink;
  ProgressLog log(sink);
  {
    ReportFile report(dir / "trial.out");
    EXPECT_THAT([&] { AnalyseTraits(run, log, report); },
                testing::ThrowsMessage<KorvanError>(testing::AllOf(
                    HasSubstr("trait 2"), HasSubstr("R(u,r)"), HasSubstr("not a finite number"))));
  }
  EXPECT_EQ(test::ReadFile(dir / "trial.out"), "the old report\r\n");
  EXPECT_EQ(sink.lines.size(), 10u) << "trait 1 was shown in full";
}

TEST(AnalyseTraits, DesignsWithoutDegreesOfFreedomAreRefusedBeforeAnyTrait) {
  // One block per site: no Rep./Site line.
  std::vector<Tree> trees;
  for (const Tree& tree : test::WorkedExampleTrees())
    if (tree.block == 1) trees.push_back(tree);
  RunData run = BuildTrial(trees);
  SetCoefficients(run, 2, 1, 1);
  RecordingSink sink;
  ProgressLog log(sink);
  TempDir dir;
  ReportFile report(dir / "trial.out");
  EXPECT_THAT([&] { AnalyseTraits(run, log, report); },
              testing::ThrowsMessage<KorvanError>(
                  testing::AllOf(HasSubstr("trial.dat"), HasSubstr("Rep./Site"), HasSubstr("single block"))));
  EXPECT_TRUE(sink.lines.empty());
}

TEST(SolveAllTraits, BlocksUnlinkedWithinTheirSiteNameTheEquations) {
  // At site 10, block 1 holds only family 1 and block 2 only family 2: the
  // families link them through site 20, but no site x family cell does.
  std::vector<Tree> trees = {
      {10, 1, 1, {3}}, {10, 1, 1, {4}}, {10, 2, 2, {5}}, {10, 2, 2, {6}},
      {20, 1, 1, {7}}, {20, 1, 2, {8}}, {20, 2, 1, {9}}, {20, 2, 2, {1}},
  };
  RunData run = BuildTrial(trees);
  const AbsorbedSystems systems = BuildAbsorbedSystems(run);
  EXPECT_THAT([&] { SolveAllTraits(run, systems); },
              testing::ThrowsMessage<KorvanError>(testing::AllOf(
                  HasSubstr("site x family cells absorbed are singular"), HasSubstr("of site 10"))));
}

}  // namespace
}  // namespace korvan
