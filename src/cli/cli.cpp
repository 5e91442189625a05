// korvan-cli: the batch twin of the main window. The options fill the same
// run parameters as the boxes; messages name the options instead.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cassert>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "cli/cli.h"

#include "base/korvan_error.h"
#include "base/stop_signals.h"
#include "base/terminal.h"
#include "format/output_file.h"
#include "input/preview.h"
#include "input/run_parameters.h"
#include "ui/run.h"

namespace {

using korvan::Field;
using korvan::KorvanError;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr std::string_view kUsage =
    "usage: korvan-cli --data FILE --output FILE [--procedure FILE] [--quiet] [--timings FILE]\n"
    "                  [--arithmetic single|double]\n"
    "                  [--json FILE] [--tables DIR] [--html FILE]\n"
    "                  [--family-kind half-sib|full-sib|clone] [--select FRACTION]\n"
    "                  [--sites N] [--blocks N] [--families N] [--records N]\n"
    "                  [--missing stop|drop|zero] [--missing-codes CODE,...]\n"
    "                  fixed columns:  --traits N --age X --site-col START,WIDTH\n"
    "                                  --block-col START,WIDTH --family-col START,WIDTH\n"
    "                                  --age-col START,WIDTH --trait-col START,WIDTH\n"
    "                  delimited file: --site-column C --block-column C --family-column C\n"
    "                                  --trait-columns C,... [--age-column C --age X]\n"
    "                                  [--delimiter D] [--decimal-comma] [--no-header]\n"
    "       korvan-cli --preview [N] --data FILE ... (the same options, no report)\n"
    "       korvan-cli --help | --version\n";

constexpr std::string_view kHelp =
    "\n"
    "Least-squares analysis of variance and covariance of a forest progeny test\n"
    "planted at several sites (model y = u + s + r + f + sf + e).\n"
    "\n"
    "  --data FILE        data file, one record per line: a delimited file (a\n"
    "                     sheet saved as CSV) or a fixed-column file\n"
    "  --output FILE      report file; an existing file is replaced only when the\n"
    "                     run succeeds, and the path is line 1 of the report\n"
    "  --procedure FILE   every line of the calculation procedure, in order\n"
    "                     (written only when the run succeeds)\n"
    "  --quiet            no progress indicator and no summary line\n"
    "  --timings FILE     seconds of each stage, one 'stage seconds' line each,\n"
    "                     then 'total seconds' (for the benchmarks)\n"
    "  --arithmetic double\n"
    "                     the report's values computed exactly, in double precision,\n"
    "                     in the same layout; 'single' (the default) keeps the\n"
    "                     method's own single-precision arithmetic\n"
    "  --json FILE        the results for programs: design, every quantity of the\n"
    "                     report with its label, standard errors, tests and the\n"
    "                     family ranking, in full double precision\n"
    "  --tables DIR       the same results as CSV tables in DIR (made if missing):\n"
    "                     design, anova, components, families, pairs, correlations\n"
    "  --html FILE        the results as one page that opens offline in a browser\n"
    "  --family-kind half-sib|full-sib|clone\n"
    "                     how the trees of a family are related; gives the\n"
    "                     individual-tree heritability in the results files\n"
    "  --select FRACTION  the share of the families (0 < F <= 1, default 0.1)\n"
    "                     marked as selected on each trait in the results files\n"
    "  --sites N, --blocks N, --families N, --records N\n"
    "                     largest numbers of sites, blocks of any one site,\n"
    "                     families and records of the selected age the data may\n"
    "                     hold; left out, the data decide\n"
    "  --age X            the age whose records are analysed\n"
    "  --missing stop|drop|zero\n"
    "                     a trait field that is empty, blank or a missing code:\n"
    "                     stop before anything is written and say where (the\n"
    "                     default), leave every tree that lacks a value out of the\n"
    "                     whole analysis, or read it as 0\n"
    "  --missing-codes CODE,...\n"
    "                     the missing codes (default NA,.,*,-)\n"
    "  --preview [N]      no report: show how the first N records of the selected\n"
    "                     age (10 if left out) are read field by field, then the\n"
    "                     ages, sites, blocks, families, missing values, the counts\n"
    "                     a run needs and the warnings\n"
    "\n"
    "A fixed-column file:\n"
    "  --traits N         trait fields per record\n"
    "  --site-col, --block-col, --family-col, --age-col START,WIDTH\n"
    "                     where a field stands: first character (from 1), width\n"
    "  --trait-col START,WIDTH\n"
    "                     the first trait field; the others follow it, same width\n"
    "\n"
    "A delimited file (a sheet saved as CSV); C is a header name or a column\n"
    "number from 1:\n"
    "  --site-column C, --block-column C, --family-column C\n"
    "  --trait-columns C,...\n"
    "                     the traits' columns; numbers may run as ranges (5-10);\n"
    "                     one column with --traits N: N columns from it\n"
    "  --age-column C     with --age, the records of that age only; without it\n"
    "                     every record is analysed\n"
    "  --delimiter D      comma, semicolon or tab; found from the first line\n"
    "                     when left out\n"
    "  --decimal-comma    numbers are written 12,5\n"
    "  --no-header        the first line is a record, not the columns' names\n"
    "\n"
    "Codes that are not plain numbers are names: 12a and 12b are two families.\n"
    "Lines starting with ':' are comments. Exit status: 0 done, 1 the run failed,\n"
    "2 the options are wrong.\n";

struct UsageError {
  std::string message;
};

// One option of the command line and the run parameters it fills.
struct OptionInfo {
  std::string_view name;
  enum Kind { kPath, kNumber, kField, kFlag, kText } kind;
  Field field;       // the parameter, or the start of a START,WIDTH pair
  Field widthField;  // the width of a pair
};

constexpr OptionInfo kOptions[] = {
    {"--data", OptionInfo::kPath, Field::kDataFile, Field::kCount},
    {"--output", OptionInfo::kPath, Field::kReportFile, Field::kCount},
    {"--procedure", OptionInfo::kPath, Field::kCount, Field::kCount},
    {"--quiet", OptionInfo::kFlag, Field::kCount, Field::kCount},
    {"--timings", OptionInfo::kPath, Field::kCount, Field::kCount},
    {"--arithmetic", OptionInfo::kText, Field::kCount, Field::kCount},
    {"--json", OptionInfo::kPath, Field::kCount, Field::kCount},
    {"--tables", OptionInfo::kPath, Field::kCount, Field::kCount},
    {"--html", OptionInfo::kPath, Field::kCount, Field::kCount},
    {"--family-kind", OptionInfo::kText, Field::kCount, Field::kCount},
    {"--select", OptionInfo::kText, Field::kCount, Field::kCount},
    {"--sites", OptionInfo::kNumber, Field::kSites, Field::kCount},
    {"--blocks", OptionInfo::kNumber, Field::kBlocks, Field::kCount},
    {"--families", OptionInfo::kNumber, Field::kFamilies, Field::kCount},
    {"--records", OptionInfo::kNumber, Field::kRecords, Field::kCount},
    {"--traits", OptionInfo::kNumber, Field::kTraits, Field::kCount},
    {"--age", OptionInfo::kNumber, Field::kAge, Field::kCount},
    {"--site-col", OptionInfo::kField, Field::kSiteStart, Field::kSiteWidth},
    {"--block-col", OptionInfo::kField, Field::kBlockStart, Field::kBlockWidth},
    {"--family-col", OptionInfo::kField, Field::kFamilyStart, Field::kFamilyWidth},
    {"--age-col", OptionInfo::kField, Field::kAgeStart, Field::kAgeWidth},
    {"--trait-col", OptionInfo::kField, Field::kTraitStart, Field::kTraitWidth},
    {"--site-column", OptionInfo::kText, Field::kSiteColumn, Field::kCount},
    {"--block-column", OptionInfo::kText, Field::kBlockColumn, Field::kCount},
    {"--family-column", OptionInfo::kText, Field::kFamilyColumn, Field::kCount},
    {"--age-column", OptionInfo::kText, Field::kAgeColumn, Field::kCount},
    {"--trait-columns", OptionInfo::kText, Field::kTraitColumns, Field::kCount},
    {"--delimiter", OptionInfo::kText, Field::kCount, Field::kCount},
    {"--decimal-comma", OptionInfo::kFlag, Field::kCount, Field::kCount},
    {"--no-header", OptionInfo::kFlag, Field::kCount, Field::kCount},
    {"--missing", OptionInfo::kText, Field::kMissing, Field::kCount},
    {"--missing-codes", OptionInfo::kText, Field::kCount, Field::kCount},
    {"--preview", OptionInfo::kText, Field::kCount, Field::kCount},
};

// The options of each file format: one run uses one kind.
constexpr std::string_view kFixedOptions[] = {"--site-col", "--block-col", "--family-col", "--age-col",
                                              "--trait-col"};
constexpr std::string_view kDelimitedOptions[] = {"--site-column",   "--block-column", "--family-column",
                                                  "--age-column",    "--trait-columns", "--delimiter",
                                                  "--decimal-comma", "--no-header"};

constexpr std::string_view kOtherNames[] = {"--help", "--version"};

std::size_t Index(Field f) { return static_cast<std::size_t>(f); }

korvan::FieldNames OptionFieldNames() {
  korvan::FieldNames names;
  for (const OptionInfo& option : kOptions) {
    if (option.kind == OptionInfo::kField) {
      names[Index(option.field)] = std::string(option.name) + " start";
      names[Index(option.widthField)] = std::string(option.name) + " width";
    } else if (option.field != Field::kCount) {
      names[Index(option.field)] = std::string(option.name);
    }
  }
  return names;
}

// A whole decimal number as typed, nothing before or after it.
double ParseStrictNumber(std::string_view option, std::string_view text, std::string_view shape) {
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  double value = 0;
  const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || result.ec != std::errc() || result.ptr != digits.data() + digits.size() ||
      !std::isfinite(value))
    throw UsageError{std::string(option) + ": '" + std::string(text) + "' is not " + std::string(shape)};
  return value;
}

