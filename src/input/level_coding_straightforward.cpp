#include "input/level_coding_straightforward.h"

#include <array>
#include <cstdint>
#include <vector>

#include "input/level_coding_shared.h"

namespace korvan {

namespace {

// Every column of the full layout tested against every record, the later
// columns closing up behind each empty one.
void RemoveEmptyColumnsStraightforward(RunData& run, const coding::FullLayout& full) {
  std::vector<std::array<std::int64_t, 6>> columns(static_cast<std::size_t>(run.nRecord) + 1);
  for (int r = 1; r <= run.nRecord; ++r) {
    const std::int64_t i = run.recordColumn(r, 1), k = run.recordColumn(r, 2), j = run.recordColumn(r, 3);
    columns[r] = {0, 1, 1 + i, full.repOffset + (i - 1) * run.nBlock + k, full.p + j,
                  full.famEnd + (i - 1) * run.nFamily + j};
  }
  struct Range {
    std::int64_t first, last;
    int element;
  };
  std::int64_t shift = 0;
  std::int64_t removedAfter[6] = {};  // removed columns up to the end of factor 3, 4 and 5
  for (const Range range : {Range{full.repOffset + 1, full.p, 3}, Range{full.p + 1, full.famEnd, 4},
                            Range{full.famEnd + 1, full.q, 5}}) {
    for (std::int64_t c = range.first; c <= range.last; ++c) {
      bool used = false;
      for (int r = 1; r <= run.nRecord; ++r) {
        if (columns[r][range.element] == c) {
          columns[r][range.element] = c - shift;
          used = true;
        }
      }
      if (!used) ++shift;
    }
    removedAfter[range.element] = shift;
  }
  // What is left of the layout.
  run.repOffset = run.nSite + 1;
  run.p = static_cast<int>(full.p - removedAfter[3]);
  run.famEnd = static_cast<int>(full.famEnd - removedAfter[4]);
  run.q = static_cast<int>(full.q - removedAfter[5]);
  run.nRep = run.p - run.repOffset;
  run.nSF = run.q - run.famEnd;
  run.colOffset = {0, 0, 1, run.repOffset, run.p, run.famEnd, run.q};
  for (int r = 1; r <= run.nRecord; ++r)
    for (int factor = 1; factor <= 5; ++factor) run.recordColumn(r, factor) = static_cast<std::int32_t>(columns[r][factor]);
}

// repSite set record by record.
void RecordBlockSitesStraightforward(RunData& run) {
  run.repSite.assign(static_cast<std::size_t>(run.p) + 1, 0);
  for (int r = 1; r <= run.nRecord; ++r) run.repSite[run.recordColumn(r, 3)] = run.recordColumn(r, 2);
}

}  // namespace

void CodeLevelsStraightforward(RunData& run, ProgressLog& log) {
  coding::BeginStage(run, log);
  const coding::FullLayout full = coding::LayOutFullColumns(run);
  coding::WriteFirstListing(run, full, log);
  RemoveEmptyColumnsStraightforward(run, full);
  coding::WriteSecondListing(run, log);
  RecordBlockSitesStraightforward(run);
  coding::EndStage(run, log);
}

}  // namespace korvan
