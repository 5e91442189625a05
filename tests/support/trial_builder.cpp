#include "support/trial_builder.h"

#include <algorithm>
#include <map>
#include <utility>

namespace korvan::test {

namespace {

int Number(std::vector<float>& seen, float code) {
  const auto it = std::find(seen.begin(), seen.end(), code);
  if (it != seen.end()) return static_cast<int>(it - seen.begin()) + 1;
  seen.push_back(code);
  return static_cast<int>(seen.size());
}

}  // namespace

RunData BuildTrial(const std::vector<Tree>& trees) {
  RunData run;
  run.nTrait = trees.empty() ? 0 : static_cast<int>(trees.front().values.size());
  run.params.dataPath = "trial.dat";
  std::vector<float> sites, families;
  std::vector<std::vector<float>> blocks;
  struct Levels { int site, block, family; };
  std::vector<Levels> levels;
  for (const Tree& tree : trees) {
    const int i = Number(sites, tree.site);
    blocks.resize(sites.size());
    const int k = Number(blocks[i - 1], tree.block);
    const int j = Number(families, tree.family);
    levels.push_back({i, k, j});
  }
  run.nSite = static_cast<int>(sites.size());
  run.nFamily = static_cast<int>(families.size());
  run.nRecord = static_cast<int>(trees.size());
  run.siteCode.assign(1, 0.0f);
  run.siteCode.insert(run.siteCode.end(), sites.begin(), sites.end());
  run.familyCode.assign(1, 0.0f);
  run.familyCode.insert(run.familyCode.end(), families.begin(), families.end());
  run.blockCode.assign(1, {});
  run.blockCount.assign(1, 0);
  for (const auto& b : blocks) {
    run.blockCode.push_back({0.0f});
    run.blockCode.back().insert(run.blockCode.back().end(), b.begin(), b.end());
    run.blockCount.push_back(static_cast<int>(b.size()));
    run.nBlock = std::max(run.nBlock, static_cast<int>(b.size()));
  }

  // Blocks by (site, block), cells by (site, family): the compacted layout.
  std::map<std::pair<int, int>, int> repOf, cellOf;
  for (const Levels& l : levels) {
    repOf.emplace(std::make_pair(l.site, l.block), 0);
    cellOf.emplace(std::make_pair(l.site, l.family), 0);
  }
  int n = 0;
  for (auto& [key, number] : repOf) number = ++n;
  n = 0;
  for (auto& [key, number] : cellOf) number = ++n;
  run.nRep = static_cast<int>(repOf.size());
  run.nSF = static_cast<int>(cellOf.size());
  run.colOffset = {0, 0, 1, 1 + run.nSite, 1 + run.nSite + run.nRep,
                   1 + run.nSite + run.nRep + run.nFamily,
                   1 + run.nSite + run.nRep + run.nFamily + run.nSF};
  run.repOffset = run.colOffset[3];
  run.p = run.colOffset[4];
  run.famEnd = run.colOffset[5];
  run.q = run.colOffset[6];
  run.repSite.assign(static_cast<std::size_t>(run.q) + 1, 0);
  for (const auto& [key, number] : repOf) run.repSite[run.repOffset + number] = 1 + key.first;

  run.recordColumn.Resize(run.nRecord);
  run.traitValue.Reset(run.nTrait);
  for (int r = 1; r <= run.nRecord; ++r) {
    const Levels& l = levels[r - 1];
    run.recordColumn(r, 1) = 1;
    run.recordColumn(r, 2) = run.colOffset[2] + l.site;
    run.recordColumn(r, 3) = run.colOffset[3] + repOf.at({l.site, l.block});
    run.recordColumn(r, 4) = run.colOffset[4] + l.family;
    run.recordColumn(r, 5) = run.colOffset[5] + cellOf.at({l.site, l.family});
    for (int t = 1; t <= run.nTrait; ++t) run.traitValue.TraitVector(t).push_back(trees[r - 1].values[t - 1]);
  }
  run.dfSite = run.nSite - 1;
  run.dfRep = run.nRep - run.nSite;
  run.dfFamily = run.nFamily - 1;
  run.dfSiteFam = (run.nSF - run.nSite) - run.nFamily + 1;
  run.dfError = ((run.nRecord - run.nSF) - run.nRep) + run.nSite;
  return run;
}

void SetCoefficients(RunData& run, float kF, float kFSF, double kSF) {
  run.kF = kF;
  run.kFSF = kFSF;
  run.kSF = kSF;
  run.emsCoef = {};
  for (int line = 1; line <= 3; ++line) run.emsCoef[line][3] = 1;
  run.emsCoef[1][1] = static_cast<double>(kF);
  run.emsCoef[1][2] = static_cast<double>(kFSF);
  run.emsCoef[2][2] = kSF;
}

std::vector<Tree> WorkedExampleTrees(const std::vector<float>& scale) {
  // (site, block, value of family 101, value of family 102)
  const float plots[4][4] = {{1, 1, 10, 14}, {1, 2, 12, 16}, {2, 1, 20, 22}, {2, 2, 18, 26}};
  std::vector<Tree> trees;
  for (const auto& plot : plots) {
    for (int f = 0; f < 2; ++f) {
      Tree tree{plot[0], plot[1], f == 0 ? 101.0f : 102.0f, {}};
      for (float c : scale) tree.values.push_back(c * plot[2 + f]);
      trees.push_back(tree);
    }
  }
  return trees;
}

}  // namespace korvan::test