double& ParameterOf(korvan::RunParameters& params, Field field) {
  switch (field) {
    case Field::kSites: return params.nSite;
    case Field::kBlocks: return params.nBlock;
    case Field::kFamilies: return params.nFamily;
    case Field::kRecords: return params.nRecord;
    case Field::kAge: return params.ageSel;
    case Field::kTraits: return params.nTrait;
    case Field::kSiteStart: return params.colSite;
    case Field::kBlockStart: return params.colBlock;
    case Field::kFamilyStart: return params.colFamily;
    case Field::kAgeStart: return params.colAge;
    case Field::kTraitStart: return params.colTrait;
    case Field::kSiteWidth: return params.wSite;
    case Field::kBlockWidth: return params.wBlock;
    case Field::kFamilyWidth: return params.wFamily;
    case Field::kAgeWidth: return params.wAge;
    case Field::kTraitWidth: return params.wTrait;
    default: break;
  }
  assert(!"every numeric option names a numeric parameter");
  return params.nSite;
}

struct CliOptions {
  korvan::RunParameters params;
  std::optional<std::string> procedurePath;
  std::optional<std::string> timingsPath;
  bool quiet = false;
  int preview = 0;  // records to show; 0: a run, not a preview
  bool help = false;
  bool version = false;
};

// "a,b,c" as its items; an empty text holds none.
std::vector<std::string> Items(std::string_view text) {
  std::vector<std::string> items;
  if (text.empty()) return items;
  for (;;) {
    const std::size_t comma = text.find(',');
    items.emplace_back(text.substr(0, comma));
    if (comma == std::string_view::npos) return items;
    text.remove_prefix(comma + 1);
  }
}

