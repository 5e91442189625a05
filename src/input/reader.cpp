#include "input/reader.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <charconv>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "base/build_mode.h"
#include "format/number_format.h"
#include "base/korvan_error.h"
#include "input/run_parameters.h"
#include "base/parallel.h"
#include "base/vector_clones.h"

namespace korvan {

namespace {

// Often enough that a stop request is seen at once, rarely enough to cost nothing.
constexpr std::int64_t kPollLines = 4096;

// No fixed-column record comes near this. A longer line is a file without
// line ends (a program's own format, CR alone at the line ends) that would
// otherwise be held in memory whole.
constexpr std::size_t kMaxLineBytes = std::size_t{16} << 20;

// Where RunData::fieldHeldNumber keeps each field; trait t is at kFirstTraitField + t - 1.
constexpr std::size_t kSiteField = 0, kBlockField = 1, kFamilyField = 2, kFirstTraitField = 3;

// Ages quoted when no record has the selected one.
constexpr std::size_t kShownAges = 5;

std::string Ordinal(std::int64_t n) {
  const std::int64_t lastTwo = n % 100;
  const std::int64_t last = n % 10;
  const char* suffix = "th";
  if (lastTwo < 11 || lastTwo > 13) {
    if (last == 1) suffix = "st";
    if (last == 2) suffix = "nd";
    if (last == 3) suffix = "rd";
  }
  return std::to_string(n) + suffix;
}

// A code as stored: the shortest text that reads back as the same single.
std::string CodeText(float code) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, code).ptr);
}

// The lines of the data file, read in large blocks. A line ends at LF or
// CR LF; a final line without terminator still counts.
class LineSource {
 public:
  explicit LineSource(const std::string& path) : path_(path), buffer_(1 << 20) {
    errno = 0;
    file_.reset(std::fopen(path.c_str(), "rb"));
    if (!file_) ThrowOpenError(errno);
  }

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

  [[noreturn]] void ThrowOpenError(int error) const {
    std::error_code ignored;
    const std::string prefix = "the data file " + path_;
    if (!std::filesystem::exists(path_, ignored))
      throw KorvanError(prefix + " does not exist; check its name and folder");
    if (std::filesystem::is_directory(path_, ignored))
      throw KorvanError(prefix + " is a folder; choose a data file in it");
    if (error == EACCES) throw KorvanError(prefix + " cannot be opened: you have no permission to read it");
    throw KorvanError(prefix + " cannot be opened: " + std::generic_category().message(error));
  }

  std::string Where() const { return "line " + std::to_string(lineNo_) + " of " + path_ + ": "; }

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
    if (std::memchr(line.data(), '\0', line.size()) != nullptr) {
      if (lineNo_ == 1 && (line.starts_with("\xFF\xFE") || line.starts_with("\xFE\xFF")))
        throw KorvanError("the data file " + path_ + " is UTF-16 (\"Unicode\") text, which korvan does not read; "
                          "save it as plain text (UTF-8 or ANSI)");
      throw KorvanError(Where() + "the line holds a zero (NUL) byte, which no text file does: this is not a plain "
                        "text file (a program's own format, a damaged file, or text saved as UTF-16); choose the "
                        "data file, saved as plain text");
    }
    if (std::memchr(line.data(), '\r', line.size()) != nullptr)
      throw KorvanError(Where() + "a carriage return (CR) stands inside the line; lines end at LF or CR LF, and a "
                        "file with CR alone at its line ends (as older Macintosh programs save text) reads as "
                        "one long line; save the file with Windows or Unix line ends");
  }

  // Says what the unfinished line is, once it has passed kMaxLineBytes.
  [[noreturn]] void ThrowLineTooLong() {
    ++lineNo_;
    CheckText(std::string_view(buffer_.data() + begin_, end_ - begin_));
    throw KorvanError(Where() + "the line runs on for more than " + std::to_string(kMaxLineBytes >> 20) +
                      " MiB without a line end, which no record of a fixed-column data file does; check that "
                      "this is the data file and that its lines end at LF or CR LF");
  }

  // Keeps the unfinished line at the front and appends the next block; a
  // line longer than the buffer makes the buffer grow.
  void Refill() {
    const std::size_t kept = end_ - begin_;
    std::memmove(buffer_.data(), buffer_.data() + begin_, kept);
    begin_ = 0;
    end_ = kept;
    if (kept > kMaxLineBytes) ThrowLineTooLong();
    if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
    const std::size_t got = std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, file_.get());
    end_ += got;
    if (got == 0) {
      if (std::ferror(file_.get()))
        throw KorvanError("the data file " + path_ + " could not be read to its end; check the disk or copy the file");
      atEnd_ = true;
    }
  }

  std::string path_;
  std::unique_ptr<std::FILE, FileCloser> file_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;  // first byte not yet handed out
  std::size_t end_ = 0;    // end of the bytes read
  bool atEnd_ = false;
  std::int64_t consumed_ = 0;
  std::int64_t lineNo_ = 0;  // lines handed out so far
};

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

