#include "reml/bivariate.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "base/korvan_error.h"
#include "base/parallel.h"
#include "reml/mixed_model_equations.h"
#include "reml/trait_design.h"

namespace korvan {

namespace {

constexpr double kLog2Pi = 1.8378770664093454836;
constexpr int kFamily = 0, kCell = 1, kError = 2;

// Which traits a tree has. Its R^-1 is E^-1, or 1/e_tt on the one trait it
// has and 0 elsewhere: the error covariance of a missing value never enters.
enum Pattern : int { kBoth = 0, kFirstOnly = 1, kSecondOnly = 2 };

// The trees of a pair, sorted by site, family and block, with the levels
// numbered among the trees that have either trait. A group is the trees of
// one cell in one block: they share every coefficient of the equations.
struct PairDesign {
  int n = 0;
  std::array<int, 3> patternCount{};  // trees by pattern
  int nSite = 0, nBlock = 0, nF = 0, nC = 0;
  int p = 0;  // fixed effects: one per trait and block that has it
  std::vector<int> treeGroup;
  std::vector<Pattern> treePattern;
  Eigen::Matrix2Xd y;  // centred by each trait's mean, which the blocks absorb; 0 where missing
  std::vector<int> groupBlock, groupCell;
  std::vector<std::array<double, 3>> groupCount;  // trees of the group by pattern
  std::vector<int> cellSite, cellFamily;
  std::vector<int> cellFirstGroup;                // groups of cell c: cellFirstGroup[c] .. cellFirstGroup[c + 1] - 1
  std::vector<std::array<int, 2>> blockUnknown;   // by block and trait; -1 where no tree of the block has the trait
  std::vector<int> siteFirstUnknown;              // fixed effects of site s: siteFirstUnknown[s] .. [s + 1] - 1
  std::vector<int> unknownSite;                   // the site of each fixed effect

  int Observations() const { return 2 * patternCount[kBoth] + patternCount[kFirstOnly] + patternCount[kSecondOnly]; }
};

PairDesign DesignOfPair(const RemlTrees& trees, int trait1, int trait2) {
  const std::array<const std::vector<double>*, 2> value = {&trees.value[static_cast<std::size_t>(trait1)],
                                                          &trees.value[static_cast<std::size_t>(trait2)]};
  PairDesign d;
  std::vector<int> kept;
  std::array<double, 2> sum{}, count{};
  for (int t = 0; t < trees.Trees(); ++t) {
    bool any = false;
    for (int k = 0; k < 2; ++k)
      if (std::isfinite((*value[k])[t])) sum[k] += (*value[k])[t], ++count[k], any = true;
    if (any) kept.push_back(t);
  }
  d.n = static_cast<int>(kept.size());
  const std::array<double, 2> mean = {count[0] > 0 ? sum[0] / count[0] : 0, count[1] > 0 ? sum[1] / count[1] : 0};
  std::vector<char> siteUsed(static_cast<std::size_t>(trees.nSite)), blockUsed(static_cast<std::size_t>(trees.nBlock)),
      familyUsed(static_cast<std::size_t>(trees.nFamily));
  for (const int t : kept) siteUsed[trees.site[t]] = blockUsed[trees.block[t]] = familyUsed[trees.family[t]] = 1;
  const std::vector<int> site = Renumber(siteUsed, d.nSite), family = Renumber(familyUsed, d.nF);
  // Blocks by site, so that each site's fixed effects are neighbours.
  std::vector<int> blocksInOrder, block(static_cast<std::size_t>(trees.nBlock), -1);
  for (int b = 0; b < trees.nBlock; ++b)
    if (blockUsed[b]) blocksInOrder.push_back(b);
  std::stable_sort(blocksInOrder.begin(), blocksInOrder.end(),
                   [&](int a, int b) { return site[trees.blockSite[a]] < site[trees.blockSite[b]]; });
  d.nBlock = static_cast<int>(blocksInOrder.size());
  for (int b = 0; b < d.nBlock; ++b) block[blocksInOrder[b]] = b;
  auto key = [&](int t) { return std::tuple{site[trees.site[t]], family[trees.family[t]], block[trees.block[t]]}; };
  std::sort(kept.begin(), kept.end(), [&](int a, int b) { return key(a) < key(b); });

  d.y.resize(2, d.n);
  std::vector<std::array<char, 2>> blockHas(static_cast<std::size_t>(d.nBlock), {0, 0});
  for (int i = 0; i < d.n; ++i) {
    const int t = kept[i];
    const auto [s, f, b] = key(t);
    const bool newCell = i == 0 || std::get<0>(key(kept[i - 1])) != s || std::get<1>(key(kept[i - 1])) != f;
    if (newCell) {
      d.cellSite.push_back(s);
      d.cellFamily.push_back(f);
      d.cellFirstGroup.push_back(static_cast<int>(d.groupBlock.size()));
    }
    if (newCell || std::get<2>(key(kept[i - 1])) != b) {
      d.groupBlock.push_back(b);
      d.groupCell.push_back(static_cast<int>(d.cellSite.size()) - 1);
      d.groupCount.push_back({0, 0, 0});
    }
    const std::array<bool, 2> has = {std::isfinite((*value[0])[t]), std::isfinite((*value[1])[t])};
    const Pattern pattern = has[0] && has[1] ? kBoth : has[0] ? kFirstOnly : kSecondOnly;
    for (int k = 0; k < 2; ++k) {
      d.y(k, i) = has[k] ? (*value[k])[t] - mean[k] : 0;
      if (has[k]) blockHas[b][k] = 1;
    }
    d.treePattern.push_back(pattern);
    d.treeGroup.push_back(static_cast<int>(d.groupBlock.size()) - 1);
    ++d.patternCount[pattern];
    ++d.groupCount.back()[pattern];
  }
  d.nC = static_cast<int>(d.cellSite.size());
  d.cellFirstGroup.push_back(static_cast<int>(d.groupBlock.size()));
  d.siteFirstUnknown.assign(static_cast<std::size_t>(d.nSite) + 1, 0);
  for (int b = 0; b < d.nBlock; ++b) {
    const auto& has = blockHas[b];
    const int s = site[trees.blockSite[blocksInOrder[b]]];
    d.blockUnknown.push_back({has[0] ? d.p++ : -1, has[1] ? d.p++ : -1});
    d.unknownSite.resize(static_cast<std::size_t>(d.p), s);
    d.siteFirstUnknown[s + 1] = d.p;
  }
  return d;
}

// A point of the parameter space. A random term's matrix is free (rank 2),
// held at rank one on the edge of the positive semi-definite cone, or out
// of the model (rank 0).
struct State {
  std::array<Eigen::Matrix2d, 3> k;  // family, cell, error
  std::array<int, 2> rank{2, 2};     // of family and cell
};

// lambda with K = lambda lambda' of a rank-one matrix, its sign fixed so
// that the same matrix always gives the same vector.
Eigen::Vector2d LambdaOf(const Eigen::Matrix2d& k) {
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix2d> eigen(k);
  Eigen::Vector2d lambda = std::sqrt(std::max(0.0, eigen.eigenvalues()[1])) * eigen.eigenvectors().col(1);
  if (lambda[0] < 0 || (lambda[0] == 0 && lambda[1] < 0)) lambda = -lambda;
  return lambda;
}

bool PositiveDefinite(const Eigen::Matrix2d& k) { return k(0, 0) > 0 && k(1, 1) > 0 && k.determinant() > 0; }

// The equations are written with u = L a for each random term, K = L L', so
// that the effects a have the identity as covariance: no K^-1 is needed,
// and a matrix of rank one is a term with one effect per level.
struct Factors {
  std::array<Eigen::MatrixXd, 2> l;     // 2 x rank of family and cell
  std::array<Eigen::Matrix2d, 3> rInverse;  // by pattern
  std::array<double, 3> logDetR{};          // by pattern
};

Factors FactorsOf(const State& s) {
  Factors f;
  for (int term : {kFamily, kCell}) {
    if (s.rank[term] == 2) {
      const Eigen::LLT<Eigen::Matrix2d> llt(s.k[term]);
      if (llt.info() != Eigen::Success) throw NotPositiveDefinite();
      f.l[term] = llt.matrixL().toDenseMatrix();
    } else if (s.rank[term] == 1) {
      f.l[term] = LambdaOf(s.k[term]);
    } else {
      f.l[term].resize(2, 0);
    }
  }
  const Eigen::Matrix2d& e = s.k[kError];
  if (!PositiveDefinite(e)) throw NotPositiveDefinite();
  f.rInverse[kBoth] = e.inverse();
  f.rInverse[kFirstOnly] << 1 / e(0, 0), 0, 0, 0;
  f.rInverse[kSecondOnly] << 0, 0, 0, 1 / e(1, 1);
  f.logDetR = {std::log(e.determinant()), std::log(e(0, 0)), std::log(e(1, 1))};
  return f;
}

double LogDeterminantOf(const Eigen::LLT<Eigen::MatrixXd>& factor) {
  if (factor.info() != Eigen::Success) throw NotPositiveDefinite();
  double sum = 0;
  for (Eigen::Index k = 0; k < factor.matrixLLT().rows(); ++k) {
    const double pivot = factor.matrixLLT()(k, k);
    if (!(pivot > 0)) throw NotPositiveDefinite();
    sum += 2 * std::log(pivot);
  }
  return sum;
}

// Sums over the levels of a term of [Z'PZ]_jj L, and over the trees of
// their diagonal blocks of P: what the traces of the score are made of.
struct Traces {
  std::array<Eigen::MatrixXd, 2> zpzL;  // 2 x rank, family and cell
  Eigen::Matrix2d pDiagonal = Eigen::Matrix2d::Zero();
};

// The mixed-model equations of the pair. The cells' equations (rank x rank
// each) are absorbed first, which couples the blocks of a site among
// themselves and to the families at that site. Then whichever group is
// larger is absorbed into the other: the families' (rank x rank each),
// which leaves the dense system of the blocks' fixed effects, or each
// site's blocks, which leaves the families' dense system: a trial of many
// small blocks factors a matrix of the families' size whatever the number
// of blocks. The reduced unknowns are the blocks' p, then each family's.
class PairEquations {
 public:
  PairEquations(const PairDesign& d, const Factors& f);

