#include "input/reader_shared.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <filesystem>
#include <system_error>
#include <tuple>

#include "base/korvan_error.h"
#include "base/vector_clones.h"
#include "input/columns.h"
#include "input/run_parameters.h"

namespace korvan::reading {

namespace {

// No fixed-column record comes near this. A longer line is a file without
// line ends (a program's own format, CR alone at the line ends) that would
// otherwise be held in memory whole.
constexpr std::size_t kMaxLineBytes = std::size_t{16} << 20;

// Bytes of the valid UTF-8 sequence at p, or 1 for a byte that starts none:
// either way, one character.
std::size_t CharacterLength(const unsigned char* p, std::size_t left) {
  const unsigned char lead = p[0];
  std::size_t length = 1;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  }
  if (length == 1 || length > left) return 1;
  if (p[1] < low || p[1] > high) return 1;
  for (std::size_t n = 2; n < length; ++n)
    if (p[n] < 0x80 || p[n] > 0xBF) return 1;
  return length;
}

// The last character any field of a record reads.
std::int64_t LastPosition(const RunData& run) {
  auto last = [](const FieldWindow& field, std::int64_t count) { return field.start - 1 + count * field.width; };
  return std::max({last(run.siteField, 1), last(run.blockField, 1), last(run.familyField, 1),
                   last(run.ageField, 1), run.nTrait > 0 ? last(run.traitField, run.nTrait) : 0});
}

}  // namespace

LineSource::LineSource(const std::string& path) : path_(path), buffer_(1 << 20) {
  errno = 0;
  file_.reset(std::fopen(path.c_str(), "rb"));
  if (!file_) ThrowOpenError(errno);
  std::error_code error;
  if (std::filesystem::is_regular_file(path_, error)) {
    const auto size = std::filesystem::file_size(path_, error);
    const auto time = std::filesystem::last_write_time(path_, error);
    if (!error) {
      openedSize_ = static_cast<std::int64_t>(size);
      openedTime_ = time;
    }
  }
}

// A file cut short, grown or rewritten while it was read would give a report
// of records that never stood in the file together.
void LineSource::CheckUnchanged() const {
  if (openedSize_ < 0) return;
  std::error_code error;
  const auto size = std::filesystem::file_size(path_, error);
  const auto time = error ? openedTime_ : std::filesystem::last_write_time(path_, error);
  const std::int64_t nowSize = error ? -1 : static_cast<std::int64_t>(size);
  if (bytesRead_ == openedSize_ && nowSize == openedSize_ && time == openedTime_) return;
  std::string what;
  if (error) what = "it is no longer there";
  else if (bytesRead_ != openedSize_ || nowSize != openedSize_)
    what = "it held " + std::to_string(openedSize_) + " bytes when reading began, " + std::to_string(bytesRead_) +
           " were read, and it holds " + std::to_string(nowSize) + " now";
  else what = "it was written to";
  throw KorvanError("the data file " + path_ + " changed while it was read (" + what +
                    "); run again once the file is complete and no program writes to it");
}

void LineSource::ThrowOpenError(int error) const {
  std::error_code ignored;
  const std::string prefix = "the data file " + path_;
  if (!std::filesystem::exists(path_, ignored))
    throw KorvanError(prefix + " does not exist; check its name and folder");
  if (std::filesystem::is_directory(path_, ignored))
    throw KorvanError(prefix + " is a folder; choose a data file in it");
  if (error == EACCES) throw KorvanError(prefix + " cannot be opened: you have no permission to read it");
  throw KorvanError(prefix + " cannot be opened: " + std::generic_category().message(error));
}

std::string LineSource::Where() const { return "line " + std::to_string(lineNo_) + " of " + path_ + ": "; }

