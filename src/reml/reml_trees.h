#pragma once

// The trees of a run as REML fits them: every tree with its site, block and
// family, and each trait's value where the tree has one.

#include <cstdint>
#include <vector>

#include "rundata/rundata.h"

namespace korvan {

struct RemlTrees {
  int nSite = 0;                                  // sites, numbered 0 .. nSite - 1
  int nBlock = 0;                                 // blocks of all sites together, numbered 0 .. nBlock - 1
  int nFamily = 0;                                // families, numbered 0 .. nFamily - 1
  int nTrait = 0;                                 // traits, numbered 0 .. nTrait - 1
  std::vector<std::int32_t> site, block, family;  // per tree
  std::vector<int> blockSite;                     // the site of each block
  std::vector<std::vector<double>> value;         // [trait][tree]; NaN where the tree lacks it

  int Trees() const { return static_cast<int>(site.size()); }
};

// The run's selected records, then the trees left out of the analysis of
// variance for lacking a value. A record's levels are the run's own (site i
// is site i - 1 here, block k of site i follows the blocks of the sites
// before it, family j is j - 1). A left-out tree is matched to those levels
// by its codes, its block among the blocks of its site; a code that no
// analysed record has becomes a new level after them, so that its tree
// still counts. Reads the levels before or after the level coding.
RemlTrees RemlTreesFromRun(const RunData& run);

}  // namespace korvan
