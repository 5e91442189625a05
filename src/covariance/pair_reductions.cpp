#include "covariance/pair_reductions.h"

#include <algorithm>
#include <cassert>

#include "format/number_format.h"

namespace korvan {

namespace {

// Each term (a product, or a product divided by a count) is evaluated in
// double and stored in single precision; the running sum stays single.
float LevelCrossProduct(const Table2<float>& total, const std::vector<float>& count, int t1, int t2) {
  float sum = 0.0f;
  for (int j = 1; j <= total.LastRow(); ++j) {
    sum += RoundToSingle(static_cast<double>(total(j, t1)) * static_cast<double>(total(j, t2)) /
                         static_cast<double>(count[j]));
  }
  return sum;
}

// The solution always from the first trait, the right-hand side from the
// second. Averaging with the reverse order would be symmetric too, but would
// change the digits of every report already compared against.
float SolutionCrossProduct(const Table2<float>& solution, const Table2<float>& rhs, int t1, int t2) {
  float sum = 0.0f;
  for (int j = 1; j <= solution.LastRow(); ++j) {
    sum += RoundToSingle(static_cast<double>(solution(j, t1)) * static_cast<double>(rhs(j, t2)));
  }
  return sum;
}

}  // namespace

std::vector<float> RecordCrossProducts(const RunData& run, int t1) {
  std::vector<float> sums(static_cast<std::size_t>(run.nTrait) + 1, 0.0f);
  const float* v1 = run.traitValue.Trait(t1);
  // Each sum must run through the records in order, which ties one sum to the
  // latency of its additions; several traits side by side keep the adder busy.
  constexpr int kWidth = 8;
  for (int first = t1 + 1; first <= run.nTrait; first += kWidth) {
    const int width = std::min(kWidth, run.nTrait - first + 1);
    const float* v2[kWidth] = {};
    float acc[kWidth] = {};
    for (int c = 0; c < width; ++c) v2[c] = run.traitValue.Trait(first + c);
    for (int i = 1; i <= run.nRecord; ++i) {
      const float a = v1[i];
      // The product of two singles is exact in double, so rounding it once to
      // single gives the single-precision product.
      for (int c = 0; c < width; ++c) acc[c] += a * v2[c][i];
    }
    for (int c = 0; c < width; ++c) sums[first + c] = acc[c];
  }
  return sums;
}

PairAnova PairReductions(const RunData& run, int t1, int t2, float y1y2) {
  assert(1 <= t1 && t1 < t2 && t2 <= run.nTrait);
  const float rUR = LevelCrossProduct(run.repTot, run.repCnt, t1, t2);
  const float qRF = SolutionCrossProduct(run.solRF, run.rhsRF, t1, t2);
  const float qRCell = SolutionCrossProduct(run.solRSF, run.rhsRSF, t1, t2);
  const float rUF = LevelCrossProduct(run.famTot, run.famCnt, t1, t2);
  const float qSF = SolutionCrossProduct(run.solSF, run.rhsSF, t1, t2);
  const float rUCell = LevelCrossProduct(run.sfTot, run.sfCnt, t1, t2);
  // The combinations are stored in single before they are differenced.
  const float rUSF = qSF + rUF;
  const float rUSRF = qRF + rUF;
  const float rUSRCell = qRCell + rUCell;

  PairAnova p;
  p.scpSite = rUSF - rUF;
  p.scpRep = rUSRF - rUSF;
  p.scpFamily = rUSRF - rUR;
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
