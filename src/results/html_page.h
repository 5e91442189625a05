#pragma once

// The results of a run as one page to look at: a self-contained HTML file
// (inline CSS and SVG, no script, nothing fetched) that opens offline in any
// browser. It is drawn from the results alone, so that every number on the
// page is the results', rounded for the eye.

#include <string>

#include "results/results.h"

namespace korvan {

std::string HtmlPage(const Results& results);

// How the page writes a number: whole numbers whole, others to four
// significant digits in the shortest form (0.4567, 1.235e+05), "–" for a
// missing value. Exposed so that a check of
// the page can round the document's values the same way.
std::string PageNumber(double value);

}  // namespace korvan
