#pragma once

// The data of one run: parameters, input tables, counts and offsets, the
// design results of the set-up and the per-trait stores the pair stages read.
// Every run starts from a fresh RunData; every stage takes it explicitly.

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "base/build_mode.h"
#include "linalg/elimination.h"
#include "base/tables.h"
#include "format/level_code.h"
#include "format/number_format.h"

namespace korvan {

// The boxes of the main window, or the options of the batch program: messages
// about a parameter name it by the front end's own word for it.
enum class Field {
  kDataFile, kReportFile,
  kSites, kBlocks, kFamilies, kRecords, kAge, kTraits,
  kSiteStart, kBlockStart, kFamilyStart, kAgeStart, kTraitStart,
  kSiteWidth, kBlockWidth, kFamilyWidth, kAgeWidth, kTraitWidth,
  kSiteColumn, kBlockColumn, kFamilyColumn, kAgeColumn, kTraitColumns,  // a delimited file's columns
  kMissing,  // what becomes of trees that lack a value
  kDecimalComma, kDecimalPoint,  // how a sheet's numbers write their decimals; the window has no box for it
  kCount
};
inline constexpr std::size_t kFieldCount = static_cast<std::size_t>(Field::kCount);
using FieldNames = std::array<std::string, kFieldCount>;
// The window's names: the row label and the column of the box.
FieldNames WindowFieldNames();

// A capacity left out: the data decide.
inline constexpr double kNoLimit = std::numeric_limits<double>::infinity();
// Up to this many traits REML fits every pair unless told otherwise: 66
// pairs; beyond, the pairs grow as the square and are named instead.
inline constexpr int kRemlPairsByDefault = 12;

// What becomes of a tree that lacks a trait value: the run stops before
// anything is written, the tree is left out of the whole analysis, or the
// value reads as 0 (with a warning, as empty fields always have).
enum class MissingMode { kStop, kDrop, kZero };

// How the trees of a family are related: it sets the share of the additive
// variance that the family variance holds (a quarter, a half, all of it).
enum class FamilyKind { kUnknown, kHalfSib, kFullSib, kClone };

// How the numbers of a delimited file write their decimals: as a sheet of
// its delimiter does (commas in a semicolon- or tab-separated sheet, which
// is how European spreadsheets save them; points otherwise), or as told.
enum class DecimalMark { kAsTheSheet, kPoint, kComma };

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

  // A delimited file (a sheet saved as CSV) names columns instead of positions:
  // each a header name or a column number from 1.
  bool delimited = false;
  std::string siteColumn, blockColumn, familyColumn;
  std::string ageColumn;                  // empty: every record is analysed
  std::vector<std::string> traitColumns;  // names, numbers or ranges of numbers ("5-10")
  char delimiter = 0;                     // 0: found from the first line
  DecimalMark decimalMark = DecimalMark::kAsTheSheet;
  bool header = true;                     // the first line names the columns

  std::vector<std::string> missingCodes = {"NA", ".", "*", "-"};  // trait fields that hold no value
  MissingMode missing = MissingMode::kStop;
  FieldNames fieldNames = WindowFieldNames();  // how messages name each parameter
  bool exactReport = false;  // the report's values from the exact engine, in the same layout
  std::string jsonPath, tablesDir, htmlPath;  // the results files beside the report; empty: not written
  FamilyKind familyKind = FamilyKind::kUnknown;  // unknown: no individual-tree heritability
  double selectFraction = 0.1;  // share of the families marked as selected on each trait
  bool reml = false;  // REML and BLUP beside the analysis of variance, in the results files
  // The pairs REML fits: "all", "none", or "a:b,c:d" by trait name or
  // number; empty: all of at most kRemlPairsByDefault traits, none of more.
  std::string remlPairs;

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

// traitValue(record, trait), held trait by trait as the file writes each
// value: the decimal text correctly rounded to double. The single-precision
// stages read it rounded to single, which is the value they have always
// stored (the text rounded to double, then to single); the exact engine and
// the results read the double itself, so that their values owe nothing to
// single precision. One copy of each value, not two: the trait store is the
// largest table of a long trial.
class TraitValues {
 public:
  void Reset(int nTrait) { byTrait_.assign(static_cast<std::size_t>(nTrait) + 1, std::vector<double>(1, 0.0)); }
  // The value as the single-precision stages store it.
  float operator()(int record, int trait) const { return RoundToSingle(byTrait_[trait][record]); }
  // The value as written.
  double AsWritten(int record, int trait) const { return byTrait_[trait][record]; }
  const double* Trait(int trait) const { return byTrait_[trait].data(); }
  std::vector<double>& TraitVector(int trait) { return byTrait_[trait]; }

