#include "support/trial_builder.h"

#include <algorithm>
#include <cmath>

#include "input/level_coding.h"
#include "base/progress.h"

namespace korvan::test {

namespace {

int Number(std::vector<float>& seen, float code) {
  const auto it = std::find(seen.begin(), seen.end(), code);
  if (it != seen.end()) return static_cast<int>(it - seen.begin()) + 1;
  seen.push_back(code);
  return static_cast<int>(seen.size());
}

}  // namespace

RunData BuildTrial(const std::vector<Tree>& trees) {
  RunData run;
  run.params.dataPath = "trial.dat";
  run.nTrait = static_cast<int>(trees.front().values.size());
  run.traitValue.Reset(run.nTrait);
  std::vector<float> sites, families;
  std::vector<std::vector<float>> blocks(1);
  for (const Tree& tree : trees) {
    const int i = Number(sites, tree.site);
    blocks.resize(sites.size() + 1);
    run.recordColumn.AppendLevels(i, Number(blocks[i], tree.block), Number(families, tree.family));
    for (int t = 1; t <= run.nTrait; ++t) run.traitValue.TraitVector(t).push_back(tree.values[t - 1]);
  }
  // The builder's codes are whole numbers.
  auto codes = [](const std::vector<float>& numbers) {
    std::vector<LevelCode> levels(1);
    for (const float code : numbers) levels.push_back(LevelCode::Whole(static_cast<std::int64_t>(code)));
    return levels;
  };
  run.siteCode = codes(sites);
  run.familyCode = codes(families);
  run.blockCount.assign(1, 0);
  run.blockCode.assign(1, {});
  for (std::size_t i = 1; i < blocks.size(); ++i) {
    run.blockCode.push_back(codes(blocks[i]));
    run.blockCount.push_back(static_cast<int>(blocks[i].size()));
    run.nBlock = std::max(run.nBlock, run.blockCount.back());
  }
  run.nSite = static_cast<int>(sites.size());
  run.nFamily = static_cast<int>(families.size());
  run.nRecord = static_cast<int>(trees.size());
  NullSink sink;
  ProgressLog log(sink);
  CodeLevels(run, log);
  run.dfSite = run.nSite - 1;
  run.dfRep = run.nRep - run.nSite;
  run.dfFamily = run.nFamily - 1;
  run.dfSiteFam = (run.nSF - run.nSite) - run.nFamily + 1;
  run.dfError = ((run.nRecord - run.nSF) - run.nRep) + run.nSite;
  return run;
}

void SetCoefficients(RunData& run, float kF, float kFSF, double kSF) {
  run.kF = kF;
  run.kFSF = kFSF;
  run.kSF = kSF;
  run.emsCoef = {};
  for (int line = 1; line <= 3; ++line) run.emsCoef[line][3] = 1;
  run.emsCoef[1][1] = static_cast<double>(kF);
  run.emsCoef[1][2] = static_cast<double>(kFSF);
  run.emsCoef[2][2] = kSF;
}

std::vector<Tree> WorkedExampleTrees(const std::vector<float>& scale) {
  const float plots[4][4] = {{1, 1, 10, 14}, {1, 2, 12, 16}, {2, 1, 20, 22}, {2, 2, 18, 26}};
  std::vector<Tree> trees;
  for (const auto& plot : plots) {
    for (int f = 0; f < 2; ++f) {
      Tree tree{plot[0], plot[1], 101.0f + static_cast<float>(f), {}};
      for (float c : scale) tree.values.push_back(c * plot[2 + f]);
      trees.push_back(tree);
    }
  }
  return trees;
}

std::vector<Tree> RandomTrial(std::mt19937& rng, int nTrait, bool balanced) {
  std::uniform_int_distribution<int> sizes(2, 4), trees(1, 3);
  std::uniform_real_distribution<float> noise(-3.0f, 3.0f), chance(0.0f, 1.0f);
  const int nSite = balanced ? 3 : sizes(rng), nFamily = balanced ? 6 : 2 * sizes(rng);
  std::vector<std::vector<float>> familyEffect(nTrait, std::vector<float>(nFamily + 1));
  for (auto& trait : familyEffect)
    for (float& e : trait) e = 2 * noise(rng);
  std::vector<Tree> result;
  for (int s = 1; s <= nSite; ++s) {
    std::vector<bool> planted(nFamily + 1);
    for (int f = 1; f <= nFamily; ++f) planted[f] = balanced || f == 1 || chance(rng) < 0.7f;
    for (int b = 1, nBlock = balanced ? 3 : sizes(rng); b <= nBlock; ++b) {
      for (int f = 1; f <= nFamily; ++f) {
        if (!planted[f] || (!balanced && f > 1 && chance(rng) < 0.25f)) continue;
        for (int n = balanced ? 2 : trees(rng); n > 0; --n) {
          Tree tree{10.0f * static_cast<float>(s), static_cast<float>(b), 100.0f + static_cast<float>(f), {}};
          for (int t = 0; t < nTrait; ++t) {
            const float v = static_cast<float>(s - 2) + familyEffect[t][f] + noise(rng);
            tree.values.push_back(std::round(v * 100) / 100);
          }
          result.push_back(tree);
        }
      }
    }
  }
  std::shuffle(result.begin(), result.end(), rng);
  return result;
}

}  // namespace korvan::test