  double LogDeterminant() const { return logDeterminant_; }
  // The fitted values by group of the solutions for the right-hand sides
  // W'R^-1 v, given as the totals of R^-1 v by group: all at once, so that
  // the cells' small systems are visited once for all of them.
  std::vector<Eigen::Matrix2Xd> FittedByGroup(const std::vector<Eigen::Matrix2Xd>& groupTotals) const;
  Traces TracesOfP() const;

 private:
  void AddCell(int c);
  void AbsorbFamilies();
  void AbsorbSites();
  // A tree of group g's fitted value from the unknowns it takes, and their
  // columns among its cell's local unknowns, whose block part starts at
  // `at`: its block's, the family's, the cell's.
  Eigen::MatrixXd FittedMap(int g, int at, int local, std::vector<int>& columns) const;

  const PairDesign& d_;
  const Factors& f_;
  int rf_, rc_;
  double logDeterminant_ = 0;
  std::vector<Eigen::Matrix2d> groupN_;               // sum of R^-1 over the group's trees
  std::vector<std::vector<int>> cellLocal_;           // reduced unknowns a cell's equations couple to
  std::vector<Eigen::MatrixXd> cellCoupling_;         // H: rank x local
  std::vector<Eigen::LLT<Eigen::MatrixXd>> cellFactor_;
  Eigen::MatrixXd blocks_;                            // the blocks' system, then with the families absorbed
  Eigen::MatrixXd coupling_;                          // blocks x family unknowns
  std::vector<Eigen::MatrixXd> familySystem_;
  std::vector<Eigen::LLT<Eigen::MatrixXd>> familyFactor_;
  Eigen::MatrixXd absorbed_;                          // W = A^-1 B': family unknowns x blocks
  bool familiesDense_ = false;
  std::vector<Eigen::LLT<Eigen::MatrixXd>> siteFactors_;  // families dense: each site's blocks
  Eigen::MatrixXd siteAbsorbed_;                      // families dense: each site's A_s^-1 B_s, blocks x family unknowns
  Eigen::LLT<Eigen::MatrixXd> dense_;
};

PairEquations::PairEquations(const PairDesign& d, const Factors& f)
    : d_(d), f_(f), rf_(static_cast<int>(f.l[kFamily].cols())), rc_(static_cast<int>(f.l[kCell].cols())) {
  groupN_.resize(d_.groupBlock.size());
  for (std::size_t g = 0; g < groupN_.size(); ++g) {
    groupN_[g].setZero();
    for (int pattern = 0; pattern < 3; ++pattern) groupN_[g] += d_.groupCount[g][pattern] * f_.rInverse[pattern];
  }
  blocks_ = Eigen::MatrixXd::Zero(d_.p, d_.p);
  coupling_ = Eigen::MatrixXd::Zero(d_.p, rf_ * d_.nF);
  familySystem_.assign(static_cast<std::size_t>(d_.nF), Eigen::MatrixXd::Identity(rf_, rf_));
  cellLocal_.resize(static_cast<std::size_t>(d_.nC));
  cellCoupling_.resize(static_cast<std::size_t>(d_.nC));
  cellFactor_.resize(static_cast<std::size_t>(d_.nC));
  for (int c = 0; c < d_.nC; ++c) AddCell(c);
  familiesDense_ = rf_ > 0 && rf_ * d_.nF < d_.p;
  if (familiesDense_)
    AbsorbSites();
  else
    AbsorbFamilies();
}

// The cell's trees enter the blocks' and family's equations whether or not
// the cell has its own effects; with them, H' D^-1 H is subtracted among the
// unknowns it couples to.
void PairEquations::AddCell(int c) {
  const int fam = d_.cellFamily[c], famAt = d_.p + rf_ * fam;
  const Eigen::MatrixXd& lf = f_.l[kFamily];
  const Eigen::MatrixXd& lc = f_.l[kCell];
  std::vector<int>& local = cellLocal_[c];
  Eigen::Matrix2d nCell = Eigen::Matrix2d::Zero();
  std::vector<Eigen::VectorXd> blockColumns;
  for (int g = d_.cellFirstGroup[c]; g < d_.cellFirstGroup[c + 1]; ++g) {
    const Eigen::Matrix2d& n = groupN_[g];
    nCell += n;
    const auto& unknown = d_.blockUnknown[d_.groupBlock[g]];
    const Eigen::MatrixXd nl = n * lf;
    for (int t = 0; t < 2; ++t) {
      if (unknown[t] < 0) continue;
      for (int u = 0; u < 2; ++u)
        if (unknown[u] >= 0) blocks_(unknown[t], unknown[u]) += n(t, u);
      coupling_.block(unknown[t], rf_ * fam, 1, rf_) += nl.row(t);
      local.push_back(unknown[t]);
      blockColumns.push_back(lc.transpose() * n.col(t));
    }
    familySystem_[fam] += lf.transpose() * n * lf;
  }
  for (int k = 0; k < rf_; ++k) local.push_back(famAt + k);
  if (rc_ == 0) return;
  const int m = static_cast<int>(local.size());
  Eigen::MatrixXd& h = cellCoupling_[c];
  h.resize(rc_, m);
  for (std::size_t j = 0; j < blockColumns.size(); ++j) h.col(static_cast<Eigen::Index>(j)) = blockColumns[j];
  h.rightCols(rf_) = lc.transpose() * nCell * lf;
  Eigen::MatrixXd diagonal = lc.transpose() * nCell * lc;
  diagonal.diagonal().array() += 1;
  cellFactor_[c].compute(diagonal);
  logDeterminant_ += LogDeterminantOf(cellFactor_[c]);
  const Eigen::MatrixXd absorbed = h.transpose() * cellFactor_[c].solve(h);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < m; ++j) {
      const int a = local[i], b = local[j];
      if (a < d_.p && b < d_.p) blocks_(a, b) -= absorbed(i, j);
      else if (a < d_.p) coupling_(a, b - d_.p) -= absorbed(i, j);
      else if (b >= d_.p) familySystem_[fam](a - famAt, b - famAt) -= absorbed(i, j);
    }
}

void PairEquations::AbsorbFamilies() {
  familyFactor_.resize(static_cast<std::size_t>(d_.nF));
  absorbed_.resize(rf_ * d_.nF, d_.p);
  for (int fam = 0; fam < d_.nF && rf_ > 0; ++fam) {
    familyFactor_[fam].compute(familySystem_[fam]);
    logDeterminant_ += LogDeterminantOf(familyFactor_[fam]);
    absorbed_.middleRows(rf_ * fam, rf_) = familyFactor_[fam].solve(coupling_.middleCols(rf_ * fam, rf_).transpose());
  }
  if (rf_ > 0) blocks_.noalias() -= coupling_ * absorbed_;
  dense_.compute(blocks_);
  logDeterminant_ += LogDeterminantOf(dense_);
}

// Blocks of different sites share no equation once the cells are absorbed:
// each site's are solved for their coupling to the families on their own.
void PairEquations::AbsorbSites() {
  siteFactors_.resize(static_cast<std::size_t>(d_.nSite));
  siteAbsorbed_.resize(d_.p, rf_ * d_.nF);
  for (int s = 0; s < d_.nSite; ++s) {
    const int first = d_.siteFirstUnknown[s], count = d_.siteFirstUnknown[s + 1] - first;
    siteFactors_[s].compute(blocks_.block(first, first, count, count));
    logDeterminant_ += LogDeterminantOf(siteFactors_[s]);
    siteAbsorbed_.middleRows(first, count) = siteFactors_[s].solve(coupling_.middleRows(first, count));
  }
  Eigen::MatrixXd system = -coupling_.transpose() * siteAbsorbed_;
  for (int fam = 0; fam < d_.nF; ++fam) system.block(rf_ * fam, rf_ * fam, rf_, rf_) += familySystem_[fam];
  dense_.compute(system);
  logDeterminant_ += LogDeterminantOf(dense_);
}

std::vector<Eigen::Matrix2Xd> PairEquations::FittedByGroup(const std::vector<Eigen::Matrix2Xd>& groupTotals) const {
  const int nReduced = d_.p + rf_ * d_.nF, k = static_cast<int>(groupTotals.size());
  Eigen::MatrixXd r = Eigen::MatrixXd::Zero(nReduced, k);
  Eigen::MatrixXd rc = Eigen::MatrixXd::Zero(rc_ * d_.nC, k);  // rows rc_ c .. of cell c
  // Each group's share through L' in one product; the scatter by scalars,
  // as blocks of one or two rows cost more than their arithmetic.
  for (int j = 0; j < k; ++j) {
    const Eigen::MatrixXd toFamily = f_.l[kFamily].transpose() * groupTotals[j];
    const Eigen::MatrixXd toCell = f_.l[kCell].transpose() * groupTotals[j];
    for (std::size_t g = 0; g < d_.groupBlock.size(); ++g) {
      const auto& unknown = d_.blockUnknown[d_.groupBlock[g]];
      for (int t = 0; t < 2; ++t)
        if (unknown[t] >= 0) r(unknown[t], j) += groupTotals[j](t, static_cast<Eigen::Index>(g));
      const int c = d_.groupCell[g], famAt = d_.p + rf_ * d_.cellFamily[c];
      for (int e = 0; e < rf_; ++e) r(famAt + e, j) += toFamily(e, static_cast<Eigen::Index>(g));
      for (int e = 0; e < rc_; ++e) rc(rc_ * c + e, j) += toCell(e, static_cast<Eigen::Index>(g));
    }
  }
  // Forward through the absorptions, the dense solve, and back.
  for (int c = 0; c < d_.nC && rc_ > 0; ++c) {
    const Eigen::MatrixXd pushed = cellCoupling_[c].transpose() * cellFactor_[c].solve(rc.middleRows(rc_ * c, rc_));
    for (std::size_t i = 0; i < cellLocal_[c].size(); ++i)
      r.row(cellLocal_[c][i]) -= pushed.row(static_cast<Eigen::Index>(i));
  }
  Eigen::MatrixXd x(nReduced, k);
  if (familiesDense_) {
    x.bottomRows(rf_ * d_.nF) = dense_.solve(r.bottomRows(rf_ * d_.nF) - siteAbsorbed_.transpose() * r.topRows(d_.p));
    for (int s = 0; s < d_.nSite; ++s) {
      const int first = d_.siteFirstUnknown[s], count = d_.siteFirstUnknown[s + 1] - first;
      x.middleRows(first, count) = siteFactors_[s].solve(r.middleRows(first, count));
    }
    x.topRows(d_.p).noalias() -= siteAbsorbed_ * x.bottomRows(rf_ * d_.nF);
  } else {
    if (rf_ > 0) r.topRows(d_.p).noalias() -= absorbed_.transpose() * r.bottomRows(rf_ * d_.nF);
    x.topRows(d_.p) = dense_.solve(r.topRows(d_.p));
    for (int fam = 0; fam < d_.nF && rf_ > 0; ++fam)
      x.middleRows(d_.p + rf_ * fam, rf_) = familyFactor_[fam].solve(r.middleRows(d_.p + rf_ * fam, rf_));
    if (rf_ > 0) x.bottomRows(rf_ * d_.nF).noalias() -= absorbed_ * x.topRows(d_.p);
  }
  Eigen::MatrixXd xc = Eigen::MatrixXd::Zero(rc_ * d_.nC, k);
  for (int c = 0; c < d_.nC && rc_ > 0; ++c) {
    Eigen::MatrixXd right = rc.middleRows(rc_ * c, rc_);
    for (std::size_t i = 0; i < cellLocal_[c].size(); ++i)
      right -= cellCoupling_[c].col(static_cast<Eigen::Index>(i)) * x.row(cellLocal_[c][i]);
    xc.middleRows(rc_ * c, rc_) = cellFactor_[c].solve(right);
  }
  std::vector<Eigen::Matrix2Xd> fitted(static_cast<std::size_t>(k), Eigen::Matrix2Xd(2, d_.groupBlock.size()));
  for (int j = 0; j < k; ++j)
    for (std::size_t g = 0; g < d_.groupBlock.size(); ++g) {
      const auto& unknown = d_.blockUnknown[d_.groupBlock[g]];
      const int c = d_.groupCell[g], famAt = d_.p + rf_ * d_.cellFamily[c];
      for (int t = 0; t < 2; ++t) {
        double value = unknown[t] >= 0 ? x(unknown[t], j) : 0;
        for (int e = 0; e < rf_; ++e) value += f_.l[kFamily](t, e) * x(famAt + e, j);
        for (int e = 0; e < rc_; ++e) value += f_.l[kCell](t, e) * xc(rc_ * c + e, j);
        fitted[j](t, static_cast<Eigen::Index>(g)) = value;
      }
    }
  return fitted;
}

Eigen::MatrixXd PairEquations::FittedMap(int g, int at, int local, std::vector<int>& columns) const {
  columns.clear();
  const auto& unknown = d_.blockUnknown[d_.groupBlock[g]];
  Eigen::MatrixXd map = Eigen::MatrixXd::Zero(2, (unknown[0] >= 0) + (unknown[1] >= 0) + rf_ + rc_);
  for (int t = 0; t < 2; ++t)
    if (unknown[t] >= 0) {
      map(t, static_cast<Eigen::Index>(columns.size())) = 1;
      columns.push_back(at++);
    }
  for (int e = 0; e < rf_; ++e) columns.push_back(local - rf_ + e);
  for (int e = 0; e < rc_; ++e) columns.push_back(local + e);
  map.middleCols(map.cols() - rf_ - rc_, rf_) = f_.l[kFamily];
  map.rightCols(rc_) = f_.l[kCell];
  return map;
}

// Only the blocks of C^-1 where C itself has entries are needed: with the
// absorbed group's equations A, the coupling B, W = A^-1 B and the dense
// system S, the dense group's inverse is S^-1, the cross part -W S^-1 and
// the absorbed group's own A^-1 + W S^-1 W'. A cell's, and its coupling to
// the unknowns it touches, follow from those among its local unknowns M:
// D^-1 + D^-1 H M H' D^-1 and -D^-1 H M.
Traces PairEquations::TracesOfP() const {
  const Eigen::MatrixXd denseInverse = dense_.solve(Eigen::MatrixXd::Identity(dense_.rows(), dense_.cols()));
  Eigen::MatrixXd cross(d_.p, rf_ * d_.nF);  // blocks x family unknowns
  std::vector<Eigen::MatrixXd> absorbedInverse;  // each family's, or each site's blocks'
  if (familiesDense_) {
    cross.noalias() = -siteAbsorbed_ * denseInverse;
    for (int s = 0; s < d_.nSite; ++s) {
      const int first = d_.siteFirstUnknown[s], count = d_.siteFirstUnknown[s + 1] - first;
      absorbedInverse.push_back(siteFactors_[s].solve(Eigen::MatrixXd::Identity(count, count)) -
                                siteAbsorbed_.middleRows(first, count) * cross.middleRows(first, count).transpose());
    }
  } else if (rf_ > 0) {
    cross.noalias() = -denseInverse * absorbed_.transpose();
    for (int fam = 0; fam < d_.nF; ++fam)
      absorbedInverse.push_back(familyFactor_[fam].solve(Eigen::MatrixXd::Identity(rf_, rf_)) -
                                absorbed_.middleRows(rf_ * fam, rf_) * cross.middleCols(rf_ * fam, rf_));
  }
  // Two blocks are of one site, two family unknowns of one family.
  auto inverseAt = [&](int a, int b) {
    if (a < d_.p && b < d_.p) {
      if (!familiesDense_) return denseInverse(a, b);
      const int s = d_.unknownSite[a], first = d_.siteFirstUnknown[s];
      return absorbedInverse[s](a - first, b - first);
    }
    if (a < d_.p) return cross(a, b - d_.p);
    if (b < d_.p) return cross(b, a - d_.p);
    if (familiesDense_) return denseInverse(a - d_.p, b - d_.p);
    const int fam = (a - d_.p) / rf_;
    return absorbedInverse[fam](a - d_.p - rf_ * fam, b - d_.p - rf_ * fam);
  };
  Traces traces;
  traces.zpzL[kFamily] = Eigen::MatrixXd::Zero(2, rf_);
  traces.zpzL[kCell] = Eigen::MatrixXd::Zero(2, rc_);
  for (int c = 0; c < d_.nC; ++c) {
    const std::vector<int>& local = cellLocal_[c];
    const int m = static_cast<int>(local.size());
    Eigen::MatrixXd inverse(m + rc_, m + rc_);
    for (int i = 0; i < m; ++i)
      for (int j = 0; j < m; ++j) inverse(i, j) = inverseAt(local[i], local[j]);
    if (rc_ > 0) {
      const Eigen::MatrixXd& h = cellCoupling_[c];
      const Eigen::MatrixXd pushed = cellFactor_[c].solve(h * inverse.topLeftCorner(m, m));  // D^-1 H M
      inverse.bottomLeftCorner(rc_, m) = -pushed;
      inverse.topRightCorner(m, rc_) = -pushed.transpose();
      inverse.bottomRightCorner(rc_, rc_) =
          cellFactor_[c].solve(Eigen::MatrixXd::Identity(rc_, rc_) + h * pushed.transpose());
    }
    Eigen::MatrixXd coupling = Eigen::MatrixXd::Zero(2, m + rc_);  // [Z_c' R^-1 W]
    Eigen::Matrix2d nCell = Eigen::Matrix2d::Zero();
    int at = 0;
    std::vector<int> columns;
    for (int g = d_.cellFirstGroup[c]; g < d_.cellFirstGroup[c + 1]; ++g) {
      // A tree's fitted value takes its block's, family's and cell's
      // unknowns only: a handful of the cell's columns.
      const Eigen::MatrixXd map = FittedMap(g, at, m, columns);
      const int blockColumns = static_cast<int>(columns.size()) - rf_ - rc_;
      const Eigen::Matrix2d fittedVariance = map * inverse(columns, columns) * map.transpose();
      for (int pattern = 0; pattern < 3; ++pattern) {
        const Eigen::Matrix2d& ri = f_.rInverse[pattern];
        traces.pDiagonal += d_.groupCount[g][pattern] * (ri - ri * fittedVariance * ri);
      }
      coupling.middleCols(at, blockColumns) += groupN_[g] * map.leftCols(blockColumns);
      nCell += groupN_[g];
      at += blockColumns;
    }
    coupling.middleCols(m - rf_, rf_) = nCell * f_.l[kFamily];
    coupling.rightCols(rc_) = nCell * f_.l[kCell];
    traces.zpzL[kFamily] += coupling * inverse.middleCols(m - rf_, rf_);
    traces.zpzL[kCell] += coupling * inverse.rightCols(rc_);
  }
  return traces;
}

// One parameter of the iteration: an entry of a free matrix (D = dK/dv_ij),
// or of a matrix held at rank one, K = s v v' with v = (cos phi, sin phi),
// its size s (D = v v') or its angle phi (D = s (v w' + w v'), w the normal
// of v), which keep it on the edge of the cone. Size and angle rather than
// lambda = sqrt(s) v: steps in lambda shrink a matrix of the wrong angle
// towards 0, where lambda can no longer turn.
struct Parameter {
  int term = kError;
  int index = 0;  // v11, v12, v22; or s, phi
  Eigen::Matrix2d d;
};

Eigen::Vector2d NormalOf(const Eigen::Vector2d& v) { return Eigen::Vector2d(-v[1], v[0]); }

Eigen::Matrix2d EntryDirection(int index) {
  Eigen::Matrix2d d = Eigen::Matrix2d::Zero();
  if (index == 0) d(0, 0) = 1;
  if (index == 1) d(0, 1) = d(1, 0) = 1;
  if (index == 2) d(1, 1) = 1;
  return d;
}

std::vector<Parameter> ParametersOf(const State& s, bool entriesOnly = false) {
  std::vector<Parameter> params;
  for (int term : {kFamily, kCell, kError}) {
    const int rank = term == kError ? 2 : s.rank[term];
    if (rank == 2)
      for (int i = 0; i < 3; ++i) params.push_back({term, i, EntryDirection(i)});
    if (rank == 1 && !entriesOnly) {
      const Eigen::Vector2d lambda = LambdaOf(s.k[term]);
      const double size = lambda.squaredNorm();
      const Eigen::Vector2d v = lambda.normalized(), w = NormalOf(v);
      params.push_back({term, 0, v * v.transpose()});
      params.push_back({term, 1, size * (v * w.transpose() + w * v.transpose())});
    }
  }
  return params;
}

// The REML log-likelihood at one point and, when asked, its gradient and
// the average information among the given parameters.
struct Evaluation {
  double logL = 0;
  Eigen::VectorXd score;
  Eigen::MatrixXd ai;
};

// P v = R^-1 (v - W C^-1 W'R^-1 v) of vectors on the trees.
std::vector<Eigen::Matrix2Xd> ApplyP(const PairDesign& d, const Factors& f, const PairEquations& eq,
                                     const std::vector<Eigen::Matrix2Xd>& v) {
  std::vector<Eigen::Matrix2Xd> totals(v.size(), Eigen::Matrix2Xd::Zero(2, d.groupBlock.size()));
  for (std::size_t j = 0; j < v.size(); ++j)
    for (int i = 0; i < d.n; ++i) totals[j].col(d.treeGroup[i]) += f.rInverse[d.treePattern[i]] * v[j].col(i);
  const std::vector<Eigen::Matrix2Xd> fitted = eq.FittedByGroup(totals);
  std::vector<Eigen::Matrix2Xd> out(v.size(), Eigen::Matrix2Xd(2, d.n));
  for (std::size_t j = 0; j < v.size(); ++j)
    for (int i = 0; i < d.n; ++i)
      out[j].col(i) = f.rInverse[d.treePattern[i]] * (v[j].col(i) - fitted[j].col(d.treeGroup[i]));
  return out;
}

double TreeDot(const Eigen::Matrix2Xd& a, const Eigen::Matrix2Xd& b) { return a.cwiseProduct(b).sum(); }

// The trace tr(P dV/dtheta) = tr(D sum_j [Z'PZ]_jj) of a random term's
// parameter, from the sums [Z'PZ]_jj L.
double TraceOf(const Parameter& param, const Eigen::MatrixXd& l, const Eigen::MatrixXd& zpzL) {
  if (l.cols() == 2) {
    const Eigen::Matrix2d full = l;
    return (param.d * zpzL * full.inverse()).trace();
  }
  // D = v v' and D = s (v w' + w v') both have lambda in every product.
  const Eigen::Vector2d lambda = l.col(0);
  const double root = lambda.norm();
  const Eigen::Vector2d v = lambda / root;
  return param.index == 0 ? v.dot(zpzL.col(0)) / root : 2 * root * NormalOf(v).dot(zpzL.col(0));
}

// The score -tr(P dV)/2 + y'P dV P y/2 and the average information
// w_i'P w_j / 2 of the working variates w = dV P y: a random term's is
// Z (D x I) Z'Py, the error's D Py tree by tree.
void AddDerivatives(const PairDesign& d, const Factors& f, const PairEquations& eq, const Eigen::Matrix2Xd& py,
                    const std::vector<Parameter>& params, Evaluation& ev) {
  const Traces traces = eq.TracesOfP();
  std::array<Eigen::Matrix2Xd, 2> levelPy = {Eigen::Matrix2Xd::Zero(2, d.nF), Eigen::Matrix2Xd::Zero(2, d.nC)};
  for (int i = 0; i < d.n; ++i) {
    const int c = d.groupCell[d.treeGroup[i]];
    levelPy[kFamily].col(d.cellFamily[c]) += py.col(i);
    levelPy[kCell].col(c) += py.col(i);
  }
  const int m = static_cast<int>(params.size());
  ev.score.resize(m);
  ev.ai.resize(m, m);
  std::vector<Eigen::Matrix2Xd> working;
  for (const Parameter& param : params) {
    Eigen::Matrix2Xd w(2, d.n);
    double trace = 0;
    if (param.term == kError) {
      w = param.d * py;
      trace = (param.d * traces.pDiagonal).trace();
    } else {
      for (int i = 0; i < d.n; ++i) {
        const int c = d.groupCell[d.treeGroup[i]];
        w.col(i) = param.d * levelPy[param.term].col(param.term == kFamily ? d.cellFamily[c] : c);
      }
      trace = TraceOf(param, f.l[param.term], traces.zpzL[param.term]);
    }
    ev.score[static_cast<Eigen::Index>(working.size())] = -0.5 * trace + 0.5 * TreeDot(py, w);
    working.push_back(std::move(w));
  }
  const std::vector<Eigen::Matrix2Xd> pWorking = ApplyP(d, f, eq, working);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j <= i; ++j)
      ev.ai(i, j) = ev.ai(j, i) = 0.25 * (TreeDot(working[i], pWorking[j]) + TreeDot(working[j], pWorking[i]));
}