// Without an early exit the loop runs on whole vectors of bytes, which for
// the lines of a data file is faster than stopping at the first non-ASCII one.
KORVAN_VECTOR_CLONES bool IsAscii(std::string_view text) {
  unsigned char any = 0;
  for (const char c : text) any = static_cast<unsigned char>(any | static_cast<unsigned char>(c));
  return any < 0x80;
}

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

 private:
  void IndexCharacters() {
    characterStart_.clear();
    const auto* bytes = reinterpret_cast<const unsigned char*>(line_.data());
    std::size_t at = 0;
    while (at < line_.size() && characterStart_.size() < lastPosition_) {
      characterStart_.push_back(at);
      at += CharacterLength(bytes + at, line_.size() - at);
    }
    characterStart_.push_back(at);
  }

  std::size_t lastPosition_;  // the last character any field reads
  std::string_view line_;
  bool ascii_ = true;
  std::vector<std::size_t> characterStart_;  // byte offset of each character, then the end
};

// Codes are told apart by their single-precision value, so +0 and -0 are one
// code. The reader lets only finite values through.
std::uint32_t CodeKey(float code) {
  assert(std::isfinite(code));
  return std::bit_cast<std::uint32_t>(code == 0.0f ? 0.0f : code);
}

// Numbers the levels of the selected records. The hash maps give the level
// that a search of the stored codes in order would find first, since a code
// is entered only when no earlier level holds it.
class RecordReader {
 public:
  RecordReader(RunData& run, ProgressLog& log) : run_(run), log_(log), fields_(LastPosition(run)) {
    run.siteCode.assign(1, 0.0f);
    run.blockCode.assign(1, {});
    run.blockCount.assign(1, 0);
    run.familyCode.assign(1, 0.0f);
    run.recordColumn.Resize(0);
    run.traitValue.Reset(run.nTrait);
    run.nSite = run.nFamily = run.nRecord = 0;
    run.commentLines = 0;
    run.otherAges.clear();
    run.fieldHeldNumber.assign(kFirstTraitField + static_cast<std::size_t>(run.nTrait), 0);
  }

  // Room for about `records` records in all, as the first lines of the file
  // suggest: the tables then grow once instead of doubling time and again,
  // each time copying what they hold. Never more than the declared capacity.
  void Reserve(double records) {
    const double room = std::min(records * 1.05 + 1024.0, static_cast<double>(run_.capRecord) + 1.0);
    const auto size = static_cast<std::size_t>(room);
    run_.recordColumn.Reserve(size);
    for (int t = 1; t <= run_.nTrait; ++t) run_.traitValue.TraitVector(t).reserve(size + 1);
  }

  // Converts the trait fields kept so far and writes their records'
  // progress lines. Must run before a stage reads the trait values, and
  // before any failure of a later line is reported: a trait field of an
  // earlier line that cannot be stored is the failure the user must hear of.
  void ConvertPending() {
    if (pending_.empty()) return;
    const int first = pending_.front().record, last = pending_.back().record;
    for (int t = 1; t <= run_.nTrait; ++t) run_.traitValue.TraitVector(t).resize(static_cast<std::size_t>(last) + 1);
    const std::size_t fields = pending_.size() * static_cast<std::size_t>(run_.nTrait);
    // Two halves when worth it, each with its own count of empty fields and
    // its own notes of numbers held, added in order.
    const int parts = WorthASecondThread(kOperationsPerField * static_cast<double>(fields)) ? 2 : 1;
    FieldWarning warning[2];
    std::vector<std::uint8_t> held[2];
    for (auto& h : held) h.assign(static_cast<std::size_t>(run_.nTrait) + 1, 0);
    const std::size_t middle = parts == 1 ? pending_.size() : pending_.size() / 2;
    ForEachChunk(parts, [&](int part) {
      ConvertKept(part == 0 ? 0 : middle, part == 0 ? middle : pending_.size(), warning[part], held[part]);
    });
    for (int part = 0; part < parts; ++part) {
      AddWarnings(warning[part], run_.traitWarning);
      for (int t = 1; t <= run_.nTrait; ++t)
        run_.fieldHeldNumber[kFirstTraitField + static_cast<std::size_t>(t) - 1] |= held[part][static_cast<std::size_t>(t)];
    }
    pending_.clear();
    keptText_.clear();
    for (int r = first; r <= last; ++r) WriteProgressLine(r);
  }

