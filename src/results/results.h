#pragma once

// The results of a run as one typed value, built once from the exact values
// and the design: every quantity of the report with its label, the design
// with the data's own codes, and the uncertainty, tests and family ranking
// that follow from the same analysis. The JSON document is written from it
// (results_document.h, the only place that names its keys), and the tables
// and the page read its members, so that a misspelt field does not compile.
//
// A number that does not exist (no estimate, a value that is not finite) is
// NaN here, null in the JSON, an empty field in the tables and "–" on the
// page: never a number that looks real.

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace korvan {

inline constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();
inline bool HasValue(double x) { return std::isfinite(x); }

// Where a value lies against the range it can take. The estimates keep
// their raw values; a flag says they are impossible, and `note` why.
enum class RangeFlag {
  kNone,
  kBelowZero,  // a heritability or ratio of variances below 0
  kAboveOne,   // a heritability or rB above 1
  kBeyondOne,  // a correlation beyond ±1
  kRounded,    // a correlation beyond ±1 by rounding only, set to ±1
};
// "below 0", "above 1", "beyond ±1", "rounded to ±1"; empty for kNone.
const char* RangeFlagName(RangeFlag flag);

// A 90 % confidence interval and how it was found.
struct Interval {
  double lower = kNoValue, upper = kNoValue;
  std::string method;
};

// An estimate with its standard error.
struct ValueWithError {
  double estimate = kNoValue;
  double se = kNoValue;
  // The document says whether the estimate is at or below zero: a
  // component, or a ratio of components whose raw estimate may be negative.
  bool marksZero = false;
  RangeFlag flag = RangeFlag::kNone;
  std::string note;  // why it is flagged: one line for the reader
  std::optional<Interval> interval;
  bool AtOrBelowZero() const { return estimate <= 0; }  // false for NaN
  bool Impossible() const { return flag != RangeFlag::kNone && flag != RangeFlag::kRounded; }
};
inline ValueWithError Valued(double estimate, double se, bool marksZero) {
  ValueWithError v;
  v.estimate = estimate;
  v.se = se;
  v.marksZero = marksZero;
  return v;
}
using Estimated = std::optional<ValueWithError>;  // nothing where the estimate does not exist

// A value that is not given, and why: "h2" with "M.S. Family is 0".
struct Withheld {
  std::string quantity;  // the member's name in the document
  std::string reason;
};

struct SiteResult {
  std::string code;                 // as the file writes it
  std::int64_t records = 0;
  std::vector<std::string> blocks;  // the codes of its blocks, in their order
};

struct FamilyCount {
  std::string code;
  std::int64_t records = 0;
};

struct DesignResult {
  int records = 0;                 // records analysed
  std::int64_t recordsLeftOut = 0;  // for lacking trait values
  std::vector<SiteResult> sites;
  std::vector<FamilyCount> families;
  int cells = 0;  // site x family cells with records
  // The cells, each trait's cell means in this order: site and family from 0.
  std::vector<int> cellSite, cellFamily;
  std::vector<std::int64_t> cellRecords;
  std::vector<std::string> traits;  // names
  // Every block holds the same number of trees of every family: the
  // mean squares are then independent and exactly chi-square.
  bool balanced = false;
};

// One line of an analysis of variance; the test where the line has one.
struct AnovaLine {
  std::string source;       // "Site", "Rep(Site)", "Family", "Site*Family", "Error"
  double df = 0;
  double ss = kNoValue, ms = kNoValue;
  std::optional<std::string> ems;  // expected mean square, from the Family line down
  double f = kNoValue, dfDenominator = kNoValue, p = kNoValue;
  std::string reduction;  // which difference of reductions the S.S. is, in words
  std::string note;       // a S.S. set to 0 from below, or why the line is not tested
};

struct FamilyResult {
  std::string code;
  std::int64_t records = 0;
  double constant = kNoValue;         // the family constant of u + r + f
  double deviation = kNoValue;        // from the mean of the family constants
  int rank = 0;                       // 1 for the largest constant
  double predictedEffect = kNoValue;  // h2 x deviation, where h2 lies in [0, 1]
  bool selected = false;
};

struct TraitResult {
  int index = 0;  // from 1
  std::string name;
  double mean = kNoValue;           // of the records
  double constantsMean = kNoValue;  // of the family constants: where deviations start
  std::vector<AnovaLine> anova;
  Estimated vf, vsf, ve;  // the components
  Estimated h2, rB, h2Individual;
  std::vector<FamilyResult> families;   // in the data's order
  std::vector<double> siteFamilyMeans;  // in the order of DesignResult's cells
  std::vector<Withheld> withheld;       // every estimate, test or prediction not given, with why
  std::vector<std::string> notes;       // what else the reader must know of this trait
  bool estimable = true;                // false: no variation but between sites and blocks
};

struct AncovaLine {
  std::string source;
  double df = 0;
  double scp = kNoValue, mcp = kNoValue;
};

struct PairResult {
  int trait1 = 0, trait2 = 0;  // from 1
  std::string name1, name2;
  std::vector<AncovaLine> ancova;
  double covF = kNoValue, covSF = kNoValue, covE = kNoValue;
  Estimated rP;      // of family means, from the Family line
  Estimated rPTree;  // of single trees, from the sums of the three components
  Estimated rF;
  std::vector<Withheld> withheld;
};

struct PrecisionResult {
  std::optional<std::string> warning;
  struct Finding {
    std::string quantity;
    double report = kNoValue, exact = kNoValue;
  };
  std::vector<Finding> findings;
};

// REML and BLUP of the same model beside the analysis of variance (--reml),
// each trait fitted on every tree that has its value.
struct RemlFamilyResult {
  std::string code;
  double blup = kNoValue, pev = kNoValue, accuracy = kNoValue;
  int rank = 0;  // by BLUP, 1 for the largest; 0 for a family without the trait
  bool selected = false;
};

struct RemlTraitResult {
  int index = 0;  // from 1
  std::string name;
  std::string status;  // "converged", "not converged", "not estimable"
  std::string note;    // why the fit is not what it seems; empty when nothing is amiss
  int iterations = 0;
  double seconds = 0;
  std::int64_t trees = 0;  // with the trait's value
  bool siteFamilyFitted = false;
  Estimated vf, vsf, ve;  // a component held at 0 says so in its note
  double logLikelihood = kNoValue;
  double lrtVf = kNoValue, pVf = kNoValue, lrtVsf = kNoValue, pVsf = kNoValue;
  Estimated h2, h2Tree, rB;
  std::vector<RemlFamilyResult> families;  // the design's families, then those of left-out trees only
  struct Cells {
    std::vector<std::string> site, family;  // codes
    std::vector<double> blup, pev;
  } cells;                                  // site x family effects, where the term is fitted
  std::vector<std::string> selectedByConstantsOnly, selectedByBlupOnly;  // family codes
  std::vector<std::string> differences;  // where REML and the analysis of variance differ, and why
};

// A random term's 2 x 2 covariance matrix of a pair.
struct RemlMatrix {
  Estimated v11, v12, v22;
  bool atBoundary = false;  // held on the edge of the positive semi-definite matrices
  std::string note;
};

struct RemlPairResult {
  int trait1 = 0, trait2 = 0;  // from 1
  std::string name1, name2;
  std::string status, note;
  int iterations = 0;
  double seconds = 0;
  std::int64_t trees = 0, treesBoth = 0;  // with either trait, with both
  bool siteFamilyFitted = false;
  RemlMatrix family, cell, error;
  Estimated rF, rPTree;
  double logLikelihood = kNoValue;
  std::vector<std::string> differences;  // where REML and the analysis of variance differ, and why
};

struct RemlResult {
  double seconds = 0;  // all traits and pairs, wall clock
  std::vector<RemlTraitResult> traits;
  std::vector<RemlPairResult> pairs;
  std::string pairsNote;  // why no pairs were fitted, when that was not asked for
};

struct Results {
  std::string program, version;
  struct Input {
    std::string data, report;
    double age = kNoValue;  // none when every record of a sheet is analysed
    std::string arithmetic;
    std::optional<std::string> familyKind;
    double select = 0;
  } input;
  DesignResult design;
  struct Ems {
    double trFF = 0, trFSF = 0, trSFSF = 0, kF = 0, kFSF = 0, kSF = 0;
  } ems;
  std::vector<TraitResult> traits;
  std::vector<PairResult> pairs;
  PrecisionResult precision;  // once the precision guard has spoken
  std::optional<RemlResult> reml;  // with --reml
};

}  // namespace korvan
