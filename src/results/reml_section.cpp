#include "results/reml_section.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <map>
#include <numeric>
#include <optional>

#include "format/number_format.h"
#include "base/parallel.h"
#include "reml/bivariate.h"
#include "reml/reml.h"

namespace korvan {

namespace {

const char* StatusName(FitStatus status) {
  switch (status) {
    case FitStatus::kConverged: return "converged";
    case FitStatus::kNotConverged: return "not converged";
    case FitStatus::kNotEstimable: break;
  }
  return "not estimable";
}

Estimated FromReml(const RemlValue& v, bool marksZero) {
  if (!HasValue(v.value)) return std::nullopt;
  ValueWithError out = Valued(v.value, v.se, marksZero);
  if (v.atBoundary) out.note = "held at 0, the boundary, where the likelihood is largest";
  return out;
}

std::string KeyOf(const LevelCode& code) { return (code.name ? "n:" : "v:") + code.key; }

// The codes of a factor's levels in the order the REML trees number them:
// the run's levels (1..n), then those that only left-out trees have, in the
// order they first come.
std::vector<std::string> LevelCodes(const std::vector<LevelCode>& levels, int n, const std::vector<LevelCode>& leftOut) {
  std::vector<std::string> codes;
  std::map<std::string, bool> known;
  for (int k = 1; k <= n; ++k) {
    codes.push_back(levels[static_cast<std::size_t>(k)].text);
    known[KeyOf(levels[static_cast<std::size_t>(k)])] = true;
  }
  for (const LevelCode& code : leftOut)
    if (known.emplace(KeyOf(code), true).second) codes.push_back(code.text);
  return codes;
}

// Ranks by BLUP, the largest first, and selects the best share; returns the
// number selected.
std::size_t RankAndSelect(std::vector<RemlFamilyResult>& families, double share, bool select) {
  std::vector<std::size_t> order;
  for (std::size_t k = 0; k < families.size(); ++k)
    if (HasValue(families[k].blup)) order.push_back(k);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return families[a].blup > families[b].blup; });
  // Less a little, as for the family constants: 0.1 of 30 families selects 3.
  const std::size_t chosen =
      order.empty() ? 0 : std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(share * static_cast<double>(order.size()) - 1e-9)));
  for (std::size_t r = 0; r < order.size(); ++r) {
    families[order[r]].rank = static_cast<int>(r) + 1;
    families[order[r]].selected = select && r < chosen;
  }
  return select ? chosen : 0;
}

// "Vf: REML 30.3 against 41.1 by the analysis of variance, more than a
// standard error (5.2) apart" when the two lie that far apart; the larger
// of the two errors, so that neither estimator's own spread is taken for a
// difference.
std::optional<std::string> Apart(const char* name, const Estimated& anova, const Estimated& reml) {
  if (!anova || !reml || !HasValue(anova->estimate) || !HasValue(reml->estimate)) return std::nullopt;
  const double se = std::max(HasValue(anova->se) ? anova->se : 0.0, HasValue(reml->se) ? reml->se : 0.0);
  if (!(std::abs(anova->estimate - reml->estimate) > se)) return std::nullopt;
  return std::string(name) + ": REML " + SignificantDigits(reml->estimate, 4) + " against " +
         SignificantDigits(anova->estimate, 4) + " by the analysis of variance, more than a standard error (" +
         SignificantDigits(se, 3) + ") apart";
}

// One sentence per quantity on which the two estimators lie more than a
// standard error apart, with the causes that can be seen in the data.
std::vector<std::string> Differences(const TraitResult& anova, const RemlTraitResult& reml, const DesignResult& design,
                                     bool vfAtZero, bool vsfAtZero) {
  std::vector<std::string> causes;
  if (!design.balanced) causes.push_back("the design is unbalanced, and the two estimators weigh its lines differently");
  if (vfAtZero) causes.push_back("REML holds Vf at 0");
  if (vsfAtZero) causes.push_back("REML holds Vsf at 0");
  for (const auto& [name, component] : {std::pair{"Vf", &anova.vf}, {"Vsf", &anova.vsf}, {"Ve", &anova.ve}})
    if (*component && (*component)->estimate < 0)
      causes.push_back(std::string("the analysis of variance's ") + name + " is negative (" +
                       SignificantDigits((*component)->estimate, 4) + ")");
  if (design.families.size() < 20)
    causes.push_back("few families (" + std::to_string(design.families.size()) + ")");
  if (reml.trees > design.records)
    causes.push_back("REML fits " + std::to_string(reml.trees - design.records) +
                     " trees that the analysis of variance left out for lacking another trait");
  std::string because;
  for (std::size_t k = 0; k < causes.size(); ++k) because += (k ? "; " : "") + causes[k];
  std::vector<std::string> out;
  const std::pair<const char*, std::pair<const Estimated*, const Estimated*>> quantities[] = {
      {"Vf", {&anova.vf, &reml.vf}}, {"Vsf", {&anova.vsf, &reml.vsf}}, {"Ve", {&anova.ve, &reml.ve}},
      {"h2", {&anova.h2, &reml.h2}}, {"rB", {&anova.rB, &reml.rB}}};
  for (const auto& [name, values] : quantities)
    if (const auto sentence = Apart(name, *values.first, *values.second))
      out.push_back(*sentence + (because.empty() ? "" : "; " + because));
  return out;
}

