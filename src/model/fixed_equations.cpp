#include "model/fixed_equations.h"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <vector>

#include "format/number_format.h"
#include "linalg/invert_matrix.h"
#include "base/parallel.h"
#include "base/vector_clones.h"
#include "model/absorb.h"

namespace korvan {

namespace {

// Adds the constraint ones: every pair of site columns, and every pair of
// block columns of the same site. They stand for HH', H holding one column
// of ones over the sites and one over the blocks of each site: 1 + nSite
// conditions, as many as the dependencies among u, s and r.
void AddConstraintOnes(const RunData& run, int lastFixed, Table2<float>& coef) {
  for (int factor = 2; factor <= lastFixed; ++factor) {
    const int first = run.colOffset[factor] + 1, last = run.colOffset[factor + 1];
    for (int j = first; j <= last; ++j)
      for (int k = first; k <= last; ++k)
        if (factor == 2 || run.repSite[j] == run.repSite[k])
          coef(j, k) = coef(j, k) + 1.0f;
  }
}

}  // namespace

void FinishFixedEquations(const RunData& run, int lastFixed, Table2<float>& coef, ProgressLog& log) {
  AddConstraintOnes(run, lastFixed, coef);
  static constexpr Pattern kElement(" ####");
  const int p = run.colOffset[lastFixed + 1];
  for (int i = 1; i <= p; ++i)
    log.LineBy([&](std::string& line) {
      for (int j = 1; j <= p; ++j) AppendPattern(line, coef(i, j), kElement);
    });
}

Table2<float> BuildFixedEquations(const RunData& run, int lastFixed, ProgressLog& log) {
  assert(lastFixed >= 1 && lastFixed <= 3);
  const int p = run.colOffset[lastFixed + 1];
  Table2<float> coef(p, p);
  for (int a = 1; a <= lastFixed; ++a)
    for (int b = a; b <= lastFixed; ++b) {
      const Incidence inc = CountBlock(run, a, b);
      const int offA = run.colOffset[a], offB = run.colOffset[b];
      for (int i = 1; i <= inc.nA; ++i)
        for (int e = inc.rowStart[i]; e < inc.rowStart[i + 1]; ++e) {
          const float count = inc.count[e];
          coef(offA + i, offB + inc.colIndex[e]) = count;
          coef(offB + inc.colIndex[e], offA + i) = count;
        }
    }
  FinishFixedEquations(run, lastFixed, coef, log);
  return coef;
}

Table2<float> InvertByColumns(const Table2<float>& a, int n) { return InvertByElimination(a, n); }

namespace {

// For every level of b, the fixed columns that share records with it, in
// increasing order, with their counts.
struct FixedByLevel {
  std::vector<int> start;  // level k is entries start[k] .. start[k + 1] - 1
  std::vector<int> column;
  std::vector<float> count;
};

FixedByLevel CountFixedByLevel(const RunData& run, int lastFixed, int b) {
  std::vector<Incidence> parts;
  for (int a = 1; a <= lastFixed; ++a) parts.push_back(CountBlock(run, b, a));
  FixedByLevel byLevel;
  const int nB = parts.front().nA;
  byLevel.start.assign(nB + 2, 0);
  for (int k = 1; k <= nB; ++k) {
    byLevel.start[k] = static_cast<int>(byLevel.column.size());
    // The factors' columns follow one another, so factor by factor is increasing order.
    for (int a = 1; a <= lastFixed; ++a) {
      const Incidence& part = parts[a - 1];
      for (int e = part.rowStart[k]; e < part.rowStart[k + 1]; ++e) {
        byLevel.column.push_back(run.colOffset[a] + part.colIndex[e]);
        byLevel.count.push_back(part.count[e]);
      }
    }
  }
  byLevel.start[nB + 1] = static_cast<int>(byLevel.column.size());
  return byLevel;
}

// Adds every level's products to rows first..last of the upper triangle.
// Levels that cover most of a stretch of columns go along the whole stretch
// with zeros for the missing counts, so that the inner loop is contiguous.
//
// A skipped or added zero product changes no bit: it is an exact +0, and a
// running sum of non-negative products that starts at +0 is never -0.
KORVAN_VECTOR_CLONES void AccumulateRows(const FixedByLevel& byLevel, int first, int last, Table2<float>& zz, std::vector<float>& stretch) {
  const int nB = static_cast<int>(byLevel.start.size()) - 2;
  for (int k = 1; k <= nB; ++k) {
    const int e0 = byLevel.start[k], e1 = byLevel.start[k + 1];
    const int* column = &byLevel.column[e0];
    const float* count = &byLevel.count[e0];
    const int entries = e1 - e0;
    if (entries == 0) continue;
    const int lo = column[0], hi = column[entries - 1];
    if (hi < first || lo > last) continue;
    const bool dense = 2 * entries >= hi - lo + 1;
    if (dense)
      for (int x = 0; x < entries; ++x) stretch[column[x]] = count[x];
    for (int x = 0; x < entries; ++x) {
      const int i = column[x];
      if (i < first || i > last) continue;
      float* row = zz.Row(i);
      const float countI = count[x];
      if (dense) {
        for (int j = i; j <= hi; ++j) row[j] = row[j] + countI * stretch[j];
      } else {
        for (int y = x; y < entries; ++y) row[column[y]] = row[column[y]] + countI * count[y];
      }
    }
    if (dense)
      for (int x = 0; x < entries; ++x) stretch[column[x]] = 0.0f;
  }
}

}  // namespace

Table2<float> FixedCrossProducts(const RunData& run, int lastFixed, int b) {
  const int p = run.colOffset[lastFixed + 1];
  const FixedByLevel byLevel = CountFixedByLevel(run, lastFixed, b);
  Table2<float> zz(p, p);
  constexpr int kBandRows = 64;
  const int bands = (p + kBandRows - 1) / kBandRows;
  auto accumulateBand = [&](int band) {
    std::vector<float> stretch(p + 1, 0.0f);
    const int first = 1 + band * kBandRows;
    AccumulateRows(byLevel, first, std::min(p, first + kBandRows - 1), zz, stretch);
  };
  ForEachChunk(bands, static_cast<double>(byLevel.column.size()) * p, accumulateBand);
  // Products commute and (i, j) and (j, i) add their levels in the same
  // order: the lower triangle is the upper one mirrored.
  for (int i = 2; i <= p; ++i)
    for (int j = 1; j < i; ++j) zz(i, j) = zz(j, i);
  return zz;
}

float TraceOfProduct(const Table2<float>& coefInv, const Table2<float>& zzProd, int n) {
  float t = 0.0f;
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) t = t + coefInv(i, j) * zzProd(j, i);
  return t;
}

}  // namespace korvan
