#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <numbers>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "exact/exact_engine.h"
#include "results/results_document.h"
#include "results/tables.h"
#include "support/test_support.h"
#include "support/trial_builder.h"

namespace korvan {
namespace {

using nlohmann::json;

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
  const json doc = ResultsDocument(run, exact, params, {});
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
  for (int c = 0; c < 4; ++c) ExpectClose(t["siteFamilyMeans"][c]["mean"], cellMeans[c], "cell mean");
  const json& pair = doc["pairs"][0];
  for (const char* r : {"rP", "rF"}) {
    ExpectClose(pair[r]["estimate"], -1, r);
    EXPECT_NEAR(pair[r]["se"].get<double>(), 0, 1e-12) << r;
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
    EXPECT_EQ(rows, designRows + 5 * nTrait + 7 * nTrait + nFamily * nTrait + 5 * nPair + nPair);
    EXPECT_THAT(test::ReadFile(dir / "trial.html"), ::testing::StartsWith("<!DOCTYPE html>"));
  }
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
  for (const std::vector<std::string>& wrong : {std::vector<std::string>{"--select", "0"}, {"--select", "1.5"},
                                                {"--family-kind", "sibs"}}) {
    const test::CliResult usage = test::RunCli({"--data", dir / "bad.dat", "--output", dir / "trial.out", wrong[0], wrong[1]});
    EXPECT_EQ(usage.exitCode, 2) << wrong[0] << " " << wrong[1];
    EXPECT_THAT(usage.err, ::testing::HasSubstr(wrong[0] + ": '" + wrong[1] + "'"));
  }
}

}  // namespace
}  // namespace korvan
