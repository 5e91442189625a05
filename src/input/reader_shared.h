#pragma once

// What both forms of the reader share: the data file's lines, the fields of a
// line by character position or by column, and what becomes of a selected
// line (its numbers and names read, missing values counted, new levels
// entered, the record numbered and listed). How a code's level is looked up
// and when trait fields are converted is each form's own. Only the readers
// and the preview include this.

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/progress.h"
#include "format/number_format.h"
#include "input/delimited.h"
#include "rundata/rundata.h"

namespace korvan::reading {

// Where RunData::fieldHeldNumber keeps each field; trait t is at kFirstTraitField + t - 1.
inline constexpr std::size_t kSiteField = 0, kBlockField = 1, kFamilyField = 2, kFirstTraitField = 3;

// Ages quoted when no record has the selected one.
inline constexpr std::size_t kShownAges = 5;

// The lines of the data file, read in large blocks. A line ends at LF or
// CR LF; a final line without terminator still counts.
class LineSource {
 public:
  explicit LineSource(const std::string& path);

  // The next line, valid until the following call; false at the end of the file.
  bool Next(std::string_view& line) {
    for (;;) {
      const char* first = buffer_.data() + begin_;
      const void* newline = std::memchr(first, '\n', end_ - begin_);
      if (newline != nullptr) {
        const std::size_t length = static_cast<const char*>(newline) - first;
        TakeLine(line, length, length + 1);
        return true;
      }
      if (atEnd_) {
        if (begin_ == end_) return false;
        TakeLine(line, end_ - begin_, end_ - begin_);
        return true;
      }
      Refill();
    }
  }

  std::int64_t BytesConsumed() const { return consumed_; }
  std::int64_t LineNumber() const { return lineNo_; }

 private:
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };

  // The last line may lack its LF; a CR before the end of the file is then
  // still the end of a CR LF line.
  void TakeLine(std::string_view& line, std::size_t length, std::size_t used) {
    line = std::string_view(buffer_.data() + begin_, length);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    begin_ += used;
    consumed_ += static_cast<std::int64_t>(used);
    ++lineNo_;
    CheckText(line);
  }

  // A text file holds no zero bytes, and a CR inside a line means line ends
  // that this reader does not split at: either way every field would be read
  // from the wrong place.
  void CheckText(std::string_view line) const {
    if (std::memchr(line.data(), '\0', line.size()) != nullptr) ThrowZeroByte(line);
    if (std::memchr(line.data(), '\r', line.size()) != nullptr) ThrowCarriageReturn();
  }

  [[noreturn]] void ThrowOpenError(int error) const;
  [[noreturn]] void ThrowZeroByte(std::string_view line) const;
  [[noreturn]] void ThrowCarriageReturn() const;
  [[noreturn]] void ThrowLineTooLong();
  std::string Where() const;
  void Refill();
  void CheckUnchanged() const;

  std::string path_;
  std::unique_ptr<std::FILE, FileCloser> file_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;  // first byte not yet handed out
  std::size_t end_ = 0;    // end of the bytes read
  bool atEnd_ = false;
  std::int64_t bytesRead_ = 0;
  // Of a regular file when it was opened, to see at its end that nothing
  // wrote to it meanwhile; size -1 for pipes and devices.
  std::int64_t openedSize_ = -1;
  std::filesystem::file_time_type openedTime_;
  std::int64_t consumed_ = 0;
  std::int64_t lineNo_ = 0;  // lines handed out so far
};

bool IsAscii(std::string_view text);

// The fields of one line, by character positions from 1. Pure-ASCII lines,
// nearly all of them, need no character table.
class LineFields {
 public:
  // Characters beyond `lastPosition` belong to no field and are not
  // indexed: a long line costs no table of its own length.
  explicit LineFields(std::int64_t lastPosition)
      : lastPosition_(static_cast<std::size_t>(std::max<std::int64_t>(lastPosition, 0))) {}

