#pragma once

// Run data for the analysis stages straight from a list of trees, through the
// level coding, so that a test can start at the reductions.

#include <random>
#include <vector>

#include "rundata/rundata.h"

namespace korvan::test {

struct Tree {
  float site = 0;
  float block = 0;  // code within its site
  float family = 0;
  std::vector<float> values;  // one per trait
};

// `perPlot(site, block, family)` trees in every plot of a sites x blocks x
// families layout, codes 1, 2, ..., without trait values; a count of 0 leaves
// the plot empty.
template <class PerPlot>
std::vector<Tree> Layout(int sites, int blocks, int families, PerPlot perPlot) {
  std::vector<Tree> trees;
  for (int s = 1; s <= sites; ++s)
    for (int b = 1; b <= blocks; ++b)
      for (int f = 1; f <= families; ++f)
        for (int t = perPlot(s, b, f); t > 0; --t)
          trees.push_back({static_cast<float>(s), static_cast<float>(b), static_cast<float>(f), {}});
  return trees;
}

// Levels numbered in order of first occurrence as the reader numbers them,
// then coded. Degrees of freedom are set; the E.M.S. coefficients are not
// (SetCoefficients).
RunData BuildTrial(const std::vector<Tree>& trees);

// kF, kFSF, kSF and the matching emsCoef table.
void SetCoefficients(RunData& run, float kF, float kFSF, double kSF);

// The worked example: 2 sites x 2 blocks x 2 families (codes 101, 102), one
// tree per plot, values 10, 14 / 12, 16 / 20, 22 / 18, 26; trait k holds
// scale[k] times those values.
std::vector<Tree> WorkedExampleTrees(const std::vector<float>& scale = {1.0f});

// Unbalanced: 2 to 4 sites of 2 to 4 blocks, families missing from some sites
// and plots, plots of 1 to 3 trees, records shuffled (their order decides the
// single-precision sums). Family 1 stands in every block, which keeps every
// absorbed system connected. Balanced: 3 sites x 3 blocks x 6 families x 2
// trees. Values are site + family effect + noise, centred on 0, two decimals.
std::vector<Tree> RandomTrial(std::mt19937& rng, int nTrait, bool balanced = false);

}  // namespace korvan::test
