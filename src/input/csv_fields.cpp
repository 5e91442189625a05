#include "input/csv_fields.h"

#include <algorithm>

namespace korvan::reading {

std::size_t CsvFields::SkipBlanks(std::string_view line, std::size_t at) const {
  while (at < line.size() && IsBlank(line[at])) ++at;
  return at;
}

std::size_t CsvFields::ReadQuoted(std::string_view line, std::size_t at) {
  for (;;) {
    const std::size_t quote = line.find('"', at);
    if (quote == std::string_view::npos) {
      text_.append(line.substr(at));
      return std::string_view::npos;
    }
    text_.append(line.substr(at, quote - at));
    // A quote at the end of the line closes the field: a quote written
    // twice never spans a line end.
    if (quote + 1 == line.size() || line[quote + 1] != '"') return quote + 1;
    text_ += '"';
    at = quote + 2;
  }
}

CsvFields::Step CsvFields::Take(std::string_view line, std::vector<std::string_view>& fields) {
  std::size_t at = 0;
  bool quoted = open_;  // the line begins inside a quoted field
  if (open_) {
    // The line end that the file splits at is the field's own.
    text_ += '\n';
    open_ = false;
  } else {
    if (SkipBlanks(line, 0) == line.size()) return Step::kNothing;
    text_.clear();
    ends_.clear();
  }
  // One field each time round, from its first character to its delimiter.
  for (;;) {
    if (!quoted) {
      at = SkipBlanks(line, at);
      quoted = at < line.size() && line[at] == '"';
      at += quoted;
    }
    if (quoted) {
      at = ReadQuoted(line, at);
      if (at == std::string_view::npos) {
        open_ = true;
        return Step::kOpen;
      }
      at = SkipBlanks(line, at);
      if (at < line.size() && line[at] != delimiter_) return Step::kMalformed;
    } else {
      const std::size_t end = std::min(line.find(delimiter_, at), line.size());
      std::string_view field = line.substr(at, end - at);
      if (field.find('"') != std::string_view::npos) return Step::kMalformed;
      while (!field.empty() && IsBlank(field.back())) field.remove_suffix(1);
      text_.append(field);
      at = end;
    }
    ends_.push_back(text_.size());
    if (at == line.size()) break;
    ++at;  // past the delimiter
    quoted = false;
  }
  // Views only now: text_ may have moved while it grew.
  fields.clear();
  std::size_t begin = 0;
  for (const std::size_t end : ends_) {
    fields.emplace_back(text_.data() + begin, end - begin);
    begin = end;
  }
  return Step::kRecord;
}

}  // namespace korvan::reading
