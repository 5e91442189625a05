#include "reml/reml_trees.h"

#include <cmath>
#include <map>
#include <string>
#include <utility>

namespace korvan {

namespace {

// Names and numbers are told apart even where a name's text equals a
// number's key.
std::string KeyOf(const LevelCode& code) { return (code.name ? "n:" : "v:") + code.key; }

// The run's levels by code, and the new levels that left-out trees bring.
class LevelMap {
 public:
  explicit LevelMap(RemlTrees& trees) : trees_(trees) {}

  void AddSite(const LevelCode& code) {
    sites_.emplace(KeyOf(code), trees_.nSite++);
    blocksOfSite_.emplace_back();
  }
  void AddBlock(int site, const LevelCode& code) {
    blocksOfSite_[static_cast<std::size_t>(site)].emplace(KeyOf(code), trees_.nBlock++);
    trees_.blockSite.push_back(site);
  }
  void AddFamily(const LevelCode& code) { families_.emplace(KeyOf(code), trees_.nFamily++); }

  int Site(const LevelCode& code) {
    const auto [it, added] = sites_.emplace(KeyOf(code), trees_.nSite);
    if (added) {
      ++trees_.nSite;
      blocksOfSite_.emplace_back();
    }
    return it->second;
  }
  int Block(int site, const LevelCode& code) {
    auto& blocks = blocksOfSite_[static_cast<std::size_t>(site)];
    const auto [it, added] = blocks.emplace(KeyOf(code), trees_.nBlock);
    if (added) {
      ++trees_.nBlock;
      trees_.blockSite.push_back(site);
    }
    return it->second;
  }
  int Family(const LevelCode& code) {
    const auto [it, added] = families_.emplace(KeyOf(code), trees_.nFamily);
    if (added) ++trees_.nFamily;
    return it->second;
  }

 private:
  RemlTrees& trees_;
  std::map<std::string, int> sites_, families_;
  std::vector<std::map<std::string, int>> blocksOfSite_;
};

// The level coding replaces a record's site, block and family numbers by
// model columns: site i is column 1 + i, block k of site i the column after
// the blocks of the sites before it (from repOffset + 1), family j is p + j.
void AddRecords(const RunData& run, RemlTrees& trees) {
  const bool coded = run.q > 0;
  std::vector<int> firstBlock(static_cast<std::size_t>(run.nSite) + 1, 0);
  for (int i = 2; i <= run.nSite; ++i) firstBlock[i] = firstBlock[i - 1] + run.blockCount[i - 1];
  for (int r = 1; r <= run.nRecord; ++r) {
    if (coded) {
      trees.site.push_back(run.recordColumn(r, 2) - 2);
      trees.block.push_back(run.recordColumn(r, 3) - run.repOffset - 1);
      trees.family.push_back(run.recordColumn(r, 4) - run.p - 1);
    } else {
      const int i = run.recordColumn(r, 1);
      trees.site.push_back(i - 1);
      trees.block.push_back(firstBlock[i] + run.recordColumn(r, 2) - 1);
      trees.family.push_back(run.recordColumn(r, 3) - 1);
    }
    for (int t = 1; t <= run.nTrait; ++t) trees.value[t - 1].push_back(run.traitValue.AsWritten(r, t));
  }
}

void AddLeftOut(const RunData& run, LevelMap& levels, RemlTrees& trees) {
  const LeftOutTrees& kept = run.leftOut;
  for (std::size_t tree = 0; tree < kept.site.size(); ++tree) {
    const int site = levels.Site(kept.site[tree]);
    trees.site.push_back(site);
    trees.block.push_back(levels.Block(site, kept.block[tree]));
    trees.family.push_back(levels.Family(kept.family[tree]));
    for (int t = 1; t <= run.nTrait; ++t) trees.value[t - 1].push_back(kept.value[t][tree]);
  }
}

}  // namespace

RemlTrees RemlTreesFromRun(const RunData& run) {
  RemlTrees trees;
  trees.nTrait = run.nTrait;
  trees.value.resize(static_cast<std::size_t>(run.nTrait));
  LevelMap levels(trees);
  for (int i = 1; i <= run.nSite; ++i) {
    levels.AddSite(run.siteCode[i]);
    for (int k = 1; k <= run.blockCount[i]; ++k) levels.AddBlock(i - 1, run.blockCode[i][k]);
  }
  for (int j = 1; j <= run.nFamily; ++j) levels.AddFamily(run.familyCode[j]);
  AddRecords(run, trees);
  AddLeftOut(run, levels, trees);
  return trees;
}

}  // namespace korvan
