#pragma once

// Trial designs built straight into RunData, numbered the way the level
// coding numbers them, for tests of the stages that follow it.

#include <vector>

#include "input/rundata.h"

namespace korvan::test {

// One tree: its site, block (within the site) and family codes.
struct Tree {
  float site = 0;
  float block = 0;
  float family = 0;
};

// Sites, blocks within sites and families are numbered in order of first
// occurrence; the model columns are the compacted ones: mean, sites, blocks
// site by site, families, then the site x family cells by site and family.
RunData MakeDesign(const std::vector<Tree>& trees);

// `perPlot(site, block, family)` trees in every plot of a sites x blocks x
// families layout, codes 1, 2, ...; a count of 0 leaves the plot empty.
template <class PerPlot>
std::vector<Tree> Layout(int sites, int blocks, int families, PerPlot perPlot) {
  std::vector<Tree> trees;
  for (int s = 1; s <= sites; ++s)
    for (int b = 1; b <= blocks; ++b)
      for (int f = 1; f <= families; ++f)
        for (int t = perPlot(s, b, f); t > 0; --t)
          trees.push_back({static_cast<float>(s), static_cast<float>(b), static_cast<float>(f)});
  return trees;
}

}  // namespace korvan::test
