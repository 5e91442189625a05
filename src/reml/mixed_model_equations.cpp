#include "reml/mixed_model_equations.h"

#include <cmath>

namespace korvan {

namespace {

double LogDeterminantOf(const Eigen::LLT<Eigen::MatrixXd>& factor) {
  if (factor.info() != Eigen::Success) throw NotPositiveDefinite();
  const Eigen::VectorXd diagonal = factor.matrixLLT().diagonal();
  double sum = 0;
  for (Eigen::Index k = 0; k < diagonal.size(); ++k) {
    if (!(diagonal[k] > 0)) throw NotPositiveDefinite();
    sum += 2 * std::log(diagonal[k]);
  }
  return sum;
}

}  // namespace

MixedModelEquations::MixedModelEquations(const TraitDesign& design, const VarianceRatios& ratios)
    : d_(design), withFamilies_(ratios.families > 0), withCells_(ratios.cells > 0) {
  const double cellPrior = withCells_ ? 1 / ratios.cells : 0;
  cellDiagonal_ = Eigen::VectorXd::Zero(d_.nC);
  for (int c = 0; c < d_.nC && withCells_; ++c) cellDiagonal_[c] = d_.cellN[c] + cellPrior;
  // With the cells, a family's diagonal is built from what each cell leaves
  // of it (AbsorbCells).
  familyDiagonal_ = Eigen::VectorXd::Zero(withFamilies_ ? d_.nF : 0);
  for (int f = 0; f < familyDiagonal_.size(); ++f)
    familyDiagonal_[f] = (withCells_ ? 0 : d_.familyN[f]) + 1 / ratios.families;
  AbsorbCells(cellPrior);
  // Without families the blocks are coupled within their site only, and
  // the dense system is empty.
  familiesDense_ = !withFamilies_ || d_.nF < d_.p;
  if (familiesDense_)
    FactorFamiliesDense();
  else
    FactorBlocksDense();
  for (int c = 0; c < cellDiagonal_.size() && withCells_; ++c) logDeterminant_ += std::log(cellDiagonal_[c]);
}

// A cell's equation couples it to its family (n_c) and to the blocks of its
// site (n_bc); dividing by its diagonal and subtracting leaves the blocks
// of one site coupled among themselves only. What the cell leaves of its
// trees' coupling to the family is the share (1/gc) / (n_c + 1/gc), taken
// as it stands rather than as 1 - n_c / (n_c + 1/gc): a large gc would
// leave that difference to rounding.
void MixedModelEquations::AbsorbCells(double cellPrior) {
  siteBlocks_.assign(static_cast<std::size_t>(d_.nSite), {});
  for (int s = 0; s < d_.nSite; ++s) {
    const int first = d_.siteFirstBlock[s], count = d_.siteFirstBlock[s + 1] - first;
    siteBlocks_[s] = Eigen::MatrixXd::Zero(count, count);
    for (int k = 0; k < count; ++k) siteBlocks_[s](k, k) = d_.blockN[first + k];
  }
  coupling_ = Eigen::MatrixXd::Zero(d_.p, familyDiagonal_.size());
  for (int c = 0; c < d_.nC; ++c) {
    const int s = d_.cellSite[c], f = d_.cellFamily[c], first = d_.siteFirstBlock[s];
    const double left = withCells_ ? cellPrior / cellDiagonal_[c] : 1;
    for (int k = d_.cellFirst[c]; k < d_.cellFirst[c + 1]; ++k) {
      if (withFamilies_) coupling_(d_.cellBlock[k], f) = d_.cellBlockN[k] * left;
      if (!withCells_) continue;
      for (int l = d_.cellFirst[c]; l < d_.cellFirst[c + 1]; ++l)
        siteBlocks_[s](d_.cellBlock[k] - first, d_.cellBlock[l] - first) -=
            d_.cellBlockN[k] * d_.cellBlockN[l] / cellDiagonal_[c];
    }
    if (withFamilies_ && withCells_) familyDiagonal_[f] += d_.cellN[c] * left;
  }
}

// Families are diagonal: absorbing them is one symmetric rank update of the
// block system by the coupling scaled by each family's diagonal.
void MixedModelEquations::FactorBlocksDense() {
  Eigen::MatrixXd system = Eigen::MatrixXd::Zero(d_.p, d_.p);
  for (int s = 0; s < d_.nSite; ++s) {
    const int first = d_.siteFirstBlock[s], count = d_.siteFirstBlock[s + 1] - first;
    system.block(first, first, count, count) = siteBlocks_[s];
  }
  for (int f = 0; f < familyDiagonal_.size(); ++f)
    if (!(familyDiagonal_[f] > 0)) throw NotPositiveDefinite();
  const Eigen::VectorXd inverseRoot = familyDiagonal_.cwiseSqrt().cwiseInverse();
  const Eigen::MatrixXd scaled = coupling_ * inverseRoot.asDiagonal();
  system.selfadjointView<Eigen::Lower>().rankUpdate(scaled, -1.0);
  absorbed_ = familyDiagonal_.cwiseInverse().asDiagonal() * coupling_.transpose();
  logDeterminant_ += familyDiagonal_.array().log().sum();
  dense_.compute(system);
  logDeterminant_ += LogDeterminantOf(dense_);
}

void MixedModelEquations::FactorFamiliesDense() {
  absorbed_.resize(d_.p, coupling_.cols());
  // Each made in place: copying an LLT not yet factored reads its unset state.
  siteFactors_.clear();
  siteFactors_.resize(static_cast<std::size_t>(d_.nSite));
  for (int s = 0; s < d_.nSite; ++s) {
    const int first = d_.siteFirstBlock[s], count = d_.siteFirstBlock[s + 1] - first;
    siteFactors_[s].compute(siteBlocks_[s]);
    logDeterminant_ += LogDeterminantOf(siteFactors_[s]);
    // With no family columns the rows are empty, and Eigen would bind a
    // reference to their null data.
    if (coupling_.cols() > 0) absorbed_.middleRows(first, count) = siteFactors_[s].solve(coupling_.middleRows(first, count));
  }
  Eigen::MatrixXd system = -coupling_.transpose() * absorbed_;
  system.diagonal() += familyDiagonal_;
  dense_.compute(system);
  logDeterminant_ += LogDeterminantOf(dense_);
}

EffectVectors MixedModelEquations::RightHandSide() const {
  EffectVectors rhs;
  rhs.blocks = Eigen::Map<const Eigen::VectorXd>(d_.blockY.data(), d_.p);
  rhs.families = withFamilies_ ? Eigen::Map<const Eigen::VectorXd>(d_.familyY.data(), d_.nF) : Eigen::VectorXd();
  rhs.cells = withCells_ ? Eigen::Map<const Eigen::VectorXd>(d_.cellY.data(), d_.nC) : Eigen::VectorXd();
  return rhs;
}

Eigen::VectorXd MixedModelEquations::SiteBlocks(const Eigen::VectorXd& v, int s) const {
  return v.segment(d_.siteFirstBlock[s], d_.siteFirstBlock[s + 1] - d_.siteFirstBlock[s]);
}

EffectVectors MixedModelEquations::Solve(const EffectVectors& rhs) const {
  Eigen::VectorXd rb = rhs.blocks, rf = rhs.families;
  if (withCells_)
    for (int c = 0; c < d_.nC; ++c) {
      const double ratio = rhs.cells[c] / cellDiagonal_[c];
      for (int k = d_.cellFirst[c]; k < d_.cellFirst[c + 1]; ++k) rb[d_.cellBlock[k]] -= d_.cellBlockN[k] * ratio;
      if (withFamilies_) rf[d_.cellFamily[c]] -= d_.cellN[c] * ratio;
    }
  EffectVectors x;
  if (familiesDense_) {
    x.families = dense_.solve(rf - absorbed_.transpose() * rb);
    x.blocks.resize(d_.p);
    for (int s = 0; s < d_.nSite; ++s)
      x.blocks.segment(d_.siteFirstBlock[s], d_.siteFirstBlock[s + 1] - d_.siteFirstBlock[s]) =
          siteFactors_[s].solve(SiteBlocks(rb, s));
    x.blocks -= absorbed_ * x.families;
  } else {
    x.blocks = dense_.solve(rb - coupling_ * familyDiagonal_.cwiseInverse().cwiseProduct(rf));
    x.families = familyDiagonal_.cwiseInverse().cwiseProduct(rf) - absorbed_ * x.blocks;
  }
  if (withCells_) {
    x.cells.resize(d_.nC);
    for (int c = 0; c < d_.nC; ++c) {
      double r = rhs.cells[c];
      if (withFamilies_) r -= d_.cellN[c] * x.families[d_.cellFamily[c]];
      for (int k = d_.cellFirst[c]; k < d_.cellFirst[c + 1]; ++k) r -= d_.cellBlockN[k] * x.blocks[d_.cellBlock[k]];
      x.cells[c] = r / cellDiagonal_[c];
    }
  }
  return x;
}

// The partitioned inverse: with the absorbed group's equations A, the
// coupling B, W = A^-1 B and S the dense system, the dense group's inverse
// is S^-1, the cross part -W S^-1 and the absorbed group's A^-1 + W S^-1 W'.
// A cell's diagonal then follows from the blocks of its site and its family
// alone: 1/d_c + g'M^-1 g / d_c^2, g its coupling to them.
InverseDiagonal MixedModelEquations::InverseDiagonals() const {
  const Eigen::MatrixXd denseInverse = dense_.solve(Eigen::MatrixXd::Identity(dense_.rows(), dense_.cols()));
  Eigen::MatrixXd cross;  // blocks x families or families x blocks
  if (withFamilies_) cross = -absorbed_ * denseInverse;
  InverseDiagonal inverse;
  std::vector<Eigen::MatrixXd> siteInverse;
  if (familiesDense_) {
    inverse.families = denseInverse.diagonal();
    for (int s = 0; s < d_.nSite; ++s) {
      const int first = d_.siteFirstBlock[s], count = d_.siteFirstBlock[s + 1] - first;
      Eigen::MatrixXd block = siteFactors_[s].solve(Eigen::MatrixXd::Identity(count, count));
      if (withFamilies_)
        block.noalias() -= absorbed_.middleRows(first, count) * cross.middleRows(first, count).transpose();
      siteInverse.push_back(std::move(block));
    }
  } else {
    inverse.families = familyDiagonal_.cwiseInverse() - absorbed_.cwiseProduct(cross).rowwise().sum();
  }
  auto blockBlock = [&](int b, int c) {
    if (!familiesDense_) return denseInverse(b, c);
    const int s = d_.blockSite[b], first = d_.siteFirstBlock[s];
    return siteInverse[s](b - first, c - first);
  };
  auto familyBlock = [&](int f, int b) { return familiesDense_ ? cross(b, f) : cross(f, b); };
  if (!withCells_) return inverse;
  inverse.cells.resize(d_.nC);
  for (int c = 0; c < d_.nC; ++c) {
    const int f = d_.cellFamily[c];
    double form = 0;
    if (withFamilies_) {
      form += d_.cellN[c] * d_.cellN[c] * inverse.families[f];
      for (int k = d_.cellFirst[c]; k < d_.cellFirst[c + 1]; ++k)
        form += 2 * d_.cellN[c] * d_.cellBlockN[k] * familyBlock(f, d_.cellBlock[k]);
    }
    for (int k = d_.cellFirst[c]; k < d_.cellFirst[c + 1]; ++k)
      for (int l = d_.cellFirst[c]; l < d_.cellFirst[c + 1]; ++l)
        form += d_.cellBlockN[k] * d_.cellBlockN[l] * blockBlock(d_.cellBlock[k], d_.cellBlock[l]);
    inverse.cells[c] = 1 / cellDiagonal_[c] + form / (cellDiagonal_[c] * cellDiagonal_[c]);
  }
  return inverse;
}

}  // namespace korvan
