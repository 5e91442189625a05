#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "results/html_page.h"

namespace korvan {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

// Appended rather than concatenated: GCC 12 warns falsely on "F" + string.
std::string FamilyCode(int f) {
  std::string code = "F";
  return code += std::to_string(f);
}

json Estimate(double estimate, double se, bool low = false) {
  return {{"estimate", estimate}, {"se", se}, {"atOrBelowZero", low}};
}

// A results document of `nTrait` traits on three sites and `nFamily`
// families, its values all different so that a number shown in the wrong
// place is seen.
json Document(int nTrait, int nFamily) {
  json doc = {{"program", {{"name", "korvan"}, {"version", "1.0.0"}}},
              {"input", {{"data", "trial <b>&.csv"}, {"report", "trial.out"}, {"age", 10}, {"arithmetic", "single"},
                         {"familyKind", nullptr}, {"select", 0.25}}}};
  json sites = json::array(), families = json::array(), names = json::array();
  for (int s = 0; s < 3; ++s) sites.push_back({{"code", std::string(1, static_cast<char>('A' + s))},
                                               {"records", 101 + s}, {"blocks", {"1", "2"}}});
  for (int f = 1; f <= nFamily; ++f) families.push_back({{"code", FamilyCode(f)}, {"records", 10 + f}});
  for (int t = 1; t <= nTrait; ++t) names.push_back(t == 1 ? "height <b>&" : "trait " + std::to_string(t));
  doc["design"] = {{"records", 303}, {"recordsLeftOut", 7}, {"sites", sites}, {"families", families},
                   {"cells", 3 * nFamily}, {"traits", names}};
  doc["ems"] = {{"trFF", 1.5}, {"trFSF", 1.5}, {"trSFSF", 9.25}, {"kF", 30.05}, {"kFSF", 10.01}, {"kSF", 10.02}};
  json traits = json::array();
  for (int t = 1; t <= nTrait; ++t) {
    const double u = t * 0.001;
    json trait = {{"index", t}, {"name", names[t - 1]}, {"mean", 12.3456 + t}};
    trait["anova"] = json::array();
    const char* sources[] = {"Site", "Rep(Site)", "Family", "Site*Family", "Error"};
    for (int k = 0; k < 5; ++k)
      trait["anova"].push_back({{"source", sources[k]}, {"df", 2 + k}, {"ss", 123.456 + k + u}, {"ms", 45.678 + k + u},
                                {"ems", "Ve + 10.02 Vsf"}, {"F", k == 2 || k == 3 ? json(3.1416 + k) : json(nullptr)},
                                {"dfDenominator", k == 2 ? json(17.25) : json(nullptr)},
                                {"p", k == 2 || k == 3 ? json(0.0012345 * k) : json(nullptr)}});
    trait["components"] = {{"Vf", Estimate(1.111 + u, 0.2222)}, {"Vsf", Estimate(-0.3333 - u, 0.1444, true)},
                           {"Ve", Estimate(5.555 + u, 0.0666)}};
    trait["h2"] = Estimate(0.4321 + u, 0.0765);
    trait["rB"] = Estimate(0.8765 - u, 0.0432);
    trait["h2Individual"] = nullptr;
    json ranked = json::array(), means = json::array();
    for (int f = 1; f <= nFamily; ++f) {
      const double deviation = (f % 2 ? 1 : -1) * (0.5 + f * 0.0137) + u;
      ranked.push_back({{"code", FamilyCode(f)}, {"records", 10 + f}, {"constant", 12.3456 + t + deviation},
                        {"deviation", deviation}, {"rank", f}, {"predictedEffect", 0.4321 * deviation},
                        {"selected", f <= nFamily / 4}});
      for (int s = 0; s < 3; ++s)
        means.push_back({{"site", std::string(1, static_cast<char>('A' + s))}, {"family", FamilyCode(f)},
                         {"records", 3 + s}, {"mean", 11.75 + f * 0.11 + s * 0.7 * (f % 3) + u}});
    }
    trait["families"] = ranked;
    trait["siteFamilyMeans"] = means;
    traits.push_back(trait);
  }
  doc["traits"] = traits;
  json pairs = json::array();
  for (int a = 1; a <= nTrait; ++a)
    for (int b = a + 1; b <= nTrait; ++b)
      pairs.push_back({{"traits", {a, b}}, {"names", {names[a - 1], names[b - 1]}},
                       {"ancova", json::array({{{"source", "Family"}, {"df", 4}, {"scp", 1.25 + a}, {"mcp", 0.3125}}})},
                       {"components", {{"covF", 0.0101 * a}, {"covSF", -0.0202 * b}, {"covE", 0.0303}}},
                       {"rP", Estimate(0.01 * a + 0.001 * b, 0.0123)},
                       {"rF", a == 3 || b == 3 ? json(nullptr) : Estimate(-0.02 * a - 0.001 * b, 0.0456)}});
  doc["pairs"] = pairs;
  doc["precision"] = {{"warning", "single precision moved 1 value"},
                      {"findings", {{{"quantity", "kFSF"}, {"report", 30.05}, {"exact", 30.0}}}}};
  return doc;
}

// Every number and string of the document as the page would write it.
void Collect(const json& value, std::set<std::string>& shown) {
  static const std::regex number(R"(-?\d+(\.\d+)?(e[-+]\d+)?)");
  if (value.is_number()) shown.insert(PageNumber(value.get<double>()));
  if (value.is_string()) {
    const std::string text = value.get<std::string>();
    for (std::sregex_iterator it(text.begin(), text.end(), number), end; it != end; ++it) shown.insert(it->str());
  }
  if (value.is_array()) shown.insert(PageNumber(static_cast<double>(value.size())));
  if (value.is_structured())
    for (const json& item : value) Collect(item, shown);
}

// Numbers a reader sees (text and tooltips, not the drawing's coordinates)
// that are no value of the document, rounded as the page rounds.
std::vector<std::string> NumbersNotInTheDocument(const std::string& page, const json& doc) {
  std::set<std::string> known;
  Collect(doc, known);
  std::string text = std::regex_replace(page, std::regex(R"(<style>[^<]*</style>)"), "");
  text = std::regex_replace(text, std::regex(R"(<[^>]*>)"), " ");
  for (const auto& [entity, character] : {std::pair{"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}})
    text = std::regex_replace(text, std::regex(entity), character);
  std::vector<std::string> strangers;
  static const std::regex number(R"(-?\d+(\.\d+)?(e[-+]\d+)?)");
  for (std::sregex_iterator it(text.begin(), text.end(), number), end; it != end; ++it)
    if (!known.contains(it->str())) strangers.push_back(it->str());
  return strangers;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The page shows the document's values and nothing else, escapes the names
// and holds everything it needs.
TEST(HtmlPage, ShowsTheDocumentsNumbersAndFetchesNothing) {
  for (const int nTrait : {1, 3}) {
    SCOPED_TRACE(nTrait);
    const json doc = Document(nTrait, 8);
    const std::string page = HtmlPage(doc);
    EXPECT_THAT(NumbersNotInTheDocument(page, doc), testing::IsEmpty());
    for (const char* outside : {"<script", "<link", "<img", "src=", "href=", "url(", "@import"})
      EXPECT_THAT(page, Not(HasSubstr(outside)));
    EXPECT_THAT(page, Not(HasSubstr("<b>&")));
    EXPECT_THAT(page, HasSubstr("height &lt;b&gt;&amp;"));
    // The estimates with their errors, the one at or below zero marked.
    EXPECT_THAT(page, HasSubstr("<td>0.4331 ± 0.0765</td>"));
    EXPECT_THAT(page, HasSubstr("-0.3343 ± 0.1444 (≤ 0)"));
    // F of Family with Satterthwaite's degrees of freedom, and its p.
    EXPECT_THAT(page, HasSubstr("<td>5.142 <small>(4, 17.25 d.f.)</small></td><td>0.002469</td>"));
    // The selected quarter of the families is listed on every trait.
    EXPECT_EQ(Count(page, "<tr class=\"sel\">"), 2u * nTrait);
    EXPECT_THAT(page, HasSubstr("<td class=\"l\">kFSF</td><td>30.05</td><td>30</td>"));
    EXPECT_EQ(Count(page, "<svg") > 0, true);
    EXPECT_EQ(Count(page, "Correlations between traits"), nTrait > 1 ? 1u : 0u);
  }
}

// With 100 traits every pair keeps its cell and the sections start folded;
// a pair without an estimate is grey, not a colour of some value.
TEST(HtmlPage, HundredTraitsKeepEveryCellAndFoldTheSections) {
  const json doc = Document(100, 12);
  const std::string page = HtmlPage(doc);
  const std::size_t rP = page.find("Phenotypic correlations"), rF = page.find("Family correlations");
  ASSERT_NE(rP, std::string::npos);
  ASSERT_NE(rF, std::string::npos);
  const std::string rPMap = page.substr(rP, rF - rP);
  EXPECT_EQ(Count(rPMap, "<rect"), 100u * 100u);
  EXPECT_EQ(Count(rPMap, "no estimate"), 0u);
  // rF of every pair with trait 3 is missing: 99 pairs, each twice.
  EXPECT_EQ(Count(page.substr(rF, page.find("<h2>Traits") - rF), "no estimate"), 2u * 99u);
  EXPECT_EQ(Count(page, "<details>"), 100u);
  EXPECT_EQ(Count(page, "<details open>"), 0u);
  EXPECT_THAT(NumbersNotInTheDocument(page, doc), testing::IsEmpty());
}

TEST(HtmlPage, NumbersForTheEye) {
  const std::pair<double, const char*> cases[] = {
      {0.43214, "0.4321"}, {-0.0163, "-0.0163"}, {123456.0, "1.235e+05"}, {30.0, "30"}, {0.0, "0"},
      {-0.0, "0"},         {1e-7, "1e-07"},      {NAN, "–"},            {INFINITY, "–"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(PageNumber(value), text) << value;
}

}  // namespace
}  // namespace korvan
