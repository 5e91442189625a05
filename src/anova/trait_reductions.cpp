#include "anova/trait_reductions.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "anova/record_block.h"
#include "base/korvan_error.h"
#include "linalg/invert_matrix.h"
#include "base/parallel.h"
#include "base/vector_clones.h"
#include "model/absorb.h"
#include "model/design_checks.h"

namespace korvan {

namespace {

// The reduced equations of a kept factor after absorbing a random one.
struct AbsorbedSystem {
  Incidence incidence;      // N_ab with the level sizes of a and b
  Table2<float> equations;  // the absorbed equations with their constraint ones, unless eliminated already
  const Elimination* eliminated = nullptr;  // the set-up's elimination of the same equations
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

AbsorbedSystem BuildSystem(const RunData& run, int a, int b, bool perSiteConstraint) {
  AbsorbedSystem system;
  system.incidence = CountBlock(run, a, b);
  // The set-up has absorbed the families into the blocks already, with the
  // same overall condition, and eliminated them.
  const bool setUp = a == kRepFactor && b == kFamilyFactor && !perSiteConstraint &&
                     run.repFamilyElimination.n == run.nRep;
  if (setUp)
    system.eliminated = &run.repFamilyElimination;
  else
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

// The records of one block added to the level totals of traits t0..t1,
// and to their y'*y.
KORVAN_VECTOR_CLONES void AddBlockTotals(const RecordBlock& block, int first, int count, int t0, int t1,
                                         const std::int32_t* const column[6], const std::array<int, 7>& off,
                                         Table2<float>* const store[6], double* yy) {
  const int width = t1 - t0 + 1;
  for (int i = 0; i < count; ++i) {
    const int r = first + i;
    const float* v = block.Record(i) + 1;  // v[0] is trait t0
    for (int k = kSiteFactor; k <= kCellFactor; ++k) {
      float* total = store[k]->Row(column[k][r] - off[k]) + t0;
      for (int t = 0; t < width; ++t) total[t] += v[t];
    }
    for (int t = 0; t < width; ++t) yy[t0 + t] += static_cast<double>(v[t]) * static_cast<double>(v[t]);
  }
}

// The totals of sites, blocks, families and cells of every trait, into the
// stores (level, trait), in one pass over the records instead of one per
// trait. Each total is still the single-precision running sum over the
// records in order, which is what the later sums of squares are formed
// from; y'*y rides along in double. With many traits, two threads take half
// of them each. Returns y'*y of each trait.
std::vector<double> AllLevelTotals(RunData& run, Table2<float>& siteTot) {
  const std::int32_t* column[6] = {};
  for (int k = kSiteFactor; k <= kCellFactor; ++k) column[k] = run.recordColumn.Factor(k);
  Table2<float>* const store[6] = {nullptr, nullptr, &siteTot, &run.repTot, &run.famTot, &run.sfTot};
  std::vector<double> yy(static_cast<std::size_t>(run.nTrait) + 1, 0.0);
  // Each half makes its own pass over all the records, so only many traits
  // are worth splitting.
  const bool halves = run.nTrait >= 16 && WorthASecondThread(4.0 * run.nTrait * run.nRecord);
  const int middle = halves ? run.nTrait / 2 : run.nTrait;
  ForEachChunk(halves ? 2 : 1, [&](int part) {
    const int t0 = part == 0 ? 1 : middle + 1, t1 = part == 0 ? middle : run.nTrait;
    ForEachRecordBlock(
        run,
        [&](const RecordBlock& block, int first, int count) {
          AddBlockTotals(block, first, count, t0, t1, column, run.colOffset, store, yy.data());
        },
        t0, t1);
  });
  return yy;
}

// adjRhs(i) = keptTotal(i) - S_i, S_i the sum over the levels j of b of
// count(i, j) x absTotal(j) / levelCount(j), every operation in single
// precision. A level j that shares no record with i gives a term of +0 or -0,
// and adding a signed zero to a sum that starts at +0 never changes it, so
// only the levels that share records are visited. All traits side by side.
void AdjustedRhs(const Incidence& n, const Table2<float>& keptTotal, const Table2<float>& absTotal,
                 Table2<float>& rhs) {
  const int nTrait = rhs.LastCol();
  std::vector<float> s(static_cast<std::size_t>(nTrait) + 1);
  for (int i = 1; i <= n.nA; ++i) {
    std::fill(s.begin(), s.end(), 0.0f);
    for (int e = n.rowStart[i]; e < n.rowStart[i + 1]; ++e) {
      const int j = n.colIndex[e];
      const float count = n.count[e], size = n.levelCountB[j];
      const float* total = absTotal.Row(j);
      for (int t = 1; t <= nTrait; ++t) {
        const float product = count * total[t];
        s[t] += product / size;
      }
    }
    const float* kept = keptTotal.Row(i);
    float* row = rhs.Row(i);
    for (int t = 1; t <= nTrait; ++t) row[t] = kept[t] - s[t];
  }
}

// One elimination of the system serves the right-hand sides of all traits,
// with the bits of one InvertMatrix call per trait.
void SolveForAllTraits(const RunData& run, const AbsorbedSystem& system, int a, int b,
                       const Table2<float>& rhs, Table2<float>& solution) {
  solution = rhs;
  try {
    if (system.eliminated != nullptr)
      SolveColumns(*system.eliminated, solution, run.nTrait);
    else
      SolveColumns(system.equations, system.incidence.nA, solution, run.nTrait);
  } catch (const SingularEquations& singular) {
    ThrowSingularSystem(run, a, b, singular);
  }
}

// --- The reductions of every trait. The stores hold a level's traits side by
// side, so one pass down the levels serves all traits, each sum still taking
// the levels in order.

// R = sum over levels of total^2 / count, formed and summed in double from
// the single-precision totals and counts.
std::vector<double> AllOneWayReductions(const Table2<float>& totals, const std::vector<float>& counts) {
  const int nTrait = totals.LastCol();
  std::vector<double> r(static_cast<std::size_t>(nTrait) + 1, 0.0);
  for (int j = 1; j <= totals.LastRow(); ++j) {
    const float* total = totals.Row(j);
    const double count = static_cast<double>(counts[j]);
    for (int t = 1; t <= nTrait; ++t)
      r[t] += static_cast<double>(total[t]) * static_cast<double>(total[t]) / count;
  }
  return r;
}

// R(r) = b'r, the solution times the adjusted right-hand side, in single
// precision throughout.
std::vector<float> AllAbsorbedReductions(const Table2<float>& rhs, const Table2<float>& solution) {
  const int nTrait = rhs.LastCol();
  std::vector<float> r(static_cast<std::size_t>(nTrait) + 1, 0.0f);
  for (int i = 1; i <= rhs.LastRow(); ++i) {
    const float* b = rhs.Row(i);
    const float* x = solution.Row(i);
    for (int t = 1; t <= nTrait; ++t) r[t] += b[t] * x[t];
  }
  return r;
}

// famConst(j) = (famTot(j) - A) / levelCount(j) with A the sum over the
// blocks of count x block solution, in single precision. Blocks without the
// family add signed zeros and are skipped, as in AdjustedRhs. A family's
// blocks are read once, a row of all traits' block solutions each. `a`
// holds nTrait + 1 floats, made by the caller: nothing here may throw (see
// vector_clones.h).
KORVAN_VECTOR_CLONES void AllFamilyConstants(const RunData& run, const Incidence& familyByRep,
                                             std::vector<float>& a, Table2<float>& famConst) {
  const int nTrait = run.nTrait;
  for (int j = 1; j <= familyByRep.nA; ++j) {
    std::fill(a.begin(), a.end(), 0.0f);
    for (int e = familyByRep.rowStart[j]; e < familyByRep.rowStart[j + 1]; ++e) {
      const float count = familyByRep.count[e];
      const float* solution = run.solRF.Row(familyByRep.colIndex[e]);
      for (int t = 1; t <= nTrait; ++t) a[t] += count * solution[t];
    }
    const float* total = run.famTot.Row(j);
    const float size = familyByRep.levelCountA[j];
    float* out = famConst.Row(j);
    for (int t = 1; t <= nTrait; ++t) out[t] = (total[t] - a[t]) / size;
  }
}

AbsorbedSystems BuildAbsorbedSystems(const RunData& run) {
  AbsorbedSystems systems;
  systems.siteAfterFamily = BuildSystem(run, kSiteFactor, kFamilyFactor, false);
  systems.repAfterFamily = BuildSystem(run, kRepFactor, kFamilyFactor, false);
  systems.repAfterCell = BuildSystem(run, kRepFactor, kCellFactor, true);
  systems.familyByRep = Transpose(systems.repAfterFamily.incidence);
  return systems;
}

// The level totals with their counts, and the adjusted right-hand sides and
// solutions of the three systems, for every trait. Returns y'*y of each trait.
std::vector<double> SolveAllTraits(RunData& run, const AbsorbedSystems& systems) {
  AllocateTraitStores(run);
  run.repCnt = systems.repAfterFamily.incidence.levelCountA;
  run.famCnt = systems.repAfterFamily.incidence.levelCountB;
  run.sfCnt = systems.repAfterCell.incidence.levelCountB;
  Table2<float> siteTot(run.nSite, run.nTrait);
  const std::vector<double> yy = AllLevelTotals(run, siteTot);
  AdjustedRhs(systems.siteAfterFamily.incidence, siteTot, run.famTot, run.rhsSF);
  AdjustedRhs(systems.repAfterFamily.incidence, run.repTot, run.famTot, run.rhsRF);
  AdjustedRhs(systems.repAfterCell.incidence, run.repTot, run.sfTot, run.rhsRSF);
  SolveForAllTraits(run, systems.siteAfterFamily, kSiteFactor, kFamilyFactor, run.rhsSF, run.solSF);
  SolveForAllTraits(run, systems.repAfterFamily, kRepFactor, kFamilyFactor, run.rhsRF, run.solRF);
  SolveForAllTraits(run, systems.repAfterCell, kRepFactor, kCellFactor, run.rhsRSF, run.solRSF);
  return yy;
}

// The reductions of every trait from the stores SolveAllTraits left.
std::vector<Reductions> AllTraitReductions(const RunData& run, const AbsorbedSystems& systems,
                                           const std::vector<double>& yy) {
  const std::vector<double> rUR = AllOneWayReductions(run.repTot, run.repCnt);
  const std::vector<double> rUF = AllOneWayReductions(run.famTot, run.famCnt);
  const std::vector<double> rUCell = AllOneWayReductions(run.sfTot, run.sfCnt);
  const std::vector<float> rSiteF = AllAbsorbedReductions(run.rhsSF, run.solSF);
  const std::vector<float> rRepF = AllAbsorbedReductions(run.rhsRF, run.solRF);
  const std::vector<float> rRepCell = AllAbsorbedReductions(run.rhsRSF, run.solRSF);
  Table2<float> famConst(run.nFamily, run.nTrait);
  std::vector<float> a(static_cast<std::size_t>(run.nTrait) + 1);
  AllFamilyConstants(run, systems.familyByRep, a, famConst);
  std::vector<Reductions> all(static_cast<std::size_t>(run.nTrait) + 1);
  for (int t = 1; t <= run.nTrait; ++t) {
    std::vector<float> family(static_cast<std::size_t>(run.nFamily) + 1, 0.0f);
    for (int j = 1; j <= run.nFamily; ++j) family[j] = famConst(j, t);
    all[t] = CombineReductions(rUR[t], rUF[t], rUCell[t], rSiteF[t], rRepF[t], rRepCell[t], yy[t], std::move(family));
  }
  return all;
}

}  // namespace

void AllocateTraitStores(RunData& run) {
  const int nTrait = run.nTrait;
  run.repTot = Table2<float>(run.nRep, nTrait);
  run.famTot = Table2<float>(run.nFamily, nTrait);
  run.sfTot = Table2<float>(run.nSF, nTrait);
  run.rhsSF = Table2<float>(run.nSite, nTrait);
  run.rhsRF = Table2<float>(run.nRep, nTrait);
  run.rhsRSF = Table2<float>(run.nRep, nTrait);
}

// The set-up refuses designs whose levels are not linked, so this is the
// safety net for equations that are singular in single precision only.
void ThrowSingularSystem(const RunData& run, int a, int b, const SingularEquations& singular) {
  std::string message = TrialText(run) + " cannot be analysed: the equations of the ";
  message += a == kSiteFactor ? "sites" : "blocks";
  message += b == kFamilyFactor ? " after absorbing the families" : " after absorbing the site x family cells";
  message += " are singular at ";
  if (a == kSiteFactor) {
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

Reductions CombineReductions(double rUR, double rUF, double rUCell, float rSiteF, float rRepF, float rRepCell,
                             double yy, std::vector<float> famConst) {
  Reductions r;
  r.rUR = rUR;
  r.rUF = rUF;
  r.rUCell = rUCell;
  // A single-precision R(r) added to a double reduction gives a double.
  r.rSiteF = rSiteF;
  r.rUSF = static_cast<double>(r.rSiteF) + r.rUF;
  r.rRepF = rRepF;
  r.rUSRF = static_cast<double>(r.rRepF) + r.rUF;
  r.famConst = std::move(famConst);
  r.rRepCell = rRepCell;
  r.rUSRCell = static_cast<double>(r.rRepCell) + r.rUCell;
  r.yy = yy;
  return r;
}

std::vector<Reductions> ReduceAllTraits(RunData& run) {
  const AbsorbedSystems systems = BuildAbsorbedSystems(run);
  const std::vector<double> yy = SolveAllTraits(run, systems);
  return AllTraitReductions(run, systems, yy);
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
