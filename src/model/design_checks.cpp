#include "model/design_checks.h"

#include <algorithm>
#include <cstddef>
#include <map>
#include <numeric>

#include "base/korvan_error.h"
#include "model/absorb.h"

namespace korvan {

namespace {

// "a", "a and b", "a, b and c".
std::string JoinList(const std::vector<std::string>& items) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += i + 1 == items.size() ? " and " : ", ";
    text += items[i];
  }
  return text;
}

int SiteOfRep(const RunData& run, int rep) { return run.repSite[run.repOffset + rep] - 1; }

// The code of block `rep`: blocks are numbered site by site, each site's in
// the order the reader numbered them.
std::string BlockCode(const RunData& run, int rep) {
  const int site = SiteOfRep(run, rep);
  int withinSite = 0;
  for (int r = 1; r <= rep; ++r) withinSite += SiteOfRep(run, r) == site;
  const auto& codes = run.blockCode[site];
  if (withinSite < static_cast<int>(codes.size())) return codes[withinSite].text;
  return "number " + std::to_string(withinSite);
}

// Levels joined when they share a family (or a cell): a union-find forest.
class Links {
 public:
  explicit Links(int nodes) : parent_(nodes + 1) {
    std::iota(parent_.begin(), parent_.end(), 0);
  }
  int Root(int x) {
    while (parent_[x] != x) {
      parent_[x] = parent_[parent_[x]];
      x = parent_[x];
    }
    return x;
  }
  void Join(int a, int b) {
    a = Root(a);
    b = Root(b);
    if (a != b) parent_[std::max(a, b)] = std::min(a, b);
  }
  // Joins level i of a (node i) with level k of b (node shift + k) wherever they share records.
  void JoinIncidence(const Incidence& inc, int shift) {
    for (int i = 1; i <= inc.nA; ++i)
      for (int e = inc.rowStart[i]; e < inc.rowStart[i + 1]; ++e)
        Join(i, shift + inc.colIndex[e]);
  }
  // The groups of `members` that are not joined with the main group (the
  // largest; of equal ones, the first), each in increasing order.
  std::vector<std::vector<int>> StrayGroups(const std::vector<int>& members) {
    std::map<int, std::vector<int>> groups;
    for (int m : members) groups[Root(m)].push_back(m);
    auto main = groups.begin();
    for (auto g = groups.begin(); g != groups.end(); ++g)
      if (g->second.size() > main->second.size() ||
          (g->second.size() == main->second.size() && g->second.front() < main->second.front()))
        main = g;
    std::vector<std::vector<int>> strays;
    for (auto g = groups.begin(); g != groups.end(); ++g)
      if (g != main) strays.push_back(g->second);
    std::sort(strays.begin(), strays.end());
    return strays;
  }

 private:
  std::vector<int> parent_;
};

// "<group> shares no family with <others>; ...", a few groups at most.
template <class Name>
std::string StrayText(const std::vector<std::vector<int>>& strays, Name name, const std::string& others) {
  constexpr std::size_t kMostGroups = 3;
  std::vector<std::string> items;
  for (std::size_t g = 0; g < strays.size() && g < kMostGroups; ++g)
    items.push_back(name(strays[g]) + (strays[g].size() == 1 ? " shares" : " share") + " no family with " + others);
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : "; ") + item;
  if (strays.size() > kMostGroups) text += "; and " + std::to_string(strays.size() - kMostGroups) + " more such groups";
  return text;
}

[[noreturn]] void Refuse(const RunData& run, const std::string& reason) {
  throw KorvanError(TrialText(run) + " cannot be analysed: " + reason);
}

void CheckSitesLinked(const RunData& run) {
  Links links(run.nSite + run.nFamily);
  links.JoinIncidence(CountBlock(run, 2, 4), run.nSite);
  std::vector<int> sites(run.nSite);
  std::iota(sites.begin(), sites.end(), 1);
  const auto strays = links.StrayGroups(sites);
  if (strays.empty()) return;
  auto name = [&](const std::vector<int>& group) {
    std::vector<std::string> codes;
    for (int site : group) codes.push_back(run.siteCode[site].text);
    return (group.size() == 1 ? "site " : "sites ") + JoinList(codes);
  };
  Refuse(run, "the families do not link all sites: " + StrayText(strays, name, "the other sites") +
                  ". Sites can only be compared through families planted at both; check the site and family codes, "
                  "or analyse these sites on their own.");
}

void CheckBlocksLinked(const RunData& run) {
  Links links(run.nRep + run.nFamily);
  links.JoinIncidence(CountBlock(run, 3, 4), run.nRep);
  std::vector<int> reps(run.nRep);
  std::iota(reps.begin(), reps.end(), 1);
  const auto strays = links.StrayGroups(reps);
  if (strays.empty()) return;
  auto name = [&](const std::vector<int>& group) { return BlockNames(run, group); };
  Refuse(run, "the families do not link all blocks: " + StrayText(strays, name, "the other blocks") +
                  ". Blocks can only be compared through families planted in both; check the block and family codes "
                  "of these blocks, or leave them out of the data file.");
}

