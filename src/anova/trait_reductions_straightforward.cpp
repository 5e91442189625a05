#include "anova/trait_reductions_straightforward.h"

#include <array>
#include <utility>

#include "linalg/invert_matrix.h"
#include "model/absorb_straightforward.h"

namespace korvan {

namespace {

int LevelsOf(const RunData& run, int factor) {
  return run.colOffset[factor + 1] - run.colOffset[factor];
}

// The totals of sites, blocks, families and cells of trait t in one pass:
// each the single-precision running sum over the records in order, y'*y
// in double.
double LevelTotalsStraightforward(const RunData& run, int t, std::array<std::vector<float>, 6>& totals) {
  for (int k = kSiteFactor; k <= kCellFactor; ++k)
    totals[k].assign(static_cast<std::size_t>(LevelsOf(run, k)) + 1, 0.0f);
  double yy = 0;
  for (int i = 1; i <= run.nRecord; ++i) {
    const float v = run.traitValue(i, t);
    for (int k = kSiteFactor; k <= kCellFactor; ++k) totals[k][run.recordColumn(i, k) - run.colOffset[k]] += v;
    yy += static_cast<double>(v) * static_cast<double>(v);
  }
  return yy;
}

void StoreColumn(const std::vector<float>& levels, Table2<float>& store, int t) {
  for (int j = 1; j <= store.LastRow(); ++j) store(j, t) = levels[j];
}

// One system for one trait: adjRhs(i) = keptTotal(i) - the sum over every
// level j of b of count(i, j) x absTotal(j) / levelCount(j), the absorbed
// equations rebuilt, and InvertMatrix with the right-hand side in column
// n + 1.
void SolveOneTraitStraightforward(const RunData& run, int a, int b, bool perSiteConstraint,
                                  const std::vector<float>& keptTotal, const std::vector<float>& absTotal, int t,
                                  Table2<float>& rhs, Table2<float>& solution) {
  const Table2<float> count = CountBlockStraightforward(run, a, b);
  const std::vector<float> levelCount = CountLevelsStraightforward(run, b);
  const Table2<float> absorbed = AbsorbStraightforward(run, a, b, perSiteConstraint);
  const int nA = count.LastRow(), nB = count.LastCol();
  Table2<float> invMat(nA, nA + 1);
  for (int i = 1; i <= nA; ++i) {
    float sum = 0.0f;
    for (int j = 1; j <= nB; ++j) sum += (count(i, j) * absTotal[j]) / levelCount[j];
    rhs(i, t) = keptTotal[i] - sum;
    for (int j = 1; j <= nA; ++j) invMat(i, j) = absorbed(i, j);
    invMat(i, nA + 1) = rhs(i, t);
  }
  std::vector<float> rowSwapRec(static_cast<std::size_t>(nA) + 2), colSwapRec(static_cast<std::size_t>(nA) + 2);
  try {
    InvertMatrix(invMat, nA, rowSwapRec, colSwapRec);
  } catch (const SingularEquations& singular) {
    ThrowSingularSystem(run, a, b, singular);
  }
  for (int i = 1; i <= nA; ++i) solution(i, t) = invMat(i, nA + 1);
}

// Every trait's totals, right-hand sides and solutions into the stores, with
// the counts. Returns y'*y of each trait.
std::vector<double> SolveAllTraitsStraightforward(RunData& run) {
  AllocateTraitStores(run);
  run.solSF = run.rhsSF;
  run.solRF = run.rhsRF;
  run.solRSF = run.rhsRSF;
  run.repCnt = CountLevelsStraightforward(run, kRepFactor);
  run.famCnt = CountLevelsStraightforward(run, kFamilyFactor);
  run.sfCnt = CountLevelsStraightforward(run, kCellFactor);
  std::vector<double> yy(static_cast<std::size_t>(run.nTrait) + 1, 0.0);
  std::array<std::vector<float>, 6> totals;
  for (int t = 1; t <= run.nTrait; ++t) {
    yy[t] = LevelTotalsStraightforward(run, t, totals);
    StoreColumn(totals[kRepFactor], run.repTot, t);
    StoreColumn(totals[kFamilyFactor], run.famTot, t);
    StoreColumn(totals[kCellFactor], run.sfTot, t);
    SolveOneTraitStraightforward(run, kSiteFactor, kFamilyFactor, false, totals[kSiteFactor],
                                 totals[kFamilyFactor], t, run.rhsSF, run.solSF);
    SolveOneTraitStraightforward(run, kRepFactor, kFamilyFactor, false, totals[kRepFactor],
                                 totals[kFamilyFactor], t, run.rhsRF, run.solRF);
    SolveOneTraitStraightforward(run, kRepFactor, kCellFactor, true, totals[kRepFactor], totals[kCellFactor], t,
                                 run.rhsRSF, run.solRSF);
  }
  return yy;
}

// R = sum over levels of total^2 / count, in double from the single-precision
// totals and counts.
double OneWayReductionStraightforward(const Table2<float>& totals, int t, const std::vector<float>& counts) {
  double r = 0;
  for (int j = 1; j <= totals.LastRow(); ++j) {
    const double total = static_cast<double>(totals(j, t));
    r += total * total / static_cast<double>(counts[j]);
  }
  return r;
}

// R(r) = b'r, in single precision throughout.
float AbsorbedReductionStraightforward(const Table2<float>& rhs, const Table2<float>& solution, int t) {
  float r = 0.0f;
  for (int i = 1; i <= rhs.LastRow(); ++i) r += rhs(i, t) * solution(i, t);
  return r;
}

// famConst(j) = (famTot(j) - A) / levelCount(j), A summed over all blocks.
std::vector<float> FamilyConstantsStraightforward(const RunData& run, int t) {
  const Table2<float> count = CountBlockStraightforward(run, kRepFactor, kFamilyFactor);
  const std::vector<float> size = CountLevelsStraightforward(run, kFamilyFactor);
  std::vector<float> famConst(static_cast<std::size_t>(run.nFamily) + 1, 0.0f);
  for (int j = 1; j <= run.nFamily; ++j) {
    float a = 0.0f;
    for (int i = 1; i <= run.nRep; ++i) a += count(i, j) * run.solRF(i, t);
    famConst[j] = (run.famTot(j, t) - a) / size[j];
  }
  return famConst;
}

Reductions TraitReductionsStraightforward(const RunData& run, double yy, int t) {
  return CombineReductions(OneWayReductionStraightforward(run.repTot, t, run.repCnt),
                           OneWayReductionStraightforward(run.famTot, t, run.famCnt),
                           OneWayReductionStraightforward(run.sfTot, t, run.sfCnt),
                           AbsorbedReductionStraightforward(run.rhsSF, run.solSF, t),
                           AbsorbedReductionStraightforward(run.rhsRF, run.solRF, t),
                           AbsorbedReductionStraightforward(run.rhsRSF, run.solRSF, t), yy,
                           FamilyConstantsStraightforward(run, t));
}

}  // namespace

std::vector<Reductions> ReduceAllTraitsStraightforward(RunData& run) {
  const std::vector<double> yy = SolveAllTraitsStraightforward(run);
  std::vector<Reductions> all(static_cast<std::size_t>(run.nTrait) + 1);
  for (int t = 1; t <= run.nTrait; ++t) all[t] = TraitReductionsStraightforward(run, yy[t], t);
  return all;
}

}  // namespace korvan
