#include "covariance/pair_reductions.h"

#include <algorithm>
#include <cassert>

#include "anova/record_block.h"
#include "format/number_format.h"
#include "base/parallel.h"
#include "base/vector_clones.h"

namespace korvan {

namespace {

// The running sums of t1 with all later traits take the block's records one
// after the other, in rows t1 = first, first + every, ..; eight records per
// pass over a row keep it in the registers, each sum still adding the
// records in order, one rounded step each.
KORVAN_VECTOR_CLONES void AddBlockProducts(const RecordBlock& block, int count, int nTrait, int first, int every,
                                           Table2<float>& sums) {
  for (int t1 = first; t1 < nTrait; t1 += every) {
    float* row = sums.Row(t1);
    int i = 0;
    for (; i + 7 < count; i += 8) {
      const float* v[8];
      float a[8];
      for (int k = 0; k < 8; ++k) {
        v[k] = block.Record(i + k);
        a[k] = v[k][t1];
      }
      // The product of two singles is exact in double, so rounding it once
      // to single gives the single-precision product.
      for (int t2 = t1 + 1; t2 <= nTrait; ++t2) {
        float sum = row[t2];
        for (int k = 0; k < 8; ++k) sum = sum + a[k] * v[k][t2];
        row[t2] = sum;
      }
    }
    for (; i < count; ++i) {
      const float* v = block.Record(i);
      const float a = v[t1];
      for (int t2 = t1 + 1; t2 <= nTrait; ++t2) row[t2] += a * v[t2];
    }
  }
}

// y1'y2 of every pair t1 < t2 in element (t1, t2): the single-precision
// running sum over the records in order, all pairs in one pass over them.
Table2<float> AllRecordCrossProducts(const RunData& run) {
  const int nTrait = run.nTrait;
  Table2<float> sums(nTrait, nTrait);
  // The rows t1 are independent; two threads take alternate ones, which
  // shares the work evenly as the rows grow shorter.
  auto sumRows = [&](int first, int every) {
    ForEachRecordBlock(run, [&](const RecordBlock& block, int, int count) {
      AddBlockProducts(block, count, nTrait, first, every, sums);
    });
  };
  const double work = static_cast<double>(nTrait) * nTrait * run.nRecord / 2;
  ForEachChunk(2, work, [&](int part) { sumRows(1 + part, 2); });
  return sums;
}

// The cross products of the level totals of t1 with those of every later
// trait, the sum over the levels of total1 x total2 / count: each term
// evaluated in double and stored in single precision, the running sum
// single. The stores hold the traits of a level side by side, so one pass
// down the levels serves them all; each sum still adds its levels in order,
// term by term.
KORVAN_VECTOR_CLONES void LevelCrossProducts(const Table2<float>& total, const std::vector<float>& count, int t1,
                        std::vector<float>& sums) {
  const int last = total.LastCol();
  std::fill(sums.begin(), sums.end(), 0.0f);
  for (int j = 1; j <= total.LastRow(); ++j) {
    const float* row = total.Row(j);
    const double first = static_cast<double>(row[t1]);
    const double size = static_cast<double>(count[j]);
    for (int t2 = t1 + 1; t2 <= last; ++t2)
      sums[t2] += RoundToSingle(first * static_cast<double>(row[t2]) / size);
  }
}

// The solution of t1 times the right-hand sides of every later trait, term
// by term likewise. The solution always from the first trait, the right-hand
// side from the second: averaging with the reverse order would be symmetric
// too, but would change the digits of every report already compared against.
KORVAN_VECTOR_CLONES void SolutionCrossProducts(const Table2<float>& solution, const Table2<float>& rhs, int t1,
                           std::vector<float>& sums) {
  const int last = rhs.LastCol();
  std::fill(sums.begin(), sums.end(), 0.0f);
  for (int j = 1; j <= solution.LastRow(); ++j) {
    const float* row = rhs.Row(j);
    const double first = static_cast<double>(solution(j, t1));
    for (int t2 = t1 + 1; t2 <= last; ++t2) sums[t2] += RoundToSingle(first * static_cast<double>(row[t2]));
  }
}

// The pairs of t1 with every later trait t2 (index t2), `y1y2` the row of t1
// of AllRecordCrossProducts.
std::vector<PairAnova> PairReductionsWithLaterTraits(const RunData& run, int t1, const float* y1y2) {
  assert(1 <= t1 && t1 < run.nTrait && run.repTot.LastCol() == run.nTrait);
  const std::size_t size = static_cast<std::size_t>(run.nTrait) + 1;
  std::vector<float> rUR(size), qRF(size), qRCell(size), rUF(size), qSF(size), rUCell(size);
  LevelCrossProducts(run.repTot, run.repCnt, t1, rUR);
  SolutionCrossProducts(run.solRF, run.rhsRF, t1, qRF);
  SolutionCrossProducts(run.solRSF, run.rhsRSF, t1, qRCell);
  LevelCrossProducts(run.famTot, run.famCnt, t1, rUF);
  SolutionCrossProducts(run.solSF, run.rhsSF, t1, qSF);
  LevelCrossProducts(run.sfTot, run.sfCnt, t1, rUCell);
  std::vector<PairAnova> pairs(size);
  for (int t2 = t1 + 1; t2 <= run.nTrait; ++t2)
    pairs[t2] = CombinePair(run, {rUR[t2], qRF[t2], qRCell[t2], rUF[t2], qSF[t2], rUCell[t2]}, y1y2[t2]);
  return pairs;
}

}  // namespace

std::vector<std::vector<PairAnova>> ReduceAllPairs(const RunData& run) {
  const Table2<float> y1y2 = AllRecordCrossProducts(run);
  std::vector<std::vector<PairAnova>> all(static_cast<std::size_t>(run.nTrait));
  auto reduce = [&](int first, int every) {
    for (int t1 = first; t1 < run.nTrait; t1 += every)
      all[static_cast<std::size_t>(t1)] = PairReductionsWithLaterTraits(run, t1, y1y2.Row(t1));
  };
  // Each t1 is its own; alternate ones share the work as the rows shorten.
  // Every pair passes over the model columns.
  const double work = static_cast<double>(run.nTrait) * run.nTrait * run.q / 2;
  ForEachChunk(2, work, [&](int part) { reduce(1 + part, 2); });
  return all;
}

PairAnova CombinePair(const RunData& run, const PairSums& s, float y1y2) {
  // The combinations are stored in single before they are differenced.
  const float rUSF = s.qSF + s.rUF;
  const float rUSRF = s.qRF + s.rUF;
  const float rUSRCell = s.qRCell + s.rUCell;

  PairAnova p;
  p.scpSite = rUSF - s.rUF;
  p.scpRep = rUSRF - rUSF;
  p.scpFamily = rUSRF - s.rUR;
  p.scpSiteFam = rUSRCell - rUSRF;
  p.scpError = y1y2 - rUSRCell;
  // A single S.C.P. over a whole-number d.f. stays single; the d.f. held in
  // double give double quotients.
  p.mcpSite = RoundToSingle(static_cast<double>(p.scpSite) / run.dfSite);
  p.mcpRep = static_cast<double>(p.scpRep) / run.dfRep;
  p.mcpFamily = RoundToSingle(static_cast<double>(p.scpFamily) / run.dfFamily);
  p.mcpSiteFam = static_cast<double>(p.scpSiteFam) / run.dfSiteFam;
  p.mcpError = static_cast<double>(p.scpError) / run.dfError;

  // Back-substitution in the expected-mean-square equations, in double.
  p.vcEst[3] = p.mcpError;
  p.vcEst[2] = (p.mcpSiteFam - p.mcpError) / run.kSF;
  p.vcEst[1] = ((static_cast<double>(p.mcpFamily) - static_cast<double>(run.kFSF) * p.vcEst[2]) -
                p.mcpError) / static_cast<double>(run.kF);
  return p;
}

}  // namespace korvan
