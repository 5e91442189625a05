#include "reml/trait_design.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <tuple>

namespace korvan {

namespace {

void NumberLevels(const RemlTrees& trees, const std::vector<int>& kept, TraitDesign& d, std::vector<int>& site,
                  std::vector<int>& block, std::vector<int>& family) {
  std::vector<char> siteUsed(static_cast<std::size_t>(trees.nSite)),
      familyUsed(static_cast<std::size_t>(trees.nFamily)), blockUsed(static_cast<std::size_t>(trees.nBlock));
  for (const int t : kept) {
    siteUsed[static_cast<std::size_t>(trees.site[t])] = 1;
    blockUsed[static_cast<std::size_t>(trees.block[t])] = 1;
    familyUsed[static_cast<std::size_t>(trees.family[t])] = 1;
  }
  site = Renumber(siteUsed, d.nSite);
  family = Renumber(familyUsed, d.nF);
  std::vector<int> blocksInOrder;
  for (int b = 0; b < trees.nBlock; ++b)
    if (blockUsed[static_cast<std::size_t>(b)]) blocksInOrder.push_back(b);
  std::stable_sort(blocksInOrder.begin(), blocksInOrder.end(),
                   [&](int a, int b) { return trees.blockSite[a] < trees.blockSite[b]; });
  block.assign(static_cast<std::size_t>(trees.nBlock), -1);
  d.p = static_cast<int>(blocksInOrder.size());
  d.siteFirstBlock.assign(static_cast<std::size_t>(d.nSite) + 1, 0);
  for (int b = 0; b < d.p; ++b) {
    block[blocksInOrder[b]] = b;
    const int s = site[trees.blockSite[blocksInOrder[b]]];
    d.blockSite.push_back(s);
    d.blockOf.push_back(blocksInOrder[b]);
    d.siteFirstBlock[s + 1] = b + 1;
  }
  for (int s = 0; s < trees.nSite; ++s)
    if (site[s] >= 0) d.siteOf.push_back(s);
  for (int f = 0; f < trees.nFamily; ++f)
    if (family[f] >= 0) d.familyOf.push_back(f);
}

}  // namespace

std::vector<int> Renumber(const std::vector<char>& used, int& count) {
  std::vector<int> local(used.size(), -1);
  count = 0;
  for (std::size_t level = 0; level < used.size(); ++level)
    if (used[level]) local[level] = count++;
  return local;
}

TraitDesign DesignOfTrait(const RemlTrees& trees, int trait) {
  TraitDesign d;
  const std::vector<double>& value = trees.value[static_cast<std::size_t>(trait)];
  std::vector<int> kept;
  for (int t = 0; t < trees.Trees(); ++t)
    if (std::isfinite(value[t])) kept.push_back(t);
  d.n = static_cast<int>(kept.size());
  if (d.n == 0) return d;
  std::vector<int> site, block, family;
  NumberLevels(trees, kept, d, site, block, family);
  for (const int t : kept) d.mean += value[t];
  d.mean /= d.n;

  d.blockN.assign(static_cast<std::size_t>(d.p), 0);
  d.blockY.assign(static_cast<std::size_t>(d.p), 0);
  d.familyN.assign(static_cast<std::size_t>(d.nF), 0);
  d.familyY.assign(static_cast<std::size_t>(d.nF), 0);
  // Trees sorted by cell, then block: each cell's blocks in one run.
  using Key = std::tuple<int, int, int>;
  std::vector<std::pair<Key, double>> sorted;
  sorted.reserve(kept.size());
  for (const int t : kept) {
    const double y = value[t] - d.mean;
    const int s = site[trees.site[t]], b = block[trees.block[t]], f = family[trees.family[t]];
    d.yy += y * y;
    d.blockN[b] += 1;
    d.blockY[b] += y;
    d.familyN[f] += 1;
    d.familyY[f] += y;
    sorted.push_back({{s, f, b}, y});
  }
  std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  d.sitesOfFamily.assign(static_cast<std::size_t>(d.nF), 0);
  for (std::size_t at = 0; at < sorted.size(); ++at) {
    const auto [s, f, b] = sorted[at].first;
    const bool newCell = at == 0 || std::get<0>(sorted[at - 1].first) != s || std::get<1>(sorted[at - 1].first) != f;
    if (newCell) {
      d.cellSite.push_back(s);
      d.cellFamily.push_back(f);
      d.cellN.push_back(0);
      d.cellY.push_back(0);
      d.cellFirst.push_back(static_cast<int>(d.cellBlock.size()));
      ++d.sitesOfFamily[f];
    }
    if (newCell || std::get<2>(sorted[at - 1].first) != b) {
      d.cellBlock.push_back(b);
      d.cellBlockN.push_back(0);
    }
    d.cellN.back() += 1;
    d.cellY.back() += sorted[at].second;
    d.cellBlockN.back() += 1;
  }
  d.nC = static_cast<int>(d.cellN.size());
  d.cellFirst.push_back(static_cast<int>(d.cellBlock.size()));
  return d;
}

}  // namespace korvan