void LineSource::ThrowZeroByte(std::string_view line) const {
  if (lineNo_ == 1 && (line.starts_with("\xFF\xFE") || line.starts_with("\xFE\xFF")))
    throw KorvanError("the data file " + path_ + " is UTF-16 (\"Unicode\") text, which korvan does not read; "
                      "save it as plain text (UTF-8 or ANSI)");
  throw KorvanError(Where() + "the line holds a zero (NUL) byte, which no text file does: this is not a plain "
                    "text file (a program's own format, a damaged file, or text saved as UTF-16); choose the "
                    "data file, saved as plain text");
}

void LineSource::ThrowCarriageReturn() const {
  throw KorvanError(Where() + "a carriage return (CR) stands inside the line; lines end at LF or CR LF, and a "
                    "file with CR alone at its line ends (as older Macintosh programs save text) reads as "
                    "one long line; save the file with Windows or Unix line ends");
}

// Says what the unfinished line is, once it has passed kMaxLineBytes.
void LineSource::ThrowLineTooLong() {
  ++lineNo_;
  CheckText(std::string_view(buffer_.data() + begin_, end_ - begin_));
  throw KorvanError(Where() + "the line runs on for more than " + std::to_string(kMaxLineBytes >> 20) +
                    " MiB without a line end, which no record of a fixed-column data file does; check that "
                    "this is the data file and that its lines end at LF or CR LF");
}

// Keeps the unfinished line at the front and appends the next block; a
// line longer than the buffer makes the buffer grow.
void LineSource::Refill() {
  const std::size_t kept = end_ - begin_;
  std::memmove(buffer_.data(), buffer_.data() + begin_, kept);
  begin_ = 0;
  end_ = kept;
  if (kept > kMaxLineBytes) ThrowLineTooLong();
  if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
  const std::size_t got = std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, file_.get());
  end_ += got;
  bytesRead_ += static_cast<std::int64_t>(got);
  if (got == 0) {
    if (std::ferror(file_.get()))
      throw KorvanError("the data file " + path_ + " could not be read to its end; check the disk or copy the file");
    CheckUnchanged();
    atEnd_ = true;
  }
}

// Without an early exit the loop runs on whole vectors of bytes, which for
// the lines of a data file is faster than stopping at the first non-ASCII one.
KORVAN_VECTOR_CLONES bool IsAscii(std::string_view text) {
  unsigned char any = 0;
  for (const char c : text) any = static_cast<unsigned char>(any | static_cast<unsigned char>(c));
  return any < 0x80;
}

void LineFields::IndexCharacters() {
  characterStart_.clear();
  const auto* bytes = reinterpret_cast<const unsigned char*>(line_.data());
  std::size_t at = 0;
  while (at < line_.size() && characterStart_.size() < lastPosition_) {
    characterStart_.push_back(at);
    at += CharacterLength(bytes + at, line_.size() - at);
  }
  characterStart_.push_back(at);
}

DataFileLines::DataFileLines(const RunData& run, ProgressLog& log) : source_(run.params.dataPath), log_(log) {
  std::error_code sizeUnknown;
  const auto size = std::filesystem::file_size(run.params.dataPath, sizeUnknown);
  if (!sizeUnknown) fileSize_ = static_cast<std::int64_t>(size);
  log.BeginStage("Reading the data file", std::max<std::int64_t>(fileSize_, 0));
  listing_.emplace(log, -1);
}

double DataFileLines::FileOverRead() const {
  if (fileSize_ < 0 || source_.BytesConsumed() == 0) return 0;
  return static_cast<double>(fileSize_) / static_cast<double>(source_.BytesConsumed());
}

// Editors on Windows often begin a UTF-8 file with a byte-order mark; it is
// no character of the first line, which may be a ":" comment.
void DataFileLines::DropByteOrderMark(std::string_view& line) {
  constexpr std::string_view kMark = "\xEF\xBB\xBF";
  if (line.substr(0, kMark.size()) == kMark) line.remove_prefix(kMark.size());
}