  void Set(std::string_view line) {
    line_ = line;
    ascii_ = IsAscii(line.substr(0, lastPosition_));
    if (!ascii_) IndexCharacters();
  }

  bool Ascii() const { return ascii_; }
  std::string_view Line() const { return line_; }

  // At most `width` characters from `start` on; fewer at the end of the line.
  std::string_view Field(std::int64_t start, std::int64_t width) const {
    const auto first = static_cast<std::uint64_t>(start - 1);
    const std::uint64_t count = ascii_ ? line_.size() : characterStart_.size() - 1;
    if (first >= count) return {};
    const std::uint64_t last = first + std::min(static_cast<std::uint64_t>(width), count - first);
    if (ascii_) return line_.substr(first, last - first);
    return line_.substr(characterStart_[first], characterStart_[last] - characterStart_[first]);
  }
  std::string_view Field(const FieldWindow& window) const { return Field(window.start, window.width); }
  // Trait t, 1..nTrait, of the trait fields that start at `first`.
  std::string_view Trait(const FieldWindow& first, int t) const {
    return Field(first.start + (t - 1) * first.width, first.width);
  }

 private:
  void IndexCharacters();

  std::size_t lastPosition_;  // the last character any field reads
  std::string_view line_;
  bool ascii_ = true;
  std::vector<std::size_t> characterStart_;  // byte offset of each character, then the end
};

// The data file line by line, as the stage goes through it: the stage's
// progress by bytes, the stop requests and the byte-order mark are seen to
// here.
class DataFileLines {
 public:
  DataFileLines(const RunData& run, ProgressLog& log);

  // The next line and its number in the file. Between lines, now and then,
  // a stop request is heeded and the progress advanced.
  bool Next(std::string_view& line, std::int64_t& lineNo) {
    if (source_.LineNumber() % kPollLines == 0 && source_.LineNumber() > 0) {
      log_.CheckStop();
      log_.Advance(source_.BytesConsumed());
    }
    if (!source_.Next(line)) return false;
    lineNo = source_.LineNumber();
    if (lineNo == 1) DropByteOrderMark(line);
    return true;
  }

  // The whole file over the bytes read so far; 0 when its size is unknown.
  double FileOverRead() const;

  void Finish(RunData& run) {
    run.linesRead = source_.LineNumber();
    log_.Advance(source_.BytesConsumed());
  }

  // Editors on Windows often begin a UTF-8 file with a byte-order mark.
  static void DropByteOrderMark(std::string_view& line);

 private:
  // Often enough that a stop request is seen at once, rarely enough to cost nothing.
  static constexpr std::int64_t kPollLines = 4096;

  LineSource source_;
  ProgressLog& log_;
  std::int64_t fileSize_ = -1;  // -1: unknown
  // The reader's listing, whose length is not known in advance; the level
  // coding's listings continue it.
  std::optional<ProgressLog::Listing> listing_;
};

// A site, block or family field as read: a number, or a name where the
// field held text that is no plain number. Codes are compared by their exact
// value; most are whole numbers of a few digits, which are looked up as such.
struct CodeRead {
  std::string_view text;     // the field without the blanks and quotes around it
  bool name = false;         // text that is no plain number
  double value = 0;          // a number's nearest double
  bool whole = false;        // a whole number below 10^15: `wholeValue`
  std::int64_t wholeValue = 0;
  ExactDecimal exact;        // any other number's exact value
};

// Whole-number codes and the others, each looked up by its exact value.
inline bool ReadWhole(const ParsedNumber& parsed, std::int64_t& whole) {
  // A whole double from the fast form is the exact value of its digits: an
  // integer below 2^53 over a power of ten rounds to a whole number only
  // when it is one.
  if (!parsed.plain || !(std::fabs(parsed.value) < 1e15) || parsed.value != std::floor(parsed.value)) return false;
  whole = static_cast<std::int64_t>(parsed.value);
  return true;
}

