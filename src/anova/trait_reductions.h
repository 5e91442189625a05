#pragma once

// The reductions in sums of squares of one trait by the method of fitting
// constants, and the sums of squares and mean squares formed from them.

#include <vector>

#include "input/rundata.h"
#include "model/absorb.h"

namespace korvan {

// The reduced equations of a kept factor after absorbing a random one.
struct AbsorbedSystem {
  Incidence incidence;      // N_ab with the level sizes of a and b
  Table2<float> equations;  // the absorbed equations with their constraint ones
};

// The three absorbed systems of the reductions. They depend on the design
// only, so a run builds and eliminates each once and solves every trait's
// right-hand side with it.
struct AbsorbedSystems {
  AbsorbedSystem siteAfterFamily;  // s after f, one overall condition
  AbsorbedSystem repAfterFamily;   // r after f, one overall condition
  AbsorbedSystem repAfterCell;     // r after sf, one condition per site
  Incidence familyByRep;           // repAfterFamily's counts read family by family
};

AbsorbedSystems BuildAbsorbedSystems(const RunData& run);

// For every trait: the level totals of blocks, families and cells with their
// counts, and the adjusted right-hand sides and solutions of the three
// systems (repTot .. solRSF of RunData). Returns y'*y of each trait (index =
// trait). Throws KorvanError when a system is singular.
std::vector<double> SolveAllTraits(RunData& run, const AbsorbedSystems& systems);

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

// Reads the stores SolveAllTraits left for trait t.
Reductions TraitReductions(const RunData& run, const AbsorbedSystems& systems, double yy, int t);

// TraitReductions of every trait (index t), the same bits for one pass over
// the stores with all traits side by side instead of one per trait.
std::vector<Reductions> AllTraitReductions(const RunData& run, const AbsorbedSystems& systems,
                                           const std::vector<double>& yy);

// The reductions of every trait (index t): SolveAllTraits, then
// AllTraitReductions, each system built and eliminated once for all traits.
std::vector<Reductions> ReduceAllTraits(RunData& run);

// The five lines of the analysis-of-variance table.
struct SumsOfSquares {
  double ssSite = 0, ssRep = 0, ssFamily = 0, ssSiteFam = 0, ssError = 0;  // S.S.
  double msSite = 0, msRep = 0, msFamily = 0, msSiteFam = 0, msError = 0;  // M.S.
};

SumsOfSquares FormSumsOfSquares(const RunData& run, const Reductions& r);

// The straightforward forms, as the method is written: for every trait the
// three absorbed systems rebuilt from dense counts, their right-hand sides
// summed over every level, each solved by InvertMatrix; the family
// constants summed over every block. Slow; SolveAllTraits and
// TraitReductions must give their bits.
std::vector<double> SolveAllTraitsStraightforward(RunData& run);
Reductions TraitReductionsStraightforward(const RunData& run, double yy, int t);
std::vector<Reductions> ReduceAllTraitsStraightforward(RunData& run);

}  // namespace korvan
