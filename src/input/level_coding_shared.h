#pragma once

// What both forms of the level coding share: the stage's progress, the full
// layout of the columns and the two listings. Only the two forms include this.

#include <cstdint>

#include "base/progress.h"
#include "rundata/rundata.h"

namespace korvan::coding {

// The columns before empty ones are removed: every site has room for nBlock
// blocks and every site x family cell has a column. With absurd declared
// counts they pass 32 bits, so they are only ever held in 64 bits.
struct FullLayout {
  std::int64_t repOffset = 0;
  std::int64_t p = 0;
  std::int64_t famEnd = 0;
  std::int64_t q = 0;
};

// The stage as the window's progress bar sees it.
void BeginStage(const RunData& run, ProgressLog& log);
void EndStage(const RunData& run, ProgressLog& log);

FullLayout LayOutFullColumns(const RunData& run);

// Each record's levels with its columns in the full layout; recordColumn
// still holds the levels.
void WriteFirstListing(const RunData& run, const FullLayout& full, ProgressLog& log);

// Each record's final columns.
void WriteSecondListing(const RunData& run, ProgressLog& log);

}  // namespace korvan::coding
