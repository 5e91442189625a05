#pragma once

// Delimited files, as spreadsheets save them: one record per line, fields
// apart at a comma, semicolon or tab, quoted by RFC 4180 where they hold one.
// Only the readers and the preview include this.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "input/rundata.h"

struct csv_parser;

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

// Records whose quoted fields may hold delimiters, quotes (written twice) and
// line ends, read by libcsv where the build has it (Debian has none for the
// Windows programs, which read them by the same rules themselves). Lines go
// in one at a time, without their ends.
class QuotedRecords {
 public:
  QuotedRecords(char delimiter, std::string path);
  ~QuotedRecords();
  QuotedRecords(const QuotedRecords&) = delete;
  QuotedRecords& operator=(const QuotedRecords&) = delete;

  // Takes line `lineNo`; true when it completes a record, whose fields are
  // then in `fields` (valid until the next call) and which began on
  // RecordLine().
  bool Take(std::string_view line, std::int64_t lineNo, std::vector<std::string_view>& fields);
  // A quoted field is still open at the end of a line.
  bool InRecord() const { return recordLine_ != 0; }
  std::int64_t RecordLine() const { return completedLine_; }
  // At the end of the file: a quote still open is an error.
  void Finish() const;

 private:
  static void AddField(void* text, std::size_t length, void* self);
  static void EndRecord(int, void* self);
  // Reads the line and its end into text_ and ends_; false when a quote
  // breaks the rules.
  bool Parse(std::string_view line);
  [[noreturn]] void ThrowMalformed(std::int64_t lineNo) const;

  struct ParserDeleter {
    void operator()(csv_parser* parser) const;
  };
  std::unique_ptr<csv_parser, ParserDeleter> parser_;
  char delimiter_;
  // Where the reading stands without libcsv.
  enum class State { kFieldStart, kUnquoted, kQuoted, kQuoteInQuoted, kAfterQuoted } state_ = State::kFieldStart;
  std::size_t trailingBlanks_ = 0;  // of the unquoted field being read
  std::string path_;
  std::string text_;               // the fields of the record, one after another
  std::vector<std::size_t> ends_;  // where each field ends in text_
  bool complete_ = false;
  std::int64_t recordLine_ = 0;     // first line of the record being read; 0 between records
  std::int64_t completedLine_ = 0;  // first line of the record last completed
};

// A field as a code or a missing code compares it: without blanks, tabs and
// enclosing quotes.
std::string_view TrimField(std::string_view field);

}  // namespace korvan::reading
