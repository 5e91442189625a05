#include "input/delimited.h"

#include <algorithm>
#include <string>
#include <utility>

#include "base/korvan_error.h"

namespace korvan::reading {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

char FindDelimiter(std::string_view line) {
  std::size_t comma = 0, semicolon = 0, tab = 0;
  bool quoted = false;
  for (const char c : line) {
    if (c == '"') quoted = !quoted;
    if (quoted) continue;
    comma += c == ',';
    semicolon += c == ';';
    tab += c == '\t';
  }
  if (comma == 0 && semicolon == 0 && tab == 0) return 0;
  if (comma >= semicolon && comma >= tab) return ',';
  return semicolon >= tab ? ';' : '\t';
}

bool IsBlankLine(std::string_view line) { return std::all_of(line.begin(), line.end(), IsBlank); }

std::string_view TrimField(std::string_view field) {
  while (!field.empty() && IsBlank(field.front())) field.remove_prefix(1);
  while (!field.empty() && IsBlank(field.back())) field.remove_suffix(1);
  if (field.size() >= 2 && field.front() == '"' && field.back() == '"') {
    field = field.substr(1, field.size() - 2);
    return TrimField(field);
  }
  return field;
}

bool QuotedRecords::Take(std::string_view line, std::int64_t lineNo, std::vector<std::string_view>& fields) {
  if (!parser_.Open()) recordLine_ = lineNo;
  switch (parser_.Take(line, fields)) {
    case CsvFields::Step::kRecord:
      completedLine_ = recordLine_;
      return true;
    case CsvFields::Step::kOpen:
    case CsvFields::Step::kNothing:
      return false;
    case CsvFields::Step::kMalformed:
      break;
  }
  ThrowMalformed(lineNo);
}

void QuotedRecords::Finish() const {
  if (parser_.Open())
    throw KorvanError("line " + std::to_string(recordLine_) + " of " + path_ +
                      ": a quoted field opens there and is never closed; check the quotes (\") of that line");
}

void QuotedRecords::ThrowMalformed(std::int64_t lineNo) const {
  throw KorvanError("line " + std::to_string(lineNo) + " of " + path_ +
                    ": a quote (\") stands inside a field that does not begin with one, or after a quoted field "
                    "before its delimiter; a quote inside a quoted field is written twice (\"\")");
}

}  // namespace korvan::reading
