#include "input/reader.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "base/korvan_error.h"
#include "base/parallel.h"
#include "format/number_format.h"
#include "input/reader_shared.h"
#include "input/run_parameters.h"

namespace korvan {

using reading::CodeRead, reading::kBlockField, reading::kFamilyField, reading::kFirstTraitField, reading::kShownAges,
    reading::kSiteField;

namespace {

// Lines enough to tell what share of the file the records take.
constexpr std::int64_t kSampleLines = 4096;

// The conversion of every field: the fast form inline, the general one for
// what it leaves.
ParsedNumber Convert(std::string_view field) {
  ParsedNumber parsed;
  if (!ParsePlainDecimal(field, parsed)) parsed = ParseNumber(field);
  return parsed;
}

// Where a kept field stands: its begin and end in the kept text.
using Span = std::pair<std::size_t, std::size_t>;

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
    lacks_.assign(pending_.size(), 0);
    // Two halves when worth it, each with its own count of empty fields and
    // its own notes of numbers held and values missing, added in order.
    const int parts = WorthASecondThread(kOperationsPerField * static_cast<double>(fields)) ? 2 : 1;
    FieldWarning warning[2], commas[2];
    std::string commaText[2];
    std::vector<std::uint8_t> held[2];
    std::vector<TraitTally> tallies[2];
    for (auto& h : held) h.assign(static_cast<std::size_t>(run_.nTrait) + 1, 0);
    for (auto& m : tallies) m.assign(static_cast<std::size_t>(run_.nTrait) + 1, {});
    const std::size_t middle = parts == 1 ? pending_.size() : pending_.size() / 2;
    ForEachChunk(parts, [&](int part) {
      ConvertKept(part == 0 ? 0 : middle, part == 0 ? middle : pending_.size(), warning[part], commas[part],
                  commaText[part], held[part], tallies[part]);
    });
    for (int part = 0; part < parts; ++part) {
      AddWarnings(warning[part], run_.traitWarning);
      if (run_.decimalCommas.count == 0 && commas[part].count > 0) run_.decimalCommaText = commaText[part];
      AddWarnings(commas[part], run_.decimalCommas);
      for (int t = 1; t <= run_.nTrait; ++t) {
        const auto n = static_cast<std::size_t>(t);
        run_.fieldHeldNumber[kFirstTraitField + n - 1] |= held[part][n];
        TraitTally& whole = run_.missingValues.byTrait[n];
        const TraitTally& tally = tallies[part][n];
        AddWarnings(tally.missing, whole.missing);
        if (whole.unreadable.count == 0 && tally.unreadable.count > 0) whole.unreadableText = tally.unreadableText;
        AddWarnings(tally.unreadable, whole.unreadable);
      }
    }
    for (std::size_t n = 0; n < pending_.size(); ++n)
      if (lacks_[n]) store_.NoteLacking(pending_[n].lineNo);
    pending_.clear();
    keptText_.clear();
    keptEnds_.clear();
    for (int r = first; r <= last; ++r) store_.WriteListingLine(r);
  }

  void ReadLine(std::string_view line, std::int64_t lineNo) {
    if (store_.PassComment(line)) return;
    store_.SetLine(line, lineNo);
    ReadRecord(line);
  }

  void ReadFields(const reading::DelimitedRecords& records) {
    store_.SetFields(records.Fields(), records.RecordLine());
    records_ = &records;
    ReadRecord({});
  }

  bool PassComment(std::string_view line) { return store_.PassComment(line); }

