#include "reml/reml.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/korvan_error.h"
#include "base/progress.h"
#include "input/level_coding.h"
#include "input/reader.h"
#include "input/run_parameters.h"
#include "support/reml_tree_list.h"
#include "support/test_support.h"
#include "support/trial_builder.h"

namespace korvan {
namespace {

using test::SourcePath;
using ::testing::HasSubstr;

using test::TreeList;

double Number(const std::string& text) {
  std::istringstream in(text);
  std::string word;
  in >> word;
  if (word == "NA" || word.empty()) return NAN;
  return std::stod(word);
}

// The data files' fixed columns: site 1-4, block 5-8, family 9-14, age,
// then traits of width 10 from 19.
TreeList ReadFixedColumns(const std::string& path, int nTrait) {
  TreeList list(nTrait);
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::vector<double> values;
    for (int t = 0; t < nTrait; ++t) values.push_back(Number(line.substr(18 + 10 * t, 10)));
    list.Add(std::stoi(line.substr(0, 4)), std::stoi(line.substr(4, 4)), std::stoi(line.substr(8, 6)), values);
  }
  return list;
}

std::vector<std::string> SplitCsv(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
  return fields;
}

// site,block,family,y1,y2 with NA where a tree lacks a value.
TreeList ReadDesign(const std::string& path, int onlySite = 0) {
  TreeList list(2);
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    const std::vector<std::string> f = SplitCsv(line);
    if (onlySite != 0 && std::stoi(f[0]) != onlySite) continue;
    list.Add(std::stoi(f[0]), std::stoi(f[1]), std::stoi(f[2]), {Number(f[3]), Number(f[4])});
  }
  return list;
}

struct Reference {
  std::string dataset;
  int trait = 0;  // from 0
  int trees = 0;
  double vf = 0, vsf = 0, ve = 0, criterion = 0, logdetShift = 0, withoutFamily = 0, withoutCells = 0;
  std::map<int, double> blups;  // by family code
};

std::string ReferenceFolder() { return SourcePath("tests/data/reml_reference"); }

std::vector<Reference> ReadReferences() {
  std::vector<Reference> refs;
  std::ifstream in(ReferenceFolder() + "/reference.csv");
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    const std::vector<std::string> f = SplitCsv(line);
    Reference r;
    r.dataset = f[0];
    r.trait = std::stoi(f[1].substr(1)) - 1;
    r.trees = std::stoi(f[2]);
    r.vf = Number(f[3]), r.vsf = Number(f[4]), r.ve = Number(f[5]);
    r.criterion = Number(f[6]), r.logdetShift = Number(f[7]), r.withoutFamily = Number(f[8]),
    r.withoutCells = Number(f[9]);
    refs.push_back(r);
  }
  std::ifstream blups(ReferenceFolder() + "/blups.csv");
  std::getline(blups, line);
  while (std::getline(blups, line)) {
    const std::vector<std::string> f = SplitCsv(line);
    for (Reference& r : refs)
      if (r.dataset == f[0] && r.trait == std::stoi(f[1].substr(1)) - 1) r.blups[std::stoi(f[2])] = Number(f[3]);
  }
  return refs;
}

// lme4 optimises its criterion by function values alone. Where a variance
// is below a thousandth of Ve, the criterion hardly moves with it (design_5
// trait 2: Vf 0.1 % apart changes it by 2e-12, the last digits lme4 can
// see), so such a variance is held to 1e-5 of Ve instead of its own size.
// A variance lme4 puts within 1e-9 of Ve of 0 is on the boundary.
double Scale(double expected, double ve) { return expected < 1e-3 * ve ? ve : expected; }

void ExpectComponent(const RemlValue& actual, double expected, double ve, const char* name) {
  SCOPED_TRACE(name);
  if (expected < 1e-9 * ve) {
    EXPECT_TRUE(actual.atBoundary) << "value " << actual.value << ", lme4 " << expected;
    EXPECT_EQ(actual.value, 0);
    EXPECT_TRUE(std::isnan(actual.se));
    return;
  }
  EXPECT_FALSE(actual.atBoundary);
  EXPECT_NEAR(actual.value, expected, 1e-5 * Scale(expected, ve));
  EXPECT_GT(actual.se, 0);
}

void ExpectAgreement(const TreeList& list, const Reference& ref) {
  SCOPED_TRACE(ref.dataset + " trait " + std::to_string(ref.trait + 1));
  const UnivariateFit fit = FitTrait(list.Trees(), ref.trait, RemlOptions{});
  ASSERT_EQ(fit.status, FitStatus::kConverged) << fit.note;
  EXPECT_EQ(fit.trees, ref.trees);
  ExpectComponent(fit.vf, ref.vf, ref.ve, "Vf");
  if (std::isnan(ref.vsf))
    EXPECT_FALSE(fit.siteFamilyFitted);
  else
    ExpectComponent(fit.vsf, ref.vsf, ref.ve, "Vsf");
  ExpectComponent(fit.ve, ref.ve, ref.ve, "Ve");
  // The criterion is -2 logL; 1e-6 absolute is some 1e-10 relative here.
  EXPECT_NEAR(-2 * fit.logLikelihood, ref.criterion - ref.logdetShift, 1e-6);
  EXPECT_NEAR(fit.testVf.statistic, std::max(0.0, ref.withoutFamily - ref.criterion), 1e-5);
  // P(chi-square 1 > x) = erfc(sqrt(x / 2)), halved for the boundary.
  EXPECT_NEAR(fit.testVf.pValue, 0.5 * std::erfc(std::sqrt(fit.testVf.statistic / 2)), 1e-12);
  if (!std::isnan(ref.withoutCells)) {
    EXPECT_NEAR(fit.testVsf.statistic, std::max(0.0, ref.withoutCells - ref.criterion), 1e-5);
  }
  ASSERT_EQ(fit.families.size(), ref.blups.size());
  for (const FamilyBlup& family : fit.families) {
    const double expected = ref.blups.at(list.FamilyCode(family.family));
    // Family effects are of the size of sqrt(Vf): 1e-5 of that.
    EXPECT_NEAR(family.blup, expected, 1e-5 * std::sqrt(Scale(ref.vf, ref.ve)))
        << "family " << list.FamilyCode(family.family);
  }
}

