#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <numbers>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "exact/exact_engine.h"
#include "results/html_page.h"
#include "results/results_document.h"
#include "results/tables.h"
#include "support/test_support.h"
#include "support/trial_builder.h"

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

ValueWithError Estimate(double estimate, double se) { return Valued(estimate, se, true); }

// Results of `nTrait` traits on three sites and `nFamily` families, their
// values all different so that a number shown in the wrong place is seen.
Results HandResults(int nTrait, int nFamily) {
  Results r;
  r.program = "korvan";
  r.version = "1.0.0";
  r.input = {"trial <b>&.csv", "trial.out", 10, "single", std::nullopt, 0.25};
  for (int s = 0; s < 3; ++s) r.design.sites.push_back({std::string(1, static_cast<char>('A' + s)), 101 + s, {"1", "2"}});
  for (int f = 1; f <= nFamily; ++f) r.design.families.push_back({FamilyCode(f), 10 + f});
  for (int t = 1; t <= nTrait; ++t) r.design.traits.push_back(t == 1 ? "height <b>&" : "trait " + std::to_string(t));
  for (int f = 0; f < nFamily; ++f)
    for (int s = 0; s < 3; ++s) {
      r.design.cellSite.push_back(s);
      r.design.cellFamily.push_back(f);
      r.design.cellRecords.push_back(3 + s);
    }
  r.design.records = 303;
  r.design.recordsLeftOut = 7;
  r.design.cells = 3 * nFamily;
  r.ems = {1.5, 1.5, 9.25, 30.05, 10.01, 10.02};
  for (int t = 1; t <= nTrait; ++t) {
    const double u = t * 0.001;
    TraitResult trait;
    trait.index = t;
    trait.name = r.design.traits[static_cast<std::size_t>(t) - 1];
    trait.mean = 12.3456 + t;
    const char* sources[] = {"Site", "Rep(Site)", "Family", "Site*Family", "Error"};
    for (int k = 0; k < 5; ++k)
      trait.anova.push_back({sources[k], 2.0 + k, 123.456 + k + u, 45.678 + k + u, "Ve + 10.02 Vsf",
                             k == 2 || k == 3 ? 3.1416 + k : kNoValue, k == 2 ? 17.25 : kNoValue,
                             k == 2 || k == 3 ? 0.0012345 * k : kNoValue, "", ""});
    trait.vf = Estimate(1.111 + u, 0.2222);
    trait.vsf = Estimate(-0.3333 - u, 0.1444);
    trait.ve = Estimate(5.555 + u, 0.0666);
    trait.h2 = Estimate(0.4321 + u, 0.0765);
    trait.rB = Estimate(0.8765 - u, 0.0432);
    for (int f = 1; f <= nFamily; ++f) {
      const double deviation = (f % 2 ? 1 : -1) * (0.5 + f * 0.0137) + u;
      trait.families.push_back({FamilyCode(f), 10 + f, 12.3456 + t + deviation, deviation, f, 0.4321 * deviation,
                                f <= nFamily / 4});
      for (int s = 0; s < 3; ++s) trait.siteFamilyMeans.push_back(11.75 + f * 0.11 + s * 0.7 * (f % 3) + u);
    }
    r.traits.push_back(trait);
  }
  for (int a = 1; a <= nTrait; ++a)
    for (int b = a + 1; b <= nTrait; ++b) {
      PairResult pair;
      pair.trait1 = a;
      pair.trait2 = b;
      pair.name1 = r.design.traits[static_cast<std::size_t>(a) - 1];
      pair.name2 = r.design.traits[static_cast<std::size_t>(b) - 1];
      pair.ancova = {{"Family", 4, 1.25 + a, 0.3125}};
      pair.covF = 0.0101 * a;
      pair.covSF = -0.0202 * b;
      pair.covE = 0.0303;
      pair.rP = Valued(0.01 * a + 0.001 * b, 0.0123, false);
      pair.rPTree = Valued(0.005 * a + 0.001 * b, 0.0101, false);
      if (a != 3 && b != 3) pair.rF = Valued(-0.02 * a - 0.001 * b, 0.0456, false);
      r.pairs.push_back(pair);
    }
  r.precision.warning = "single precision moved 1 value";
  r.precision.findings = {{"kFSF", 30.05, 30.0}};
  return r;
}

// The results as the JSON document writes them, precision and all, through
// the file the run writes.
json DocumentOf(const Results& results) {
  test::TempDir dir;
  const std::string path = dir / "results.json";
  {
    OutputSet set;
    OutputFile& file = set.Add(path, {"json", "results file", "--json", true});
    WriteResultsJson(results, file);
    WriteResultsJsonEnd(results.precision, file);
    set.CommitAll();
  }
  std::ifstream in(path);
  return json::parse(in);
}