 private:
  std::vector<std::vector<double>> byTrait_;  // [trait][record], index 0 unused
};

// How often a field that should hold a number held none (it reads as 0).
struct FieldWarning {
  std::int64_t count = 0;      // fields that were empty or not numeric
  std::int64_t firstLine = 0;  // file line of the first of them
};

// Selected records where a fixed-column field looks mis-set.
struct EdgeTally {
  std::int64_t count = 0;      // records
  std::int64_t firstLine = 0;  // file line of the first
  std::string lineText;        // that line
};

// A field of the data file after rounding: start position (from 1) and width.
struct FieldWindow {
  std::int64_t start = 1;
  std::int64_t width = 0;
};

// The fields of one trait that held no value.
struct TraitTally {
  FieldWarning missing;        // empty, blank or a missing code
  FieldWarning unreadable;     // a sheet's fields that are no number as the sheet is read
  std::string unreadableText;  // the first of those, as written
};

// Trait fields that held no value.
struct MissingTally {
  std::vector<TraitTally> byTrait;  // trait 1..nTrait, index 0 unused
  std::int64_t trees = 0;           // selected records lacking some trait
  std::int64_t firstLine = 0;       // file line of the first of them
  std::int64_t dropped = 0;         // records left out of the analysis
};


// Trees left out of the analysis of variance for lacking a trait value
// (--missing drop), kept when REML is wanted: it fits each trait on every
// tree that has it, so that a tree lacking one trait still counts for the
// others.
struct LeftOutTrees {
  std::vector<LevelCode> site, block, family;  // each tree's codes; its block is of its site
  std::vector<std::vector<double>> value;      // [trait][tree], 1..nTrait; NaN where the tree lacks it
};

struct RunData;
// How messages name trait t: by its column's header name where the file
// gives one ("trait dj"), by its number otherwise ("trait 3").
std::string TraitCalled(const RunData& run, int t);
// How they name a pair: "traits dj and h5", "traits 1 and 3".
std::string PairCalled(const RunData& run, int t1, int t2);

struct RunData {
  RunParameters params;  // as given by the front end
  bool delimited() const { return params.delimited; }

  // --- Capacities and fields, checked before the data file is opened.
  std::int64_t capSite = 0;    // declared No. of Sites
  std::int64_t capFamily = 0;  // declared No. of Families
  std::int64_t capRecord = 0;  // declared No. of Records
  int nBlock = 0;              // declared No. of Blocks: largest number of blocks of one site
  bool blocksFromData = false;  // No. of Blocks left out: the largest number found stands for it
  int nTrait = 0;              // trait fields per record
  FieldWindow siteField, blockField, familyField, ageField, traitField;
  // A delimited file: the columns (from 0) once the first line has been read.
  int siteColumn = -1, blockColumn = -1, familyColumn = -1;
  int ageColumn = -1;            // -1: every record is selected
  std::vector<int> traitColumn;  // traitColumn[t - 1] holds trait t
  std::vector<std::string> traitName;  // trait t's header name, 1..nTrait; empty without a header
  char delimiter = 0;
  bool decimalComma = false;             // numbers are read with decimal commas: "12,5" is 12.5
  std::vector<std::string> textMissing;  // missing codes that are not numbers
  std::vector<double> numberMissing;     // missing codes that are numbers

  // --- Reader: levels in order of first occurrence.
  std::vector<LevelCode> siteCode;                // siteCode(i), i = 1..nSite
  std::vector<std::vector<LevelCode>> blockCode;  // blockCode(i, k), k = 1..blockCount(i)
  std::vector<int> blockCount;                    // blocks found at site i
  std::vector<LevelCode> familyCode;              // familyCode(j), j = 1..nFamily
  RecordColumns recordColumn;                 // levels, then model columns, by record
  TraitValues traitValue;                     // trait values by record and trait
  int nSite = 0;                              // sites found
  int nFamily = 0;                            // families found
  int nRecord = 0;                            // records selected
  std::int64_t linesRead = 0;                 // lines of the data file
  FieldWarning codeWarning;                   // empty or non-numeric code fields of selected records
  FieldWarning traitWarning;                  // empty or non-numeric trait fields of selected records
  MissingTally missingValues;                 // trait fields that held no value
  LeftOutTrees leftOut;                       // trees left out, with params.reml
  std::vector<std::pair<int, int>> remlPairs;  // the pairs of traits REML fits, t1 < t2, from 1
  std::string remlPairsNote;                   // why pairs are not fitted when the traits are many
  FieldWarning decimalCommas;                 // trait fields written with a decimal comma, read so
  std::string decimalCommaText;               // the first of them
  std::vector<EdgeTally> edgeCrossed;         // a number runs across each field edge (FieldEdges order)
  std::array<EdgeTally, 3> twoNumbers;        // site, block, family field held two numbers apart
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