// -2 logL = (N - p) log 2pi + log|V| + log|X'V^-1 X| + y'Py, and with the
// effects' covariance the identity |V| |X'V^-1 X| = |R| |C|.
Evaluation Evaluate(const PairDesign& d, const State& s, const std::vector<Parameter>* params) {
  const Factors f = FactorsOf(s);
  const PairEquations eq(d, f);
  const Eigen::Matrix2Xd py = ApplyP(d, f, eq, {d.y})[0];
  double logDetR = 0;
  for (int pattern = 0; pattern < 3; ++pattern) logDetR += d.patternCount[pattern] * f.logDetR[pattern];
  Evaluation ev;
  ev.logL = -0.5 * ((d.Observations() - d.p) * kLog2Pi + logDetR + eq.LogDeterminant() + TreeDot(d.y, py));
  if (params != nullptr) AddDerivatives(d, f, eq, py, *params, ev);
  return ev;
}

// A trial of many trees has a log-likelihood whose rounding alone exceeds
// the tolerance: a change within it is no change.
double RoundingOf(double logL) { return 64 * std::numeric_limits<double>::epsilon() * std::abs(logL); }

// The AI step, damped by `damping` times the information's own diagonal:
// where the average information is nearly singular, as when one trait's
// families carry nothing the other's do not, the undamped step is huge
// along the null direction, and the damping turns it towards the gradient.
Eigen::VectorXd NewtonStep(const Evaluation& ev, double damping) {
  Eigen::MatrixXd ai = ev.ai;
  ai.diagonal() += damping * ev.ai.diagonal().cwiseAbs();
  const double scale = std::max(ai.diagonal().cwiseAbs().maxCoeff(), std::numeric_limits<double>::min());
  // An average information that is not positive definite is shifted until
  // it is: a shorter step uphill.
  for (double shift = 0; shift < scale * 1e3; shift = shift == 0 ? 1e-10 * scale : shift * 10) {
    Eigen::MatrixXd shifted = ai;
    shifted.diagonal().array() += shift;
    const Eigen::LDLT<Eigen::MatrixXd> factor(shifted);
    if (factor.info() == Eigen::Success && factor.vectorD().minCoeff() > 0) return factor.solve(ev.score);
  }
  return ev.score / scale;
}