RecordStore::RecordStore(RunData& run, ProgressLog& log) : run_(run), log_(log), fields_(LastPosition(run)) {
  run.siteCode.assign(1, {});
  run.blockCode.assign(1, {});
  run.blockCount.assign(1, 0);
  run.familyCode.assign(1, {});
  run.recordColumn.Resize(0);
  run.traitValue.Reset(run.nTrait);
  run.nSite = run.nFamily = run.nRecord = 0;
  run.commentLines = 0;
  run.otherAges.clear();
  run.fieldHeldNumber.assign(kFirstTraitField + static_cast<std::size_t>(run.nTrait), 0);
  run.missingValues = {};
  run.missingValues.byTrait.resize(static_cast<std::size_t>(run.nTrait) + 1);
  run.twoNumbers = {};
  run.leftOut = {};
  run.decimalCommas = {};
  run.decimalCommaText.clear();
  run.edgeCrossed.clear();
  if (run.delimited()) return;
  for (const FieldEdge& edge : FieldEdges(run)) edgePositions_.push_back(edge.position);
  run.edgeCrossed.resize(edgePositions_.size());
}

void RecordStore::NoteOtherAge(const ParsedNumber& age) {
  std::vector<double>& ages = run_.otherAges;
  if (!age.numeric || ages.size() > kShownAges) return;
  if (std::find(ages.begin(), ages.end(), age.value) == ages.end()) ages.push_back(age.value);
}

std::string RecordStore::Where() const {
  return "line " + std::to_string(lineNo_) + " of " + run_.params.dataPath + ": ";
}

void RecordStore::ThrowBeyondSingle(std::string_view field, const char* what, std::int64_t lineNo) const {
  throw KorvanError("line " + std::to_string(lineNo) + " of " + run_.params.dataPath + ": the " + what +
                    " field '" + std::string(field) +
                    "' is beyond the range of single precision (about 3.4E+38); check the field's position");
}

CodeRead RecordStore::Code(const ParsedNumber& parsed, std::string_view field, const char* /*what*/,
                           std::size_t fieldIndex, bool tally) {
  CodeRead code;
  code.text = TrimField(field);
  ParsedNumber number = parsed;
  // A number in quotes is still a number.
  if (!(number.numeric && number.complete) && code.text.size() != field.size())
    number = ParseNumber(NumberText(code.text));
  if (code.text.empty() || (number.numeric && number.complete)) {
    if (tally && !number.numeric && run_.codeWarning.count++ == 0) run_.codeWarning.firstLine = lineNo_;
    if (tally) run_.fieldHeldNumber[fieldIndex] |= static_cast<std::uint8_t>(number.numeric);
    code.value = number.value;
    code.whole = code.text.empty() || ReadWhole(number, code.wholeValue);
    // A number of more than 15 exponent digits is told apart by its text.
    if (!code.whole && !ParseExactDecimal(NumberText(code.text), code.exact)) code.name = true;
    if (!code.whole && code.exact.Whole(code.wholeValue)) code.whole = true;
    return code;
  }
  if (tally) run_.fieldHeldNumber[fieldIndex] = 1;
  code.name = true;
  return code;
}

LevelCode RecordStore::MakeLevel(const CodeRead& code) {
  if (code.name) return LevelCode::Name(code.text);
  if (!code.whole) return LevelCode::Number(code.text, code.exact, code.value);
  ExactDecimal exact;
  ParseExactDecimal(std::to_string(code.wholeValue), exact);
  return LevelCode::Number(code.text, exact, code.value);
}

std::string RecordStore::KeyOf(const CodeRead& code) {
  if (code.name) return std::string(code.text);
  if (!code.whole) return code.exact.Key();
  ExactDecimal exact;
  ParseExactDecimal(std::to_string(code.wholeValue), exact);
  return exact.Key();
}

bool RecordStore::IsMissingText(std::string_view field) const {
  const std::string_view trimmed = TrimField(field);
  return trimmed.empty() ||
         std::find(run_.textMissing.begin(), run_.textMissing.end(), trimmed) != run_.textMissing.end();
}

int RecordStore::AddSite(const CodeRead& code) {
  run_.siteCode.push_back(MakeLevel(code));
  run_.blockCode.emplace_back(1);
  run_.blockCount.push_back(0);
  return ++run_.nSite;
}

