#pragma once

// Henderson's mixed-model equations of one trait, scaled by the error
// variance, for given ratios of the family and cell variances to it:
//
//   [ X'X   X'F          X'C         ] [b]   [X'y]
//   [ F'X   F'F + I/gf   F'C         ] [f] = [F'y]
//   [ C'X   C'F          C'C + I/gc  ] [c]   [C'y]
//
// X holds the block indicators, F the family and C the cell indicators.
// C'C is diagonal, so the cells are absorbed first; what remains is
// block-diagonal by site among the blocks and diagonal among the families.
// Whichever group is larger is absorbed into the other, and only the
// smaller group's system is dense: a trial of 600 blocks and 1000 families
// factors a 600 x 600 matrix whatever the number of trees.

#include <Eigen/Dense>
#include <stdexcept>
#include <vector>

#include "reml/trait_design.h"

namespace korvan {

// The equations are not positive definite: the ratios or the data leave an
// effect undetermined.
class NotPositiveDefinite : public std::runtime_error {
 public:
  NotPositiveDefinite() : std::runtime_error("the mixed-model equations are not positive definite") {}
};

// A random term left out is a ratio of 0: its equations are dropped.
struct VarianceRatios {
  double families = 0;  // Vf / Ve
  double cells = 0;     // Vsf / Ve
};

// A vector in the order of the unknowns: blocks, families, cells.
struct EffectVectors {
  Eigen::VectorXd blocks, families, cells;
};

// The diagonal of the inverse of the coefficient matrix among the families
// and among the cells: the prediction error variances over Ve.
struct InverseDiagonal {
  Eigen::VectorXd families, cells;
};

class MixedModelEquations {
 public:
  MixedModelEquations(const TraitDesign& design, const VarianceRatios& ratios);

  bool FamiliesFitted() const { return withFamilies_; }
  bool CellsFitted() const { return withCells_; }
  // log |coefficient matrix|.
  double LogDeterminant() const { return logDeterminant_; }
  // The right-hand side of y: the level totals.
  EffectVectors RightHandSide() const;
  EffectVectors Solve(const EffectVectors& rhs) const;
  InverseDiagonal InverseDiagonals() const;

 private:
  void AbsorbCells(double cellPrior);
  void FactorBlocksDense();
  void FactorFamiliesDense();
  Eigen::VectorXd SiteBlocks(const Eigen::VectorXd& v, int s) const;

  const TraitDesign& d_;
  bool withFamilies_, withCells_;
  bool familiesDense_ = false;  // the families' system is the dense one
  double logDeterminant_ = 0;
  Eigen::VectorXd cellDiagonal_;                          // n_c + 1/gc
  std::vector<Eigen::MatrixXd> siteBlocks_;               // blocks x blocks of each site, cells absorbed
  Eigen::VectorXd familyDiagonal_;                        // families x families, cells absorbed
  Eigen::MatrixXd coupling_;                              // blocks x families, cells absorbed
  std::vector<Eigen::LLT<Eigen::MatrixXd>> siteFactors_;  // families dense: each site's blocks
  Eigen::MatrixXd absorbed_;                              // W: the absorbed group's equations solved for the coupling
  Eigen::LLT<Eigen::MatrixXd> dense_;                     // the smaller group after absorbing the larger
};

}  // namespace korvan