State Moved(const State& s, const std::vector<Parameter>& params, const Eigen::VectorXd& step, double t) {
  State next = s;
  std::array<double, 2> size{}, angle{};
  for (std::size_t i = 0; i < params.size(); ++i) {
    const Parameter& param = params[i];
    const double by = t * step[static_cast<Eigen::Index>(i)];
    if (param.term != kError && s.rank[param.term] == 1)
      (param.index == 0 ? size : angle)[param.term] += by;
    else
      next.k[param.term] += by * param.d;
  }
  for (int term : {kFamily, kCell}) {
    if (s.rank[term] != 1) continue;
    const Eigen::Vector2d lambda = LambdaOf(s.k[term]);
    const Eigen::Vector2d v = lambda.normalized();
    const Eigen::Vector2d turned = std::cos(angle[term]) * v + std::sin(angle[term]) * NormalOf(v);
    next.k[term] = (lambda.squaredNorm() + size[term]) * turned * turned.transpose();
  }
  return next;
}

bool InCone(const State& s) {
  for (int term : {kFamily, kCell})
    if ((s.rank[term] == 2 && !PositiveDefinite(s.k[term])) || (s.rank[term] == 1 && !(s.k[term].trace() > 0)))
      return false;
  return PositiveDefinite(s.k[kError]);
}