TEST(FitTrait, AgreesWithLme4OnRandomUnbalancedDesigns) {
  int cases = 0;
  for (const Reference& ref : ReadReferences()) {
    if (ref.dataset.rfind("design_", 0) != 0) continue;
    const bool oneSite = ref.dataset.find("_site1") != std::string::npos;
    const std::string file = ref.dataset.substr(0, 8) + ".csv";
    ExpectAgreement(ReadDesign(ReferenceFolder() + "/" + file, oneSite ? 1 : 0), ref);
    ++cases;
  }
  EXPECT_EQ(cases, 13);
}

TEST(FitTrait, AgreesWithLme4OnMaizeAndBamboo) {
  const TreeList maize = ReadFixedColumns(SourcePath("examples/maize2010_6traits.dat"), 6);
  const TreeList bamboo = ReadFixedColumns(SourcePath("examples/bamboo_height.dat"), 1);
  int cases = 0;
  for (const Reference& ref : ReadReferences()) {
    if (ref.dataset == "maize") ExpectAgreement(maize, ref), ++cases;
    if (ref.dataset == "bamboo") ExpectAgreement(bamboo, ref), ++cases;
  }
  EXPECT_EQ(cases, 7);
}

TEST(FitTrait, AgreesWithLme4OnDouglasFir) {
  // GPL-3 data, kept apart from the source tree.
  const std::string path = "/work/shared/data/douglas_c13.dat";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is absent: the Douglas-fir case is not run";
  const TreeList douglas = ReadFixedColumns(path, 1);
  for (const Reference& ref : ReadReferences())
    if (ref.dataset == "douglas") ExpectAgreement(douglas, ref);
}

// Mean squares of a balanced trial, computed here from the cell, block,
// site and family means: with every estimate positive, REML gives the
// moment estimates (Vf from MS family - MS site x family over s b n, Vsf
// from MS site x family - MS error over b n, Ve the error mean square).
struct BalancedAnova {
  double vf = 0, vsf = 0, ve = 0;
  double msFamily = 0, msSiteFamily = 0, msError = 0;
  double dfFamily = 0, dfSiteFamily = 0, dfError = 0;
  int s = 0, b = 0, f = 0, n = 0;
};

// y[site][block][family][tree]
using Balanced = std::vector<std::vector<std::vector<std::vector<double>>>>;

BalancedAnova AnovaOf(const Balanced& y) {
  BalancedAnova a;
  a.s = static_cast<int>(y.size()), a.b = static_cast<int>(y[0].size()), a.f = static_cast<int>(y[0][0].size());
  a.n = static_cast<int>(y[0][0][0].size());
  const double bn = a.b * a.n;
  std::vector<double> site(a.s), family(a.f);
  std::vector<std::vector<double>> block(a.s, std::vector<double>(a.b)), cell(a.s, std::vector<double>(a.f));
  double grand = 0;
  for (int i = 0; i < a.s; ++i)
    for (int k = 0; k < a.b; ++k)
      for (int j = 0; j < a.f; ++j)
        for (const double v : y[i][k][j]) {
          site[i] += v / (bn * a.f), family[j] += v / (bn * a.s), block[i][k] += v / (a.f * a.n);
          cell[i][j] += v / bn, grand += v / (bn * a.f * a.s);
        }
  double ssF = 0, ssSF = 0, ssE = 0;
  for (int j = 0; j < a.f; ++j) ssF += a.s * bn * (family[j] - grand) * (family[j] - grand);
  for (int i = 0; i < a.s; ++i)
    for (int j = 0; j < a.f; ++j) {
      const double e = cell[i][j] - site[i] - family[j] + grand;
      ssSF += bn * e * e;
      for (int k = 0; k < a.b; ++k)
        for (const double v : y[i][k][j]) {
          const double r = v - block[i][k] - cell[i][j] + site[i];
          ssE += r * r;
        }
    }
  a.dfFamily = a.f - 1, a.dfSiteFamily = (a.s - 1.0) * (a.f - 1), a.dfError = a.s * (bn * a.f - a.b - a.f + 1);
  a.msFamily = ssF / a.dfFamily, a.msSiteFamily = ssSF / a.dfSiteFamily, a.msError = ssE / a.dfError;
  a.vf = (a.msFamily - a.msSiteFamily) / (a.s * bn);
  a.vsf = (a.msSiteFamily - a.msError) / bn;
  a.ve = a.msError;
  return a;
}

