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

std::string SingleText(float value) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
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
      Show("age", field, run_.ageField, run_.ageColumn,
           SingleText(static_cast<float>(ParseNumber(store_.NumberText(field)).value)));
    }
    for (int t = 1; t <= run_.nTrait; ++t) {
      const std::string_view field = store_.Trait(t);
      const ParsedNumber value = ParseNumber(store_.NumberText(field));
      FieldWindow window = run_.traitField;
      window.start += (t - 1) * window.width;
      Show("trait " + std::to_string(t), field, window,
           run_.delimited() ? run_.traitColumn[static_cast<std::size_t>(t) - 1] : 0,
           store_.IsMissing(value, field) ? "missing"
           : value.numeric                ? SingleText(static_cast<float>(value.value))
                                          : "no number: read as 0");
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
  RunParameters reading = params;
  // Every missing value is counted, whatever the run would then do.
  reading.missing = MissingMode::kStop;
  RunData run = PrepareReading(reading);
  ProgressLog log(progress);
  ReadRecords(run, log);

  std::string out =
      "data file " + params.dataPath + ": " +
      (params.delimited ? std::string("delimited, fields apart at ") + (run.delimiter == ','   ? "commas"
                                                                        : run.delimiter == ';' ? "semicolons"
                                                                                               : "tabs")
                        : std::string("fixed columns")) +
      ", " + Plural(run.linesRead, "line", "lines") + " (" + Plural(run.commentLines, "comment", "comments") + ")\n";
  RunData listed = PrepareReading(reading);
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
    const FieldWarning& trait = missing.byTrait[static_cast<std::size_t>(t)];
    if (trait.count > 0)
      out += " trait " + std::to_string(t) + ": " + std::to_string(trait.count) + " (the first on line " +
             std::to_string(trait.firstLine) + ");";
  }
  if (missing.trees > 0) out += " " + Plural(missing.trees, "record lacks", "records lack") + " some trait";
  out += "\n";

  int mostBlocks = 0;
  for (int i = 1; i <= run.nSite; ++i) mostBlocks = std::max(mostBlocks, run.blockCount[i]);
  const std::int64_t records = run.nRecord - (params.missing == MissingMode::kDrop ? missing.trees : 0);
  out += "a run needs: " + params.NameOf(Field::kSites) + " " + std::to_string(run.nSite) + " " +
         params.NameOf(Field::kBlocks) + " " + std::to_string(mostBlocks) + " " + params.NameOf(Field::kFamilies) +
         " " + std::to_string(run.nFamily) + " " + params.NameOf(Field::kRecords) + " " + std::to_string(records) +
         " (or none of them: the data decide)\n";

  std::vector<std::string> warnings = MisSetFieldWarnings(run);
  try {
    CheckRecordsRead(run);
  } catch (const MissingValues&) {
  } catch (const KorvanError& error) {
    warnings.insert(warnings.begin(), std::string("a run would stop: ") + error.what());
  }
  if (run.codeWarning.count > 0)
    warnings.push_back(Plural(run.codeWarning.count, "site, block or family field", "site, block or family fields") +
                       " held no code and would read as 0 (the first on line " +
                       std::to_string(run.codeWarning.firstLine) + ")");
  for (const std::string& warning : warnings) out += "warning: " + warning + "\n";
  return out;
}

}  // namespace korvan
