#include "covariance/pair_reductions_straightforward.h"

#include <cassert>

#include "format/number_format.h"

namespace korvan {

namespace {

// y1'y2: the single-precision running sum over the records in order.
float RecordCrossProductStraightforward(const RunData& run, int t1, int t2) {
  float sum = 0.0f;
  for (int i = 1; i <= run.nRecord; ++i) sum += run.traitValue(i, t1) * run.traitValue(i, t2);
  return sum;
}

// The sum over the levels of total1 x total2 / count, each term evaluated in
// double and stored in single precision; the running sum stays single.
float LevelCrossProductStraightforward(const Table2<float>& total, const std::vector<float>& count, int t1,
                                       int t2) {
  float sum = 0.0f;
  for (int j = 1; j <= total.LastRow(); ++j) {
    sum += RoundToSingle(static_cast<double>(total(j, t1)) * static_cast<double>(total(j, t2)) /
                         static_cast<double>(count[j]));
  }
  return sum;
}

// The solution of the first trait times the right-hand side of the second,
// term by term likewise.
float SolutionCrossProductStraightforward(const Table2<float>& solution, const Table2<float>& rhs, int t1, int t2) {
  float sum = 0.0f;
  for (int j = 1; j <= solution.LastRow(); ++j)
    sum += RoundToSingle(static_cast<double>(solution(j, t1)) * static_cast<double>(rhs(j, t2)));
  return sum;
}

PairAnova PairReductionsStraightforward(const RunData& run, int t1, int t2) {
  assert(1 <= t1 && t1 < t2 && t2 <= run.nTrait);
  PairSums s;
  s.rUR = LevelCrossProductStraightforward(run.repTot, run.repCnt, t1, t2);
  s.qRF = SolutionCrossProductStraightforward(run.solRF, run.rhsRF, t1, t2);
  s.qRCell = SolutionCrossProductStraightforward(run.solRSF, run.rhsRSF, t1, t2);
  s.rUF = LevelCrossProductStraightforward(run.famTot, run.famCnt, t1, t2);
  s.qSF = SolutionCrossProductStraightforward(run.solSF, run.rhsSF, t1, t2);
  s.rUCell = LevelCrossProductStraightforward(run.sfTot, run.sfCnt, t1, t2);
  return CombinePair(run, s, RecordCrossProductStraightforward(run, t1, t2));
}

}  // namespace

std::vector<std::vector<PairAnova>> ReduceAllPairsStraightforward(const RunData& run) {
  std::vector<std::vector<PairAnova>> all(static_cast<std::size_t>(run.nTrait));
  for (int t1 = 1; t1 < run.nTrait; ++t1) {
    std::vector<PairAnova>& row = all[static_cast<std::size_t>(t1)];
    row.resize(static_cast<std::size_t>(run.nTrait) + 1);
    for (int t2 = t1 + 1; t2 <= run.nTrait; ++t2) row[t2] = PairReductionsStraightforward(run, t1, t2);
  }
  return all;
}

}  // namespace korvan