void ApplyText(korvan::RunParameters& params, std::string_view name, std::string_view value) {
  const std::string text(value);
  if (name == "--site-column") params.siteColumn = text;
  else if (name == "--block-column") params.blockColumn = text;
  else if (name == "--family-column") params.familyColumn = text;
  else if (name == "--age-column") params.ageColumn = text;
  else if (name == "--trait-columns") params.traitColumns = Items(value);
  else if (name == "--missing-codes") params.missingCodes = Items(value);
  else if (name == "--family-kind") {
    const std::pair<std::string_view, korvan::FamilyKind> kinds[] = {{"half-sib", korvan::FamilyKind::kHalfSib},
                                                                      {"full-sib", korvan::FamilyKind::kFullSib},
                                                                      {"clone", korvan::FamilyKind::kClone}};
    for (const auto& [word, kind] : kinds)
      if (value == word) return void(params.familyKind = kind);
    throw UsageError{"--family-kind: '" + text + "' is not half-sib, full-sib or clone"};
  } else if (name == "--select") {
    const double fraction = ParseStrictNumber(name, value, "a fraction above 0 and at most 1 (such as 0.1)");
    if (!(fraction > 0 && fraction <= 1))
      throw UsageError{"--select: '" + text + "' is not a fraction above 0 and at most 1 (such as 0.1)"};
    params.selectFraction = fraction;
  } else if (name == "--arithmetic") {
    if (value != "single" && value != "double")
      throw UsageError{"--arithmetic: '" + text + "' is neither single nor double"};
    params.exactReport = value == "double";
  }
  else if (name == "--delimiter") {
    const std::pair<std::string_view, char> names[] = {{"comma", ','}, {",", ','},     {"semicolon", ';'},
                                                        {";", ';'},     {"tab", '\t'}, {"\t", '\t'}};
    for (const auto& [word, delimiter] : names)
      if (value == word) params.delimiter = delimiter;
    if (params.delimiter == 0)
      throw UsageError{"--delimiter: '" + text + "' is not comma, semicolon or tab"};
  } else {
    const std::pair<std::string_view, korvan::MissingMode> modes[] = {{"stop", korvan::MissingMode::kStop},
                                                                      {"drop", korvan::MissingMode::kDrop},
                                                                      {"zero", korvan::MissingMode::kZero}};
    for (const auto& [word, mode] : modes)
      if (value == word) return void(params.missing = mode);
    throw UsageError{"--missing: '" + text + "' is not stop, drop or zero"};
  }
}

