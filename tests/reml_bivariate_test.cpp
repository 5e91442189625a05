#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <Eigen/Dense>

#include "base/korvan_error.h"
#include "reml/bivariate.h"
#include "reml/reml.h"
#include "support/reml_tree_list.h"
#include "support/test_support.h"

namespace korvan {
namespace {

using test::SourcePath;
using ::testing::HasSubstr;

using test::TreeList;

// The examples' fixed columns: site 1-4, block 5-8, family 9-14, age, then
// traits of width 10 from 19.
TreeList ReadFixedColumns(const std::string& path, int nTrait) {
  TreeList list(nTrait);
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::vector<double> values;
    for (int t = 0; t < nTrait; ++t) {
      const std::string field = line.size() > 18u + 10u * t ? line.substr(18 + 10 * t, 10) : "";
      values.push_back(field.find_first_not_of(' ') == std::string::npos ? kNotAvailable : std::stod(field));
    }
    list.Add(std::stoi(line.substr(0, 4)), std::stoi(line.substr(4, 4)), std::stoi(line.substr(8, 6)), values);
  }
  return list;
}

// Normal deviates from the standard engine's bits by Box-Muller, so that
// the data are the same with every standard library.
class Normal {
 public:
  explicit Normal(std::uint32_t seed) : rng_(seed) {}
  double operator()() {
    const double u1 = (static_cast<double>(rng_()) + 1) / 4294967297.0;
    const double u2 = static_cast<double>(rng_()) / 4294967296.0;
    return std::sqrt(-2 * std::log(u1)) * std::cos(6.283185307179586 * u2);
  }
  std::mt19937& Engine() { return rng_; }

 private:
  std::mt19937 rng_;
};

// Two correlated traits of sites x blocks x families x trees: a site, block,
// family, cell and tree effect each, the traits' effects mixed by `mix` so
// that each term has its own correlation. `keep(site, block, family, tree)`
// drops trees for an unbalanced design; `familyScale` scales the family
// effects.
template <class Keep>
TreeList GeneratedPair(std::uint32_t seed, int sites, int blocks, int families, int perPlot, Keep keep,
                        double familyScale = 1) {
  Normal normal(seed);
  auto pair = [&](double sd1, double sd2, double r) {
    const double a = normal(), b = normal();
    return Eigen::Vector2d(sd1 * a, sd2 * (r * a + std::sqrt(1 - r * r) * b));
  };
  std::vector<Eigen::Vector2d> family(static_cast<std::size_t>(families));
  for (auto& f : family) f = familyScale * pair(2.0, 3.0, 0.6);
  TreeList list(2);
  for (int s = 0; s < sites; ++s) {
    const Eigen::Vector2d site = pair(5, 5, 0);
    std::vector<Eigen::Vector2d> cell(static_cast<std::size_t>(families));
    for (auto& c : cell) c = pair(1.2, 1.5, -0.3);
    for (int b = 0; b < blocks; ++b) {
      const Eigen::Vector2d block = pair(2, 2, 0.5);
      for (int f = 0; f < families; ++f)
        for (int t = 0; t < perPlot; ++t) {
          const Eigen::Vector2d y = Eigen::Vector2d(50, 20) + site + block + family[f] + cell[f] + pair(4, 5, 0.4);
          if (keep(s, b, f, t)) list.Add(s + 1, b + 1, f + 1, {y[0], y[1]});
        }
    }
  }
  return list;
}

Eigen::Matrix2d AsMatrix(const CovarianceMatrix& m) {
  Eigen::Matrix2d k;
  k << m.v11, m.v12, m.v12, m.v22;
  return k;
}

CovarianceMatrix Diagonal(double v1, double v2) {
  CovarianceMatrix m;
  m.v11 = v1, m.v12 = 0, m.v22 = v2;
  return m;
}

// Entries against the scale of their variances: a covariance near 0 is
// measured against sqrt(v_ii v_jj), not against itself.
void ExpectMatrixNear(const Eigen::Matrix2d& actual, const Eigen::Matrix2d& expected, double relative,
                      const std::string& what) {
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j)
      EXPECT_NEAR(actual(i, j), expected(i, j), relative * std::sqrt(expected(i, i) * expected(j, j)))
          << what << " (" << i + 1 << "," << j + 1 << ")";
}

