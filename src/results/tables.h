#pragma once

// The results as CSV tables for a spreadsheet or R: one header
// row, names as in the data, numbers in full double precision, quoted as
// RFC 4180 asks.

#include "results/results.h"

#include <string>
#include <vector>

namespace korvan {

struct CsvTable {
  std::string fileName;  // design.csv, anova.csv, ...
  std::string text;
};

// Every table, each number the results' own, to the bit.
std::vector<CsvTable> ResultsTables(const Results& results);

// The names of the tables, in the order ResultsTables gives them: without
// REML's, or with them after the rest.
std::vector<std::string> ResultsTableNames();
std::vector<std::string> ResultsTableNames(bool reml);

}  // namespace korvan