TreeList ListOf(const Balanced& y) {
  TreeList list(1);
  for (std::size_t i = 0; i < y.size(); ++i)
    for (std::size_t k = 0; k < y[i].size(); ++k)
      for (std::size_t j = 0; j < y[i][k].size(); ++j)
        for (const double v : y[i][k][j])
          list.Add(static_cast<int>(i) + 1, static_cast<int>(k) + 1, static_cast<int>(j) + 1, {v});
  return list;
}

Balanced RandomBalanced(std::mt19937& rng, int s, int b, int f, int n, double vf, double vsf) {
  std::normal_distribution<double> normal;
  std::vector<double> familyEffect(f);
  for (double& e : familyEffect) e = std::sqrt(vf) * normal(rng);
  Balanced y(s, std::vector<std::vector<std::vector<double>>>(b, std::vector<std::vector<double>>(f)));
  for (int i = 0; i < s; ++i) {
    std::vector<double> cellEffect(f);
    for (double& e : cellEffect) e = std::sqrt(vsf) * normal(rng);
    for (int k = 0; k < b; ++k) {
      const double blockEffect = 100 + 10 * i + 3 * normal(rng);
      for (int j = 0; j < f; ++j)
        for (int t = 0; t < n; ++t) y[i][k][j].push_back(blockEffect + familyEffect[j] + cellEffect[j] + normal(rng));
    }
  }
  return y;
}

// The AI steps converge about quadratically: the last change below 1e-6
// leaves some 1e-12, far inside 1e-9.
void ExpectAnova(const UnivariateFit& fit, const BalancedAnova& a) {
  ASSERT_EQ(fit.status, FitStatus::kConverged) << fit.note;
  ASSERT_GT(a.vf, 0);
  ASSERT_GT(a.vsf, 0);
  EXPECT_NEAR(fit.vf.value, a.vf, 1e-9 * a.vf);
  EXPECT_NEAR(fit.vsf.value, a.vsf, 1e-9 * a.vsf);
  EXPECT_NEAR(fit.ve.value, a.ve, 1e-9 * a.ve);
  // At the ANOVA point each stratum's quadratic form equals its expectation,
  // so the average information is the expected information, whose inverse
  // gives the moment estimators' variances 2 sum c^2 MS^2 / df.
  const double sbn = a.s * a.b * a.n, bn = a.b * a.n;
  auto squareOver = [](double ms, double df) { return 2 * ms * ms / df; };
  EXPECT_NEAR(
      fit.vf.se,
      std::sqrt((squareOver(a.msFamily, a.dfFamily) + squareOver(a.msSiteFamily, a.dfSiteFamily)) / (sbn * sbn)),
      1e-8 * fit.vf.se);
  EXPECT_NEAR(fit.vsf.se,
              std::sqrt((squareOver(a.msSiteFamily, a.dfSiteFamily) + squareOver(a.msError, a.dfError)) / (bn * bn)),
              1e-8 * fit.vsf.se);
  EXPECT_NEAR(fit.ve.se, std::sqrt(squareOver(a.msError, a.dfError)), 1e-8 * fit.ve.se);
  // Balanced: Vf + Vsf / s + Ve / (s b n) is MS family / (s b n).
  EXPECT_NEAR(fit.h2FamilyMean.value, a.vf * sbn / a.msFamily, 1e-9);
  EXPECT_NEAR(fit.rB.value, a.vf / (a.vf + a.vsf), 1e-9);
}

TEST(FitTrait, BalancedTrialsGiveTheAnovaEstimates) {
  Balanced bamboo(2, std::vector<std::vector<std::vector<double>>>(3, std::vector<std::vector<double>>(6)));
  std::ifstream in(SourcePath("examples/bamboo_height.dat"));
  for (std::string line; std::getline(in, line);)
    bamboo[std::stoi(line.substr(0, 4)) - 1][std::stoi(line.substr(4, 4)) - 1][std::stoi(line.substr(8, 6)) - 1]
        .push_back(std::stod(line.substr(18, 10)));
  {
    SCOPED_TRACE("bamboo");
    ExpectAnova(FitTrait(ListOf(bamboo).Trees(), 0, RemlOptions{}), AnovaOf(bamboo));
  }
  std::mt19937 rng(2024);
  // Sites, blocks, families, trees per plot; blocks dense (fewer blocks
  // than families) and families dense.
  const int layouts[][4] = {{2, 2, 10, 1}, {3, 4, 8, 2}, {5, 6, 12, 1}, {4, 10, 6, 3}, {2, 3, 40, 2}};
  for (const auto& l : layouts) {
    SCOPED_TRACE(testing::Message() << l[0] << " sites, " << l[1] << " blocks, " << l[2] << " families, " << l[3]);
    const Balanced y = RandomBalanced(rng, l[0], l[1], l[2], l[3], 4, 2);
    ExpectAnova(FitTrait(ListOf(y).Trees(), 0, RemlOptions{}), AnovaOf(y));
  }
}

