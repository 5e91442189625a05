#pragma once

#include <vector>

#include "rundata/rundata.h"

namespace korvan {

// N_ab: the records shared by each level of factor a and each level of
// factor b (factors 1 u, 2 s, 3 r, 4 f, 5 sf; levels numbered locally from
// 1), with the level sizes of both factors.
Incidence CountBlock(const RunData& run, int a, int b);

// The records at each level of factor k, levels 1..n.
std::vector<float> CountLevels(const RunData& run, int k);

// The reduced equations of a after absorbing b, with the constraint ones
// (one overall condition, or one per site when perSiteConstraint):
// D_a + HH' - N_ab D_b^-1 N_ab', rows and columns 1..nA, bit for bit the
// step-by-step absorption.
Table2<float> Absorb(const RunData& run, const Incidence& incidence, bool perSiteConstraint);

}  // namespace korvan
