#pragma once

// Run data for the analysis stages straight from a list of trees, laid out as
// the level coding lays it out, so that a test can start at the reductions.

#include <vector>

#include "input/rundata.h"

namespace korvan::test {

struct Tree {
  float site = 0;
  float block = 0;  // code within its site
  float family = 0;
  std::vector<float> values;  // one per trait
};

// Levels numbered in order of first occurrence; blocks ordered by site and
// then block, site x family cells by site and then family; every column has
// records. Degrees of freedom are set; the E.M.S. coefficients are not.
RunData BuildTrial(const std::vector<Tree>& trees);

// kF, kFSF, kSF and the matching emsCoef table.
void SetCoefficients(RunData& run, float kF, float kFSF, double kSF);

// The worked example: 2 sites x 2 blocks x 2 families (codes 101, 102), one
// tree per plot, values 10, 14 / 12, 16 / 20, 22 / 18, 26; every trait k
// holds scale[k] times those values.
std::vector<Tree> WorkedExampleTrees(const std::vector<float>& scale = {1.0f});

}  // namespace korvan::test