// Family means that vary less than their cells say: the ANOVA estimate of
// Vf is negative. REML holds it at 0, and what is left is the model
// without families, whose cells then take the family and site x family
// lines together: Vsf = ((SS family + SS site x family) / their df - MS
// error) / (b n).
TEST(FitTrait, NegativeAnovaVfIsHeldOnTheBoundary) {
  std::mt19937 rng(7);
  Balanced y;
  BalancedAnova a;
  do {
    y = RandomBalanced(rng, 3, 3, 8, 2, 0, 3);
    a = AnovaOf(y);
  } while (a.vf >= 0);
  const UnivariateFit fit = FitTrait(ListOf(y).Trees(), 0, RemlOptions{});
  ASSERT_EQ(fit.status, FitStatus::kConverged) << fit.note;
  EXPECT_TRUE(fit.vf.atBoundary);
  EXPECT_EQ(fit.vf.value, 0);
  EXPECT_TRUE(std::isnan(fit.vf.se));
  EXPECT_FALSE(fit.vsf.atBoundary);
  const double pooled = (a.msFamily * a.dfFamily + a.msSiteFamily * a.dfSiteFamily) / (a.dfFamily + a.dfSiteFamily);
  EXPECT_NEAR(fit.vsf.value, (pooled - a.msError) / (a.b * a.n), 1e-9 * fit.vsf.value);
  EXPECT_NEAR(fit.ve.value, a.msError, 1e-9 * a.msError);
  EXPECT_EQ(fit.testVf.statistic, 0);
  EXPECT_EQ(fit.testVf.pValue, 0.5);
  EXPECT_EQ(fit.h2FamilyMean.value, 0);
  EXPECT_TRUE(std::isnan(fit.h2FamilyMean.se)) << "no delta-method error on the boundary";
  for (const FamilyBlup& family : fit.families) EXPECT_EQ(family.blup, 0);
}

// Cell means that vary less than the trees in them: Vsf is held at 0, and
// the site x family line joins the error: Ve = (SS site x family + SS
// error) / their df, Vf = (MS family - Ve) / (s b n).
TEST(FitTrait, NegativeAnovaVsfIsHeldOnTheBoundary) {
  std::mt19937 rng(11);
  Balanced y;
  BalancedAnova a;
  do {
    y = RandomBalanced(rng, 4, 2, 10, 2, 3, 0);
    a = AnovaOf(y);
  } while (a.vsf >= 0 || a.vf <= 0);
  const UnivariateFit fit = FitTrait(ListOf(y).Trees(), 0, RemlOptions{});
  ASSERT_EQ(fit.status, FitStatus::kConverged) << fit.note;
  EXPECT_TRUE(fit.vsf.atBoundary);
  EXPECT_EQ(fit.vsf.value, 0);
  const double ve = (a.msSiteFamily * a.dfSiteFamily + a.msError * a.dfError) / (a.dfSiteFamily + a.dfError);
  EXPECT_NEAR(fit.ve.value, ve, 1e-9 * ve);
  EXPECT_NEAR(fit.vf.value, (a.msFamily - ve) / (a.s * a.b * a.n), 1e-9 * fit.vf.value);
  EXPECT_EQ(fit.testVsf.statistic, 0);
  EXPECT_EQ(fit.rB.value, 1);
  for (const CellBlup& cell : fit.cells) EXPECT_EQ(cell.blup, 0);
  EXPECT_EQ(fit.cells.size(), 40u);
}

// The model of a small design as dense matrices, built tree by tree from
// the indicators, and -2 logL from V itself: log|V| + log|X'V^-1 X| + y'Py,
// nothing of the absorption. Levels are those with the trait's value.
struct DenseModel {
  DenseModel(const RemlTrees& trees, int trait) {
    std::vector<int> kept;
    std::map<int, int> blockOf;
    for (int t = 0; t < trees.Trees(); ++t) {
      if (std::isnan(trees.value[trait][t])) continue;
      kept.push_back(t);
      blockOf.emplace(trees.block[t], 0);
      familyOf.emplace(trees.family[t], 0);
      cellOf.emplace(std::pair{trees.site[t], trees.family[t]}, 0);
    }
    auto number = [](auto& levels) {
      int k = 0;
      for (auto& level : levels) level.second = k++;
    };
    number(blockOf), number(familyOf), number(cellOf);
    nF = static_cast<int>(familyOf.size()), nC = static_cast<int>(cellOf.size());
    const int n = static_cast<int>(kept.size());
    X = Eigen::MatrixXd::Zero(n, static_cast<int>(blockOf.size()));
    Z = Eigen::MatrixXd::Zero(n, nF + nC);
    y.resize(n);
    for (int r = 0; r < n; ++r) {
      const int t = kept[r];
      X(r, blockOf.at(trees.block[t])) = 1;
      Z(r, familyOf.at(trees.family[t])) = 1;
      Z(r, nF + cellOf.at({trees.site[t], trees.family[t]})) = 1;
      y[r] = trees.value[trait][t];
    }
  }
  Eigen::VectorXd G(double vf, double vsf) const {
    Eigen::VectorXd g(nF + nC);
    g << Eigen::VectorXd::Constant(nF, vf), Eigen::VectorXd::Constant(nC, vsf);
    return g;
  }
  double Minus2LogL(double vf, double vsf, double ve, Eigen::VectorXd* py = nullptr) const {
    const Eigen::Index n = y.size(), p = X.cols();
    const Eigen::MatrixXd V = Z * G(vf, vsf).asDiagonal() * Z.transpose() + ve * Eigen::MatrixXd::Identity(n, n);
    const Eigen::LLT<Eigen::MatrixXd> v(V);
    const Eigen::MatrixXd viX = v.solve(X);
    const Eigen::LLT<Eigen::MatrixXd> xvx(X.transpose() * viX);
    const Eigen::VectorXd Py = v.solve(y) - viX * xvx.solve(viX.transpose() * y);
    if (py) *py = Py;
    auto logDet = [](const Eigen::LLT<Eigen::MatrixXd>& l) { return 2 * l.matrixLLT().diagonal().array().log().sum(); };
    return static_cast<double>(n - p) * std::log(2 * M_PI) + logDet(v) + logDet(xvx) + y.dot(Py);
  }

