#pragma once

// The columns of a delimited file: its header read before the records, the
// run's columns found in it by name (any letter case, when that is
// unambiguous), by number or by a range of either, and the words a message
// uses to show them.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "rundata/rundata.h"

namespace korvan::reading {

// The first record of a delimited file: its header, or its first record
// with --no-header.
struct SheetHeader {
  char delimiter = 0;                // 0: the first line holds no comma, semicolon or tab
  std::vector<std::string> columns;  // each field without the blanks and quotes around it
  std::int64_t line = 0;             // its line; 0 when the file holds no line but comments and blanks
};
// Reads only as far as that record. Throws when the file cannot be read.
SheetHeader ReadSheetHeader(const RunParameters& params);

// Whether a file is a sheet saved as delimited text rather than a
// fixed-column file: its name says so (.csv, .tsv, .tab), or its first line
// that is no comment holds a semicolon or a tab, or a comma between fields.
bool LooksDelimited(const std::string& path);

// The columns as a message lists them, every one: "1 site, 2 rep, 3 hybrid".
std::string ColumnList(const std::vector<std::string>& columns);

// The columns of the run from the first record of the file: names are
// looked up in the header, numbers count from 1, and "dj-h5" or "5-10"
// stands for every column from one to the other. Sets siteColumn ..
// traitColumn, traitName and nTrait.
void ResolveColumns(RunData& run, const std::vector<std::string_view>& first);

// A column number as typed, from 1; 0 for any other text.
int ColumnNumber(std::string_view text);

// The largest column index a record is read from.
int LastColumn(const RunData& run);

}  // namespace korvan::reading