int RecordStore::AddBlock(int i, const CodeRead& code) {
  run_.blockCode[i].push_back(MakeLevel(code));
  return ++run_.blockCount[i];
}

int RecordStore::AddFamily(const CodeRead& code) {
  run_.familyCode.push_back(MakeLevel(code));
  return ++run_.nFamily;
}

int RecordStore::NextRecord() {
  // Sites, blocks and families are each at most one per record, so this
  // one limit keeps every level number within 32 bits.
  if (run_.nRecord == INT_MAX - 1)
    throw KorvanError(Where() + "korvan holds at most " + std::to_string(INT_MAX - 1) +
                      " records in one run; analyse the data in parts");
  return ++run_.nRecord;
}

void RecordStore::WriteListingLine(int r) {
  static constexpr Pattern kRecord("####"), kLevel("  ####"), kTrait("  ###.##");
  log_.CountedLineBy([this, r](std::string& out) {
    AppendPattern(out, std::int64_t{r}, kRecord);
    for (int factor = 1; factor <= 3; ++factor) AppendPattern(out, std::int64_t{run_.recordColumn(r, factor)}, kLevel);
    for (int t = 1; t <= run_.nTrait; ++t) AppendPattern(out, run_.traitValue(r, t), kTrait);
  });
}

}  // namespace korvan::reading