  Eigen::MatrixXd X, Z;
  Eigen::VectorXd y;
  int nF = 0, nC = 0;
  std::map<int, int> familyOf;
  std::map<std::pair<int, int>, int> cellOf;
};

void ExpectDenseAgreement(const TreeList& list, int trait) {
  const UnivariateFit fit = FitTrait(list.Trees(), trait, RemlOptions{});
  ASSERT_EQ(fit.status, FitStatus::kConverged);
  ASSERT_FALSE(fit.vf.atBoundary || fit.vsf.atBoundary);
  const DenseModel model(list.Trees(), trait);
  const double vf = fit.vf.value, vsf = fit.vsf.value, ve = fit.ve.value;
  Eigen::VectorXd Py;
  const double minus2LogL = model.Minus2LogL(vf, vsf, ve, &Py);
  EXPECT_NEAR(-2 * fit.logLikelihood, minus2LogL, 1e-9 * minus2LogL);

  // BLUPs G Z'Py, and the prediction error variances from the inverse of
  // the whole coefficient matrix.
  const Eigen::VectorXd g = model.G(vf, vsf);
  const Eigen::VectorXd u = g.asDiagonal() * (model.Z.transpose() * Py);
  const Eigen::Index p = model.X.cols(), nF = model.nF;
  Eigen::MatrixXd W(model.y.size(), p + model.Z.cols());
  W << model.X, model.Z;
  Eigen::MatrixXd C = W.transpose() * W / ve;
  for (Eigen::Index k = 0; k < g.size(); ++k) C(p + k, p + k) += 1 / g[k];
  const Eigen::MatrixXd Cinv = C.inverse();
  for (const FamilyBlup& f : fit.families) {
    const int k = model.familyOf.at(f.family);
    EXPECT_NEAR(f.blup, u[k], 1e-8 * std::sqrt(vf));
    EXPECT_NEAR(f.pev, Cinv(p + k, p + k), 1e-9 * vf);
    EXPECT_NEAR(f.accuracy, std::sqrt(1 - Cinv(p + k, p + k) / vf), 1e-8);
  }
  for (const CellBlup& c : fit.cells) {
    const Eigen::Index k = nF + model.cellOf.at({c.site, c.family});
    EXPECT_NEAR(c.blup, u[k], 1e-8 * std::sqrt(vsf));
    EXPECT_NEAR(c.pev, Cinv(p + k, p + k), 1e-9 * vsf);
  }
}

TEST(FitTrait, AbsorbedEquationsMatchTheDenseModel) {
  {
    SCOPED_TRACE("design_1: fewer blocks than families");
    ExpectDenseAgreement(ReadDesign(ReferenceFolder() + "/design_1.csv"), 0);
  }
  {
    SCOPED_TRACE("design_4: more blocks than families");
    ExpectDenseAgreement(ReadDesign(ReferenceFolder() + "/design_4.csv"), 0);
  }
}

