#pragma once

#include <string>
#include <vector>

#include "rundata/rundata.h"

namespace korvan {

// Stops, with a KorvanError saying what in the trial causes it, a design
// whose analysis-of-variance lines would have no degrees of freedom or whose
// equations are singular because levels are not linked: sites not linked by
// families, blocks not linked by families, or blocks of one site not linked
// by the families planted at that site. Graph connectivity decides this
// exactly; in single precision a pivot of a disconnected design does not
// always fall below the threshold, and the results would be garbage.
void CheckDesign(const RunData& run);

// How messages name levels and model columns, by the codes of the data file:
// "site 20", "block 3 of site 20", "blocks 1 and 3 of site 20 and block 2 of
// site 7". `reps` are local block numbers (1..nRep); at most `most` are named.
std::string SiteName(const RunData& run, int site);
std::string BlockNames(const RunData& run, const std::vector<int>& reps, std::size_t most = 4);
// A fixed column (1..p): "the mean", a site or a block.
std::string FixedColumnName(const RunData& run, int column);

// The start of every message about the design: "The trial in <data file>".
std::string TrialText(const RunData& run);

}  // namespace korvan
