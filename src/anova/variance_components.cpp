#include "anova/variance_components.h"

#include <cassert>
#include <string>
#include <vector>

#include "format/number_format.h"
#include "base/korvan_error.h"
#include "linalg/invert_matrix.h"
#include "model/design_checks.h"

namespace korvan {

namespace {

// The coefficient table in single precision beside one right-hand side; each
// solve goes through the one inversion, so the estimates carry its rounding.
void SolveEms(const RunData& run, const std::array<float, 4>& rhs, std::array<float, 4>& solution) {
  Table2<float> invMat(3, 4);
  std::vector<float> rowSwapRec(5), colSwapRec(5);
  for (int i = 1; i <= 3; ++i) {
    for (int j = 1; j <= 3; ++j) invMat(i, j) = RoundToSingle(run.emsCoef[i][j]);
    invMat(i, 4) = rhs[i];
  }
  try {
    InvertMatrix(invMat, 3, rowSwapRec, colSwapRec);
  } catch (const SingularEquations&) {
    std::string message = TrialText(run) +
                          " cannot be analysed: the expected mean squares cannot be solved for the "
                          "variance components, as the coefficient of Vf in the Family line (";
    AppendPlainSingle(message, run.kF);
    message += ") or of Vsf in the Site*Fam. line (";
    AppendPlainDouble(message, run.kSF);
    message += ") is about 0. The families (or the site x family cells) are not replicated "
               "within the sites and blocks; check the design of the data file.";
    throw KorvanError(message);
  }
  for (int i = 1; i <= 3; ++i) solution[i] = invMat(i, 4);
}

// vcVar(i) = sum over k = i..3 of (2 emsInv(i,k)^2) msVec(k)^2 / (df_k + 2),
// in double from the single-precision emsInv; terms with k < i are zero.
void SamplingVariances(const RunData& run, VarianceEstimates& e) {
  const std::array<double, 4> df = {0, static_cast<double>(run.dfFamily), run.dfSiteFam,
                                    run.dfError};
  for (int i = 1; i <= 3; ++i) {
    double v = 0;
    for (int k = i; k <= 3; ++k) {
      const double inv = static_cast<double>(e.emsInv[i][k]);
      v += 2.0 * (inv * inv) * (e.msVec[k] * e.msVec[k]) / (df[k] + 2.0);
    }
    e.vcVar[i] = v;
  }
}

}  // namespace

VarianceEstimates VarianceComponents(RunData& run, int t, const SumsOfSquares& ss) {
  assert(t < static_cast<int>(run.vfByTrait.size()) && t < static_cast<int>(run.msFamByTrait.size()));
  VarianceEstimates e;
  e.msVec = {0, ss.msFamily, ss.msSiteFam, ss.msError};
  const std::array<float, 4> msSingle = {0.0f, RoundToSingle(e.msVec[1]), RoundToSingle(e.msVec[2]),
                                         RoundToSingle(e.msVec[3])};
  SolveEms(run, msSingle, e.vcEst);
  run.vfByTrait[t] = static_cast<double>(e.vcEst[1]);
  run.msFamByTrait[t] = ss.msFamily;

  // The inverse column by column, each identity column solved as a
  // right-hand side of its own.
  for (int c = 1; c <= 3; ++c) {
    std::array<float, 4> unit{};
    unit[c] = 1.0f;
    std::array<float, 4> column{};
    SolveEms(run, unit, column);
    for (int i = 1; i <= 3; ++i) e.emsInv[i][c] = column[i];
  }
  SamplingVariances(run, e);
  return e;
}

}  // namespace korvan