// The nearest point of the cone: a free matrix that left it keeps its
// larger eigenvalue only and is held at rank one from then on.
State Projected(const State& s) {
  State next = s;
  for (int term : {kFamily, kCell}) {
    if (s.rank[term] != 2 || PositiveDefinite(s.k[term])) continue;
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix2d> eigen(s.k[term]);
    const double largest = eigen.eigenvalues()[1];
    next.k[term] = std::max(0.0, largest) * eigen.eigenvectors().col(1) * eigen.eigenvectors().col(1).transpose();
    next.rank[term] = largest > 0 ? 1 : 0;
  }
  return next;
}

double LargestRelativeChange(const State& from, const State& to) {
  double largest = 0;
  for (int term = 0; term < 3; ++term)
    for (int i = 0; i < 2; ++i)
      for (int j = i; j < 2; ++j) {
        const double a = from.k[term](i, j), b = to.k[term](i, j);
        if (a == b) continue;
        // A covariance is measured against its variances, so that one near 0
        // does not hold the iteration.
        const double scale = std::max(std::sqrt(std::abs(from.k[term](i, i) * from.k[term](j, j))),
                                      std::sqrt(std::abs(to.k[term](i, i) * to.k[term](j, j))));
        largest = std::max(largest, std::abs(b - a) / std::max(scale, std::numeric_limits<double>::min()));
      }
  return largest;
}