// Small random designs of every shape: 1 to 5 sites of 1 to 4 blocks, 2 to
// 15 families, plots of 0 to 3 trees, a tenth of the values missing, true
// variances often 0, values from 1e-3 to 1e3. Each fit ends converged at a
// maximum of the dense likelihood (no 0.1 % move of a variance, nor a
// variance on the boundary leaving 0, raises it), or says why it has no
// estimate; it never stops at the iteration limit.
TEST(FitTrait, RandomDesignsEndAtAMaximumOfTheDenseLikelihood) {
  std::mt19937 rng(31);
  std::uniform_real_distribution<double> uniform(0, 1);
  std::normal_distribution<double> normal;
  int fitted = 0;
  for (int design = 0; design < 300; ++design) {
    const int nSite = 1 + static_cast<int>(5 * uniform(rng)), nFamily = 2 + static_cast<int>(14 * uniform(rng));
    const double vf = uniform(rng) < 0.3 ? 0 : 3 * uniform(rng), vsf = uniform(rng) < 0.3 ? 0 : 3 * uniform(rng);
    const double ve = 0.5 + 5 * uniform(rng), scale = std::pow(10.0, static_cast<int>(7 * uniform(rng)) - 3);
    TreeList list(1);
    std::vector<double> familyEffect(nFamily);
    for (double& e : familyEffect) e = std::sqrt(vf) * normal(rng);
    for (int s = 1; s <= nSite; ++s)
      for (int b = 1, nBlock = 1 + static_cast<int>(4 * uniform(rng)); b <= nBlock; ++b)
        for (int f = 1; f <= nFamily; ++f) {
          const double cellEffect = std::sqrt(vsf) * normal(rng);
          for (int t = static_cast<int>(4 * uniform(rng)); t > 0; --t) {
            const double y = 100 + 5 * b + familyEffect[f - 1] + cellEffect + std::sqrt(ve) * normal(rng);
            list.Add(s, b, f, {uniform(rng) < 0.1 ? std::numeric_limits<double>::quiet_NaN() : scale * y});
          }
        }
    if (list.Trees().Trees() == 0) continue;
    SCOPED_TRACE(testing::Message() << "design " << design);
    const UnivariateFit fit = FitTrait(list.Trees(), 0, RemlOptions{});
    ASSERT_NE(fit.status, FitStatus::kNotConverged) << fit.note;
    if (fit.status == FitStatus::kNotEstimable) {
      EXPECT_FALSE(fit.note.empty());
      continue;
    }
    ++fitted;
    const DenseModel model(list.Trees(), 0);
    const double v[3] = {fit.vf.value, fit.siteFamilyFitted ? fit.vsf.value : 0, fit.ve.value};
    const double atFit = model.Minus2LogL(v[0], v[1], v[2]);
    EXPECT_NEAR(-2 * fit.logLikelihood, atFit, 1e-9 * std::abs(atFit) + 1e-9);
    for (int c = 0; c < 3; ++c) {
      if (c == 1 && !fit.siteFamilyFitted) continue;
      for (const double move : {-1e-3, 1e-3}) {
        double w[3] = {v[0], v[1], v[2]};
        w[c] = w[c] > 0 ? w[c] * (1 + move) : move > 0 ? 1e-4 * (v[0] + v[1] + v[2]) : 0;
        if (w[c] == 0) continue;
        EXPECT_GE(model.Minus2LogL(w[0], w[1], w[2]), atFit - 1e-9 * std::abs(atFit))
            << "variance " << c << " moved by " << move << " from " << v[c];
      }
    }
  }
  EXPECT_GT(fitted, 250);
}

TEST(FitTrait, OneSiteIsFittedWithoutSiteByFamily) {
  const UnivariateFit fit = FitTrait(ReadDesign(ReferenceFolder() + "/design_2.csv", 1).Trees(), 0, RemlOptions{});
  EXPECT_EQ(fit.status, FitStatus::kConverged);
  EXPECT_FALSE(fit.siteFamilyFitted);
  EXPECT_THAT(fit.note, HasSubstr("one site"));
  EXPECT_TRUE(std::isnan(fit.vsf.value));
  EXPECT_TRUE(std::isnan(fit.testVsf.statistic));
  EXPECT_TRUE(std::isnan(fit.rB.value));
  EXPECT_TRUE(fit.cells.empty());
  EXPECT_GT(fit.vf.value, 0);
}

TEST(FitTrait, OneIterationIsNotConvergence) {
  RemlOptions options;
  options.maxIterations = 1;
  const UnivariateFit fit = FitTrait(ReadDesign(ReferenceFolder() + "/design_2.csv").Trees(), 0, options);
  EXPECT_EQ(fit.status, FitStatus::kNotConverged);
  EXPECT_EQ(fit.iterations, 1);
  EXPECT_THAT(fit.note, HasSubstr("stopped at the limit of 1 iteration"));
  EXPECT_GT(fit.vf.value, 0);
  EXPECT_TRUE(std::isnan(fit.testVf.statistic)) << "no test of a fit that has not converged";
}

