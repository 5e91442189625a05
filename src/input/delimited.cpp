#include "input/delimited.h"

#include <algorithm>
#include <charconv>
#include <string>
#include <utility>

#include "base/korvan_error.h"

namespace korvan::reading {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A column number as typed: digits only, from 1.
}  // namespace

int ColumnNumber(std::string_view text) {
  int number = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size() || number < 1) return 0;
  return number;
}

namespace {

class ColumnFinder {
 public:
  ColumnFinder(const RunData& run, const std::vector<std::string_view>& first) : run_(run), first_(first) {}

  // The column (from 0) a name or number of `field` stands for.
  int Find(std::string_view given, Field field) const {
    const std::string_view wanted = TrimField(given);
    if (run_.params.header) {
      for (std::size_t n = 0; n < first_.size(); ++n)
        if (TrimField(first_[n]) == wanted) return static_cast<int>(n);
    }
    const int number = ColumnNumber(wanted);
    if (number == 0) ThrowNoColumn(given, field);
    if (static_cast<std::size_t>(number) > first_.size())
      throw KorvanError(run_.params.NameOf(field) + ": column " + std::to_string(number) + ", but the first line of " +
                        run_.params.dataPath + " has " + std::to_string(first_.size()) + " columns" + Delimiter());
    return number - 1;
  }

  // Names and numbers, where a range of numbers ("5-10") stands for every
  // column from one to the other.
  std::vector<int> FindAll(const std::vector<std::string>& given, Field field) const {
    std::vector<int> columns;
    for (const std::string& item : given) {
      const auto [from, to] = ColumnRange(item);
      if (from == 0) {
        columns.push_back(Find(item, field));
        continue;
      }
      for (int c = from; c <= to; ++c) columns.push_back(Find(std::to_string(c), field));
    }
    return columns;
  }

 private:
  std::string Delimiter() const {
    const char d = run_.delimiter;
    return std::string(" (fields apart at ") + (d == ',' ? "commas" : d == ';' ? "semicolons" : "tabs") + ")";
  }

  [[noreturn]] void ThrowNoColumn(std::string_view given, Field field) const {
    std::string message = run_.params.NameOf(field) + ": ";
    if (!run_.params.header)
      throw KorvanError(message + "'" + std::string(given) +
                        "' is no column number, and a file without a header names no columns");
    message += "no column '" + std::string(given) + "' in the header of " + run_.params.dataPath + "; its columns are ";
    for (std::size_t n = 0; n < first_.size() && n < kShownColumns; ++n)
      message += (n == 0 ? "'" : ", '") + std::string(TrimField(first_[n])) + "'";
    if (first_.size() > kShownColumns) message += " and " + std::to_string(first_.size() - kShownColumns) + " more";
    throw KorvanError(message + Delimiter());
  }

  static constexpr std::size_t kShownColumns = 12;
  const RunData& run_;
  const std::vector<std::string_view>& first_;
};

}  // namespace

std::pair<int, int> ColumnRange(std::string_view item) {
  const std::string_view text = TrimField(item);
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos) return {0, 0};
  const int from = ColumnNumber(text.substr(0, dash)), to = ColumnNumber(text.substr(dash + 1));
  if (from == 0 || to < from) return {0, 0};
  return {from, to};
}

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

void ResolveColumns(RunData& run, const std::vector<std::string_view>& first) {
  const RunParameters& params = run.params;
  const ColumnFinder finder(run, first);
  run.siteColumn = finder.Find(params.siteColumn, Field::kSiteColumn);
  run.blockColumn = finder.Find(params.blockColumn, Field::kBlockColumn);
  run.familyColumn = finder.Find(params.familyColumn, Field::kFamilyColumn);
  run.ageColumn = params.ageColumn.empty() ? -1 : finder.Find(params.ageColumn, Field::kAgeColumn);
  run.traitColumn = finder.FindAll(params.traitColumns, Field::kTraitColumns);
  // One column named and more traits counted: the traits stand side by side from it.
  if (run.traitColumn.size() == 1 && run.nTrait > 1) {
    const int last = run.traitColumn.front() + run.nTrait - 1;
    for (int c = run.traitColumn.front() + 1; c <= last; ++c) run.traitColumn.push_back(c);
    if (static_cast<std::size_t>(last) >= first.size())
      throw KorvanError(params.NameOf(Field::kTraits) + ": " + std::to_string(run.nTrait) + " traits from column " +
                        std::to_string(run.traitColumn.front() + 1) + " run to column " + std::to_string(last + 1) +
                        ", but the first line of " + params.dataPath + " has " + std::to_string(first.size()) +
                        " columns");
  }
  run.traitName.assign(1, {});
  for (const int c : run.traitColumn)
    run.traitName.emplace_back(params.header && static_cast<std::size_t>(c) < first.size() ? TrimField(first[static_cast<std::size_t>(c)]) : "");
}

int LastColumn(const RunData& run) {
  int last = std::max({run.siteColumn, run.blockColumn, run.familyColumn, run.ageColumn});
  for (const int c : run.traitColumn) last = std::max(last, c);
  return last;
}

}  // namespace korvan::reading