// The blocks of one site are compared through the site x family cells, that
// is through the families planted at that site.
void CheckBlocksLinkedWithinSites(const RunData& run) {
  Links links(run.nRep + run.nSF);
  links.JoinIncidence(CountBlock(run, 3, 5), run.nRep);
  std::vector<std::vector<int>> repsOfSite(run.nSite + 1);
  for (int rep = 1; rep <= run.nRep; ++rep) repsOfSite[SiteOfRep(run, rep)].push_back(rep);
  std::vector<std::vector<int>> strays;
  for (const auto& reps : repsOfSite)
    for (auto& group : links.StrayGroups(reps)) strays.push_back(std::move(group));
  if (strays.empty()) return;
  auto name = [&](const std::vector<int>& group) { return BlockNames(run, group); };
  Refuse(run, "within a site, the families do not link all its blocks: " +
                  StrayText(strays, name, "the other blocks of its site") +
                  ". The blocks of a site can only be compared through families planted in both; check the block "
                  "and family codes of these blocks, or leave them out of the data file.");
}

void CheckCountsOfLevels(const RunData& run) {
  if (run.nRecord == 0 || run.nSite == 0) Refuse(run, "no record of the chosen age was found.");
  if (run.nSite == 1)
    Refuse(run, "there is only one site (" + SiteName(run, 1) +
                    "), so Site has no degrees of freedom (sites - 1 = 0) and Site*Fam. cannot be told apart from "
                    "Family. Analyse two or more sites together.");
  if (run.nFamily == 1)
    Refuse(run, "there is only one family (code " + run.familyCode[1].text +
                    "), so Family has no degrees of freedom (families - 1 = 0). The analysis needs two or more "
                    "families.");
  if (run.nRep - run.nSite < 1)
    Refuse(run, "each site has a single block, so Rep./Site has no degrees of freedom (blocks - sites = 0). The "
                "analysis needs two or more blocks in some site.");
}

void CheckInteractionAndError(const RunData& run) {
  const long long dfSiteFam = static_cast<long long>(run.nSF) - run.nSite - run.nFamily + 1;
  if (dfSiteFam < 1)
    Refuse(run, "its " + std::to_string(run.nSF) + " site x family cells are too few for " +
                    std::to_string(run.nSite) + " sites and " + std::to_string(run.nFamily) +
                    " families, so Site*Fam. has no degrees of freedom (cells - sites - families + 1 = " +
                    std::to_string(dfSiteFam) +
                    "): no family's differences between sites can be compared with another family's. The analysis "
                    "needs families planted together at several sites, for example two families at the same two "
                    "sites.");
  const long long dfError = static_cast<long long>(run.nRecord) - run.nSF - run.nRep + run.nSite;
  if (dfError < 1)
    Refuse(run, "its " + std::to_string(run.nRecord) + " records are fitted exactly by the " +
                    std::to_string(run.nRep) + " blocks and " + std::to_string(run.nSF) +
                    " site x family cells, so Error has no degrees of freedom (records - cells - blocks + sites = " +
                    std::to_string(dfError) +
                    "). The analysis needs more trees of the families within the blocks of a site.");
}

}  // namespace

std::string TrialText(const RunData& run) {
  return run.params.dataPath.empty() ? "The trial" : "The trial in " + run.params.dataPath;
}

std::string SiteName(const RunData& run, int site) {
  return "site " + run.siteCode[site].text;
}

std::string BlockNames(const RunData& run, const std::vector<int>& reps, std::size_t most) {
  std::vector<int> named = reps;
  std::sort(named.begin(), named.end());
  named.resize(std::min(most, named.size()));
  std::vector<std::string> parts;
  for (std::size_t i = 0; i < named.size();) {
    const int site = SiteOfRep(run, named[i]);
    std::vector<std::string> codes;
    for (; i < named.size() && SiteOfRep(run, named[i]) == site; ++i) codes.push_back(BlockCode(run, named[i]));
    parts.push_back((codes.size() == 1 ? "block " : "blocks ") + JoinList(codes) + " of " + SiteName(run, site));
  }
  if (reps.size() > named.size()) parts.push_back(std::to_string(reps.size() - named.size()) + " more blocks");
  return JoinList(parts);
}

std::string FixedColumnName(const RunData& run, int column) {
  if (column <= run.colOffset[1] + 1) return "the mean";
  if (column <= run.colOffset[3]) return SiteName(run, column - run.colOffset[2]);
  return BlockNames(run, {column - run.colOffset[3]});
}

void CheckDesign(const RunData& run) {
  CheckCountsOfLevels(run);
  CheckSitesLinked(run);
  CheckBlocksLinked(run);
  CheckBlocksLinkedWithinSites(run);
  CheckInteractionAndError(run);
}

}  // namespace korvan