struct Iterated {
  bool converged = false;
  int iterations = 0;
  State s;
  Evaluation ev;
};

// The size and angle of a matrix held at rank one have curvatures that the
// average information, which leaves out the second derivatives of V, gets
// far from right: its steps along the edge converge in hundreds of
// iterations. Their rows are replaced by differences of the exact score, a
// few evaluations more for each held matrix.
Evaluation EvaluateForSteps(const PairDesign& d, const State& s, const std::vector<Parameter>& params) {
  Evaluation ev = Evaluate(d, s, &params);
  for (std::size_t k = 0; k < params.size(); ++k) {
    const Parameter& param = params[k];
    if (param.term == kError || s.rank[param.term] != 1) continue;
    const double h = param.index == 0 ? 1e-6 * s.k[param.term].trace() : 1e-6;
    Eigen::VectorXd unit = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(params.size()));
    unit[static_cast<Eigen::Index>(k)] = h;
    const State moved = Moved(s, params, unit, 1);
    const std::vector<Parameter> movedParams = ParametersOf(moved);
    const Eigen::VectorXd column = -(Evaluate(d, moved, &movedParams).score - ev.score) / h;
    ev.ai.col(static_cast<Eigen::Index>(k)) = column;
    ev.ai.row(static_cast<Eigen::Index>(k)) = column.transpose();
  }
  return ev;
}

// The likelihood at a point the equations may not solve, such as one an
// overshoot put at the very edge; -infinity there, which no step accepts.
double LogLikelihoodOrLowest(const PairDesign& d, const State& s) {
  try {
    return Evaluate(d, s, nullptr).logL;
  } catch (const NotPositiveDefinite&) {
    return -std::numeric_limits<double>::infinity();
  }
}

// The step along `step`, halved until inside the cone and then while the
// likelihood falls. Where the full step leaves the cone, its projection
// onto the edge is tried as well, and the more likely of the two taken:
// where the average information is singular in a direction in which the
// likelihood only rises towards the edge (the two traits' families differ
// by a factor alone), the step along it is huge, halving it gains next to
// nothing, and the projection puts the matrix where the likelihood is
// largest along it; where an early step merely overshoots, the halved step
// inside is the better, and the edge would hold the iteration on it for
// nothing. The full step, which is taken most often, is evaluated with its
// derivatives at once, into `evaluated`, as the next iteration needs them.
// False when neither raised the likelihood.
bool TryStep(const PairDesign& d, const Iterated& it, const std::vector<Parameter>& params,
             const Eigen::VectorXd& step, State& next, double& logL, std::optional<Evaluation>& evaluated) {
  const double floor = it.ev.logL - RoundingOf(it.ev.logL);
  evaluated.reset();
  logL = -std::numeric_limits<double>::infinity();
  int falls = 0;
  double t = 1;
  for (int halving = 0; halving < 60 && falls < 5; ++halving, t *= 0.5) {
    const State moved = Moved(it.s, params, step, t);
    if (!InCone(moved)) continue;
    double at = -std::numeric_limits<double>::infinity();
    if (halving == 0) {
      try {
        evaluated = EvaluateForSteps(d, moved, ParametersOf(moved));
        at = evaluated->logL;
      } catch (const NotPositiveDefinite&) {
        evaluated.reset();
      }
    } else {
      at = LogLikelihoodOrLowest(d, moved);
    }
    if (at >= floor) {
      next = moved;
      logL = at;
      break;
    }
    evaluated.reset();
    ++falls;
  }
  if (InCone(Moved(it.s, params, step, 1))) return logL >= floor;
  // A step that must be cut to an eighth to stay inside points at the edge.
  const bool pointsAtEdge = t < 0.125;
  // The projection of the step halved until the error matrix, which has no
  // edge to be held on, is inside; a matrix held at rank one that the step
  // takes through 0 is not projected: only the angle it turns to tells
  // whether it belongs at 0.
  State edge = Projected(Moved(it.s, params, step, 1));
  for (double te = 0.5; te > 1e-18 && !InCone(edge); te *= 0.5) edge = Projected(Moved(it.s, params, step, te));
  if (InCone(edge)) {
    const double atEdge = LogLikelihoodOrLowest(d, edge);
    if (atEdge >= floor && (atEdge > logL || pointsAtEdge)) {
      next = edge;
      logL = atEdge;
      evaluated.reset();
    }
  }
  return logL >= floor;
}

// One iteration: the AI step, damped more each time it fails to raise the
// likelihood. Where nothing raises it, the point stays: the maximum within
// the likelihood's rounding.
State StepFrom(const PairDesign& d, const Iterated& it, const std::vector<Parameter>& params, double& logL,
               std::optional<Evaluation>& evaluated) {
  for (const double damping : {0.0, 1e-3, 1e-2, 0.1, 1.0, 10.0, 100.0, 1e4}) {
    State next;
    if (TryStep(d, it, params, NewtonStep(it.ev, damping), next, logL, evaluated)) return next;
  }
  evaluated.reset();
  logL = it.ev.logL;
  return it.s;
}

void Iterate(const PairDesign& d, const RemlOptions& options, Iterated& it) {
  std::vector<Parameter> params = ParametersOf(it.s);
  it.ev = EvaluateForSteps(d, it.s, params);
  while (it.iterations < options.maxIterations) {
    ++it.iterations;
    double logL = 0;
    std::optional<Evaluation> evaluated;
    const State next = StepFrom(d, it, params, logL, evaluated);
    const double rise = logL - it.ev.logL;
    const double change = LargestRelativeChange(it.s, next);
    const bool edgeReached = next.rank != it.s.rank;
    it.s = next;
    params = ParametersOf(it.s);
    it.ev = evaluated ? std::move(*evaluated) : EvaluateForSteps(d, it.s, params);
    // Damped steps also change little: the rise the full step predicts
    // tells a maximum from a stall.
    const double predicted = 0.5 * NewtonStep(it.ev, 0).dot(it.ev.score);
    if (!edgeReached && std::abs(rise) < std::max(options.logLTolerance, RoundingOf(logL)) &&
        change < options.relativeTolerance && predicted < std::max(1e-6, RoundingOf(logL))) {
      it.converged = true;
      break;
    }
  }
  if (!it.converged) return;
  // The last change below the tolerance may leave an error of its size
  // where the average information is not the Hessian; one more step takes
  // it to about its square.
  const State polished = Moved(it.s, params, NewtonStep(it.ev, 0), 1);
  if (!InCone(polished)) return;
  const std::vector<Parameter> polishedParams = ParametersOf(polished);
  Evaluation ev = EvaluateForSteps(d, polished, polishedParams);
  if (ev.logL < it.ev.logL - RoundingOf(it.ev.logL)) return;
  it.s = polished;
  it.ev = std::move(ev);
}

// A matrix held at rank one may have been put there by an overshoot: when
// the likelihood rises as it leaves the edge, inwards across its null
// direction, the fit resumes from inside.
bool LeavesEdge(const PairDesign& d, const Iterated& it, int term, double size, State& inside) {
  const Eigen::Vector2d lambda = LambdaOf(it.s.k[term]);
  Eigen::Vector2d across(-lambda[1], lambda[0]);
  if (across.norm() == 0) across = Eigen::Vector2d(1, 0);
  across.normalize();
  State trial = it.s;
  trial.rank[term] = 2;
  trial.k[term] += 1e-6 * size * across * across.transpose();
  if (Evaluate(d, trial, nullptr).logL <= it.ev.logL + RoundingOf(it.ev.logL)) return false;
  inside = it.s;
  inside.rank[term] = 2;
  inside.k[term] += 1e-3 * size * across * across.transpose();
  return true;
}

