#pragma once

// What both forms of the reader share: the data file's lines, the fields of a
// line by character position, and what becomes of a selected line (its
// numbers checked, new levels entered within the declared counts, the record
// numbered and listed). How a code's level is looked up and when trait fields
// are converted is each form's own. Only the two readers include this.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/progress.h"
#include "format/number_format.h"
#include "input/rundata.h"

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

 private:
  // Often enough that a stop request is seen at once, rarely enough to cost nothing.
  static constexpr std::int64_t kPollLines = 4096;

  static void DropByteOrderMark(std::string_view& line);

  LineSource source_;
  ProgressLog& log_;
  std::int64_t fileSize_ = -1;  // -1: unknown
  // The reader's listing, whose length is not known in advance; the level
  // coding's listings continue it.
  std::optional<ProgressLog::Listing> listing_;
};

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
  const LineFields& Fields() const { return fields_; }
  std::int64_t LineNumber() const { return lineNo_; }

  // A few ages are enough to show the user which ones the file holds.
  void NoteOtherAge(const ParsedNumber& age);

  // Empty and non-numeric fields read as 0 as they always have, but the
  // user hears about them: a shifted column would otherwise go unnoticed.
  // A value beyond single precision would be stored as infinity: codes
  // would merge and every sum over the trait would be lost. `parsed` is
  // the number read from `field` of line `lineNo`; `held` notes whether it
  // held a number.
  float Number(const ParsedNumber& parsed, std::string_view field, FieldWarning& warning, const char* what,
               std::int64_t lineNo, std::uint8_t& held) const {
    if (!parsed.numeric && warning.count++ == 0) warning.firstLine = lineNo;
    held |= static_cast<std::uint8_t>(parsed.numeric);
    const float value = RoundToSingle(parsed.value);
    if (!std::isfinite(value)) ThrowBeyondSingle(field, what, lineNo);
    return value;
  }
  // The same for a field of the current line, noted in fieldHeldNumber[fieldIndex].
  float Number(const ParsedNumber& parsed, std::string_view field, FieldWarning& warning, const char* what,
               std::size_t fieldIndex) {
    std::uint8_t held = 0;
    const float value = Number(parsed, field, warning, what, lineNo_, held);
    run_.fieldHeldNumber[fieldIndex] |= held;
    return value;
  }

  // A new level, when no stored code is `code`: entered at the end, within
  // the declared count. The level's number.
  int AddSite(float code);
  int AddBlock(int i, float code);
  int AddFamily(float code);
  // The number of the next selected record, within the declared count.
  int NextRecord();

  // The record's line of the listing, from its stored levels and traits.
  void WriteListingLine(int r);

 private:
  std::string Where() const;
  std::string Capacity(Field field, std::int64_t capacity) const;
  [[noreturn]] void ThrowBeyondSingle(std::string_view field, const char* what, std::int64_t lineNo) const;

  RunData& run_;
  ProgressLog& log_;
  LineFields fields_;
  std::int64_t lineNo_ = 0;
};

}  // namespace korvan::reading