// An edge between two characters of a fixed-column line where a field
// starts or ends: `position` is the character after it, from 1.
struct FieldEdge {
  std::int64_t position = 0;
  std::string what;  // "the first character of trait 2", ...
  Field start, width;
};
// The edges of the code and trait fields, each once, left to right as the
// fields are listed.
std::vector<FieldEdge> FieldEdges(const RunData& run);

// A digit or the point of a number.
inline bool IsNumberCharacter(char c) { return (c >= '0' && c <= '9') || c == '.'; }

// What becomes of a selected line in either form. The tables are emptied
// when the object is made.
class RecordStore {
 public:
  RecordStore(RunData& run, ProgressLog& log);

  // A line whose first character is ":" is a comment, counted and passed over.
  bool PassComment(std::string_view line) {
    if (line.empty() || line.front() != ':') return false;
    ++run_.commentLines;
    return true;
  }
  // The line to read fields from, and its number in the file.
  void SetLine(std::string_view line, std::int64_t lineNo) {
    fields_.Set(line);
    lineNo_ = lineNo;
  }
  // The fields of a delimited record that began on line `lineNo`.
  void SetFields(const std::vector<std::string_view>& fields, std::int64_t lineNo) {
    columns_ = &fields;
    lineNo_ = lineNo;
  }
  const LineFields& Fields() const { return fields_; }
  std::int64_t LineNumber() const { return lineNo_; }

  // The fields of the record, in either format.
  std::string_view Column(int column) const {
    return static_cast<std::size_t>(column) < columns_->size() ? (*columns_)[static_cast<std::size_t>(column)]
                                                                : std::string_view();
  }
  std::string_view Site() const { return run_.delimited() ? Column(run_.siteColumn) : fields_.Field(run_.siteField); }
  std::string_view Block() const {
    return run_.delimited() ? Column(run_.blockColumn) : fields_.Field(run_.blockField);
  }
  std::string_view Family() const {
    return run_.delimited() ? Column(run_.familyColumn) : fields_.Field(run_.familyField);
  }
  std::string_view Trait(int t) const {
    return run_.delimited() ? Column(run_.traitColumn[static_cast<std::size_t>(t) - 1])
                            : fields_.Trait(run_.traitField, t);
  }
  // Whether the record has the selected age; `parse` converts the age field.
  template <typename Parse>
  bool Selected(Parse parse) {
    if (run_.delimited() && run_.ageColumn < 0) return true;
    const ParsedNumber age =
        parse(NumberText(run_.delimited() ? Column(run_.ageColumn) : fields_.Field(run_.ageField)));
    if (age.value == run_.params.ageSel) return true;
    NoteOtherAge(age);
    return false;
  }

  // A field as a number is read: with decimal commas, its commas are points.
  std::string_view NumberText(std::string_view field) {
    if (!run_.decimalComma || field.find(',') == std::string_view::npos) return field;
    numberText_.assign(field);
    std::replace(numberText_.begin(), numberText_.end(), ',', '.');
    return numberText_;
  }
  // The same for a trait field, which is counted when it writes a decimal
  // comma: the user hears that the sheet was read so.
  std::string_view TraitText(std::string_view field) {
    const std::string_view text = NumberText(field);
    if (text.data() != field.data()) NoteDecimalComma(run_.decimalCommas, run_.decimalCommaText, field, lineNo_);
    return text;
  }
  static void NoteDecimalComma(FieldWarning& commas, std::string& example, std::string_view field,
                               std::int64_t lineNo) {
    if (commas.count++ == 0 || lineNo < commas.firstLine) commas.firstLine = lineNo, example = TrimField(field);
  }

  // A few ages are enough to show the user which ones the file holds.
  void NoteOtherAge(const ParsedNumber& age);