RemlMatrix MatrixOf(const CovarianceMatrix& m) {
  RemlMatrix out;
  auto entry = [](double value, double se) -> Estimated {
    if (!HasValue(value)) return std::nullopt;
    return Valued(value, se, false);
  };
  out.v11 = entry(m.v11, m.se11);
  out.v12 = entry(m.v12, m.se12);
  out.v22 = entry(m.v22, m.se22);
  out.atBoundary = m.atBoundary;
  out.note = m.note;
  return out;
}

// Where the bivariate REML correlations and the moment ones lie more than a
// standard error apart.
std::vector<std::string> PairDifferences(const PairResult& anova, const RemlPairResult& reml, const DesignResult& design) {
  std::vector<std::string> out;
  const std::pair<const char*, std::pair<const Estimated*, const Estimated*>> quantities[] = {
      {"rF", {&anova.rF, &reml.rF}}, {"rPTree", {&anova.rPTree, &reml.rPTree}}};
  for (const auto& [name, values] : quantities) {
    const auto sentence = Apart(name, *values.first, *values.second);
    if (!sentence) continue;
    const Estimated& a = *values.first;
    std::string because;
    if (a->flag != RangeFlag::kNone) because += "; the analysis of variance's " + std::string(name) + " is " + RangeFlagName(a->flag);
    if (reml.family.atBoundary) because += "; REML holds the family matrix on its edge";
    if (!design.balanced) because += "; the design is unbalanced";
    if (reml.trees > design.records)
      because += "; REML fits " + std::to_string(reml.trees - design.records) + " trees that lack one of the traits";
    out.push_back(*sentence + because);
  }
  return out;
}

}  // namespace

RemlResult BuildRemlResult(const RunData& run, const Results& anova, const RunParameters& params) {
  const auto start = std::chrono::steady_clock::now();
  const RemlTrees trees = RemlTreesFromRun(run);
  RemlOptions options;
  options.familyKind = params.familyKind;
  const std::vector<UnivariateFit> fits = FitTraits(trees, options);
  const std::vector<std::string> codes = LevelCodes(run.familyCode, run.nFamily, run.leftOut.family),
                                 siteCodes = LevelCodes(run.siteCode, run.nSite, run.leftOut.site);
  RemlResult out;
  for (std::size_t t = 0; t < fits.size(); ++t) {
    const UnivariateFit& fit = fits[t];
    const TraitResult& analysis = anova.traits[t];
    RemlTraitResult trait;
    trait.index = analysis.index;
    trait.name = analysis.name;
    trait.status = StatusName(fit.status);
    trait.note = fit.note;
    trait.iterations = fit.iterations;
    trait.seconds = fit.seconds;
    trait.trees = fit.trees;
    trait.siteFamilyFitted = fit.siteFamilyFitted;
    const bool fitted = fit.status != FitStatus::kNotEstimable;
    if (fitted) {
      trait.vf = FromReml(fit.vf, true);
      trait.vsf = FromReml(fit.vsf, true);
      trait.ve = FromReml(fit.ve, true);
      trait.logLikelihood = fit.logLikelihood;
      trait.lrtVf = fit.testVf.statistic;
      trait.pVf = fit.testVf.pValue;
      trait.lrtVsf = fit.testVsf.statistic;
      trait.pVsf = fit.testVsf.pValue;
      trait.h2 = FromReml(fit.h2FamilyMean, false);
      trait.h2Tree = FromReml(fit.h2Tree, false);
      trait.rB = FromReml(fit.rB, false);
    }
    trait.families.resize(codes.size());
    for (std::size_t j = 0; j < codes.size(); ++j) trait.families[j].code = codes[j];
    for (const FamilyBlup& blup : fit.families) {
      if (blup.family < 0 || static_cast<std::size_t>(blup.family) >= codes.size()) continue;
      RemlFamilyResult& family = trait.families[static_cast<std::size_t>(blup.family)];
      family.blup = blup.blup;
      family.pev = blup.pev;
      family.accuracy = blup.accuracy;
    }
    for (const CellBlup& cell : fit.cells) {
      if (cell.site < 0 || cell.family < 0 || static_cast<std::size_t>(cell.site) >= siteCodes.size() ||
          static_cast<std::size_t>(cell.family) >= codes.size())
        continue;
      trait.cells.site.push_back(siteCodes[static_cast<std::size_t>(cell.site)]);
      trait.cells.family.push_back(codes[static_cast<std::size_t>(cell.family)]);
      trait.cells.blup.push_back(cell.blup);
      trait.cells.pev.push_back(cell.pev);
    }
    // No selection on a fit that did not converge: its BLUPs are not the
    // model's.
    const std::size_t chosen = RankAndSelect(trait.families, params.selectFraction, fit.status == FitStatus::kConverged);
    if (chosen > 0) {
      for (std::size_t j = 0; j < trait.families.size(); ++j) {
        const bool byConstants = j < analysis.families.size() && analysis.families[j].rank <= static_cast<int>(chosen);
        if (byConstants && !trait.families[j].selected) trait.selectedByConstantsOnly.push_back(codes[j]);
        if (!byConstants && trait.families[j].selected) trait.selectedByBlupOnly.push_back(codes[j]);
      }
    }
    if (fitted)
      trait.differences = Differences(analysis, trait, anova.design, fit.vf.atBoundary, fit.vsf.atBoundary);
    out.traits.push_back(std::move(trait));
  }
  // The pairs, each on its own, spread over the cores; each writes only its
  // own result.
  out.pairsNote = run.remlPairsNote;
  out.pairs.resize(run.remlPairs.size());
  ForEachChunk(static_cast<int>(run.remlPairs.size()), [&](int k) {
    const auto [t1, t2] = run.remlPairs[static_cast<std::size_t>(k)];
    const UnivariateFit& a = fits[static_cast<std::size_t>(t1 - 1)];
    const UnivariateFit& b = fits[static_cast<std::size_t>(t2 - 1)];
    const BivariateFit fit = FitTraitPair(trees, t1 - 1, t2 - 1, options, &a, &b);
    RemlPairResult& pair = out.pairs[static_cast<std::size_t>(k)];
    pair.trait1 = t1;
    pair.trait2 = t2;
    pair.name1 = anova.traits[static_cast<std::size_t>(t1 - 1)].name;
    pair.name2 = anova.traits[static_cast<std::size_t>(t2 - 1)].name;
    pair.status = StatusName(fit.status);
    pair.note = fit.note;
    pair.iterations = fit.iterations;
    pair.seconds = fit.seconds;
    pair.trees = fit.trees;
    pair.treesBoth = fit.treesBoth;
    pair.siteFamilyFitted = fit.siteFamilyFitted;
    if (fit.status == FitStatus::kNotEstimable) return;
    pair.family = MatrixOf(fit.family);
    pair.cell = MatrixOf(fit.cell);
    pair.error = MatrixOf(fit.error);
    pair.rF = FromReml(fit.rF, false);
    pair.rPTree = FromReml(fit.rPTree, false);
    pair.logLikelihood = fit.logLikelihood;
    for (const PairResult& moments : anova.pairs)
      if (moments.trait1 == t1 && moments.trait2 == t2) pair.differences = PairDifferences(moments, pair, anova.design);
  });
  out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return out;
}