void ApplyOption(CliOptions& options, const OptionInfo& option, std::string_view value) {
  switch (option.kind) {
    case OptionInfo::kPath:
      if (option.field == Field::kDataFile) options.params.dataPath = value;
      else if (option.field == Field::kReportFile) options.params.reportPath = value;
      else if (option.name == "--timings") options.timingsPath = std::string(value);
      else if (option.name == "--json") options.params.jsonPath = value;
      else if (option.name == "--tables") options.params.tablesDir = value;
      else if (option.name == "--html") options.params.htmlPath = value;
      else options.procedurePath = std::string(value);
      break;
    case OptionInfo::kNumber:
      ParameterOf(options.params, option.field) = ParseStrictNumber(option.name, value, "a number");
      break;
    case OptionInfo::kField: {
      const std::size_t comma = value.find(',');
      const char* shape = "START,WIDTH (two numbers, such as 19,10)";
      if (comma == std::string_view::npos)
        throw UsageError{std::string(option.name) + ": '" + std::string(value) + "' is not " + shape};
      ParameterOf(options.params, option.field) = ParseStrictNumber(option.name, value.substr(0, comma), shape);
      ParameterOf(options.params, option.widthField) = ParseStrictNumber(option.name, value.substr(comma + 1), shape);
      break;
    }
    case OptionInfo::kFlag:
      if (option.name == "--quiet") options.quiet = true;
      else if (option.name == "--decimal-comma") options.params.decimalComma = true;
      else options.params.header = false;
      break;
    case OptionInfo::kText:
      if (option.name == "--preview")
        options.preview = value.empty() ? 10 : static_cast<int>(std::min(
            ParseStrictNumber(option.name, value, "a number of records"), 1e6));
      else ApplyText(options.params, option.name, value);
      break;
  }
}

const OptionInfo* FindOption(std::string_view name) {
  for (const OptionInfo& option : kOptions)
    if (option.name == name) return &option;
  return nullptr;
}

// How far apart two option names are: letters inserted, removed, changed or
// swapped with their neighbour (optimal string alignment distance).
std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i)
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

