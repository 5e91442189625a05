#include "model/absorb_straightforward.h"

#include <cstddef>
#include <cstdint>

#include "format/number_format.h"

namespace korvan {

namespace {

int LevelsOf(const RunData& run, int factor) { return run.colOffset[factor + 1] - run.colOffset[factor]; }

}  // namespace

// Whole-number counts rounded once at the store, as CountBlock keeps them.
Table2<float> CountBlockStraightforward(const RunData& run, int a, int b) {
  const int nA = LevelsOf(run, a), nB = LevelsOf(run, b);
  Table2<std::int64_t> count(nA, nB);
  for (int r = 1; r <= run.nRecord; ++r) {
    const int i = run.recordColumn(r, a) - run.colOffset[a], k = run.recordColumn(r, b) - run.colOffset[b];
    ++count(i, k);
  }
  Table2<float> block(nA, nB);
  for (int i = 1; i <= nA; ++i)
    for (int k = 1; k <= nB; ++k) block(i, k) = RoundToSingle(static_cast<double>(count(i, k)));
  return block;
}

std::vector<float> CountLevelsStraightforward(const RunData& run, int k) {
  const int levels = LevelsOf(run, k);
  std::vector<std::int64_t> count(static_cast<std::size_t>(levels) + 1, 0);
  for (int r = 1; r <= run.nRecord; ++r) ++count[static_cast<std::size_t>(run.recordColumn(r, k) - run.colOffset[k])];
  std::vector<float> sizes(count.size());
  for (std::size_t i = 0; i < count.size(); ++i) sizes[i] = RoundToSingle(static_cast<double>(count[i]));
  return sizes;
}

// absorbedMat(i, j) = absBase(i, j) - the sum over all levels k of b of
// count(i, k) x count(j, k) / levelCount(k), each step evaluated in double
// from the single-precision elements and rounded at the store.
Table2<float> AbsorbStraightforward(const RunData& run, int a, int b, bool perSiteConstraint) {
  const Table2<float> count = CountBlockStraightforward(run, a, b);
  const Table2<float> own = CountBlockStraightforward(run, a, a);
  const std::vector<float> levelCount = CountLevelsStraightforward(run, b);
  const int nA = count.LastRow(), nB = count.LastCol();
  Table2<float> absorbed(nA, nA);
  for (int i = 1; i <= nA; ++i)
    for (int j = 1; j <= nA; ++j) {
      const bool sameSite = run.repSite[run.repOffset + i] == run.repSite[run.repOffset + j];
      const float base = !perSiteConstraint || sameSite ? own(i, j) + 1.0f : own(i, j);
      float sum = 0.0f;
      for (int k = 1; k <= nB; ++k)
        sum = RoundToSingle(static_cast<double>(count(i, k)) * static_cast<double>(count(j, k)) /
                                static_cast<double>(levelCount[k]) +
                            static_cast<double>(sum));
      absorbed(i, j) = base - sum;
    }
  return absorbed;
}

}  // namespace korvan