// Every number and string of the document as the page would write it.
void Collect(const json& value, std::set<std::string>& shown) {
  static const std::regex number(R"(-?\d{1,3}(,\d{3})+(\.\d+)?|-?\d+(\.\d+)?(e[-+]\d+)?)");
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
  // The page's own words: the level of its intervals, the year of the
  // method it cites.
  known.insert({"90", "1985"});
  std::string text = std::regex_replace(page, std::regex(R"(<style>[^<]*</style>)"), "");
  text = std::regex_replace(text, std::regex(R"(<script>[\s\S]*?</script>)"), "");
  text = std::regex_replace(text, std::regex(R"(<[^>]*>)"), " ");
  for (const auto& [entity, character] : {std::pair{"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&#39;", "'"}})
    text = std::regex_replace(text, std::regex(entity), character);
  std::vector<std::string> strangers;
  static const std::regex number(R"(-?\d{1,3}(,\d{3})+(\.\d+)?|-?\d+(\.\d+)?(e[-+]\d+)?)");
  for (std::sregex_iterator it(text.begin(), text.end(), number), end; it != end; ++it)
    if (!known.contains(it->str())) strangers.push_back(it->str());
  return strangers;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}


// Near to the last few bits: every hand value below is a short formula.
void ExpectClose(const json& actual, double expected, const std::string& what) {
  ASSERT_TRUE(actual.is_number()) << what << ": " << actual;
  EXPECT_NEAR(actual.get<double>(), expected, 1e-12 * std::max(1.0, std::abs(expected))) << what;
}

// The worked example (M.S. Family 40.5, Site*Family 0.5, Error 4.5 on 1, 1
// and 2 d.f.; kF 4, kFSF = kSF = 2) with a second trait that is the first
// negated: its correlations are -1 with no sampling error at all.
TEST(ResultsDocument, WorkedExampleByHand) {
  const RunData run = test::BuildTrial(test::WorkedExampleTrees({1, -1}));
  const std::atomic<bool> stop{false};
  const ExactResults exact = ComputeExact(run, stop);
  RunParameters params;
  params.familyKind = FamilyKind::kHalfSib;
  const json doc = DocumentOf(BuildResults(run, exact, params));
  const json& t = doc["traits"][0];
  EXPECT_EQ(doc["design"]["cells"], 4);
  EXPECT_EQ(doc["design"]["sites"][1]["blocks"], json({"1", "2"}));
  const json& family = t["anova"][2];
  ExpectClose(family["F"], 81, "F of Family against Site*Family alone (kFSF = kSF)");
  ExpectClose(family["dfDenominator"], 1, "Satterthwaite d.f.");
  ExpectClose(family["p"], 1 - 2 / std::numbers::pi * std::atan(9.0), "P(F(1,1) > 81)");
  ExpectClose(t["anova"][3]["F"], 1 / 9.0, "F of Site*Family");
  ExpectClose(t["anova"][3]["p"], 1 - 1 / std::sqrt(19.0), "P(F(1,2) > 1/9)");
  EXPECT_TRUE(t["anova"][4]["F"].is_null());
  // h2 = 1 - M.S. Site*Family / M.S. Family; Var = 2/3 (0.5^2 / 40.5^2 ... ) = 1 / (3 * 40.5^2)
  ExpectClose(t["h2"]["se"], std::sqrt(1 / (3 * 1640.25)), "se of h2");
  EXPECT_EQ(t["components"]["Vsf"]["atOrBelowZero"], true);
  EXPECT_EQ(t["components"]["Vf"]["atOrBelowZero"], false);
  ExpectClose(t["rB"]["estimate"], 1.25, "rB = 10 / (10 - 2)");
  ExpectClose(t["rB"]["se"], std::sqrt(529.875) / 64, "se of rB");
  ExpectClose(t["h2Individual"]["estimate"], 3.2, "4 Vf / (Vf + Vsf + Ve)");
  const double h2 = 40 / 40.5;
  for (int j = 0; j < 2; ++j) {
    const json& f = t["families"][j];
    const double deviation = j == 0 ? -2.25 : 2.25;  // constants 15 and 19.5 about the mean 17.25
    ExpectClose(f["deviation"], deviation, "deviation");
    ExpectClose(f["predictedEffect"], h2 * deviation, "predicted effect");
    EXPECT_EQ(f["rank"], 2 - j);
    EXPECT_EQ(f["selected"], j == 1) << "a tenth of two families is the best one";
  }
  const double cellMeans[] = {11, 15, 19, 24};
  for (int c = 0; c < 4; ++c) ExpectClose(t["siteFamilyMeans"][c], cellMeans[c], "cell mean");
  const json& pair = doc["pairs"][0];
  for (const char* r : {"rP", "rF"}) {
    ExpectClose(pair[r]["estimate"], -1, r);
    EXPECT_NEAR(pair[r]["se"].get<double>(), 0, 1e-12) << r;
  }
}

