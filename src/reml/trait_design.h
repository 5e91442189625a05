#pragma once

// The counts and totals of one trait that the mixed-model equations are
// built from: only levels with some tree that has the trait's value.

#include <vector>

#include "reml/reml_trees.h"

namespace korvan {

struct TraitDesign {
  int n = 0;        // trees with the value
  int nSite = 0;    // sites with such trees
  int p = 0;        // blocks with such trees: the rank of the fixed part
  int nF = 0;       // families with such trees
  int nC = 0;       // site x family cells with such trees
  double mean = 0;  // taken from every value, which the blocks absorb, so that sums of squares lose no digits
  double yy = 0;    // sum of squares of the centred values

  std::vector<int> siteFirstBlock;  // blocks of site s: siteFirstBlock[s] .. siteFirstBlock[s + 1] - 1
  std::vector<int> blockSite;
  std::vector<double> blockN, blockY;    // trees and centred totals by block
  std::vector<double> familyN, familyY;  // by family
  std::vector<int> cellSite, cellFamily;
  std::vector<double> cellN, cellY;            // by cell
  std::vector<int> cellFirst;                  // the cell's blocks: cellFirst[c] .. cellFirst[c + 1] - 1 of
  std::vector<int> cellBlock;                  //   these blocks,
  std::vector<double> cellBlockN;              //   with so many trees of the cell in each
  std::vector<int> siteOf, blockOf, familyOf;  // RemlTrees number of each level
  std::vector<int> sitesOfFamily;              // sites at which each family has trees
};

TraitDesign DesignOfTrait(const RemlTrees& trees, int trait);

// The levels with data numbered 0, 1, ... in the order of the RemlTrees
// numbers (-1 for a level without); `count` is how many have data. Blocks
// numbered by site first keep the blocks of one site neighbours.
std::vector<int> Renumber(const std::vector<char>& used, int& count);

}  // namespace korvan
