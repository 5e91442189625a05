#include "input/reader.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/korvan_error.h"
#include "base/parallel.h"
#include "format/number_format.h"
#include "input/reader_shared.h"
#include "input/run_parameters.h"

namespace korvan {

using reading::kBlockField, reading::kFamilyField, reading::kFirstTraitField, reading::kShownAges, reading::kSiteField;

namespace {

// Lines enough to tell what share of the file the records take.
constexpr std::int64_t kSampleLines = 4096;

// Codes are told apart by their single-precision value, so +0 and -0 are one
// code. The reader lets only finite values through.
std::uint32_t CodeKey(float code) {
  assert(std::isfinite(code));
  return std::bit_cast<std::uint32_t>(code == 0.0f ? 0.0f : code);
}

// The conversion of every field: the fast form inline, the general one for
// what it leaves.
ParsedNumber Convert(std::string_view field) {
  ParsedNumber parsed;
  if (!ParsePlainDecimal(field, parsed)) parsed = ParseNumber(field);
  return parsed;
}

// Numbers the levels of the selected records. The hash maps give the level
// that a search of the stored codes in order would find first, since a code
// is entered only when no earlier level holds it.
class RecordReader {
 public:
  RecordReader(RunData& run, ProgressLog& log) : run_(run), store_(run, log) {}

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
  // listing lines. Must run before a stage reads the trait values, and
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
    for (int r = first; r <= last; ++r) store_.WriteListingLine(r);
  }

  void ReadLine(std::string_view line, std::int64_t lineNo) {
    if (store_.PassComment(line)) return;
    store_.SetLine(line, lineNo);
    const ParsedNumber age = ParseNumber(store_.Fields().Field(run_.ageField));
    if (age.value != run_.params.ageSel) {
      store_.NoteOtherAge(age);
      return;
    }
    const float siteCode = ReadCode(run_.siteField, "site", kSiteField);
    const float blockCode = ReadCode(run_.blockField, "block", kBlockField);
    const float familyCode = ReadCode(run_.familyField, "family", kFamilyField);
    const int i = SiteNumber(siteCode);
    const int k = BlockNumber(i, blockCode);
    const int j = FamilyNumber(familyCode);
    const int r = store_.NextRecord();
    run_.recordColumn.AppendLevels(i, k, j);
    // Where characters are bytes the trait fields wait to be converted with
    // those of other records; elsewhere they are converted at once.
    if (store_.Fields().Ascii()) {
      KeepTraitFields(line, r);
    } else {
      ConvertPending();
      StoreTraits(r);
      store_.WriteListingLine(r);
    }
  }

 private:
  float ReadCode(const FieldWindow& window, const char* what, std::size_t fieldIndex) {
    const std::string_view field = store_.Fields().Field(window);
    return store_.Number(Convert(field), field, run_.codeWarning, what, fieldIndex);
  }

  int SiteNumber(float code) {
    const auto [found, isNew] = siteIndex_.try_emplace(CodeKey(code), run_.nSite + 1);
    return isNew ? store_.AddSite(code) : found->second;
  }

  int BlockNumber(int i, float code) {
    const std::uint64_t key = (static_cast<std::uint64_t>(i) << 32) | CodeKey(code);
    const auto [found, isNew] = blockIndex_.try_emplace(key, run_.blockCount[i] + 1);
    return isNew ? store_.AddBlock(i, code) : found->second;
  }

  int FamilyNumber(float code) {
    const auto [found, isNew] = familyIndex_.try_emplace(CodeKey(code), run_.nFamily + 1);
    return isNew ? store_.AddFamily(code) : found->second;
  }

  void StoreTraits(int r) {
    for (int t = 1; t <= run_.nTrait; ++t) {
      const std::string_view field = store_.Fields().Trait(run_.traitField, t);
      std::vector<float>& values = run_.traitValue.TraitVector(t);
      values.resize(static_cast<std::size_t>(r) + 1);
      values[r] = store_.Number(Convert(field), field, run_.traitWarning, "trait",
                                kFirstTraitField + static_cast<std::size_t>(t) - 1);
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
    pending_.push_back({r, store_.LineNumber(), keptText_.size(), region.size()});
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
          values[kept.record] =
              store_.Number(Convert(field), field, one, "trait", kept.lineNo, held[static_cast<std::size_t>(t)]);
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
  reading::RecordStore store_;
  std::vector<Kept> pending_;
  std::string keptText_;
  std::unordered_map<std::uint32_t, int> siteIndex_;
  std::unordered_map<std::uint64_t, int> blockIndex_;  // (site, code)
  std::unordered_map<std::uint32_t, int> familyIndex_;
};

}  // namespace

void ReadRecords(RunData& run, ProgressLog& log) {
  reading::DataFileLines file(run, log);
  RecordReader reader(run, log);
  std::string_view line;
  std::int64_t lineNo = 0;
  try {
    while (file.Next(line, lineNo)) {
      reader.ReadLine(line, lineNo);
      if (lineNo == kSampleLines && file.FileOverRead() > 0) reader.Reserve(run.nRecord * file.FileOverRead());
    }
  } catch (const KorvanError&) {
    // A trait field of an earlier line that cannot be stored is the failure
    // the user must hear of first.
    reader.ConvertPending();
    throw;
  }
  reader.ConvertPending();
  file.Finish(run);
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
