#include "input/preview.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "base/korvan_error.h"
#include "input/reader.h"
#include "input/columns.h"
#include "input/reader_shared.h"
#include "input/run_parameters.h"

namespace korvan {

namespace {

using reading::CodeRead;

// Lists stop after this many items: a preview is read on a screen.
constexpr std::size_t kListed = 20;

std::string Plural(std::int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string FieldsApart(char delimiter) {
  return std::string("fields apart at ") + (delimiter == ',' ? "commas" : delimiter == ';' ? "semicolons" : "tabs");
}

// A numeric code's exact value, every digit.
std::string ExactText(const CodeRead& code) {
  if (code.whole) return std::to_string(code.wholeValue);
  std::string text;
  code.exact.AppendAllDigits(text);
  return text.substr(text.front() == ' ' ? 1 : 0, text.size() - (text.front() == ' ' ? 2 : 1));
}

// The first records of the selected age, field by field.
class RecordLister {
 public:
  RecordLister(RunData& run, int shown, std::string& out) : run_(run), shown_(shown), out_(out), store_(run, log_) {}

  void Line(std::string_view line, std::int64_t lineNo) {
    if (!delimited_ && run_.delimited()) delimited_.emplace(run_, true);
    if (!delimited_) {
      if (store_.PassComment(line)) return;
      store_.SetLine(line, lineNo);
    } else {
      if (!delimited_->InRecord() && store_.PassComment(line)) return;
      if (!delimited_->Take(line, lineNo)) return;
      store_.SetFields(delimited_->Fields(), delimited_->RecordLine());
    }
    Record();
  }

  // Once the records are shown, only the ages are wanted, if any.
  bool Done() const { return listed_ >= shown_ && run_.delimited() && run_.ageColumn < 0; }

  // Records of each age, and of none.
  const std::map<double, std::int64_t>& Ages() const { return ages_; }
  std::int64_t NoAge() const { return noAge_; }

 private:
  void Record() {
    if (run_.delimited() && run_.ageColumn < 0) {
      ++ages_[run_.params.ageSel];
    } else {
      const std::string_view field =
          run_.delimited() ? store_.Column(run_.ageColumn) : store_.Fields().Field(run_.ageField);
      const ParsedNumber age = ParseNumber(store_.NumberText(field));
      if (age.numeric)
        ++ages_[age.value];
      else
        ++noAge_;
      if (age.value != run_.params.ageSel) return;
    }
    if (listed_ >= shown_) return;
    // The records shown, a plain line is split only as far as its age.
    if (listed_ + 1 == shown_ && delimited_ && run_.ageColumn >= 0)
      delimited_->LimitSplit(static_cast<std::size_t>(run_.ageColumn) + 2);
    out_ += "record " + std::to_string(++listed_) + " (line " + std::to_string(store_.LineNumber()) + "):\n";
    Code("site", store_.Site(), run_.siteField, run_.siteColumn);
    Code("block", store_.Block(), run_.blockField, run_.blockColumn);
    Code("family", store_.Family(), run_.familyField, run_.familyColumn);
    if (!run_.delimited() || run_.ageColumn >= 0) {
      const std::string_view field =
          run_.delimited() ? store_.Column(run_.ageColumn) : store_.Fields().Field(run_.ageField);
      Show("age", field, run_.ageField, run_.ageColumn, NumberText(ParseNumber(store_.NumberText(field)).value));
    }
    for (int t = 1; t <= run_.nTrait; ++t) {
      const std::string_view field = store_.Trait(t);
      const ParsedNumber value = ParseNumber(store_.NumberText(field));
      FieldWindow window = run_.traitField;
      window.start += (t - 1) * window.width;
      const bool zero = run_.params.missing == MissingMode::kZero;
      std::string read = value.numeric ? NumberText(value.value) : "no number: read as 0";
      if (store_.IsMissing(value, field)) read = zero ? "missing: read as 0" : "missing";
      else if (store_.IsUnreadable(value)) read = zero ? "no number as the sheet is read: read as 0"
                                                       : "no number as the sheet is read: the tree lacks it";
      Show(TraitCalled(run_, t), field, window, run_.delimited() ? run_.traitColumn[static_cast<std::size_t>(t) - 1] : 0,
           read);
    }
  }

  void Code(const char* what, std::string_view field, const FieldWindow& window, int column) {
    const CodeRead code = store_.Code(ParseNumber(store_.NumberText(field)), field, what, 0);
    Show(what, field, window, column,
         code.name ? "the name '" + std::string(code.text) + "'" : ExactText(code));
  }

  void Show(const std::string& what, std::string_view field, const FieldWindow& window, int column,
            const std::string& read) {
    std::string where;
    if (run_.delimited())
      where = "column " + std::to_string(column + 1);
    else if (window.width == 0)
      where = "no characters";
    else
      where = "characters " + std::to_string(window.start) + "-" + std::to_string(window.start + window.width - 1);
    std::string line = "  " + what;
    line.resize(std::max<std::size_t>(line.size() + 1, 11), ' ');
    line += where;
    line.resize(std::max<std::size_t>(line.size() + 1, 30), ' ');
    out_ += line + "'" + std::string(field) + "' -> " + read + "\n";
  }

  RunData& run_;
  int shown_;
  std::string& out_;
  NullSink sink_;
  ProgressLog log_{sink_};
  reading::RecordStore store_;
  std::optional<reading::DelimitedRecords> delimited_;
  int listed_ = 0;
  std::map<double, std::int64_t> ages_;
  std::int64_t noAge_ = 0;
};

void ListLevels(const RunData& run, std::string& out) {
  out += "sites: " + std::to_string(run.nSite) + "\n";
  for (int i = 1; i <= run.nSite && static_cast<std::size_t>(i) <= kListed; ++i) {
    out +=
        "  " + run.siteCode[i].text + ": " + Plural(run.blockCount[i], "block", "blocks") + " (";
    for (int k = 1; k <= run.blockCount[i]; ++k) {
      if (static_cast<std::size_t>(k) > kListed) {
        out += ", ...";
        break;
      }
      out += (k == 1 ? "" : ", ") + run.blockCode[i][k].text;
    }
    out += ")\n";
  }
  if (static_cast<std::size_t>(run.nSite) > kListed)
    out += "  and " + std::to_string(run.nSite - static_cast<int>(kListed)) + " more sites\n";
  out += "families: " + std::to_string(run.nFamily);
  for (int j = 1; j <= run.nFamily && static_cast<std::size_t>(j) <= kListed; ++j)
    out += (j == 1 ? ": " : ", ") + run.familyCode[j].text;
  if (static_cast<std::size_t>(run.nFamily) > kListed)
    out += " and " + std::to_string(run.nFamily - static_cast<int>(kListed)) + " more";
  std::set<std::pair<int, int>> cells;
  for (int r = 1; r <= run.nRecord; ++r) cells.emplace(run.recordColumn(r, 1), run.recordColumn(r, 3));
  out += "\nsite x family cells: " + std::to_string(cells.size()) + " of " +
         std::to_string(std::int64_t{run.nSite} * run.nFamily) + "\n";
}

}  // namespace

std::string PreviewData(const RunParameters& params, int shown, ProgressSink& progress) {
  RunData run = PrepareReading(params);
  ProgressLog log(progress);
  ReadRecords(run, log);

  std::string out = "data file " + params.dataPath + ": " +
                    (params.delimited ? "delimited, " + FieldsApart(run.delimiter) + ", numbers with decimal " +
                                            (run.decimalComma ? "commas" : "points")
                                      : std::string("fixed columns")) +
                    ", " + Plural(run.linesRead, "line", "lines") + " (" +
                    Plural(run.commentLines, "comment", "comments") + ")\n";
  RunData listed = PrepareReading(params);
  listed.delimiter = run.delimiter;
  RecordLister lister(listed, shown, out);
  NullSink quiet;
  ProgressLog quietLog(quiet);
  reading::DataFileLines lines(listed, quietLog);
  std::string_view line;
  std::int64_t lineNo = 0;
  while (!lister.Done() && lines.Next(line, lineNo)) lister.Line(line, lineNo);

  const bool everyAge = run.delimited() && run.ageColumn < 0;
  if (!everyAge) {
    out += "ages:";
    std::size_t n = 0;
    for (const auto& [age, count] : lister.Ages())
      if (++n <= kListed)
        out += (n == 1 ? " " : ", ") + NumberText(age) + " (" + Plural(count, "record", "records") + ")";
    if (n > kListed) out += " and " + std::to_string(n - kListed) + " more";
    if (lister.NoAge() > 0)
      out += (n == 0 ? " " : "; ") + Plural(lister.NoAge(), "line holds", "lines hold") + " no age";
    out += "\n";
  }
  out += "records" + (everyAge ? std::string() : " of age " + NumberText(params.ageSel)) + ": " +
         std::to_string(run.nRecord) + "\n";
  ListLevels(run, out);

  const MissingTally& missing = run.missingValues;
  out += "missing values:";
  if (missing.trees == 0) out += " none";
  for (int t = 1; t <= run.nTrait; ++t) {
    const TraitTally& trait = missing.byTrait[static_cast<std::size_t>(t)];
    if (trait.missing.count > 0)
      out += " " + TraitCalled(run, t) + ": " + std::to_string(trait.missing.count) + " (the first on line " +
             std::to_string(trait.missing.firstLine) + ");";
    if (trait.unreadable.count > 0)
      out += " " + TraitCalled(run, t) + ": " + std::to_string(trait.unreadable.count) + " no number ('" +
             trait.unreadableText + "' on line " + std::to_string(trait.unreadable.firstLine) + ");";
  }
  if (missing.trees > 0)
    out += " " + Plural(missing.trees, "record lacks", "records lack") + " some trait" +
           (missing.dropped > 0 ? ", left out of the analysis" : "");
  out += "\n";

  int mostBlocks = 0;
  for (int i = 1; i <= run.nSite; ++i) mostBlocks = std::max(mostBlocks, run.blockCount[i]);
  out += "a run needs: " + params.NameOf(Field::kSites) + " " + std::to_string(run.nSite) + " " +
         params.NameOf(Field::kBlocks) + " " + std::to_string(mostBlocks) + " " + params.NameOf(Field::kFamilies) +
         " " + std::to_string(run.nFamily) + " " + params.NameOf(Field::kRecords) + " " + std::to_string(run.nRecord) +
         " (or none of them: the data decide)\n";

  if (const std::string note = DecimalCommaNote(run); !note.empty()) out += "note: " + note + "\n";
  std::vector<std::string> warnings = ReadingWarnings(run);
  try {
    CheckRecordsRead(run);
  } catch (const KorvanError& error) {
    warnings.insert(warnings.begin(), std::string("a run would stop: ") + error.what());
  }
  for (const std::string& warning : warnings) out += "warning: " + warning + "\n";
  return out;
}

namespace {

// A ruler of character positions over `lines`: the tens, then the ones.
std::string Ruler(std::size_t width) {
  std::string tens, ones;
  for (std::size_t n = 1; n <= width; ++n) {
    tens += n % 10 == 0 ? static_cast<char>('0' + n / 10 % 10) : ' ';
    ones += static_cast<char>('0' + n % 10);
  }
  return tens + "\n" + ones + "\n";
}

std::string FixedFile(const RunParameters& params, int shown) {
  reading::LineSource source(params.dataPath);
  std::vector<std::string> lines;
  std::string_view line;
  std::int64_t comments = 0;
  std::size_t width = 0;
  while (source.Next(line)) {
    if (source.LineNumber() == 1) reading::DataFileLines::DropByteOrderMark(line);
    if (!line.empty() && line.front() == ':') {
      ++comments;
      continue;
    }
    if (static_cast<int>(lines.size()) < shown) {
      lines.emplace_back(line.substr(0, 200));
      width = std::max(width, lines.back().size());
    }
  }
  std::string out = "data file " + params.dataPath + ": fixed columns (no comma, semicolon or tab in its first line), " +
                    Plural(source.LineNumber(), "line", "lines") + " (" + Plural(comments, "comment", "comments") +
                    ")\nthe first " + Plural(static_cast<std::int64_t>(lines.size()), "record line", "record lines") +
                    " under a ruler of their positions:\n" + Ruler(width);
  for (const std::string& text : lines) out += text + "\n";
  return out + "a run places its fields: " + params.NameOf(Field::kTraits) + " N, " + params.NameOf(Field::kAge) +
         " X, and the site, block, family and age fields and the first trait field, each by its first character "
         "and its width (" + params.NameOf(Field::kSiteStart) + " and " + params.NameOf(Field::kSiteWidth) +
         " for the site, and so on)\n";
}

// One column of a sheet as the preview counts it.
struct ColumnCount {
  std::vector<std::string> first;  // the first values, as written
  std::int64_t numbers = 0, names = 0, missing = 0;
};

std::string SheetColumns(const RunParameters& params, int shown) {
  RunData run;
  run.params = params;
  run.params.delimited = true;
  SplitMissingCodes(run);
  NullSink sink;
  ProgressLog log(sink);
  reading::DataFileLines lines(run, log);
  reading::DelimitedRecords records(run, true, false, false);
  std::vector<std::string> header;
  std::vector<ColumnCount> columns;
  std::string_view line;
  std::int64_t lineNo = 0, rows = 0, comments = 0, headerLine = 0;
  std::string pointed;
  while (lines.Next(line, lineNo)) {
    if (!records.InRecord() && !line.empty() && line.front() == ':') {
      ++comments;
      continue;
    }
    if (!records.Take(line, lineNo)) continue;
    const std::vector<std::string_view>& fields = records.Fields();
    if (headerLine == 0 && params.header) {
      headerLine = records.RecordLine();
      for (const std::string_view field : fields) header.emplace_back(reading::TrimField(field));
      columns.resize(header.size());
      continue;
    }
    ++rows;
    if (columns.size() < fields.size()) columns.resize(fields.size());
    for (std::size_t c = 0; c < fields.size(); ++c) {
      const std::string_view field = reading::TrimField(fields[c]);
      ColumnCount& column = columns[c];
      if (static_cast<int>(column.first.size()) < shown) column.first.emplace_back(field);
      pointed.assign(field);
      if (run.decimalComma) std::replace(pointed.begin(), pointed.end(), ',', '.');
      const ParsedNumber number = ParseNumber(pointed);
      const bool missingCode = field.empty() ||
          std::find(run.textMissing.begin(), run.textMissing.end(), field) != run.textMissing.end() ||
          (number.numeric && number.complete &&
           std::find(run.numberMissing.begin(), run.numberMissing.end(), number.value) != run.numberMissing.end());
      if (missingCode) ++column.missing;
      else if (number.numeric && number.complete) ++column.numbers;
      else ++column.names;
    }
  }
  records.Finish();
  lines.Finish(run);
  std::string out = "data file " + params.dataPath + ": delimited, " + FieldsApart(run.delimiter) +
                    ", numbers with decimal " + (run.decimalComma ? "commas" : "points") + ", " +
                    Plural(run.linesRead, "line", "lines") + " (" + Plural(comments, "comment", "comments") + "), " +
                    Plural(rows, "record", "records") + "\n";
  out += params.header ? "columns (the header is line " + std::to_string(headerLine) + "):\n" : "columns:\n";
  std::size_t nameWidth = 4;
  for (const std::string& name : header) nameWidth = std::max(nameWidth, name.size());
  auto padded = [](std::string text, std::size_t width, bool right) {
    if (text.size() < width) text.insert(right ? 0 : text.size(), width - text.size(), ' ');
    return text;
  };
  out += "  column  " + padded("name", nameWidth, false) + "  numbers    names  missing  first values\n";
  for (std::size_t c = 0; c < columns.size(); ++c) {
    const ColumnCount& column = columns[c];
    std::string first;
    for (const std::string& value : column.first) first += (first.empty() ? "" : ", ") + value;
    out += "  " + padded(std::to_string(c + 1), 6, true) + "  " +
           padded(c < header.size() ? header[c] : "", nameWidth, false) + "  " +
           padded(std::to_string(column.numbers), 7, true) + "  " + padded(std::to_string(column.names), 7, true) +
           "  " + padded(std::to_string(column.missing), 7, true) + "  " + first + "\n";
  }
  return out + "a run names its columns: " + params.NameOf(Field::kSiteColumn) + " C " +
         params.NameOf(Field::kBlockColumn) + " C " + params.NameOf(Field::kFamilyColumn) + " C " +
         params.NameOf(Field::kTraitColumns) +
         " C,... (a header name in any letter case, or a number from 1; traits may run as ranges such as 5-10 or " +
         "dj-h5), and " + params.NameOf(Field::kAgeColumn) + " C with " + params.NameOf(Field::kAge) +
         " X to analyse one age\n";
}

}  // namespace

std::string PreviewFile(const RunParameters& params, int shown) {
  CheckDataPath(params);
  return reading::LooksDelimited(params.dataPath) ? SheetColumns(params, shown) : FixedFile(params, shown);
}

}  // namespace korvan