// At covariances of 0 the pair's likelihood is the product of the traits':
// the univariate engine's maximum, on the same trees with their own missing
// values, read back through the pair's equations.
TEST(PairLogLikelihood, FactorisesAtZeroCovariances) {
  TreeList maize = ReadFixedColumns(SourcePath("examples/maize2010_6traits.dat"), 6);
  RemlTrees& trees = maize.Trees();
  // Different gaps in the two traits: trees with one trait, with the other,
  // and a block where the second is missing altogether.
  for (int t = 0; t < trees.Trees(); ++t) {
    if (t % 7 == 3) trees.value[1][t] = kNotAvailable;
    if (t % 5 == 1 || trees.block[t] == 2) trees.value[4][t] = kNotAvailable;
  }
  for (const auto& [a, b] : {std::pair{1, 4}, std::pair{0, 5}, std::pair{2, 3}}) {
    const UnivariateFit fa = FitTrait(trees, a, RemlOptions{}), fb = FitTrait(trees, b, RemlOptions{});
    ASSERT_EQ(fa.status, FitStatus::kConverged);
    ASSERT_EQ(fb.status, FitStatus::kConverged);
    auto zeroIfAbsent = [](double v) { return std::isfinite(v) ? v : 0.0; };
    const CovarianceMatrix family = Diagonal(fa.vf.value, fb.vf.value);
    const CovarianceMatrix cell = Diagonal(zeroIfAbsent(fa.vsf.value), zeroIfAbsent(fb.vsf.value));
    const CovarianceMatrix error = Diagonal(fa.ve.value, fb.ve.value);
    const double sum = fa.logLikelihood + fb.logLikelihood;
    // Two factorisations of some hundred equations, each rounding to a few
    // units in the last place of the log-determinant: 1e-11 of the total.
    EXPECT_NEAR(PairLogLikelihood(trees, a, b, family, cell, error), sum, 1e-11 * std::abs(sum))
        << "traits " << a + 1 << " and " << b + 1;
    // Freeing the covariances can only raise it.
    const BivariateFit fit = FitTraitPair(trees, a, b, RemlOptions{}, &fa, &fb);
    EXPECT_EQ(fit.status, FitStatus::kConverged) << fit.note;
    EXPECT_GE(fit.logLikelihood, sum - 1e-9 * std::abs(sum));
  }
}

// REML with unstructured matrices is invariant under a linear map of the
// traits: the estimates of A y are A V A', and the log-likelihood falls by
// (n - p) log|A| for each trait's n trees and p blocks.
TEST(FitTraitPair, EstimatesTransformWithTheTraits) {
  // Unbalanced: plots of 1 to 3 trees, some cells missing altogether.
  TreeList first = GeneratedPair(11, 4, 3, 25, 3, [](int s, int b, int f, int t) {
    return t < 1 + (s + 2 * b + f) % 3 && (s * 7 + f) % 9 != 4;
  });
  RemlTrees& trees = first.Trees();
  RemlTrees mapped = trees;
  for (int t = 0; t < trees.Trees(); ++t) mapped.value[1][t] = trees.value[0][t] + 2 * trees.value[1][t];
  const BivariateFit fit = FitTraitPair(trees, 0, 1, RemlOptions{});
  const BivariateFit fitMapped = FitTraitPair(mapped, 0, 1, RemlOptions{});
  ASSERT_EQ(fit.status, FitStatus::kConverged) << fit.note;
  ASSERT_EQ(fitMapped.status, FitStatus::kConverged) << fitMapped.note;
  ASSERT_FALSE(fit.family.atBoundary || fit.cell.atBoundary);
  Eigen::Matrix2d a;
  a << 1, 0, 1, 2;
  ExpectMatrixNear(AsMatrix(fitMapped.family), a * AsMatrix(fit.family) * a.transpose(), 1e-6, "family");
  ExpectMatrixNear(AsMatrix(fitMapped.cell), a * AsMatrix(fit.cell) * a.transpose(), 1e-6, "cell");
  ExpectMatrixNear(AsMatrix(fitMapped.error), a * AsMatrix(fit.error) * a.transpose(), 1e-6, "error");
  const int n = trees.Trees(), p = trees.nBlock;
  EXPECT_NEAR(fitMapped.logLikelihood, fit.logLikelihood - (n - p) * std::log(2.0), 1e-9 * std::abs(fit.logLikelihood));
  // The sampling variance of the first trait's variance is untouched by a
  // map that leaves that trait alone.
  EXPECT_NEAR(fitMapped.family.se11, fit.family.se11, 1e-4 * fit.family.se11);
}