TEST(FitTrait, DataThatGiveNoEstimateSaySo) {
  TreeList list(5);
  const double nan = NAN;
  for (int s = 1; s <= 2; ++s)
    for (int b = 1; b <= 2; ++b)
      for (int f = 1; f <= 4; ++f)
        for (int t = 0; t < 2; ++t) {
          const double noise = ((s * 7 + b * 5 + f * 3 + t) % 11) * 0.37;
          list.Add(s, b, f, {12.5, nan, f == 1 ? noise : nan, 10.0 * s + b, noise});
        }
  const RemlTrees& trees = list.Trees();
  const struct {
    int trait;
    const char* why;
  } cases[] = {{0, "do not vary within blocks"},
               {1, "no tree has a value"},
               {2, "fewer than 2 families"},
               {3, "do not vary within blocks"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const UnivariateFit fit = FitTrait(trees, c.trait, RemlOptions{});
    EXPECT_EQ(fit.status, FitStatus::kNotEstimable);
    EXPECT_THAT(fit.note, HasSubstr(c.why));
    EXPECT_TRUE(std::isnan(fit.vf.value) && std::isnan(fit.ve.value) && std::isnan(fit.logLikelihood));
    EXPECT_TRUE(fit.families.empty());
  }
  EXPECT_NE(FitTrait(trees, 4, RemlOptions{}).status, FitStatus::kNotEstimable);
  EXPECT_THROW(FitTrait(trees, 5, RemlOptions{}), KorvanError);
}

// Designs that hide a variance: the fit says so instead of reporting the
// value the iterations happened to stop at.
TEST(FitTrait, VariancesTheDesignHidesAreNotReported) {
  TreeList oneFamilyPerBlock(1), oneTreePerCell(1), ridge(1);
  for (int s = 1; s <= 2; ++s) {
    for (int b = 1; b <= 4; ++b)
      for (int t = 0; t < 3; ++t) oneFamilyPerBlock.Add(s, b, b, {10.0 + (s * 3 + b * 7 + t * 5) % 11});
    for (int f = 1; f <= 12; ++f) oneTreePerCell.Add(s, (f + s) % 4 + 1, f, {10.0 + (s * 5 + f * 7) % 13});
  }
  // Site 2 has each family in a block of its own, so only site 1 tells the
  // families apart, and Vf and Vsf only in their sum: the likelihood is flat
  // along Vf + Vsf (lme4 stops at 0.051 + 0.258, another point of it).
  const double ridgeTrees[][4] = {
      {1, 1, 1, 97.096169966583687}, {1, 1, 2, 102.75144620600091}, {1, 1, 2, 100.34809444748251},
      {1, 1, 2, 99.042119545460537}, {1, 2, 1, 108.4705148543385},  {1, 2, 1, 105.94383335257881},
      {1, 2, 1, 104.81544479309599}, {1, 2, 2, 105.83395051134622}, {1, 2, 2, 108.25424749562758},
      {1, 3, 1, 112.6745882747983},  {1, 3, 1, 110.40377337487531}, {1, 3, 2, 111.62125147210506},
      {2, 4, 1, 102.17093117164035}, {2, 5, 2, 106.58870885870078}};
  for (const auto& t : ridgeTrees)
    ridge.Add(static_cast<int>(t[0]), static_cast<int>(t[1]), static_cast<int>(t[2]), {t[3]});

  const UnivariateFit blocks = FitTrait(oneFamilyPerBlock.Trees(), 0, RemlOptions{});
  EXPECT_EQ(blocks.status, FitStatus::kNotEstimable);
  EXPECT_THAT(blocks.note, HasSubstr("every block holds trees of one family only"));
  const UnivariateFit cells = FitTrait(oneTreePerCell.Trees(), 0, RemlOptions{});
  EXPECT_FALSE(cells.siteFamilyFitted);
  EXPECT_THAT(cells.note, HasSubstr("every site x family cell has one tree"));
  const UnivariateFit flat = FitTrait(ridge.Trees(), 0, RemlOptions{});
  EXPECT_EQ(flat.status, FitStatus::kNotEstimable);
  EXPECT_THAT(flat.note, HasSubstr("do not tell the variances apart"));
  EXPECT_TRUE(std::isnan(flat.vf.value) && std::isnan(flat.vsf.value));
}

TEST(FitTrait, HeritabilityOfTheFamilyKind) {
  const TreeList list = ReadDesign(ReferenceFolder() + "/design_1.csv");
  const RemlTrees& trees = list.Trees();
  RemlOptions options;
  EXPECT_TRUE(std::isnan(FitTrait(trees, 0, options).h2Tree.value)) << "unknown kind";
  const struct {
    FamilyKind kind;
    double share;
  } kinds[] = {{FamilyKind::kHalfSib, 4}, {FamilyKind::kFullSib, 2}, {FamilyKind::kClone, 1}};
  for (const auto& k : kinds) {
    options.familyKind = k.kind;
    const UnivariateFit fit = FitTrait(trees, 0, options);
    const double vp = fit.vf.value + fit.vsf.value + fit.ve.value;
    EXPECT_NEAR(fit.h2Tree.value, k.share * fit.vf.value / vp, 1e-12);
    EXPECT_GT(fit.h2Tree.se, 0);
  }
}

TEST(FitTraits, EveryTraitAsFittedAlone) {
  const TreeList maize = ReadFixedColumns(SourcePath("examples/maize2010_6traits.dat"), 6);
  const std::vector<UnivariateFit> fits = FitTraits(maize.Trees(), RemlOptions{});
  ASSERT_EQ(fits.size(), 6u);
  for (int t = 0; t < 6; ++t) {
    const UnivariateFit alone = FitTrait(maize.Trees(), t, RemlOptions{});
    EXPECT_EQ(fits[t].vf.value, alone.vf.value);
    EXPECT_EQ(fits[t].logLikelihood, alone.logLikelihood);
  }
}

// The run's records and the trees it left out: their codes are matched to
// the run's levels, and a code no record has becomes a new level.
TEST(RemlTreesFromRun, AddsTheLeftOutTreesToTheRunsLevels) {
  RunData run = test::BuildTrial(test::WorkedExampleTrees({1.0f, 2.0f}));
  run.leftOut.site = {LevelCode::Whole(2), LevelCode::Whole(1), LevelCode::Whole(3)};
  run.leftOut.block = {LevelCode::Whole(2), LevelCode::Whole(3), LevelCode::Whole(1)};
  run.leftOut.family = {LevelCode::Whole(102), LevelCode::Whole(101), LevelCode::Whole(109)};
  run.leftOut.value = {{}, {30, NAN, 31}, {NAN, 50, 51}};
  const RemlTrees trees = RemlTreesFromRun(run);
  ASSERT_EQ(trees.Trees(), 11);
  EXPECT_EQ(trees.nSite, 3);
  EXPECT_EQ(trees.nBlock, 6);
  EXPECT_EQ(trees.nFamily, 3);
  EXPECT_THAT(trees.blockSite, testing::ElementsAre(0, 0, 1, 1, 0, 2));
  // The worked example's records: site, block of site, family, value.
  const double plots[4][4] = {{1, 1, 10, 14}, {1, 2, 12, 16}, {2, 1, 20, 22}, {2, 2, 18, 26}};
  for (int r = 0; r < 8; ++r) {
    const auto& plot = plots[r / 2];
    EXPECT_EQ(trees.site[r], plot[0] - 1);
    EXPECT_EQ(trees.block[r], 2 * (plot[0] - 1) + plot[1] - 1);
    EXPECT_EQ(trees.family[r], r % 2);
    EXPECT_EQ(trees.value[0][r], plot[2 + r % 2]);
    EXPECT_EQ(trees.value[1][r], 2 * plot[2 + r % 2]);
  }
  const int expected[3][3] = {{1, 3, 1}, {0, 4, 0}, {2, 5, 2}};  // site, block, family of each left-out tree
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(trees.site[8 + k], expected[k][0]);
    EXPECT_EQ(trees.block[8 + k], expected[k][1]);
    EXPECT_EQ(trees.family[8 + k], expected[k][2]);
  }
  EXPECT_EQ(trees.value[0][8], 30);
  EXPECT_TRUE(std::isnan(trees.value[0][9]));
  EXPECT_EQ(trees.value[1][10], 51);
}