// What no such quantity can be is flagged, and what cannot be estimated is
// withheld with its reason, in the document and the tables alike: a trait
// that varies only between sites and blocks, a heritability below 0, shares
// above 1, correlations of exactly -1 that rounding puts beyond it.
TEST(ResultsDocument, ImpossibleValuesFlaggedAndEstimatesWithheldWithTheirReasons) {
  // Trait 1: sites and blocks only. Trait 2: a site x family interaction
  // with almost no family effect, so M.S. Family lies far below the mean
  // square it is tested against.
  std::vector<test::Tree> trees = test::Layout(2, 3, 4, [](int, int, int) { return 2; });
  std::mt19937 rng(7);
  std::normal_distribution<float> noise(0, 0.05f);
  for (test::Tree& tree : trees) {
    const float interaction = (static_cast<int>(tree.site + tree.family) % 2 ? 6.0f : -6.0f);
    tree.values = {10 * tree.site + tree.block, 20 + interaction + noise(rng) + 0.01f * tree.family};
  }
  const RunData run = test::BuildTrial(trees);
  const std::atomic<bool> stop{false};
  const ExactResults exact = ComputeExact(run, stop);
  RunParameters params;
  params.familyKind = FamilyKind::kHalfSib;
  const Results results = BuildResults(run, exact, params);
  const json doc = DocumentOf(results);
  auto withheld = [](const json& item) {
    std::map<std::string, std::string> reasons;
    for (const json& w : item["withheld"]) reasons[w["quantity"]] = w["reason"];
    return reasons;
  };

  const json& flat = doc["traits"][0];
  for (const char* quantity : {"Vf", "Vsf", "Ve"}) EXPECT_TRUE(flat["components"][quantity].is_null()) << quantity;
  for (const char* quantity : {"h2", "rB", "h2Individual"}) EXPECT_TRUE(flat[quantity].is_null()) << quantity;
  const auto flatReasons = withheld(flat);
  for (const char* quantity : {"Vf", "h2", "familyTest", "siteFamilyTest", "predictedEffect", "selected"})
    EXPECT_THAT(flatReasons.at(quantity), HasSubstr("varies only between sites and blocks")) << quantity;
  for (const json& line : flat["anova"]) {
    EXPECT_GE(line["ss"].get<double>(), 0) << line["source"];
    EXPECT_FALSE(line["reduction"].get<std::string>().empty());
  }
  EXPECT_TRUE(flat["anova"][2]["F"].is_null());
  EXPECT_TRUE(flat["anova"][3]["F"].is_null());
  for (const json& f : flat["families"]) {
    EXPECT_TRUE(f["predictedEffect"].is_null());
    EXPECT_EQ(f["selected"], false);
  }
  const json& pair = doc["pairs"][0];
  for (const char* r : {"rP", "rPTree", "rF"}) {
    EXPECT_TRUE(pair[r].is_null()) << r;
    EXPECT_THAT(withheld(pair).at(r), HasSubstr("varies only between sites and blocks")) << r;
  }

  const json& crossed = doc["traits"][1];
  ASSERT_TRUE(crossed["h2"].is_object());
  EXPECT_LT(crossed["h2"]["estimate"].get<double>(), 0);
  EXPECT_EQ(crossed["h2"]["flag"], "below 0");
  EXPECT_THAT(crossed["h2"]["note"].get<std::string>(), HasSubstr("Vf is"));
  EXPECT_THAT(withheld(crossed).at("predictedEffect"), HasSubstr("outside [0, 1]"));
  double deviations = 0;
  for (const json& f : crossed["families"]) {
    EXPECT_TRUE(f["predictedEffect"].is_null());
    EXPECT_EQ(f["selected"], false) << "no selection on a heritability below 0";
    deviations += f["deviation"].get<double>();
  }
  EXPECT_NEAR(deviations, 0, 1e-9) << "deviations start at the mean of the family constants";

  // The tables keep a row for every quantity, empty where it is withheld,
  // with the reason; and the page draws no HTML inside its drawings.
  std::string components;
  for (const CsvTable& table : ResultsTables(results))
    if (table.fileName == "components.csv") components = table.text;
  EXPECT_THAT(components, HasSubstr("1,trait 1,Vf,,,,,,,,\"the trait varies only between sites and blocks"));
  EXPECT_THAT(components, HasSubstr(",below 0,"));
  const std::string page = HtmlPage(results);
  for (std::size_t at = page.find("<svg"); at != std::string::npos; at = page.find("<svg", at + 1)) {
    const std::string drawing = page.substr(at, page.find("</svg>", at) - at);
    EXPECT_THAT(drawing, Not(HasSubstr("<span"))) << "an HTML element ends the drawing";
  }
  EXPECT_THAT(page, HasSubstr("(below 0)"));
}