// The balanced trial's mean cross products of families, cells and trees,
// solved through their expected values.
struct MomentEstimates {
  Eigen::Matrix2d family, cell, error;
};

MomentEstimates AnovaOfBalancedPair(const RemlTrees& trees, int s, int b, int f, int n) {
  using Vector = Eigen::Vector2d;
  auto means = [](int count) { return std::vector<Vector>(static_cast<std::size_t>(count), Vector::Zero()); };
  std::vector<Vector> block = means(s * b), site = means(s), family = means(f), cell = means(s * f);
  Vector grand = Vector::Zero();
  auto y = [&](int t) { return Vector(trees.value[0][t], trees.value[1][t]); };
  for (int t = 0; t < trees.Trees(); ++t) {
    block[trees.block[t]] += y(t) / (f * n);
    site[trees.site[t]] += y(t) / (b * f * n);
    family[trees.family[t]] += y(t) / (s * b * n);
    cell[trees.site[t] * f + trees.family[t]] += y(t) / (b * n);
    grand += y(t) / trees.Trees();
  }
  Eigen::Matrix2d ssF = Eigen::Matrix2d::Zero(), ssSF = Eigen::Matrix2d::Zero(), ssE = Eigen::Matrix2d::Zero();
  for (int j = 0; j < f; ++j) ssF += s * b * n * (family[j] - grand) * (family[j] - grand).transpose();
  for (int i = 0; i < s; ++i)
    for (int j = 0; j < f; ++j) {
      const Vector d = cell[i * f + j] - site[i] - family[j] + grand;
      ssSF += b * n * d * d.transpose();
    }
  for (int t = 0; t < trees.Trees(); ++t) {
    const Vector d = y(t) - block[trees.block[t]] - cell[trees.site[t] * f + trees.family[t]] + site[trees.site[t]];
    ssE += d * d.transpose();
  }
  const Eigen::Matrix2d msF = ssF / (f - 1), msSF = ssSF / ((s - 1) * (f - 1));
  const Eigen::Matrix2d msE = ssE / (trees.Trees() - s * b - s * (f - 1));
  return {(msF - msSF) / (s * b * n), (msSF - msE) / (b * n), msE};
}

// Balanced data whose moment estimates are all positive definite: REML is
// the analysis of variance, entry by entry, and its standard errors are
// those of the mean cross products.
TEST(FitTraitPair, BalancedTrialGivesTheAnovaComponents) {
  const int s = 3, b = 4, f = 15, n = 2;
  auto all = [](int, int, int, int) { return true; };
  // The first seed whose moment estimates are all inside the cone.
  std::uint32_t seed = 1;
  auto inside = [&](std::uint32_t at) {
    TreeList trial = GeneratedPair(at, s, b, f, n, all);
    const MomentEstimates m = AnovaOfBalancedPair(trial.Trees(), s, b, f, n);
    return m.family.determinant() > 0 && m.family(0, 0) > 0 && m.cell.determinant() > 0 && m.cell(0, 0) > 0;
  };
  while (seed < 100 && !inside(seed)) ++seed;
  ASSERT_LT(seed, 100u) << "no seed gives positive-definite moment estimates";
  TreeList list = GeneratedPair(seed, s, b, f, n, all);
  const MomentEstimates anova = AnovaOfBalancedPair(list.Trees(), s, b, f, n);
  const BivariateFit fit = FitTraitPair(list.Trees(), 0, 1, RemlOptions{});
  ASSERT_EQ(fit.status, FitStatus::kConverged) << fit.note;
  EXPECT_TRUE(fit.siteFamilyFitted);
  // The polishing step leaves the AI's linear error at about its square.
  ExpectMatrixNear(AsMatrix(fit.family), anova.family, 1e-8, "family");
  ExpectMatrixNear(AsMatrix(fit.cell), anova.cell, 1e-8, "cell");
  ExpectMatrixNear(AsMatrix(fit.error), anova.error, 1e-8, "error");
  EXPECT_FALSE(fit.family.atBoundary);
  EXPECT_NEAR(fit.rF.value, anova.family(0, 1) / std::sqrt(anova.family(0, 0) * anova.family(1, 1)), 1e-8);
  // The error variance's sampling variance from its mean square alone:
  // 2 sigma^4 / df.
  const double dfE = s * b * f * n - s * b - s * (f - 1);
  EXPECT_NEAR(fit.error.se11, std::sqrt(2 / dfE) * anova.error(0, 0), 1e-6 * fit.error.se11);
  // var(m12) = (m11 m22 + m12^2) / df of a mean cross product.
  const Eigen::Matrix2d& e = anova.error;
  EXPECT_NEAR(fit.error.se12, std::sqrt((e(0, 0) * e(1, 1) + e(0, 1) * e(0, 1)) / dfE), 1e-6 * fit.error.se12);
  EXPECT_GT(fit.rF.se, 0);
  EXPECT_GT(fit.rPTree.se, 0);
}