// A slip of one or two letters (--site-cols, --famillies, -sites) most
// likely meant the nearest option; anything further is not guessed at.
std::string UnknownOption(std::string_view arg) {
  const std::string_view name = arg.substr(0, arg.find('='));
  std::string_view nearest;
  std::size_t nearestDistance = 3;
  auto consider = [&](std::string_view candidate) {
    if (const std::size_t distance = EditDistance(name, candidate); distance < nearestDistance) {
      nearestDistance = distance;
      nearest = candidate;
    }
  };
  for (const OptionInfo& option : kOptions) consider(option.name);
  for (const std::string_view other : kOtherNames) consider(other);
  std::string message = "unknown option '" + std::string(arg) + "'";
  if (!nearest.empty()) message += "; did you mean '" + std::string(nearest) + "'?";
  return message;
}

// CLI11 reads "--age=" as --age without its value, and "--quiet=" as
// --quiet; users mean an empty value by the first and a value all the same
// by the second. The words come last first, the order CLI11 takes them in.
std::vector<std::string> Words(int argc, char** argv) {
  std::vector<std::string> words;
  for (int n = argc - 1; n >= 1; --n) {
    const std::string_view word = argv[n];
    const OptionInfo* option = word.ends_with('=') ? FindOption(word.substr(0, word.size() - 1)) : nullptr;
    if (option && option->kind == OptionInfo::kFlag) throw UsageError{std::string(option->name) + " takes no value"};
    words.emplace_back(option ? "" : word);
    if (option) words.emplace_back(option->name);
  }
  return words;
}

// CLI11 stops at a value left out (--procedure at the end) or given to a
// flag (--quiet=1), and names the option first, with or without its dashes.
UsageError UsageErrorOf(const CLI::ParseError& error) {
  const std::string_view what = error.what();
  const std::string_view named = what.substr(std::min(what.find_first_not_of('-'), what.size()));
  for (const OptionInfo& option : kOptions) {
    const std::string_view bare = option.name.substr(2);
    if (!named.starts_with(bare) || named.size() == bare.size()) continue;
    if (named[bare.size()] == ':') return UsageError{std::string(option.name) + " needs a value"};
    if (named[bare.size()] == ' ') return UsageError{std::string(option.name) + " takes no value"};
  }
  return UsageError{std::string(what)};
}

void CheckOptionsGiven(korvan::RunParameters& params, const std::vector<std::string_view>& named, bool preview);

// CLI11 splits the words and finds the options; what is wrong with them is
// said here, in the words users know.
CliOptions ParseArguments(int argc, char** argv) {
  CLI::App app;
  app.set_help_flag();  // the usage and help texts below are this program's own
  app.allow_extras();   // unknown words are named below, with a suggestion
  std::vector<CLI::Option*> given;
  for (const OptionInfo& option : kOptions) {
    const std::string name(option.name);
    CLI::Option* added =
        option.kind == OptionInfo::kFlag ? app.add_flag(name)->disable_flag_override() : app.add_option(name);
    if (option.name == "--preview") added->expected(0, 1);
    // Counted, not merged: an option given twice is a mistake to report.
    given.push_back(added->multi_option_policy(CLI::MultiOptionPolicy::TakeAll));
  }
  CLI::Option* help = app.add_flag("-h,--help");
  CLI::Option* version = app.add_flag("--version");
  std::vector<std::string> words = Words(argc, argv);
  try {
    app.parse(words);
  } catch (const CLI::ParseError& error) {
    throw UsageErrorOf(error);
  }
  CliOptions options;
  options.params.fieldNames = OptionFieldNames();
  options.help = help->count() > 0;
  options.version = version->count() > 0;
  if (options.help || options.version) return options;
  if (!app.remaining().empty()) throw UsageError{UnknownOption(app.remaining().front())};
  std::vector<std::string_view> named;
  for (std::size_t n = 0; n < std::size(kOptions); ++n) {
    const OptionInfo& option = kOptions[n];
    const std::vector<std::string>& values = given[n]->results();
    if (given[n]->count() > 1) throw UsageError{std::string(option.name) + " is given twice"};
    if (given[n]->count() == 1) {
      ApplyOption(options, option, values.empty() ? std::string_view() : values.front());
      named.push_back(option.name);
    }
  }
  if (options.preview < 0 ||
      (options.preview == 0 && std::find(named.begin(), named.end(), "--preview") != named.end()))
    throw UsageError{"--preview: show at least 1 record"};
  CheckOptionsGiven(options.params, named, options.preview > 0);
  return options;
}

