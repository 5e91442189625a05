#include "model/absorb.h"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>

#include "format/number_format.h"
#include "base/parallel.h"
#include "base/vector_clones.h"

namespace korvan {

namespace {

int LevelsOf(const RunData& run, int factor) { return run.colOffset[factor + 1] - run.colOffset[factor]; }

// Records are counted as whole numbers and rounded once where they are
// stored; adding 1 to a float would stop counting at 2^24 records.
std::vector<std::int64_t> WholeLevelCounts(const RunData& run, int k) {
  const int levels = LevelsOf(run, k);
  std::vector<std::int64_t> counts(static_cast<std::size_t>(levels) + 1, 0);
  const std::int32_t* column = run.recordColumn.Factor(k);
  for (int r = 1; r <= run.nRecord; ++r) {
    const int level = column[r] - run.colOffset[k];
    assert(level >= 1 && level <= levels);
    ++counts[static_cast<std::size_t>(level)];
  }
  return counts;
}

std::vector<float> CountsToSingle(const std::vector<std::int64_t>& counts) {
  std::vector<float> single(counts.size());
  for (std::size_t i = 0; i < counts.size(); ++i) single[i] = RoundToSingle(static_cast<double>(counts[i]));
  return single;
}

}  // namespace

std::vector<float> CountLevels(const RunData& run, int k) { return CountsToSingle(WholeLevelCounts(run, k)); }

namespace {

// The records' levels of a and of b, numbered locally from 1.
struct LevelPairs {
  int n = 0;
  const std::int32_t* colA = nullptr;
  const std::int32_t* colB = nullptr;
  int offA = 0, offB = 0;
  int A(int r) const { return colA[r] - offA; }
  int B(int r) const { return colB[r] - offB; }
};

// Entries of every level of a, in increasing order of b, from a table of all
// pairs of levels counted in one pass: for a table not much larger than the
// records.
void RowsFromTable(const LevelPairs& p, Incidence& inc, std::vector<std::int64_t>& entryCount) {
  const auto nB = static_cast<std::size_t>(inc.nB);
  std::vector<std::int32_t> table(static_cast<std::size_t>(inc.nA) * nB, 0);
  for (int r = 1; r <= p.n; ++r) ++table[static_cast<std::size_t>(p.A(r) - 1) * nB + static_cast<std::size_t>(p.B(r) - 1)];
  for (int i = 1; i <= inc.nA; ++i) {
    inc.rowStart[i] = static_cast<int>(inc.colIndex.size());
    const std::int32_t* row = &table[static_cast<std::size_t>(i - 1) * nB];
    for (int j = 1; j <= inc.nB; ++j)
      if (row[j - 1] != 0) {
        inc.colIndex.push_back(j);
        entryCount.push_back(row[j - 1]);
      }
  }
}

// The same by two stable counting sorts, by level of b and then by level of
// a, which leave every level of a with its levels of b in increasing order.
void RowsBySorting(const LevelPairs& p, const std::vector<std::int64_t>& countA,
                   const std::vector<std::int64_t>& countB, Incidence& inc, std::vector<std::int64_t>& entryCount) {
  std::vector<int> nextB(inc.nB + 2), nextA(inc.nA + 2);
  for (int j = 1; j <= inc.nB; ++j) nextB[j + 1] = nextB[j] + static_cast<int>(countB[j]);
  for (int i = 1; i <= inc.nA; ++i) nextA[i + 1] = nextA[i] + static_cast<int>(countA[i]);
  std::vector<int> recordsByB(p.n);
  for (int r = 1; r <= p.n; ++r) recordsByB[nextB[p.B(r)]++] = r;
  std::vector<int> levelBByA(p.n);
  for (int r : recordsByB) levelBByA[nextA[p.A(r)]++] = p.B(r);

  // Runs of equal levels of b within a level of a are the entries.
  std::size_t at = 0;
  for (int i = 1; i <= inc.nA; ++i) {
    inc.rowStart[i] = static_cast<int>(inc.colIndex.size());
    const std::size_t end = at + static_cast<std::size_t>(countA[i]);
    while (at < end) {
      const int level = levelBByA[at];
      std::size_t runEnd = at;
      while (runEnd < end && levelBByA[runEnd] == level) ++runEnd;
      inc.colIndex.push_back(level);
      entryCount.push_back(static_cast<std::int64_t>(runEnd - at));
      at = runEnd;
    }
  }
}

}  // namespace

Incidence CountBlock(const RunData& run, int a, int b) {
  Incidence inc;
  inc.nA = LevelsOf(run, a);
  inc.nB = LevelsOf(run, b);
  const LevelPairs p{run.nRecord, run.recordColumn.Factor(a), run.recordColumn.Factor(b), run.colOffset[a],
                     run.colOffset[b]};
  inc.levelCountA = CountLevels(run, a);
  inc.levelCountB = CountLevels(run, b);
  inc.rowStart.assign(inc.nA + 2, 0);
  std::vector<std::int64_t> entryCount;
  if (std::int64_t{inc.nA} * inc.nB <= 2 * std::int64_t{p.n}) {
    RowsFromTable(p, inc, entryCount);
  } else {
    RowsBySorting(p, WholeLevelCounts(run, a), WholeLevelCounts(run, b), inc, entryCount);
  }
  inc.rowStart[inc.nA + 1] = static_cast<int>(inc.colIndex.size());
  inc.count = CountsToSingle(entryCount);
  return inc;
}

namespace {

// The incidence walked by level of b: for each level k, the levels of a that
// share records with it, in increasing order.
struct ByLevelOfB {
  std::vector<int> start;   // level k is entries start[k] .. start[k + 1] - 1
  std::vector<int> levelA;
  std::vector<float> count;
};

ByLevelOfB Transpose(const Incidence& inc) {
  ByLevelOfB t;
  t.start.assign(inc.nB + 2, 0);
  for (int k : inc.colIndex) ++t.start[k + 1];
  for (int k = 1; k <= inc.nB; ++k) t.start[k + 1] += t.start[k];
  std::vector<int> next(t.start.begin(), t.start.end());
  t.levelA.resize(inc.colIndex.size());
  t.count.resize(inc.colIndex.size());
  for (int i = 1; i <= inc.nA; ++i)
    for (int e = inc.rowStart[i]; e < inc.rowStart[i + 1]; ++e) {
      const int slot = next[inc.colIndex[e]]++;
      t.levelA[slot] = i;
      t.count[slot] = inc.count[e];
    }
  return t;
}

// One step of the absorption sum: count(i,k) x count(j,k) / levelCount(k) +
// acc, evaluated in double from the single-precision elements and rounded
// once, at the store.
inline float AbsorbStep(double countI, float countJ, double levelCount, float acc) {
  return RoundToSingle(countI * static_cast<double>(countJ) / levelCount + static_cast<double>(acc));
}

// Adds the contributions of all levels of b to rows first..last of the upper
// triangle of `acc`. Levels of b whose records fill most of a stretch of the
// levels of a are added along the whole stretch, with the missing counts as
// zeros, so that the inner loop runs over contiguous memory.
//
// Skipping a pair with a zero count, or adding its term, leaves the same
// bits: the term is an exact +0 (a zero count times a count over a positive
// size), and the accumulator, a sum of such non-negative terms starting
// from +0, is never -0, and x + (+0) = x for every other x.
KORVAN_VECTOR_CLONES void AccumulateRows(const ByLevelOfB& byB, const std::vector<float>& levelCountB, int first, int last,
                    Table2<float>& acc, std::vector<float>& stretch) {
  const int nB = static_cast<int>(levelCountB.size()) - 1;
  for (int k = 1; k <= nB; ++k) {
    const int e0 = byB.start[k], e1 = byB.start[k + 1];
    if (e0 == e1) continue;
    const int* level = &byB.levelA[e0];
    const float* count = &byB.count[e0];
    const int entries = e1 - e0;
    const int lo = level[0], hi = level[entries - 1];
    if (hi < first || lo > last) continue;
    const double size = static_cast<double>(levelCountB[k]);
    const bool dense = 2 * entries >= hi - lo + 1;
    if (dense)
      for (int x = 0; x < entries; ++x) stretch[level[x]] = count[x];
    for (int x = 0; x < entries; ++x) {
      const int i = level[x];
      if (i < first || i > last) continue;
      float* row = acc.Row(i);
      const double countI = static_cast<double>(count[x]);
      if (dense) {
        for (int j = i; j <= hi; ++j) row[j] = AbsorbStep(countI, stretch[j], size, row[j]);
      } else {
        for (int y = x; y < entries; ++y) row[level[y]] = AbsorbStep(countI, count[y], size, row[level[y]]);
      }
    }
    if (dense)
      for (int x = 0; x < entries; ++x) stretch[level[x]] = 0.0f;
  }
}

}  // namespace

Table2<float> Absorb(const RunData& run, const Incidence& incidence, bool perSiteConstraint) {
  const int nA = incidence.nA;
  const ByLevelOfB byB = Transpose(incidence);
  Table2<float> acc(nA, nA);

  // Rows are independent sums, so they can be shared out among threads; the
  // later rows of the triangle are shorter, hence the interleaved bands.
  constexpr int kBandRows = 64;
  const int bands = (nA + kBandRows - 1) / kBandRows;
  const double work = static_cast<double>(byB.levelA.size()) * nA;
  auto accumulateBand = [&](int band) {
    std::vector<float> stretch(nA + 1, 0.0f);
    const int first = 1 + band * kBandRows;
    AccumulateRows(byB, incidence.levelCountB, first, std::min(nA, first + kBandRows - 1), acc, stretch);
  };
  ForEachChunk(bands, work, accumulateBand);

  // The products commute and every (i, j) sums its levels of b in the same
  // order as (j, i), so the lower triangle is the upper one mirrored.
  Table2<float> absorbed(nA, nA);
  for (int i = 1; i <= nA; ++i)
    for (int j = 1; j <= nA; ++j) {
      const float sum = j >= i ? acc(i, j) : acc(j, i);
      const bool constrained = !perSiteConstraint || run.repSite[run.repOffset + i] == run.repSite[run.repOffset + j];
      float base = i == j ? incidence.levelCountA[i] : 0.0f;
      if (constrained) base = base + 1.0f;
      absorbed(i, j) = base - sum;
    }
  return absorbed;
}

}  // namespace korvan
