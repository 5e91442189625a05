#include "model/fixed_equations_straightforward.h"

#include <cassert>

#include "model/absorb_straightforward.h"
#include "model/fixed_equations.h"

namespace korvan {

Table2<float> BuildFixedEquationsStraightforward(const RunData& run, int lastFixed, ProgressLog& log) {
  assert(lastFixed >= 1 && lastFixed <= 3);
  const int p = run.colOffset[lastFixed + 1];
  Table2<float> coef(p, p);
  for (int a = 1; a <= lastFixed; ++a)
    for (int b = 1; b <= lastFixed; ++b) {
      const Table2<float> count = CountBlockStraightforward(run, a, b);
      for (int i = 1; i <= count.LastRow(); ++i)
        for (int k = 1; k <= count.LastCol(); ++k) coef(run.colOffset[a] + i, run.colOffset[b] + k) = count(i, k);
    }
  FinishFixedEquations(run, lastFixed, coef, log);
  return coef;
}

Table2<float> FixedCrossProductsStraightforward(const RunData& run, int lastFixed, int b) {
  const int p = run.colOffset[lastFixed + 1];
  const int nB = run.colOffset[b + 1] - run.colOffset[b];
  Table2<float> count(p, nB);  // X'Z_b
  for (int a = 1; a <= lastFixed; ++a) {
    const Table2<float> block = CountBlockStraightforward(run, a, b);
    for (int i = 1; i <= block.LastRow(); ++i)
      for (int k = 1; k <= nB; ++k) count(run.colOffset[a] + i, k) = block(i, k);
  }
  Table2<float> zz(p, p);
  for (int i = 1; i <= p; ++i)
    for (int j = 1; j <= p; ++j) {
      float sum = 0.0f;
      for (int k = 1; k <= nB; ++k) sum = sum + count(i, k) * count(j, k);
      zz(i, j) = sum;
    }
  return zz;
}

}  // namespace korvan
