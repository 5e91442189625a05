#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "format/number_format.h"
#include "linalg/invert_matrix.h"
#include "model/absorb.h"
#include "support/test_design.h"

namespace korvan {
namespace {

using test::Layout;
using test::MakeDesign;
using test::Tree;

std::uint32_t Bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// The set-up as the reference states it: dense shared tables, every count
// added record by record, every sum over all levels in order. Slow, and
// written to be read against the reference rather than to be fast.
class Literal {
 public:
  explicit Literal(const RunData& run)
      : run_(run), countMat(run.p, run.q), levelCount(static_cast<std::size_t>(run.q) + 1) {}

  std::pair<int, int> CountBlock(int a, int b, bool rowGlobal, bool colGlobal) {
    const auto& off = run_.colOffset;
    const int na = off[a + 1] - off[a], nb = off[b + 1] - off[b];
    const int rowShift = rowGlobal ? 0 : off[a], colShift = colGlobal ? 0 : off[b];
    for (int r = off[a] - rowShift + 1; r <= off[a] - rowShift + na; ++r)
      for (int c = off[b] - colShift + 1; c <= off[b] - colShift + nb; ++c) countMat(r, c) = 0.0f;
    for (int rec = 1; rec <= run_.nRecord; ++rec)
      countMat(run_.recordColumn(rec, a) - rowShift, run_.recordColumn(rec, b) - colShift) += 1.0f;
    return {na, nb};
  }

  int CountLevels(int k) {
    const int n = run_.colOffset[k + 1] - run_.colOffset[k];
    std::fill(levelCount.begin() + 1, levelCount.begin() + n + 1, 0.0f);
    for (int rec = 1; rec <= run_.nRecord; ++rec) levelCount[run_.recordColumn(rec, k) - run_.colOffset[k]] += 1.0f;
    return n;
  }

  Table2<float> Absorb(int a, int b, bool perSiteConstraint) {
    const int nA = CountBlock(a, a, false, false).first;
    Table2<float> absBase(run_.p, run_.p), absorbedMat(run_.p, run_.p);
    for (int i = 1; i <= nA; ++i)
      for (int j = 1; j <= nA; ++j) {
        const bool sameSite = run_.repSite[run_.repOffset + i] == run_.repSite[run_.repOffset + j];
        absBase(i, j) = !perSiteConstraint || sameSite ? countMat(i, j) + 1.0f : countMat(i, j);
      }
    const int nB = CountLevels(b);
    CountBlock(a, b, false, false);
    for (int i = 1; i <= nA; ++i)
      for (int j = 1; j <= nA; ++j) {
        absorbedMat(i, j) = 0.0f;
        for (int k = 1; k <= nB; ++k)
          absorbedMat(i, j) = RoundToSingle(static_cast<double>(countMat(i, k)) * static_cast<double>(countMat(j, k)) /
                                                static_cast<double>(levelCount[k]) +
                                            static_cast<double>(absorbedMat(i, j)));
        absorbedMat(i, j) = absBase(i, j) - absorbedMat(i, j);
      }
    return absorbedMat;
  }

 private:
  const RunData& run_;

