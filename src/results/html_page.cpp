#include "results/html_page.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "format/number_format.h"

namespace korvan {
namespace {

// More traits than this and the per-trait sections start folded: the
// overview table and the heat maps are what a reader scans first. "open
// all" opens them, and a printed page has them all open.
constexpr std::size_t kOpenSections = 10;
// Up to this many families the ranking's bars carry their names; beyond,
// the selected and the last as many do.
constexpr std::size_t kNamedBars = 120;
// Traits x families up to which the table of families across traits holds
// the predicted effects too.
constexpr std::size_t kFamiliesAcrossInFull = 20000;
// Families drawn in the site x family plot from each end of the ranking.
constexpr std::size_t kPlottedFamilies = 5;
// Heat-map cells shrink with the number of traits down to this size (in
// pixels); the page scrolls beyond it rather than lose the labels.
constexpr double kSmallestCell = 10, kLargestCell = 60;
// Cells at least this large carry their value as text; smaller ones in
// their tooltip only.
constexpr double kCellWithText = 40;
// Precision findings shown before the rest fold away.
constexpr std::size_t kFindingsInView = 10;
// Beyond this many families the ranking's unselected bars are one path, with
// no tooltip each: a page of 100 traits of 1,000 families stays a few MB.
constexpr std::size_t kFamiliesWithTips = 200;
// ... unless the page's bars of all traits together are few enough to keep
// every family's tooltip.
constexpr std::size_t kBarsWithTips = 20000;

const char kStyle[] = R"(
body{font-family:"DejaVu Sans",Arial,sans-serif;font-size:14px;color:#222;margin:24px;max-width:1200px}
h1{font-size:22px;margin:0 0 4px}h2{font-size:18px;margin:28px 0 8px;border-bottom:1px solid #ccc}
h3{font-size:15px;margin:16px 0 6px}p.meta{color:#555;margin:0 0 12px}
table{border-collapse:collapse;margin:6px 0 12px}th,td{border:1px solid #ccc;padding:3px 8px;text-align:right}
th{background:#eef3f3}td.l,th.l{text-align:left}tr.sel td,td.selcell{background:#fff3c4}
details{border:1px solid #ccc;border-radius:4px;margin:10px 0;padding:4px 12px}
summary{cursor:pointer;font-weight:bold;font-size:16px;padding:4px 0}
.warn{border:2px solid #c60;background:#fff4e5;padding:8px 12px;margin:12px 0}
.low{color:#a00}.scroll{overflow-x:auto}
svg text{font-family:"DejaVu Sans",Arial,sans-serif}
td,th,.num{white-space:nowrap}.flag{color:#b00;font-weight:bold}p.note,ul.notes{color:#444;font-size:12px}
.tall{max-height:520px;overflow:auto}th.sort{cursor:pointer}th.sort:after{content:" \2195";color:#999}
button{margin:0 6px 8px 0}
h1,p.meta{overflow-wrap:anywhere}
.scroll td:first-child{position:sticky;left:0;background:#fff}.scroll th:first-child{position:sticky;left:0}
.scroll tr.sel td:first-child{background:#fff3c4}
@media (max-width:600px){body{margin:8px;font-size:13px}h1{font-size:18px}td,th{padding:2px 4px}
svg.fit{max-width:100%;height:auto}}
@media print{button{display:none}.tall{max-height:none;overflow:visible}}
)";

// Open all, close all, a printed page with every section open, and tables
// sorted by a click on their header: all the page does beyond drawing.
const char kScript[] = R"(
function korvanOpen(open){document.querySelectorAll('details').forEach(function(d){d.open=open;});}
window.addEventListener('beforeprint',function(){korvanOpen(true);});
document.querySelectorAll('table.sortable').forEach(function(table){
  table.querySelectorAll('th').forEach(function(th,column){
    th.classList.add('sort');
    th.addEventListener('click',function(){
      var rows=Array.prototype.slice.call(table.querySelectorAll('tr')).slice(1);
      var up=th.dataset.up!=='1';th.dataset.up=up?'1':'0';
      function key(row){var t=row.children[column].textContent.replace('\u2212','-');var n=parseFloat(t);return isNaN(n)?t:n;}
      rows.sort(function(a,b){var x=key(a),y=key(b);var c=(typeof x===typeof y)?(x<y?-1:x>y?1:0):(typeof x==='number'?-1:1);return up?c:-c;});
      rows.forEach(function(row){row.parentNode.appendChild(row);});
    });
  });
});
)";

std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

// A number as the page writes it, "–" where there is none.
std::string Number(double value) { return PageNumber(value); }
std::string Number(std::int64_t value) { return PageNumber(static_cast<double>(value)); }

// A number, or `otherwise` where there is none.
double Or(double value, double otherwise) { return HasValue(value) ? value : otherwise; }

// One element with its attributes and its content, the content written as
// given (already escaped markup): the page's markup is made of these.
std::string Element(std::string_view name, std::string_view attributes, std::string_view content) {
  std::string out = "<";
  out.append(name);
  if (!attributes.empty()) out.append(" ").append(attributes);
  out.append(">").append(content).append("</").append(name).append(">");
  return out;
}

// Coordinates for SVG: two decimals are finer than a pixel.
std::string Px(double value) {
  char text[32];
  const auto end =
      std::to_chars(text, text + sizeof text, std::round(value * 100) / 100, std::chars_format::fixed, 2).ptr;
  std::string out(text, end);
  while (out.back() == '0') out.pop_back();
  if (out.back() == '.') out.pop_back();
  return out;
}

// An estimate with its standard error: "0.4567 ± 0.0123", marked when the
// estimate sits at or below zero, and its flag with the reason in view.
std::string WithError(const Estimated& estimate) {
  if (!estimate) return "–";
  std::string out = Number(estimate->estimate);
  if (HasValue(estimate->se)) out += " ± " + Number(estimate->se);
  if (estimate->marksZero && estimate->AtOrBelowZero())
    out = Element("span", "class=\"low\" title=\"at or below zero: the raw estimate\"", out + " (≤ 0)");
  if (estimate->flag != RangeFlag::kNone)
    out += " " + Element("span", "class=\"flag\" title=\"" + Escape(estimate->note) + "\"",
                         std::string("(") + RangeFlagName(estimate->flag) + ")");
  return out;
}

// The estimate's 90 % interval, "[0.12, 0.87]", and how it was found.
std::string IntervalOf(const Estimated& estimate) {
  if (!estimate || !estimate->interval) return "–";
  const Interval& i = *estimate->interval;
  return Element("span", "title=\"" + Escape(i.method) + "\"", "[" + Number(i.lower) + ", " + Number(i.upper) + "]");
}

// The same inside an SVG text element, where HTML elements would end the
// drawing: the mark and the flag as tspans.
std::string SvgWithError(const Estimated& estimate) {
  if (!estimate) return "–";
  std::string out = Number(estimate->estimate);
  if (HasValue(estimate->se)) out += " ± " + Number(estimate->se);
  if (estimate->marksZero && estimate->AtOrBelowZero()) out = "<tspan fill=\"#a00\">" + out + " (≤ 0)</tspan>";
  if (estimate->flag != RangeFlag::kNone)
    out += std::string(" <tspan fill=\"#b00\" font-weight=\"bold\">(") + RangeFlagName(estimate->flag) + ")</tspan>";
  return out;
}

// Prose markup with every number written with an exponent kept whole: it
// would break at its sign ("4.365e-" / "05") where a line wraps. Only text
// between tags is touched, never an attribute.
std::string NoBreak(const std::string& html) {
  static const std::regex exponent(R"((-?[0-9][0-9.]*e[-+][0-9]+))");
  std::string out;
  std::size_t at = 0;
  while (at < html.size()) {
    const std::size_t tag = html.find('<', at);
    const std::size_t textEnd = tag == std::string::npos ? html.size() : tag;
    out += std::regex_replace(html.substr(at, textEnd - at), exponent, "<span class=\"num\">$1</span>");
    if (tag == std::string::npos) break;
    const std::size_t close = html.find('>', tag);
    const std::size_t tagEnd = close == std::string::npos ? html.size() : close + 1;
    out += html.substr(tag, tagEnd - tag);
    at = tagEnd;
  }
  return out;
}

// "Vf, h2 not given: <reason>.": the withheld values grouped by their reason,
// in the order the reasons first come.
std::vector<std::string> WithheldNotes(const std::vector<Withheld>& withheld, const std::string& prefix) {
  std::vector<std::pair<std::string, std::string>> groups;  // reason, quantities
  for (const Withheld& w : withheld) {
    auto group = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == w.reason; });
    if (group == groups.end())
      groups.push_back({w.reason, w.quantity});
    else
      group->second += ", " + w.quantity;
  }
  std::vector<std::string> out;
  for (const auto& [reason, quantities] : groups) out.push_back(prefix + quantities + " not given: " + reason + ".");
  return out;
}

// The notes of a trait or pair and the reasons of what is withheld, as a list.
std::string NotesList(const std::vector<std::string>& notes) {
  if (notes.empty()) return "";
  std::string out = "<ul class=\"notes\">";
  for (const std::string& note : notes) out += "<li>" + NoBreak(Escape(note)) + "</li>";
  return out + "</ul>\n";
}

// Blue through white to red for -1 to 1: a correlation's sign and size.
std::string CorrelationColour(double r) {
  const double t = std::clamp(r, -1.0, 1.0);
  const double low[3] = {33, 102, 172}, mid[3] = {247, 247, 247}, high[3] = {178, 24, 43};
  const double* end = t < 0 ? low : high;
  const double w = std::abs(t);
  char text[8];
  std::string out = "#";
  for (int k = 0; k < 3; ++k) {
    const int c = static_cast<int>(std::lround(mid[k] + (end[k] - mid[k]) * w));
    const auto stop = std::to_chars(text, text + sizeof text, 256 + c, 16).ptr;
    out.append(text + 1, stop);
  }
  return out;
}

class Page {
 public:
  explicit Page(const Results& results) : doc_(results) {}
  std::string Draw();

 private:
  void Header();
  void Design();
  void Precision();
  void Overview();
  void HeatMaps();
  void HeatMap(const char* title, Estimated PairResult::*correlation);
  void CorrelationTable();
  void FamiliesAcross();
  void TraitSection(const TraitResult& trait);
  void AnovaTable(const TraitResult& trait);
  void Partition(const TraitResult& trait);
  void RemlBeside(const TraitResult& trait, const RemlTraitResult& reml);
  const RemlTraitResult* RemlOf(const TraitResult& trait) const;
  void Ranking(const TraitResult& trait);
  void SiteByFamily(const TraitResult& trait);

  const Results& doc_;
  std::string out_;
};

std::string Page::Draw() {
  out_.reserve(1 << 16);
  const std::string title = "korvan results: " + doc_.input.data;
  out_ +=
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, "
      "initial-scale=1\">\n<title>" +
      Escape(title) + "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n";
  Header();
  Precision();
  Design();
  HeatMaps();
  Overview();
  FamiliesAcross();
  if (!doc_.traits.empty())
    out_ +=
        "<h2>Traits</h2>\n<button type=\"button\" "
        "onclick=\"korvanOpen(true)\">open all</button>"
        "<button type=\"button\" onclick=\"korvanOpen(false)\">close "
        "all</button>\n";
  for (const TraitResult& trait : doc_.traits) TraitSection(trait);
  out_ += std::string("<script>") + kScript + "</script>\n</body>\n</html>\n";
  return std::move(out_);
}

void Page::Header() {
  const Results::Input& input = doc_.input;
  out_ += "<h1>" + Escape(input.data) + "</h1>\n<p class=\"meta\">";
  out_ += "analysed by " + Escape(doc_.program) + " " + Escape(doc_.version);
  if (HasValue(input.age)) out_ += "; age " + Number(input.age);
  out_ += "; report in " + Escape(input.arithmetic) + " arithmetic";
  out_ += "; report " + Escape(input.report);
  out_ += "<br>every value on this page is computed exactly, in double precision";
  if (input.familyKind) out_ += "; families are " + Escape(*input.familyKind);
  out_ += "; selected: the best " + Number(input.select) + " of the families on each trait";
  out_ += "</p>\n";
}

void Page::Precision() {
  const PrecisionResult& precision = doc_.precision;
  if (!precision.warning) return;
  out_ +=
      "<div class=\"warn\"><b>Single precision moved values of the "
      "report.</b> " +
      NoBreak(Escape(*precision.warning));
  const auto& findings = precision.findings;
  const char kHead[] =
      "<div class=\"scroll\"><table><tr><th class=\"l\">value</th><th>in the "
      "report</th><th>exact</th></tr>\n";
  for (std::size_t n = 0; n < findings.size(); ++n) {
    // The worst stand in view; a long tail folds away.
    if (n == 0) out_ += kHead;
    if (n == kFindingsInView)
      out_ += "</table></div><details><summary>" + PageNumber(static_cast<double>(findings.size() - n)) +
              " more</summary>" + kHead;
    const PrecisionResult::Finding& finding = findings[n];
    out_ += "<tr><td class=\"l\">" + Escape(finding.quantity) + "</td><td>" + Number(finding.report) + "</td><td>" +
            Number(finding.exact) + "</td></tr>\n";
  }
  if (!findings.empty()) out_ += findings.size() > kFindingsInView ? "</table></div></details>" : "</table></div>";
  out_ += "</div>\n";
}

void Page::Design() {
  const DesignResult& design = doc_.design;
  std::size_t blocks = 0;
  for (const SiteResult& site : design.sites) blocks += site.blocks.size();
  out_ += "<h2>Design</h2>\n<table>\n";
  auto row = [this](const char* what, const std::string& value) {
    out_ += std::string("<tr><th class=\"l\">") + what + "</th><td>" + value + "</td></tr>\n";
  };
  row("records analysed", Number(std::int64_t{design.records}));
  row("records left out (missing values)", Number(design.recordsLeftOut));
  row("sites", PageNumber(static_cast<double>(design.sites.size())));
  row("blocks", PageNumber(static_cast<double>(blocks)));
  row("families", PageNumber(static_cast<double>(design.families.size())));
  row("site × family cells with records", Number(std::int64_t{design.cells}));
  row("traits", PageNumber(static_cast<double>(design.traits.size())));
  out_ += "</table>\n";
  const auto& sites = design.sites;
  if (sites.empty()) return;
  out_ += sites.size() > 12 ? "<details><summary>Sites</summary>\n" : "<h3>Sites</h3>\n";
  out_ +=
      "<table><tr><th class=\"l\">site</th><th>blocks</th><th>records</th><th "
      "class=\"l\">blocks</th></tr>\n";
  for (const SiteResult& site : sites) {
    std::string names;
    for (const std::string& block : site.blocks) names += (names.empty() ? "" : ", ") + Escape(block);
    out_ += "<tr><td class=\"l\">" + Escape(site.code) + "</td><td>" +
            PageNumber(static_cast<double>(site.blocks.size())) + "</td><td>" + Number(site.records) +
            "</td><td class=\"l\">" + names + "</td></tr>\n";
  }
  out_ += "</table>\n";
  if (sites.size() > 12) out_ += "</details>\n";
}

void Page::Overview() {
  const auto& traits = doc_.traits;
  if (traits.empty()) return;
  bool individual = false;
  for (const TraitResult& trait : traits) individual = individual || trait.h2Individual.has_value();
  out_ +=
      "<h2>Heritabilities and variance components</h2>\n<div "
      "class=\"scroll\"><table>\n"
      "<tr><th class=\"l\">trait</th><th>h² of family means</th><th>h² 90 "
      "% interval</th>"
      "<th>rB across sites</th><th>rB 90 % interval</th>";
  if (individual) out_ += "<th>h² of single trees</th>";
  if (doc_.reml) out_ += "<th>h² by REML</th><th>rB by REML</th>";
  out_ +=
      "<th>mean</th><th>Vf (family)</th><th>Vsf (site × family)</th><th>Ve "
      "(error)</th></tr>\n";
  for (const TraitResult& trait : traits) {
    out_ += "<tr><td class=\"l\">" + Escape(trait.name) + "</td><td>" + WithError(trait.h2) + "</td><td>" +
            IntervalOf(trait.h2) + "</td><td>" + WithError(trait.rB) + "</td><td>" + IntervalOf(trait.rB) + "</td>";
    if (individual) out_ += "<td>" + WithError(trait.h2Individual) + "</td>";
    if (doc_.reml) {
      const RemlTraitResult* reml = RemlOf(trait);
      const std::string unconverged =
          reml && reml->status == "not converged"
              ? " " + Element("span", "class=\"flag\" title=\"" + Escape(reml->note) + "\"", "(not converged)")
              : "";
      out_ += "<td>" + (reml ? WithError(reml->h2) + unconverged : "–") + "</td><td>" +
              (reml ? WithError(reml->rB) + unconverged : "–") + "</td>";
    }
    out_ += "<td>" + Number(trait.mean) + "</td><td>" + WithError(trait.vf) + "</td><td>" + WithError(trait.vsf) +
            "</td><td>" + WithError(trait.ve) + "</td></tr>\n";
  }
  out_ +=
      "</table></div>\n<p class=\"note\">± one standard error by the delta "
      "method, which runs small in "
      "unbalanced designs and with few families; the intervals are at 90 "
      "%: for h² exact where every block "
      "holds every family equally (Knapp et al. 1985), from "
      "Satterthwaite's degrees of freedom otherwise "
      "(the method is in each interval's tooltip); for rB on Fisher's z "
      "scale. (≤ 0): the raw estimate of a "
      "component at or below zero; a flag in red: a value no such quantity "
      "can take, kept as computed, with "
      "the cause in its tooltip and under its trait.</p>\n";
}

void Page::HeatMaps() {
  if (doc_.traits.size() < 2) return;
  out_ += "<h2>Correlations between traits</h2>\n";
  HeatMap("Family-mean phenotypic correlations rP", &PairResult::rP);
  HeatMap("Phenotypic correlations between single trees", &PairResult::rPTree);
  HeatMap("Family (genetic) correlations rF", &PairResult::rF);
  CorrelationTable();
}

// Every pair with its three correlations, their errors, intervals and flags.
void Page::CorrelationTable() {
  const auto& pairs = doc_.pairs;
  if (pairs.empty()) return;
  const bool fold = pairs.size() > 45;
  out_ += fold ? "<details><summary>Correlations of every pair</summary>\n" : "<h3>Correlations of every pair</h3>\n";
  out_ +=
      "<div class=\"scroll tall\"><table class=\"sortable\"><tr><th "
      "class=\"l\">traits</th>"
      "<th>family-mean phenotypic rP</th><th>90 % "
      "interval</th><th>single-tree phenotypic</th><th>90 % interval</th>"
      "<th>family rF</th><th>90 % interval</th>";
  const bool reml = doc_.reml && !doc_.reml->pairs.empty();
  if (reml) out_ += "<th>rF by REML</th><th>single-tree by REML</th>";
  out_ += "</tr>\n";
  std::vector<std::string> notes;
  if (doc_.reml && !doc_.reml->pairsNote.empty()) notes.push_back("REML: " + doc_.reml->pairsNote + ".");
  for (const PairResult& pair : pairs) {
    out_ += "<tr><td class=\"l\">" + Escape(pair.name1) + " and " + Escape(pair.name2) + "</td>";
    for (const Estimated* r : {&pair.rP, &pair.rPTree, &pair.rF})
      out_ += "<td>" + WithError(*r) + "</td><td>" + IntervalOf(*r) + "</td>";
    if (reml) {
      const RemlPairResult* fit = nullptr;
      for (const RemlPairResult& p : doc_.reml->pairs)
        if (p.trait1 == pair.trait1 && p.trait2 == pair.trait2) fit = &p;
      std::string mark;
      if (fit && fit->status != "converged")
        mark = " " + Element("span", "class=\"flag\" title=\"" + Escape(fit->note) + "\"", "(" + Escape(fit->status) + ")");
      else if (fit && fit->family.atBoundary)
        mark = " " + Element("span", "class=\"flag\" title=\"" + Escape(fit->family.note) + "\"", "(on the edge)");
      out_ += "<td>" + (fit ? WithError(fit->rF) + mark : "–") + "</td><td>" + (fit ? WithError(fit->rPTree) : "–") + "</td>";
      if (fit) {
        if (!fit->note.empty()) notes.push_back(pair.name1 + " and " + pair.name2 + ", REML: " + fit->note + ".");
        for (const std::string& difference : fit->differences)
          notes.push_back(pair.name1 + " and " + pair.name2 + ": " + difference + ".");
      }
    }
    out_ += "</tr>\n";
    for (const Estimated* r : {&pair.rP, &pair.rPTree, &pair.rF})
      if (*r && !(*r)->note.empty()) notes.push_back(pair.name1 + " and " + pair.name2 + ": " + (*r)->note + ".");
    for (std::string& note : WithheldNotes(pair.withheld, pair.name1 + " and " + pair.name2 + ": "))
      notes.push_back(std::move(note));
  }
  out_ += "</table></div>\n" + NotesList(notes);
  if (fold) out_ += "</details>\n";
}

// Every family's constant and rank on every trait, side by side.
void Page::FamiliesAcross() {
  const auto& traits = doc_.traits;
  const auto& families = doc_.design.families;
  if (traits.empty() || families.empty()) return;
  // A large trial's page keeps to constants and ranks (and BLUPs): every
  // column is in families-wide.csv.
  const bool full = traits.size() * families.size() <= kFamiliesAcrossInFull;
  out_ += "<h2>Families across traits</h2>\n<p class=\"note\">Each trait's family constant with its rank (1 for the "
          "largest)" +
          std::string(full ? ", the predicted effect" : "") + (doc_.reml ? " and the BLUP with its rank" : "") +
          "; the selected are marked, and a click on a header sorts the table. " +
          (full ? "The same as" : "Every column is in") +
          " <code>families-wide.csv</code> of <code>--tables</code>.</p>\n<div class=\"scroll tall\"><table "
          "class=\"sortable\"><tr><th class=\"l\">family</th><th>records</th>";
  for (const TraitResult& trait : traits) {
    out_ += "<th>" + Escape(trait.name) + "</th><th>rank</th>";
    if (full) out_ += "<th>predicted</th>";
    if (doc_.reml) out_ += "<th>BLUP</th><th>BLUP rank</th>";
  }
  out_ += "</tr>\n";
  for (std::size_t j = 0; j < families.size(); ++j) {
    out_ += "<tr><td class=\"l\">" + Escape(families[j].code) + "</td><td>" + Number(families[j].records) + "</td>";
    for (const TraitResult& trait : traits) {
      const FamilyResult* f = j < trait.families.size() ? &trait.families[j] : nullptr;
      out_ += std::string(f && f->selected ? "<td class=\"selcell\">" : "<td>") + (f ? Number(f->constant) : "–") +
              "</td><td>" + (f ? Number(std::int64_t{f->rank}) : "–") + "</td>";
      if (full) out_ += "<td>" + (f ? Number(f->predictedEffect) : "–") + "</td>";
      if (const RemlTraitResult* reml = RemlOf(trait)) {
        const RemlFamilyResult* r = j < reml->families.size() ? &reml->families[j] : nullptr;
        out_ += std::string(r && r->selected ? "<td class=\"selcell\">" : "<td>") + (r ? Number(r->blup) : "–") +
                "</td><td>" + (r && r->rank > 0 ? Number(std::int64_t{r->rank}) : "–") + "</td>";
      } else if (doc_.reml) {
        out_ += "<td>–</td><td>–</td>";
      }
    }
    out_ += "</tr>\n";
  }
  out_ += "</table></div>\n";
}

// An n x n grid of one correlation for every pair of traits, the value in the
// cell (or its tooltip when the cells are small), grey where there is none.
void Page::HeatMap(const char* title, Estimated PairResult::*correlation) {
  const auto& traits = doc_.traits;
  const std::size_t n = traits.size();
  std::vector<double> value(n * n, kNoValue);
  std::vector<std::string> note(n * n);  // the flag's reason, for a flagged value
  for (const PairResult& pair : doc_.pairs) {
    const auto a = static_cast<std::size_t>(pair.trait1) - 1, b = static_cast<std::size_t>(pair.trait2) - 1;
    if (a >= n || b >= n) continue;
    const Estimated& r = pair.*correlation;
    value[a * n + b] = value[b * n + a] = r ? r->estimate : kNoValue;
    if (r && r->flag != RangeFlag::kNone) note[a * n + b] = note[b * n + a] = RangeFlagName(r->flag);
  }
  const double cell = std::clamp(640.0 / static_cast<double>(n), kSmallestCell, kLargestCell);
  const double font = std::clamp(cell * 0.45, 8.0, 12.0);
  std::size_t longest = 0;
  for (const TraitResult& trait : traits) longest = std::max(longest, Escape(trait.name).size());
  // Room for the longest name, which the column labels take at a slant.
  const double label = std::clamp(8 + 0.62 * font * static_cast<double>(longest), 40.0, 180.0);
  const double size = label + cell * static_cast<double>(n) + 10;
  out_ += std::string("<h3>") + title +
          "</h3>\n<div class=\"scroll\"><svg class=\"fit\" "
          "xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
          Px(size) + "\" height=\"" + Px(size) + "\" viewBox=\"0 0 " + Px(size) + " " + Px(size) +
          "\" role=\"img\" aria-label=\"" + title + "\">\n";
  for (std::size_t i = 0; i < n; ++i) {
    const std::string name = Escape(traits[i].name);
    const double at = label + cell * (static_cast<double>(i) + 0.5);
    out_ += "<text x=\"" + Px(label - 4) + "\" y=\"" + Px(at + font * 0.35) + "\" font-size=\"" + Px(font) +
            "\" text-anchor=\"end\">" + name + "</text>";
    out_ += "<text transform=\"translate(" + Px(at + font * 0.35) + "," + Px(label - 4) +
            ") rotate(-60)\" font-size=\"" + Px(font) + "\">" + name + "</text>\n";
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      const double x = label + cell * static_cast<double>(j), y = label + cell * static_cast<double>(i);
      const std::string box =
          "x=\"" + Px(x) + "\" y=\"" + Px(y) + "\" width=\"" + Px(cell) + "\" height=\"" + Px(cell) + "\"";
      if (i == j) {
        out_ += "<rect " + box + " fill=\"#ddd\"/>";
        continue;
      }
      const double v = value[i * n + j];
      const std::string names = Escape(traits[i].name) + " and " + Escape(traits[j].name);
      if (!HasValue(v)) {
        out_ += "<rect " + box + " fill=\"#bbb\" stroke=\"#fff\"><title>" + names + ": no estimate</title></rect>";
        continue;
      }
      const std::string& why = note[i * n + j];
      out_ += "<rect " + box + " fill=\"" + CorrelationColour(v) + "\" stroke=\"" + (why.empty() ? "#fff" : "#b00") +
              "\"" + (why.empty() ? "" : " stroke-width=\"2\"") + "><title>" + names + ": " + PageNumber(v) +
              (why.empty() ? "" : " (" + Escape(why) + ")") + "</title></rect>";
      if (cell >= kCellWithText)
        out_ += "<text x=\"" + Px(x + cell / 2) + "\" y=\"" + Px(y + cell / 2 + font * 0.35) + "\" font-size=\"" +
                Px(std::min(font * 0.9, cell / 5.5)) + "\" text-anchor=\"middle\" fill=\"" +
                (std::abs(v) > 0.6 ? "#fff" : "#222") + "\">" + PageNumber(v) + (why.empty() ? "" : "!") + "</text>";
    }
    out_ += "\n";
  }
  out_ += "</svg></div>\n";
}

const RemlTraitResult* Page::RemlOf(const TraitResult& trait) const {
  if (!doc_.reml) return nullptr;
  for (const RemlTraitResult& reml : doc_.reml->traits)
    if (reml.index == trait.index) return &reml;
  return nullptr;
}

// The two estimators of the same model side by side, and in words where
// they part.
void Page::RemlBeside(const TraitResult& trait, const RemlTraitResult& reml) {
  out_ += "<h3>REML beside the analysis of variance</h3>\n<div class=\"scroll\"><table><tr><th class=\"l\">"
          "quantity</th><th>analysis of variance</th><th>REML</th></tr>\n";
  const std::pair<const char*, std::pair<const Estimated*, const Estimated*>> rows[] = {
      {"Vf (family)", {&trait.vf, &reml.vf}},     {"Vsf (site × family)", {&trait.vsf, &reml.vsf}},
      {"Ve (error)", {&trait.ve, &reml.ve}},      {"h² of family means", {&trait.h2, &reml.h2}},
      {"rB across sites", {&trait.rB, &reml.rB}}, {"h² of single trees", {&trait.h2Individual, &reml.h2Tree}}};
  for (const auto& [name, values] : rows) {
    if (!*values.first && !*values.second) continue;
    std::string remlText = WithError(*values.second);
    if (*values.second && reml.status != "converged")
      remlText += " " + Element("span", "class=\"flag\" title=\"" + Escape(reml.note) + "\"", "(" + Escape(reml.status) + ")");
    if (*values.second && !(*values.second)->note.empty())
      remlText += " " + Element("span", "class=\"flag\" title=\"" + Escape((*values.second)->note) + "\"", "(at 0)");
    out_ += std::string("<tr><td class=\"l\">") + name + "</td><td>" + WithError(*values.first) + "</td><td>" +
            remlText + "</td></tr>\n";
  }
  std::string fitted = "REML " + Escape(reml.status) + " in " + Number(std::int64_t{reml.iterations}) +
                       " iterations on " + Number(reml.trees) + " trees";
  if (HasValue(reml.logLikelihood)) fitted += "; log-likelihood " + Number(reml.logLikelihood);
  if (HasValue(reml.lrtVf)) fitted += "; likelihood-ratio test of Vf = 0: " + Number(reml.lrtVf) + ", p " + Number(reml.pVf);
  if (HasValue(reml.lrtVsf)) fitted += "; of Vsf = 0: " + Number(reml.lrtVsf) + ", p " + Number(reml.pVsf);
  if (!reml.siteFamilyFitted) fitted += "; fitted without site × family";
  out_ += "</table></div>\n<p class=\"note\">" + NoBreak(fitted) + ".</p>\n";
  std::vector<std::string> notes;
  if (!reml.note.empty()) notes.push_back(reml.note);
  for (const std::string& difference : reml.differences) notes.push_back(difference + ".");
  auto codes = [](const std::vector<std::string>& list) {
    std::string out;
    for (std::size_t k = 0; k < list.size(); ++k) out += (k ? ", " : "") + list[k];
    return list.empty() ? std::string("none") : out;
  };
  if (!reml.selectedByConstantsOnly.empty() || !reml.selectedByBlupOnly.empty())
    notes.push_back("Selected by the family constants only: " + codes(reml.selectedByConstantsOnly) +
                    "; by BLUP only: " + codes(reml.selectedByBlupOnly) + ".");
  out_ += NotesList(notes);
}

void Page::TraitSection(const TraitResult& trait) {
  const bool open = doc_.traits.size() <= kOpenSections;
  out_ += std::string("<details") + (open ? " open" : "") + "><summary>" + Escape(trait.name) + ": h² " +
          WithError(trait.h2) + "</summary>\n";
  std::vector<std::string> notes = trait.notes;
  std::vector<Withheld> withheld;
  // Without a kind of family no single-tree h2 is wanted: not worth a line.
  for (const Withheld& w : trait.withheld)
    if (w.quantity != "h2Individual" || doc_.input.familyKind) withheld.push_back(w);
  for (std::string& note : WithheldNotes(withheld, "")) notes.push_back(std::move(note));
  out_ += NotesList(notes);
  AnovaTable(trait);
  // A trait without family variation has nothing to partition or rank: its
  // table of families stays, its charts would draw rounding.
  if (trait.estimable) Partition(trait);
  if (const RemlTraitResult* reml = RemlOf(trait)) RemlBeside(trait, *reml);
  std::string ratios = "h² of family means " + WithError(trait.h2) + ", 90 % interval " + IntervalOf(trait.h2) +
                       "; type-B correlation across sites rB " + WithError(trait.rB) + ", 90 % interval " +
                       IntervalOf(trait.rB);
  if (trait.h2Individual) ratios += "; h² of single trees " + WithError(trait.h2Individual);
  out_ += "<p>" + NoBreak(ratios) + "</p>\n";
  Ranking(trait);
  if (trait.estimable) SiteByFamily(trait);
  out_ += "</details>\n";
}

void Page::AnovaTable(const TraitResult& trait) {
  out_ +=
      "<h3>Analysis of variance</h3>\n<div class=\"scroll\"><table><tr><th "
      "class=\"l\">source</th><th>d.f.</th>"
      "<th>S.S.</th><th>M.S.</th><th "
      "class=\"l\">E.M.S.</th><th>F</th><th>p</th></tr>\n";
  for (const AnovaLine& line : trait.anova) {
    std::string f = Number(line.f);
    if (HasValue(line.dfDenominator))
      f += " <small>(" + Number(line.df) + ", " + Number(line.dfDenominator) + " d.f.)</small>";
    // Why the line is not tested, or its S.S. set to 0: in view, and said
    // in full in the notes above the table.
    if (!line.note.empty()) f += " " + Element("span", "class=\"flag\" title=\"" + Escape(line.note) + "\"", "(see note)");
    out_ += "<tr><td class=\"l\">" + Escape(line.source) + "</td><td>" + Number(line.df) + "</td><td>" +
            Number(line.ss) + "</td><td>" + Number(line.ms) + "</td><td class=\"l\">" +
            (line.ems ? Escape(*line.ems) : std::string("–")) + "</td><td>" + f + "</td><td>" + Number(line.p) +
            "</td></tr>\n";
  }
  out_ +=
      "</table></div>\n<p class=\"note\">Each S.S. is a difference of "
      "reductions R(…) of the model u + s "
      "(sites) + r (blocks within sites) + f (families) + sf (site × "
      "family cells): ";
  bool first = true;
  for (const AnovaLine& line : trait.anova) {
    if (line.reduction.empty()) continue;
    out_ += (first ? "" : "; ") + Escape(line.source) + " " + Escape(line.reduction);
    first = false;
  }
  out_ +=
      ". Site and Rep(Site) are fitted after families, so the lines need "
      "not add up to the total.</p>\n";
}

// The three components as bars from zero with a whisker of one standard
// error each way. A component at or below zero is a mark at zero with its
// value: a bar running left would shrink the others and read as a share.
void Page::Partition(const TraitResult& trait) {
  const char* names[] = {"Vf", "Vsf", "Ve"};
  const char* colours[] = {"#1b7837", "#762a83", "#999"};
  const Estimated* components[] = {&trait.vf, &trait.vsf, &trait.ve};
  auto estimateOf = [](const Estimated& e) { return e ? Or(e->estimate, 0) : 0.0; };
  auto seOf = [](const Estimated& e) { return e ? Or(e->se, 0) : 0.0; };
  double high = 0;
  bool any = false;
  for (const Estimated* component : components) {
    any = any || component->has_value();
    if (estimateOf(*component) > 0) high = std::max(high, estimateOf(*component) + seOf(*component));
  }
  if (!any) return;
  const double left = 60, width = 420, right = 300, row = 26;
  const double scale = high > 0 ? width / high : 0, zero = left;
  out_ +=
      "<h3>Variance partition</h3>\n<div class=\"scroll\"><svg "
      "class=\"fit\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
      Px(left + width + right) + "\" height=\"" + Px(row * 3 + 16) + "\" viewBox=\"0 0 " + Px(left + width + right) +
      " " + Px(row * 3 + 16) + "\" role=\"img\" aria-label=\"variance components\">\n";
  for (int k = 0; k < 3; ++k) {
    const Estimated& component = *components[k];
    const double estimate = estimateOf(component), se = seOf(component);
    const double y = 8 + row * k, m = y + row / 2 - 1;
    out_ += "<text x=\"" + Px(left - 6) + "\" y=\"" + Px(y + 14) + "\" font-size=\"12\" text-anchor=\"end\">" +
            names[k] + "</text>";
    if (component && estimate > 0) {
      out_ += "<rect x=\"" + Px(zero) + "\" y=\"" + Px(y + 3) + "\" width=\"" + Px(estimate * scale) + "\" height=\"" +
              Px(row - 8) + "\" fill=\"" + colours[k] + "\"/>";
      if (se > 0) {
        const double a = zero + std::max(estimate - se, 0.0) * scale, b = zero + (estimate + se) * scale;
        out_ += "<path d=\"M" + Px(a) + " " + Px(m) + "H" + Px(b) + "M" + Px(b) + " " + Px(m - 5) +
                "v10\" stroke=\"#000\" fill=\"none\"/>";
      }
    } else if (component) {
      out_ += "<path d=\"M" + Px(zero) + " " + Px(m - 7) + "l6 7l-6 7l-6 -7z\" fill=\"#a00\"><title>" + names[k] +
              " at or below zero</title></path>";
    }
    out_ += "<text x=\"" + Px(left + width + 8) + "\" y=\"" + Px(y + 14) + "\" font-size=\"12\">" +
            SvgWithError(component) + "</text>\n";
  }
  out_ += "<path d=\"M" + Px(zero) + " 4V" + Px(row * 3 + 12) + "\" stroke=\"#444\"/></svg></div>\n";
}

// The families in rank order: each a bar of its deviation from the mean of
// the family constants, named beneath, the selected ones in colour; the
// table below lists every family.
void Page::Ranking(const TraitResult& trait) {
  std::vector<const FamilyResult*> families;
  for (const FamilyResult& family : trait.families) families.push_back(&family);
  if (families.empty()) return;
  std::stable_sort(families.begin(), families.end(),
                   [](const FamilyResult* a, const FamilyResult* b) { return a->rank < b->rank; });
  double extent = 0;
  std::size_t longest = 0;
  for (const FamilyResult* family : families) {
    extent = std::max(extent, std::abs(Or(family->deviation, 0)));
    longest = std::max(longest, Escape(family->code).size());
  }
  const double n = static_cast<double>(families.size());
  const bool named = families.size() <= kNamedBars;
  const double bar = named ? std::clamp(900.0 / n, 12.0, 24.0) : std::clamp(900.0 / n, 1.0, 18.0);
  const double height = 160, middle = 10 + height / 2;
  const double labels = named ? std::min(6.5 * static_cast<double>(longest) + 8, 120.0) : 0;
  const double scale = extent > 0 ? (height / 2) / extent : 0;
  out_ += "<h3>Family ranking</h3>\n";
  if (trait.estimable) {
    out_ +=
        "<div class=\"scroll\"><svg xmlns=\"http://www.w3.org/2000/svg\" "
        "width=\"" +
        Px(bar * n + 20) + "\" height=\"" + Px(height + 20 + labels) +
        "\" role=\"img\" aria-label=\"families by rank\">\n";
    const bool tips = families.size() <= kFamiliesWithTips || families.size() * doc_.traits.size() <= kBarsWithTips;
    const double width = std::max(bar - (bar > 3 ? 1 : 0), 0.5);
    std::string plain;  // the unselected bars without tooltips, as one path
    for (std::size_t k = 0; k < families.size(); ++k) {
      const FamilyResult& family = *families[k];
      const double deviation = Or(family.deviation, 0);
      const bool selected = family.selected;
      const double top = deviation >= 0 ? middle - deviation * scale : middle;
      const double x = 10 + bar * static_cast<double>(k), height = std::abs(deviation) * scale;
      if (named)
        out_ += "<text transform=\"translate(" + Px(x + width / 2 + 3) + "," + Px(10 + 160 + 14) +
                ") rotate(-90)\" font-size=\"10\" text-anchor=\"end\">" + Escape(family.code) + "</text>";
      if (!tips && !selected) {
        plain += "M" + Px(x) + " " + Px(top) + "h" + Px(width) + "v" + Px(height) + "h-" + Px(width) + "z";
        continue;
      }
      out_ += "<rect x=\"" + Px(x) + "\" y=\"" + Px(top) + "\" width=\"" + Px(width) + "\" height=\"" + Px(height) +
              "\" fill=\"" + (selected ? "#d95f02" : "#7fa6a6") + "\"><title>" + Escape(family.code) + ": rank " +
              Number(std::int64_t{family.rank}) + ", constant " + Number(family.constant) + ", deviation " +
              Number(deviation) + (selected ? ", selected" : "") + "</title></rect>";
    }
    if (!plain.empty()) out_ += "<path d=\"" + plain + "\" fill=\"#7fa6a6\"/>";
    out_ += "<path d=\"M10 " + Px(middle) + "H" + Px(10 + bar * n) + "\" stroke=\"#444\"/></svg></div>\n";
    // Too many bars to name each: the ends a breeder reads, named in words.
    if (!named) {
      std::size_t chosen = 0;
      for (const FamilyResult* family : families) chosen += family->selected;
      const std::size_t ends = std::clamp<std::size_t>(chosen, 5, 20);
      std::string first, last;
      for (std::size_t k = 0; k < std::min(ends, families.size()); ++k) {
        first += (k ? ", " : "") + Escape(families[k]->code);
        last += (k ? ", " : "") + Escape(families[families.size() - 1 - k]->code);
      }
      out_ += "<p class=\"note\">From the left, the first " + Number(static_cast<std::int64_t>(ends)) + ": " + first +
              ". The last " + Number(static_cast<std::int64_t>(ends)) + ", from the right: " + last + ".</p>\n";
    }
  }

  bool predicted = false;
  for (const FamilyResult* family : families) predicted = predicted || HasValue(family->predictedEffect);
  out_ +=
      "<div class=\"scroll tall\"><table "
      "class=\"sortable\"><tr><th>rank</th><th class=\"l\">family</th>"
      "<th>records</th><th>constant</th><th>deviation</th><th>predicted "
      "effect</th>";
  const RemlTraitResult* reml = RemlOf(trait);
  if (reml) out_ += "<th>BLUP</th><th>accuracy</th><th>BLUP rank</th><th>selected by BLUP</th>";
  out_ += "</tr>\n";
  std::size_t selected = 0;
  // A page of many traits of many families lists the selected here: every
  // family of every trait stands in the table of families across traits.
  const bool every = families.size() * doc_.traits.size() <= kBarsWithTips;
  for (const FamilyResult* family : families) {
    selected += family->selected;
    if (!every && !family->selected) continue;
    std::string blup;
    if (reml) {
      const auto j = static_cast<std::size_t>(family - trait.families.data());
      const RemlFamilyResult* r = j < reml->families.size() ? &reml->families[j] : nullptr;
      blup = "<td>" + (r ? Number(r->blup) : "–") + "</td><td>" + (r ? Number(r->accuracy) : "–") + "</td><td>" +
             (r && r->rank > 0 ? Number(std::int64_t{r->rank}) : "–") + "</td><td>" +
             (r && r->selected ? "selected" : "") + "</td>";
    }
    out_ += std::string(family->selected ? "<tr class=\"sel\">" : "<tr>") + "<td>" +
            Number(std::int64_t{family->rank}) + "</td><td class=\"l\">" + Escape(family->code) + "</td><td>" +
            Number(family->records) + "</td><td>" + Number(family->constant) + "</td><td>" + Number(family->deviation) +
            "</td><td>" + Number(family->predictedEffect) + "</td>" + blup + "</tr>\n";
  }
  std::string text = std::string(every ? "Every family" : "The selected families (every family is in the table of "
                                                          "families across traits)") +
                     ", by rank of its constant; deviations from the mean of the family constants (" +
                     Number(trait.constantsMean) + "). ";
  const auto why = std::find_if(trait.withheld.begin(), trait.withheld.end(),
                                [](const Withheld& w) { return w.quantity == "predictedEffect"; });
  if (!predicted)
    text += "No predicted effect and no selection: " +
            (why == trait.withheld.end() ? std::string("h² of family means is not given") : Escape(why->reason)) + ".";
  else if (selected == 0)
    text += "No family is selected on this trait.";
  else
    text +=
        "The selected families are marked. Predicted effect: h² of family "
        "means × deviation.";
  out_ += "</table></div>\n<p>" + NoBreak(text) + "</p>\n";
}

// The family means by site of the best and the worst families: lines that
// cross are families that change rank from site to site.
// The series of the site-by-family plot: the best and the worst families by
// rank, each with its means by site (NaN where it has no trees there).
struct FamilyLines {
  std::vector<std::string> sites;  // site codes, escaped
  struct Line {
    std::string code, rank;  // escaped, as shown
    bool best = false;
    std::vector<double> mean;  // by site
  };
  std::vector<Line> lines;
  double low = INFINITY, high = -INFINITY;
};

// The data join: which families are drawn, and their cells' means by site.
std::optional<FamilyLines> JoinFamilyLines(const TraitResult& trait, const DesignResult& design) {
  const auto& families = trait.families;
  const std::vector<int>&cellSite = design.cellSite, &cellFamily = design.cellFamily;
  const std::vector<double>& means = trait.siteFamilyMeans;
  if (families.size() < 2 || design.sites.size() < 2 || means.empty() || means.size() != cellSite.size() ||
      means.size() != cellFamily.size())
    return std::nullopt;
  // The families' places in the design, which the cells name, by rank.
  std::vector<std::size_t> place(families.size());
  for (std::size_t k = 0; k < place.size(); ++k) place[k] = k;
  std::stable_sort(place.begin(), place.end(),
                   [&families](std::size_t a, std::size_t b) { return families[a].rank < families[b].rank; });
  const std::size_t each = std::min(kPlottedFamilies, families.size() / 2);
  std::vector<std::size_t> drawnPlace(place.begin(), place.begin() + static_cast<std::ptrdiff_t>(each));
  drawnPlace.insert(drawnPlace.end(), place.end() - static_cast<std::ptrdiff_t>(each), place.end());
  FamilyLines out;
  for (const SiteResult& site : design.sites) out.sites.push_back(Escape(site.code));
  // row[f]: where family f is drawn, or none.
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::vector<std::size_t> row(families.size(), kNone);
  for (std::size_t d = 0; d < drawnPlace.size(); ++d) {
    const FamilyResult& family = families[drawnPlace[d]];
    out.lines.push_back({Escape(family.code), Number(std::int64_t{family.rank}), d < each,
                         std::vector<double>(design.sites.size(), NAN)});
    row[drawnPlace[d]] = d;
  }
  for (std::size_t cell = 0; cell < means.size(); ++cell) {
    const int f = cellFamily[cell], s = cellSite[cell];
    if (f < 0 || s < 0 || static_cast<std::size_t>(f) >= families.size() ||
        static_cast<std::size_t>(s) >= design.sites.size())
      continue;
    const std::size_t d = row[static_cast<std::size_t>(f)];
    if (d == kNone || !HasValue(means[cell])) continue;
    out.lines[d].mean[static_cast<std::size_t>(s)] = means[cell];
    out.low = std::min(out.low, means[cell]);
    out.high = std::max(out.high, means[cell]);
  }
  if (!(out.high > out.low)) return std::nullopt;
  return out;
}

// The plot of the series: a line a family across the sites, lines that cross
// being families that change rank from site to site.
std::string FamilyLinesChart(const FamilyLines& series) {
  const std::size_t nSites = series.sites.size();
  const double left = 50, top = 12, width = std::max(360.0, 60.0 * static_cast<double>(nSites)), height = 220;
  const double step = width / static_cast<double>(nSites - 1);
  auto xOf = [&](std::size_t s) { return left + step * static_cast<double>(s); };
  auto yOf = [&](double v) { return top + height - (v - series.low) / (series.high - series.low) * height; };
  std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Px(left + width + 150) + "\" height=\"" +
                    Px(top + height + 50) + "\" role=\"img\" aria-label=\"family means by site\">\n";
  out += "<path d=\"M" + Px(left) + " " + Px(top) + "V" + Px(top + height) + "H" + Px(left + width) +
         "\" stroke=\"#444\" fill=\"none\"/>";
  out += "<text class=\"tick\" x=\"" + Px(left - 4) + "\" y=\"" + Px(top + 4) +
         "\" font-size=\"11\" text-anchor=\"end\">" + PageNumber(series.high) + "</text><text class=\"tick\" x=\"" +
         Px(left - 4) + "\" y=\"" + Px(top + height) + "\" font-size=\"11\" text-anchor=\"end\">" +
         PageNumber(series.low) + "</text>\n";
  for (std::size_t s = 0; s < nSites; ++s)
    out += "<text x=\"" + Px(xOf(s)) + "\" y=\"" + Px(top + height + 16) +
           "\" font-size=\"11\" text-anchor=\"middle\">" + series.sites[s] + "</text>";
  out += "\n";
  for (std::size_t d = 0; d < series.lines.size(); ++d) {
    const FamilyLines::Line& line = series.lines[d];
    const std::string colour = line.best ? "#d95f02" : "#1f78b4";
    std::string path;
    for (std::size_t s = 0; s < nSites; ++s) {
      if (std::isnan(line.mean[s])) continue;
      path.append(path.empty() ? "M" : "L").append(Px(xOf(s))).append(" ").append(Px(yOf(line.mean[s])));
    }
    out += "<path d=\"" + path + "\" stroke=\"" + colour + "\" stroke-width=\"1.5\" fill=\"none\"" +
           (line.best ? "" : " stroke-dasharray=\"4 3\"") + "><title>family " + line.code + ", rank " + line.rank +
           "</title></path>";
    for (std::size_t s = 0; s < nSites; ++s)
      if (!std::isnan(line.mean[s]))
        out += "<circle cx=\"" + Px(xOf(s)) + "\" cy=\"" + Px(yOf(line.mean[s])) + "\" r=\"2.5\" fill=\"" + colour +
               "\"><title>family " + line.code + " at site " + series.sites[s] + ": " + PageNumber(line.mean[s]) +
               "</title></circle>";
    out += "<text x=\"" + Px(left + width + 10) + "\" y=\"" + Px(top + 10 + 14 * static_cast<double>(d)) +
           "\" font-size=\"11\" fill=\"" + colour + "\">" + line.code + " (rank " + line.rank + ")</text>\n";
  }
  return out + "</svg>";
}

void Page::SiteByFamily(const TraitResult& trait) {
  const std::optional<FamilyLines> series = JoinFamilyLines(trait, doc_.design);
  if (!series) return;
  out_ +=
      "<h3>Family means by site of the best and the worst "
      "families</h3>\n<div class=\"scroll\">" +
      FamilyLinesChart(*series) + "</div>\n";
}

}  // namespace

std::string PageNumber(double value) {
  if (!std::isfinite(value)) return "–";
  if (value == 0) return "0";
  char text[32];
  // Counts and other whole numbers stand whole: 600000 records, not 6e+05.
  if (value == std::trunc(value) && std::abs(value) < 1e15)
    return std::string(text, std::to_chars(text, text + sizeof text, static_cast<long long>(value)).ptr);
  // Large values plain, never 1.205e+04: a breeder reads sums of squares as
  // 12,052.2, a decimal kept and the thousands grouped.
  if (std::abs(value) >= 1e4 && std::abs(value) < 1e15) {
    const std::string digits(text, std::to_chars(text, text + sizeof text, std::abs(value), std::chars_format::fixed, 1).ptr);
    const std::size_t point = digits.find('.');
    std::string grouped;
    for (std::size_t k = 0; k < point; ++k) {
      if (k > 0 && (point - k) % 3 == 0) grouped += ',';
      grouped += digits[k];
    }
    return (value < 0 ? "-" : "") + grouped + digits.substr(point);
  }
  return SignificantDigits(value, 4);
}

std::string HtmlPage(const Results& results) { return Page(results).Draw(); }

}  // namespace korvan
