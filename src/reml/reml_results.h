#pragma once

// What a univariate REML fit of one trait gives: the variance components,
// their tests, the heritabilities and the predicted family and cell effects.

#include <limits>
#include <string>
#include <vector>

#include "rundata/rundata.h"

namespace korvan {

inline constexpr double kNotAvailable = std::numeric_limits<double>::quiet_NaN();

enum class FitStatus { kConverged, kNotConverged, kNotEstimable };

// An estimate with its standard error; NaN where it does not exist.
struct RemlValue {
  double value = kNotAvailable;
  double se = kNotAvailable;
  bool atBoundary = false;  // held at 0: the likelihood is largest there
};

// Twice the rise in log-likelihood from dropping a term, and its p-value
// under the half-and-half mixture of chi-square 0 and 1 that a variance on
// its boundary follows.
struct LikelihoodRatio {
  double statistic = kNotAvailable;
  double pValue = kNotAvailable;
};

struct FamilyBlup {
  int family = 0;  // RemlTrees family number
  double blup = kNotAvailable;
  double pev = kNotAvailable;       // prediction error variance
  double accuracy = kNotAvailable;  // sqrt(1 - pev / Vf)
};

struct CellBlup {
  int site = 0, family = 0;  // RemlTrees numbers
  double blup = kNotAvailable;
  double pev = kNotAvailable;
};

struct UnivariateFit {
  FitStatus status = FitStatus::kNotEstimable;
  std::string note;  // why the fit is not what it seems, for a human; empty when nothing is amiss
  int iterations = 0;
  double seconds = 0;
  int trees = 0;  // trees with the trait's value
  RemlValue vf, vsf, ve;
  double logLikelihood = kNotAvailable;  // REML log-likelihood, the fixed part as block indicators
  LikelihoodRatio testVf, testVsf;
  RemlValue h2FamilyMean;  // Vf / (Vf + Vsf / s + Ve / t), s and t harmonic means of sites and trees per family
  RemlValue h2Tree;        // individual-tree heritability; NaN when the family kind is unknown
  RemlValue rB;            // type-B genetic correlation Vf / (Vf + Vsf)
  bool siteFamilyFitted = false;
  std::vector<FamilyBlup> families;  // every family with the trait's value
  std::vector<CellBlup> cells;       // every site x family cell with it, when fitted
};

struct RemlOptions {
  int maxIterations = 100;
  double logLTolerance = 1e-8;      // change of the log-likelihood between iterations
  double relativeTolerance = 1e-6;  // change of each component, relative to it
  FamilyKind familyKind = FamilyKind::kUnknown;
};

}  // namespace korvan
