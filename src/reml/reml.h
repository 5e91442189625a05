#pragma once

// Univariate REML and BLUP of the progeny-test model: blocks within sites
// fixed, families and site x family cells random.

#include <vector>

#include "reml/reml_results.h"
#include "reml/reml_trees.h"

namespace korvan {

// Trait `trait` (0-based) on every tree that has its value. Data that cannot
// give an estimate come back as kNotEstimable with a note, never as numbers.
UnivariateFit FitTrait(const RemlTrees& trees, int trait, const RemlOptions& options);

// Every trait, on the processor's cores.
std::vector<UnivariateFit> FitTraits(const RemlTrees& trees, const RemlOptions& options);

}  // namespace korvan
