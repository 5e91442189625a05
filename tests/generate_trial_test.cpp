#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <charconv>
#include <cstdlib>
#include <map>
#include <numeric>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/test_support.h"

// The benchmark figures are only as good as the trials behind them: the
// generator must write the same bytes for the same seed, and the counts it
// hands to korvan-cli (which are capacities, so a wrong one fails the run)
// must be the ones in the file.

namespace korvan::test {
namespace {

#ifdef KORVAN_GENERATOR_PATH

struct Generated {
  int exitCode = -1;
  std::string command;  // stdout: the korvan-cli command
  std::string err;
};

Generated Generate(const TempDir& dir, const std::string& options) {
  const std::string command = std::string(KORVAN_GENERATOR_PATH) + " " + options + " >" + (dir / "stdout") +
                              " 2>" + (dir / "stderr");
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(dir / "stdout"), ReadFile(dir / "stderr")};
}

int Whole(std::string_view field) {
  const auto first = field.find_first_not_of(' ');
  int value = -1;
  if (first != std::string_view::npos) std::from_chars(field.data() + first, field.data() + field.size(), value);
  return value;
}

// What the data file holds, counted independently of the generator.
struct TrialContents {
  int records = 0;
  std::set<int> sites;
  std::set<int> families;
  std::map<int, std::set<int>> blocksOfSite;
  std::map<std::pair<int, int>, std::map<int, int>> treesOfCellByBlock;  // (site, family) -> block -> trees
  bool layoutOk = true;  // every record line has the width and decimals of the layout
};

TrialContents ReadTrial(const std::string& path, int traits) {
  TrialContents c;
  for (const std::string& line : ReadLines(path)) {
    if (!line.empty() && line[0] == ':') continue;
    const std::string_view text(line);
    if (text.size() != 18u + 10u * static_cast<unsigned>(traits) || Whole(text.substr(14, 4)) != 10) c.layoutOk = false;
    for (int t = 0; t < traits && c.layoutOk; ++t) {
      if (text[18 + 10 * t + 6] != '.') c.layoutOk = false;  // three decimals, right-aligned
    }
    const int site = Whole(text.substr(0, 4)), block = Whole(text.substr(4, 4)), family = Whole(text.substr(8, 6));
    ++c.records;
    c.sites.insert(site);
    c.families.insert(family);
    c.blocksOfSite[site].insert(block);
    ++c.treesOfCellByBlock[{site, family}][block];
  }
  return c;
}

std::map<std::string, long> ReadCounts(const std::string& path) {
  std::map<std::string, long> counts;
  for (const std::string& line : ReadLines(path)) {
    const auto blank = line.find(' ');
    counts[line.substr(0, blank)] = std::stol(line.substr(blank + 1));
  }
  return counts;
}

// Sites are tied together when some family stands at both; walking those ties
// from site 1 must reach every site, or the site effects are not estimable.
bool SitesLinked(const TrialContents& c) {
  std::map<int, std::set<int>> sitesOfFamily;
  for (const auto& [cell, blocks] : c.treesOfCellByBlock) sitesOfFamily[cell.second].insert(cell.first);
  std::set<int> reached{*c.sites.begin()};
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& [family, sites] : sitesOfFamily) {
      const bool touches = std::any_of(sites.begin(), sites.end(), [&](int s) { return reached.count(s) > 0; });
      for (const int s : sites) grew |= touches && reached.insert(s).second;
    }
  }
  return reached.size() == c.sites.size();
}

TEST(GenerateTrial, SameSeedSameBytesAndOtherSeedOtherValues) {
  TempDir dir;
  const std::string options = "--sites 4 --blocks 3 --families 25 --trees 2 --traits 3 --missing 0.3 ";
  ASSERT_EQ(Generate(dir, options + "--seed 7 --out " + (dir / "a.dat")).exitCode, 0);
  ASSERT_EQ(Generate(dir, options + "--seed 7 --out " + (dir / "b.dat")).exitCode, 0);
  ASSERT_EQ(Generate(dir, options + "--seed 8 --out " + (dir / "c.dat")).exitCode, 0);
  const std::string a = ReadFile(dir / "a.dat"), b = ReadFile(dir / "b.dat"), c = ReadFile(dir / "c.dat");
  EXPECT_EQ(a, b);
  EXPECT_NE(a.substr(a.find('\n')), c.substr(c.find('\n')));
}