  // Empty and non-numeric fields read as 0 as they always have, but the
  // user hears about them: a shifted column would otherwise go unnoticed.
  // A value beyond single precision would be stored as infinity: codes
  // would merge and every sum over the trait would be lost. `parsed` is
  // the number read from `field` of line `lineNo`; `held` notes whether it
  // held a number.
  // The value is returned as read; it is checked at single precision,
  // where the method's stages hold it.
  double Number(const ParsedNumber& parsed, std::string_view field, FieldWarning& warning, const char* what,
                std::int64_t lineNo, std::uint8_t& held) const {
    if (!parsed.numeric && warning.count++ == 0) warning.firstLine = lineNo;
    held |= static_cast<std::uint8_t>(parsed.numeric);
    if (!std::isfinite(RoundToSingle(parsed.value))) ThrowBeyondSingle(field, what, lineNo);
    return parsed.value;
  }

  // A code field of the current line; `parsed` is the number read from
  // NumberText(field). An empty field reads as 0 with the warning above.
  // `tally` false reads a code for a tree left out of the analysis, which
  // the warnings and checks of its fields do not count.
  CodeRead Code(const ParsedNumber& parsed, std::string_view field, const char* what, std::size_t fieldIndex,
                bool tally = true);
  // The level a code read makes, and the text its level is looked up by.
  LevelCode MakeLevel(const CodeRead& code);
  std::string KeyOf(const CodeRead& code);

  // Whether a trait field holds no value: empty, all blank, or a missing code.
  bool IsMissing(const ParsedNumber& parsed, std::string_view field) const {
    if (parsed.numeric && parsed.complete)
      return !run_.numberMissing.empty() &&
             std::find(run_.numberMissing.begin(), run_.numberMissing.end(), parsed.value) != run_.numberMissing.end();
    return IsMissingText(field);
  }
  bool IsMissingText(std::string_view field) const;

  // A sheet's trait field that is no number as the sheet is read ("12,5"
  // with decimal points, "1.234,5", "12.5.3", "dead") holds no value: read
  // up to a character it would pass as a value it is not.
  bool IsUnreadable(const ParsedNumber& parsed) const { return run_.delimited() && !(parsed.numeric && parsed.complete); }