// A matrix that an overshoot took to 0 comes back where the likelihood
// rises as it leaves 0 along one of the traits, or along their sum or
// difference.
bool LeavesZero(const PairDesign& d, const Iterated& it, int term, double size, State& inside) {
  const double half = std::sqrt(0.5);
  double best = it.ev.logL + RoundingOf(it.ev.logL);
  Eigen::Vector2d along = Eigen::Vector2d::Zero();
  for (const Eigen::Vector2d& v : {Eigen::Vector2d(1, 0), Eigen::Vector2d(0, 1), Eigen::Vector2d(half, half),
                                  Eigen::Vector2d(half, -half)}) {
    State trial = it.s;
    trial.rank[term] = 1;
    trial.k[term] = 1e-6 * size * v * v.transpose();
    const double logL = LogLikelihoodOrLowest(d, trial);
    if (logL > best) best = logL, along = v;
  }
  if (along.squaredNorm() == 0) return false;
  inside = it.s;
  inside.rank[term] = 2;
  inside.k[term] = 1e-3 * size * (along * along.transpose() + 0.1 * Eigen::Matrix2d::Identity());
  return true;
}

// `allowed`: the terms the model has, family and cell.
Iterated IterateToMaximum(const PairDesign& d, const State& start, const std::array<bool, 2>& allowed,
                          const RemlOptions& options) {
  Iterated it;
  it.s = start;
  Iterate(d, options, it);
  std::array<bool, 2> resumed{};
  for (int round = 0; round < 2 && it.converged; ++round)
    for (int term : {kFamily, kCell}) {
      if (!allowed[term] || it.s.rank[term] == 2 || resumed[term]) continue;
      const double size = (it.s.k[kFamily] + it.s.k[kCell] + it.s.k[kError]).trace();
      State inside;
      const bool leaves =
          it.s.rank[term] == 1 ? LeavesEdge(d, it, term, size, inside) : LeavesZero(d, it, term, size, inside);
      if (!leaves) continue;
      resumed[term] = true;
      it.s = inside;
      it.converged = false;
      Iterate(d, options, it);
    }
  return it;
}

// Why a trait of the pair gives no estimate, or an empty text.
std::string WhyNotEstimable(const RemlTrees& trees, int trait) {
  const TraitDesign d = DesignOfTrait(trees, trait);
  const std::string which = "trait " + std::to_string(trait + 1);
  if (d.n == 0) return "no tree has a value of " + which;
  if (d.nF < 2) return "fewer than 2 families have a value of " + which;
  if (d.n <= d.p + d.nF) return "too few trees with " + which + " for the blocks and families they stand in";
  double within = d.yy;
  for (int b = 0; b < d.p; ++b) within -= d.blockY[b] * d.blockY[b] / d.blockN[b];
  // Values that all equal their block's mean leave only the rounding of
  // the totals in the within-block sum of squares.
  if (!(within > 64 * std::numeric_limits<double>::epsilon() * (d.yy + d.mean * d.mean * d.n)))
    return "the values of " + which + " do not vary within blocks";
  return "";
}

// Within-block variances and covariance of the trees with both traits.
Eigen::Matrix2d WithinBlocks(const PairDesign& d) {
  std::vector<Eigen::Vector3d> sums(static_cast<std::size_t>(d.nBlock), Eigen::Vector3d::Zero());
  for (int i = 0; i < d.n; ++i)
    if (d.treePattern[i] == kBoth) sums[d.groupBlock[d.treeGroup[i]]] += Eigen::Vector3d(1, d.y(0, i), d.y(1, i));
  Eigen::Matrix2d products = Eigen::Matrix2d::Zero();
  double degrees = 0;
  for (int i = 0; i < d.n; ++i) {
    if (d.treePattern[i] != kBoth) continue;
    const Eigen::Vector3d& s = sums[d.groupBlock[d.treeGroup[i]]];
    const Eigen::Vector2d deviation = d.y.col(i) - s.tail<2>() / s[0];
    products += deviation * deviation.transpose();
  }
  for (const Eigen::Vector3d& s : sums)
    if (s[0] > 0) degrees += s[0] - 1;
  return degrees > 0 ? Eigen::Matrix2d(products / degrees) : Eigen::Matrix2d::Zero();
}

// The univariate variances where given, else a tenth of the within-block
// variance to each random term; every covariance half the within-block
// correlation of its variances, which keeps each start inside the cone.
State StartOf(const PairDesign& d, bool withCells, const std::array<const UnivariateFit*, 2>& starts) {
  const Eigen::Matrix2d within = WithinBlocks(d);
  State s;
  for (int t = 0; t < 2; ++t) {
    const double w = within(t, t);
    std::array<double, 3> v = {0.1 * w, 0.1 * w, 0.8 * w};
    const UnivariateFit* fit = starts[t];
    if (fit != nullptr && fit->status != FitStatus::kNotEstimable && fit->ve.value > 0 &&
        std::isfinite(fit->vf.value))
      v = {fit->vf.value, std::isfinite(fit->vsf.value) ? fit->vsf.value : 0, fit->ve.value};
    // A variance the univariate fit put at 0 starts a little inside.
    const double floor = 1e-3 * (v[0] + v[1] + v[2]);
    for (int term = 0; term < 3; ++term) s.k[term](t, t) = std::max(v[term], floor);
  }
  const double r = within(0, 1) / std::sqrt(within(0, 0) * within(1, 1));
  for (int term = 0; term < 3; ++term)
    s.k[term](0, 1) = s.k[term](1, 0) = std::isfinite(r) ? 0.5 * r * std::sqrt(s.k[term](0, 0) * s.k[term](1, 1)) : 0;
  if (!withCells) {
    s.k[kCell].setZero();
    s.rank[kCell] = 0;
  }
  return s;
}

// The sampling covariances of the free matrices' entries and the error's,
// nine by nine; zero rows for a matrix held on the edge or out. The last
// iteration's information serves where no matrix is held: its parameters
// are those entries.
Eigen::Matrix<double, 9, 9> SamplingCovariance(const PairDesign& d, const Iterated& it) {
  const State& s = it.s;
  const std::vector<Parameter> params = ParametersOf(s, true);
  const bool held = s.rank[kFamily] == 1 || s.rank[kCell] == 1;
  const Evaluation ev = held ? Evaluate(d, s, &params) : it.ev;
  Eigen::Matrix<double, 9, 9> cov = Eigen::Matrix<double, 9, 9>::Constant(kNotAvailable);
  const Eigen::LDLT<Eigen::MatrixXd> factor(ev.ai);
  if (factor.info() != Eigen::Success || !(factor.vectorD().minCoeff() > 0)) return cov;
  const Eigen::MatrixXd inverse = factor.solve(Eigen::MatrixXd::Identity(ev.ai.rows(), ev.ai.cols()));
  cov.setZero();
  for (std::size_t i = 0; i < params.size(); ++i)
    for (std::size_t j = 0; j < params.size(); ++j)
      cov(3 * params[i].term + params[i].index, 3 * params[j].term + params[j].index) =
          inverse(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j));
  return cov;
}

CovarianceMatrix MatrixOf(const State& s, int term, const Eigen::Matrix<double, 9, 9>& cov) {
  CovarianceMatrix out;
  const Eigen::Matrix2d& k = s.k[term];
  out.v11 = k(0, 0), out.v12 = k(0, 1), out.v22 = k(1, 1);
  const int rank = term == kError ? 2 : s.rank[term];
  if (rank == 2) {
    auto se = [&](int i) {
      const double variance = cov(3 * term + i, 3 * term + i);
      return variance >= 0 ? std::sqrt(variance) : kNotAvailable;
    };
    out.se11 = se(0), out.se12 = se(1), out.se22 = se(2);
    return out;
  }
  out.atBoundary = true;
  out.note = rank == 1 ? "held at rank one: the traits' effects are perfectly correlated at the maximum"
                       : "held at zero: the term adds nothing to the likelihood";
  return out;
}