// A thinned trial: a large share of the cells dropped, yet every family still
// stands somewhere, every site keeps all its blocks, every planted cell has its
// trees in every block of its site, and the sites stay linked.
TEST(GenerateTrial, CountsAndCommandMatchTheFileOfAThinnedTrial) {
  TempDir dir;
  const std::string data = dir / "thin.dat";
  const Generated run = Generate(dir, "--sites 6 --blocks 4 --families 40 --trees 3 --traits 2 --missing 0.8 "
                                      "--seed 3 --age 10 --sidecar --out " + data);
  ASSERT_EQ(run.exitCode, 0) << run.err;

  const TrialContents c = ReadTrial(data, 2);
  EXPECT_TRUE(c.layoutOk);
  EXPECT_EQ(c.sites.size(), 6u);
  EXPECT_EQ(c.families.size(), 40u);
  EXPECT_TRUE(SitesLinked(c));
  for (const auto& [site, blocks] : c.blocksOfSite) EXPECT_EQ(blocks.size(), 4u) << "site " << site;
  for (const auto& [cell, trees] : c.treesOfCellByBlock) {
    EXPECT_EQ(trees.size(), 4u) << "site " << cell.first << " family " << cell.second;
    for (const auto& [block, n] : trees) EXPECT_EQ(n, 3) << "site " << cell.first << " block " << block;
  }
  // 80 % of 240 cells dropped leaves about 48; the repairs put a few back.
  const long cells = static_cast<long>(c.treesOfCellByBlock.size());
  EXPECT_GE(cells, 48);
  EXPECT_LT(cells, 80);

  const auto counts = ReadCounts(data + ".counts");
  EXPECT_EQ(counts.at("records"), c.records);
  EXPECT_EQ(counts.at("records"), cells * 4 * 3);
  EXPECT_EQ(counts.at("nSF"), cells);
  EXPECT_EQ(counts.at("nRep"), 24);
  EXPECT_EQ(counts.at("p"), 1 + 6 + 24);
  EXPECT_EQ(counts.at("K"), 24 + 40);

  const std::vector<std::string> expected{
      "--data", data, "--output", dir / "thin.out", "--sites", "6", "--blocks", "4", "--families", "40",
      "--records", std::to_string(c.records), "--traits", "2", "--age", "10", "--site-col", "1,4",
      "--block-col", "5,4", "--family-col", "9,6", "--age-col", "15,4", "--trait-col", "19,10"};
  EXPECT_EQ(ReadLines(data + ".args"), expected);
  const std::string oneLine = std::accumulate(expected.begin(), expected.end(), std::string("korvan-cli"),
                                              [](std::string s, const std::string& a) { return s + " " + a; });
  EXPECT_EQ(run.command, oneLine + "\n");
}

TEST(GenerateTrial, MalformedOptionsAreUsageErrorsNamingTheOption) {
  TempDir dir;
  const std::string out = " --out " + (dir / "x.dat");
  const Generated badCount = Generate(dir, "--sites 3x --blocks 2 --families 5" + out);
  EXPECT_EQ(badCount.exitCode, 2);
  EXPECT_THAT(badCount.err, ::testing::HasSubstr("--sites needs a whole number"));
  const Generated badFraction = Generate(dir, "--sites 3 --blocks 2 --families 5 --missing 1" + out);
  EXPECT_EQ(badFraction.exitCode, 2);
  EXPECT_THAT(badFraction.err, ::testing::HasSubstr("--missing"));
  EXPECT_EQ(Generate(dir, "--sites 3 --blocks 2" + out).exitCode, 2);
}

#else

TEST(GenerateTrial, NotBuilt) { GTEST_SKIP() << "generate_trial is not built (KORVAN_BUILD_BENCH=OFF)"; }

#endif

}  // namespace
}  // namespace korvan::test
