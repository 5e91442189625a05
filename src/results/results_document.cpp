#include "results/results_document.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <numeric>
#include <string>
#include <vector>

#include "format/number_format.h"
#include "results/statistics.h"

namespace korvan {

namespace {

using nlohmann::json;

// A statistic's estimate for the results: nothing where it has none.
Estimated Plain(const std::optional<Estimate>& e) {
  if (!e) return std::nullopt;
  return ValueWithError{e->estimate, e->se, false};
}
Estimated Marked(const std::optional<Estimate>& e) {
  if (!e) return std::nullopt;
  return ValueWithError{e->estimate, e->se, true};
}

// Levels found by walking the records once: which site, family and cell
// each record is in.
struct Membership {
  std::vector<std::int64_t> siteRecords, familyRecords, cellRecords;  // 1-based
  std::vector<int> cellSite, cellFamily;                              // 1-based
  std::vector<double> mean;                                           // of each trait
  std::vector<std::vector<double>> cellSum;                           // [trait][cell]
  std::vector<std::string> siteText, familyText;                      // codes as written, 1-based
};

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
    m.mean[static_cast<std::size_t>(t)] = total / run.nRecord;
  }
  m.siteText.assign(1, {});
  for (int i = 1; i <= run.nSite; ++i)
    m.siteText.push_back(run.siteCode[static_cast<std::size_t>(i)].text);
  m.familyText.assign(1, {});
  for (int j = 1; j <= run.nFamily; ++j)
    m.familyText.push_back(run.familyCode[static_cast<std::size_t>(j)].text);
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

std::vector<AnovaLine> AnovaTable(const Context& c, const ExactTrait& e) {
  const LineValues ms = StatLinesOf(e.ms), df = StatLinesOf(c.df);
  const std::optional<FTest> tests[kLineCount] = {std::nullopt, std::nullopt, FamilyTest(c.k, ms, df),
                                                  SiteFamilyTest(ms, df), std::nullopt};
  const std::optional<std::string> ems[kLineCount] = {
      std::nullopt, std::nullopt,
      "Ve + " + SignificantDigits(c.k.kFSF, 6) + " Vsf + " + SignificantDigits(c.k.kF, 6) + " Vf",
      "Ve + " + SignificantDigits(c.k.kSF, 6) + " Vsf", "Ve"};
  std::vector<AnovaLine> rows;
  for (int line = 0; line < kLineCount; ++line) {
    const auto l = static_cast<std::size_t>(line);
    AnovaLine row{kSource[l], c.df[l], e.ss[l], e.ms[l], ems[l]};
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
// selected.
std::vector<FamilyResult> Families(const Context& c, const ExactTrait& e, double mean, const Estimated& h2) {
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
    const double deviation = e.famConst[k] - mean;
    out.push_back({c.members.familyText[k], c.members.familyRecords[k], e.famConst[k], deviation, rank[k],
                   h2 && HasValue(h2->estimate) ? h2->estimate * deviation : kNoValue, rank[k] <= selected});
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

TraitResult Trait(const Context& c, int t) {
  const ExactTrait& e = c.exact.traits[static_cast<std::size_t>(t)];
  const LineValues ms = StatLinesOf(e.ms), df = StatLinesOf(c.df);
  const auto& [vf, vsf, ve] = c.weights;
  TraitResult out;
  out.index = t;
  out.name = TraitName(c.run, t);
  out.mean = c.members.mean[static_cast<std::size_t>(t)];
  out.anova = AnovaTable(c, e);
  out.vf = ValueWithError{e.vc[1], e.se[1], true};
  out.vsf = ValueWithError{e.vc[2], e.se[2], true};
  out.ve = ValueWithError{e.vc[3], e.se[3], true};
  LineValues scaledVf{}, vfVsf{}, total{};
  const LineValues familyLine = {1, 0, 0};
  for (int k = 0; k < kStatLines; ++k) {
    scaledVf[k] = c.k.kF * vf[k];
    vfVsf[k] = vf[k] + vsf[k];
    total[k] = vf[k] + vsf[k] + ve[k];
  }
  if (e.hasH2) {
    std::optional<Estimate> h = RatioOfLines(scaledVf, familyLine, 1, ms, df);
    if (h) h->estimate = e.h2;
    out.h2 = Marked(h);
  }
  out.rB = Plain(RatioOfLines(vf, vfVsf, 1, ms, df));
  const double share = AdditiveShare(c.params.familyKind);
  if (share > 0) out.h2Individual = Marked(RatioOfLines(vf, total, share, ms, df));
  out.families = Families(c, e, out.mean, out.h2);
  out.siteFamilyMeans = SiteFamilyMeans(c, t);
  return out;
}

PairResult Pair(const Context& c, int t1, int t2) {
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
  const PairLines lines{StatLinesOf(a.ms), StatLinesOf(p.mcp), StatLinesOf(b.ms)};
  const LineValues df = StatLinesOf(c.df);
  std::optional<Estimate> rP, rF;
  if (p.hasRP) rP = CorrelationOfLines({1, 0, 0}, lines, df);
  if (rP) rP->estimate = p.rP;
  if (p.hasRF) rF = CorrelationOfLines(c.weights[0], lines, df);
  if (rF) rF->estimate = p.rF;
  out.rP = Plain(rP);
  out.rF = Plain(rF);
  return out;
}

// --- The document: the one place that names its keys.

json Number(double value) { return std::isfinite(value) ? json(value) : json(nullptr); }

json EstimateJson(const Estimated& e) {
  if (!e) return nullptr;
  json out = {{"estimate", Number(e->estimate)}, {"se", Number(e->se)}};
  if (e->marksZero) out["atOrBelowZero"] = e->AtOrBelowZero();
  return out;
}

json DesignJson(const DesignResult& d) {
  json sites = json::array();
  for (const SiteResult& site : d.sites)
    sites.push_back({{"code", site.code}, {"records", site.records}, {"blocks", site.blocks}});
  json families = json::array();
  for (const FamilyCount& family : d.families) families.push_back({{"code", family.code}, {"records", family.records}});
  // The cells once, as three columns of numbers: each trait's cell means
  // follow in the same order, so that the largest part of the document
  // carries no repeated names or keys.
  return {{"records", d.records}, {"recordsLeftOut", d.recordsLeftOut}, {"sites", std::move(sites)},
          {"families", std::move(families)}, {"cells", d.cells},
          {"siteFamilyCells", {{"site", d.cellSite}, {"family", d.cellFamily}, {"records", d.cellRecords}}},
          {"traits", d.traits}};
}

json TraitJson(const TraitResult& t) {
  json anova = json::array();
  for (const AnovaLine& line : t.anova)
    anova.push_back({{"source", line.source}, {"df", line.df}, {"ss", Number(line.ss)}, {"ms", Number(line.ms)},
                     {"ems", line.ems ? json(*line.ems) : json(nullptr)}, {"F", Number(line.f)},
                     {"dfDenominator", Number(line.dfDenominator)}, {"p", Number(line.p)}});
  json families = json::array();
  for (const FamilyResult& f : t.families)
    families.push_back({{"code", f.code}, {"records", f.records}, {"constant", Number(f.constant)},
                        {"deviation", Number(f.deviation)}, {"rank", f.rank},
                        {"predictedEffect", Number(f.predictedEffect)}, {"selected", f.selected}});
  json means = json::array();
  auto& entries = means.get_ref<json::array_t&>();
  entries.reserve(t.siteFamilyMeans.size());
  for (const double mean : t.siteFamilyMeans) entries.push_back(Number(mean));
  return {{"index", t.index},
          {"name", t.name},
          {"mean", Number(t.mean)},
          {"anova", std::move(anova)},
          {"components", {{"Vf", EstimateJson(t.vf)}, {"Vsf", EstimateJson(t.vsf)}, {"Ve", EstimateJson(t.ve)}}},
          {"h2", EstimateJson(t.h2)},
          {"rB", EstimateJson(t.rB)},
          {"h2Individual", EstimateJson(t.h2Individual)},
          {"families", std::move(families)},
          {"siteFamilyMeans", std::move(means)}};
}

json PairJson(const PairResult& p) {
  json ancova = json::array();
  for (const AncovaLine& line : p.ancova)
    ancova.push_back({{"source", line.source}, {"df", line.df}, {"scp", Number(line.scp)}, {"mcp", Number(line.mcp)}});
  return {{"traits", {p.trait1, p.trait2}},
          {"names", {p.name1, p.name2}},
          {"ancova", std::move(ancova)},
          {"components", {{"covF", Number(p.covF)}, {"covSF", Number(p.covSF)}, {"covE", Number(p.covE)}}},
          {"rP", EstimateJson(p.rP)},
          {"rF", EstimateJson(p.rF)}};
}

}  // namespace

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
  for (int t = 1; t <= run.nTrait; ++t) r.traits.push_back(Trait(c, t));
  for (int t1 = 1; t1 < run.nTrait; ++t1)
    for (int t2 = t1 + 1; t2 <= run.nTrait; ++t2) r.pairs.push_back(Pair(c, t1, t2));
  return r;
}

PrecisionResult PrecisionOf(const PrecisionCheck& check) {
  PrecisionResult out;
  out.warning = check.warning;
  for (const PrecisionFinding& f : check.findings)
    out.findings.push_back({f.quantity, f.report ? *f.report : kNoValue, f.exact ? *f.exact : kNoValue});
  return out;
}

nlohmann::json ResultsBodyJson(const Results& r) {
  json doc;
  doc["program"] = {{"name", r.program}, {"version", r.version}};
  doc["input"] = {{"data", r.input.data},
                  {"report", r.input.report},
                  {"age", Number(r.input.age)},
                  {"arithmetic", r.input.arithmetic},
                  {"familyKind", r.input.familyKind ? json(*r.input.familyKind) : json(nullptr)},
                  {"select", r.input.select}};
  doc["design"] = DesignJson(r.design);
  doc["ems"] = {{"trFF", r.ems.trFF}, {"trFSF", r.ems.trFSF}, {"trSFSF", r.ems.trSFSF},
                {"kF", r.ems.kF},     {"kFSF", r.ems.kFSF},   {"kSF", r.ems.kSF}};
  json traits = json::array();
  for (const TraitResult& t : r.traits) traits.push_back(TraitJson(t));
  doc["traits"] = std::move(traits);
  json pairs = json::array();
  for (const PairResult& p : r.pairs) pairs.push_back(PairJson(p));
  doc["pairs"] = std::move(pairs);
  return doc;
}

nlohmann::json PrecisionJson(const PrecisionResult& precision) {
  json findings = json::array();
  for (const PrecisionResult::Finding& f : precision.findings)
    findings.push_back({{"quantity", f.quantity}, {"report", Number(f.report)}, {"exact", Number(f.exact)}});
  return {{"warning", precision.warning ? json(*precision.warning) : json(nullptr)}, {"findings", std::move(findings)}};
}

namespace {

bool Flat(const json& value) {
  for (const json& item : value)
    if (item.is_structured()) return false;
  return true;
}

// Two spaces a level, with a container of plain values on one line: the
// site x family means are most of a large trial's document, and one line
// each keeps the file less than half the size that a line per number makes
// (and so the time to write it and make it durable).
void AppendPretty(const json& value, std::size_t indent, OutputFile& file) {
  if (!value.is_structured() || value.empty() || Flat(value)) {
    file.Append(value.dump());
    return;
  }
  const bool object = value.is_object();
  file.Append(object ? "{\n" : "[\n");
  const std::string inner(indent + 2, ' ');
  bool first = true;
  for (auto item = value.begin(); item != value.end(); ++item) {
    file.Append(first ? "" : ",\n");
    first = false;
    file.Append(inner);
    if (object) {
      file.Append(json(item.key()).dump());
      file.Append(": ");
    }
    AppendPretty(*item, indent + 2, file);
  }
  file.Append("\n");
  file.Append(std::string(indent, ' '));
  file.Append(object ? "}" : "]");
}

void AppendMember(const char* key, const json& value, OutputFile& file) {
  file.Append("  \"");
  file.Append(key);
  file.Append("\": ");
  AppendPretty(value, 2, file);
}

}  // namespace

void AppendResultsJson(const nlohmann::json& body, OutputFile& file) {
  const char* const keys[] = {"program", "input", "design", "ems", "traits", "pairs"};
  file.Append("{\n");
  for (const char* key : keys) {
    AppendMember(key, body.at(key), file);
    file.Append(",\n");
  }
}

void AppendResultsJsonEnd(const nlohmann::json& precision, OutputFile& file) {
  AppendMember("precision", precision, file);
  file.Append("\n}\n");
}

}  // namespace korvan
