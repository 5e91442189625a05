#pragma once

// Delimited files, as spreadsheets save them: one record per line, fields
// apart at a comma, semicolon or tab, quoted by RFC 4180 where they hold one.
// Only the readers and the preview include this.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "input/csv_fields.h"
#include "rundata/rundata.h"

namespace korvan::reading {

// The delimiter a line uses: of comma, semicolon and tab outside quotes, the
// one it holds most of (a comma on a tie, then a semicolon); 0 when none.
char FindDelimiter(std::string_view line);

// True when nothing but blanks and tabs stands in the line.
bool IsBlankLine(std::string_view line);

// A sheet's empty row is saved as its delimiters alone.
inline bool HoldsNothing(std::string_view line, char delimiter) {
  for (const char c : line)
    if (c != ' ' && c != '\t' && c != delimiter) return false;
  return true;
}

// A line without a quote split at the delimiter: the fields as they stand,
// at most `limit` of them, the last holding the rest of the line.
inline void SplitPlainLine(std::string_view line, char delimiter, std::vector<std::string_view>& fields,
                           std::size_t limit = SIZE_MAX) {
  fields.clear();
  for (;;) {
    const std::size_t at = fields.size() + 1 < limit ? line.find(delimiter) : std::string_view::npos;
    fields.push_back(line.substr(0, at));
    if (at == std::string_view::npos) return;
    line.remove_prefix(at + 1);
  }
}

// The records of a delimited file, read by CsvFields, with the line each
// began on and the user's messages for broken quotes. Lines go in one at a
// time, without their ends.
class QuotedRecords {
 public:
  QuotedRecords(char delimiter, std::string path) : parser_(delimiter), path_(std::move(path)) {}

  // Takes line `lineNo`; true when it completes a record, whose fields are
  // then in `fields` (valid until the next call) and which began on
  // RecordLine().
  bool Take(std::string_view line, std::int64_t lineNo, std::vector<std::string_view>& fields);
  // A quoted field is still open at the end of a line.
  bool InRecord() const { return parser_.Open(); }
  std::int64_t RecordLine() const { return completedLine_; }
  // At the end of the file: a quote still open is an error.
  void Finish() const;

 private:
  [[noreturn]] void ThrowMalformed(std::int64_t lineNo) const;

  CsvFields parser_;
  std::string path_;
  std::int64_t recordLine_ = 0;     // first line of the record being read
  std::int64_t completedLine_ = 0;  // first line of the record last completed
};

// A field as a code or a missing code compares it: without blanks, tabs and
// enclosing quotes.
std::string_view TrimField(std::string_view field);

}  // namespace korvan::reading