  void ReadLine(std::string_view line, std::int64_t lineNo) {
    if (!line.empty() && line.front() == ':') {
      ++run_.commentLines;
      return;
    }
    fields_.Set(line);
    const ParsedNumber age = ParseNumber(fields_.Field(run_.ageField));
    if (age.value != run_.params.ageSel) {
      NoteOtherAge(age);
      return;
    }
    lineNo_ = lineNo;
    const float siteCode = ReadCode(run_.siteField, "site", kSiteField);
    const float blockCode = ReadCode(run_.blockField, "block", kBlockField);
    const float familyCode = ReadCode(run_.familyField, "family", kFamilyField);
    const int i = SiteNumber(siteCode);
    const int k = BlockNumber(i, blockCode);
    const int j = FamilyNumber(familyCode);
    const int r = NextRecord();
    run_.recordColumn.AppendLevels(i, k, j);
    // The straightforward build converts every field as it reads it.
    if (!kStraightforward && fields_.Ascii()) {
      KeepTraitFields(line, r);
    } else {
      ConvertPending();
      StoreTraits(r);
      WriteProgressLine(r);
    }
  }

 private:
  std::string Where() const {
    return "line " + std::to_string(lineNo_) + " of " + run_.params.dataPath + ": ";
  }
  std::string Capacity(Field field, std::int64_t capacity) const {
    return " is more than " + run_.params.NameOf(field) + " = " + std::to_string(capacity);
  }

  static std::int64_t LastPosition(const RunData& run) {
    auto last = [](const FieldWindow& field, std::int64_t count) { return field.start - 1 + count * field.width; };
    return std::max({last(run.siteField, 1), last(run.blockField, 1), last(run.familyField, 1),
                     last(run.ageField, 1), run.nTrait > 0 ? last(run.traitField, run.nTrait) : 0});
  }

  // A few ages are enough to show the user which ones the file holds.
  void NoteOtherAge(const ParsedNumber& age) {
    std::vector<double>& ages = run_.otherAges;
    if (!age.numeric || ages.size() > kShownAges) return;
    if (std::find(ages.begin(), ages.end(), age.value) == ages.end()) ages.push_back(age.value);
  }

  // Empty and non-numeric fields read as 0 as they always have, but the
  // user hears about them: a shifted column would otherwise go unnoticed.
  // A value beyond single precision would be stored as infinity: codes
  // would merge and every sum over the trait would be lost.
  float ReadNumber(std::string_view field, FieldWarning& warning, const char* what, std::size_t fieldIndex) const {
    std::uint8_t held = 0;
    const float value = ReadNumberAt(field, warning, what, lineNo_, held);
    run_.fieldHeldNumber[fieldIndex] |= held;
    return value;
  }
  // The same for a field of line `lineNo`, read earlier; `held` notes
  // whether it held a number.
  float ReadNumberAt(std::string_view field, FieldWarning& warning, const char* what, std::int64_t lineNo,
                     std::uint8_t& held) const {
    ParsedNumber parsed;
    if (!ParsePlainDecimal(field, parsed)) parsed = ParseNumber(field);
    if (!parsed.numeric && warning.count++ == 0) warning.firstLine = lineNo;
    held |= static_cast<std::uint8_t>(parsed.numeric);
    const float value = RoundToSingle(parsed.value);
    if (!std::isfinite(value))
      throw KorvanError("line " + std::to_string(lineNo) + " of " + run_.params.dataPath + ": the " + what +
                        " field '" + std::string(field) +
                        "' is beyond the range of single precision (about 3.4E+38); check the field's position");
    return value;
  }
  float ReadCode(const FieldWindow& window, const char* what, std::size_t fieldIndex) {
    return ReadNumber(fields_.Field(window), run_.codeWarning, what, fieldIndex);
  }

