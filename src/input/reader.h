#pragma once

#include "input/rundata.h"
#include "ui/progress.h"

namespace korvan {

// Reads the records of the selected age, numbering sites, blocks within sites
// and families in order of first occurrence, with one listing line per record.
void ReadRecords(RunData& run, ProgressLog& log);

}  // namespace korvan
