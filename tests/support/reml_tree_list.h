#pragma once

// Trees for REML by their codes, levels numbered in order of first
// occurrence, a block code being of its site: the trials the REML tests
// write by hand or read from the examples' columns.

#include <map>
#include <utility>
#include <vector>

#include "reml/reml_trees.h"

namespace korvan::test {

class TreeList {
 public:
  explicit TreeList(int nTrait) { trees_.nTrait = nTrait, trees_.value.resize(static_cast<std::size_t>(nTrait)); }
  void Add(int site, int block, int family, const std::vector<double>& values) {
    const auto [s, newSite] = sites_.emplace(site, trees_.nSite);
    if (newSite) ++trees_.nSite;
    const auto [b, newBlock] = blocks_.emplace(std::pair{site, block}, trees_.nBlock);
    if (newBlock) {
      ++trees_.nBlock;
      trees_.blockSite.push_back(s->second);
    }
    const auto [f, newFamily] = families_.emplace(family, trees_.nFamily);
    if (newFamily) {
      ++trees_.nFamily;
      familyCode_.push_back(family);
    }
    trees_.site.push_back(s->second);
    trees_.block.push_back(b->second);
    trees_.family.push_back(f->second);
    for (int t = 0; t < trees_.nTrait; ++t) trees_.value[static_cast<std::size_t>(t)].push_back(values[static_cast<std::size_t>(t)]);
  }
  const RemlTrees& Trees() const { return trees_; }
  RemlTrees& Trees() { return trees_; }
  int FamilyCode(int family) const { return familyCode_[static_cast<std::size_t>(family)]; }

 private:
  RemlTrees trees_;
  std::map<int, int> sites_, families_;
  std::map<std::pair<int, int>, int> blocks_;
  std::vector<int> familyCode_;
};

}  // namespace korvan::test