// Shares above 1 of the worked example, and correlations of a trait with its
// negation, -1 but for rounding: flagged, and set to -1 where only rounding
// put them beyond it.
TEST(ResultsDocument, SharesAboveOneAndRoundingBeyondMinusOne) {
  const RunData run = test::BuildTrial(test::WorkedExampleTrees({1, -1}));
  const std::atomic<bool> stop{false};
  RunParameters params;
  params.familyKind = FamilyKind::kHalfSib;
  const json doc = DocumentOf(BuildResults(run, ComputeExact(run, stop), params));
  const json& t = doc["traits"][0];
  EXPECT_EQ(t["rB"]["flag"], "above 1");
  EXPECT_THAT(t["rB"]["note"].get<std::string>(), HasSubstr("Vsf is -2"));
  EXPECT_EQ(t["h2Individual"]["flag"], "above 1");
  EXPECT_TRUE(t["h2"]["flag"].is_null());
  EXPECT_TRUE(t["families"][0]["predictedEffect"].is_number()) << "h2 lies in [0, 1]: effects are predicted";
  // Knapp's interval by hand: F = 81 on (1, 1) d.f., and F(1, 1) is the
  // square of a Cauchy variable, P(F <= x) = (2 / pi) atan(sqrt(x)).
  EXPECT_EQ(doc["design"]["balanced"], true);
  const json& interval = t["h2"]["interval90"];
  EXPECT_EQ(interval["method"], "exact (Knapp et al. 1985)");
  const double upper95 = std::pow(std::tan(0.95 * std::numbers::pi / 2), 2), lower5 = std::pow(std::tan(0.05 * std::numbers::pi / 2), 2);
  ExpectClose(interval["lower"], 1 - upper95 / 81, "lower bound of h2");
  ExpectClose(interval["upper"], 1 - lower5 / 81, "upper bound of h2");
  for (const char* r : {"rP", "rPTree", "rF"}) {
    const json& c = doc["pairs"][0][r];
    ASSERT_TRUE(c.is_object()) << r;
    EXPECT_GE(c["estimate"].get<double>(), -1) << r;
    EXPECT_TRUE(c["flag"].is_null() || c["flag"] == "rounded to ±1") << r << ": " << c["flag"];
  }
}

json RunWithResults(const test::TempDir& dir, const std::string& data, const std::string& traits,
                    const std::vector<std::string>& more = {}) {
  std::vector<std::string> args = {"--data", data, "--output", dir / "trial.out", "--age", "10",
                                   "--site-col", "1,4", "--block-col", "5,4", "--family-col", "9,6",
                                   "--age-col", "15,4", "--trait-col", "19,10", "--traits", traits, "--quiet",
                                   "--json", dir / "trial.json", "--tables", dir / "tables", "--html",
                                   dir / "trial.html"};
  args.insert(args.end(), more.begin(), more.end());
  const test::CliResult run = test::RunCli(args);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  return json::parse(test::ReadFile(dir / "trial.json"));
}

// Intervals of h2 against the exact interval of Knapp et al. (1985) for the
// bamboo trial (5 and 5 d.f., every block holds every family equally) as
// computed apart from the program, and on unbalanced maize with the method
// said; the tree-level phenotypic correlation beside the family-mean one.
TEST(ResultsFiles, HeritabilityIntervalsExactWhereBalanced) {
  test::TempDir dir;
  const json bamboo = RunWithResults(dir, test::SourcePath("examples/bamboo_height.dat"), "1");
  EXPECT_EQ(bamboo["design"]["balanced"], true);
  const json& interval = bamboo["traits"][0]["h2"]["interval90"];
  EXPECT_NEAR(interval["lower"].get<double>(), -1.217, 5e-4);
  EXPECT_NEAR(interval["upper"].get<double>(), 0.913, 5e-4);
  EXPECT_EQ(interval["method"], "exact (Knapp et al. 1985)");

  test::TempDir maizeDir;
  const json maize = RunWithResults(maizeDir, test::SourcePath("examples/maize2010_6traits.dat"), "6");
  EXPECT_EQ(maize["design"]["balanced"], false);
  for (const json& trait : maize["traits"]) {
    double deviations = 0;
    for (const json& f : trait["families"]) deviations += f["deviation"].get<double>();
    EXPECT_NEAR(deviations / static_cast<double>(trait["families"].size()), 0, 1e-9) << trait["name"];
    if (!trait["h2"].is_object() || trait["h2"]["interval90"].is_null()) continue;
    const json& h2 = trait["h2"];
    EXPECT_EQ(h2["interval90"]["method"], "Satterthwaite approximation");
    EXPECT_LT(h2["interval90"]["lower"].get<double>(), h2["estimate"].get<double>());
    EXPECT_GT(h2["interval90"]["upper"].get<double>(), h2["estimate"].get<double>());
  }
  for (const json& pair : maize["pairs"]) {
    if (!pair["rPTree"].is_object()) continue;
    const json& r = pair["rPTree"];
    EXPECT_LE(std::abs(r["estimate"].get<double>()), 1) << pair["names"];
    if (!r["interval90"].is_null()) {
      EXPECT_LT(r["interval90"]["lower"].get<double>(), r["interval90"]["upper"].get<double>());
    }
  }
}