  // Trait t of line `lineNo`: a value, or 0 where it has none, counted in
  // `tally` unless such values read as 0 (--missing zero), as empty fields
  // of fixed-column files always have. `lacks` notes that the record lacks
  // a value.
  double TraitNumber(const ParsedNumber& parsed, std::string_view field, FieldWarning& warning, TraitTally& tally,
                     std::int64_t lineNo, std::uint8_t& held, std::uint8_t& lacks) const {
    if (run_.params.missing == MissingMode::kZero) {
      if (!IsUnreadable(parsed)) return Number(parsed, field, warning, "trait", lineNo, held);
      if (warning.count++ == 0) warning.firstLine = lineNo;
      return 0.0;
    }
    if (IsMissing(parsed, field)) {
      if (tally.missing.count++ == 0 || lineNo < tally.missing.firstLine) tally.missing.firstLine = lineNo;
    } else if (IsUnreadable(parsed)) {
      NoteUnreadable(tally, field, lineNo);
    } else {
      return Number(parsed, field, warning, "trait", lineNo, held);
    }
    lacks = 1;
    return 0.0;
  }
  static void NoteUnreadable(TraitTally& tally, std::string_view field, std::int64_t lineNo) {
    if (tally.unreadable.count++ == 0 || lineNo < tally.unreadable.firstLine)
      tally.unreadable.firstLine = lineNo, tally.unreadableText = TrimField(field);
  }
  // The same for trait t of the current line, noted in the run's tallies.
  template <typename Parse>
  double TraitOfLine(Parse parse, int t, std::uint8_t& lacks) {
    const std::string_view field = Trait(t);
    std::uint8_t held = 0;
    const double value = TraitNumber(parse(TraitText(field)), field, run_.traitWarning,
                                     run_.missingValues.byTrait[static_cast<std::size_t>(t)], lineNo_, held, lacks);
    run_.fieldHeldNumber[kFirstTraitField + static_cast<std::size_t>(t) - 1] |= held;
    return value;
  }
  // A digit, a comma, a digit: "12,5".
  static bool HoldsCommaNumber(std::string_view field) {
    for (std::size_t at = field.find(','); at != std::string_view::npos; at = field.find(',', at + 1))
      if (at > 0 && at + 1 < field.size() && std::isdigit(static_cast<unsigned char>(field[at - 1])) &&
          std::isdigit(static_cast<unsigned char>(field[at + 1])))
        return true;
    return false;
  }
  // A record that lacks a value, in the tally of the trees.
  void NoteLacking(std::int64_t lineNo) {
    if (run_.missingValues.trees++ == 0 || lineNo < run_.missingValues.firstLine) run_.missingValues.firstLine = lineNo;
  }
  // With --missing drop, a record that lacks some trait is left out before
  // it is given levels: it then takes no part in the analysis at all.
  template <typename Parse>
  bool DropIfLacking(Parse parse) {
    if (run_.params.missing != MissingMode::kDrop) return false;
    bool lacking = false;
    for (int t = 1; t <= run_.nTrait; ++t) {
      const std::string_view field = Trait(t);
      const ParsedNumber parsed = parse(NumberText(field));
      TraitTally& tally = run_.missingValues.byTrait[static_cast<std::size_t>(t)];
      if (IsMissing(parsed, field)) {
        if (tally.missing.count++ == 0) tally.missing.firstLine = lineNo_;
      } else if (IsUnreadable(parsed)) {
        NoteUnreadable(tally, field, lineNo_);
      } else {
        continue;
      }
      lacking = true;
    }
    if (!lacking) return false;
    NoteLacking(lineNo_);
    ++run_.missingValues.dropped;
    if (run_.params.reml) KeepLeftOut(parse);
    return true;
  }
  // A tree left out of the analysis of variance, with its codes and the
  // values it has, for REML, which fits each trait on every tree that has it.
  template <typename Parse>
  void KeepLeftOut(Parse parse) {
    LeftOutTrees& kept = run_.leftOut;
    auto code = [&](std::string_view field, const char* what) {
      return MakeLevel(Code(parse(NumberText(field)), field, what, 0, false));
    };
    kept.site.push_back(code(Site(), "site"));
    kept.block.push_back(code(Block(), "block"));
    kept.family.push_back(code(Family(), "family"));
    kept.value.resize(static_cast<std::size_t>(run_.nTrait) + 1);
    for (int t = 1; t <= run_.nTrait; ++t) {
      const std::string_view field = Trait(t);
      const ParsedNumber parsed = parse(NumberText(field));
      const bool has = !IsMissing(parsed, field) && !IsUnreadable(parsed) && std::isfinite(RoundToSingle(parsed.value));
      kept.value[static_cast<std::size_t>(t)].push_back(has ? parsed.value : std::numeric_limits<double>::quiet_NaN());
    }
  }

  // A selected fixed-column line whose fields may be mis-set: a number runs
  // across a field's edge, or a code field holds two numbers apart. Lines
  // whose characters are bytes are looked at, nearly all of them.
  void NoteFieldEdges() {
    if (run_.delimited() || !fields_.Ascii()) return;
    const std::string_view line = fields_.Line();
    for (std::size_t e = 0; e < edgePositions_.size(); ++e) {
      const auto at = static_cast<std::uint64_t>(edgePositions_[e]);
      if (at >= 2 && at <= line.size() && IsNumberCharacter(line[at - 2]) && IsNumberCharacter(line[at - 1]))
        Note(run_.edgeCrossed[e], line);
    }
    const FieldWindow* codes[] = {&run_.siteField, &run_.blockField, &run_.familyField};
    for (std::size_t c = 0; c < 3; ++c)
      if (HoldsTwoNumbers(fields_.Field(*codes[c]))) Note(run_.twoNumbers[c], line);
  }

