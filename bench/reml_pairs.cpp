// Times bivariate REML of every pair of traits of a trial file in the
// generator's fixed-column layout, read by korvan's own reader:
//
//   reml_pairs FILE SITES BLOCKS FAMILIES RECORDS TRAITS
//
// Prints the seconds of the univariate fits that start the pairs and of each
// pair's fit, with its estimates.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <utility>
#include <vector>

#include "reml/bivariate.h"
#include "generated_trial_trees.h"
#include "reml/reml.h"

int main(int argc, char** argv) {
  using namespace korvan;
  if (argc != 7) {
    std::fprintf(stderr, "usage: reml_pairs FILE SITES BLOCKS FAMILIES RECORDS TRAITS\n");
    return 2;
  }
  try {
    const RemlTrees trees = bench::ReadGeneratedTrial(argv);
    auto started = std::chrono::steady_clock::now();
    const std::vector<UnivariateFit> single = FitTraits(trees, RemlOptions{});
    std::printf("%d trees; univariate fits %.3f s\n", trees.Trees(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    started = std::chrono::steady_clock::now();
    for (int a = 0; a < trees.nTrait; ++a)
      for (int b = a + 1; b < trees.nTrait; ++b) {
        const BivariateFit fit = FitTraitPair(trees, a, b, RemlOptions{}, &single[a], &single[b]);
        std::printf("traits %d,%d: status %d, %d iterations, %.3f s; rF %.4f (%.3g) rP %.4f (%.3g) logL %.6f %s\n",
                    a + 1, b + 1, static_cast<int>(fit.status), fit.iterations, fit.seconds, fit.rF.value,
                    fit.rF.se, fit.rPTree.value, fit.rPTree.se, fit.logLikelihood, fit.note.c_str());
        for (const auto& [name, m] : {std::pair{"family", &fit.family}, std::pair{"cell", &fit.cell},
                                      std::pair{"error", &fit.error}})
          std::printf("  %-6s %.8g %.8g %.8g (%.3g %.3g %.3g)\n", name, m->v11, m->v12, m->v22, m->se11, m->se12,
                      m->se22);
      }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("all pairs %.3f s\n", seconds);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "reml_pairs: %s\n", e.what());
    return 1;
  }
  return 0;
}
