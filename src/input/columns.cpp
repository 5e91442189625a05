#include "input/columns.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <string>

#include "base/korvan_error.h"
#include "base/nearest_name.h"
#include "input/delimited.h"
#include "input/reader_shared.h"
#include "input/run_parameters.h"

namespace korvan::reading {

namespace {

bool SameLetters(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string DelimiterWords(char d) {
  return std::string("fields apart at ") + (d == ',' ? "commas" : d == ';' ? "semicolons" : "tabs");
}

class ColumnFinder {
 public:
  ColumnFinder(const RunData& run, const std::vector<std::string_view>& first) : run_(run) {
    for (const std::string_view field : first) header_.push_back(TrimField(field));
  }

  // The column (from 0) a name or number stands for; -1 when none. A name
  // matches as written, or else in any letter case when one column alone
  // matches so.
  int Lookup(std::string_view given, Field field) const {
    const std::string_view wanted = TrimField(given);
    if (run_.params.header) {
      for (std::size_t n = 0; n < header_.size(); ++n)
        if (header_[n] == wanted) return static_cast<int>(n);
      std::vector<std::size_t> matches;
      for (std::size_t n = 0; n < header_.size(); ++n)
        if (SameLetters(header_[n], wanted)) matches.push_back(n);
      if (matches.size() == 1) return static_cast<int>(matches.front());
      if (matches.size() > 1) {
        std::string which;
        for (const std::size_t n : matches)
          which += (which.empty() ? "" : " and ") + std::to_string(n + 1) + " '" + std::string(header_[n]) + "'";
        throw KorvanError(run_.params.NameOf(field) + ": '" + std::string(wanted) + "' names columns " + which +
                          " of " + run_.params.dataPath + ", which differ only in letter case; type the name as "
                          "the header writes it");
      }
    }
    const int number = ColumnNumber(wanted);
    if (number == 0) return -1;
    if (static_cast<std::size_t>(number) > header_.size())
      throw KorvanError(run_.params.NameOf(field) + ": column " + std::to_string(number) + ", but the first line of " +
                        run_.params.dataPath + " has " + std::to_string(header_.size()) + " columns (" +
                        DelimiterWords(run_.delimiter) + ")");
    return number - 1;
  }

  int Find(std::string_view given, Field field) const {
    const int column = Lookup(given, field);
    if (column < 0) ThrowNoColumn(given, field);
    return column;
  }

  // Names and numbers, where a range ("dj-h5", "5-10") stands for every
  // column from one to the other. A name that holds a dash is a name first.
  std::vector<int> FindAll(const std::vector<std::string>& given, Field field) const {
    std::vector<int> columns;
    for (const std::string& item : given) {
      if (const int column = Lookup(item, field); column >= 0) {
        columns.push_back(column);
        continue;
      }
      const auto [from, to] = Range(item, field);
      if (from < 0) ThrowNoColumn(item, field);
      for (int c = from; c <= to; ++c) columns.push_back(c);
    }
    return columns;
  }

 private:
  std::pair<int, int> Range(std::string_view item, Field field) const {
    const std::string_view text = TrimField(item);
    for (std::size_t dash = text.find('-', 1); dash != std::string_view::npos; dash = text.find('-', dash + 1)) {
      const int from = Lookup(text.substr(0, dash), field);
      const int to = from < 0 ? -1 : Lookup(text.substr(dash + 1), field);
      if (to < 0) continue;
      if (to < from)
        throw KorvanError(run_.params.NameOf(field) + ": the range '" + std::string(text) + "' runs backwards, from column " +
                          std::to_string(from + 1) + " to column " + std::to_string(to + 1) + "; give its first column first");
      return {from, to};
    }
    return {-1, -1};
  }

  [[noreturn]] void ThrowNoColumn(std::string_view given, Field field) const {
    const std::string wanted(TrimField(given));
    std::string message = run_.params.NameOf(field) + ": ";
    if (!run_.params.header)
      throw KorvanError(message + "'" + wanted + "' is no column number, and a file without a header names no columns");
    message += "no column '" + wanted + "' in the header of " + run_.params.dataPath;
    const std::string_view nearest = NearestName(wanted, header_);
    std::vector<std::string> names(header_.begin(), header_.end());
    message += nearest.empty() ? "; its" : "; did you mean '" + std::string(nearest) + "'? Its";
    throw KorvanError(message + " columns (" + DelimiterWords(run_.delimiter) + ") are " + ColumnList(names));
  }

  const RunData& run_;
  std::vector<std::string_view> header_;
};

}  // namespace

int ColumnNumber(std::string_view text) {
  int number = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size() || number < 1) return 0;
  return number;
}

std::string ColumnList(const std::vector<std::string>& columns) {
  std::string list;
  for (std::size_t n = 0; n < columns.size(); ++n)
    list += (n == 0 ? "" : ", ") + std::to_string(n + 1) + " " + (columns[n].empty() ? "(no name)" : columns[n]);
  return list;
}

SheetHeader ReadSheetHeader(const RunParameters& params) {
  LineSource source(params.dataPath);
  std::optional<QuotedRecords> quoted;
  std::vector<std::string_view> fields;
  std::string_view line;
  SheetHeader header;
  while (source.Next(line)) {
    if (source.LineNumber() == 1) DataFileLines::DropByteOrderMark(line);
    if (!quoted) {
      if (IsBlankLine(line) || line.front() == ':') continue;
      header.delimiter = params.delimiter != 0 ? params.delimiter : FindDelimiter(line);
      if (header.delimiter == 0) {
        header.line = source.LineNumber();
        header.columns.emplace_back(TrimField(line));
        return header;
      }
      quoted.emplace(header.delimiter, params.dataPath);
    }
    if (!quoted->InRecord() && HoldsNothing(line, header.delimiter)) continue;
    if (!quoted->Take(line, source.LineNumber(), fields)) continue;
    header.line = quoted->RecordLine();
    for (const std::string_view field : fields) header.columns.emplace_back(TrimField(field));
    return header;
  }
  return header;
}

bool LooksDelimited(const std::string& path) {
  std::string lower(path);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  for (const char* suffix : {".csv", ".tsv", ".tab"})
    if (lower.ends_with(suffix)) return true;
  RunParameters params;
  params.dataPath = path;
  const SheetHeader header = ReadSheetHeader(params);
  return header.delimiter != 0;
}

void ResolveColumns(RunData& run, const std::vector<std::string_view>& first) {
  const RunParameters& params = run.params;
  const ColumnFinder finder(run, first);
  run.siteColumn = finder.Find(params.siteColumn, Field::kSiteColumn);
  run.blockColumn = finder.Find(params.blockColumn, Field::kBlockColumn);
  run.familyColumn = finder.Find(params.familyColumn, Field::kFamilyColumn);
  run.ageColumn = params.ageColumn.empty() ? -1 : finder.Find(params.ageColumn, Field::kAgeColumn);
  run.traitColumn = finder.FindAll(params.traitColumns, Field::kTraitColumns);
  // One column named and more traits counted: the traits stand side by side from it.
  const bool counted = params.nTrait > 0 && params.nTrait < kNoLimit;
  const auto named = static_cast<double>(run.traitColumn.size());
  if (counted && params.nTrait != named) {
    if (run.traitColumn.size() != 1)
      throw KorvanError(params.NameOf(Field::kTraits) + ": " + NumberText(params.nTrait) + ", but " +
                        std::to_string(run.traitColumn.size()) + " trait columns are named; leave out " +
                        params.NameOf(Field::kTraits) + " or name one column to count from");
    const int last = run.traitColumn.front() + static_cast<int>(params.nTrait) - 1;
    if (static_cast<std::size_t>(last) >= first.size())
      throw KorvanError(params.NameOf(Field::kTraits) + ": " + NumberText(params.nTrait) + " traits from column " +
                        std::to_string(run.traitColumn.front() + 1) + " run to column " + std::to_string(last + 1) +
                        ", but the first line of " + params.dataPath + " has " + std::to_string(first.size()) +
                        " columns");
    for (int c = run.traitColumn.front() + 1; c <= last; ++c) run.traitColumn.push_back(c);
  }
  run.nTrait = static_cast<int>(run.traitColumn.size());
  run.traitName.assign(1, {});
  for (const int c : run.traitColumn)
    run.traitName.emplace_back(params.header ? TrimField(first[static_cast<std::size_t>(c)]) : "");
}

int LastColumn(const RunData& run) {
  int last = std::max({run.siteColumn, run.blockColumn, run.familyColumn, run.ageColumn});
  for (const int c : run.traitColumn) last = std::max(last, c);
  return last;
}

}  // namespace korvan::reading
