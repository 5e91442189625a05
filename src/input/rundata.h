#pragma once

// The data of one run: parameters, input tables, counts and offsets, the
// design results of the set-up and the per-trait stores the pair stages read.
// Every run starts from a fresh RunData; every stage takes it explicitly.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/build_mode.h"
#include "base/elimination.h"
#include "base/tables.h"

namespace korvan {

// The boxes of the main window, or the options of the batch program: messages
// about a parameter name it by the front end's own word for it.
enum class Field {
  kDataFile, kReportFile,
  kSites, kBlocks, kFamilies, kRecords, kAge, kTraits,
  kSiteStart, kBlockStart, kFamilyStart, kAgeStart, kTraitStart,
  kSiteWidth, kBlockWidth, kFamilyWidth, kAgeWidth, kTraitWidth,
  kCount
};
inline constexpr std::size_t kFieldCount = static_cast<std::size_t>(Field::kCount);
using FieldNames = std::array<std::string, kFieldCount>;
// The window's names: the row label and the column of the box.
FieldNames WindowFieldNames();

// The run parameters as read from the boxes (each converted to a double by
// the text-to-number rules) or from the batch program's options.
struct RunParameters {
  std::string dataPath;    // data file
  std::string reportPath;  // report file, written as line 1 of the report
  double nSite = 0;        // capacity: sites
  double nBlock = 0;       // capacity: blocks of any one site (also lays out the columns)
  double nFamily = 0;      // capacity: families
  double nRecord = 0;      // capacity: selected records
  double ageSel = 0;       // the age whose records are analysed
  double nTrait = 0;       // trait fields per record
  double colSite = 0, wSite = 0;      // site code field: start (from 1), width
  double colBlock = 0, wBlock = 0;    // block code field
  double colFamily = 0, wFamily = 0;  // family code field
  double colAge = 0, wAge = 0;        // age field
  double colTrait = 0, wTrait = 0;    // first trait field; every trait field has wTrait
  FieldNames fieldNames = WindowFieldNames();  // how messages name each parameter
  bool exactReport = false;  // the report's values from the exact engine, in the same layout

  const std::string& NameOf(Field f) const { return fieldNames[static_cast<std::size_t>(f)]; }
};

// recordColumn(record, factor), held factor by factor so that a stage that
// walks the records for one factor reads contiguous memory. 32-bit columns:
// the 16-bit limit of 32767 model columns does not apply.
class RecordColumns {
 public:
  std::int32_t& operator()(int record, int factor) { return byFactor_[factor][record]; }
  std::int32_t operator()(int record, int factor) const { return byFactor_[factor][record]; }
  const std::int32_t* Factor(int factor) const { return byFactor_[factor].data(); }
  std::int32_t* Factor(int factor) { return byFactor_[factor].data(); }
  void Resize(int lastRecord) {
    for (auto& column : byFactor_) column.assign(static_cast<std::size_t>(lastRecord) + 1, 0);
  }
  void Reserve(std::size_t records) {
    for (auto& column : byFactor_) column.reserve(records + 1);
  }
  // Appends a record whose site, block and family numbers are i, k and j.
  void AppendLevels(int i, int k, int j) {
    if (byFactor_[1].empty()) Resize(0);
    byFactor_[0].push_back(0);
    byFactor_[1].push_back(i);
    byFactor_[2].push_back(k);
    byFactor_[3].push_back(j);
    byFactor_[4].push_back(0);
    byFactor_[5].push_back(0);
  }

 private:
  std::array<std::vector<std::int32_t>, 6> byFactor_;  // [factor][record], index 0 unused
};

// traitValue(record, trait) in single precision, held trait by trait.
class TraitValues {
 public:
  void Reset(int nTrait) { byTrait_.assign(static_cast<std::size_t>(nTrait) + 1, std::vector<float>(1, 0.0f)); }
  float& operator()(int record, int trait) { return byTrait_[trait][record]; }
  float operator()(int record, int trait) const { return byTrait_[trait][record]; }
  const float* Trait(int trait) const { return byTrait_[trait].data(); }
  std::vector<float>& TraitVector(int trait) { return byTrait_[trait]; }

