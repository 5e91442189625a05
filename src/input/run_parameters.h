#pragma once

#include <string>

#include "rundata/rundata.h"

namespace korvan {

// Checks the parameters before anything is read and starts the run's data
// with the capacities and field windows they give. Throws KorvanError naming
// the box or option at fault.
RunData PrepareRun(const RunParameters& params);
// The same without the report: what reading the data file needs.
RunData PrepareReading(const RunParameters& params);

// Refuses a data path that names no file to read.
void CheckDataPath(const RunParameters& params);
// Sorts the missing codes into numbers and texts.
void SplitMissingCodes(RunData& run);

// A parameter's value as messages quote it: the shortest text that reads back
// as the same double, without blanks.
std::string NumberText(double value);

}  // namespace korvan
