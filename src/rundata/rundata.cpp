#include "rundata/rundata.h"

namespace korvan {

FieldNames WindowFieldNames() {
  FieldNames names;
  auto set = [&names](Field f, std::string name) { names[static_cast<std::size_t>(f)] = std::move(name); };
  set(Field::kDataFile, "data file");
  set(Field::kReportFile, "Output file");
  set(Field::kSites, "No. of Sites");
  set(Field::kBlocks, "No. of Blocks");
  set(Field::kFamilies, "No. of Families");
  set(Field::kRecords, "No. of Records");
  set(Field::kAge, "age");
  set(Field::kTraits, "No. of Traits");
  // The field boxes have no labels of their own: the user finds them by
  // their column heading and their row.
  const std::pair<Field, Field> rows[] = {
      {Field::kSiteStart, Field::kSiteWidth},     {Field::kBlockStart, Field::kBlockWidth},
      {Field::kFamilyStart, Field::kFamilyWidth}, {Field::kAgeStart, Field::kAgeWidth},
      {Field::kTraitStart, Field::kTraitWidth}};
  const Field rowLabels[] = {Field::kSites, Field::kBlocks, Field::kFamilies, Field::kAge, Field::kTraits};
  for (std::size_t n = 0; n < std::size(rows); ++n) {
    const std::string& row = names[static_cast<std::size_t>(rowLabels[n])];
    set(rows[n].first, "Start position of data for " + row);
    set(rows[n].second, "No. of Columns for a datum for " + row);
  }
  // A delimited file's column is typed in the start box of its row.
  const std::pair<Field, Field> columns[] = {{Field::kSiteColumn, Field::kSiteStart},
                                             {Field::kBlockColumn, Field::kBlockStart},
                                             {Field::kFamilyColumn, Field::kFamilyStart},
                                             {Field::kAgeColumn, Field::kAgeStart},
                                             {Field::kTraitColumns, Field::kTraitStart}};
  for (const auto& [column, start] : columns)
    names[static_cast<std::size_t>(column)] = names[static_cast<std::size_t>(start)];
  set(Field::kMissing, "missing values");
  return names;
}

namespace {

std::string TraitWord(const RunData& run, int t) {
  const auto k = static_cast<std::size_t>(t);
  return k < run.traitName.size() && !run.traitName[k].empty() ? run.traitName[k] : std::to_string(t);
}

}  // namespace

std::string TraitCalled(const RunData& run, int t) { return "trait " + TraitWord(run, t); }

std::string PairCalled(const RunData& run, int t1, int t2) {
  return "traits " + TraitWord(run, t1) + " and " + TraitWord(run, t2);
}

}  // namespace korvan
