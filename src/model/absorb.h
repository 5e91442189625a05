#pragma once

#include <vector>

#include "input/rundata.h"

namespace korvan {

// N_ab: the records shared by each level of factor a and each level of
// factor b (factors 1 u, 2 s, 3 r, 4 f, 5 sf; levels numbered locally from 1),
// held sparsely: only pairs that share records, in increasing order of b.
struct Incidence {
  int nA = 0;
  int nB = 0;
  std::vector<int> rowStart;        // row i (1..nA) is entries rowStart[i] .. rowStart[i + 1] - 1
  std::vector<int> colIndex;        // level of b of each entry
  std::vector<float> count;         // records of each entry
  std::vector<float> levelCountA;   // records per level of a, 1..nA
  std::vector<float> levelCountB;   // records per level of b, 1..nB
};
Incidence CountIncidence(const RunData& run, int a, int b);

// The reduced equations of a after absorbing b, with the constraint ones
// (one overall condition, or one per site when perSiteConstraint):
// D_a + HH' - N_ab D_b^-1 N_ab', rows and columns 1..nA, bit for bit the
// step-by-step absorption.
Table2<float> Absorb(const RunData& run, const Incidence& incidence, bool perSiteConstraint);

// The straightforward forms, as the method is written: counts added record by
// record into dense tables, every sum over all levels in order. Slow; the
// forms above must give their bits (korvan-cli-straightforward runs them).
// N_ab dense, rows 1..nA, columns 1..nB, and the level sizes of factor k.
Table2<float> CountBlockStraightforward(const RunData& run, int a, int b);
std::vector<float> CountLevelsStraightforward(const RunData& run, int k);
Table2<float> AbsorbStraightforward(const RunData& run, int a, int b, bool perSiteConstraint);

}  // namespace korvan