// A second trait that is the first times a, plus tree noise that sums to 0
// in every plot: the families and cells of the two traits differ by a
// alone, and the maximum is on the edge of the cone.
TEST(FitTraitPair, LinearTraitHoldsTheFamilyMatrixAtRankOne) {
  for (const double a : {0.5, -2.0}) {
    TreeList list = GeneratedPair(3, 3, 3, 12, 2, [](int, int, int, int) { return true; });
    RemlTrees& trees = list.Trees();
    Normal normal(17);
    for (int t = 0; t + 1 < trees.Trees(); t += 2) {
      const double e = normal();
      trees.value[1][t] = a * trees.value[0][t] + e;
      trees.value[1][t + 1] = a * trees.value[0][t + 1] - e;
    }
    const BivariateFit fit = FitTraitPair(trees, 0, 1, RemlOptions{});
    ASSERT_EQ(fit.status, FitStatus::kConverged) << fit.note;
    EXPECT_TRUE(fit.family.atBoundary);
    EXPECT_TRUE(fit.rF.atBoundary);
    EXPECT_THAT(fit.note, HasSubstr("rank one"));
    EXPECT_LE(std::abs(fit.rF.value), 1.0);
    EXPECT_NEAR(fit.rF.value, a > 0 ? 1 : -1, 1e-9);
    EXPECT_LE(std::abs(fit.rPTree.value), 1.0);
    // The edge is the maximum: moving inside across the null direction
    // lowers the likelihood, and the held matrix is a times the first.
    const Eigen::Matrix2d k = AsMatrix(fit.family);
    EXPECT_NEAR(k(0, 1), a * k(0, 0), 1e-5 * std::abs(a) * k(0, 0));
    Eigen::Vector2d across(-k(0, 1), k(0, 0));
    across.normalize();
    CovarianceMatrix inside = fit.family;
    const double step = 1e-3 * k.trace();
    inside.v11 += step * across[0] * across[0];
    inside.v12 += step * across[0] * across[1];
    inside.v22 += step * across[1] * across[1];
    EXPECT_LT(PairLogLikelihood(trees, 0, 1, inside, fit.cell, fit.error), fit.logLikelihood);
  }
}

std::vector<std::string> SplitCsv(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
  return fields;
}

// site,block,family,y1,y2 with NA where a tree lacks a value.
TreeList ReadPairCsv(const std::string& path) {
  TreeList list(2);
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  auto number = [](const std::string& text) { return text == "NA" ? kNotAvailable : std::stod(text); };
  while (std::getline(in, line)) {
    const std::vector<std::string> f = SplitCsv(line);
    list.Add(std::stoi(f[0]), std::stoi(f[1]), std::stoi(f[2]), {number(f[3]), number(f[4])});
  }
  return list;
}

