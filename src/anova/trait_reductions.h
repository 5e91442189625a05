#pragma once

// The reductions in sums of squares of every trait by the method of fitting
// constants, and the sums of squares and mean squares formed from them.

#include <vector>

#include "rundata/rundata.h"
#include "linalg/invert_matrix.h"

namespace korvan {

// What the progress lines and the report show of one trait's reductions.
struct Reductions {
  double rUR = 0;      // R(u,r)
  double rUF = 0;      // R(u,f)
  double rUCell = 0;   // R(u,sf)
  float rSiteF = 0;    // R(r) of s after f
  double rUSF = 0;     // R(u,s,f)
  float rRepF = 0;     // R(r) of r after f
  double rUSRF = 0;    // R(u,s,r,f)
  float rRepCell = 0;  // R(r) of r after sf
  double rUSRCell = 0; // R(u,s,r,sf)
  double yy = 0;       // y'*y
  std::vector<float> famConst;  // constants of the families in u + r + f, 1..nFamily
};

// The reductions of every trait (index t), leaving in the run the level
// totals of blocks, families and cells with their counts, and the adjusted
// right-hand sides and solutions of the three absorbed systems (repTot ..
// solRSF), which the pair stage reads. Each system is built and eliminated
// once for all traits, and every sum takes all traits side by side. Throws
// KorvanError when a system is singular.
std::vector<Reductions> ReduceAllTraits(RunData& run);

// The five lines of the analysis-of-variance table.
struct SumsOfSquares {
  double ssSite = 0, ssRep = 0, ssFamily = 0, ssSiteFam = 0, ssError = 0;  // S.S.
  double msSite = 0, msRep = 0, msFamily = 0, msSiteFam = 0, msError = 0;  // M.S.
};

SumsOfSquares FormSumsOfSquares(const RunData& run, const Reductions& r);

// --- What both forms of the reductions share (the other one is in
// trait_reductions_straightforward.h).

// The factors as the record columns number them (1 is u).
inline constexpr int kSiteFactor = 2, kRepFactor = 3, kFamilyFactor = 4, kCellFactor = 5;

// The stores repTot .. rhsRSF of every trait, sized for the run's levels.
void AllocateTraitStores(RunData& run);

// The KorvanError for the system of factor a after absorbing b, naming the
// levels left unpivoted.
[[noreturn]] void ThrowSingularSystem(const RunData& run, int a, int b, const SingularEquations& singular);

// One trait's reductions from their parts: R(u,s,f), R(u,s,r,f) and
// R(u,s,r,sf) formed from the R(r) of the absorbed systems.
Reductions CombineReductions(double rUR, double rUF, double rUCell, float rSiteF, float rRepF, float rRepCell,
                             double yy, std::vector<float> famConst);

}  // namespace korvan
