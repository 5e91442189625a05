#pragma once

// The variance components of one trait from its Family, Site*Fam. and Error
// mean squares and the run's expected-mean-square coefficients.

#include <array>

#include "anova/trait_reductions.h"
#include "rundata/rundata.h"

namespace korvan {

struct VarianceEstimates {
  std::array<double, 4> msVec{};                 // 1..3: msFamily, msSiteFam, msError
  std::array<float, 4> vcEst{};                  // 1..3: Vf, Vsf, Ve
  std::array<std::array<float, 4>, 4> emsInv{};  // (1..3, 1..3): inverse of emsCoef
  std::array<double, 4> vcVar{};                 // 1..3: sampling variances of the estimates
};

// Solves the expected-mean-square equations of trait t and keeps Vf and the
// Family mean square in vfByTrait(t) and msFamByTrait(t). Throws KorvanError
// when the coefficient table is singular.
VarianceEstimates VarianceComponents(RunData& run, int t, const SumsOfSquares& ss);

}  // namespace korvan