// Each of the nine entries of an inner maximum, moved either way, lowers the
// likelihood as the evaluation alone computes it: the gradient the
// iteration followed is the likelihood's.
void ExpectLocalMaximum(const RemlTrees& trees, const BivariateFit& fit) {
  const std::array<CovarianceMatrix, 3> at = {fit.family, fit.cell, fit.error};
  for (int term = 0; term < 3; ++term)
    for (double CovarianceMatrix::*entry : {&CovarianceMatrix::v11, &CovarianceMatrix::v12, &CovarianceMatrix::v22}) {
      const double scale = std::sqrt(at[term].v11 * at[term].v22), h = 1e-3 * scale;
      std::array<double, 3> logL{};
      for (int side = 0; side < 3; ++side) {
        std::array<CovarianceMatrix, 3> moved = at;
        moved[term].*entry += (side - 1) * h;
        logL[side] = PairLogLikelihood(trees, 0, 1, moved[0], moved[1], moved[2]);
      }
      // The parabola through the three points peaks within 1e-5 of the
      // scale from the fit; its curvature is that of a maximum.
      const double curvature = logL[0] - 2 * logL[1] + logL[2];
      ASSERT_LT(curvature, 0) << "term " << term;
      EXPECT_LT(std::abs(0.5 * h * (logL[2] - logL[0]) / curvature), 1e-5 * scale) << "term " << term;
    }
}

// Trees lacking the second trait still count for the first: a trial where
// a quarter of the trees and all of one family lack it, against glmmTMB's
// REML fit of the same file, which models the error matrix as a random
// effect of each tree; and a maximum of the likelihood even where the
// traits' trees differ.
TEST(FitTraitPair, MissingSecondTraitUsesTreesWithEither) {
  const std::string folder = SourcePath("tests/data/reml_bivariate");
  TreeList list = ReadPairCsv(folder + "/missing_second.csv");
  RemlTrees& trees = list.Trees();
  int both = 0;
  for (int t = 0; t < trees.Trees(); ++t) both += std::isfinite(trees.value[1][t]);
  const BivariateFit fit = FitTraitPair(trees, 0, 1, RemlOptions{});
  ASSERT_EQ(fit.status, FitStatus::kConverged) << fit.note;
  EXPECT_EQ(fit.trees, trees.Trees());
  EXPECT_EQ(fit.treesBoth, both);
  ASSERT_FALSE(fit.family.atBoundary || fit.cell.atBoundary);
  const std::array<CovarianceMatrix, 3> at = {fit.family, fit.cell, fit.error};

  std::ifstream in(folder + "/glmmtmb_reference.csv");
  std::string line;
  std::getline(in, line);
  const std::map<std::string, int> termOf = {{"family", 0}, {"cell", 1}, {"error", 2}};
  int compared = 0;
  while (std::getline(in, line)) {
    const std::vector<std::string> f = SplitCsv(line);
    const double expected = std::stod(f[2]);
    ++compared;
    if (f[0] == "REML") {
      // The same maximum of the same likelihood with the same constant; the
      // optimiser's distance from it enters only squared.
      EXPECT_NEAR(fit.logLikelihood, expected, 1e-11 * std::abs(expected));
      continue;
    }
    const CovarianceMatrix& m = at[termOf.at(f[0])];
    const double actual = f[1] == "v11" ? m.v11 : f[1] == "v12" ? m.v12 : m.v22;
    // glmmTMB's optimiser stops where the likelihood is within 1e-9 of its
    // maximum: on this flat a surface, some 6e-5 of the cells' entries.
    EXPECT_NEAR(actual, expected, 1e-4 * std::sqrt(m.v11 * m.v22)) << f[0] << " " << f[1];
  }
  EXPECT_EQ(compared, 10);

  ExpectLocalMaximum(trees, fit);
}

