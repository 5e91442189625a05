#pragma once

#include <string>

#include "base/progress.h"
#include "rundata/rundata.h"

namespace korvan {

// What the data file holds, as a run would read it, without analysing it:
// for the first `shown` selected records each field's characters as taken
// and the value or name read, then the ages, sites with their blocks,
// families, records, site x family cells, missing values, the capacities a
// run needs and the warnings. `progress` sees the reading as a run's.
std::string PreviewData(const RunParameters& params, int shown, ProgressSink& progress);

// What a data file holds before its fields are placed or its columns named:
// a sheet's columns (each with its number, header name, first `shown`
// values and how many of its fields are numbers, names or missing), or a
// fixed-column file's first `shown` lines under a ruler of positions; then
// the options a run needs.
std::string PreviewFile(const RunParameters& params, int shown);

}  // namespace korvan
