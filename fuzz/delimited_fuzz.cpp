// Arbitrary bytes as a delimited data file. The first byte picks the
// delimiter, the header and the age column; the rest is the file.
//
// The lines go through the parser of quoted fields, which must keep two
// properties: a record it reads, written back with every field in quotes,
// reads back as the same fields over as many lines; and a line without a
// quote reads as the reader's direct split of such lines, each field without
// its blanks. The file then goes through both forms of the reader (the
// product's, which splits lines without a quote directly, and the
// straightforward one, which parses every line): each must end in records
// or in a KorvanError for the user, and without decimal commas both in the
// same records or the same message.
// Anything else (a crash, a sanitizer report, another exception) is a finding.

#include <stdlib.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/korvan_error.h"
#include "base/progress.h"
#include "input/csv_fields.h"
#include "input/delimited.h"
#include "input/reader.h"
#include "input/reader_straightforward.h"
#include "input/run_parameters.h"

namespace {

namespace fs = std::filesystem;
using korvan::reading::CsvFields;

[[noreturn]] void Finding(const std::string& what) {
  std::fprintf(stderr, "delimited file fuzzing: %s\n", what.c_str());
  std::abort();
}

class NullSink final : public korvan::ProgressSink {
 public:
  void WriteLine(std::string_view) override {}
  void Clear() override {}
};

const fs::path& Folder() {
  static const fs::path folder = [] {
    std::string pattern = (fs::temp_directory_path() / "korvan-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) Finding("cannot make a temporary folder");
    return fs::path(pattern);
  }();
  return folder;
}

// The file's lines as the reader hands them to the parser: split at LF, a CR
// before it dropped.
std::vector<std::string_view> Lines(std::string_view file) {
  std::vector<std::string_view> lines;
  while (!file.empty()) {
    const std::size_t end = std::min(file.find('\n'), file.size());
    std::string_view line = file.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    file.remove_prefix(std::min(end + 1, file.size()));
  }
  return lines;
}

// The fields as a spreadsheet would write them with every field quoted, cut
// into lines where the fields hold line ends.
std::vector<std::string> WrittenQuoted(const std::vector<std::string_view>& fields, char delimiter) {
  std::string text;
  for (std::size_t n = 0; n < fields.size(); ++n) {
    if (n > 0) text += delimiter;
    text += '"';
    for (const char c : fields[n]) text += c == '"' ? std::string("\"\"") : std::string(1, c);
    text += '"';
  }
  std::vector<std::string> lines;
  for (std::size_t at = 0;;) {
    const std::size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    if (end == std::string::npos) return lines;
    at = end + 1;
  }
}

void CheckReadsBack(const std::vector<std::string_view>& fields, char delimiter) {
  const std::vector<std::string> lines = WrittenQuoted(fields, delimiter);
  CsvFields again(delimiter);
  std::vector<std::string_view> read;
  for (std::size_t n = 0; n < lines.size(); ++n) {
    const CsvFields::Step step = again.Take(lines[n], read);
    const CsvFields::Step wanted = n + 1 < lines.size() ? CsvFields::Step::kOpen : CsvFields::Step::kRecord;
    if (step != wanted) Finding("a record written back in quotes does not read back over " + std::to_string(lines.size()) + " lines");
  }
  if (read != fields) Finding("a record written back in quotes reads back as other fields");
}

void CheckPlainLine(std::string_view line, const std::vector<std::string_view>& fields, char delimiter) {
  std::vector<std::string_view> split;
  korvan::reading::SplitPlainLine(line, delimiter, split);
  auto blank = [delimiter](char c) { return c == ' ' || (c == '\t' && delimiter != '\t'); };
  for (std::string_view& field : split) {
    while (!field.empty() && blank(field.front())) field.remove_prefix(1);
    while (!field.empty() && blank(field.back())) field.remove_suffix(1);
  }
  if (split != fields) Finding("a line without a quote reads otherwise than its direct split");
}

void CheckParser(const std::vector<std::string_view>& lines, char delimiter) {
  CsvFields parser(delimiter);
  std::vector<std::string_view> fields;
  for (const std::string_view line : lines) {
    const bool plain = !parser.Open() && line.find('"') == std::string_view::npos;
    const CsvFields::Step step = parser.Take(line, fields);
    if (parser.Open() != (step == CsvFields::Step::kOpen)) Finding("Open() disagrees with the step");
    if (plain && step == CsvFields::Step::kRecord) CheckPlainLine(line, fields, delimiter);
    if (step == CsvFields::Step::kRecord) CheckReadsBack(fields, delimiter);
  }
}

// Every bit of the value, whatever the locale.
std::string Text(double value) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// What a read leaves that the two forms must agree on; after a failure the
// message alone.
std::string ReadOutcome(const korvan::RunParameters& params, bool straightforward) {
  NullSink sink;
  korvan::ProgressLog log(sink);
  try {
    korvan::RunData run = korvan::PrepareRun(params);
    (straightforward ? korvan::ReadRecordsStraightforward : korvan::ReadRecords)(run, log);
    std::string outcome = std::to_string(run.nRecord) + " records, " + std::to_string(run.linesRead) + " lines, " +
                          std::to_string(run.commentLines) + " comments, missing " +
                          std::to_string(run.missingValues.trees) + " from line " +
                          std::to_string(run.missingValues.firstLine) + "\n";
    for (const auto* codes : {&run.siteCode, &run.familyCode})
      for (const korvan::LevelCode& code : *codes) outcome += "[" + code.text + "|" + code.written + "]";
    for (int r = 1; r <= run.nRecord; ++r) {
      outcome += "\n" + std::to_string(run.recordColumn(r, 1)) + "." + std::to_string(run.recordColumn(r, 2)) + "." +
                 std::to_string(run.recordColumn(r, 3));
      for (int t = 1; t <= run.nTrait; ++t) outcome += " " + Text(run.traitValue.AsWritten(r, t));
    }
    return outcome;
  } catch (const korvan::KorvanError& error) {
    return std::string("error: ") + error.what();
  } catch (const std::exception& other) {
    Finding(std::string("an exception that is no KorvanError: ") + other.what());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t choice = data[0];
  const std::string_view file(reinterpret_cast<const char*>(data) + 1, size - 1);
  const char delimiter = ",;\t"[choice % 3];
  CheckParser(Lines(file), delimiter);

  korvan::RunParameters params;
  params.dataPath = (Folder() / "trial.csv").string();
  params.reportPath = (Folder() / "trial.out").string();
  {
    std::ofstream out(params.dataPath, std::ios::binary | std::ios::trunc);
    out.write(file.data(), static_cast<std::streamsize>(file.size()));
  }
  params.delimited = true;
  params.delimiter = (choice / 3) % 2 ? delimiter : 0;  // or found from the first line
  params.header = (choice / 6) % 2 == 0;
  params.siteColumn = "1", params.blockColumn = "2", params.familyColumn = "3";
  if ((choice / 12) % 2 == 0) params.ageColumn = "4", params.ageSel = 10;
  params.traitColumns = {"5-6"}, params.nTrait = 0;
  params.nSite = params.nBlock = params.nFamily = params.nRecord = korvan::kNoLimit;
  // Decimal commas as the sheet's delimiter implies, or everywhere (with
  // commas for delimiter too).
  params.decimalMark = (choice / 24) % 2 == 1 ? korvan::DecimalMark::kComma : korvan::DecimalMark::kAsTheSheet;
  const std::string product = ReadOutcome(params, false), straightforward = ReadOutcome(params, true);
  if (product != straightforward)
    Finding("the two forms of the reader differ:\n--- product\n" + product + "\n--- straightforward\n" + straightforward);
  return 0;
}