// Many small blocks and few families: the families' system is the dense
// one, each site's blocks absorbed into it. At covariances of 0 the
// univariate engine's maxima give the likelihood again, and the pair's fit
// is a maximum.
TEST(FitTraitPair, ManySmallBlocksFactorTheFamiliesDensely) {
  // 3 sites of 12 incomplete blocks, 4 of 8 families in each block.
  TreeList list = GeneratedPair(31, 3, 12, 8, 2, [](int s, int b, int f, int t) {
    return (f + b + s) % 2 == 0 && (t == 0 || (b + f) % 3 != 0);
  });
  RemlTrees& trees = list.Trees();
  for (int t = 0; t < trees.Trees(); t += 5) trees.value[1][t] = kNotAvailable;
  const UnivariateFit f1 = FitTrait(trees, 0, RemlOptions{}), f2 = FitTrait(trees, 1, RemlOptions{});
  ASSERT_EQ(f1.status, FitStatus::kConverged);
  ASSERT_EQ(f2.status, FitStatus::kConverged);
  auto zeroIfAbsent = [](double v) { return std::isfinite(v) ? v : 0.0; };
  const double sum = f1.logLikelihood + f2.logLikelihood;
  EXPECT_NEAR(PairLogLikelihood(trees, 0, 1, Diagonal(f1.vf.value, f2.vf.value),
                                Diagonal(zeroIfAbsent(f1.vsf.value), zeroIfAbsent(f2.vsf.value)),
                                Diagonal(f1.ve.value, f2.ve.value)),
              sum, 1e-11 * std::abs(sum));
  const BivariateFit fit = FitTraitPair(trees, 0, 1, RemlOptions{}, &f1, &f2);
  ASSERT_EQ(fit.status, FitStatus::kConverged) << fit.note;
  EXPECT_GE(fit.logLikelihood, sum - 1e-9 * std::abs(sum));
  ASSERT_FALSE(fit.family.atBoundary || fit.cell.atBoundary) << fit.note;
  ExpectLocalMaximum(trees, fit);
}

// Families that differ by nothing but chance: where both traits' univariate
// maxima drop the families, the pair's equations without any family
// effect give their likelihood again, and the pair's family matrix ends on
// the edge, at rank one or 0, never outside the cone.
TEST(FitTraitPair, FamiliesWithoutVariance) {
  auto all = [](int, int, int, int) { return true; };
  // The first seed whose two traits both put Vf at 0.
  std::uint32_t seed = 1;
  auto bothAtZero = [&](std::uint32_t at) {
    TreeList trial = GeneratedPair(at, 3, 3, 10, 2, all, 0.0);
    return FitTrait(trial.Trees(), 0, RemlOptions{}).vf.atBoundary &&
           FitTrait(trial.Trees(), 1, RemlOptions{}).vf.atBoundary;
  };
  while (seed < 200 && !bothAtZero(seed)) ++seed;
  ASSERT_LT(seed, 200u) << "no seed puts both traits' family variance at 0";
  TreeList list = GeneratedPair(seed, 3, 3, 10, 2, all, 0.0);
  const RemlTrees& trees = list.Trees();
  const UnivariateFit f1 = FitTrait(trees, 0, RemlOptions{}), f2 = FitTrait(trees, 1, RemlOptions{});
  auto zeroIfAbsent = [](double v) { return std::isfinite(v) ? v : 0.0; };
  const double sum = f1.logLikelihood + f2.logLikelihood;
  EXPECT_NEAR(PairLogLikelihood(trees, 0, 1, Diagonal(0, 0),
                                Diagonal(zeroIfAbsent(f1.vsf.value), zeroIfAbsent(f2.vsf.value)),
                                Diagonal(f1.ve.value, f2.ve.value)),
              sum, 1e-11 * std::abs(sum));
  const BivariateFit fit = FitTraitPair(trees, 0, 1, RemlOptions{}, &f1, &f2);
  ASSERT_EQ(fit.status, FitStatus::kConverged) << fit.note;
  EXPECT_GE(fit.logLikelihood, sum - 1e-9 * std::abs(sum));
  EXPECT_TRUE(fit.family.atBoundary) << fit.family.v11 << " " << fit.family.v12 << " " << fit.family.v22;
  const Eigen::Matrix2d k = AsMatrix(fit.family);
  EXPECT_GE(k(0, 0), 0);
  EXPECT_GE(k(1, 1), 0);
  EXPECT_LE(k(0, 1) * k(0, 1), k(0, 0) * k(1, 1) * (1 + 1e-12));
  // No correlation where a variance is 0.
  EXPECT_TRUE(std::isnan(fit.rF.value) || std::abs(fit.rF.value) <= 1.0) << fit.rF.value;
}