namespace korvan::reading {

std::vector<FieldEdge> FieldEdges(const RunData& run) {
  std::vector<FieldEdge> edges;
  auto add = [&edges](std::int64_t position, const std::string& what, Field start, Field width) {
    for (FieldEdge& edge : edges)
      if (edge.position == position) return void(edge.what += " and " + what);
    edges.push_back({position, what, start, width});
  };
  const std::tuple<const FieldWindow&, const char*, Field, Field> codes[] = {
      {run.siteField, "the site field", Field::kSiteStart, Field::kSiteWidth},
      {run.blockField, "the block field", Field::kBlockStart, Field::kBlockWidth},
      {run.familyField, "the family field", Field::kFamilyStart, Field::kFamilyWidth}};
  for (const auto& [window, name, start, width] : codes) {
    if (window.width == 0) continue;
    add(window.start, std::string("the first character of ") + name, start, width);
    add(window.start + window.width, std::string("the last character of ") + name, start, width);
  }
  if (run.traitField.width == 0) return edges;
  for (int t = 0; t <= run.nTrait; ++t) {
    std::string what = t == 0 ? "" : "the last character of trait " + std::to_string(t);
    if (t < run.nTrait)
      what += (t == 0 ? "" : " and ") + std::string("the first character of trait ") + std::to_string(t + 1);
    add(run.traitField.start + t * run.traitField.width, what, Field::kTraitStart, Field::kTraitWidth);
  }
  return edges;
}

std::string DecimalReading(const RunData& run) {
  const RunParameters& params = run.params;
  const std::string& comma = params.NameOf(Field::kDecimalComma);
  const std::string& point = params.NameOf(Field::kDecimalPoint);
  if (!run.decimalComma)
    return "the numbers are read with decimal points" +
           (comma.empty() ? std::string() : "; if the sheet writes decimal commas (12,5), read it with " + comma);
  std::string text = "the numbers are read with decimal commas (12,5), as a sheet apart at ";
  text += run.delimiter == ';' ? "semicolons" : run.delimiter == '\t' ? "tabs" : "commas";
  text += " writes them";
  if (params.decimalMark == DecimalMark::kComma) text = "the numbers are read with decimal commas (12,5)";
  text += ", and a number holds no thousands separator (1.234,5)";
  if (!point.empty()) text += "; if the sheet writes decimal points, read it with " + point;
  return text;
}

bool ReadsDecimalCommas(DecimalMark mark, char delimiter) {
  // A comma cannot be both: spreadsheets that write decimal commas save
  // their sheets apart at semicolons (or tabs).
  if (mark == DecimalMark::kAsTheSheet) return delimiter == ';' || delimiter == '\t';
  return mark == DecimalMark::kComma;
}

bool DelimitedRecords::Take(std::string_view line, std::int64_t lineNo) {
  if (!columnsKnown_ && !quoted_) {
    if (IsBlankLine(line)) return false;
    run_.delimiter = run_.params.delimiter != 0 ? run_.params.delimiter : FindDelimiter(line);
    if (run_.delimiter == 0)
      throw KorvanError("line " + std::to_string(lineNo) + " of " + run_.params.dataPath +
                        ": no comma, semicolon or tab stands in the first line, so its fields cannot be told apart; "
                        "choose a delimited file, or give the fields by position for a fixed-column file");
    quoted_.emplace(run_.delimiter, run_.params.dataPath);
    run_.decimalComma = ReadsDecimalCommas(run_.params.decimalMark, run_.delimiter);
  }
  bool complete = false;
  if (!quoted_->InRecord() && HoldsNothing(line, run_.delimiter)) return false;
  partly_ = false;
  const bool plain = plainLines_ && !quoted_->InRecord() && line.find('"') == std::string_view::npos;
  if (plain) {
    SplitPlainLine(line, run_.delimiter, fields_, limit_);
    partly_ = limit_ != SIZE_MAX;
    recordLine_ = lineNo;
    complete = true;
  } else {
    complete = quoted_->Take(line, lineNo, fields_);
    recordLine_ = quoted_->RecordLine();
  }
  if (!complete) return false;
  if (!columnsKnown_ && !resolveColumns_) columnsKnown_ = true;
  if (!columnsKnown_) {
    columnsKnown_ = true;
    // The run's preparation resolved them from the same record already, and
    // sized the run's tables by them: a file rewritten in between would
    // otherwise be read by other columns than it was prepared for.
    const std::vector<int> prepared = run_.traitColumn;
    const int traits = run_.nTrait;
    ResolveColumns(run_, fields_);
    if (!prepared.empty() && (prepared != run_.traitColumn || traits != run_.nTrait))
      throw KorvanError("the data file " + run_.params.dataPath +
                        " changed while it was read (its first line names other columns than a moment before); "
                        "run again once the file is complete and no program writes to it");
    // A tree to be left out is known only once all its trait fields are.
    if (splitPartly_ && run_.params.missing != MissingMode::kDrop) {
      firstTrait_ = static_cast<std::size_t>(*std::min_element(run_.traitColumn.begin(), run_.traitColumn.end()));
      const auto codes = static_cast<std::size_t>(
          std::max({run_.siteColumn, run_.blockColumn, run_.familyColumn, run_.ageColumn}));
      limit_ = std::max(codes + 1, firstTrait_) + 1;
    }
    if (run_.params.header) return false;
    if (plain && limit_ != SIZE_MAX) {
      SplitPlainLine(line, run_.delimiter, fields_, limit_);
      partly_ = true;
    }
  }
  return true;
}

void CheckCapacities(const RunData& run) {
  const RunParameters& params = run.params;
  auto check = [&](std::int64_t held, std::int64_t capacity, Field field, const std::string& what) {
    if (held > capacity)
      throw KorvanError("the data hold " + std::to_string(held) + " " + what + ", more than " + params.NameOf(field) +
                        " = " + std::to_string(capacity) + " (" + params.dataPath + "); enter at least " +
                        std::to_string(held) + ", or leave the count out and let the data decide");
  };
  const bool everyAge = run.delimited() && run.ageColumn < 0;
  check(run.nRecord, run.capRecord, Field::kRecords,
        everyAge ? "records" : "records of age " + NumberText(params.ageSel));
  check(run.nSite, run.capSite, Field::kSites, "sites");
  check(run.nFamily, run.capFamily, Field::kFamilies, "families");
  if (run.blocksFromData) return;
  for (int i = 1; i <= run.nSite; ++i)
    check(run.blockCount[i], run.nBlock, Field::kBlocks,
          "blocks at site " + run.siteCode[i].text);
}

}  // namespace korvan::reading