 private:
  void ReadRecord(std::string_view line) {
    if (!store_.Selected(Convert) || store_.DropIfLacking(Convert)) return;
    store_.NoteFieldEdges();
    const CodeRead siteCode = ReadCode(store_.Site(), "site", kSiteField);
    const CodeRead blockCode = ReadCode(store_.Block(), "block", kBlockField);
    const CodeRead familyCode = ReadCode(store_.Family(), "family", kFamilyField);
    const int i = SiteNumber(siteCode);
    const int k = BlockNumber(i, blockCode);
    const int j = FamilyNumber(familyCode);
    const int r = store_.NextRecord();
    run_.recordColumn.AppendLevels(i, k, j);
    // Where characters are bytes the trait fields wait to be converted with
    // those of other records; elsewhere they are converted at once.
    if (run_.delimited()) {
      KeepDelimitedFields(r, *records_);
    } else if (store_.Fields().Ascii()) {
      KeepTraitFields(line, r);
    } else {
      ConvertPending();
      std::uint8_t lacks = 0;
      for (int t = 1; t <= run_.nTrait; ++t) {
        std::vector<double>& values = run_.traitValue.TraitVector(t);
        values.resize(static_cast<std::size_t>(r) + 1);
        values[r] = store_.TraitOfLine(Convert, t, lacks);
      }
      if (lacks) store_.NoteLacking(store_.LineNumber());
      store_.WriteListingLine(r);
    }
  }

  CodeRead ReadCode(std::string_view field, const char* what, std::size_t fieldIndex) {
    return store_.Code(Convert(store_.NumberText(field)), field, what, fieldIndex);
  }

  // The codes of one factor (or of the blocks of one site) and their levels:
  // whole numbers by value, other numbers and names by their key.
  struct LevelIndex {
    std::unordered_map<std::int64_t, int> whole;
    std::unordered_map<std::string, int> other;
  };

  // The level of `code`, or `next` entered by `add`.
  template <typename Add>
  int Level(LevelIndex& index, const CodeRead& code, int next, Add add) {
    if (code.whole) {
      const auto [found, isNew] = index.whole.try_emplace(code.wholeValue, next);
      return isNew ? add() : found->second;
    }
    const auto [found, isNew] = index.other.try_emplace(store_.KeyOf(code), next);
    return isNew ? add() : found->second;
  }

  int SiteNumber(const CodeRead& code) {
    return Level(sites_, code, run_.nSite + 1, [&] {
      blocks_.emplace_back();
      return store_.AddSite(code);
    });
  }

  int FamilyNumber(const CodeRead& code) {
    return Level(families_, code, run_.nFamily + 1, [&] { return store_.AddFamily(code); });
  }

  int BlockNumber(int i, const CodeRead& code) {
    return Level(blocks_[static_cast<std::size_t>(i) - 1], code, run_.blockCount[i] + 1,
                 [&] { return store_.AddBlock(i, code); });
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
    pending_.push_back({r, store_.LineNumber(), keptText_.size(), region.size(), 0});
    keptText_.append(region);
    if (pending_.size() >= kKeptRecords || keptText_.size() >= kKeptBytes) ConvertPending();
  }

  // The same for a delimited record. A plain line split partly keeps the
  // rest of the line from its first trait column, to be split when it is
  // converted; other records their trait fields one after another, with
  // where each ends.
  void KeepDelimitedFields(int r, const reading::DelimitedRecords& records) {
    const std::size_t offset = keptText_.size();
    std::size_t ends = kRawRegion;
    if (records.SplitPartly()) {
      const std::vector<std::string_view>& fields = records.Fields();
      const std::size_t first = records.FirstTraitColumn();
      if (first < fields.size())
        keptText_.append(fields[first].data(),
                         static_cast<std::size_t>(fields.back().data() + fields.back().size() - fields[first].data()));
    } else {
      ends = keptEnds_.size();
      for (int t = 1; t <= run_.nTrait; ++t) {
        keptText_.append(store_.Trait(t));
        keptEnds_.push_back(keptText_.size());
      }
    }
    pending_.push_back({r, store_.LineNumber(), offset, keptText_.size() - offset, ends});
    if (pending_.size() >= kKeptRecords || keptText_.size() >= kKeptBytes) ConvertPending();
  }