// The reference script's names for the document's values.
std::map<std::string, json> ReferenceNames(const json& doc) {
  std::map<std::string, json> v;
  for (const json& t : doc["traits"]) {
    const std::string id = std::to_string(t["index"].get<int>());
    const json none;
    auto take = [&](const std::string& name, const json& e) {
      v[name + "." + id] = e.value("estimate", none);
      v[name + "se." + id] = e.value("se", none);
    };
    take("h2", t["h2"]);
    take("rB", t["rB"]);
    take("h2i", t["h2Individual"]);
    v["Ffam." + id] = t["anova"][2]["F"], v["dfd." + id] = t["anova"][2]["dfDenominator"];
    v["pfam." + id] = t["anova"][2]["p"], v["Fsf." + id] = t["anova"][3]["F"], v["psf." + id] = t["anova"][3]["p"];
    v["mean." + id] = t["mean"];
    for (std::size_t j = 0; j < t["families"].size(); ++j)
      v["const." + id + "." + std::to_string(j + 1)] = t["families"][j]["constant"];
  }
  for (const json& p : doc["pairs"]) {
    const std::string id = std::to_string(p["traits"][0].get<int>()) + "." + std::to_string(p["traits"][1].get<int>());
    v["rPse" + id] = p["rP"]["se"];
    if (!p["rF"].is_null()) v["rFse" + id] = p["rF"]["se"];
  }
  return v;
}

void CollectNumbers(const json& value, std::multiset<double>& out) {
  if (value.is_number()) out.insert(value.get<double>());
  else if (value.is_structured())
    for (const json& item : value) CollectNumbers(item, out);
}

// The reference script (results_reference.py) differentiates numerically
// and sums a continued fraction: 1e-8 of each value is far above both
// errors and far below any slip of a formula. Every number of the tables
// must be one of the document's, to the bit.
TEST(ResultsFiles, RealTrialsAgreeWithAnIndependentComputation) {
  const std::pair<const char*, const char*> trials[] = {{"maize2010_6traits", "6"}, {"bamboo_height", "1"}};
  for (const auto& [name, traits] : trials) {
    SCOPED_TRACE(name);
    test::TempDir dir;
    const json doc = RunWithResults(dir, test::SourcePath("examples/" + std::string(name) + ".dat"), traits,
                                    {"--family-kind", "half-sib"});
    const std::map<std::string, json> shown = ReferenceNames(doc);
    std::ifstream file(test::SourcePath("tests/data/exact_reference/" + std::string(name) + "_results.txt"));
    std::size_t compared = 0;
    std::string key;
    for (double expected; file >> key >> expected; ++compared) {
      ASSERT_TRUE(shown.contains(key) && shown.at(key).is_number()) << key;
      EXPECT_NEAR(shown.at(key).get<double>(), expected, 1e-8 * std::abs(expected)) << key;
    }
    EXPECT_GT(compared, 10u);

    std::multiset<double> inDocument;
    CollectNumbers(doc, inDocument);
    std::size_t rows = 0;
    for (const std::string& table : ResultsTableNames()) {
      const std::vector<std::string> lines = test::ReadLines(dir.path() / "tables" / table);
      rows += lines.size() - 1;
      for (std::size_t n = 1; n < lines.size(); ++n) {
        std::istringstream fields(lines[n]);
        for (std::string field; std::getline(fields, field, ',');) {
          if (field.empty() || field.find_first_not_of("0123456789.-+e\r") != std::string::npos) continue;
          EXPECT_TRUE(inDocument.contains(std::stod(field))) << table << " line " << n + 1 << ": " << field;
        }
      }
    }
    const std::size_t nTrait = doc["traits"].size(), nPair = doc["pairs"].size();
    const std::size_t nFamily = doc["design"]["families"].size();
    // Design rows: 3 counts, sites, blocks, families, traits; then the other tables.
    std::size_t designRows = 3 + doc["design"]["sites"].size() + nFamily + nTrait;
    for (const json& site : doc["design"]["sites"]) designRows += site["blocks"].size();
    std::size_t withheld = 0;
    for (const json& item : doc["traits"]) withheld += item["withheld"].size();
    for (const json& item : doc["pairs"]) withheld += item["withheld"].size();
    // anova, components (every quantity, estimated or not), families long and
    // wide, cell means (a family a row), pairs, correlations, withheld.
    EXPECT_EQ(rows, designRows + 5 * nTrait + 8 * nTrait + nFamily * nTrait + nFamily + nFamily + 5 * nPair + nPair +
                        withheld);
    // The page shows the document's numbers, rounded for the eye, and no other.
    const std::string page = test::ReadFile(dir / "trial.html");
    EXPECT_THAT(page, ::testing::StartsWith("<!DOCTYPE html>"));
    EXPECT_THAT(NumbersNotInTheDocument(page, doc), ::testing::IsEmpty());
  }
}

