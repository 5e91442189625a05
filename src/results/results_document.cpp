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

json Number(double value) { return std::isfinite(value) ? json(value) : json(nullptr); }

json EstimateOf(const std::optional<Estimate>& e) {
  if (!e) return nullptr;
  return {{"estimate", Number(e->estimate)}, {"se", Number(e->se)}};
}

json MarkedEstimate(const std::optional<Estimate>& e) {
  json out = EstimateOf(e);
  if (e) out["atOrBelowZero"] = e->estimate <= 0;
  return out;
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

json Design(const RunData& run, const Membership& m) {
  json sites = json::array();
  for (int i = 1; i <= run.nSite; ++i) {
    json blocks = json::array();
    const auto si = static_cast<std::size_t>(i);
    for (int k = 1; k <= run.blockCount[si]; ++k) {
      const auto bk = static_cast<std::size_t>(k);
      blocks.push_back(run.blockCode[si][bk].text);
    }
    sites.push_back({{"code", m.siteText[si]}, {"records", m.siteRecords[si]}, {"blocks", std::move(blocks)}});
  }
  json families = json::array();
  for (int j = 1; j <= run.nFamily; ++j)
    families.push_back({{"code", m.familyText[static_cast<std::size_t>(j)]}, {"records", m.familyRecords[static_cast<std::size_t>(j)]}});
  json traits = json::array();
  for (int t = 1; t <= run.nTrait; ++t) traits.push_back(TraitName(run, t));
  // The cells once, as three columns of numbers: each trait's cell means
  // follow in the same order, so that the largest part of the document
  // carries no repeated names or keys.
  json cellSite = json::array(), cellFamily = json::array(), cellRecords = json::array();
  for (int cell = 1; cell <= run.nSF; ++cell) {
    const auto k = static_cast<std::size_t>(cell);
    cellSite.push_back(m.cellSite[k] - 1);
    cellFamily.push_back(m.cellFamily[k] - 1);
    cellRecords.push_back(m.cellRecords[k]);
  }
  return {{"records", run.nRecord}, {"recordsLeftOut", run.missingValues.dropped}, {"sites", std::move(sites)},
          {"families", std::move(families)}, {"cells", run.nSF},
          {"siteFamilyCells",
           {{"site", std::move(cellSite)}, {"family", std::move(cellFamily)}, {"records", std::move(cellRecords)}}},
          {"traits", std::move(traits)}};
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

json AnovaTable(const Context& c, const ExactTrait& e) {
  const LineValues ms = StatLinesOf(e.ms), df = StatLinesOf(c.df);
  const char* source[kLineCount] = {"Site", "Rep(Site)", "Family", "Site*Family", "Error"};
  const std::optional<FTest> tests[kLineCount] = {std::nullopt, std::nullopt, FamilyTest(c.k, ms, df),
                                                  SiteFamilyTest(ms, df), std::nullopt};
  const json ems[kLineCount] = {nullptr, nullptr,
                                "Ve + " + SignificantDigits(c.k.kFSF, 6) + " Vsf + " + SignificantDigits(c.k.kF, 6) + " Vf",
                                "Ve + " + SignificantDigits(c.k.kSF, 6) + " Vsf", "Ve"};
  json rows = json::array();
  for (int line = 0; line < kLineCount; ++line) {
    const auto l = static_cast<std::size_t>(line);
    json row = {{"source", source[l]}, {"df", c.df[l]}, {"ss", Number(e.ss[l])}, {"ms", Number(e.ms[l])},
                {"ems", ems[l]}, {"F", nullptr}, {"dfDenominator", nullptr}, {"p", nullptr}};
    if (const auto& test = tests[l]) {
      row["F"] = Number(test->f);
      row["dfDenominator"] = Number(test->dfDenominator);
      row["p"] = Number(test->p);
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

// The families of one trait in the data's order, ranked by their constants
// (the largest first); the best share `select` of them, at least one, are
// selected.
json Families(const Context& c, const ExactTrait& e, double mean, const json& h2) {
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
  json out = json::array();
  for (int j = 1; j <= n; ++j) {
    const auto k = static_cast<std::size_t>(j);
    const double deviation = e.famConst[k] - mean;
    out.push_back({{"code", c.members.familyText[k]}, {"records", c.members.familyRecords[k]},
                   {"constant", Number(e.famConst[k])}, {"deviation", Number(deviation)}, {"rank", rank[k]},
                   {"predictedEffect", h2.is_null() ? json(nullptr) : Number(h2.get<double>() * deviation)},
                   {"selected", rank[k] <= selected}});
  }
  return out;
}

// The largest part of the document (sites x families x traits values): the
// raw mean of each cell, in the order of design.siteFamilyCells.
json SiteFamilyMeans(const Context& c, int t) {
  json out = json::array();
  auto& entries = out.get_ref<json::array_t&>();
  entries.reserve(static_cast<std::size_t>(c.run.nSF));
  const std::vector<double>& sums = c.members.cellSum[static_cast<std::size_t>(t)];
  for (int cell = 1; cell <= c.run.nSF; ++cell) {
    const auto k = static_cast<std::size_t>(cell);
    entries.push_back(Number(sums[k] / static_cast<double>(c.members.cellRecords[k])));
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

json Trait(const Context& c, int t) {
  const ExactTrait& e = c.exact.traits[static_cast<std::size_t>(t)];
  const LineValues ms = StatLinesOf(e.ms), df = StatLinesOf(c.df);
  const auto& [vf, vsf, ve] = c.weights;
  const char* names[4] = {"", "Vf", "Vsf", "Ve"};
  json components = json::object();
  for (int i = 1; i <= 3; ++i) {
    const auto k = static_cast<std::size_t>(i);
    components[names[k]] = MarkedEstimate(Estimate{e.vc[k], e.se[k]});
  }
  LineValues scaledVf{}, vfVsf{}, total{};
  const LineValues familyLine = {1, 0, 0};
  for (int k = 0; k < kStatLines; ++k) {
    scaledVf[k] = c.k.kF * vf[k];
    vfVsf[k] = vf[k] + vsf[k];
    total[k] = vf[k] + vsf[k] + ve[k];
  }
  json h2 = nullptr;
  if (e.hasH2) {
    std::optional<Estimate> h = RatioOfLines(scaledVf, familyLine, 1, ms, df);
    if (h) h->estimate = e.h2;
    h2 = MarkedEstimate(h);
  }
  const double mean = c.members.mean[static_cast<std::size_t>(t)];
  const double share = AdditiveShare(c.params.familyKind);
  json out = {{"index", t},
              {"name", TraitName(c.run, t)},
              {"mean", Number(mean)},
              {"anova", AnovaTable(c, e)},
              {"components", std::move(components)},
              {"h2", h2},
              {"rB", EstimateOf(RatioOfLines(vf, vfVsf, 1, ms, df))},
              {"h2Individual", share > 0 ? MarkedEstimate(RatioOfLines(vf, total, share, ms, df)) : json(nullptr)},
              {"families", Families(c, e, mean, h2.is_null() ? json(nullptr) : h2["estimate"])},
              {"siteFamilyMeans", SiteFamilyMeans(c, t)}};
  return out;
}

json Pair(const Context& c, int t1, int t2) {
  const ExactPair& p = c.exact.pairs[static_cast<std::size_t>(t1)][static_cast<std::size_t>(t2)];
  const ExactTrait& a = c.exact.traits[static_cast<std::size_t>(t1)];
  const ExactTrait& b = c.exact.traits[static_cast<std::size_t>(t2)];
  const char* source[kLineCount] = {"Site", "Rep(Site)", "Family", "Site*Family", "Error"};
  json ancova = json::array();
  for (int line = 0; line < kLineCount; ++line) {
    const auto l = static_cast<std::size_t>(line);
    ancova.push_back({{"source", source[l]}, {"df", c.df[l]}, {"scp", Number(p.scp[l])}, {"mcp", Number(p.mcp[l])}});
  }
  const PairLines lines{StatLinesOf(a.ms), StatLinesOf(p.mcp), StatLinesOf(b.ms)};
  const LineValues df = StatLinesOf(c.df);
  std::optional<Estimate> rP, rF;
  if (p.hasRP) rP = CorrelationOfLines({1, 0, 0}, lines, df);
  if (rP) rP->estimate = p.rP;
  if (p.hasRF) rF = CorrelationOfLines(c.weights[0], lines, df);
  if (rF) rF->estimate = p.rF;
  return {{"traits", {t1, t2}},
          {"names", {TraitName(c.run, t1), TraitName(c.run, t2)}},
          {"ancova", std::move(ancova)},
          {"components", {{"covF", Number(p.vc[1])}, {"covSF", Number(p.vc[2])}, {"covE", Number(p.vc[3])}}},
          {"rP", EstimateOf(rP)},
          {"rF", EstimateOf(rF)}};
}

json Precision(const PrecisionCheck& check) {
  json findings = json::array();
  for (const PrecisionFinding& f : check.findings)
    findings.push_back({{"quantity", f.quantity},
                        {"report", f.report ? Number(*f.report) : json(nullptr)},
                        {"exact", f.exact ? Number(*f.exact) : json(nullptr)}});
  return {{"warning", check.warning ? json(*check.warning) : json(nullptr)}, {"findings", std::move(findings)}};
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

nlohmann::json ResultsBody(const RunData& run, const ExactResults& exact, const RunParameters& params) {
  const Membership members = Walk(run);
  Context c{run, exact, params, members, {exact.kF, exact.kFSF, exact.kSF}, {}, {}};
  c.weights = ComponentWeights(c.k);
  // From the counts of the coding, as the exact engine takes them: the
  // set-up may still be writing its own d.f. while this runs.
  c.df = {static_cast<double>(run.nSite - 1), static_cast<double>(run.nRep - run.nSite),
          static_cast<double>(run.nFamily - 1), static_cast<double>(run.nSF - run.nSite - run.nFamily + 1),
          static_cast<double>(run.nRecord - run.nSF - run.nRep + run.nSite)};
  const bool aged = !params.delimited || !params.ageColumn.empty();
  json doc;
  doc["program"] = {{"name", "korvan"}, {"version", KORVAN_VERSION}};
  doc["input"] = {{"data", params.dataPath},
                  {"report", params.reportPath},
                  {"age", aged ? Number(params.ageSel) : json(nullptr)},
                  {"arithmetic", params.exactReport ? "double" : "single"},
                  {"familyKind", params.familyKind == FamilyKind::kUnknown ? json(nullptr)
                                                                           : json(FamilyKindName(params.familyKind))},
                  {"select", params.selectFraction}};
  doc["design"] = Design(run, members);
  doc["ems"] = {{"trFF", exact.trFF}, {"trFSF", exact.trFSF}, {"trSFSF", exact.trSFSF},
                {"kF", exact.kF},     {"kFSF", exact.kFSF},   {"kSF", exact.kSF}};
  json traits = json::array();
  for (int t = 1; t <= run.nTrait; ++t) traits.push_back(Trait(c, t));
  doc["traits"] = std::move(traits);
  json pairs = json::array();
  for (int t1 = 1; t1 < run.nTrait; ++t1)
    for (int t2 = t1 + 1; t2 <= run.nTrait; ++t2) pairs.push_back(Pair(c, t1, t2));
  doc["pairs"] = std::move(pairs);
  return doc;
}

nlohmann::json PrecisionFindings(const PrecisionCheck& precision) { return Precision(precision); }

nlohmann::json ResultsDocument(const RunData& run, const ExactResults& exact, const RunParameters& params,
                               const PrecisionCheck& precision) {
  json doc = ResultsBody(run, exact, params);
  doc["precision"] = Precision(precision);
  return doc;
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
