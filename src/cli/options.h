#pragma once

// The options of korvan-cli: one table of rows, each with its value's
// shape, its group, its setter (which checks the value) and its help text.
// Reading the words of a command line needs no process and no file.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rundata/rundata.h"

namespace korvan::cli {

// What the command line asks for.
struct CliOptions {
  RunParameters params;
  std::optional<std::string> procedurePath;  // --procedure
  std::optional<std::string> timingsPath;    // --timings
  bool quiet = false;
  int preview = 0;  // records to show; 0: a run, not a preview
  bool help = false;
  bool version = false;
  std::vector<std::string> named;  // the options given, in the order of the table
  bool Named(std::string_view name) const;
  // Some option places a field or names a column.
  bool ColumnsNamed() const;
};

// A command line that cannot be read; the message names the option.
struct UsageError {
  std::string message;
};

// The options of `words` (the command line without the program's name).
// Throws UsageError.
CliOptions ParseOptions(const std::vector<std::string_view>& words);

// What a run or preview of the data file still needs: for a delimited file
// without its columns, the options that name them and the header's
// columns, in one message; for a fixed-column file the options that place
// its fields. Reads the data file's first record when no column or field
// option is given. Throws UsageError, or KorvanError when the file cannot
// be read.
void CheckOptionsGiven(CliOptions& options);

// The text of --help: what korvan-cli does, then every option by group.
std::string HelpText();

}  // namespace korvan::cli
