#include "input/delimited.h"

#if KORVAN_LIBCSV
#include <csv.h>
#endif

#include <algorithm>
#include <new>
#include <string>
#include <utility>

#include "base/korvan_error.h"

namespace korvan::reading {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

#if KORVAN_LIBCSV
// With tab as the delimiter a tab is no blank to be trimmed from a field.
int IsSpaceOnly(unsigned char c) { return c == ' '; }
#endif

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

#if KORVAN_LIBCSV

QuotedRecords::QuotedRecords(char delimiter, std::string path)
    : parser_(new csv_parser), delimiter_(delimiter), path_(std::move(path)) {
  if (csv_init(parser_.get(), CSV_STRICT | CSV_STRICT_FINI) != 0) throw std::bad_alloc();
  csv_set_delim(parser_.get(), static_cast<unsigned char>(delimiter));
  if (delimiter == '\t') csv_set_space_func(parser_.get(), IsSpaceOnly);
}

void QuotedRecords::ParserDeleter::operator()(csv_parser* parser) const {
  csv_free(parser);
  delete parser;
}

// The line end goes in too: inside a quoted field it is part of the text.
bool QuotedRecords::Parse(std::string_view line) {
  return csv_parse(parser_.get(), line.data(), line.size(), AddField, EndRecord, this) == line.size() &&
         csv_parse(parser_.get(), "\n", 1, AddField, EndRecord, this) == 1;
}

#else

QuotedRecords::QuotedRecords(char delimiter, std::string path) : delimiter_(delimiter), path_(std::move(path)) {}

void QuotedRecords::ParserDeleter::operator()(csv_parser*) const {}

// libcsv's strict rules: blanks around a field are dropped, a quote may
// only open a field, and after its closing quote only blanks may stand
// before the delimiter.
bool QuotedRecords::Parse(std::string_view line) {
  auto blank = [this](char c) { return c == ' ' || (c == '\t' && delimiter_ != '\t'); };
  auto endField = [this] {
    text_.resize(text_.size() - trailingBlanks_);
    trailingBlanks_ = 0;
    AddField(nullptr, 0, this);
    state_ = State::kFieldStart;
  };
  for (std::size_t n = 0; n <= line.size(); ++n) {
    const bool end = n == line.size();
    const char c = end ? '\n' : line[n];
    switch (state_) {
      case State::kFieldStart:
        if (end && ends_.empty()) return true;  // a line that holds nothing
        if (end || c == delimiter_)
          endField();
        else if (c == '"')
          state_ = State::kQuoted;
        else if (!blank(c))
          text_ += c, state_ = State::kUnquoted;
        break;
      case State::kUnquoted:
        if (end || c == delimiter_)
          endField();
        else if (c == '"')
          return false;
        else
          text_ += c, trailingBlanks_ = blank(c) ? trailingBlanks_ + 1 : 0;
        break;
      case State::kQuoted:
        if (c == '"')
          state_ = State::kQuoteInQuoted;
        else
          text_ += c;
        break;
      case State::kQuoteInQuoted:
        if (c == '"')
          text_ += c, state_ = State::kQuoted;
        else if (end || c == delimiter_)
          endField();
        else if (blank(c))
          state_ = State::kAfterQuoted;
        else
          return false;
        break;
      case State::kAfterQuoted:
        if (end || c == delimiter_)
          endField();
        else if (!blank(c))
          return false;
        break;
    }
    if (end && state_ == State::kFieldStart) EndRecord(0, this);
  }
  return true;
}

#endif

QuotedRecords::~QuotedRecords() = default;

// A field of `length` bytes at `text` ends; without libcsv it stands in text_ already.
void QuotedRecords::AddField(void* text, std::size_t length, void* self) {
  auto& records = *static_cast<QuotedRecords*>(self);
  if (text != nullptr) records.text_.append(static_cast<const char*>(text), length);
  records.ends_.push_back(records.text_.size());
}

void QuotedRecords::EndRecord(int, void* self) { static_cast<QuotedRecords*>(self)->complete_ = true; }

bool QuotedRecords::Take(std::string_view line, std::int64_t lineNo, std::vector<std::string_view>& fields) {
  if (recordLine_ == 0) {
    recordLine_ = lineNo;
    text_.clear();
    ends_.clear();
  }
  complete_ = false;
  if (!Parse(line)) ThrowMalformed(lineNo);
  if (!complete_) {
    // libcsv passes over a line that holds nothing.
    if (ends_.empty() && IsBlankLine(line)) recordLine_ = 0;
    return false;
  }
  fields.clear();
  std::size_t begin = 0;
  for (const std::size_t end : ends_) {
    fields.emplace_back(text_.data() + begin, end - begin);
    begin = end;
  }
  completedLine_ = recordLine_;
  recordLine_ = 0;
  return true;
}

void QuotedRecords::Finish() const {
  if (recordLine_ != 0)
    throw KorvanError("line " + std::to_string(recordLine_) + " of " + path_ +
                      ": a quoted field opens there and is never closed; check the quotes (\") of that line");
}

void QuotedRecords::ThrowMalformed(std::int64_t lineNo) const {
  throw KorvanError("line " + std::to_string(lineNo) + " of " + path_ +
                    ": a quote (\") stands inside a field that does not begin with one, or after a quoted field "
                    "before its delimiter; a quote inside a quoted field is written twice (\"\")");
}

}  // namespace korvan::reading