  // The straightforward look-up, as the method is written: the stored codes
  // searched in order. 0 when none holds `code`.
  static int SearchCodes(const std::vector<float>& codes, float code) {
    for (std::size_t n = 1; n < codes.size(); ++n)
      if (codes[n] == code) return static_cast<int>(n);
    return 0;
  }

  int SiteNumber(float code) {
    if (kStraightforward) {
      if (const int i = SearchCodes(run_.siteCode, code)) return i;
    } else {
      const auto [found, isNew] = siteIndex_.try_emplace(CodeKey(code), run_.nSite + 1);
      if (!isNew) return found->second;
    }
    if (run_.nSite >= run_.capSite)
      throw KorvanError(Where() + "a " + Ordinal(run_.nSite + 1LL) + " site (code " + CodeText(code) + ")" +
                        Capacity(Field::kSites, run_.capSite));
    run_.siteCode.push_back(code);
    run_.blockCode.emplace_back(1, 0.0f);
    run_.blockCount.push_back(0);
    return ++run_.nSite;
  }

  int BlockNumber(int i, float code) {
    if (kStraightforward) {
      if (const int k = SearchCodes(run_.blockCode[i], code)) return k;
    } else {
      const std::uint64_t key = (static_cast<std::uint64_t>(i) << 32) | CodeKey(code);
      const auto [found, isNew] = blockIndex_.try_emplace(key, run_.blockCount[i] + 1);
      if (!isNew) return found->second;
    }
    if (run_.blockCount[i] >= run_.nBlock)
      throw KorvanError(Where() + "a " + Ordinal(run_.blockCount[i] + 1LL) + " block (code " + CodeText(code) +
                        ") at site " + CodeText(run_.siteCode[i]) + Capacity(Field::kBlocks, run_.nBlock));
    run_.blockCode[i].push_back(code);
    return ++run_.blockCount[i];
  }

  int FamilyNumber(float code) {
    if (kStraightforward) {
      if (const int j = SearchCodes(run_.familyCode, code)) return j;
    } else {
      const auto [found, isNew] = familyIndex_.try_emplace(CodeKey(code), run_.nFamily + 1);
      if (!isNew) return found->second;
    }
    if (run_.nFamily >= run_.capFamily)
      throw KorvanError(Where() + "a " + Ordinal(run_.nFamily + 1LL) + " family (code " + CodeText(code) + ")" +
                        Capacity(Field::kFamilies, run_.capFamily));
    run_.familyCode.push_back(code);
    return ++run_.nFamily;
  }

  int NextRecord() {
    if (run_.nRecord >= run_.capRecord)
      throw KorvanError(Where() + "a " + Ordinal(run_.nRecord + 1LL) + " record of age " +
                        NumberText(run_.params.ageSel) + Capacity(Field::kRecords, run_.capRecord));
    // Sites, blocks and families are each at most one per record, so this
    // one limit keeps every level number within 32 bits.
    if (run_.nRecord == INT_MAX - 1)
      throw KorvanError(Where() + "korvan holds at most " + std::to_string(INT_MAX - 1) +
                        " records in one run; analyse the data in parts");
    return ++run_.nRecord;
  }

  void StoreTraits(int r) {
    const FieldWindow& first = run_.traitField;
    for (int t = 1; t <= run_.nTrait; ++t) {
      const std::string_view field = fields_.Field(first.start + (t - 1) * first.width, first.width);
      std::vector<float>& values = run_.traitValue.TraitVector(t);
      values.resize(static_cast<std::size_t>(r) + 1);
      values[r] = ReadNumber(field, run_.traitWarning, "trait", kFirstTraitField + static_cast<std::size_t>(t) - 1);
    }
  }

  // The trait fields of an ASCII line, where characters are bytes, copied
  // out of the line buffer to be converted with those of other records:
  // many at once, and on two threads when there are enough of them.
  void KeepTraitFields(std::string_view line, int r) {
    const FieldWindow& traits = run_.traitField;
    const auto start = static_cast<std::uint64_t>(traits.start - 1);
    std::string_view region;
    if (start < line.size()) {
      const std::uint64_t all = static_cast<std::uint64_t>(traits.width) * static_cast<std::uint64_t>(run_.nTrait);
      region = line.substr(start, std::min<std::uint64_t>(all, line.size() - start));
    }
    pending_.push_back({r, lineNo_, keptText_.size(), region.size()});
    keptText_.append(region);
    if (pending_.size() >= kKeptRecords || keptText_.size() >= kKeptBytes) ConvertPending();
  }