// --reml through the whole program: REML beside the analysis of variance in
// every results file, each number on the page and in the tables one of the
// document's; on the balanced bamboo trial, whose moment estimates are all
// positive, the two estimators agree, as they must.
TEST(ResultsFiles, RemlBesideTheAnalysisOfVariance) {
  test::TempDir dir;
  const std::string maize = test::SourcePath("examples/maize2010_6traits.dat");
  const std::vector<std::string> args = {"--data", maize, "--output", dir / "trial.out", "--age", "10",
                                         "--site-col", "1,4", "--block-col", "5,4", "--family-col", "9,6",
                                         "--age-col", "15,4", "--trait-col", "19,10", "--traits", "6",
                                         "--json", dir / "trial.json", "--tables", dir / "tables", "--html",
                                         dir / "trial.html", "--reml"};
  const test::CliResult run = test::RunCli(args);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_THAT(run.err + run.out, testing::ContainsRegex("REML of 6 traits and 15 pairs in [0-9.]+ s, [0-9]+ to [0-9]+ iterations"));
  const json doc = json::parse(test::ReadFile(dir / "trial.json"));
  ASSERT_TRUE(doc["reml"].is_object());
  ASSERT_EQ(doc["reml"]["traits"].size(), 6u);
  const double select = doc["input"]["select"].get<double>();
  for (std::size_t t = 0; t < 6; ++t) {
    const json& reml = doc["reml"]["traits"][t];
    const json& anova = doc["traits"][t];
    SCOPED_TRACE(reml["name"].get<std::string>());
    EXPECT_EQ(reml["status"], "converged");
    for (const char* c : {"Vf", "Vsf", "Ve"}) EXPECT_GE(reml["components"][c]["estimate"].get<double>(), 0) << c;
    const double h2 = reml["h2"]["estimate"].get<double>();
    EXPECT_TRUE(h2 >= 0 && h2 <= 1);
    // The selections by BLUP and by the constants take as many families, and
    // the families said to differ are those in one selection only.
    std::set<std::string> byBlup, byConstants;
    const std::size_t n = anova["families"].size();
    const auto k = static_cast<int>(std::ceil(select * static_cast<double>(n) - 1e-9));
    for (std::size_t j = 0; j < n; ++j) {
      if (reml["families"][j]["selected"] == true) byBlup.insert(reml["families"][j]["code"]);
      if (anova["families"][j]["rank"].get<int>() <= k) byConstants.insert(anova["families"][j]["code"]);
    }
    EXPECT_EQ(byBlup.size(), byConstants.size());
    std::set<std::string> constantsOnly, blupOnly;
    for (const std::string& code : byConstants)
      if (!byBlup.contains(code)) constantsOnly.insert(code);
    for (const std::string& code : byBlup)
      if (!byConstants.contains(code)) blupOnly.insert(code);
    EXPECT_EQ(constantsOnly, reml["selectionDisagrees"]["byConstantsOnly"].get<std::set<std::string>>());
    EXPECT_EQ(blupOnly, reml["selectionDisagrees"]["byBlupOnly"].get<std::set<std::string>>());
  }
  // Every pair of at most 12 traits, each correlation within +-1 and each
  // matrix's variances those of a covariance matrix.
  ASSERT_EQ(doc["reml"]["pairs"].size(), 15u);
  for (const json& pair : doc["reml"]["pairs"]) {
    SCOPED_TRACE(pair["names"].dump());
    EXPECT_EQ(pair["status"], "converged");
    for (const char* r : {"rF", "rPTree"}) EXPECT_LE(std::abs(pair[r]["estimate"].get<double>()), 1) << r;
    for (const char* m : {"family", "siteFamily", "error"}) {
      const double v11 = pair[m]["v11"]["estimate"], v12 = pair[m]["v12"]["estimate"], v22 = pair[m]["v22"]["estimate"];
      EXPECT_GE(v11, 0) << m;
      EXPECT_GE(v22, 0) << m;
      EXPECT_LE(v12 * v12, v11 * v22 * (1 + 1e-9)) << m;
    }
  }
  std::multiset<double> inDocument;
  CollectNumbers(doc, inDocument);
  // The site x family effects of every cell with the trait.
  for (std::size_t t = 0; t < 6; ++t) {
    const json& cells = doc["reml"]["traits"][t]["cellBlups"];
    EXPECT_EQ(cells["blup"].size(), doc["design"]["cells"].get<std::size_t>());
    EXPECT_EQ(cells["site"].size(), cells["pev"].size());
  }
  for (const char* table : {"reml-components.csv", "reml-families.csv", "reml-cells.csv", "reml-pairs.csv"}) {
    const std::vector<std::string> lines = test::ReadLines(dir.path() / "tables" / table);
    ASSERT_GT(lines.size(), 6u) << table;
    for (std::size_t n = 1; n < lines.size(); ++n) {
      std::istringstream fields(lines[n]);
      for (std::string field; std::getline(fields, field, ',');) {
        if (field.empty() || field.find_first_not_of("0123456789.-+e\r") != std::string::npos) continue;
        EXPECT_TRUE(inDocument.contains(std::stod(field))) << table << " line " << n + 1 << ": " << field;
      }
    }
  }
  const std::string page = test::ReadFile(dir / "trial.html");
  EXPECT_THAT(page, HasSubstr("REML beside the analysis of variance"));
  EXPECT_THAT(NumbersNotInTheDocument(page, doc), ::testing::IsEmpty());

  test::TempDir bambooDir;
  const json bamboo = RunWithResults(bambooDir, test::SourcePath("examples/bamboo_height.dat"), "1", {"--reml"});
  const json& reml = bamboo["reml"]["traits"][0]["components"];
  const json& anova = bamboo["traits"][0]["components"];
  for (const char* c : {"Vf", "Vsf", "Ve"}) {
    const double expected = anova[c]["estimate"].get<double>();
    ASSERT_GT(expected, 0) << c;
    EXPECT_NEAR(reml[c]["estimate"].get<double>(), expected, 1e-9 * expected) << c;
  }
  EXPECT_TRUE(bamboo["reml"]["traits"][0]["differences"].empty());

  // Without --reml the key is there, null; --reml alone has nowhere to go.
  test::TempDir plainDir;
  EXPECT_TRUE(RunWithResults(plainDir, test::SourcePath("examples/bamboo_height.dat"), "1")["reml"].is_null());
  const test::CliResult alone = test::RunCli({"--data", maize, "--output", dir / "alone.out", "--reml"});
  EXPECT_EQ(alone.exitCode, 2);
  EXPECT_THAT(alone.err, HasSubstr("--reml adds REML and BLUP to the results files; name one with --json"));

  // The pairs named, by number or by name in any case; a trait that is not
  // there stops the run before anything is read, naming the traits.
  const std::string sheet = test::SourcePath("examples/maize2010_6traits.csv");
  auto named = [&](const std::string& pairs) {
    return test::RunCli({"--data", sheet, "--output", dir / "named.out", "--quiet", "--site-column", "site",
                         "--block-column", "rep", "--family-column", "hybrid", "--trait-columns", "5-10", "--json",
                         dir / "named.json", "--reml", "--reml-pairs", pairs});
  };
  ASSERT_EQ(named("6:1,Plant_Height_cm:ear_height_cm,1:6").exitCode, 0);
  const json chosen = json::parse(test::ReadFile(dir / "named.json"));
  ASSERT_EQ(chosen["reml"]["pairs"].size(), 2u);
  EXPECT_EQ(chosen["reml"]["pairs"][0]["traits"], json({1, 6}));
  EXPECT_EQ(chosen["reml"]["pairs"][1]["names"], json({"plant_height_cm", "ear_height_cm"}));
  ASSERT_EQ(named("none").exitCode, 0);
  EXPECT_TRUE(json::parse(test::ReadFile(dir / "named.json"))["reml"]["pairs"].empty());
  const test::CliResult wrong = named("1:yield");
  EXPECT_EQ(wrong.exitCode, 1);
  EXPECT_THAT(wrong.err, HasSubstr("--reml-pairs: 'yield' is no trait of " + sheet +
                                   "; name a trait by its number (1 to 6) or its name (days_to_flower, plant_height_cm"));
  EXPECT_THAT(named("1-2").err, HasSubstr("'1-2' is no pair; write two traits with a colon between them"));
}

