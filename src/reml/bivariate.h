#pragma once

// Bivariate REML of a pair of traits in the progeny-test model: blocks
// within sites fixed for each trait, and for the families, the site x family
// cells and the trees an unstructured 2 x 2 covariance matrix each.

#include <string>
#include <vector>

#include "reml/reml_results.h"
#include "reml/reml_trees.h"

namespace korvan {

// One random term's covariance matrix of the two traits, with the standard
// errors of its three entries; NaN where absent.
struct CovarianceMatrix {
  double v11 = kNotAvailable, v12 = kNotAvailable, v22 = kNotAvailable;
  double se11 = kNotAvailable, se12 = kNotAvailable, se22 = kNotAvailable;
  bool atBoundary = false;  // held at rank one or zero: the likelihood is largest on the edge of the cone
  std::string note;         // why it is held there, for a human
};

struct BivariateFit {
  FitStatus status = FitStatus::kNotEstimable;
  std::string note;  // why the fit is not what it seems; empty when nothing is amiss
  int iterations = 0;
  double seconds = 0;
  int trees = 0;      // trees with either trait
  int treesBoth = 0;  // trees with both
  CovarianceMatrix family, cell, error;
  RemlValue rF;      // family.v12 / sqrt(family.v11 family.v22)
  RemlValue rPTree;  // sum of the covariances over the root of the product of the sums of the variances
  double logLikelihood = kNotAvailable;  // REML, the fixed part as block indicators of each trait
  bool siteFamilyFitted = false;
};

// Traits trait1 and trait2 (0-based) on every tree with either. The
// univariate fits, where given, supply the starting variances.
BivariateFit FitTraitPair(const RemlTrees& trees, int trait1, int trait2, const RemlOptions& options,
                          const UnivariateFit* start1 = nullptr, const UnivariateFit* start2 = nullptr);

// Every pair of traits, (0, 1), (0, 2), ..., (1, 2), ..., on the
// processor's cores; `single`, where given, is every trait's univariate fit
// to start from.
std::vector<BivariateFit> FitTraitPairs(const RemlTrees& trees, const RemlOptions& options,
                                        const std::vector<UnivariateFit>* single = nullptr);

// The REML log-likelihood of the pair at given matrices (positive
// semi-definite; the error's positive definite), on the same terms as
// FitTraitPair's. A cell matrix of NaN leaves the cells out.
double PairLogLikelihood(const RemlTrees& trees, int trait1, int trait2, const CovarianceMatrix& family,
                         const CovarianceMatrix& cell, const CovarianceMatrix& error);

}  // namespace korvan