  // Where each trait field of the delimited records pending_[from .. to - 1]
  // stands in keptText_: spans[(n - from) * nTrait + t - 1].
  void FindDelimitedFields(std::size_t from, std::size_t to, std::vector<Span>& spans) const {
    const auto nTrait = static_cast<std::size_t>(run_.nTrait);
    spans.resize((to - from) * nTrait);
    const std::size_t firstTrait =
        static_cast<std::size_t>(*std::min_element(run_.traitColumn.begin(), run_.traitColumn.end()));
    std::vector<std::size_t> relative(nTrait);
    for (std::size_t t = 0; t < nTrait; ++t) relative[t] = static_cast<std::size_t>(run_.traitColumn[t]) - firstTrait;
    std::vector<Span> columns(*std::max_element(relative.begin(), relative.end()) + 1);
    const char* const text = keptText_.data();
    for (std::size_t n = from; n < to; ++n) {
      const Kept& kept = pending_[n];
      Span* out = &spans[(n - from) * nTrait];
      if (kept.ends != kRawRegion) {
        for (std::size_t t = 0; t < nTrait; ++t)
          out[t] = {t == 0 ? kept.offset : keptEnds_[kept.ends + t - 1], keptEnds_[kept.ends + t]};
        continue;
      }
      // Fields are short: a byte loop beats a call of memchr for each.
      std::size_t at = kept.offset, column = 0;
      const std::size_t end = kept.offset + kept.length;
      for (; column < columns.size(); ++column) {
        std::size_t fieldEnd = at;
        while (fieldEnd != end && text[fieldEnd] != run_.delimiter) ++fieldEnd;
        columns[column] = {at, fieldEnd};
        if (fieldEnd == end) break;
        at = fieldEnd + 1;
      }
      // A short line's missing columns are empty fields.
      for (++column; column < columns.size(); ++column) columns[column] = {end, end};
      for (std::size_t t = 0; t < nTrait; ++t) out[t] = columns[relative[t]];
    }
  }

  // Trait t (from 1) of a fixed-column record pending_[n].
  std::string_view KeptField(std::size_t n, int t) const {
    const Kept& kept = pending_[n];
    const auto width = static_cast<std::uint64_t>(run_.traitField.width);
    const std::uint64_t at = static_cast<std::uint64_t>(t - 1) * width;
    return at < kept.length ? std::string_view(keptText_.data() + kept.offset + at,
                                                std::min<std::uint64_t>(width, kept.length - at))
                            : std::string_view();
  }

