#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/korvan_error.h"
#include "base/progress.h"
#include "rundata/rundata.h"

namespace korvan {

// Reads the records of the selected age, numbering sites, blocks within sites
// and families in order of first occurrence, with one listing line per record.
void ReadRecords(RunData& run, ProgressLog& log);

// Refuses what was read when it cannot be analysed: no record of the selected
// age, or a code or trait field that held no number in any record (a field
// in the wrong place, which would otherwise be analysed as all zeros).
// With --missing stop, trees that lack trait values stop the run here, with
// how many lack which traits; the window asks instead what to do.
void CheckRecordsRead(const RunData& run);

// The counts the data need against the declared ones; a count left out is
// what the data hold (for blocks, the most any site has).
void SettleCounts(RunData& run);

// Warnings for fixed-column fields that look mis-set: a number runs across a
// field's edge in some selected records, or a code field holds two numbers
// apart in most of them. Each shows one such line under a ruler.
std::vector<std::string> MisSetFieldWarnings(const RunData& run);

// Everything the reading did that the user should hear of although the run
// went on, in the words of the file at hand: fields read as 0 and what that
// does to the results, trees left out, and the warnings above.
std::vector<std::string> ReadingWarnings(const RunData& run);

// The procedure's lines about the reading, outside the listings: how a
// sheet's decimal commas were read, and how many trees were left out.
void WriteReadingNotes(const RunData& run, ProgressLog& log);

// How the numbers of a sheet were read when some trait field wrote a
// decimal comma ("2463 trait fields written with decimal commas, such as
// 0,334 on line 2, were read as decimals"); empty otherwise.
std::string DecimalCommaNote(const RunData& run);

// Records of the selected age lack trait values and the run was told to stop.
class MissingValues : public KorvanError {
 public:
  MissingValues(const std::string& message, std::int64_t trees, std::int64_t firstLine)
      : KorvanError(message), trees(trees), firstLine(firstLine) {}
  std::int64_t trees;      // records lacking some trait
  std::int64_t firstLine;  // file line of the first
};

}  // namespace korvan
