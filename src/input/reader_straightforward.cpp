#include "input/reader_straightforward.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "format/number_format.h"
#include "input/reader_shared.h"

namespace korvan {

namespace {

using namespace reading;

// The level of the first stored code equal to `code`; 0 when none is. A
// name matches only its own text, a number only a number of the same value.
int SearchCodes(RecordStore& store, const std::vector<LevelCode>& codes, const CodeRead& code) {
  const std::string key = store.KeyOf(code);
  for (std::size_t n = 1; n < codes.size(); ++n)
    if (codes[n].name == code.name && codes[n].key == key) return static_cast<int>(n);
  return 0;
}

CodeRead ReadCode(RecordStore& store, std::string_view field, const char* what, std::size_t fieldIndex) {
  return store.Code(ParseNumberGeneral(store.NumberText(field)), field, what, fieldIndex);
}

void ReadRecord(RunData& run, RecordStore& store) {
  if (!store.Selected(ParseNumberGeneral) || store.DropIfLacking(ParseNumberGeneral)) return;
  store.NoteFieldEdges();
  const CodeRead siteCode = ReadCode(store, store.Site(), "site", kSiteField);
  const CodeRead blockCode = ReadCode(store, store.Block(), "block", kBlockField);
  const CodeRead familyCode = ReadCode(store, store.Family(), "family", kFamilyField);
  int i = SearchCodes(store, run.siteCode, siteCode);
  if (i == 0) i = store.AddSite(siteCode);
  int k = SearchCodes(store, run.blockCode[i], blockCode);
  if (k == 0) k = store.AddBlock(i, blockCode);
  int j = SearchCodes(store, run.familyCode, familyCode);
  if (j == 0) j = store.AddFamily(familyCode);
  const int r = store.NextRecord();
  run.recordColumn.AppendLevels(i, k, j);
  std::uint8_t lacks = 0;
  for (int t = 1; t <= run.nTrait; ++t)
    run.traitValue.TraitVector(t).push_back(store.TraitOfLine(ParseNumberGeneral, t, lacks));
  if (lacks) store.NoteLacking(store.LineNumber());
  store.WriteListingLine(r);
}

}  // namespace

void ReadRecordsStraightforward(RunData& run, ProgressLog& log) {
  reading::DataFileLines file(run, log);
  reading::RecordStore store(run, log);
  // Every record of a delimited file goes through CsvFields.
  reading::DelimitedRecords delimited(run, false);
  std::string_view line;
  std::int64_t lineNo = 0;
  while (file.Next(line, lineNo)) {
    if (!delimited.InRecord() && store.PassComment(line)) continue;
    if (!run.delimited()) {
      store.SetLine(line, lineNo);
      ReadRecord(run, store);
    } else if (delimited.Take(line, lineNo)) {
      store.SetFields(delimited.Fields(), delimited.RecordLine());
      ReadRecord(run, store);
    }
  }
  delimited.Finish();
  file.Finish(run);
}

}  // namespace korvan