// A run that fails after the results files were opened writes none of them
// and leaves earlier ones as they were; wrong values of the new options
// stop before anything is read.
TEST(ResultsFiles, FailedRunWritesNone) {
  test::TempDir dir;
  test::WriteFile(dir / "bad.dat", "   1   1   101  10        NA\n");
  test::WriteFile(dir / "trial.json", "earlier");
  const test::CliResult failed = test::RunCli({"--data", dir / "bad.dat", "--output", dir / "trial.out", "--age", "10",
                                               "--site-col", "1,4", "--block-col", "5,4", "--family-col", "9,6",
                                               "--age-col", "15,4", "--trait-col", "19,10", "--traits", "1",
                                               "--json", dir / "trial.json", "--tables", dir / "tables", "--html",
                                               dir / "trial.html"});
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_EQ(test::ReadFile(dir / "trial.json"), "earlier");
  EXPECT_FALSE(std::filesystem::exists(dir / "tables"));
  EXPECT_FALSE(std::filesystem::exists(dir / "trial.html"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2) << "no temporary file is left";
  // A results file that shares its name with the data, the report or
  // another results file would leave only one of them.
  const std::pair<std::vector<std::string>, std::string> shared[] = {
      {{"--json", dir / "bad.dat"}, "--json: " + dir / "bad.dat" + " is also the data file"},
      {{"--html", dir / "trial.out"}, "--html: " + dir / "trial.out" + " is also the output file"},
      {{"--json", dir / "r", "--html", dir / "r"}, "--html: " + dir / "r" + " is also given to --json"}};
  for (const auto& [options, message] : shared) {
    std::vector<std::string> args = {"--data", dir / "bad.dat", "--output", dir / "trial.out", "--age", "10",
                                     "--site-col", "1,4", "--block-col", "5,4", "--family-col", "9,6",
                                     "--age-col", "15,4", "--trait-col", "19,10", "--traits", "1"};
    args.insert(args.end(), options.begin(), options.end());
    const test::CliResult refused = test::RunCli(args);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_THAT(refused.err, HasSubstr(message));
  }
  EXPECT_EQ(test::ReadFile(dir / "bad.dat"), "   1   1   101  10        NA\n");
  for (const std::vector<std::string>& wrong : {std::vector<std::string>{"--select", "0"}, {"--select", "1.5"},
                                                {"--family-kind", "sibs"}}) {
    const test::CliResult usage = test::RunCli({"--data", dir / "bad.dat", "--output", dir / "trial.out", wrong[0], wrong[1]});
    EXPECT_EQ(usage.exitCode, 2) << wrong[0] << " " << wrong[1];
    EXPECT_THAT(usage.err, ::testing::HasSubstr(wrong[0] + ": '" + wrong[1] + "'"));
  }
}

// The page shows the document's values and nothing else, escapes the names
// and holds everything it needs.
TEST(HtmlPage, ShowsTheDocumentsNumbersAndFetchesNothing) {
  for (const int nTrait : {1, 3}) {
    SCOPED_TRACE(nTrait);
    const Results results = HandResults(nTrait, 8);
    const json doc = DocumentOf(results);
    const std::string page = HtmlPage(results);
    EXPECT_THAT(NumbersNotInTheDocument(page, doc), testing::IsEmpty());
    // Its one script is its own (open all, sorting), and fetches nothing.
    for (const char* outside : {"<script src", "<link", "<img", "src=", "href=", "url(", "@import", "fetch(", "XMLHttpRequest"})
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
  const Results results = HandResults(100, 12);
  const json doc = DocumentOf(results);
  const std::string page = HtmlPage(results);
  const std::size_t rP = page.find("Family-mean phenotypic correlations"),
                    rPTree = page.find("Phenotypic correlations between single trees"),
                    rF = page.find("Family (genetic) correlations");
  ASSERT_NE(rP, std::string::npos);
  ASSERT_NE(rPTree, std::string::npos);
  ASSERT_NE(rF, std::string::npos);
  for (const std::string& map : {page.substr(rP, rPTree - rP), page.substr(rPTree, rF - rPTree)}) {
    EXPECT_EQ(Count(map, "<rect"), 100u * 100u);
    EXPECT_EQ(Count(map, "no estimate"), 0u);
  }
  // rF of every pair with trait 3 is missing: 99 pairs, each twice.
  EXPECT_EQ(Count(page.substr(rF, page.find("<h2>Traits") - rF), "no estimate"), 2u * 99u);
  // The traits' sections and the table of the 4,950 pairs.
  EXPECT_EQ(Count(page, "<details>"), 101u);
  EXPECT_EQ(Count(page, "<details open>"), 0u);
  EXPECT_THAT(NumbersNotInTheDocument(page, doc), testing::IsEmpty());
}

TEST(HtmlPage, NumbersForTheEye) {
  const std::pair<double, const char*> cases[] = {
      {0.43214, "0.4321"}, {-0.0163, "-0.0163"}, {123456.7, "123,456.7"}, {12052.24, "12,052.2"}, {-98765.43, "-98,765.4"}, {1234567.89, "1,234,567.9"}, {600000.0, "600000"}, {30.0, "30"}, {0.0, "0"},
      {-0.0, "0"},         {1e-7, "1e-07"},      {NAN, "–"},            {INFINITY, "–"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(PageNumber(value), text) << value;
}

}  // namespace
}  // namespace korvan