  // Converts records pending_[from .. to - 1], counting empty fields in
  // `warning`. Trait by trait, so that each trait's values are written in
  // one stream; an empty field or a failure is still the one of the first
  // line, as the warning and the message name the earliest line.
  // `held` notes, trait by trait, whether some field held a number.
  void ConvertKept(std::size_t from, std::size_t to, FieldWarning& warning, std::vector<std::uint8_t>& held) const {
    const auto width = static_cast<std::uint64_t>(run_.traitField.width);
    FieldWarning found;
    std::int64_t failedLine = 0;
    std::string failure;
    for (int t = 1; t <= run_.nTrait; ++t) {
      float* values = run_.traitValue.TraitVector(t).data();
      const std::uint64_t at = static_cast<std::uint64_t>(t - 1) * width;
      for (std::size_t n = from; n < to; ++n) {
        const Kept& kept = pending_[n];
        const std::string_view field =
            at < kept.length ? std::string_view(keptText_.data() + kept.offset + at,
                                                std::min<std::uint64_t>(width, kept.length - at))
                             : std::string_view();
        FieldWarning one;
        try {
          values[kept.record] = ReadNumberAt(field, one, "trait", kept.lineNo, held[static_cast<std::size_t>(t)]);
        } catch (const KorvanError& error) {
          // Of all fields that cannot be stored, the earliest line's counts.
          if (failure.empty() || kept.lineNo < failedLine) failedLine = kept.lineNo, failure = error.what();
          break;
        }
        if (one.count != 0 && (found.count++ == 0 || kept.lineNo < found.firstLine)) found.firstLine = kept.lineNo;
      }
    }
    if (!failure.empty()) throw KorvanError(failure);
    AddWarnings(found, warning);
  }

  static void AddWarnings(const FieldWarning& part, FieldWarning& whole) {
    if (whole.count == 0) whole.firstLine = part.firstLine;
    whole.count += part.count;
  }

  void WriteProgressLine(int r) {
    static constexpr Pattern kRecord("####"), kLevel("  ####"), kTrait("  ###.##");
    log_.CountedLineBy([this, r](std::string& out) {
      AppendPattern(out, std::int64_t{r}, kRecord);
      for (int factor = 1; factor <= 3; ++factor) AppendPattern(out, std::int64_t{run_.recordColumn(r, factor)}, kLevel);
      for (int t = 1; t <= run_.nTrait; ++t) AppendPattern(out, run_.traitValue(r, t), kTrait);
    });
  }

  // A record whose trait fields wait in keptText_ to be converted.
  struct Kept {
    int record = 0;
    std::int64_t lineNo = 0;
    std::size_t offset = 0;  // of its trait fields in keptText_
    std::size_t length = 0;
  };
  // Enough to be worth starting a thread for.
  static constexpr std::size_t kKeptRecords = 8192;
  static constexpr std::size_t kKeptBytes = std::size_t{4} << 20;
  // Converting a trait field costs about as much as this many multiply-adds.
  static constexpr double kOperationsPerField = 8;

  RunData& run_;
  ProgressLog& log_;
  LineFields fields_;
  std::vector<Kept> pending_;
  std::string keptText_;
  std::int64_t lineNo_ = 0;
  std::unordered_map<std::uint32_t, int> siteIndex_;
  std::unordered_map<std::uint64_t, int> blockIndex_;  // (site, code)
  std::unordered_map<std::uint32_t, int> familyIndex_;
};

// Editors on Windows often begin a UTF-8 file with a byte-order mark; it is
// no character of the first line, which may be a ":" comment.
void DropByteOrderMark(std::string_view& line) {
  constexpr std::string_view kMark = "\xEF\xBB\xBF";
  if (line.substr(0, kMark.size()) == kMark) line.remove_prefix(kMark.size());
}

}  // namespace