 public:
  Table2<float> countMat;         // 0..p, 0..q
  std::vector<float> levelCount;  // 0..q
};

// Varied designs: 1 to 4 sites of 1 to 4 blocks, 2 to 9 families, plots
// present with a chance of a third, two thirds or always, 1 to 3 trees in a
// plot, codes out of order and the records shuffled. Every 25th design is
// large enough (about 120 blocks and 50 families) for the work to be shared
// among threads.
std::vector<Tree> RandomTrees(std::mt19937& rng, int trial) {
  const bool large = trial % 25 == 24;
  std::uniform_int_distribution<int> siteCount(large ? 12 : 1, large ? 12 : 4);
  std::uniform_int_distribution<int> blockCount(large ? 8 : 1, large ? 12 : 4);
  std::uniform_int_distribution<int> familyCount(large ? 40 : 2, large ? 60 : 9), trees(1, 3);
  const double presence[3] = {0.35, 0.7, 1.0};
  std::bernoulli_distribution present(large ? 0.9 : presence[trial % 3]);
  const int sites = siteCount(rng), families = familyCount(rng);
  std::vector<Tree> out;
  for (int s = 1; s <= sites; ++s) {
    const int blocks = blockCount(rng);
    for (int b = 1; b <= blocks; ++b)
      for (int f = 1; f <= families; ++f)
        if (present(rng))
          for (int t = trees(rng); t > 0; --t)
            out.push_back({static_cast<float>(10 * s), static_cast<float>(b + 0.5f), static_cast<float>(100 - 7 * f)});
  }
  if (out.empty()) out.push_back({1, 1, 1});
  std::shuffle(out.begin(), out.end(), rng);
  return out;
}

std::string Describe(const RunData& run) {
  return std::to_string(run.nSite) + " sites, " + std::to_string(run.nRep) + " blocks, " +
         std::to_string(run.nFamily) + " families, " + std::to_string(run.nSF) + " cells, " +
         std::to_string(run.nRecord) + " trees";
}

// Rows and columns 1..n of two tables hold the same bits; reports the first
// difference with both values.
::testing::AssertionResult SameBits(const Table2<float>& expected, const Table2<float>& actual, int rows, int cols) {
  for (int i = 1; i <= rows; ++i)
    for (int j = 1; j <= cols; ++j)
      if (Bits(expected(i, j)) != Bits(actual(i, j)))
        return ::testing::AssertionFailure() << "(" << i << "," << j << "): expected " << expected(i, j) << " ("
                                             << std::hex << Bits(expected(i, j)) << "), got " << actual(i, j) << " ("
                                             << Bits(actual(i, j)) << std::dec << ")";
  return ::testing::AssertionSuccess();
}

TEST(Absorb, FamiliesIntoBlocksOfTheSmallExamples) {
  // One site, two blocks, two families, one tree in every plot: D_r = diag(2, 2),
  // N = all ones, D_f = diag(2, 2), so the reduced matrix is (1 -1; -1 1) and
  // the constraint ones make it (2 0; 0 2), with either kind of constraint.
  const RunData oneSite = MakeDesign(Layout(1, 2, 2, [](int, int, int) { return 1; }));
  const Incidence n = CountIncidence(oneSite, 3, 4);
  for (bool perSite : {false, true}) {
    const Table2<float> s = Absorb(oneSite, n, perSite);
    EXPECT_EQ(s(1, 1), 2.0f);
    EXPECT_EQ(s(1, 2), 0.0f);
    EXPECT_EQ(s(2, 1), 0.0f);
    EXPECT_EQ(s(2, 2), 2.0f);
  }
  // Two sites of one block each: per site, only the diagonal gets its one.
  const RunData twoSites = MakeDesign(Layout(2, 1, 2, [](int, int, int) { return 1; }));
  const Table2<float> perSite = Absorb(twoSites, CountIncidence(twoSites, 3, 4), true);
  EXPECT_EQ(perSite(1, 1), 2.0f);
  EXPECT_EQ(perSite(1, 2), -1.0f);
  EXPECT_EQ(perSite(2, 2), 2.0f);
  const Table2<float> overall = Absorb(twoSites, CountIncidence(twoSites, 3, 4), false);
  EXPECT_EQ(overall(1, 2), 0.0f);
}

TEST(Absorb, RowsSumToTheConstraintOnes) {
  // The reduced rows sum to zero, so what is left is the ones added: nA per
  // row overall, the number of blocks of the row's own site per site.
  std::mt19937 rng(11);
  for (int trial = 0; trial < 30; ++trial) {
    const RunData run = MakeDesign(RandomTrees(rng, trial));
    for (const auto& [b, perSite] : {std::pair{4, false}, std::pair{5, true}}) {
      const Incidence inc = CountIncidence(run, 3, b);
      const Table2<float> s = Absorb(run, inc, perSite);
      float largest = 0;
      for (float c : inc.levelCountA) largest = std::max(largest, c);
      // Each element rounds once per level of b, on values up to the largest block size.
      const double tolerance = 4.0 * inc.nA * inc.nB * FLT_EPSILON * static_cast<double>(largest);
      for (int i = 1; i <= inc.nA; ++i) {
        double sum = 0;
        int ones = 0;
        for (int j = 1; j <= inc.nA; ++j) {
          sum += static_cast<double>(s(i, j));
          ones += !perSite || run.repSite[run.repOffset + i] == run.repSite[run.repOffset + j];
        }
        EXPECT_NEAR(sum, ones, tolerance) << Describe(run) << ", row " << i << (perSite ? ", per site" : "");
      }
    }
  }
}

TEST(Absorb, SameBitsAsTheLiteralFormOnRandomDesigns) {
  std::mt19937 rng(2024);
  for (int trial = 0; trial < 250; ++trial) {
    const RunData run = MakeDesign(RandomTrees(rng, trial));
    Literal literal(run);
    // The pairs the set-up and the per-trait reductions absorb.
    for (const auto& [a, b, perSite] : {std::tuple{3, 4, false}, std::tuple{2, 4, false}, std::tuple{3, 5, true}}) {
      const Incidence inc = CountIncidence(run, a, b);
      const Table2<float> expected = literal.Absorb(a, b, perSite);
      // The incidence left behind is the reference's count block and sizes.
      for (int i = 1; i <= inc.nA; ++i) {
        std::vector<float> row(inc.nB + 1, 0.0f);
        for (int e = inc.rowStart[i]; e < inc.rowStart[i + 1]; ++e) {
          ASSERT_TRUE(e == inc.rowStart[i] || inc.colIndex[e - 1] < inc.colIndex[e]);
          row[inc.colIndex[e]] = inc.count[e];
        }
        for (int k = 1; k <= inc.nB; ++k) ASSERT_EQ(row[k], literal.countMat(i, k)) << i << "," << k;
      }
      for (int k = 1; k <= inc.nB; ++k) ASSERT_EQ(inc.levelCountB[k], literal.levelCount[k]);
      EXPECT_TRUE(SameBits(expected, Absorb(run, inc, perSite), inc.nA, inc.nA))
          << "absorbing " << b << " into " << a << ", trial " << trial << ": " << Describe(run);
    }
  }
}

}  // namespace
}  // namespace korvan
