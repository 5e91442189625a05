#include "input/level_coding.h"

#include <cassert>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "format/number_format.h"
#include "base/korvan_error.h"
#include "input/level_coding_shared.h"

namespace korvan {

namespace coding {

namespace {

constexpr int kPollRecords = 4096;

}  // namespace

// Work items: the lines of the two listings.
void BeginStage(const RunData& run, ProgressLog& log) {
  log.BeginStage("Coding the levels", 2 * std::int64_t{run.nRecord});
}
void EndStage(const RunData& run, ProgressLog& log) { log.Advance(2 * std::int64_t{run.nRecord}); }

FullLayout LayOutFullColumns(const RunData& run) {
  FullLayout full;
  full.repOffset = std::int64_t{run.nSite} + 1;
  full.p = std::int64_t{run.nSite} * run.nBlock + full.repOffset;
  full.famEnd = full.p + run.nFamily;
  full.q = full.famEnd + std::int64_t{run.nSite} * run.nFamily;
  return full;
}

void WriteFirstListing(const RunData& run, const FullLayout& full, ProgressLog& log) {
  const ProgressLog::Listing listing(log, run.nRecord);
  for (int r = 1; r <= run.nRecord; ++r) {
    if (r % kPollRecords == 0) {
      log.CheckStop();
      log.Advance(r);
    }
    static constexpr Pattern kRecord("  ####"), kSite("  ##"), kLevel("  ###"), kColumn("  #####");
    log.CountedLineBy([&](std::string& out) {
      const std::int64_t i = run.recordColumn(r, 1), k = run.recordColumn(r, 2), j = run.recordColumn(r, 3);
      AppendPattern(out, std::int64_t{r}, kRecord);
      AppendPattern(out, i, kSite);
      AppendPattern(out, k, kLevel);
      AppendPattern(out, j, kLevel);
      const std::int64_t columns[] = {1, 1 + i, full.repOffset + (i - 1) * run.nBlock + k, full.p + j,
                                      full.famEnd + (i - 1) * run.nFamily + j};
      for (const std::int64_t column : columns) AppendPattern(out, column, kColumn);
    });
  }
}

void WriteSecondListing(const RunData& run, ProgressLog& log) {
  const ProgressLog::Listing listing(log, run.nRecord);
  for (int r = 1; r <= run.nRecord; ++r) {
    if (r % kPollRecords == 0) {
      log.CheckStop();
      log.Advance(std::int64_t{run.nRecord} + r);
    }
    static constexpr Pattern kRecord("  #### "), kColumn("  ####");
    log.CountedLineBy([&](std::string& out) {
      AppendPattern(out, std::int64_t{r}, kRecord);
      for (int factor = 1; factor <= 5; ++factor) AppendPattern(out, std::int64_t{run.recordColumn(r, factor)}, kColumn);
    });
  }
}

}  // namespace coding

namespace {

// A stable counting sort of `order` by key(record), keys 1..lastKey.
template <class Key>
std::vector<int> SortByKey(const std::vector<int>& order, int lastKey, Key key) {
  std::vector<int> start(static_cast<std::size_t>(lastKey) + 2, 0);
  for (const int r : order) ++start[key(r) + 1];
  for (int k = 1; k <= lastKey + 1; ++k) start[k] += start[k - 1];
  std::vector<int> sorted(order.size());
  for (const int r : order) sorted[start[key(r)]++] = r;
  return sorted;
}

// The number of each record's site x family cell among the cells that occur,
// counted by site and, within a site, by family: the order in which the
// removal of empty columns leaves them. Sorting the records by (site,
// family) finds them in time linear in the data, without a table of all
// nSite x nFamily cells.
std::vector<int> NumberCells(const RunData& run, int& nSF) {
  std::vector<int> order(run.nRecord);
  for (int r = 1; r <= run.nRecord; ++r) order[r - 1] = r;
  const std::int32_t* site = run.recordColumn.Factor(1);
  const std::int32_t* family = run.recordColumn.Factor(3);
  order = SortByKey(order, run.nFamily, [family](int r) { return family[r]; });
  order = SortByKey(order, run.nSite, [site](int r) { return site[r]; });

  std::vector<int> cell(static_cast<std::size_t>(run.nRecord) + 1, 0);
  nSF = 0;
  int lastSite = 0, lastFamily = 0;
  for (const int r : order) {
    if (site[r] != lastSite || family[r] != lastFamily) {
      ++nSF;
      lastSite = site[r];
      lastFamily = family[r];
    }
    cell[r] = nSF;
  }
  return cell;
}

// Every block found has records, so the blocks of site i follow those of the
// sites before it without gaps; firstBlock[i] is the column before them.
std::vector<int> SettleCounts(RunData& run, int nSF) {
  std::vector<int> firstBlock(static_cast<std::size_t>(run.nSite) + 1, 0);
  run.repOffset = run.nSite + 1;
  std::int64_t column = run.repOffset;
  for (int i = 1; i <= run.nSite; ++i) {
    firstBlock[i] = static_cast<int>(column);
    column += run.blockCount[i];
  }
  const std::int64_t p = column;
  const std::int64_t famEnd = p + run.nFamily;
  const std::int64_t q = famEnd + nSF;
  if (q > INT_MAX)
    throw KorvanError("the model has " + std::to_string(q) + " columns, more than korvan can number (" +
                      std::to_string(INT_MAX) + "); analyse the data in parts");
  run.p = static_cast<int>(p);
  run.famEnd = static_cast<int>(famEnd);
  run.q = static_cast<int>(q);
  run.nRep = run.p - run.repOffset;
  run.nSF = nSF;
  run.colOffset = {0, 0, 1, run.repOffset, run.p, run.famEnd, run.q};
  return firstBlock;
}

void AssignColumns(RunData& run, const std::vector<int>& firstBlock, const std::vector<int>& cell) {
  for (int r = 1; r <= run.nRecord; ++r) {
    const int i = run.recordColumn(r, 1), k = run.recordColumn(r, 2), j = run.recordColumn(r, 3);
    assert(k >= 1 && k <= run.blockCount[i]);
    run.recordColumn(r, 1) = 1;
    run.recordColumn(r, 2) = 1 + i;
    run.recordColumn(r, 3) = firstBlock[i] + k;
    run.recordColumn(r, 4) = run.p + j;
    run.recordColumn(r, 5) = run.famEnd + cell[r];
  }
}

// repSite(c): the site column of block column c. Set from the blocks
// themselves rather than record by record; every block has a record, so the
// result is the same.
void RecordBlockSites(RunData& run, const std::vector<int>& firstBlock) {
  run.repSite.assign(static_cast<std::size_t>(run.p) + 1, 0);
  for (int i = 1; i <= run.nSite; ++i)
    for (int k = 1; k <= run.blockCount[i]; ++k) run.repSite[firstBlock[i] + k] = 1 + i;
}

}  // namespace

void CodeLevels(RunData& run, ProgressLog& log) {
  coding::BeginStage(run, log);
  coding::WriteFirstListing(run, coding::LayOutFullColumns(run), log);
  int nSF = 0;
  const std::vector<int> cell = NumberCells(run, nSF);
  const std::vector<int> firstBlock = SettleCounts(run, nSF);
  AssignColumns(run, firstBlock, cell);
  coding::WriteSecondListing(run, log);
  RecordBlockSites(run, firstBlock);
  coding::EndStage(run, log);
}

}  // namespace korvan
