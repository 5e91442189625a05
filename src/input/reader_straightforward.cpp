#include "input/reader_straightforward.h"

#include <cstddef>
#include <string_view>
#include <vector>

#include "format/number_format.h"
#include "input/reader_shared.h"

namespace korvan {

namespace {

using namespace reading;

// The level of the first stored code equal to `code`; 0 when none is.
int SearchCodes(const std::vector<float>& codes, float code) {
  for (std::size_t n = 1; n < codes.size(); ++n)
    if (codes[n] == code) return static_cast<int>(n);
  return 0;
}

float ReadNumber(RecordStore& store, std::string_view field, FieldWarning& warning, const char* what,
                 std::size_t fieldIndex) {
  return store.Number(ParseNumberStraightforward(field), field, warning, what, fieldIndex);
}

void ReadLine(RunData& run, RecordStore& store, std::string_view line, std::int64_t lineNo) {
  if (store.PassComment(line)) return;
  store.SetLine(line, lineNo);
  const LineFields& fields = store.Fields();
  const ParsedNumber age = ParseNumberStraightforward(fields.Field(run.ageField));
  if (age.value != run.params.ageSel) {
    store.NoteOtherAge(age);
    return;
  }
  const float siteCode = ReadNumber(store, fields.Field(run.siteField), run.codeWarning, "site", kSiteField);
  const float blockCode = ReadNumber(store, fields.Field(run.blockField), run.codeWarning, "block", kBlockField);
  const float familyCode = ReadNumber(store, fields.Field(run.familyField), run.codeWarning, "family", kFamilyField);
  int i = SearchCodes(run.siteCode, siteCode);
  if (i == 0) i = store.AddSite(siteCode);
  int k = SearchCodes(run.blockCode[i], blockCode);
  if (k == 0) k = store.AddBlock(i, blockCode);
  int j = SearchCodes(run.familyCode, familyCode);
  if (j == 0) j = store.AddFamily(familyCode);
  const int r = store.NextRecord();
  run.recordColumn.AppendLevels(i, k, j);
  for (int t = 1; t <= run.nTrait; ++t) {
    std::vector<float>& values = run.traitValue.TraitVector(t);
    values.push_back(ReadNumber(store, fields.Trait(run.traitField, t), run.traitWarning, "trait",
                                kFirstTraitField + static_cast<std::size_t>(t) - 1));
  }
  store.WriteListingLine(r);
}

}  // namespace

void ReadRecordsStraightforward(RunData& run, ProgressLog& log) {
  reading::DataFileLines file(run, log);
  reading::RecordStore store(run, log);
  std::string_view line;
  std::int64_t lineNo = 0;
  while (file.Next(line, lineNo)) ReadLine(run, store, line, lineNo);
  file.Finish(run);
}

}  // namespace korvan