// What each file format needs, and never the options of both.
void CheckOptionsGiven(korvan::RunParameters& params, const std::vector<std::string_view>& named, bool preview) {
  auto has = [&named](std::string_view name) { return std::find(named.begin(), named.end(), name) != named.end(); };
  auto first = [&](const auto& names) -> std::string_view {
    for (const std::string_view name : names)
      if (has(name)) return name;
    return {};
  };
  const std::string_view fixed = first(kFixedOptions), delimited = first(kDelimitedOptions);
  if (!fixed.empty() && !delimited.empty())
    throw UsageError{std::string(fixed) + " places a field of a fixed-column file, " + std::string(delimited) +
                     " a column of a delimited file; give the options of one kind"};
  params.delimited = !delimited.empty();
  // A count left out is no limit: the data decide.
  const std::pair<std::string_view, double*> capacities[] = {{"--sites", &params.nSite}, {"--blocks", &params.nBlock},
                                                             {"--families", &params.nFamily},
                                                             {"--records", &params.nRecord}};
  for (const auto& [name, count] : capacities)
    if (!has(name)) *count = korvan::kNoLimit;
  std::vector<std::string_view> needed = {"--data"};
  if (!preview) needed.push_back("--output");
  if (params.delimited) {
    needed.insert(needed.end(), {"--site-column", "--block-column", "--family-column", "--trait-columns"});
    if (has("--age-column") || has("--age")) needed.insert(needed.end(), {"--age-column", "--age"});
  } else {
    needed.insert(needed.end(), {"--traits", "--age"});
    needed.insert(needed.end(), std::begin(kFixedOptions), std::end(kFixedOptions));
  }
  std::string missing;
  for (const std::string_view name : needed)
    if (!has(name)) missing += (missing.empty() ? "" : ", ") + std::string(name);
  if (!missing.empty()) throw UsageError{"missing " + missing};
}

// The procedure and timings files: what failed, the option, and what to do.
template <const char* kWhat, const char* kOption>
std::string OutputMessageOf(korvan::OutputStep step, const std::string& path, std::error_code reason) {
  const char* verb[] = {"cannot create the ", "cannot write the ", "cannot finish the ", "cannot put the "};
  std::string message = verb[static_cast<int>(step)] + std::string(kWhat);
  message += step == korvan::OutputStep::kPlace ? " in place as " : " ";
  return message + path + " (" + kOption + "): " + korvan::ReasonText(reason) +
         (korvan::IsDiskFull(reason) ? "; free space on the disk or choose another folder"
                                     : "; choose a folder that exists and that you may write to");
}
constexpr char kProcedureWhat[] = "procedure file", kProcedureOption[] = "--procedure";
constexpr char kTimingsWhat[] = "timings file", kTimingsOption[] = "--timings";
constexpr korvan::OutputMessage ProcedureMessage = OutputMessageOf<kProcedureWhat, kProcedureOption>;
constexpr korvan::OutputMessage TimingsMessage = OutputMessageOf<kTimingsWhat, kTimingsOption>;

// One line on the terminal that says which stage runs and how far it is;
// it appears only when a run takes long enough to wonder about.
class TerminalIndicator {
 public:
  void BeginStage(std::string_view name, std::int64_t workItems) {
    stage_ = name;
    workItems_ = workItems;
    Show(0, true);
  }
  void Advance(std::int64_t done) { Show(done, false); }
  void Erase() {
    if (shownWidth_ == 0) return;
    std::cerr << '\r' << std::string(shownWidth_, ' ') << '\r' << std::flush;
    shownWidth_ = 0;
  }

 private:
  using Clock = std::chrono::steady_clock;

  void Show(std::int64_t done, bool newStage) {
    const auto now = Clock::now();
    if (now - start_ < std::chrono::milliseconds(500)) return;
    if (!newStage && now - lastShown_ < std::chrono::milliseconds(200)) return;
    lastShown_ = now;
    std::string text = "korvan-cli: " + stage_;
    if (workItems_ > 0) {
      text += ' ';
      text += std::to_string(std::min<std::int64_t>(100, done * 100 / workItems_));
      text += '%';
    }
    const std::size_t width = text.size();
    if (width < shownWidth_) text.append(shownWidth_ - width, ' ');
    std::cerr << '\r' << text << std::flush;
    shownWidth_ = std::max(width, shownWidth_);
  }