TEST(FitTraitPair, DataThatCannotGiveAnEstimate) {
  TreeList list = GeneratedPair(7, 2, 2, 6, 2, [](int, int, int, int) { return true; });
  RemlTrees& trees = list.Trees();
  {
    RemlTrees constant = trees;
    for (double& v : constant.value[1]) v = 4.25;
    const BivariateFit fit = FitTraitPair(constant, 0, 1, RemlOptions{});
    EXPECT_EQ(fit.status, FitStatus::kNotEstimable);
    EXPECT_THAT(fit.note, HasSubstr("trait 2 do not vary within blocks"));
    EXPECT_TRUE(std::isnan(fit.family.v11));
  }
  {
    RemlTrees oneFamily = trees;
    for (int t = 0; t < oneFamily.Trees(); ++t)
      if (oneFamily.family[t] != 0) oneFamily.value[0][t] = oneFamily.value[1][t] = kNotAvailable;
    const BivariateFit fit = FitTraitPair(oneFamily, 0, 1, RemlOptions{});
    EXPECT_EQ(fit.status, FitStatus::kNotEstimable);
    EXPECT_THAT(fit.note, HasSubstr("fewer than 2 families"));
  }
  {
    RemlTrees oneSite = trees;
    for (int t = 0; t < oneSite.Trees(); ++t)
      if (oneSite.site[t] != 0) oneSite.value[0][t] = oneSite.value[1][t] = kNotAvailable;
    const BivariateFit fit = FitTraitPair(oneSite, 0, 1, RemlOptions{});
    EXPECT_NE(fit.status, FitStatus::kNotEstimable) << fit.note;
    EXPECT_FALSE(fit.siteFamilyFitted);
    EXPECT_THAT(fit.note, HasSubstr("one site"));
    EXPECT_TRUE(std::isnan(fit.cell.v11));
  }
  {
    RemlOptions once;
    once.maxIterations = 1;
    const BivariateFit fit = FitTraitPair(trees, 0, 1, once);
    EXPECT_EQ(fit.status, FitStatus::kNotConverged);
    EXPECT_THAT(fit.note, HasSubstr("not converged"));
    EXPECT_TRUE(std::isfinite(fit.family.v12));
  }
  EXPECT_THROW(FitTraitPair(trees, 0, 0, RemlOptions{}), KorvanError);
  EXPECT_THROW(FitTraitPair(trees, 0, 2, RemlOptions{}), KorvanError);
}

// Every pair of the maize example, each started from its traits' own fits,
// as fitted together on the cores and alone.
TEST(FitTraitPairs, EveryPairOfTheMaizeExample) {
  TreeList maize = ReadFixedColumns(SourcePath("examples/maize2010_6traits.dat"), 6);
  const RemlTrees& trees = maize.Trees();
  const std::vector<UnivariateFit> single = FitTraits(trees, RemlOptions{});
  const auto started = std::chrono::steady_clock::now();
  const std::vector<BivariateFit> fits = FitTraitPairs(trees, RemlOptions{}, &single);
  std::printf("maize, 15 pairs: %.3f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  ASSERT_EQ(fits.size(), 15u);
  int k = 0;
  for (int a = 0; a < 6; ++a)
    for (int b = a + 1; b < 6; ++b, ++k) {
      const BivariateFit& fit = fits[static_cast<std::size_t>(k)];
      EXPECT_EQ(fit.status, FitStatus::kConverged) << a + 1 << "," << b + 1 << ": " << fit.note;
      EXPECT_LE(std::abs(fit.rF.value), 1.0);
      EXPECT_LE(std::abs(fit.rPTree.value), 1.0);
      // With the covariances free the likelihood is at least the two traits'.
      const double sum = single[a].logLikelihood + single[b].logLikelihood;
      EXPECT_GE(fit.logLikelihood, sum - 1e-9 * std::abs(sum)) << a + 1 << "," << b + 1;
      if (k % 5 != 0) continue;
      const BivariateFit alone = FitTraitPair(trees, a, b, RemlOptions{}, &single[a], &single[b]);
      EXPECT_EQ(alone.family.v12, fit.family.v12);
      EXPECT_EQ(alone.logLikelihood, fit.logLikelihood);
    }
}

}  // namespace
}  // namespace korvan
