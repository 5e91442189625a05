// Times REML of every trait of a trial file in the generator's fixed-column
// layout (site 1-4, block 5-8, family 9-14, age 15-18, traits of width 10
// from 19), read by korvan's own reader:
//
//   reml_fit FILE SITES BLOCKS FAMILIES RECORDS TRAITS
//
// Prints the seconds of reading, of fitting all traits at once (FitTraits)
// and of each trait's fit, with its estimates.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <vector>

#include "generated_trial_trees.h"
#include "reml/reml.h"

int main(int argc, char** argv) {
  using namespace korvan;
  if (argc != 7) {
    std::fprintf(stderr, "usage: reml_fit FILE SITES BLOCKS FAMILIES RECORDS TRAITS\n");
    return 2;
  }
  try {
    const auto start = std::chrono::steady_clock::now();
    const RemlTrees trees = bench::ReadGeneratedTrial(argv);
    const double readSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("read %d trees in %.2f s\n", trees.Trees(), readSeconds);
    const auto fitStart = std::chrono::steady_clock::now();
    const std::vector<UnivariateFit> fits = FitTraits(trees, RemlOptions{});
    const double fitSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - fitStart).count();
    std::printf("all %d traits in %.2f s on the processor's cores\n", trees.nTrait, fitSeconds);
    for (int t = 0; t < trees.nTrait; ++t) {
      const UnivariateFit& fit = fits[static_cast<std::size_t>(t)];
      std::printf(
          "trait %d: status %d, %d iterations, %.3f s; Vf %.6g (%.3g) Vsf %.6g (%.3g) Ve %.6g (%.3g) logL %.6f %s\n",
          t + 1, static_cast<int>(fit.status), fit.iterations, fit.seconds, fit.vf.value, fit.vf.se, fit.vsf.value,
          fit.vsf.se, fit.ve.value, fit.ve.se, fit.logLikelihood, fit.note.c_str());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "reml_fit: %s\n", e.what());
    return 1;
  }
  return 0;
}
