#include "input/run_parameters.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>

#include "base/korvan_error.h"
#include "format/number_format.h"
#include "input/columns.h"
#include "input/delimited.h"

namespace korvan {

namespace fs = std::filesystem;

std::string NumberText(double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

namespace {

// Values far beyond any real trial stand for "no limit"; clamping keeps the
// arithmetic on them from overflowing. No line of a text file comes near a
// trillion characters, so positions and widths beyond that change nothing,
// and 100 trait fields of that width still fit 64 bits.
constexpr double kLargestCount = 4611686018427387904.0;  // 2^62
constexpr double kLargestPosition = 1099511627776.0;     // 2^40

[[noreturn]] void Reject(const RunParameters& params, Field field, const std::string& problem) {
  throw KorvanError(params.NameOf(field) + ": " + problem);
}

std::int64_t CheckedCount(const RunParameters& params, Field field, double value) {
  if (value < 0) Reject(params, field, NumberText(value) + " is negative; enter a count of 0 or more");
  if (value != std::floor(value)) Reject(params, field, NumberText(value) + " is not a whole number");
  return static_cast<std::int64_t>(std::min(value, kLargestCount));
}

// Positions and widths are whole characters; a fractional entry goes to the
// nearest whole number, a tie to the even one (the default rounding mode).
FieldWindow CheckedField(const RunParameters& params, Field startField, double start,
                         Field widthField, double width) {
  const double roundedStart = std::nearbyint(start);
  const double roundedWidth = std::nearbyint(width);
  if (!(roundedStart >= 1))
    Reject(params, startField, NumberText(start) + " is below 1; positions count from 1 at the first character");
  if (!(roundedWidth >= 0)) Reject(params, widthField, NumberText(width) + " is negative; enter a width of 0 or more");
  FieldWindow window;
  window.start = static_cast<std::int64_t>(std::min(roundedStart, kLargestPosition));
  window.width = static_cast<std::int64_t>(std::min(roundedWidth, kLargestPosition));
  return window;
}

}  // namespace

void CheckDataPath(const RunParameters& params) {
  if (params.dataPath.empty()) Reject(params, Field::kDataFile, "no data file is chosen; choose the data file");
  std::error_code error;
  if (fs::is_directory(params.dataPath, error))
    Reject(params, Field::kDataFile, params.dataPath + " is a folder; choose a data file in it");
}

namespace {

void CheckReportPath(const RunParameters& params) {
  const std::string& path = params.reportPath;
  if (path.empty()) Reject(params, Field::kReportFile, "no output file name is given; type a name for the report");
  std::error_code error;
  const fs::path report(path);
  if (!report.has_filename() || report.filename() == "." || report.filename() == ".." ||
      fs::is_directory(report, error))
    Reject(params, Field::kReportFile, path + " is a folder; type a name for the report file");
  // Finding this after a long read would waste the run.
  const fs::path folder = report.parent_path().empty() ? fs::path(".") : report.parent_path();
  if (!fs::is_directory(folder, error)) {
    if (fs::exists(folder, error))
      Reject(params, Field::kReportFile, folder.string() + " is a file, not a folder; choose an existing folder");
    Reject(params, Field::kReportFile, "the folder " + folder.string() + " does not exist; choose an existing folder");
  }
  // A name the file system refuses (too long, a loop of links) would only
  // show when the finished report is put in place.
  static_cast<void>(fs::status(report, error));
  if (error && error != std::errc::no_such_file_or_directory)
    Reject(params, Field::kReportFile, path + ": " + error.message() + "; choose another name");
}

}  // namespace

namespace {

// The columns of a sheet from its first record, read before the records so
// that the number of traits is known: names and ranges of names count only
// once the header is seen. A file with no record leaves them to the reader,
// which says what the file holds.
void ResolveSheetColumns(RunData& run) {
  const RunParameters& params = run.params;
  if (params.traitColumns.empty())
    Reject(params, Field::kTraitColumns, "no trait column is named; name the columns of the traits");
  if (params.nTrait > 0 && params.nTrait < kNoLimit) CheckedCount(params, Field::kTraits, params.nTrait);
  const reading::SheetHeader header = reading::ReadSheetHeader(params);
  if (header.line == 0) {
    run.nTrait = 1;
    return;
  }
  if (header.delimiter == 0)
    throw KorvanError("line " + std::to_string(header.line) + " of " + params.dataPath +
                      ": no comma, semicolon or tab stands in the first line, so its fields cannot be told apart; "
                      "choose a delimited file, or give the fields by position for a fixed-column file");
  run.delimiter = header.delimiter;
  const std::vector<std::string_view> fields(header.columns.begin(), header.columns.end());
  reading::ResolveColumns(run, fields);
}

}  // namespace

void SplitMissingCodes(RunData& run) {
  for (const std::string& code : run.params.missingCodes) {
    const ParsedNumber number = ParseNumber(code);
    if (number.numeric && number.complete) run.numberMissing.push_back(number.value);
    else run.textMissing.emplace_back(reading::TrimField(code));
  }
}

// A trait of --reml-pairs by its number or its header name, in any case.
int RemlPairTrait(const RunData& run, std::string_view word) {
  const std::string text(word);
  for (int t = 1; t <= run.nTrait; ++t) {
    const auto k = static_cast<std::size_t>(t);
    if (k < run.traitName.size() && !run.traitName[k].empty()) {
      const std::string& name = run.traitName[k];
      if (name.size() == text.size() &&
          std::equal(name.begin(), name.end(), text.begin(), [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
        return t;
    }
  }
  int number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error == std::errc() && end == text.data() + text.size() && number >= 1 && number <= run.nTrait) return number;
  std::string names;
  for (int t = 1; t <= run.nTrait && t <= 12; ++t) names += (t > 1 ? ", " : "") + TraitCalled(run, t).substr(6);
  throw KorvanError("--reml-pairs: '" + text + "' is no trait of " + run.params.dataPath + "; name a trait by its number (1 to " +
                    std::to_string(run.nTrait) + ")" + (run.traitName.size() > 1 ? " or its name (" + names + (run.nTrait > 12 ? ", ..." : "") + ")" : ""));
}

// The pairs REML fits, settled before the data are read so that a misspelt
// trait stops the run at once.
void SettleRemlPairs(RunData& run) {
  const std::string& asked = run.params.remlPairs;
  auto all = [&run] {
    for (int a = 1; a < run.nTrait; ++a)
      for (int b = a + 1; b <= run.nTrait; ++b) run.remlPairs.emplace_back(a, b);
  };
  if (!run.params.reml || asked == "none") return;
  if (asked == "all") return all();
  if (asked.empty()) {
    if (run.nTrait <= kRemlPairsByDefault) return all();
    run.remlPairsNote = std::to_string(run.nTrait) + " traits make " +
                        std::to_string(run.nTrait * (run.nTrait - 1) / 2) +
                        " pairs, more than REML fits unless told: name the pairs with --reml-pairs (all, or such as 1:2,1:3)";
    return;
  }
  std::size_t at = 0;
  while (at <= asked.size()) {
    const std::size_t comma = std::min(asked.find(',', at), asked.size());
    const std::string_view item(asked.data() + at, comma - at);
    const std::size_t colon = item.find(':');
    if (colon == std::string_view::npos)
      throw KorvanError("--reml-pairs: '" + std::string(item) + "' is no pair; write two traits with a colon between them, such as 1:3 or height:dbh, the pairs apart by commas");
    int a = RemlPairTrait(run, item.substr(0, colon)), b = RemlPairTrait(run, item.substr(colon + 1));
    if (a == b) throw KorvanError("--reml-pairs: '" + std::string(item) + "' pairs a trait with itself; name two traits");
    if (a > b) std::swap(a, b);
    if (std::find(run.remlPairs.begin(), run.remlPairs.end(), std::pair{a, b}) == run.remlPairs.end())
      run.remlPairs.emplace_back(a, b);
    at = comma + 1;
  }
}

RunData PrepareRun(const RunParameters& params) {
  CheckDataPath(params);
  CheckReportPath(params);
  RunData run = PrepareReading(params);
  SettleRemlPairs(run);
  return run;
}

RunData PrepareReading(const RunParameters& params) {
  CheckDataPath(params);
  RunData run;
  run.params = params;
  run.capSite = CheckedCount(params, Field::kSites, params.nSite);
  // A site can hold no more blocks than the run can hold records. Left
  // out, the most blocks any site has lays out the columns.
  run.blocksFromData = std::isinf(params.nBlock) && params.nBlock > 0;
  run.nBlock = static_cast<int>(std::min<std::int64_t>(CheckedCount(params, Field::kBlocks, params.nBlock), INT_MAX));
  run.capFamily = CheckedCount(params, Field::kFamilies, params.nFamily);
  run.capRecord = CheckedCount(params, Field::kRecords, params.nRecord);
  if (params.delimited) ResolveSheetColumns(run);
  const std::int64_t nTrait = params.delimited ? run.nTrait : CheckedCount(params, Field::kTraits, params.nTrait);
  const Field traits = params.delimited ? Field::kTraitColumns : Field::kTraits;
  if (nTrait > kMaxTrait)
    Reject(params, traits,
           (params.delimited ? std::to_string(nTrait) : NumberText(params.nTrait)) + " is more than the " +
               std::to_string(kMaxTrait) +
               " traits this build of korvan can analyse; analyse the traits in groups of at most " +
               std::to_string(kMaxTrait));
  // Without a trait the run would write a report that analyses nothing.
  if (nTrait == 0)
    Reject(params, Field::kTraits, "0; a run analyses at least one trait: enter the number of trait fields per record");
  run.nTrait = static_cast<int>(nTrait);
  SplitMissingCodes(run);
  if (params.delimited) return run;

  run.siteField = CheckedField(params, Field::kSiteStart, params.colSite, Field::kSiteWidth, params.wSite);
  run.blockField = CheckedField(params, Field::kBlockStart, params.colBlock, Field::kBlockWidth, params.wBlock);
  run.familyField =
      CheckedField(params, Field::kFamilyStart, params.colFamily, Field::kFamilyWidth, params.wFamily);
  run.ageField = CheckedField(params, Field::kAgeStart, params.colAge, Field::kAgeWidth, params.wAge);
  run.traitField = CheckedField(params, Field::kTraitStart, params.colTrait, Field::kTraitWidth, params.wTrait);
  return run;
}

}  // namespace korvan
