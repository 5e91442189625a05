#pragma once

#include "input/rundata.h"
#include "base/progress.h"

namespace korvan {

// Reads the records of the selected age, numbering sites, blocks within sites
// and families in order of first occurrence, with one listing line per record.
void ReadRecords(RunData& run, ProgressLog& log);

// Refuses what was read when it cannot be analysed: no record of the selected
// age, or a code or trait field that held no number in any record (a field
// in the wrong place, which would otherwise be analysed as all zeros).
void CheckRecordsRead(const RunData& run);

}  // namespace korvan