void ReadRecords(RunData& run, ProgressLog& log) {
  LineSource source(run.params.dataPath);
  std::error_code sizeUnknown;
  const auto fileSize = std::filesystem::file_size(run.params.dataPath, sizeUnknown);
  log.BeginStage("Reading the data file", sizeUnknown ? 0 : static_cast<std::int64_t>(fileSize));

  RecordReader reader(run, log);
  const ProgressLog::Listing listing(log, -1);
  std::string_view line;
  try {
    while (source.Next(line)) {
      const std::int64_t lineNo = source.LineNumber();
      if (lineNo == 1) DropByteOrderMark(line);
      reader.ReadLine(line, lineNo);
      if (lineNo % kPollLines == 0) {
        log.CheckStop();
        log.Advance(source.BytesConsumed());
        if (lineNo == kPollLines && !sizeUnknown)
          reader.Reserve(run.nRecord * (static_cast<double>(fileSize) / static_cast<double>(source.BytesConsumed())));
      }
    }
  } catch (const KorvanError&) {
    // A trait field of an earlier line that cannot be stored is the failure
    // the user must hear of first.
    reader.ConvertPending();
    throw;
  }
  reader.ConvertPending();
  run.linesRead = source.LineNumber();
  log.Advance(source.BytesConsumed());
}

namespace {

// Where a field stands, in the words of either front end.
std::string Characters(const FieldWindow& field, std::int64_t offset = 0) {
  const std::int64_t first = field.start + offset;
  if (field.width == 0) return "no characters at all";
  if (field.width == 1) return "character " + std::to_string(first);
  return "characters " + std::to_string(first) + " to " + std::to_string(first + field.width - 1);
}

std::string Lines(std::int64_t n) { return std::to_string(n) + (n == 1 ? " line" : " lines"); }

[[noreturn]] void ThrowNoRecords(const RunData& run) {
  const RunParameters& params = run.params;
  const std::string head = "no record of age " + NumberText(params.ageSel) + " in " + params.dataPath;
  if (run.linesRead == 0) throw KorvanError(head + ": the file is empty; choose the data file");
  if (run.commentLines == run.linesRead)
    throw KorvanError(head + ": all its " + Lines(run.linesRead) + " are comments (they begin with ':')");
  std::string message = head + " (" + Lines(run.linesRead) + " read";
  if (run.commentLines > 0) message += ", " + std::to_string(run.commentLines) + " of them comments";
  message += "): the age field (" + Characters(run.ageField) + ") ";
  if (run.otherAges.empty()) {
    message += "holds no number in any line";
  } else {
    message += "reads ";
    for (std::size_t n = 0; n < run.otherAges.size() && n < kShownAges; ++n)
      message += (n == 0 ? "" : ", ") + NumberText(run.otherAges[n]);
    message += run.otherAges.size() > kShownAges ? " and other ages" : " and no other age";
  }
  throw KorvanError(message + "; check " + params.NameOf(Field::kAge) + " and " +
                    params.NameOf(Field::kAgeStart));
}

}  // namespace

void CheckRecordsRead(const RunData& run) {
  if (run.nRecord == 0) ThrowNoRecords(run);
  const RunParameters& params = run.params;
  const std::string records = " in any of the " + std::to_string(run.nRecord) + " records of age " +
                              NumberText(params.ageSel) + " (the first is line ";
  struct Code {
    std::size_t index;
    const char* name;
    const FieldWindow& window;
    Field start;
  };
  const Code codes[] = {{kSiteField, "site", run.siteField, Field::kSiteStart},
                        {kBlockField, "block", run.blockField, Field::kBlockStart},
                        {kFamilyField, "family", run.familyField, Field::kFamilyStart}};
  for (const Code& code : codes) {
    if (run.fieldHeldNumber[code.index]) continue;
    throw KorvanError("the " + std::string(code.name) + " field (" + Characters(code.window) + ") holds no number" +
                      records + std::to_string(run.codeWarning.firstLine) + " of " + params.dataPath + "); check " +
                      params.NameOf(code.start));
  }
  // A trait that was never measured would be analysed as all zeros.
  for (int t = 1; t <= run.nTrait; ++t) {
    if (run.fieldHeldNumber[kFirstTraitField + static_cast<std::size_t>(t) - 1]) continue;
    throw KorvanError("trait " + std::to_string(t) + " (" + Characters(run.traitField, (t - 1) * run.traitField.width) +
                      ") holds no number" + records + std::to_string(run.traitWarning.firstLine) + " of " +
                      params.dataPath + "); check " + params.NameOf(Field::kTraits) + " and " +
                      params.NameOf(Field::kTraitStart));
  }
}

}  // namespace korvan