  Clock::time_point start_ = Clock::now();
  Clock::time_point lastShown_;
  std::string stage_;
  std::int64_t workItems_ = 0;
  std::size_t shownWidth_ = 0;
};

class CliSink final : public korvan::ProgressSink {
 public:
  CliSink(korvan::OutputFile* procedure, TerminalIndicator* indicator, const korvan::StopSignals& signals)
      : procedure_(procedure), indicator_(indicator), signals_(signals) {}
  void WriteLine(std::string_view line) override {
    procedure_->Append(line);
    procedure_->Append("\n");
  }
  // A file keeps every line; only the window shows one screen at a time.
  void Clear() override {}
  bool WantsLines() const override { return procedure_ != nullptr; }
  void BeginStage(std::string_view name, std::int64_t workItems) override {
    if (indicator_) indicator_->BeginStage(name, workItems);
  }
  void Advance(std::int64_t done) override {
    if (indicator_) indicator_->Advance(done);
  }
  void Flush() override {
    if (procedure_) procedure_->Flush();
  }
  bool StopRequested() const override { return signals_.received() != 0; }

 private:
  korvan::OutputFile* procedure_;
  TerminalIndicator* indicator_;
  const korvan::StopSignals& signals_;
};

void CheckProcedurePath(const CliOptions& options) {
  const std::string& path = *options.procedurePath;
  const std::filesystem::path procedure(path);
  std::error_code error;
  if (path.empty() || !procedure.has_filename() || std::filesystem::is_directory(procedure, error))
    throw KorvanError("--procedure: '" + path + "' is no file name; type a name for the procedure file");
  if (korvan::NameSameFile(path, options.params.dataPath))
    throw KorvanError("--procedure: the procedure file is the data file; choose another name");
  if (korvan::NameSameFile(path, options.params.reportPath))
    throw KorvanError("--procedure: the procedure file is the output file; choose another name");
}

// Written after the report, so a name it shares with another file would
// destroy that file after a run that succeeded.
void CheckTimingsPath(const CliOptions& options) {
  const std::string& path = *options.timingsPath;
  const std::pair<const std::string*, const char*> others[] = {
      {&options.params.dataPath, "the data file"},
      {&options.params.reportPath, "the output file"},
      {options.procedurePath ? &*options.procedurePath : nullptr, "the procedure file"}};
  for (const auto& [other, name] : others)
    if (other != nullptr && korvan::NameSameFile(path, *other))
      throw KorvanError(std::string("--timings: the timings file is ") + name + "; choose another name");
}

std::string Counted(std::int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string SummaryLine(const korvan::RunSummary& summary) {
  char seconds[32];
  const auto end = std::to_chars(seconds, seconds + sizeof seconds, summary.seconds, std::chars_format::fixed, 2).ptr;
  return "korvan-cli: wrote " + summary.reportPath + ": " + Counted(summary.nRecord, "record", "records") + ", " +
         Counted(summary.nSite, "site", "sites") + ", " + Counted(summary.nRep, "block", "blocks") + ", " +
         Counted(summary.nFamily, "family", "families") + ", " + Counted(summary.nTrait, "trait", "traits") + ", " +
         (summary.nDropped > 0 ? Counted(summary.nDropped, "record", "records") + " that lack values left out, " : "") +
         std::string(seconds, end) + " s";
}

// The benchmark driver reads these.
std::string TimingsText(const korvan::RunSummary& summary) {
  std::string text;
  auto put = [&text](std::string_view name, double seconds) {
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, seconds, std::chars_format::fixed, 6).ptr;
    text.append(name).append(" ").append(digits, end).append("\n");
  };
  for (const auto& [stage, seconds] : summary.stageSeconds) put(stage, seconds);
  put("total", summary.seconds);
  return text;
}

