#include "anova/trait_reductions.h"

#include <array>
#include <string>

#include "input/korvan_error.h"
#include "linalg/invert_matrix.h"
#include "model/design_checks.h"

namespace korvan {

namespace {

constexpr int kSite = 2, kRep = 3, kFamily = 4, kCell = 5;

int LevelsOf(const RunData& run, int factor) {
  return run.colOffset[factor + 1] - run.colOffset[factor];
}

AbsorbedSystem BuildSystem(const RunData& run, int a, int b, bool perSiteConstraint) {
  AbsorbedSystem system;
  system.incidence = CountIncidence(run, a, b);
  system.equations = Absorb(run, system.incidence, perSiteConstraint);
  return system;
}

// The same counts with the roles of the factors exchanged, each row still in
// increasing order of its columns.
Incidence Transpose(const Incidence& n) {
  Incidence t;
  t.nA = n.nB;
  t.nB = n.nA;
  t.levelCountA = n.levelCountB;
  t.levelCountB = n.levelCountA;
  const int first = n.rowStart[1];
  const int end = n.rowStart[n.nA + 1];
  std::vector<int> perRow(static_cast<std::size_t>(t.nA) + 1, 0);
  for (int e = first; e < end; ++e) ++perRow[n.colIndex[e]];
  t.rowStart.assign(static_cast<std::size_t>(t.nA) + 2, 0);
  for (int j = 1; j <= t.nA; ++j) t.rowStart[j + 1] = t.rowStart[j] + perRow[j];
  t.colIndex.resize(static_cast<std::size_t>(end - first));
  t.count.resize(static_cast<std::size_t>(end - first));
  std::vector<int> next(t.rowStart.begin(), t.rowStart.end());
  for (int i = 1; i <= n.nA; ++i) {
    for (int e = n.rowStart[i]; e < n.rowStart[i + 1]; ++e) {
      const int slot = next[n.colIndex[e]]++;
      t.colIndex[slot] = i;
      t.count[slot] = n.count[e];
    }
  }
  return t;
}

void AllocateTraitStores(RunData& run) {
  const int nTrait = run.nTrait;
  run.repTot = Table2<float>(run.nRep, nTrait);
  run.famTot = Table2<float>(run.nFamily, nTrait);
  run.sfTot = Table2<float>(run.nSF, nTrait);
  run.rhsSF = Table2<float>(run.nSite, nTrait);
  run.rhsRF = Table2<float>(run.nRep, nTrait);
  run.rhsRSF = Table2<float>(run.nRep, nTrait);
}

// LevelTotals of sites, blocks, families and cells in one pass: each total is
// still the single-precision running sum over the records in order, which is
// what the later sums of squares are formed from. y'*y rides along in double.
double LevelTotals(const RunData& run, int t, std::array<std::vector<float>, 6>& totals) {
  const std::int32_t* column[6] = {};
  for (int k = kSite; k <= kCell; ++k) {
    totals[k].assign(static_cast<std::size_t>(LevelsOf(run, k)) + 1, 0.0f);
    column[k] = run.recordColumn.Factor(k);
  }
  const float* value = run.traitValue.Trait(t);
  const auto& off = run.colOffset;
  double yy = 0;
  for (int i = 1; i <= run.nRecord; ++i) {
    const float v = value[i];
    totals[kSite][column[kSite][i] - off[kSite]] += v;
    totals[kRep][column[kRep][i] - off[kRep]] += v;
    totals[kFamily][column[kFamily][i] - off[kFamily]] += v;
    totals[kCell][column[kCell][i] - off[kCell]] += v;
    yy += static_cast<double>(v) * static_cast<double>(v);
  }
  return yy;
}

void StoreColumn(const std::vector<float>& levels, Table2<float>& store, int t) {
  for (int j = 1; j <= store.LastRow(); ++j) store(j, t) = levels[j];
}

// adjRhs(i) = keptTotal(i) - S_i, S_i the sum over the levels j of b of
// count(i, j) x absTotal(j) / levelCount(j), every operation in single
// precision. A level j that shares no record with i gives a term of +0 or -0,
// and adding a signed zero to a sum that starts at +0 never changes it, so
// only the levels that share records are visited.
void AdjustedRhs(const Incidence& n, const std::vector<float>& keptTotal,
                 const std::vector<float>& absTotal, Table2<float>& rhs, int t) {
  for (int i = 1; i <= n.nA; ++i) {
    float s = 0.0f;
    for (int e = n.rowStart[i]; e < n.rowStart[i + 1]; ++e) {
      const int j = n.colIndex[e];
      const float product = n.count[e] * absTotal[j];
      s += product / n.levelCountB[j];
    }
    rhs(i, t) = keptTotal[i] - s;
  }
}

// The set-up refuses designs whose levels are not linked, so this is the
// safety net for equations that are singular in single precision only.
[[noreturn]] void ThrowSingular(const RunData& run, int a, int b, const SingularEquations& singular) {
  std::string message = TrialText(run) + " cannot be analysed: the equations of the ";
  message += a == kSite ? "sites" : "blocks";
  message += b == kFamily ? " after absorbing the families" : " after absorbing the site x family cells";
  message += " are singular at ";
  if (a == kSite) {
    std::vector<std::string> sites;
    for (int level : singular.unpivotedColumns) sites.push_back(SiteName(run, level));
    for (std::size_t k = 0; k < sites.size(); ++k) message += (k == 0 ? "" : ", ") + sites[k];
  } else {
    message += BlockNames(run, singular.unpivotedColumns);
  }
  message += ". Their effects cannot be told apart from those of the families; check the codes of these "
             "levels in the data file, or leave them out.";
  throw KorvanError(message);
}

// One elimination of the system serves the right-hand sides of all traits,
// with the bits of one InvertMatrix call per trait.
void SolveForAllTraits(const RunData& run, const AbsorbedSystem& system, int a, int b,
                       const Table2<float>& rhs, Table2<float>& solution) {
  solution = rhs;
  try {
    SolveColumns(system.equations, system.incidence.nA, solution, run.nTrait);
  } catch (const SingularEquations& singular) {
    ThrowSingular(run, a, b, singular);
  }
}

// R = sum over levels of total^2 / count, formed and summed in double from
// the single-precision totals and counts.
double OneWayReduction(const Table2<float>& totals, int t, const std::vector<float>& counts) {
  double r = 0;
  for (int j = 1; j <= totals.LastRow(); ++j) {
    const double total = static_cast<double>(totals(j, t));
    r += total * total / static_cast<double>(counts[j]);
  }
  return r;
}

// R(r) = b'r, the solution times the adjusted right-hand side, in single
// precision throughout.
float AbsorbedReduction(const Table2<float>& rhs, const Table2<float>& solution, int t) {
  float r = 0.0f;
  for (int i = 1; i <= rhs.LastRow(); ++i) r += rhs(i, t) * solution(i, t);
  return r;
}

// famConst(j) = (absTotal(j) - A) / levelCount(j) with A the sum over the
// blocks of count x block solution, in single precision. Blocks without the
// family add signed zeros and are skipped, as in AdjustedRhs.
std::vector<float> FamilyConstants(const RunData& run, const Incidence& familyByRep, int t) {
  std::vector<float> famConst(static_cast<std::size_t>(familyByRep.nA) + 1, 0.0f);
  for (int j = 1; j <= familyByRep.nA; ++j) {
    float a = 0.0f;
    for (int e = familyByRep.rowStart[j]; e < familyByRep.rowStart[j + 1]; ++e) {
      a += familyByRep.count[e] * run.solRF(familyByRep.colIndex[e], t);
    }
    famConst[j] = (run.famTot(j, t) - a) / familyByRep.levelCountA[j];
  }
  return famConst;
}

}  // namespace

AbsorbedSystems BuildAbsorbedSystems(const RunData& run) {
  AbsorbedSystems systems;
  systems.siteAfterFamily = BuildSystem(run, kSite, kFamily, false);
  systems.repAfterFamily = BuildSystem(run, kRep, kFamily, false);
  systems.repAfterCell = BuildSystem(run, kRep, kCell, true);
  systems.familyByRep = Transpose(systems.repAfterFamily.incidence);
  return systems;
}

std::vector<double> SolveAllTraits(RunData& run, const AbsorbedSystems& systems) {
  AllocateTraitStores(run);
  run.repCnt = systems.repAfterFamily.incidence.levelCountA;
  run.famCnt = systems.repAfterFamily.incidence.levelCountB;
  run.sfCnt = systems.repAfterCell.incidence.levelCountB;
  std::vector<double> yy(static_cast<std::size_t>(run.nTrait) + 1, 0.0);
  std::array<std::vector<float>, 6> totals;
  for (int t = 1; t <= run.nTrait; ++t) {
    yy[t] = LevelTotals(run, t, totals);
    StoreColumn(totals[kRep], run.repTot, t);
    StoreColumn(totals[kFamily], run.famTot, t);
    StoreColumn(totals[kCell], run.sfTot, t);
    AdjustedRhs(systems.siteAfterFamily.incidence, totals[kSite], totals[kFamily], run.rhsSF, t);
    AdjustedRhs(systems.repAfterFamily.incidence, totals[kRep], totals[kFamily], run.rhsRF, t);
    AdjustedRhs(systems.repAfterCell.incidence, totals[kRep], totals[kCell], run.rhsRSF, t);
  }
  SolveForAllTraits(run, systems.siteAfterFamily, kSite, kFamily, run.rhsSF, run.solSF);
  SolveForAllTraits(run, systems.repAfterFamily, kRep, kFamily, run.rhsRF, run.solRF);
  SolveForAllTraits(run, systems.repAfterCell, kRep, kCell, run.rhsRSF, run.solRSF);
  return yy;
}

Reductions TraitReductions(const RunData& run, const AbsorbedSystems& systems, double yy, int t) {
  Reductions r;
  r.rUR = OneWayReduction(run.repTot, t, run.repCnt);
  r.rUF = OneWayReduction(run.famTot, t, run.famCnt);
  r.rUCell = OneWayReduction(run.sfTot, t, run.sfCnt);
  // A single-precision R(r) added to a double reduction gives a double.
  r.rSiteF = AbsorbedReduction(run.rhsSF, run.solSF, t);
  r.rUSF = static_cast<double>(r.rSiteF) + r.rUF;
  r.rRepF = AbsorbedReduction(run.rhsRF, run.solRF, t);
  r.rUSRF = static_cast<double>(r.rRepF) + r.rUF;
  r.famConst = FamilyConstants(run, systems.familyByRep, t);
  r.rRepCell = AbsorbedReduction(run.rhsRSF, run.solRSF, t);
  r.rUSRCell = static_cast<double>(r.rRepCell) + r.rUCell;
  r.yy = yy;
  return r;
}

SumsOfSquares FormSumsOfSquares(const RunData& run, const Reductions& r) {
  SumsOfSquares s;
  s.ssSite = r.rUSF - r.rUF;
  s.ssRep = r.rUSRF - r.rUSF;
  s.ssFamily = r.rUSRF - r.rUR;
  s.ssSiteFam = r.rUSRCell - r.rUSRF;
  s.ssError = r.yy - r.rUSRCell;
  s.msSite = s.ssSite / run.dfSite;
  s.msRep = s.ssRep / run.dfRep;
  s.msFamily = s.ssFamily / run.dfFamily;
  s.msSiteFam = s.ssSiteFam / run.dfSiteFam;
  s.msError = s.ssError / run.dfError;
  return s;
}

}  // namespace korvan