std::string RemlSummaryText(const RemlResult& reml) {
  int fewest = 0, most = 0;
  std::vector<std::string> unconverged, unfitted;
  bool any = false;
  for (const RemlTraitResult& trait : reml.traits) {
    if (trait.status == "not estimable") {
      unfitted.push_back(trait.name);
      continue;
    }
    if (trait.status == "not converged") unconverged.push_back(trait.name);
    fewest = any ? std::min(fewest, trait.iterations) : trait.iterations;
    most = any ? std::max(most, trait.iterations) : trait.iterations;
    any = true;
  }
  char seconds[32];
  const auto end = std::to_chars(seconds, seconds + sizeof seconds, reml.seconds, std::chars_format::fixed, 2).ptr;
  for (const RemlPairResult& pair : reml.pairs) {
    const std::string name = pair.name1 + " and " + pair.name2;
    if (pair.status == "not estimable") {
      unfitted.push_back(name);
      continue;
    }
    if (pair.status == "not converged") unconverged.push_back(name);
    fewest = any ? std::min(fewest, pair.iterations) : pair.iterations;
    most = any ? std::max(most, pair.iterations) : pair.iterations;
    any = true;
  }
  const std::size_t n = reml.traits.size(), pairs = reml.pairs.size();
  std::string text = "REML of " + std::to_string(n) + (n == 1 ? " trait" : " traits") +
                     (pairs > 0 ? " and " + std::to_string(pairs) + (pairs == 1 ? " pair" : " pairs") : "") + " in " +
                     std::string(seconds, end) + " s";
  if (any)
    text += ", " + (fewest == most ? std::to_string(most) : std::to_string(fewest) + " to " + std::to_string(most)) +
            (most == 1 ? " iteration" : " iterations");
  auto list = [](const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t k = 0; k < names.size(); ++k) out += (k ? ", " : "") + names[k];
    return out;
  };
  if (!unconverged.empty()) text += "; not converged in 100 iterations: " + list(unconverged);
  if (!unfitted.empty()) text += "; not estimable: " + list(unfitted);
  if (!reml.pairsNote.empty()) text += "; no pairs: " + reml.pairsNote;
  return text;
}

}  // namespace korvan