  // A new level, when no stored code is `code`: entered at the end. The
  // level's number. The declared counts are checked once the file is read,
  // so that the message can say what the data need.
  int AddSite(const CodeRead& code);
  int AddBlock(int i, const CodeRead& code);
  int AddFamily(const CodeRead& code);
  // The number of the next selected record.
  int NextRecord();

  // The record's line of the listing, from its stored levels and traits.
  void WriteListingLine(int r);

 private:
  std::string Where() const;
  [[noreturn]] void ThrowBeyondSingle(std::string_view field, const char* what, std::int64_t lineNo) const;
  void Note(EdgeTally& tally, std::string_view line) const {
    if (tally.count++ == 0) tally.firstLine = lineNo_, tally.lineText = line;
  }
  // A digit, blanks, then a digit: "1   10".
  static bool HoldsTwoNumbers(std::string_view field) {
    bool digit = false, gap = false;
    for (const char c : field) {
      if (c == ' ' || c == '\t') gap = digit;
      else if (c >= '0' && c <= '9') {
        if (gap) return true;
        digit = true;
      } else {
        digit = gap = false;
      }
    }
    return false;
  }

  RunData& run_;
  ProgressLog& log_;
  LineFields fields_;
  const std::vector<std::string_view>* columns_ = nullptr;
  std::vector<std::int64_t> edgePositions_;  // FieldEdges(run) positions
  std::string numberText_;
  std::int64_t lineNo_ = 0;
};

// The records of a delimited file in either form: the first line gives the
// columns (and is passed over when it is the header), blank lines are
// passed over, and quoted fields go through CsvFields; `plainLines` lets lines
// without a quote be split directly, as the product form does.
class DelimitedRecords {
 public:
  // `splitPartly`: a plain line is split only as far as the codes, the age
  // and the first trait column; the last field then holds the rest of the
  // line, whose trait fields the product form splits with their conversion.
  // `resolveColumns` false: the first record is a record like the others,
  // for a look at a sheet whose columns are not yet named.
  DelimitedRecords(RunData& run, bool plainLines, bool splitPartly = false, bool resolveColumns = true)
      : run_(run), plainLines_(plainLines), splitPartly_(splitPartly), resolveColumns_(resolveColumns) {}
  // The last record was a plain line split partly; its fields from the
  // first trait column on are the rest of the line from FirstTraitField().
  bool SplitPartly() const { return partly_; }
  std::size_t FirstTraitColumn() const { return firstTrait_; }
  // From now on a plain line is split into at most `fields` fields.
  void LimitSplit(std::size_t fields) { limit_ = fields; }

  // Takes line `lineNo`; true when it completes a record, whose fields are
  // then in Fields() and which began on RecordLine().
  bool Take(std::string_view line, std::int64_t lineNo);
  const std::vector<std::string_view>& Fields() const { return fields_; }
  std::int64_t RecordLine() const { return recordLine_; }
  // A quoted field runs on past the end of the last line.
  bool InRecord() const { return quoted_ && quoted_->InRecord(); }
  void Finish() const {
    if (quoted_) quoted_->Finish();
  }

 private:
  RunData& run_;
  bool plainLines_;
  bool splitPartly_;
  bool resolveColumns_;
  bool partly_ = false;
  std::size_t limit_ = SIZE_MAX;   // fields a plain line is split into
  std::size_t firstTrait_ = 0;     // the first trait column
  bool columnsKnown_ = false;
  std::optional<QuotedRecords> quoted_;
  std::vector<std::string_view> fields_;
  std::int64_t recordLine_ = 0;
};

// How the numbers of the sheet are read, and the option that reads them
// otherwise, for messages about a field that is no number.
std::string DecimalReading(const RunData& run);

// Whether the numbers of a sheet apart at `delimiter` are read with decimal commas.
bool ReadsDecimalCommas(DecimalMark mark, char delimiter);

// Once the file is read, in either form: the declared counts the data
// exceed, named with what the data hold.
void CheckCapacities(const RunData& run);

}  // namespace korvan::reading