// The level coding replaces the levels by model columns: read before it or
// after it, the trees are the same.
TEST(RemlTreesFromRun, SameTreesBeforeAndAfterTheLevelCoding) {
  RunData run;
  run.nTrait = 1;
  run.traitValue.Reset(1);
  run.siteCode = {{}, LevelCode::Whole(5), LevelCode::Whole(7)};
  run.blockCode = {{}, {{}, LevelCode::Whole(1), LevelCode::Whole(2)}, {{}, LevelCode::Whole(1)}};
  run.blockCount = {0, 2, 1};
  run.familyCode = {{}, LevelCode::Whole(11), LevelCode::Whole(12)};
  run.nSite = 2, run.nFamily = 2, run.nBlock = 2;
  const int records[][3] = {{2, 1, 2}, {1, 2, 1}, {1, 1, 2}, {2, 1, 1}, {1, 2, 2}};
  for (const auto& r : records) {
    run.recordColumn.AppendLevels(r[0], r[1], r[2]);
    run.traitValue.TraitVector(1).push_back(r[0] * 100 + r[1] * 10 + r[2]);
    ++run.nRecord;
  }
  const RemlTrees before = RemlTreesFromRun(run);
  NullSink sink;
  ProgressLog log(sink);
  CodeLevels(run, log);
  const RemlTrees after = RemlTreesFromRun(run);
  EXPECT_THAT(before.site, testing::ElementsAre(1, 0, 0, 1, 0));
  EXPECT_THAT(before.block, testing::ElementsAre(2, 1, 0, 2, 1));
  EXPECT_THAT(before.family, testing::ElementsAre(1, 0, 1, 0, 1));
  EXPECT_THAT(before.blockSite, testing::ElementsAre(0, 0, 1));
  EXPECT_EQ(after.site, before.site);
  EXPECT_EQ(after.block, before.block);
  EXPECT_EQ(after.family, before.family);
  EXPECT_EQ(after.value, before.value);
}

// A sheet read by the program with --missing drop: the trees that lack y2
// are left out of the analysis of variance and come back for REML, which
// then fits y1 on every tree, as the sheet read here tree by tree does.
TEST(RemlTreesFromRun, LeftOutTreesOfTheReaderCountForTheTraitsTheyHave) {
  RunParameters params;
  params.dataPath = ReferenceFolder() + "/design_3.csv";
  params.delimited = true;
  params.siteColumn = "site", params.blockColumn = "block", params.familyColumn = "family";
  params.traitColumns = {"y1", "y2"};
  params.nSite = 10, params.nBlock = 10, params.nFamily = 100, params.nRecord = 1000;
  params.missing = MissingMode::kDrop;
  params.reml = true;
  RunData run = PrepareReading(params);
  NullSink sink;
  ProgressLog log(sink);
  ReadRecords(run, log);
  SettleCounts(run);
  CodeLevels(run, log);
  ASSERT_EQ(run.nRecord, 73);
  ASSERT_EQ(run.leftOut.site.size(), 18u);
  const RemlTrees trees = RemlTreesFromRun(run);
  const TreeList list = ReadDesign(ReferenceFolder() + "/design_3.csv");
  for (int trait = 0; trait < 2; ++trait) {
    SCOPED_TRACE(trait + 1);
    const UnivariateFit fromRun = FitTrait(trees, trait, RemlOptions{});
    const UnivariateFit direct = FitTrait(list.Trees(), trait, RemlOptions{});
    EXPECT_EQ(fromRun.trees, direct.trees);
    // The same trees in another order: sums that differ in rounding.
    EXPECT_NEAR(fromRun.vf.value, direct.vf.value, 1e-9 * direct.vf.value);
    EXPECT_NEAR(fromRun.ve.value, direct.ve.value, 1e-9 * direct.ve.value);
    EXPECT_NEAR(fromRun.logLikelihood, direct.logLikelihood, 1e-9);
  }
}

}  // namespace
}  // namespace korvan