 private:
  std::vector<std::vector<float>> byTrait_;  // [trait][record], index 0 unused
};

// How often a field that should hold a number held none (it reads as 0).
struct FieldWarning {
  std::int64_t count = 0;      // fields that were empty or not numeric
  std::int64_t firstLine = 0;  // file line of the first of them
};

// A field of the data file after rounding: start position (from 1) and width.
struct FieldWindow {
  std::int64_t start = 1;
  std::int64_t width = 0;
};

struct RunData {
  RunParameters params;  // as given by the front end

  // --- Capacities and fields, checked before the data file is opened.
  std::int64_t capSite = 0;    // declared No. of Sites
  std::int64_t capFamily = 0;  // declared No. of Families
  std::int64_t capRecord = 0;  // declared No. of Records
  int nBlock = 0;              // declared No. of Blocks: largest number of blocks of one site
  int nTrait = 0;              // trait fields per record
  FieldWindow siteField, blockField, familyField, ageField, traitField;

  // --- Reader: levels in order of first occurrence.
  std::vector<float> siteCode;                // siteCode(i), i = 1..nSite
  std::vector<std::vector<float>> blockCode;  // blockCode(i, k), k = 1..blockCount(i)
  std::vector<int> blockCount;                // blocks found at site i
  std::vector<float> familyCode;              // familyCode(j), j = 1..nFamily
  RecordColumns recordColumn;                 // levels, then model columns, by record
  TraitValues traitValue;                     // trait values by record and trait
  int nSite = 0;                              // sites found
  int nFamily = 0;                            // families found
  int nRecord = 0;                            // records selected
  std::int64_t linesRead = 0;                 // lines of the data file
  FieldWarning codeWarning;                   // empty or non-numeric code fields of selected records
  FieldWarning traitWarning;                  // empty or non-numeric trait fields of selected records
  std::int64_t commentLines = 0;              // lines passed over as comments
  std::vector<double> otherAges;              // the first distinct ages of the lines passed over
  std::vector<std::uint8_t> fieldHeldNumber;  // site, block, family, traits: some record's field held a number

  // --- Level coding: factor k holds columns colOffset[k] + 1 .. colOffset[k + 1].
  std::array<int, 7> colOffset{};  // elements 1..6 used
  int repOffset = 0;               // colOffset[3]: columns before the first block
  int p = 0;                       // fixed columns: mean, sites and blocks
  int famEnd = 0;                  // colOffset[5]
  int q = 0;                       // all model columns
  int nRep = 0;                    // blocks of all sites together
  int nSF = 0;                     // site x family cells that occur
  std::vector<int> repSite;        // repSite(c): site column of block column c

  // --- Set-up: traces, degrees of freedom and E.M.S. coefficients.
  float trFF = 0;         // Tr(f:f)
  float trFSF = 0;        // Tr(f:sf)
  float trSFSF = 0;       // Tr(sf:sf)
  int dfSite = 0;         // nSite - 1
  double dfRep = 0;       // nRep - nSite
  int dfFamily = 0;       // nFamily - 1
  double dfSiteFam = 0;   // nSF - nSite - nFamily + 1
  double dfError = 0;     // nRecord - nSF - nRep + nSite
  float kF = 0;           // coefficient of Vf in the Family line
  float kFSF = 0;         // coefficient of Vsf in the Family line
  double kSF = 0;         // coefficient of Vsf in the Site*Fam. line
  std::array<std::array<double, 4>, 4> emsCoef{};  // (line, component), 1..3 used
  Elimination repFamilyElimination;  // of the blocks after absorbing the families, one overall condition

  // --- Per-trait stores read by the pair stages (second index: trait).
  Table2<float> repTot, famTot, sfTot;     // level totals of blocks, families, cells
  std::vector<float> repCnt, famCnt, sfCnt;  // records per block, family, cell
  Table2<float> rhsSF, solSF;              // sites after absorbing families
  Table2<float> rhsRF, solRF;              // blocks after absorbing families
  Table2<float> rhsRSF, solRSF;            // blocks after absorbing cells
  std::vector<double> vfByTrait;           // Vf of each trait (a single value, widened)
  std::vector<double> msFamByTrait;        // Family mean square of each trait
};

}  // namespace korvan
