#pragma once

// The analysis of covariance of two traits, combined from what the per-trait
// reductions left in the run's stores; nothing is fitted again.

#include <array>
#include <vector>

#include "input/rundata.h"

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

// y1'y2 of trait t1 with every later trait t2 (index t2 = t1 + 1 .. nTrait):
// the single-precision running sum over the records in order.
std::vector<float> RecordCrossProducts(const RunData& run, int t1);

// The same for every pair at once: element (t1, t2), t1 < t2, in one pass
// over the records.
Table2<float> AllRecordCrossProducts(const RunData& run);

// The pair t1 < t2; `y1y2` comes from RecordCrossProducts.
PairAnova PairReductions(const RunData& run, int t1, int t2, float y1y2);

// PairReductions of t1 with every later trait t2 (index t2 = t1 + 1 ..
// nTrait), the same bits for one pass over the stores instead of one per pair.
std::vector<PairAnova> PairReductionsWithLaterTraits(const RunData& run, int t1, const std::vector<float>& y1y2);

// PairReductionsWithLaterTraits of every t1 (index t1), `y1y2` from
// AllRecordCrossProducts; on two threads when there are many pairs.
std::vector<std::vector<PairAnova>> AllPairReductions(const RunData& run, const Table2<float>& y1y2);

// AllPairReductions of AllRecordCrossProducts: the pair stage's reductions.
std::vector<std::vector<PairAnova>> ReduceAllPairs(const RunData& run);

// The same pair by pair, as the method is written: the cross products of the
// records summed anew for every first trait, each pair reduced on its own.
std::vector<std::vector<PairAnova>> ReduceAllPairsStraightforward(const RunData& run);

}  // namespace korvan
