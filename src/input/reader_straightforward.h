#pragma once

#include "base/progress.h"
#include "rundata/rundata.h"

namespace korvan {

// ReadRecords as the method is written: one line at a time, every field
// converted by the general conversion as it is read, each level found by
// searching the stored codes in order. Slow; ReadRecords must give its
// tables, warnings, listing lines and messages.
void ReadRecordsStraightforward(RunData& run, ProgressLog& log);

}  // namespace korvan