// r = v12 / sqrt(a b) of sums of matrices' entries, with the delta-method
// standard error.
RemlValue CorrelationOf(const State& s, const std::vector<int>& terms, const Eigen::Matrix<double, 9, 9>& cov) {
  double a = 0, b = 0, c = 0;
  for (int term : terms) a += s.k[term](0, 0), b += s.k[term](1, 1), c += s.k[term](0, 1);
  RemlValue out;
  if (!(a > 0 && b > 0)) return out;
  out.value = std::clamp(c / std::sqrt(a * b), -1.0, 1.0);
  Eigen::Matrix<double, 9, 1> gradient = Eigen::Matrix<double, 9, 1>::Zero();
  for (int term : terms) {
    gradient[3 * term] = -out.value / (2 * a);
    gradient[3 * term + 1] = 1 / std::sqrt(a * b);
    gradient[3 * term + 2] = -out.value / (2 * b);
  }
  const double variance = gradient.dot(cov * gradient);
  out.se = variance >= 0 ? std::sqrt(variance) : kNotAvailable;
  return out;
}

void AddNote(std::string& note, const std::string& more) { note += (note.empty() ? "" : "; ") + more; }

void FitFrom(const PairDesign& d, const State& start, const RemlOptions& options, BivariateFit& fit) {
  const Iterated it = IterateToMaximum(d, start, {true, fit.siteFamilyFitted}, options);
  fit.iterations = it.iterations;
  fit.status = it.converged ? FitStatus::kConverged : FitStatus::kNotConverged;
  if (!it.converged)
    AddNote(fit.note, "not converged: stopped at the limit of " + std::to_string(options.maxIterations) +
                          " iterations, the values are the last iteration's");
  fit.logLikelihood = it.ev.logL;
  const Eigen::Matrix<double, 9, 9> cov = SamplingCovariance(d, it);
  fit.family = MatrixOf(it.s, kFamily, cov);
  if (fit.siteFamilyFitted) fit.cell = MatrixOf(it.s, kCell, cov);
  fit.error = MatrixOf(it.s, kError, cov);
  fit.rF = CorrelationOf(it.s, {kFamily}, cov);
  fit.rF.atBoundary = fit.family.atBoundary;
  if (fit.family.atBoundary) fit.rF.se = kNotAvailable;
  fit.rPTree = CorrelationOf(it.s, {kFamily, kCell, kError}, cov);
  if (fit.family.atBoundary) AddNote(fit.note, "family matrix " + fit.family.note);
  if (fit.cell.atBoundary) AddNote(fit.note, "site x family matrix " + fit.cell.note);
}

State StateOf(const CovarianceMatrix& family, const CovarianceMatrix& cell, const CovarianceMatrix& error) {
  State s;
  const std::array<const CovarianceMatrix*, 3> given = {&family, &cell, &error};
  for (int term = 0; term < 3; ++term)
    s.k[term] << given[term]->v11, given[term]->v12, given[term]->v12, given[term]->v22;
  for (int term : {kFamily, kCell}) {
    if (!s.k[term].allFinite()) {
      s.k[term].setZero();
      s.rank[term] = 0;
      continue;
    }
    const Eigen::Vector2d eigenvalues = Eigen::SelfAdjointEigenSolver<Eigen::Matrix2d>(s.k[term]).eigenvalues();
    const double tiny = 64 * std::numeric_limits<double>::epsilon() * std::abs(eigenvalues[1]);
    if (eigenvalues[0] < -tiny) throw KorvanError("a covariance matrix of the pair is not positive semi-definite");
    s.rank[term] = eigenvalues[1] <= tiny ? 0 : eigenvalues[0] <= tiny ? 1 : 2;
  }
  return s;
}

void CheckTraits(const RemlTrees& trees, int trait1, int trait2) {
  for (int trait : {trait1, trait2})
    if (trait < 0 || trait >= trees.nTrait)
      throw KorvanError("REML was asked for trait " + std::to_string(trait + 1) + " of a run with " +
                        std::to_string(trees.nTrait) + " traits");
  if (trait1 == trait2) throw KorvanError("a bivariate REML fit needs two different traits");
}

}  // namespace

BivariateFit FitTraitPair(const RemlTrees& trees, int trait1, int trait2, const RemlOptions& options,
                          const UnivariateFit* start1, const UnivariateFit* start2) {
  const auto started = std::chrono::steady_clock::now();
  CheckTraits(trees, trait1, trait2);
  BivariateFit fit;
  const PairDesign d = DesignOfPair(trees, trait1, trait2);
  fit.trees = d.n;
  fit.treesBoth = d.patternCount[kBoth];
  auto finish = [&]() -> BivariateFit& {
    fit.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return fit;
  };
  for (int trait : {trait1, trait2})
    if (fit.note.empty()) fit.note = WhyNotEstimable(trees, trait);
  if (fit.note.empty() && fit.treesBoth == 0)
    fit.note = "no tree has both traits: their error covariance is not estimable";
  if (!fit.note.empty()) return finish();

  // Families at one site only leave the cells nothing to tell from the
  // families.
  fit.siteFamilyFitted = d.nSite > 1 && d.nC > d.nF;
  if (d.nSite == 1) fit.note = "one site: fitted without site x family";
  else if (!fit.siteFamilyFitted) fit.note = "no family has trees at two sites: fitted without site x family";
  try {
    FitFrom(d, StartOf(d, fit.siteFamilyFitted, {start1, start2}), options, fit);
  } catch (const NotPositiveDefinite&) {
    const int trees = fit.trees, both = fit.treesBoth;
    fit = BivariateFit{};
    fit.trees = trees;
    fit.treesBoth = both;
    fit.note = "the mixed-model equations became singular: the design does not separate blocks and families";
  }
  return finish();
}

std::vector<BivariateFit> FitTraitPairs(const RemlTrees& trees, const RemlOptions& options,
                                        const std::vector<UnivariateFit>* single) {
  std::vector<std::pair<int, int>> pairs;
  for (int a = 0; a < trees.nTrait; ++a)
    for (int b = a + 1; b < trees.nTrait; ++b) pairs.emplace_back(a, b);
  std::vector<BivariateFit> fits(pairs.size());
  auto start = [&](int trait) { return single != nullptr ? &(*single)[static_cast<std::size_t>(trait)] : nullptr; };
  // A pair's fit is some tens of evaluations, each a pass over every tree
  // for each of its nine parameters.
  const double operations = 20.0 * 9 * trees.Trees() * static_cast<double>(pairs.size());
  ForEachChunk(static_cast<int>(pairs.size()), operations, [&](int k) {
    const auto [a, b] = pairs[static_cast<std::size_t>(k)];
    fits[static_cast<std::size_t>(k)] = FitTraitPair(trees, a, b, options, start(a), start(b));
  });
  return fits;
}

double PairLogLikelihood(const RemlTrees& trees, int trait1, int trait2, const CovarianceMatrix& family,
                         const CovarianceMatrix& cell, const CovarianceMatrix& error) {
  CheckTraits(trees, trait1, trait2);
  const PairDesign d = DesignOfPair(trees, trait1, trait2);
  const State s = StateOf(family, cell, error);
  if (!PositiveDefinite(s.k[kError]))
    throw KorvanError("the error covariance matrix of the pair is not positive definite");
  try {
    return Evaluate(d, s, nullptr).logL;
  } catch (const NotPositiveDefinite&) {
    throw KorvanError("the mixed-model equations of the pair are singular at the given matrices");
  }
}

}  // namespace korvan
