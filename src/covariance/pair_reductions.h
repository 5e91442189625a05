#pragma once

// The analysis of covariance of two traits, combined from what the per-trait
// reductions left in the run's stores; nothing is fitted again.

#include <array>
#include <vector>

#include "rundata/rundata.h"

namespace korvan {

struct PairAnova {
  float scpSite = 0, scpRep = 0, scpFamily = 0, scpSiteFam = 0, scpError = 0;  // S.C.P.
  float mcpSite = 0;     // M.C.P. of the Site line (its d.f. is a whole count)
  double mcpRep = 0;     // M.C.P. of the Rep./Site line
  float mcpFamily = 0;   // M.C.P. of the Family line
  double mcpSiteFam = 0; // M.C.P. of the Site*Fam. line
  double mcpError = 0;   // M.C.P. of the Error line
  std::array<double, 4> vcEst{};  // 1..3: family, site x family and error covariance
};

// The cross-product reductions of every pair t1 < t2 (element [t1][t2]):
// y1'y2 of all pairs in one pass over the records, then for each t1 one pass
// over the stores with all later traits side by side; on two threads when
// there are many pairs.
std::vector<std::vector<PairAnova>> ReduceAllPairs(const RunData& run);

// --- What both forms of the pair reductions share (the other one is in
// pair_reductions_straightforward.h).

// The six cross-product sums of one pair, in the order they are formed: of
// the level totals (rUR, rUF, rUCell) and of the solutions of the absorbed
// systems with their right-hand sides (qRF, qRCell, qSF). The solution is
// always the first trait's, the right-hand side the second's.
struct PairSums {
  float rUR = 0, qRF = 0, qRCell = 0, rUF = 0, qSF = 0, rUCell = 0;
};

// The pair's lines and covariance components from its sums and y1'y2.
PairAnova CombinePair(const RunData& run, const PairSums& s, float y1y2);

}  // namespace korvan
