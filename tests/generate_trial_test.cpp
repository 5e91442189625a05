#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <numeric>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

// The benchmark figures are only as good as the trials behind them: the
// generator must write the same bytes for the same seed, and the counts it
// hands to korvan-cli (which are capacities, so a wrong one fails the run)
// must be the ones in the file.

namespace korvan::test {
namespace {

#ifdef KORVAN_GENERATOR_PATH

CliResult Generate(const std::string& options) {
  std::vector<std::string> args;
  std::istringstream words(options);
  for (std::string word; words >> word;) args.push_back(word);
  return RunProgram(KORVAN_GENERATOR_PATH, args);
}

// A thinned trial: a large share of the cells dropped, yet every family still
// stands somewhere, every site keeps all its blocks, every planted cell has its
// trees in every block of its site, and the command it gives analyses the
// trial (so the sites stay linked and the counts hold). The same seed writes
// the same bytes; another seed other values.
TEST(GenerateTrial, CountsAndCommandMatchTheFileOfAThinnedTrial) {
  TempDir dir;
  const std::string data = dir / "thin.dat";
  const std::string options = "--sites 6 --blocks 4 --families 40 --trees 3 --traits 2 --missing 0.8 --age 10 ";
  const CliResult run = Generate(options + "--seed 3 --sidecar --out " + data);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  ASSERT_EQ(Generate(options + "--seed 3 --out " + (dir / "same.dat")).exitCode, 0);
  ASSERT_EQ(Generate(options + "--seed 4 --out " + (dir / "other.dat")).exitCode, 0);
  const std::string a = ReadFile(data), other = ReadFile(dir / "other.dat");
  EXPECT_EQ(ReadFile(dir / "same.dat"), a);
  EXPECT_NE(a.substr(a.find('\n')), other.substr(other.find('\n')));

  // What the file holds, counted independently of the generator, by
  // (site, family) cell and block; every record in the layout's width, with
  // the age and three decimals.
  std::map<std::pair<int, int>, std::map<int, int>> treesOfCellByBlock;
  std::set<int> sites, families;
  long records = 0;
  bool layoutOk = true;
  for (const std::string& line : ReadLines(data)) {
    if (line.starts_with(':')) continue;
    layoutOk &= line.size() == 38 && line.substr(14, 4) == "  10" && line[24] == '.' && line[34] == '.';
    const int site = std::stoi(line.substr(0, 4)), family = std::stoi(line.substr(8, 6));
    ++records, sites.insert(site), families.insert(family);
    ++treesOfCellByBlock[{site, family}][std::stoi(line.substr(4, 4))];
  }
  EXPECT_TRUE(layoutOk);
  EXPECT_EQ(sites.size(), 6u);
  EXPECT_EQ(families.size(), 40u);
  // Each site has a cell, so each keeps its 4 blocks.
  for (const auto& [cell, trees] : treesOfCellByBlock) {
    EXPECT_EQ(trees.size(), 4u) << "site " << cell.first << " family " << cell.second;
    for (const auto& [block, n] : trees) EXPECT_EQ(n, 3) << "site " << cell.first << " block " << block;
  }
  // 80 % of 240 cells dropped leaves about 48; the repairs put a few back.
  const long cells = static_cast<long>(treesOfCellByBlock.size());
  EXPECT_GE(cells, 48);
  EXPECT_LT(cells, 80);

  std::map<std::string, long> counts;
  for (const std::string& line : ReadLines(data + ".counts"))
    counts[line.substr(0, line.find(' '))] = std::stol(line.substr(line.find(' ')));
  const std::map<std::string, long> expectedCounts = {
      {"records", cells * 4 * 3}, {"sites", 6}, {"blocks", 4}, {"nRep", 24}, {"families", 40},
      {"nSF", cells},             {"traits", 2}, {"p", 1 + 6 + 24}, {"K", 24 + 40}};
  EXPECT_EQ(counts, expectedCounts);
  EXPECT_EQ(records, cells * 4 * 3);

  const std::vector<std::string> expected{
      "--data", data, "--output", dir / "thin.out", "--sites", "6", "--blocks", "4", "--families", "40",
      "--records", std::to_string(records), "--traits", "2", "--age", "10", "--site-col", "1,4",
      "--block-col", "5,4", "--family-col", "9,6", "--age-col", "15,4", "--trait-col", "19,10"};
  EXPECT_EQ(ReadLines(data + ".args"), expected);
  const CliResult analysed = RunCli(expected);
  EXPECT_EQ(analysed.exitCode, 0) << analysed.err;
  const std::string oneLine = std::accumulate(expected.begin(), expected.end(), std::string("korvan-cli"),
                                              [](std::string s, const std::string& a) { return s + " " + a; });
  EXPECT_EQ(run.out, oneLine + "\n");
}

TEST(GenerateTrial, MalformedOptionsAreUsageErrorsNamingTheOption) {
  const std::pair<const char*, const char*> cases[] = {  // options, in the message
      {"--sites 3x --blocks 2 --families 5", "--sites needs a whole number"},
      {"--sites 3 --blocks 2 --families 5 --missing 1", "--missing"},
      {"--sites 3 --blocks 2", ""}};
  TempDir dir;
  for (const auto& [options, message] : cases) {
    const CliResult run = Generate(std::string(options) + " --out " + (dir / "x.dat"));
    EXPECT_EQ(run.exitCode, 2) << options;
    EXPECT_THAT(run.err, ::testing::HasSubstr(message)) << options;
  }
}

#else

TEST(GenerateTrial, NotBuilt) { GTEST_SKIP() << "generate_trial is not built (KORVAN_BUILD_BENCH=OFF)"; }

#endif

}  // namespace
}  // namespace korvan::test