  // Converts records pending_[from .. to - 1], counting empty fields in
  // `warning` and missing ones in `missing`. Trait by trait, so that each
  // trait's values are written in one stream; an empty field or a failure
  // is still the one of the first line, as the warning and the message name
  // the earliest line. `held` notes, trait by trait, whether some field held
  // a number.
  void ConvertKept(std::size_t from, std::size_t to, FieldWarning& warning, FieldWarning& commas,
                   std::string& commaText, std::vector<std::uint8_t>& held, std::vector<TraitTally>& tallies) {
    FieldWarning found;
    std::int64_t failedLine = 0;
    std::string failure;
    std::vector<Span> spans;
    if (run_.delimited()) FindDelimitedFields(from, to, spans);
    const auto nTrait = static_cast<std::size_t>(run_.nTrait);
    std::string pointed;  // a field with its decimal commas made points
    for (int t = 1; t <= run_.nTrait; ++t) {
      double* values = run_.traitValue.TraitVector(t).data();
      for (std::size_t n = from; n < to; ++n) {
        const Kept& kept = pending_[n];
        std::string_view field, text;
        if (run_.delimited()) {
          const Span& span = spans[(n - from) * nTrait + static_cast<std::size_t>(t) - 1];
          text = field = std::string_view(keptText_.data() + span.first, span.second - span.first);
          if (run_.decimalComma && field.find(',') != std::string_view::npos) {
            pointed.assign(field);
            std::replace(pointed.begin(), pointed.end(), ',', '.');
            text = pointed;
            reading::RecordStore::NoteDecimalComma(commas, commaText, field, kept.lineNo);
          }
        } else {
          text = field = KeptField(n, t);
        }
        FieldWarning one;
        try {
          values[kept.record] = store_.TraitNumber(Convert(text), field, one, tallies[static_cast<std::size_t>(t)],
                                                   kept.lineNo, held[static_cast<std::size_t>(t)], lacks_[n]);
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
    std::size_t ends = 0;    // a delimited record's first entry in keptEnds_, or kRawRegion
  };
  // A delimited record kept as the rest of its line, not yet split.
  static constexpr std::size_t kRawRegion = SIZE_MAX;

  // Enough to be worth starting a thread for.
  static constexpr std::size_t kKeptRecords = 8192;
  static constexpr std::size_t kKeptBytes = std::size_t{4} << 20;
  // Converting a trait field costs about as much as this many multiply-adds.
  static constexpr double kOperationsPerField = 8;

  RunData& run_;
  reading::RecordStore store_;
  const reading::DelimitedRecords* records_ = nullptr;  // the delimited record being read
  std::vector<Kept> pending_;
  std::string keptText_;
  std::vector<std::size_t> keptEnds_;  // a delimited record's trait fields: where each ends
  std::vector<std::uint8_t> lacks_;    // pending_[n] lacks a value
  LevelIndex sites_, families_;
  std::vector<LevelIndex> blocks_;  // of site i at i - 1
};

}  // namespace

void ReadRecords(RunData& run, ProgressLog& log) {
  reading::DataFileLines file(run, log);
  RecordReader reader(run, log);
  std::optional<reading::DelimitedRecords> delimited;
  if (run.delimited()) delimited.emplace(run, true, true);
  std::string_view line;
  std::int64_t lineNo = 0;
  try {
    while (file.Next(line, lineNo)) {
      if (!delimited) {
        reader.ReadLine(line, lineNo);
      } else if (delimited->InRecord() || !reader.PassComment(line)) {
        if (delimited->Take(line, lineNo)) reader.ReadFields(*delimited);
      }
      if (lineNo == kSampleLines && file.FileOverRead() > 0) reader.Reserve(run.nRecord * file.FileOverRead());
    }
    if (delimited) delimited->Finish();
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
  const bool everyAge = run.delimited() && run.ageColumn < 0;
  const std::string head = (everyAge ? std::string("no record") : "no record of age " + NumberText(params.ageSel)) +
                           " in " + params.dataPath;
  if (run.linesRead == 0) throw KorvanError(head + ": the file is empty; choose the data file");
  if (run.commentLines == run.linesRead)
    throw KorvanError(head + ": all its " + Lines(run.linesRead) + " are comments (they begin with ':')");
  if (everyAge) throw KorvanError(head + ": no line holds a record; choose the data file");
  std::string message = head + " (" + Lines(run.linesRead) + " read";
  if (run.commentLines > 0) message += ", " + std::to_string(run.commentLines) + " of them comments";
  message += "): the age field (" +
             (run.delimited() ? "column " + std::to_string(run.ageColumn + 1) : Characters(run.ageField)) + ") ";
  if (run.otherAges.empty()) {
    message += "holds no number in any line";
  } else {
    message += "reads ";
    for (std::size_t n = 0; n < run.otherAges.size() && n < kShownAges; ++n)
      message += (n == 0 ? "" : ", ") + NumberText(run.otherAges[n]);
    message += run.otherAges.size() > kShownAges ? " and other ages" : " and no other age";
  }
  throw KorvanError(message + "; check " + params.NameOf(Field::kAge) + " and " +
                    params.NameOf(run.delimited() ? Field::kAgeColumn : Field::kAgeStart));
}

std::string Records(std::int64_t n) { return std::to_string(n) + (n == 1 ? " record" : " records"); }

[[noreturn]] void ThrowMissingValues(const RunData& run) {
  const RunParameters& params = run.params;
  const MissingTally& tally = run.missingValues;
  const bool everyAge = run.delimited() && run.ageColumn < 0;
  std::string message = Records(tally.trees) + (everyAge ? "" : " of age " + NumberText(params.ageSel)) + " in " +
                        params.dataPath + (tally.trees == 1 ? " lacks" : " lack") + " trait values (";
  bool first = true;
  bool unreadable = false;
  for (int t = 1; t <= run.nTrait; ++t) {
    const TraitTally& trait = tally.byTrait[static_cast<std::size_t>(t)];
    if (trait.missing.count == 0 && trait.unreadable.count == 0) continue;
    message += (first ? "" : "; ") + TraitCalled(run, t) + ": ";
    first = false;
    if (trait.missing.count > 0)
      message += Records(trait.missing.count) + ", the first on line " + std::to_string(trait.missing.firstLine);
    if (trait.unreadable.count == 0) continue;
    unreadable = true;
    const std::int64_t more = trait.unreadable.count - 1;
    message += std::string(trait.missing.count > 0 ? ", and " : "") + "'" + trait.unreadableText + "' on line " +
               std::to_string(trait.unreadable.firstLine) +
               (more == 0 ? "" : " and " + std::to_string(more) + (more == 1 ? " more field" : " more fields")) +
               ", which " + (more == 0 ? "is" : "are") + " no number";
  }
  message += ")";
  if (unreadable) message += "; " + reading::DecimalReading(run);
  message += "; a field is missing when it is empty, blank or ";
  for (std::size_t n = 0; n < params.missingCodes.size(); ++n)
    message += (n == 0 ? "" : n + 1 == params.missingCodes.size() ? " or " : ", ") + params.missingCodes[n];
  const std::string& option = params.NameOf(Field::kMissing);
  throw MissingValues(message + ". Leave those trees out of the analysis (" + option +
                          " drop), or read the values as 0 (" + option + " zero)",
                      tally.trees, tally.firstLine);
}

}  // namespace

void SettleCounts(RunData& run) {
  reading::CheckCapacities(run);
  if (!run.blocksFromData) return;
  run.nBlock = 0;
  for (int i = 1; i <= run.nSite; ++i) run.nBlock = std::max(run.nBlock, run.blockCount[i]);
}

void CheckRecordsRead(const RunData& run) {
  if (run.nRecord == 0) ThrowNoRecords(run);
  const RunParameters& params = run.params;
  const bool everyAge = run.delimited() && run.ageColumn < 0;
  const std::string records = " in any of the " + std::to_string(run.nRecord) + " records" +
                              (everyAge ? "" : " of age " + NumberText(params.ageSel)) + " (the first is line ";
  // Where a field stands and what to check, in either format.
  auto column = [&run](int c) { return "column " + std::to_string(c + 1); };
  struct Code {
    std::size_t index;
    const char* name;
    std::string where;
    Field start;
  };
  const bool delimited = run.delimited();
  const Code codes[] = {
      {kSiteField, "site", delimited ? column(run.siteColumn) : Characters(run.siteField),
       delimited ? Field::kSiteColumn : Field::kSiteStart},
      {kBlockField, "block", delimited ? column(run.blockColumn) : Characters(run.blockField),
       delimited ? Field::kBlockColumn : Field::kBlockStart},
      {kFamilyField, "family", delimited ? column(run.familyColumn) : Characters(run.familyField),
       delimited ? Field::kFamilyColumn : Field::kFamilyStart}};
  for (const Code& code : codes) {
    if (run.fieldHeldNumber[code.index]) continue;
    throw KorvanError("the " + std::string(code.name) + " field (" + code.where + ") holds no number" + records +
                      std::to_string(run.codeWarning.firstLine) + " of " + params.dataPath + "); check " +
                      params.NameOf(code.start));
  }
  // A trait that was never measured would be analysed as all zeros.
  for (int t = 1; t <= run.nTrait; ++t) {
    if (run.fieldHeldNumber[kFirstTraitField + static_cast<std::size_t>(t) - 1]) continue;
    const TraitTally& tally = run.missingValues.byTrait[static_cast<std::size_t>(t)];
    std::int64_t firstLine = run.traitWarning.firstLine;
    for (const FieldWarning* other : {&tally.missing, &tally.unreadable})
      if (other->count > 0 && (firstLine == 0 || other->firstLine < firstLine)) firstLine = other->firstLine;
    const std::string where = delimited ? column(run.traitColumn[static_cast<std::size_t>(t) - 1])
                                        : Characters(run.traitField, (t - 1) * run.traitField.width);
    const std::string check = delimited ? params.NameOf(Field::kTraitColumns)
                                        : params.NameOf(Field::kTraits) + " and " + params.NameOf(Field::kTraitStart);
    // A sheet read with the other decimal mark holds no number at all.
    if (tally.unreadable.count > 0)
      throw KorvanError(TraitCalled(run, t) + " (" + where + ") holds no number" + records +
                        std::to_string(firstLine) + " of " + params.dataPath + "): '" + tally.unreadableText +
                        "' on line " + std::to_string(tally.unreadable.firstLine) + " is none as " +
                        reading::DecimalReading(run).substr(4));
    throw KorvanError(TraitCalled(run, t) + " (" + where + ") holds no number" + records +
                      std::to_string(firstLine) + " of " + params.dataPath + "); check " + check);
  }
  if (run.missingValues.trees > 0 && params.missing == MissingMode::kStop) ThrowMissingValues(run);
}

}  // namespace korvan

namespace korvan {

namespace {

// Line `lineNo` of the data file under a ruler of its positions, with a
// mark under `position`.
std::string ShownLine(const RunData& run, const EdgeTally& tally, std::int64_t position, std::int64_t width) {
  const std::string& line = tally.lineText;
  std::string tens, ones;
  for (std::size_t n = 1; n <= line.size(); ++n) {
    tens += n % 10 == 0 ? static_cast<char>('0' + n / 10 % 10) : ' ';
    ones += static_cast<char>('0' + n % 10);
  }
  std::string mark(static_cast<std::size_t>(std::max<std::int64_t>(position - 1, 0)), ' ');
  mark.append(static_cast<std::size_t>(std::max<std::int64_t>(width, 1)), '^');
  return " Line " + std::to_string(tally.firstLine) + " of " + run.params.dataPath + ":\n" + tens + "\n" + ones +
         "\n" + line + "\n" + mark;
}

std::string OfRecords(const RunData& run, std::int64_t count) {
  return std::to_string(count) + " of the " + std::to_string(run.nRecord) + " records of age " +
         NumberText(run.params.ageSel);
}

std::string Fields(std::int64_t n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? " field" : " fields");
}

std::string FirstOn(const RunData& run, const FieldWarning& warning) {
  return std::string(warning.count == 1 ? "on" : "the first on") + " line " + std::to_string(warning.firstLine) +
         " of " + run.params.dataPath;
}

}  // namespace

std::vector<std::string> ReadingWarnings(const RunData& run) {
  const RunParameters& params = run.params;
  std::vector<std::string> warnings = MisSetFieldWarnings(run);
  const bool delimited = run.delimited();
  if (const FieldWarning& codes = run.codeWarning; codes.count > 0) {
    const bool one = codes.count == 1;
    warnings.push_back(
        Fields(codes.count, "site, block or family") + (one ? " was" : " were") + " empty and read as code 0 (" +
        FirstOn(run, codes) + "): the trees of such fields form a level of their own; " +
        (delimited ? "check " + params.NameOf(Field::kSiteColumn) + ", " + params.NameOf(Field::kBlockColumn) +
                         " and " + params.NameOf(Field::kFamilyColumn)
                   : std::string("check the start positions and widths")));
  }
  if (const FieldWarning& traits = run.traitWarning; traits.count > 0) {
    const bool one = traits.count == 1;
    const bool zero = params.missing == MissingMode::kZero;
    std::string text = Fields(traits.count, "trait") + (one ? " was" : " were") + " " +
                       (zero ? "empty, blank, a missing code or no number" : "not numeric") + " and read as 0 (" +
                       FirstOn(run, traits) + "), which biases the means, the variances and the heritabilities";
    if (zero)
      text += " (" + params.NameOf(Field::kMissing) + " zero); " + params.NameOf(Field::kMissing) +
              " drop leaves those trees out instead";
    else
      text += "; check the start positions and widths";
    warnings.push_back(text);
  }
  const MissingTally& missing = run.missingValues;
  if (missing.dropped > 0)
    warnings.push_back(std::to_string(missing.dropped) + (missing.dropped == 1 ? " record" : " records") + " of " +
                       params.dataPath + " lacked trait values and " + (missing.dropped == 1 ? "was" : "were") +
                       " left out of the analysis (the first on line " + std::to_string(missing.firstLine) + ")");
  return warnings;
}

void WriteReadingNotes(const RunData& run, ProgressLog& log) {
  if (const std::string note = DecimalCommaNote(run); !note.empty()) log.Line(" " + note);
  if (run.missingValues.dropped > 0) {
    // Built piece by piece: GCC 12 warns falsely about " " + a number's text.
    std::string line(1, ' ');
    line.append(std::to_string(run.missingValues.dropped)).append(" records left out: they lack trait values");
    log.Line(line);
  }
}

std::string DecimalCommaNote(const RunData& run) {
  const FieldWarning& commas = run.decimalCommas;
  if (commas.count == 0) return {};
  return Fields(commas.count, "trait") + " written with decimal commas (" + run.decimalCommaText + " on line " +
         std::to_string(commas.firstLine) + ") " + (commas.count == 1 ? "was" : "were") + " read as decimals";
}

std::vector<std::string> MisSetFieldWarnings(const RunData& run) {
  std::vector<std::string> warnings;
  if (run.delimited()) return warnings;
  const RunParameters& params = run.params;
  const std::vector<reading::FieldEdge> edges = reading::FieldEdges(run);
  // A file packed without blanks warns at every edge: a few say enough.
  constexpr std::size_t kShownEdges = 3;
  std::size_t crossed = 0;
  for (std::size_t e = 0; e < edges.size() && e < run.edgeCrossed.size(); ++e) {
    const EdgeTally& tally = run.edgeCrossed[e];
    if (tally.count == 0 || ++crossed > kShownEdges) continue;
    warnings.push_back("a number runs across " + edges[e].what + " (between characters " +
                       std::to_string(edges[e].position - 1) + " and " + std::to_string(edges[e].position) + ") in " +
                       OfRecords(run, tally.count) + ": the field may start or end inside the numbers; check " +
                       params.NameOf(edges[e].start) + " and " + params.NameOf(edges[e].width) +
                       " (in a file packed without blanks between its fields this is expected)." +
                       ShownLine(run, tally, edges[e].position - 1, 2));
  }
  if (crossed > kShownEdges)
    warnings.push_back("numbers run across " + std::to_string(crossed - kShownEdges) + " more field edges");
  const std::tuple<const char*, const FieldWindow&, Field, Field> codes[] = {
      {"site", run.siteField, Field::kSiteStart, Field::kSiteWidth},
      {"block", run.blockField, Field::kBlockStart, Field::kBlockWidth},
      {"family", run.familyField, Field::kFamilyStart, Field::kFamilyWidth}};
  for (std::size_t c = 0; c < 3; ++c) {
    const EdgeTally& tally = run.twoNumbers[c];
    if (2 * tally.count <= run.nRecord) continue;
    const auto& [name, window, start, width] = codes[c];
    warnings.push_back("the " + std::string(name) + " field (" + Characters(window) + ") holds two numbers apart in " +
                       OfRecords(run, tally.count) + ", read as one code; it may take in a neighbouring field: check " +
                       params.NameOf(start) + " and " + params.NameOf(width) + "." +
                       ShownLine(run, tally, window.start, window.width));
  }
  return warnings;
}

}  // namespace korvan
