#include "support/test_design.h"

#include <algorithm>
#include <map>
#include <utility>

namespace korvan::test {

namespace {

// The position of `code` in `codes` (from 1), appending it when new.
int LevelOf(std::vector<float>& codes, float code) {
  const auto found = std::find(codes.begin() + 1, codes.end(), code);
  if (found != codes.end()) return static_cast<int>(found - codes.begin());
  codes.push_back(code);
  return static_cast<int>(codes.size()) - 1;
}

}  // namespace

RunData MakeDesign(const std::vector<Tree>& trees) {
  RunData run;
  run.siteCode = {0.0f};
  run.familyCode = {0.0f};
  run.blockCode = {{}};
  struct Levels {
    int site, block, family;
  };
  std::vector<Levels> levels;
  for (const Tree& tree : trees) {
    const int i = LevelOf(run.siteCode, tree.site);
    if (static_cast<int>(run.blockCode.size()) <= i) run.blockCode.push_back({0.0f});
    const int k = LevelOf(run.blockCode[i], tree.block);
    const int j = LevelOf(run.familyCode, tree.family);
    levels.push_back({i, k, j});
  }
  run.nSite = static_cast<int>(run.siteCode.size()) - 1;
  run.nFamily = static_cast<int>(run.familyCode.size()) - 1;
  run.nRecord = static_cast<int>(trees.size());
  run.blockCount.assign(run.nSite + 1, 0);
  std::vector<int> firstRep(run.nSite + 2, 1);
  for (int i = 1; i <= run.nSite; ++i) {
    run.blockCount[i] = static_cast<int>(run.blockCode[i].size()) - 1;
    run.nBlock = std::max(run.nBlock, run.blockCount[i]);
    firstRep[i + 1] = firstRep[i] + run.blockCount[i];
  }
  std::map<std::pair<int, int>, int> cells;  // (site, family), ordered as the cell columns are
  for (const Levels& l : levels) cells.emplace(std::pair{l.site, l.family}, 0);
  int cell = 0;
  for (auto& entry : cells) entry.second = ++cell;

  run.nRep = firstRep[run.nSite + 1] - 1;
  run.nSF = cell;
  run.repOffset = run.nSite + 1;
  run.p = run.repOffset + run.nRep;
  run.famEnd = run.p + run.nFamily;
  run.q = run.famEnd + run.nSF;
  run.colOffset = {0, 0, 1, run.repOffset, run.p, run.famEnd, run.q};
  run.repSite.assign(run.p + 1, 0);
  run.recordColumn.Resize(run.nRecord);
  for (int r = 1; r <= run.nRecord; ++r) {
    const Levels& l = levels[r - 1];
    const int rep = firstRep[l.site] + l.block - 1;
    run.recordColumn(r, 1) = 1;
    run.recordColumn(r, 2) = 1 + l.site;
    run.recordColumn(r, 3) = run.repOffset + rep;
    run.recordColumn(r, 4) = run.p + l.family;
    run.recordColumn(r, 5) = run.famEnd + cells.at({l.site, l.family});
    run.repSite[run.repOffset + rep] = 1 + l.site;
  }
  return run;
}

}  // namespace korvan::test
