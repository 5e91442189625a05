#include "results/results_document.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <numeric>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "format/number_format.h"
#include "results/statistics.h"

namespace korvan {

namespace {

using nlohmann::json;

// A statistic's estimate for the results: nothing where it has none.
Estimated Plain(const std::optional<Estimate>& e) {
  if (!e) return std::nullopt;
  return Valued(e->estimate, e->se, false);
}
Estimated Marked(const std::optional<Estimate>& e) {
  if (!e) return std::nullopt;
  return Valued(e->estimate, e->se, true);
}

// A share of variance (h2, rB) outside [0, 1] is kept as computed, flagged,
// with the cause in words: a negative component made it.
void FlagShare(Estimated& v, const std::string& what, const std::string& belowCause, const std::string& aboveCause) {
  if (!v || !HasValue(v->estimate)) return;
  if (v->estimate < 0) {
    v->flag = RangeFlag::kBelowZero;
    v->note = what + " is below 0, which no " + what + " can be: " + belowCause;
  } else if (v->estimate > 1) {
    v->flag = RangeFlag::kAboveOne;
    v->note = what + " is above 1, which no " + what + " can be: " + aboveCause;
  }
}

// A correlation beyond 1 by the last digits only is rounding, and is set
// to ±1 with a flag that says so; further beyond, it is an impossible
// value of the moment estimates, kept and flagged.
constexpr double kRoundingBeyondOne = 1e-9;
void FlagCorrelation(Estimated& v, const std::string& what) {
  if (!v || !HasValue(v->estimate) || !(std::abs(v->estimate) > 1)) return;
  const double raw = v->estimate;
  if (std::abs(raw) - 1 <= kRoundingBeyondOne) {
    v->estimate = std::copysign(1.0, raw);
    v->flag = RangeFlag::kRounded;
    v->note = what + " came out " + SignificantDigits(raw, 16) + ", beyond " + (raw > 0 ? "1" : "-1") +
              " by rounding only, and is given as " + (raw > 0 ? "1" : "-1");
  } else {
    v->flag = RangeFlag::kBeyondOne;
    v->note = what + " is beyond ±1, which no correlation can be: the components it is made of are moment "
                     "estimates that no real covariance matrix has (a variance component below or near 0)";
  }
}

void AddInterval(Estimated& v, const std::optional<Bounds>& bounds, const char* method) {
  if (v && bounds) v->interval = Interval{bounds->lower, bounds->upper, method};
}

void CorrelationInterval(Estimated& v) {
  if (v && v->flag == RangeFlag::kNone) AddInterval(v, FisherZBounds(v->estimate, v->se), "Fisher z, delta-method standard error");
}

// Levels found by walking the records once: which site, family and cell
// each record is in.
struct Membership {
  std::vector<std::int64_t> siteRecords, familyRecords, cellRecords;  // 1-based
  std::vector<int> cellSite, cellFamily;                              // 1-based
  std::vector<double> mean;                                           // of each trait
  std::vector<double> totalSs;                                        // about that mean
  std::vector<std::vector<double>> cellSum;                           // [trait][cell]
  std::vector<std::string> siteText, familyText;                      // codes as written, 1-based
  bool balanced = false;
};

// Every block holds every family with the same number of trees.
bool Balanced(const RunData& run) {
  if (run.nSF != run.nSite * run.nFamily || run.nRep < 1 || run.nFamily < 1) return false;
  const std::int32_t* rep = run.recordColumn.Factor(3);
  const std::int32_t* fam = run.recordColumn.Factor(4);
  std::vector<std::int32_t> count(static_cast<std::size_t>(run.nRep) * static_cast<std::size_t>(run.nFamily), 0);
  for (int r = 1; r <= run.nRecord; ++r) {
    const auto b = static_cast<std::size_t>(rep[r] - run.colOffset[3] - 1);
    const auto j = static_cast<std::size_t>(fam[r] - run.colOffset[4] - 1);
    ++count[b * static_cast<std::size_t>(run.nFamily) + j];
  }
  return std::all_of(count.begin(), count.end(), [&](std::int32_t n) { return n == count.front() && n > 0; });
}

Membership Walk(const RunData& run) {
  Membership m;
  m.siteRecords.assign(static_cast<std::size_t>(run.nSite) + 1, 0);
  m.familyRecords.assign(static_cast<std::size_t>(run.nFamily) + 1, 0);
  m.cellRecords.assign(static_cast<std::size_t>(run.nSF) + 1, 0);
  m.cellSite.assign(static_cast<std::size_t>(run.nSF) + 1, 0);
  m.cellFamily.assign(static_cast<std::size_t>(run.nSF) + 1, 0);
  const std::int32_t* site = run.recordColumn.Factor(2);
  const std::int32_t* fam = run.recordColumn.Factor(4);
  const std::int32_t* cell = run.recordColumn.Factor(5);
  std::vector<std::int32_t> cellOf(static_cast<std::size_t>(run.nRecord) + 1);
  for (int r = 1; r <= run.nRecord; ++r) {
    const int i = site[r] - run.colOffset[2], j = fam[r] - run.colOffset[4], c = cell[r] - run.colOffset[5];
    ++m.siteRecords[static_cast<std::size_t>(i)];
    ++m.familyRecords[static_cast<std::size_t>(j)];
    ++m.cellRecords[static_cast<std::size_t>(c)];
    m.cellSite[static_cast<std::size_t>(c)] = i;
    m.cellFamily[static_cast<std::size_t>(c)] = j;
    cellOf[static_cast<std::size_t>(r)] = c;
  }
  m.mean.assign(static_cast<std::size_t>(run.nTrait) + 1, 0);
  m.totalSs.assign(1, 0);
  m.cellSum.assign(static_cast<std::size_t>(run.nTrait) + 1, {});
  for (int t = 1; t <= run.nTrait; ++t) {
    const double* y = run.traitValue.Trait(t);
    std::vector<double>& sums = m.cellSum[static_cast<std::size_t>(t)];
    sums.assign(static_cast<std::size_t>(run.nSF) + 1, 0);
    double total = 0;
    for (int r = 1; r <= run.nRecord; ++r) {
      total += y[r];
      sums[static_cast<std::size_t>(cellOf[static_cast<std::size_t>(r)])] += y[r];
    }
    const double mean = total / run.nRecord;
    m.mean[static_cast<std::size_t>(t)] = mean;
    double squares = 0;
    for (int r = 1; r <= run.nRecord; ++r) squares += (y[r] - mean) * (y[r] - mean);
    m.totalSs.push_back(squares);
  }
  m.siteText.assign(1, {});
  for (int i = 1; i <= run.nSite; ++i)
    m.siteText.push_back(run.siteCode[static_cast<std::size_t>(i)].text);
  m.familyText.assign(1, {});
  for (int j = 1; j <= run.nFamily; ++j)
    m.familyText.push_back(run.familyCode[static_cast<std::size_t>(j)].text);
  m.balanced = Balanced(run);
  return m;
}

std::string TraitName(const RunData& run, int t) {
  const auto k = static_cast<std::size_t>(t);
  if (k < run.traitName.size() && !run.traitName[k].empty()) return run.traitName[k];
  return "trait " + std::to_string(t);
}

DesignResult Design(const RunData& run, const Membership& m) {
  DesignResult d;
  d.records = run.nRecord;
  d.recordsLeftOut = run.missingValues.dropped;
  for (int i = 1; i <= run.nSite; ++i) {
    const auto si = static_cast<std::size_t>(i);
    SiteResult site{m.siteText[si], m.siteRecords[si], {}};
    for (int k = 1; k <= run.blockCount[si]; ++k) site.blocks.push_back(run.blockCode[si][static_cast<std::size_t>(k)].text);
    d.sites.push_back(std::move(site));
  }
  for (int j = 1; j <= run.nFamily; ++j)
    d.families.push_back({m.familyText[static_cast<std::size_t>(j)], m.familyRecords[static_cast<std::size_t>(j)]});
  d.cells = run.nSF;
  for (int cell = 1; cell <= run.nSF; ++cell) {
    const auto k = static_cast<std::size_t>(cell);
    d.cellSite.push_back(m.cellSite[k] - 1);
    d.cellFamily.push_back(m.cellFamily[k] - 1);
    d.cellRecords.push_back(m.cellRecords[k]);
  }
  for (int t = 1; t <= run.nTrait; ++t) d.traits.push_back(TraitName(run, t));
  d.balanced = m.balanced;
  return d;
}

struct Context {
  const RunData& run;
  const ExactResults& exact;
  const RunParameters& params;
  const Membership& members;
  EmsCoefficients k;
  std::array<LineValues, 3> weights;  // Vf, Vsf, Ve on the mean squares
  std::array<double, kLineCount> df;
};

LineValues StatLinesOf(const std::array<double, kLineCount>& lines) {
  return {lines[kLineFamily], lines[kLineSiteFam], lines[kLineError]};
}

constexpr const char* kSource[kLineCount] = {"Site", "Rep(Site)", "Family", "Site*Family", "Error"};
// Which difference of reductions R(...) each line's S.S. is: the lines are
// fitted in no one order, so they need not add up to the total.
constexpr const char* kReduction[kLineCount] = {
    "R(u,s,f) - R(u,f): sites fitted after families",
    "R(u,s,r,f) - R(u,s,f): blocks within sites fitted after sites and families",
    "R(u,s,r,f) - R(u,s,r): families fitted after sites and blocks",
    "R(u,s,r,sf) - R(u,s,r,f): site x family cells fitted after sites, blocks and families",
    "y'y - R(u,s,r,sf): within cells and blocks"};

// A trait with no variation but between sites and blocks: the Family,
// Site*Family and Error sums of squares are the rounding left of the total.
constexpr double kRoundingOfTotal = 1e-10;
std::optional<std::string> NoFamilyVariation(const ExactTrait& e, double totalSs) {
  if (totalSs == 0) return std::string("the trait has the same value on every tree");
  const double within = std::max(e.ss[kLineFamily], 0.0) + std::max(e.ss[kLineSiteFam], 0.0) + std::max(e.ss[kLineError], 0.0);
  if (within > kRoundingOfTotal * totalSs) return std::nullopt;
  return "the trait varies only between sites and blocks: the Family, Site*Family and Error S.S. together (" +
         SignificantDigits(within, 4) + ") are at the rounding level of the total S.S. (" + SignificantDigits(totalSs, 6) +
         "), so no component, test or prediction can be estimated";
}

std::vector<AnovaLine> AnovaTable(const Context& c, const ExactTrait& e, const std::optional<std::string>& degenerate,
                                  std::vector<Withheld>& withheld) {
  const LineValues ms = StatLinesOf(e.ms), df = StatLinesOf(c.df);
  std::optional<FTest> tests[kLineCount] = {std::nullopt, std::nullopt, FamilyTest(c.k, ms, df), SiteFamilyTest(ms, df),
                                            std::nullopt};
  const std::optional<std::string> ems[kLineCount] = {
      std::nullopt, std::nullopt,
      "Ve + " + SignificantDigits(c.k.kFSF, 6) + " Vsf + " + SignificantDigits(c.k.kF, 6) + " Vf",
      "Ve + " + SignificantDigits(c.k.kSF, 6) + " Vsf", "Ve"};
  std::vector<AnovaLine> rows;
  for (int line = 0; line < kLineCount; ++line) {
    const auto l = static_cast<std::size_t>(line);
    AnovaLine row;
    row.source = kSource[l];
    row.df = c.df[l];
    row.ss = e.ss[l];
    row.ms = e.ms[l];
    row.ems = ems[l];
    row.reduction = kReduction[l];
    // A sum of squares is never below 0; below it, it is rounding.
    if (e.ss[l] < 0) {
      row.note = "S.S. came out " + SignificantDigits(e.ss[l], 4) + ", below 0 by rounding, and is given as 0";
      row.ss = 0;
      row.ms = 0;
    }
    const bool testedLine = line == kLineFamily || line == kLineSiteFam;
    if (testedLine && degenerate) {
      tests[l].reset();
      withheld.push_back({std::string(line == kLineFamily ? "familyTest" : "siteFamilyTest"), *degenerate});
      row.note += (row.note.empty() ? "" : "; ") + std::string("not tested: ") + *degenerate;
    } else if (testedLine && !tests[l]) {
      std::string why;
      if (line == kLineFamily) {
        const double a = c.k.kFSF / c.k.kSF;
        why = "the mean square it is tested against, " + SignificantDigits(a, 6) + " M.S. Site*Family + " +
              SignificantDigits(1 - a, 6) + " M.S. Error, is " +
              SignificantDigits(a * ms[kStatSiteFam] + (1 - a) * ms[kStatError], 6) + ", not above 0";
      } else {
        why = "M.S. Error is " + SignificantDigits(ms[kStatError], 6) + ", not above 0";
      }
      withheld.push_back({std::string(line == kLineFamily ? "familyTest" : "siteFamilyTest"), why});
      row.note += (row.note.empty() ? "" : "; ") + std::string("not tested: ") + why;
    }
    if (const auto& test = tests[l]) {
      row.f = test->f;
      row.dfDenominator = test->dfDenominator;
      row.p = test->p;
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

// The families of one trait in the data's order, ranked by their constants
// (the largest first); the best share `select` of them, at least one, are
// selected, where a heritability in [0, 1] predicts their effects.
std::vector<FamilyResult> Families(const Context& c, const ExactTrait& e, double constantsMean, bool predict) {
  const int n = c.run.nFamily;
  std::vector<int> order(static_cast<std::size_t>(n));
  std::iota(order.begin(), order.end(), 1);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return e.famConst[static_cast<std::size_t>(a)] > e.famConst[static_cast<std::size_t>(b)];
  });
  std::vector<int> rank(static_cast<std::size_t>(n) + 1);
  for (int r = 0; r < n; ++r) rank[static_cast<std::size_t>(order[static_cast<std::size_t>(r)])] = r + 1;
  // Less a little, so that 0.1 of 30 families selects 3, not 4.
  const int selected = std::max(1, static_cast<int>(std::ceil(c.params.selectFraction * n - 1e-9)));
  std::vector<FamilyResult> out;
  for (int j = 1; j <= n; ++j) {
    const auto k = static_cast<std::size_t>(j);
    const double deviation = e.famConst[k] - constantsMean;
    out.push_back({c.members.familyText[k], c.members.familyRecords[k], e.famConst[k], deviation, rank[k], kNoValue,
                   predict && rank[k] <= selected});
  }
  return out;
}

// The largest part of the results (sites x families x traits values): the
// raw mean of each cell, in the order of the design's cells.
std::vector<double> SiteFamilyMeans(const Context& c, int t) {
  std::vector<double> out;
  out.reserve(static_cast<std::size_t>(c.run.nSF));
  const std::vector<double>& sums = c.members.cellSum[static_cast<std::size_t>(t)];
  for (int cell = 1; cell <= c.run.nSF; ++cell) {
    const auto k = static_cast<std::size_t>(cell);
    out.push_back(sums[k] / static_cast<double>(c.members.cellRecords[k]));
  }
  return out;
}

double AdditiveShare(FamilyKind kind) {
  switch (kind) {
    case FamilyKind::kHalfSib: return 4;
    case FamilyKind::kFullSib: return 2;
    case FamilyKind::kClone: return 1;
    case FamilyKind::kUnknown: break;
  }
  return 0;
}

TraitResult Trait(const Context& c, int t, const std::optional<std::string>& degenerate) {
  const ExactTrait& e = c.exact.traits[static_cast<std::size_t>(t)];
  const LineValues ms = StatLinesOf(e.ms), df = StatLinesOf(c.df);
  const auto& [vf, vsf, ve] = c.weights;
  TraitResult out;
  out.index = t;
  out.name = TraitName(c.run, t);
  out.mean = c.members.mean[static_cast<std::size_t>(t)];
  out.anova = AnovaTable(c, e, degenerate, out.withheld);
  double sum = 0;
  for (int j = 1; j <= c.run.nFamily; ++j) sum += e.famConst[static_cast<std::size_t>(j)];
  out.constantsMean = sum / c.run.nFamily;
  const double share = AdditiveShare(c.params.familyKind);
  if (degenerate) {
    out.estimable = false;
    for (const char* quantity : {"Vf", "Vsf", "Ve", "h2", "rB", "h2Individual", "predictedEffect", "selected"})
      out.withheld.push_back({quantity, *degenerate});
    out.families = Families(c, e, out.constantsMean, false);
    out.siteFamilyMeans = SiteFamilyMeans(c, t);
    return out;
  }
  out.vf = Valued(e.vc[1], e.se[1], true);
  out.vsf = Valued(e.vc[2], e.se[2], true);
  out.ve = Valued(e.vc[3], e.se[3], true);
  LineValues scaledVf{}, vfVsf{}, total{};
  const LineValues familyLine = {1, 0, 0};
  for (int k = 0; k < kStatLines; ++k) {
    scaledVf[k] = c.k.kF * vf[k];
    vfVsf[k] = vf[k] + vsf[k];
    total[k] = vf[k] + vsf[k] + ve[k];
  }
  const std::string negativeVf = "Vf is " + SignificantDigits(e.vc[1], 4) + ", below 0";
  const std::string negativeOther = "a component below Vf is negative (Vsf " + SignificantDigits(e.vc[2], 4) +
                                    ", Ve " + SignificantDigits(e.vc[3], 4) + ")";
  if (e.hasH2) {
    std::optional<Estimate> h = RatioOfLines(scaledVf, familyLine, 1, ms, df);
    if (h) h->estimate = e.h2;
    out.h2 = Marked(h);
    const double a = c.k.kFSF / c.k.kSF, denominator = a * ms[kStatSiteFam] + (1 - a) * ms[kStatError];
    FlagShare(out.h2, "h2", negativeVf,
              denominator < 0 ? "the mean square Family is tested against is " + SignificantDigits(denominator, 4) +
                                    ", below 0 (a negative Site*Family or Error component)"
                              : negativeOther);
    const AnovaLine& family = out.anova[kLineFamily];
    if (out.h2 && HasValue(family.f))
      AddInterval(out.h2, HeritabilityBounds({family.f, family.df, family.dfDenominator, family.p}),
                  c.members.balanced ? "exact (Knapp et al. 1985)" : "Satterthwaite approximation");
  } else {
    out.withheld.push_back({"h2", "M.S. Family is 0"});
  }
  out.rB = Plain(RatioOfLines(vf, vfVsf, 1, ms, df));
  if (!out.rB) out.withheld.push_back({"rB", "Vf + Vsf is 0"});
  FlagShare(out.rB, "rB", e.vc[1] < 0 ? negativeVf : "Vf + Vsf is below 0",
            "Vsf is " + SignificantDigits(e.vc[2], 4) + ", below 0");
  if (out.rB && out.rB->flag == RangeFlag::kNone)
    AddInterval(out.rB, FisherZBounds(out.rB->estimate, out.rB->se), "Fisher z, delta-method standard error");
  if (share > 0) {
    out.h2Individual = Marked(RatioOfLines(vf, total, share, ms, df));
    if (!out.h2Individual) out.withheld.push_back({"h2Individual", "Vf + Vsf + Ve is 0"});
    FlagShare(out.h2Individual, "h2Individual", negativeVf, "Vf is large against Vf + Vsf + Ve for this kind of family");
  } else {
    out.withheld.push_back({"h2Individual", "the kind of family is not given"});
  }
  const bool predict = out.h2 && out.h2->flag == RangeFlag::kNone && HasValue(out.h2->estimate);
  out.families = Families(c, e, out.constantsMean, predict);
  if (predict) {
    for (FamilyResult& f : out.families) f.predictedEffect = out.h2->estimate * f.deviation;
  } else {
    const std::string why = out.h2 ? "h2 is " + SignificantDigits(out.h2->estimate, 4) + ", outside [0, 1]"
                                   : std::string("h2 is not estimated");
    out.withheld.push_back({"predictedEffect", why});
    out.withheld.push_back({"selected", why});
  }
  for (const Estimated* v : {&out.h2, &out.rB, &out.h2Individual})
    if (*v && !(*v)->note.empty()) out.notes.push_back((*v)->note + ".");
  for (const AnovaLine& line : out.anova)
    if (!line.note.empty()) out.notes.push_back(line.source + ": " + line.note + ".");
  out.siteFamilyMeans = SiteFamilyMeans(c, t);
  return out;
}

PairResult Pair(const Context& c, const std::vector<std::optional<std::string>>& degenerate, int t1, int t2) {
  const ExactPair& p = c.exact.pairs[static_cast<std::size_t>(t1)][static_cast<std::size_t>(t2)];
  const ExactTrait& a = c.exact.traits[static_cast<std::size_t>(t1)];
  const ExactTrait& b = c.exact.traits[static_cast<std::size_t>(t2)];
  PairResult out;
  out.trait1 = t1;
  out.trait2 = t2;
  out.name1 = TraitName(c.run, t1);
  out.name2 = TraitName(c.run, t2);
  for (int line = 0; line < kLineCount; ++line) {
    const auto l = static_cast<std::size_t>(line);
    out.ancova.push_back({kSource[l], c.df[l], p.scp[l], p.mcp[l]});
  }
  out.covF = p.vc[1];
  out.covSF = p.vc[2];
  out.covE = p.vc[3];
  for (int t : {t1, t2})
    if (const auto& why = degenerate[static_cast<std::size_t>(t)]) {
      for (const char* quantity : {"rP", "rPTree", "rF"})
        out.withheld.push_back({quantity, TraitName(c.run, t) + ": " + *why});
      return out;
    }
  const PairLines lines{StatLinesOf(a.ms), StatLinesOf(p.mcp), StatLinesOf(b.ms)};
  const LineValues df = StatLinesOf(c.df);
  std::optional<Estimate> rP, rF;
  if (p.hasRP) rP = CorrelationOfLines({1, 0, 0}, lines, df);
  if (rP) rP->estimate = p.rP;
  if (p.hasRF) rF = CorrelationOfLines(c.weights[0], lines, df);
  if (rF) rF->estimate = p.rF;
  out.rP = Plain(rP);
  out.rF = Plain(rF);
  LineValues total{};
  for (int k = 0; k < kStatLines; ++k) total[k] = c.weights[0][k] + c.weights[1][k] + c.weights[2][k];
  out.rPTree = Plain(CorrelationOfLines(total, lines, df));
  if (!out.rP) out.withheld.push_back({"rP", "M.S. Family of a trait is not above 0"});
  if (!out.rF)
    out.withheld.push_back({"rF", "rF needs Vf above 0 in both traits: Vf is " + SignificantDigits(a.vc[1], 4) +
                                      " and " + SignificantDigits(b.vc[1], 4)});
  if (!out.rPTree) out.withheld.push_back({"rPTree", "Vf + Vsf + Ve of a trait is not above 0"});
  FlagCorrelation(out.rP, "rP");
  FlagCorrelation(out.rPTree, "rPTree");
  FlagCorrelation(out.rF, "rF");
  for (Estimated* r : {&out.rP, &out.rPTree, &out.rF}) CorrelationInterval(*r);
  return out;
}

// --- The document: the one place that names its keys. It is built as a
// tree of its own whose destruction allocates nothing: a run that runs out
// of memory while it builds the document must be able to unwind through it
// (a general JSON value frees its children through a list it allocates, and
// fails to while an exception passes). Scalars are written as the JSON
// library writes them; an object's members stand in the order of their keys.
class Node {
 public:
  static Node Text(std::string compact) { return Node(kScalar, std::move(compact)); }
  static Node Of(double value) { return Text(std::isfinite(value) ? json(value).dump() : "null"); }
  static Node Whole(std::int64_t value) { return Text(json(value).dump()); }
  static Node Flag(bool value) { return Text(value ? "true" : "false"); }
  static Node String(const std::string& value) { return Text(json(value).dump()); }
  static Node Null() { return Text("null"); }
  static Node Array() { return Node(kArray, {}); }
  static Node Object() { return Node(kObject, {}); }
  // A container of plain values, written on one line: built as text at
  // once, since it is most of a large trial's document.
  template <typename Values, typename Write>
  static Node Flat(const Values& values, Write write) {
    std::string text = "[";
    bool first = true;
    for (const auto& value : values) {
      if (!first) text += ',';
      first = false;
      text += write(value);
    }
    return Node(values.empty() ? kScalar : kFlat, text + "]");
  }

  Node& Add(const std::string& key, Node value) {
    const auto at = std::lower_bound(members_.begin(), members_.end(), key,
                                     [](const Member& m, const std::string& k) { return m.first < k; });
    members_.insert(at, {key, std::move(value)});
    return *this;
  }
  Node& Push(Node value) {
    items_.push_back(std::move(value));
    return *this;
  }

  // Two spaces a level, with a container of plain values on one line: the
  // site x family means are most of a large trial's document, and one line
  // each keeps the file less than half the size that a line per number makes
  // (and so the time to write it and make it durable).
  void Write(std::size_t indent, std::string& out) const {
    if (kind_ == kScalar || kind_ == kFlat) return void(out += text_);
    const bool object = kind_ == kObject;
    if (object ? members_.empty() : items_.empty()) return void(out += object ? "{}" : "[]");
    if (Plain()) return void(out += Compact());
    out += object ? "{\n" : "[\n";
    const std::string inner(indent + 2, ' ');
    for (std::size_t n = 0; n < members_.size(); ++n) {
      out.append(n == 0 ? "" : ",\n").append(inner).append(json(members_[n].first).dump()).append(": ");
      members_[n].second.Write(indent + 2, out);
    }
    for (std::size_t n = 0; n < items_.size(); ++n) {
      out.append(n == 0 ? "" : ",\n").append(inner);
      items_[n].Write(indent + 2, out);
    }
    out.append("\n").append(indent, ' ').append(object ? "}" : "]");
  }

 private:
  enum Kind { kScalar, kFlat, kArray, kObject };
  using Member = std::pair<std::string, Node>;
  Node(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  // Every child a scalar: the container goes on one line.
  bool Plain() const {
    for (const Member& m : members_)
      if (m.second.kind_ != kScalar) return false;
    for (const Node& item : items_)
      if (item.kind_ != kScalar) return false;
    return true;
  }
  std::string Compact() const {
    std::string text = kind_ == kObject ? "{" : "[";
    for (std::size_t n = 0; n < members_.size(); ++n)
      text.append(n == 0 ? "" : ",").append(json(members_[n].first).dump()).append(":").append(members_[n].second.text_);
    for (std::size_t n = 0; n < items_.size(); ++n) text.append(n == 0 ? "" : ",").append(items_[n].text_);
    return text + (kind_ == kObject ? "}" : "]");
  }

  Kind kind_;
  std::string text_;              // a scalar's or a flat container's text
  std::vector<Member> members_;   // an object's, by key
  std::vector<Node> items_;       // an array's
};

Node OptionalString(const std::string& text) { return text.empty() ? Node::Null() : Node::String(text); }

Node EstimateNode(const Estimated& e) {
  if (!e) return Node::Null();
  Node out = Node::Object();
  out.Add("estimate", Node::Of(e->estimate)).Add("se", Node::Of(e->se));
  if (e->marksZero) out.Add("atOrBelowZero", Node::Flag(e->AtOrBelowZero()));
  out.Add("flag", OptionalString(RangeFlagName(e->flag))).Add("note", OptionalString(e->note));
  if (e->interval) {
    Node interval = Node::Object();
    interval.Add("lower", Node::Of(e->interval->lower))
        .Add("upper", Node::Of(e->interval->upper))
        .Add("method", Node::String(e->interval->method));
    out.Add("interval90", std::move(interval));
  } else {
    out.Add("interval90", Node::Null());
  }
  return out;
}

Node WithheldNode(const std::vector<Withheld>& withheld) {
  Node out = Node::Array();
  for (const Withheld& w : withheld) {
    Node row = Node::Object();
    row.Add("quantity", Node::String(w.quantity)).Add("reason", Node::String(w.reason));
    out.Push(std::move(row));
  }
  return out;
}

Node StringsNode(const std::vector<std::string>& values) {
  return Node::Flat(values, [](const std::string& v) { return json(v).dump(); });
}

Node DesignNode(const DesignResult& d) {
  Node sites = Node::Array();
  for (const SiteResult& site : d.sites) {
    Node node = Node::Object();
    node.Add("code", Node::String(site.code)).Add("records", Node::Whole(site.records)).Add("blocks", StringsNode(site.blocks));
    sites.Push(std::move(node));
  }
  Node families = Node::Array();
  for (const FamilyCount& family : d.families) {
    Node node = Node::Object();
    node.Add("code", Node::String(family.code)).Add("records", Node::Whole(family.records));
    families.Push(std::move(node));
  }
  // The cells once, as three columns of numbers: each trait's cell means
  // follow in the same order, so that the largest part of the document
  // carries no repeated names or keys.
  auto whole = [](std::int64_t v) { return std::to_string(v); };
  Node cells = Node::Object();
  cells.Add("site", Node::Flat(d.cellSite, whole))
      .Add("family", Node::Flat(d.cellFamily, whole))
      .Add("records", Node::Flat(d.cellRecords, whole));
  Node out = Node::Object();
  out.Add("records", Node::Whole(d.records))
      .Add("recordsLeftOut", Node::Whole(d.recordsLeftOut))
      .Add("sites", std::move(sites))
      .Add("families", std::move(families))
      .Add("cells", Node::Whole(d.cells))
      .Add("balanced", Node::Flag(d.balanced))
      .Add("siteFamilyCells", std::move(cells))
      .Add("traits", StringsNode(d.traits));
  return out;
}

Node TraitNode(const TraitResult& t) {
  Node anova = Node::Array();
  for (const AnovaLine& line : t.anova) {
    Node row = Node::Object();
    row.Add("source", Node::String(line.source)).Add("df", Node::Of(line.df)).Add("ss", Node::Of(line.ss));
    row.Add("ms", Node::Of(line.ms)).Add("ems", line.ems ? Node::String(*line.ems) : Node::Null());
    row.Add("F", Node::Of(line.f)).Add("dfDenominator", Node::Of(line.dfDenominator)).Add("p", Node::Of(line.p));
    row.Add("reduction", Node::String(line.reduction)).Add("note", OptionalString(line.note));
    anova.Push(std::move(row));
  }
  Node families = Node::Array();
  for (const FamilyResult& f : t.families) {
    Node row = Node::Object();
    row.Add("code", Node::String(f.code)).Add("records", Node::Whole(f.records)).Add("constant", Node::Of(f.constant));
    row.Add("deviation", Node::Of(f.deviation)).Add("rank", Node::Whole(f.rank));
    row.Add("predictedEffect", Node::Of(f.predictedEffect)).Add("selected", Node::Flag(f.selected));
    families.Push(std::move(row));
  }
  Node components = Node::Object();
  components.Add("Vf", EstimateNode(t.vf)).Add("Vsf", EstimateNode(t.vsf)).Add("Ve", EstimateNode(t.ve));
  Node out = Node::Object();
  out.Add("index", Node::Whole(t.index))
      .Add("name", Node::String(t.name))
      .Add("mean", Node::Of(t.mean))
      .Add("constantsMean", Node::Of(t.constantsMean))
      .Add("estimable", Node::Flag(t.estimable))
      .Add("withheld", WithheldNode(t.withheld))
      .Add("notes", StringsNode(t.notes))
      .Add("anova", std::move(anova))
      .Add("components", std::move(components))
      .Add("h2", EstimateNode(t.h2))
      .Add("rB", EstimateNode(t.rB))
      .Add("h2Individual", EstimateNode(t.h2Individual))
      .Add("families", std::move(families))
      .Add("siteFamilyMeans",
           Node::Flat(t.siteFamilyMeans, [](double v) { return std::isfinite(v) ? json(v).dump() : "null"; }));
  return out;
}

// "traits": [t1, t2] and "names": [name1, name2] of a pair, moment or REML.
template <typename Pair>
void AddPairOf(const Pair& p, Node& node) {
  Node traits = Node::Array();
  traits.Push(Node::Whole(p.trait1)).Push(Node::Whole(p.trait2));
  Node names = Node::Array();
  names.Push(Node::String(p.name1)).Push(Node::String(p.name2));
  node.Add("traits", std::move(traits)).Add("names", std::move(names));
}

Node PairNode(const PairResult& p) {
  Node ancova = Node::Array();
  for (const AncovaLine& line : p.ancova) {
    Node row = Node::Object();
    row.Add("source", Node::String(line.source)).Add("df", Node::Of(line.df)).Add("scp", Node::Of(line.scp));
    row.Add("mcp", Node::Of(line.mcp));
    ancova.Push(std::move(row));
  }
  Node components = Node::Object();
  components.Add("covF", Node::Of(p.covF)).Add("covSF", Node::Of(p.covSF)).Add("covE", Node::Of(p.covE));
  Node out = Node::Object();
  AddPairOf(p, out);
  out.Add("ancova", std::move(ancova))
      .Add("components", std::move(components))
      .Add("rP", EstimateNode(p.rP))
      .Add("rPTree", EstimateNode(p.rPTree))
      .Add("rF", EstimateNode(p.rF))
      .Add("withheld", WithheldNode(p.withheld));
  return out;
}

// The site x family effects as four columns, like the design's cells: a
// large trial has tens of thousands.
Node CellsNode(const RemlTraitResult::Cells& cells) {
  auto number = [](double v) { return std::isfinite(v) ? json(v).dump() : std::string("null"); };
  Node out = Node::Object();
  out.Add("site", StringsNode(cells.site))
      .Add("family", StringsNode(cells.family))
      .Add("blup", Node::Flat(cells.blup, number))
      .Add("pev", Node::Flat(cells.pev, number));
  return out;
}

Node RemlNode(const RemlResult& reml) {
  Node traits = Node::Array();
  for (const RemlTraitResult& t : reml.traits) {
    Node components = Node::Object();
    components.Add("Vf", EstimateNode(t.vf)).Add("Vsf", EstimateNode(t.vsf)).Add("Ve", EstimateNode(t.ve));
    auto test = [](double statistic, double p) {
      if (!HasValue(statistic)) return Node::Null();
      Node node = Node::Object();
      node.Add("statistic", Node::Of(statistic)).Add("p", Node::Of(p));
      return node;
    };
    Node tests = Node::Object();
    tests.Add("Vf", test(t.lrtVf, t.pVf)).Add("Vsf", test(t.lrtVsf, t.pVsf));
    Node families = Node::Array();
    for (const RemlFamilyResult& f : t.families) {
      Node row = Node::Object();
      row.Add("code", Node::String(f.code)).Add("blup", Node::Of(f.blup)).Add("pev", Node::Of(f.pev));
      row.Add("accuracy", Node::Of(f.accuracy)).Add("rank", f.rank > 0 ? Node::Whole(f.rank) : Node::Null());
      row.Add("selected", Node::Flag(f.selected));
      families.Push(std::move(row));
    }
    Node disagree = Node::Object();
    disagree.Add("byConstantsOnly", StringsNode(t.selectedByConstantsOnly)).Add("byBlupOnly", StringsNode(t.selectedByBlupOnly));
    Node node = Node::Object();
    node.Add("index", Node::Whole(t.index))
        .Add("name", Node::String(t.name))
        .Add("status", Node::String(t.status))
        .Add("note", OptionalString(t.note))
        .Add("iterations", Node::Whole(t.iterations))
        .Add("seconds", Node::Of(t.seconds))
        .Add("trees", Node::Whole(t.trees))
        .Add("siteFamilyFitted", Node::Flag(t.siteFamilyFitted))
        .Add("components", std::move(components))
        .Add("logLikelihood", Node::Of(t.logLikelihood))
        .Add("likelihoodRatioTests", std::move(tests))
        .Add("h2", EstimateNode(t.h2))
        .Add("h2Individual", EstimateNode(t.h2Tree))
        .Add("rB", EstimateNode(t.rB))
        .Add("families", std::move(families))
        .Add("cellBlups", CellsNode(t.cells))
        .Add("selectionDisagrees", std::move(disagree))
        .Add("differences", StringsNode(t.differences));
    traits.Push(std::move(node));
  }
  Node pairs = Node::Array();
  for (const RemlPairResult& p : reml.pairs) {
    auto matrix = [](const RemlMatrix& m) {
      Node node = Node::Object();
      node.Add("v11", EstimateNode(m.v11)).Add("v12", EstimateNode(m.v12)).Add("v22", EstimateNode(m.v22));
      node.Add("atBoundary", Node::Flag(m.atBoundary)).Add("note", OptionalString(m.note));
      return node;
    };
    Node node = Node::Object();
    AddPairOf(p, node);
    node.Add("status", Node::String(p.status))
        .Add("note", OptionalString(p.note))
        .Add("iterations", Node::Whole(p.iterations))
        .Add("seconds", Node::Of(p.seconds))
        .Add("trees", Node::Whole(p.trees))
        .Add("treesBoth", Node::Whole(p.treesBoth))
        .Add("siteFamilyFitted", Node::Flag(p.siteFamilyFitted))
        .Add("family", matrix(p.family))
        .Add("siteFamily", matrix(p.cell))
        .Add("error", matrix(p.error))
        .Add("rF", EstimateNode(p.rF))
        .Add("rPTree", EstimateNode(p.rPTree))
        .Add("logLikelihood", Node::Of(p.logLikelihood))
        .Add("differences", StringsNode(p.differences));
    pairs.Push(std::move(node));
  }
  Node out = Node::Object();
  out.Add("seconds", Node::Of(reml.seconds))
      .Add("traits", std::move(traits))
      .Add("pairs", std::move(pairs))
      .Add("pairsNote", OptionalString(reml.pairsNote));
  return out;
}

void WriteMember(const char* key, const Node& value, std::string& out) {
  out.append("  \"").append(key).append("\": ");
  value.Write(2, out);
}

// An array member of objects, made and written one at a time: the traits
// hold most of a large trial's document, which is so never whole in memory
// beside the file's own buffer.
template <typename Items, typename Make>
void WriteListMember(const char* key, const Items& items, Make make, OutputFile& file) {
  std::string out = std::string("  \"") + key + "\": ";
  if (items.empty()) return file.Append(out + "[]");
  out += "[\n";
  bool first = true;
  for (const auto& item : items) {
    out += first ? "    " : ",\n    ";
    first = false;
    make(item).Write(4, out);
    file.Append(out);
    out.clear();
  }
  file.Append("\n  ]");
}

}  // namespace

const char* RangeFlagName(RangeFlag flag) {
  switch (flag) {
    case RangeFlag::kBelowZero: return "below 0";
    case RangeFlag::kAboveOne: return "above 1";
    case RangeFlag::kBeyondOne: return "beyond ±1";
    case RangeFlag::kRounded: return "rounded to ±1";
    case RangeFlag::kNone: break;
  }
  return "";
}

const char* FamilyKindName(FamilyKind kind) {
  switch (kind) {
    case FamilyKind::kHalfSib: return "half-sib";
    case FamilyKind::kFullSib: return "full-sib";
    case FamilyKind::kClone: return "clone";
    case FamilyKind::kUnknown: break;
  }
  return "";
}

Results BuildResults(const RunData& run, const ExactResults& exact, const RunParameters& params) {
  const Membership members = Walk(run);
  Context c{run, exact, params, members, {exact.kF, exact.kFSF, exact.kSF}, {}, {}};
  c.weights = ComponentWeights(c.k);
  // From the counts of the coding, as the exact engine takes them: the
  // set-up may still be writing its own d.f. while this runs.
  c.df = {static_cast<double>(run.nSite - 1), static_cast<double>(run.nRep - run.nSite),
          static_cast<double>(run.nFamily - 1), static_cast<double>(run.nSF - run.nSite - run.nFamily + 1),
          static_cast<double>(run.nRecord - run.nSF - run.nRep + run.nSite)};
  Results r;
  r.program = "korvan";
  r.version = KORVAN_VERSION;
  const bool aged = !params.delimited || !params.ageColumn.empty();
  r.input = {params.dataPath, params.reportPath, aged ? params.ageSel : kNoValue,
             params.exactReport ? "double" : "single",
             params.familyKind == FamilyKind::kUnknown ? std::nullopt
                                                       : std::optional<std::string>(FamilyKindName(params.familyKind)),
             params.selectFraction};
  r.design = Design(run, members);
  r.ems = {exact.trFF, exact.trFSF, exact.trSFSF, exact.kF, exact.kFSF, exact.kSF};
  std::vector<std::optional<std::string>> degenerate(static_cast<std::size_t>(run.nTrait) + 1);
  for (int t = 1; t <= run.nTrait; ++t) {
    const auto k = static_cast<std::size_t>(t);
    degenerate[k] = NoFamilyVariation(exact.traits[k], members.totalSs[k]);
    r.traits.push_back(Trait(c, t, degenerate[k]));
  }
  for (int t1 = 1; t1 < run.nTrait; ++t1)
    for (int t2 = t1 + 1; t2 <= run.nTrait; ++t2) r.pairs.push_back(Pair(c, degenerate, t1, t2));
  return r;
}

PrecisionResult PrecisionOf(const PrecisionCheck& check) {
  PrecisionResult out;
  out.warning = check.warning;
  for (const PrecisionFinding& f : check.findings)
    out.findings.push_back({f.quantity, f.report ? *f.report : kNoValue, f.exact ? *f.exact : kNoValue});
  return out;
}

void WriteResultsJson(const Results& r, OutputFile& file) {
  Node program = Node::Object();
  program.Add("name", Node::String(r.program)).Add("version", Node::String(r.version));
  Node input = Node::Object();
  input.Add("data", Node::String(r.input.data))
      .Add("report", Node::String(r.input.report))
      .Add("age", Node::Of(r.input.age))
      .Add("arithmetic", Node::String(r.input.arithmetic))
      .Add("familyKind", r.input.familyKind ? Node::String(*r.input.familyKind) : Node::Null())
      .Add("select", Node::Of(r.input.select));
  Node ems = Node::Object();
  ems.Add("trFF", Node::Of(r.ems.trFF)).Add("trFSF", Node::Of(r.ems.trFSF)).Add("trSFSF", Node::Of(r.ems.trSFSF));
  ems.Add("kF", Node::Of(r.ems.kF)).Add("kFSF", Node::Of(r.ems.kFSF)).Add("kSF", Node::Of(r.ems.kSF));
  std::string out = "{\n";
  WriteMember("program", program, out);
  out += ",\n";
  WriteMember("input", input, out);
  out += ",\n";
  WriteMember("design", DesignNode(r.design), out);
  out += ",\n";
  WriteMember("ems", ems, out);
  out += ",\n";
  file.Append(out);
  WriteListMember("traits", r.traits, TraitNode, file);
  file.Append(",\n");
  WriteListMember("pairs", r.pairs, PairNode, file);
  file.Append(",\n");
  // REML, where it was asked for: null otherwise, so that a reader finds
  // the key either way.
  std::string reml;
  if (r.reml) WriteMember("reml", RemlNode(*r.reml), reml);
  else WriteMember("reml", Node::Null(), reml);
  file.Append(reml + ",\n");
}

void WriteResultsJsonEnd(const PrecisionResult& precision, OutputFile& file) {
  Node findings = Node::Array();
  for (const PrecisionResult::Finding& f : precision.findings) {
    Node row = Node::Object();
    row.Add("quantity", Node::String(f.quantity)).Add("report", Node::Of(f.report)).Add("exact", Node::Of(f.exact));
    findings.Push(std::move(row));
  }
  Node node = Node::Object();
  node.Add("warning", precision.warning ? Node::String(*precision.warning) : Node::Null())
      .Add("findings", std::move(findings));
  std::string out;
  WriteMember("precision", node, out);
  file.Append(out + "\n}\n");
}

}  // namespace korvan
