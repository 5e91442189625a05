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

// An estimate with its standard error.
struct ValueWithError {
  double estimate = kNoValue;
  double se = kNoValue;
  // The document says whether the estimate is at or below zero: a
  // component, or a ratio of components whose raw estimate may be negative.
  bool marksZero = false;
  bool AtOrBelowZero() const { return estimate <= 0; }  // false for NaN
};
using Estimated = std::optional<ValueWithError>;  // nothing where the estimate does not exist

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
};

// One line of an analysis of variance; the test where the line has one.
struct AnovaLine {
  std::string source;       // "Site", "Rep(Site)", "Family", "Site*Family", "Error"
  double df = 0;
  double ss = kNoValue, ms = kNoValue;
  std::optional<std::string> ems;  // expected mean square, from the Family line down
  double f = kNoValue, dfDenominator = kNoValue, p = kNoValue;
};

struct FamilyResult {
  std::string code;
  std::int64_t records = 0;
  double constant = kNoValue;         // the family constant of u + r + f
  double deviation = kNoValue;        // from the trait mean
  int rank = 0;                       // 1 for the largest constant
  double predictedEffect = kNoValue;  // h2 x deviation, where h2 exists
  bool selected = false;
};

struct TraitResult {
  int index = 0;  // from 1
  std::string name;
  double mean = kNoValue;
  std::vector<AnovaLine> anova;
  Estimated vf, vsf, ve;  // the components
  Estimated h2, rB, h2Individual;
  std::vector<FamilyResult> families;   // in the data's order
  std::vector<double> siteFamilyMeans;  // in the order of DesignResult's cells
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
  Estimated rP, rF;
};

struct PrecisionResult {
  std::optional<std::string> warning;
  struct Finding {
    std::string quantity;
    double report = kNoValue, exact = kNoValue;
  };
  std::vector<Finding> findings;
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
};

}  // namespace korvan