// How long a run may take, after a signal, to reach its next safe point
// before it is cut short where it stands: long enough for a stage to see
// the request, short enough for a batch system's grace period. The tests
// set KORVAN_STOP_GRACE_MS to reach the cutting short without a stage that
// runs that long.
std::chrono::milliseconds StopGrace() {
  const char* set = std::getenv("KORVAN_STOP_GRACE_MS");
  int milliseconds = 3000;
  if (set != nullptr) std::from_chars(set, set + std::strlen(set), milliseconds);
  return std::chrono::milliseconds(std::max(0, milliseconds));
}

std::string StoppedMessage(int signal) {
  return "korvan-cli: stopped by " + korvan::SignalName(signal) + "; nothing written\n";
}

int Run(const CliOptions& options, const korvan::StageForms& forms) {
  korvan::IgnoreFileSizeSignal();
  korvan::OutputSet outputs;
  std::optional<TerminalIndicator> indicator;
  if (!options.quiet && korvan::StandardErrorIsTerminal()) indicator.emplace();
  // The run asks the signals at each safe point (CliSink); one that does
  // not reach such a point in time is ended where it stands, with its
  // temporary files removed, unless its outputs are already being put in
  // place.
  korvan::StopSignals signals([](int) {}, [&](int signal) {
    if (!outputs.Abandon()) return;
    std::fputs(((indicator ? "\n" : "") + StoppedMessage(signal)).c_str(), stderr);
    std::fflush(stderr);
    std::_Exit(128 + signal);
  }, StopGrace());
  int status = kExitFailed;
  std::string said;  // what the user reads at the end
  try {
    if (options.timingsPath) CheckTimingsPath(options);
    if (options.procedurePath) CheckProcedurePath(options);
    korvan::OutputFile* procedure =
        options.procedurePath ? &outputs.Add(*options.procedurePath, "procedure", ProcedureMessage) : nullptr;
    korvan::OutputFile* timings =
        options.timingsPath ? &outputs.Add(*options.timingsPath, "timings", TimingsMessage) : nullptr;
    CliSink sink(procedure, indicator ? &*indicator : nullptr, signals);
    const korvan::RunSummary summary = korvan::RunCalculation(options.params, sink, outputs, forms);
    if (timings) timings->Append(TimingsText(summary));
    outputs.CommitAll();
    // The outputs are in place: the run has succeeded, whatever follows.
    status = 0;
    try {
      for (const std::string& warning : summary.warnings) said += "korvan-cli: warning: " + warning + '\n';
      if (!options.quiet) said += SummaryLine(summary) + '\n';
    } catch (const std::bad_alloc&) {
      said.clear();
    }
  } catch (const korvan::RunCancelled&) {
    said = StoppedMessage(signals.received());
    status = 128 + signals.received();
  } catch (const KorvanError& error) {
    said = "korvan-cli: error: " + std::string(error.what()) + '\n';
  } catch (const std::bad_alloc&) {
    said = "korvan-cli: error: not enough memory for this run: the data or the model it gives are too large for "
           "this machine; no report was written\n";
  } catch (const std::exception& error) {
    said = "korvan-cli: error: " + std::string(error.what()) + "; no report was written\n";
  }
  signals.Ended();
  if (indicator) indicator->Erase();
  std::cerr << said;
  return status;
}

// What a run would read, on standard output; no report.
int Preview(const CliOptions& options) {
  try {
    korvan::NullSink sink;
    std::cout << korvan::PreviewData(options.params, options.preview, sink);
    return 0;
  } catch (const KorvanError& error) {
    std::cerr << "korvan-cli: error: " << error.what() << '\n';
  }
  return kExitFailed;
}

}  // namespace

int RunCli(int argc, char** argv, const korvan::StageForms& forms) {
  std::ios::sync_with_stdio(false);
  CliOptions options;
  try {
    options = ParseArguments(argc, argv);
  } catch (const UsageError& error) {
    std::cerr << "korvan-cli: " << error.message << '\n' << kUsage << "Try 'korvan-cli --help' for more.\n";
    return kExitUsage;
  }
  if (options.help) {
    std::cout << kUsage << kHelp;
    return 0;
  }
  if (options.version) {
    std::cout << "korvan-cli " << KORVAN_VERSION << '\n';
    return 0;
  }
  if (options.preview > 0) return Preview(options);
  return Run(options, forms);
}
