#include "results/html_page.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>
#include <vector>

#include "format/number_format.h"

namespace korvan {
namespace {

using nlohmann::json;

// More traits than this and the per-trait sections start folded: the
// overview table and the heat maps are what a reader scans first.
constexpr std::size_t kOpenSections = 6;
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

const char kStyle[] = R"(
body{font-family:"DejaVu Sans",Arial,sans-serif;font-size:14px;color:#222;margin:24px;max-width:1200px}
h1{font-size:22px;margin:0 0 4px}h2{font-size:18px;margin:28px 0 8px;border-bottom:1px solid #ccc}
h3{font-size:15px;margin:16px 0 6px}p.meta{color:#555;margin:0 0 12px}
table{border-collapse:collapse;margin:6px 0 12px}th,td{border:1px solid #ccc;padding:3px 8px;text-align:right}
th{background:#eef3f3}td.l,th.l{text-align:left}tr.sel td{background:#fff3c4}
details{border:1px solid #ccc;border-radius:4px;margin:10px 0;padding:4px 12px}
summary{cursor:pointer;font-weight:bold;font-size:16px;padding:4px 0}
.warn{border:2px solid #c60;background:#fff4e5;padding:8px 12px;margin:12px 0}
.low{color:#a00}.scroll{overflow-x:auto}
svg text{font-family:"DejaVu Sans",Arial,sans-serif}
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

// A JSON value as text: strings as they are, numbers as the page writes them.
std::string Text(const json& value) {
  if (value.is_string()) return Escape(value.get<std::string>());
  if (value.is_number()) return PageNumber(value.get<double>());
  return "–";
}

std::string Number(const json& value) { return value.is_number() ? PageNumber(value.get<double>()) : "–"; }

double Value(const json& value, double otherwise = 0) {
  return value.is_number() ? value.get<double>() : otherwise;
}

const json& Field(const json& object, const char* name) {
  static const json none;
  if (!object.is_object()) return none;
  const auto found = object.find(name);
  return found == object.end() ? none : *found;
}

const json& List(const json& object, const char* name) {
  static const json none = json::array();
  const json& found = Field(object, name);
  return found.is_array() ? found : none;
}

// Coordinates for SVG: two decimals are finer than a pixel.
std::string Px(double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, std::round(value * 100) / 100,
                                 std::chars_format::fixed, 2).ptr;
  std::string out(text, end);
  while (out.back() == '0') out.pop_back();
  if (out.back() == '.') out.pop_back();
  return out;
}

// An estimate with its standard error: "0.4567 ± 0.0123", marked when the
// estimate sits at or below zero.
std::string WithError(const json& estimate) {
  if (!estimate.is_object()) return "–";
  std::string out = Number(Field(estimate, "estimate"));
  if (Field(estimate, "se").is_number()) out += " ± " + Number(Field(estimate, "se"));
  const json& low = Field(estimate, "atOrBelowZero");
  if ((low.is_boolean() && low.get<bool>()) || (!low.is_boolean() && Value(Field(estimate, "estimate"), 1) <= 0))
    out = "<span class=\"low\" title=\"at or below zero: the raw estimate\">" + out + " (≤ 0)</span>";
  return out;
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
  explicit Page(const json& results) : doc_(results) {}
  std::string Draw();

 private:
  void Header();
  void Design();
  void Precision();
  void Overview();
  void HeatMaps();
  void HeatMap(const char* title, const char* key);
  void TraitSection(const json& trait);
  void AnovaTable(const json& trait);
  void Partition(const json& trait);
  void Ranking(const json& trait);
  void SiteByFamily(const json& trait);

  std::string& out() { return out_; }
  const json& doc_;
  std::string out_;
};

std::string Page::Draw() {
  out_.reserve(1 << 16);
  std::string title = "korvan results";
  if (Field(Field(doc_, "input"), "data").is_string())
    title += ": " + Field(Field(doc_, "input"), "data").get<std::string>();
  out_ += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + Escape(title) +
          "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n";
  Header();
  Precision();
  Design();
  HeatMaps();
  Overview();
  const json& traits = List(doc_, "traits");
  if (!traits.empty()) out_ += "<h2>Traits</h2>\n";
  for (const json& trait : traits) TraitSection(trait);
  out_ += "</body>\n</html>\n";
  return std::move(out_);
}

void Page::Header() {
  const json& input = Field(doc_, "input");
  const json& program = Field(doc_, "program");
  out_ += "<h1>" + Escape(Field(input, "data").is_string() ? Field(input, "data").get<std::string>() : "results") +
          "</h1>\n<p class=\"meta\">";
  out_ += "analysed by " + Text(Field(program, "name")) + " " + Text(Field(program, "version"));
  if (!Field(input, "age").is_null()) out_ += "; age " + Text(Field(input, "age"));
  if (Field(input, "arithmetic").is_string()) out_ += "; report in " + Text(Field(input, "arithmetic")) + " arithmetic";
  if (Field(input, "report").is_string()) out_ += "; report " + Text(Field(input, "report"));
  out_ += "<br>every value on this page is computed exactly, in double precision";
  if (Field(input, "familyKind").is_string()) out_ += "; families are " + Text(Field(input, "familyKind"));
  if (Field(input, "select").is_number())
    out_ += "; selected: the best " + Number(Field(input, "select")) + " of the families on each trait";
  out_ += "</p>\n";
}

void Page::Precision() {
  const json& precision = Field(doc_, "precision");
  if (!Field(precision, "warning").is_string()) return;
  out_ += "<div class=\"warn\"><b>Single precision moved values of the report.</b> " +
          Text(Field(precision, "warning"));
  const json& findings = List(precision, "findings");
  const char kHead[] = "<table><tr><th class=\"l\">value</th><th>in the report</th><th>exact</th></tr>\n";
  for (std::size_t n = 0; n < findings.size(); ++n) {
    // The worst stand in view; a long tail folds away.
    if (n == 0) out_ += kHead;
    if (n == kFindingsInView)
      out_ += "</table><details><summary>" + PageNumber(static_cast<double>(findings.size() - n)) +
              " more</summary>" + kHead;
    const json& finding = findings[n];
    out_ += "<tr><td class=\"l\">" + Text(Field(finding, "quantity")) + "</td><td>" +
            Number(Field(finding, "report")) + "</td><td>" + Number(Field(finding, "exact")) + "</td></tr>\n";
  }
  if (!findings.empty()) out_ += findings.size() > kFindingsInView ? "</table></details>" : "</table>";
  out_ += "</div>\n";
}

void Page::Design() {
  const json& design = Field(doc_, "design");
  const json& sites = List(design, "sites");
  std::size_t blocks = 0;
  for (const json& site : sites) blocks += List(site, "blocks").size();
  out_ += "<h2>Design</h2>\n<table>\n";
  auto row = [this](const char* what, const std::string& value) {
    out_ += std::string("<tr><th class=\"l\">") + what + "</th><td>" + value + "</td></tr>\n";
  };
  row("records analysed", Text(Field(design, "records")));
  row("records left out (missing values)", Text(Field(design, "recordsLeftOut")));
  row("sites", PageNumber(static_cast<double>(sites.size())));
  row("blocks", PageNumber(static_cast<double>(blocks)));
  row("families", PageNumber(static_cast<double>(List(design, "families").size())));
  row("site × family cells with records", Text(Field(design, "cells")));
  row("traits", PageNumber(static_cast<double>(List(design, "traits").size())));
  out_ += "</table>\n";
  if (sites.empty()) return;
  out_ += sites.size() > 12 ? "<details><summary>Sites</summary>\n" : "<h3>Sites</h3>\n";
  out_ += "<table><tr><th class=\"l\">site</th><th>blocks</th><th>records</th><th class=\"l\">blocks</th></tr>\n";
  for (const json& site : sites) {
    std::string names;
    for (const json& block : List(site, "blocks")) names += (names.empty() ? "" : ", ") + Text(block);
    out_ += "<tr><td class=\"l\">" + Text(Field(site, "code")) + "</td><td>" +
            PageNumber(static_cast<double>(List(site, "blocks").size())) + "</td><td>" +
            Text(Field(site, "records")) + "</td><td class=\"l\">" + names + "</td></tr>\n";
  }
  out_ += "</table>\n";
  if (sites.size() > 12) out_ += "</details>\n";
}

void Page::Overview() {
  const json& traits = List(doc_, "traits");
  if (traits.empty()) return;
  bool individual = false;
  for (const json& trait : traits) individual = individual || Field(trait, "h2Individual").is_object();
  out_ += "<h2>Heritabilities and variance components</h2>\n<div class=\"scroll\"><table>\n"
          "<tr><th class=\"l\">trait</th><th>mean</th><th>Vf (family)</th><th>Vsf (site × family)</th>"
          "<th>Ve (error)</th><th>h² of family means</th><th>rB across sites</th>";
  if (individual) out_ += "<th>h² of single trees</th>";
  out_ += "</tr>\n";
  for (const json& trait : traits) {
    const json& components = Field(trait, "components");
    out_ += "<tr><td class=\"l\">" + Text(Field(trait, "name")) + "</td><td>" + Number(Field(trait, "mean")) +
            "</td><td>" + WithError(Field(components, "Vf")) + "</td><td>" + WithError(Field(components, "Vsf")) +
            "</td><td>" + WithError(Field(components, "Ve")) + "</td><td>" + WithError(Field(trait, "h2")) +
            "</td><td>" + WithError(Field(trait, "rB")) + "</td>";
    if (individual) out_ += "<td>" + WithError(Field(trait, "h2Individual")) + "</td>";
    out_ += "</tr>\n";
  }
  out_ += "</table></div>\n";
}

void Page::HeatMaps() {
  if (List(doc_, "traits").size() < 2) return;
  out_ += "<h2>Correlations between traits</h2>\n";
  HeatMap("Phenotypic correlations rP", "rP");
  HeatMap("Family correlations rF", "rF");
}

// An n x n grid of one correlation for every pair of traits, the value in the
// cell (or its tooltip when the cells are small), grey where there is none.
void Page::HeatMap(const char* title, const char* key) {
  const json& traits = List(doc_, "traits");
  const std::size_t n = traits.size();
  std::vector<const json*> value(n * n, nullptr);
  for (const json& pair : List(doc_, "pairs")) {
    const json& numbers = List(pair, "traits");
    if (numbers.size() != 2 || !numbers[0].is_number() || !numbers[1].is_number()) continue;
    const auto a = static_cast<std::size_t>(numbers[0].get<double>()) - 1,
               b = static_cast<std::size_t>(numbers[1].get<double>()) - 1;
    if (a >= n || b >= n) continue;
    const json& r = Field(Field(pair, key), "estimate");
    value[a * n + b] = value[b * n + a] = &r;
  }
  const double cell = std::clamp(640.0 / static_cast<double>(n), kSmallestCell, kLargestCell);
  const double font = std::clamp(cell * 0.45, 8.0, 12.0);
  std::size_t longest = 0;
  for (const json& trait : traits) longest = std::max(longest, Text(Field(trait, "name")).size());
  // Room for the longest name, which the column labels take at a slant.
  const double label = std::clamp(8 + 0.62 * font * static_cast<double>(longest), 40.0, 180.0);
  const double size = label + cell * static_cast<double>(n) + 10;
  out_ += std::string("<h3>") + title + "</h3>\n<div class=\"scroll\"><svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
          Px(size) + "\" height=\"" + Px(size) + "\" role=\"img\" aria-label=\"" + title + "\">\n";
  for (std::size_t i = 0; i < n; ++i) {
    const std::string name = Text(Field(traits[i], "name"));
    const double at = label + cell * (static_cast<double>(i) + 0.5);
    out_ += "<text x=\"" + Px(label - 4) + "\" y=\"" + Px(at + font * 0.35) + "\" font-size=\"" + Px(font) +
            "\" text-anchor=\"end\">" + name + "</text>";
    out_ += "<text transform=\"translate(" + Px(at + font * 0.35) + "," + Px(label - 4) +
            ") rotate(-60)\" font-size=\"" + Px(font) + "\">" + name + "</text>\n";
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      const double x = label + cell * static_cast<double>(j), y = label + cell * static_cast<double>(i);
      const std::string box = "x=\"" + Px(x) + "\" y=\"" + Px(y) + "\" width=\"" + Px(cell) + "\" height=\"" +
                              Px(cell) + "\"";
      if (i == j) {
        out_ += "<rect " + box + " fill=\"#ddd\"/>";
        continue;
      }
      const json* r = value[i * n + j];
      const std::string names = Text(Field(traits[i], "name")) + " and " + Text(Field(traits[j], "name"));
      if (r == nullptr || !r->is_number()) {
        out_ += "<rect " + box + " fill=\"#bbb\" stroke=\"#fff\"><title>" + names + ": no estimate</title></rect>";
        continue;
      }
      const double v = r->get<double>();
      out_ += "<rect " + box + " fill=\"" + CorrelationColour(v) + "\" stroke=\"#fff\"><title>" + names + ": " +
              PageNumber(v) + "</title></rect>";
      if (cell >= kCellWithText)
        out_ += "<text x=\"" + Px(x + cell / 2) + "\" y=\"" + Px(y + cell / 2 + font * 0.35) + "\" font-size=\"" +
                Px(std::min(font * 0.9, cell / 5.5)) + "\" text-anchor=\"middle\" fill=\"" + (std::abs(v) > 0.6 ? "#fff" : "#222") + "\">" +
                PageNumber(v) + "</text>";
    }
    out_ += "\n";
  }
  out_ += "</svg></div>\n";
}

void Page::TraitSection(const json& trait) {
  const bool open = List(doc_, "traits").size() <= kOpenSections;
  out_ += std::string("<details") + (open ? " open" : "") + "><summary>" + Text(Field(trait, "name")) +
          ": h² " + WithError(Field(trait, "h2")) + "</summary>\n";
  AnovaTable(trait);
  Partition(trait);
  out_ += "<p>h² of family means " + WithError(Field(trait, "h2")) + "; type-B correlation across sites rB " +
          WithError(Field(trait, "rB"));
  if (Field(trait, "h2Individual").is_object())
    out_ += "; h² of single trees " + WithError(Field(trait, "h2Individual"));
  out_ += "</p>\n";
  Ranking(trait);
  SiteByFamily(trait);
  out_ += "</details>\n";
}

void Page::AnovaTable(const json& trait) {
  out_ += "<h3>Analysis of variance</h3>\n<table><tr><th class=\"l\">source</th><th>d.f.</th><th>S.S.</th>"
          "<th>M.S.</th><th class=\"l\">E.M.S.</th><th>F</th><th>p</th></tr>\n";
  for (const json& line : List(trait, "anova")) {
    std::string f = Number(Field(line, "F"));
    if (Field(line, "dfDenominator").is_number())
      f += " <small>(" + Number(Field(line, "df")) + ", " + Number(Field(line, "dfDenominator")) + " d.f.)</small>";
    out_ += "<tr><td class=\"l\">" + Text(Field(line, "source")) + "</td><td>" + Number(Field(line, "df")) +
            "</td><td>" + Number(Field(line, "ss")) + "</td><td>" + Number(Field(line, "ms")) +
            "</td><td class=\"l\">" + Text(Field(line, "ems")) + "</td><td>" + f + "</td><td>" +
            Number(Field(line, "p")) + "</td></tr>\n";
  }
  out_ += "</table>\n";
}

// The three components as bars from zero with a whisker of one standard
// error each way; a negative estimate runs left of zero.
void Page::Partition(const json& trait) {
  const json& components = Field(trait, "components");
  const char* names[] = {"Vf", "Vsf", "Ve"};
  const char* colours[] = {"#1b7837", "#762a83", "#999"};
  double high = 0, low = 0;
  for (const char* name : names) {
    const double estimate = Value(Field(Field(components, name), "estimate"));
    const double se = Value(Field(Field(components, name), "se"));
    high = std::max(high, estimate + se);
    low = std::min(low, estimate - se);
  }
  if (high - low <= 0) return;
  const double left = 60, width = 480, right = 170, row = 26;
  const double scale = width / (high - low), zero = left + (0 - low) * scale;
  out_ += "<h3>Variance partition</h3>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
          Px(left + width + right) + "\" height=\"" + Px(row * 3 + 16) +
          "\" role=\"img\" aria-label=\"variance components\">\n";
  for (int k = 0; k < 3; ++k) {
    const json& component = Field(components, names[k]);
    const double estimate = Value(Field(component, "estimate")), se = Value(Field(component, "se"));
    const double y = 8 + row * k, x0 = zero + std::min(0.0, estimate) * scale;
    out_ += "<text x=\"" + Px(left - 6) + "\" y=\"" + Px(y + 14) + "\" font-size=\"12\" text-anchor=\"end\">" +
            names[k] + "</text>";
    out_ += "<rect x=\"" + Px(x0) + "\" y=\"" + Px(y + 3) + "\" width=\"" + Px(std::abs(estimate) * scale) +
            "\" height=\"" + Px(row - 8) + "\" fill=\"" + colours[k] + "\"/>";
    if (se > 0) {
      const double a = zero + (estimate - se) * scale, b = zero + (estimate + se) * scale, m = y + row / 2 - 1;
      out_ += "<path d=\"M" + Px(a) + " " + Px(m) + "H" + Px(b) + "M" + Px(a) + " " + Px(m - 5) + "v10M" + Px(b) +
              " " + Px(m - 5) + "v10\" stroke=\"#000\" fill=\"none\"/>";
    }
    out_ += "<text x=\"" + Px(left + width + 8) + "\" y=\"" + Px(y + 14) + "\" font-size=\"12\">" +
            WithError(component) + "</text>\n";
  }
  out_ += "<path d=\"M" + Px(zero) + " 4V" + Px(row * 3 + 12) + "\" stroke=\"#444\"/></svg>\n";
}

// The families in rank order: each a bar of its deviation from the trait
// mean, the selected ones in colour; the table lists the selected ones.
void Page::Ranking(const json& trait) {
  std::vector<const json*> families;
  for (const json& family : List(trait, "families")) families.push_back(&family);
  if (families.empty()) return;
  std::stable_sort(families.begin(), families.end(), [](const json* a, const json* b) {
    return Value(Field(*a, "rank"), 1e300) < Value(Field(*b, "rank"), 1e300);
  });
  double extent = 0;
  for (const json* family : families) extent = std::max(extent, std::abs(Value(Field(*family, "deviation"))));
  const double n = static_cast<double>(families.size());
  const double bar = std::clamp(900.0 / n, 1.0, 18.0), height = 160, middle = 10 + height / 2;
  const double scale = extent > 0 ? (height / 2) / extent : 0;
  out_ += "<h3>Family ranking</h3>\n<div class=\"scroll\"><svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
          Px(bar * n + 20) + "\" height=\"" + Px(height + 20) +
          "\" role=\"img\" aria-label=\"families by rank\">\n";
  const bool tips = families.size() <= kFamiliesWithTips;
  const double width = std::max(bar - (bar > 3 ? 1 : 0), 0.5);
  std::string plain;  // the unselected bars without tooltips, as one path
  for (std::size_t k = 0; k < families.size(); ++k) {
    const json& family = *families[k];
    const double deviation = Value(Field(family, "deviation"));
    const bool selected = Field(family, "selected").is_boolean() && Field(family, "selected").get<bool>();
    const double top = deviation >= 0 ? middle - deviation * scale : middle;
    const double x = 10 + bar * static_cast<double>(k), height = std::abs(deviation) * scale;
    if (!tips && !selected) {
      plain += "M" + Px(x) + " " + Px(top) + "h" + Px(width) + "v" + Px(height) + "h-" + Px(width) + "z";
      continue;
    }
    out_ += "<rect x=\"" + Px(x) + "\" y=\"" + Px(top) + "\" width=\"" + Px(width) + "\" height=\"" + Px(height) +
            "\" fill=\"" + (selected ? "#d95f02" : "#7fa6a6") + "\"><title>" + Text(Field(family, "code")) +
            ": rank " + Text(Field(family, "rank")) + ", constant " + Number(Field(family, "constant")) +
            ", deviation " + Number(deviation) + (selected ? ", selected" : "") + "</title></rect>";
  }
  if (!plain.empty()) out_ += "<path d=\"" + plain + "\" fill=\"#7fa6a6\"/>";
  out_ += "<path d=\"M10 " + Px(middle) + "H" + Px(10 + bar * n) + "\" stroke=\"#444\"/></svg></div>\n";

  out_ += "<table><tr><th>rank</th><th class=\"l\">family</th><th>records</th><th>constant</th>"
          "<th>deviation</th><th>predicted effect</th></tr>\n";
  std::size_t listed = 0;
  for (const json* family : families) {
    const bool selected = Field(*family, "selected").is_boolean() && Field(*family, "selected").get<bool>();
    if (!selected) continue;
    ++listed;
    out_ += "<tr class=\"sel\"><td>" + Text(Field(*family, "rank")) + "</td><td class=\"l\">" +
            Text(Field(*family, "code")) + "</td><td>" + Text(Field(*family, "records")) + "</td><td>" +
            Number(Field(*family, "constant")) + "</td><td>" + Number(Field(*family, "deviation")) + "</td><td>" +
            Number(Field(*family, "predictedEffect")) + "</td></tr>\n";
  }
  out_ += "</table>\n<p>" + (listed == 0 ? std::string("No family is selected on this trait.")
                                          : "The selected families, marked in the ranking above. Predicted "
                                            "effect: h² of family means × deviation.") +
          "</p>\n";
}

// The family means by site of the best and the worst families: lines that
// cross are families that change rank from site to site.
void Page::SiteByFamily(const json& trait) {
  std::vector<const json*> families;
  for (const json& family : List(trait, "families")) families.push_back(&family);
  const json& design = Field(doc_, "design");
  const json& sites = List(design, "sites");
  const json& cells = Field(design, "siteFamilyCells");
  const json &cellSite = List(cells, "site"), &cellFamily = List(cells, "family");
  const json& means = List(trait, "siteFamilyMeans");
  if (families.size() < 2 || sites.size() < 2 || means.empty() || means.size() != cellSite.size() ||
      means.size() != cellFamily.size())
    return;
  // The families' places in the design, which the cells name, before sorting.
  std::vector<std::size_t> place(families.size());
  for (std::size_t k = 0; k < place.size(); ++k) place[k] = k;
  std::stable_sort(place.begin(), place.end(), [&families](std::size_t a, std::size_t b) {
    return Value(Field(*families[a], "rank"), 1e300) < Value(Field(*families[b], "rank"), 1e300);
  });
  const std::size_t each = std::min(kPlottedFamilies, families.size() / 2);
  std::vector<std::size_t> drawnPlace(place.begin(), place.begin() + static_cast<std::ptrdiff_t>(each));
  drawnPlace.insert(drawnPlace.end(), place.end() - static_cast<std::ptrdiff_t>(each), place.end());
  std::vector<const json*> drawn;
  // row[f]: where family f is drawn, or none.
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::vector<std::size_t> row(families.size(), kNone);
  for (std::size_t d = 0; d < drawnPlace.size(); ++d) {
    drawn.push_back(families[drawnPlace[d]]);
    row[drawnPlace[d]] = d;
  }

  std::vector<std::string> siteCodes;
  for (const json& site : sites) siteCodes.push_back(Text(Field(site, "code")));
  // mean[d][s]: drawn family d at site s, NaN where the cell is empty.
  std::vector<std::vector<double>> mean(drawn.size(), std::vector<double>(sites.size(), NAN));
  double low = INFINITY, high = -INFINITY;
  for (std::size_t cell = 0; cell < means.size(); ++cell) {
    const double f = Value(cellFamily[cell], -1), s = Value(cellSite[cell], -1);
    if (f < 0 || s < 0 || f >= static_cast<double>(families.size()) || s >= static_cast<double>(sites.size()))
      continue;
    const std::size_t d = row[static_cast<std::size_t>(f)];
    if (d == kNone || !means[cell].is_number()) continue;
    const double v = means[cell].get<double>();
    mean[d][static_cast<std::size_t>(s)] = v;
    low = std::min(low, v);
    high = std::max(high, v);
  }
  if (!(high > low)) return;
  const double left = 50, top = 12, width = std::max(360.0, 60.0 * static_cast<double>(sites.size())), height = 220;
  const double step = width / static_cast<double>(sites.size() - 1);
  auto yOf = [&](double v) { return top + height - (v - low) / (high - low) * height; };
  out_ += "<h3>Family means by site of the best and the worst families</h3>\n<div class=\"scroll\">"
          "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Px(left + width + 150) + "\" height=\"" +
          Px(top + height + 50) + "\" role=\"img\" aria-label=\"family means by site\">\n";
  out_ += "<path d=\"M" + Px(left) + " " + Px(top) + "V" + Px(top + height) + "H" + Px(left + width) +
          "\" stroke=\"#444\" fill=\"none\"/>";
  out_ += "<text class=\"tick\" x=\"" + Px(left - 4) + "\" y=\"" + Px(top + 4) +
          "\" font-size=\"11\" text-anchor=\"end\">" + PageNumber(high) + "</text><text class=\"tick\" x=\"" +
          Px(left - 4) + "\" y=\"" + Px(top + height) + "\" font-size=\"11\" text-anchor=\"end\">" + PageNumber(low) +
          "</text>\n";
  for (std::size_t s = 0; s < sites.size(); ++s)
    out_ += "<text x=\"" + Px(left + step * static_cast<double>(s)) + "\" y=\"" + Px(top + height + 16) +
            "\" font-size=\"11\" text-anchor=\"middle\">" + siteCodes[s] + "</text>";
  out_ += "\n";
  for (std::size_t d = 0; d < drawn.size(); ++d) {
    const bool best = d < each;
    const std::string colour = best ? "#d95f02" : "#1f78b4";
    std::string path;
    for (std::size_t s = 0; s < sites.size(); ++s) {
      if (std::isnan(mean[d][s])) continue;
      path += (path.empty() ? "M" : "L") + Px(left + step * static_cast<double>(s)) + " " + Px(yOf(mean[d][s]));
    }
    const std::string code = Text(Field(*drawn[d], "code"));
    out_ += "<path d=\"" + path + "\" stroke=\"" + colour + "\" stroke-width=\"1.5\" fill=\"none\"" +
            (best ? "" : " stroke-dasharray=\"4 3\"") + "><title>family " + code + ", rank " +
            Text(Field(*drawn[d], "rank")) + "</title></path>";
    for (std::size_t s = 0; s < sites.size(); ++s)
      if (!std::isnan(mean[d][s]))
        out_ += "<circle cx=\"" + Px(left + step * static_cast<double>(s)) + "\" cy=\"" + Px(yOf(mean[d][s])) +
                "\" r=\"2.5\" fill=\"" + colour + "\"><title>family " + code + " at site " + siteCodes[s] +
                ": " + PageNumber(mean[d][s]) + "</title></circle>";
    out_ += "<text x=\"" + Px(left + width + 10) + "\" y=\"" + Px(top + 10 + 14 * static_cast<double>(d)) +
            "\" font-size=\"11\" fill=\"" + colour + "\">" + code + " (rank " + Text(Field(*drawn[d], "rank")) +
            ")</text>\n";
  }
  out_ += "</svg></div>\n";
}

}  // namespace

std::string PageNumber(double value) {
  if (!std::isfinite(value)) return "–";
  if (value == 0) return "0";
  char text[32];
  // Counts and other whole numbers stand whole: 600000 records, not 6e+05.
  if (value == std::trunc(value) && std::abs(value) < 1e15)
    return std::string(text, std::to_chars(text, text + sizeof text, static_cast<long long>(value)).ptr);
  return SignificantDigits(value, 4);
}

std::string HtmlPage(const json& results) { return Page(results).Draw(); }

}  // namespace korvan
