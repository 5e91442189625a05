#include "cli/options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <utility>

#include "base/nearest_name.h"
#include "format/number_format.h"
#include "input/columns.h"

namespace korvan::cli {

namespace {

// Options that belong together; a run uses the fixed-column group or the
// delimited one, never both.
enum class Group { kRun, kResults, kCounts, kFixed, kDelimited, kOther };

using Setter = void (*)(CliOptions&, std::string_view);

struct OptionRow {
  std::string_view name;
  std::string_view value;  // the value's shape as --help shows it; empty for a flag
  Group group;
  Setter set;              // stores the value, throwing UsageError when it is malformed
  std::string_view help;   // lines after the first are indented under it
  Field field = Field::kCount;       // the run parameter messages name by this option
  Field widthField = Field::kCount;  // the width of a START,WIDTH pair
  bool optionalValue = false;        // the value may be left out
};

[[noreturn]] void Malformed(std::string_view option, std::string_view text, std::string_view shape) {
  throw UsageError{std::string(option) + ": '" + std::string(text) + "' is not " + std::string(shape)};
}

// A whole decimal number as typed, nothing before or after it.
double StrictNumber(std::string_view option, std::string_view text, std::string_view shape) {
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  double value = 0;
  const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || result.ec != std::errc() || result.ptr != digits.data() + digits.size() ||
      !std::isfinite(value))
    Malformed(option, text, shape);
  return value;
}

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

// One of `words`, as the option spells them.
template <typename T, std::size_t N>
T OneOf(std::string_view option, std::string_view text, const std::pair<std::string_view, T> (&words)[N],
        std::string_view shape) {
  for (const auto& [word, value] : words)
    if (text == word) return value;
  Malformed(option, text, shape);
}

void SetField(double& start, double& width, std::string_view option, std::string_view text) {
  const char* shape = "START,WIDTH (two numbers, such as 19,10)";
  const std::size_t comma = text.find(',');
  if (comma == std::string_view::npos) Malformed(option, text, shape);
  start = StrictNumber(option, text.substr(0, comma), shape);
  width = StrictNumber(option, text.substr(comma + 1), shape);
}

// The age as the age column writes it: a number, perhaps with its unit (3y).
double AgeOf(std::string_view text) {
  std::string_view number = text;
  while (!number.empty() && (std::isalpha(static_cast<unsigned char>(number.back())) || number.back() == ' '))
    number.remove_suffix(1);
  const ParsedNumber age = ParseNumber(number);
  if (!age.numeric || !age.complete || !std::isfinite(age.value))
    Malformed("--age", text, "an age (a number, such as 10 or 3y)");
  return age.value;
}

constexpr std::string_view kFieldShape = "START,WIDTH";

const OptionRow kRows[] = {
    {"--data", "FILE", Group::kRun, [](CliOptions& o, std::string_view v) { o.params.dataPath = v; },
     "data file, one record per line: a delimited file (a sheet saved as\n"
     "CSV) or a fixed-column file",
     Field::kDataFile},
    {"--output", "FILE", Group::kRun, [](CliOptions& o, std::string_view v) { o.params.reportPath = v; },
     "report file; an existing file is replaced only when the run\n"
     "succeeds, and the path is line 1 of the report",
     Field::kReportFile},
    {"--procedure", "FILE", Group::kRun, [](CliOptions& o, std::string_view v) { o.procedurePath = std::string(v); },
     "every line of the calculation procedure, in order (written only\n"
     "when the run succeeds)"},
    {"--quiet", "", Group::kRun, [](CliOptions& o, std::string_view) { o.quiet = true; },
     "no progress indicator and no summary line"},
    {"--timings", "FILE", Group::kRun, [](CliOptions& o, std::string_view v) { o.timingsPath = std::string(v); },
     "seconds of each stage, one 'stage seconds' line each, then\n"
     "'total seconds' (for the benchmarks)"},
    {"--arithmetic", "single|double", Group::kRun,
     [](CliOptions& o, std::string_view v) {
       const std::pair<std::string_view, bool> words[] = {{"single", false}, {"double", true}};
       o.params.exactReport = OneOf("--arithmetic", v, words, "single or double");
     },
     "'double': the report's values computed exactly, in double\n"
     "precision, in the same layout; 'single' (the default) keeps the\n"
     "method's own single-precision arithmetic"},
    {"--missing", "stop|drop|zero", Group::kRun,
     [](CliOptions& o, std::string_view v) {
       const std::pair<std::string_view, MissingMode> words[] = {
           {"stop", MissingMode::kStop}, {"drop", MissingMode::kDrop}, {"zero", MissingMode::kZero}};
       o.params.missing = OneOf("--missing", v, words, "stop, drop or zero");
     },
     "a trait field that is empty, blank, a missing code or (in a sheet)\n"
     "no number: stop before anything is written and say where (the\n"
     "default), leave every tree that lacks a value out of the whole\n"
     "analysis, or read it as 0, which biases the results",
     Field::kMissing},
    {"--missing-codes", "CODE,...", Group::kRun,
     [](CliOptions& o, std::string_view v) { o.params.missingCodes = Items(v); },
     "the missing codes (default NA,.,*,-)"},
    {"--preview", "N", Group::kRun,
     [](CliOptions& o, std::string_view v) {
       const double shown = v.empty() ? 10 : StrictNumber("--preview", v, "a number of records");
       if (!(shown >= 1)) throw UsageError{"--preview: show at least 1 record"};
       o.preview = static_cast<int>(std::min(shown, 1e6));
     },
     "no report: show how the first N records (10 if left out) are read\n"
     "field by field, then the ages, sites, blocks, families, missing\n"
     "values, the counts a run needs and every warning and stop of a run;\n"
     "with --data alone, the columns of a sheet or the first lines of a\n"
     "fixed-column file",
     Field::kCount, Field::kCount, true},
    {"--json", "FILE", Group::kResults, [](CliOptions& o, std::string_view v) { o.params.jsonPath = v; },
     "the results for programs: design, every quantity of the report with\n"
     "its label, standard errors, tests and the family ranking, in full\n"
     "double precision"},
    {"--tables", "DIR", Group::kResults, [](CliOptions& o, std::string_view v) { o.params.tablesDir = v; },
     "the same results as CSV tables in DIR (made if missing): design,\n"
     "anova, components, families, families-wide, site-family-means,\n"
     "pairs, correlations, withheld"},
    {"--html", "FILE", Group::kResults, [](CliOptions& o, std::string_view v) { o.params.htmlPath = v; },
     "the results as one page that opens offline in a browser"},
    {"--family-kind", "half-sib|full-sib|clone", Group::kResults,
     [](CliOptions& o, std::string_view v) {
       const std::pair<std::string_view, FamilyKind> words[] = {
           {"half-sib", FamilyKind::kHalfSib}, {"full-sib", FamilyKind::kFullSib}, {"clone", FamilyKind::kClone}};
       o.params.familyKind = OneOf("--family-kind", v, words, "half-sib, full-sib or clone");
     },
     "how the trees of a family are related; gives the individual-tree\n"
     "heritability in the results files"},
    {"--select", "FRACTION", Group::kResults,
     [](CliOptions& o, std::string_view v) {
       const char* shape = "a fraction above 0 and at most 1 (such as 0.1)";
       const double fraction = StrictNumber("--select", v, shape);
       if (!(fraction > 0 && fraction <= 1)) Malformed("--select", v, shape);
       o.params.selectFraction = fraction;
     },
     "the share of the families (0 < F <= 1, default 0.1) marked as\n"
     "selected on each trait in the results files"},
    {"--reml", "", Group::kResults, [](CliOptions& o, std::string_view) { o.params.reml = true; },
     "REML estimates and BLUP rankings of the same model beside the\n"
     "analysis of variance in the results files, each trait on every\n"
     "tree that has its value"},
    {"--reml-pairs", "all|none|T1:T2,...", Group::kResults,
     [](CliOptions& o, std::string_view v) {
       if (v.empty()) throw UsageError{"--reml-pairs needs all, none or the pairs, such as 1:2,1:3"};
       o.params.remlPairs = v;
     },
     "the pairs of traits REML fits, by number or name (height:dbh);\n"
     "default all of at most 12 traits, none of more"},
    {"--sites", "N", Group::kCounts,
     [](CliOptions& o, std::string_view v) { o.params.nSite = StrictNumber("--sites", v, "a number"); },
     "the most sites the data may hold; left out, the data decide", Field::kSites},
    {"--blocks", "N", Group::kCounts,
     [](CliOptions& o, std::string_view v) { o.params.nBlock = StrictNumber("--blocks", v, "a number"); },
     "the most blocks any one site may hold; left out, the data decide", Field::kBlocks},
    {"--families", "N", Group::kCounts,
     [](CliOptions& o, std::string_view v) { o.params.nFamily = StrictNumber("--families", v, "a number"); },
     "the most families; left out, the data decide", Field::kFamilies},
    {"--records", "N", Group::kCounts,
     [](CliOptions& o, std::string_view v) { o.params.nRecord = StrictNumber("--records", v, "a number"); },
     "the most records of the selected age; left out, the data decide", Field::kRecords},
    {"--age", "X", Group::kCounts, [](CliOptions& o, std::string_view v) { o.params.ageSel = AgeOf(v); },
     "the age whose records are analysed, as the age field writes it\n"
     "(10, 3y)",
     Field::kAge},
    {"--traits", "N", Group::kCounts,
     [](CliOptions& o, std::string_view v) { o.params.nTrait = StrictNumber("--traits", v, "a number"); },
     "trait fields per record; with one --trait-columns column, the N\n"
     "columns from it",
     Field::kTraits},
    {"--site-col", kFieldShape, Group::kFixed,
     [](CliOptions& o, std::string_view v) { SetField(o.params.colSite, o.params.wSite, "--site-col", v); },
     "where the site field stands: its first character (from 1), its width", Field::kSiteStart, Field::kSiteWidth},
    {"--block-col", kFieldShape, Group::kFixed,
     [](CliOptions& o, std::string_view v) { SetField(o.params.colBlock, o.params.wBlock, "--block-col", v); },
     "the block field",
     Field::kBlockStart, Field::kBlockWidth},
    {"--family-col", kFieldShape, Group::kFixed,
     [](CliOptions& o, std::string_view v) { SetField(o.params.colFamily, o.params.wFamily, "--family-col", v); },
     "the family field", Field::kFamilyStart, Field::kFamilyWidth},
    {"--age-col", kFieldShape, Group::kFixed,
     [](CliOptions& o, std::string_view v) { SetField(o.params.colAge, o.params.wAge, "--age-col", v); },
     "the age field",
     Field::kAgeStart, Field::kAgeWidth},
    {"--trait-col", kFieldShape, Group::kFixed,
     [](CliOptions& o, std::string_view v) { SetField(o.params.colTrait, o.params.wTrait, "--trait-col", v); },
     "the first trait field; the others follow it, same width", Field::kTraitStart, Field::kTraitWidth},
    {"--site-column", "C", Group::kDelimited, [](CliOptions& o, std::string_view v) { o.params.siteColumn = v; },
     "the site column, by its header name (in any letter case) or its number from 1",
     Field::kSiteColumn},
    {"--block-column", "C", Group::kDelimited, [](CliOptions& o, std::string_view v) { o.params.blockColumn = v; },
     "the block column", Field::kBlockColumn},
    {"--family-column", "C", Group::kDelimited,
     [](CliOptions& o, std::string_view v) { o.params.familyColumn = v; }, "the family column",
     Field::kFamilyColumn},
    {"--trait-columns", "C,...", Group::kDelimited,
     [](CliOptions& o, std::string_view v) { o.params.traitColumns = Items(v); },
     "the traits' columns; names or numbers may run as ranges (dj-h5,\n"
     "5-10)",
     Field::kTraitColumns},
    {"--age-column", "C", Group::kDelimited, [](CliOptions& o, std::string_view v) { o.params.ageColumn = v; },
     "with --age, the records of that age only; without it every record\n"
     "is analysed",
     Field::kAgeColumn},
    {"--delimiter", "D", Group::kDelimited,
     [](CliOptions& o, std::string_view v) {
       const std::pair<std::string_view, char> words[] = {{"comma", ','},     {",", ','},   {"semicolon", ';'},
                                                          {";", ';'},         {"tab", '\t'}, {"\t", '\t'}};
       o.params.delimiter = OneOf("--delimiter", v, words, "comma, semicolon or tab");
     },
     "comma, semicolon or tab; found from the first line when left out"},
    {"--decimal-comma", "", Group::kDelimited,
     [](CliOptions& o, std::string_view) { o.params.decimalMark = DecimalMark::kComma; },
     "numbers are written 12,5 (the default in sheets apart at semicolons\n"
     "or tabs)",
     Field::kDecimalComma},
    {"--decimal-point", "", Group::kDelimited,
     [](CliOptions& o, std::string_view) { o.params.decimalMark = DecimalMark::kPoint; },
     "numbers are written 12.5 (the default in sheets apart at commas)", Field::kDecimalPoint},
    {"--no-header", "", Group::kDelimited, [](CliOptions& o, std::string_view) { o.params.header = false; },
     "the first line is a record, not the columns' names"},
    {"--help", "", Group::kOther, [](CliOptions& o, std::string_view) { o.help = true; }, "this text"},
    {"--version", "", Group::kOther, [](CliOptions& o, std::string_view) { o.version = true; },
     "the program's version"},
};

// Options that cannot go together, beyond the two groups of columns.
constexpr std::pair<std::string_view, std::string_view> kExclusive[] = {{"--decimal-comma", "--decimal-point"}};

// What each kind of file needs; the age column and the age go together.
constexpr std::string_view kFixedNeeds[] = {"--traits", "--age", "--site-col", "--block-col", "--family-col",
                                            "--age-col", "--trait-col"};
constexpr std::string_view kDelimitedNeeds[] = {"--site-column", "--block-column", "--family-column",
                                                "--trait-columns"};

const OptionRow* FindRow(std::string_view name) {
  for (const OptionRow& row : kRows)
    if (row.name == name) return &row;
  return nullptr;
}

std::string UnknownOption(std::string_view word) {
  const std::string_view name = word.substr(0, word.find('='));
  std::vector<std::string_view> names;
  for (const OptionRow& row : kRows) names.push_back(row.name);
  const std::string_view nearest = NearestName(name, names);
  std::string message = "unknown option '" + std::string(word) + "'";
  if (!nearest.empty()) message += "; did you mean '" + std::string(nearest) + "'?";
  return message;
}

std::string Joined(const std::vector<std::string_view>& names, std::string_view last) {
  std::string text;
  for (std::size_t n = 0; n < names.size(); ++n)
    text += (n == 0 ? "" : n + 1 == names.size() ? std::string(last) : std::string(", ")) + std::string(names[n]);
  return text;
}

FieldNames OptionFieldNames() {
  FieldNames names;
  for (const OptionRow& row : kRows) {
    if (row.widthField != Field::kCount) {
      names[static_cast<std::size_t>(row.field)] = std::string(row.name) + " start";
      names[static_cast<std::size_t>(row.widthField)] = std::string(row.name) + " width";
    } else if (row.field != Field::kCount) {
      names[static_cast<std::size_t>(row.field)] = std::string(row.name);
    }
  }
  return names;
}

}  // namespace

bool CliOptions::Named(std::string_view name) const {
  return std::find(named.begin(), named.end(), name) != named.end();
}

bool CliOptions::ColumnsNamed() const {
  return std::any_of(named.begin(), named.end(), [](const std::string& name) {
    const OptionRow* row = FindRow(name);
    return row->group == Group::kFixed || row->group == Group::kDelimited;
  });
}

CliOptions ParseOptions(const std::vector<std::string_view>& words) {
  CliOptions options;
  options.params.fieldNames = OptionFieldNames();
  std::vector<std::pair<const OptionRow*, std::string>> given;
  for (std::size_t n = 0; n < words.size(); ++n) {
    const std::string_view word = words[n] == "-h" ? std::string_view("--help") : words[n];
    if (!word.starts_with("--"))
      throw UsageError{"'" + std::string(word) + "' is no option; every value follows its option (--data FILE)"};
    const std::size_t equals = word.find('=');
    const OptionRow* row = FindRow(word.substr(0, equals));
    if (row == nullptr) throw UsageError{UnknownOption(word)};
    std::string value;
    if (equals != std::string_view::npos) {
      if (row->value.empty()) throw UsageError{std::string(row->name) + " takes no value"};
      value = word.substr(equals + 1);
    } else if (!row->value.empty()) {
      const bool next = n + 1 < words.size() && !words[n + 1].starts_with("--");
      if (next && (!row->optionalValue || !words[n + 1].starts_with("-"))) value = words[++n];
      else if (!row->optionalValue) throw UsageError{std::string(row->name) + " needs a value"};
    }
    for (const auto& [earlier, ignored] : given)
      if (earlier == row) throw UsageError{std::string(row->name) + " is given twice"};
    given.emplace_back(row, std::move(value));
  }
  // In the table's order, so that an option's setter sees the defaults of
  // those after it untouched.
  for (const OptionRow& row : kRows)
    for (const auto& [option, value] : given)
      if (option == &row) {
        row.set(options, value);
        options.named.emplace_back(row.name);
      }
  if (options.help || options.version) return options;
  for (const auto& [a, b] : kExclusive)
    if (options.Named(a) && options.Named(b))
      throw UsageError{std::string(a) + " and " + std::string(b) + " cannot go together; give one of them"};
  std::string_view fixed, delimited;
  for (const std::string& name : options.named) {
    const Group group = FindRow(name)->group;
    if (group == Group::kFixed && fixed.empty()) fixed = FindRow(name)->name;
    if (group == Group::kDelimited && delimited.empty()) delimited = FindRow(name)->name;
  }
  if (!fixed.empty() && !delimited.empty())
    throw UsageError{std::string(fixed) + " places a field of a fixed-column file, " + std::string(delimited) +
                     " a column of a delimited file; give the options of one kind"};
  options.params.delimited = !delimited.empty();
  // A count left out is no limit: the data decide.
  const std::pair<std::string_view, double*> capacities[] = {{"--sites", &options.params.nSite},
                                                             {"--blocks", &options.params.nBlock},
                                                             {"--families", &options.params.nFamily},
                                                             {"--records", &options.params.nRecord}};
  for (const auto& [name, count] : capacities)
    if (!options.Named(name)) *count = kNoLimit;
  const RunParameters& p = options.params;
  if (options.Named("--reml-pairs") && !p.reml)
    throw UsageError{"--reml-pairs names the pairs of --reml; give --reml too"};
  if (p.reml && p.jsonPath.empty() && p.tablesDir.empty() && p.htmlPath.empty())
    throw UsageError{"--reml adds REML and BLUP to the results files; name one with --json, --tables or --html"};
  return options;
}

void CheckOptionsGiven(CliOptions& options) {
  RunParameters& params = options.params;
  std::vector<std::string_view> missing;
  auto need = [&](std::string_view name) {
    if (!options.Named(name)) missing.push_back(name);
  };
  need("--data");
  if (options.preview == 0) need("--output");
  if (!missing.empty()) throw UsageError{"missing " + Joined(missing, ", ")};
  // A preview of a file alone shows what it holds; a run needs its columns.
  if (!options.ColumnsNamed()) {
    if (options.preview > 0) return;
    params.delimited = reading::LooksDelimited(params.dataPath);
  }
  if (params.delimited) {
    for (const std::string_view name : kDelimitedNeeds) need(name);
    if (options.Named("--age-column") || options.Named("--age")) {
      need("--age-column");
      need("--age");
    }
  } else {
    for (const std::string_view name : kFixedNeeds) need(name);
  }
  if (missing.empty()) return;
  if (!params.delimited) throw UsageError{"missing " + Joined(missing, ", ")};
  const reading::SheetHeader header = reading::ReadSheetHeader(params);
  throw UsageError{params.dataPath + " is a delimited file: name its columns with " + Joined(missing, " and ") +
                   (options.Named("--age-column") ? "" : " (and --age-column with --age to analyse one age)") +
                   "; its columns are " + reading::ColumnList(header.columns)};
}

// Where the help of an option starts, and the width it is wrapped to.
constexpr std::size_t kHelpColumn = 21, kHelpWidth = 79;

std::string HelpText() {
  std::string text =
      "usage: korvan-cli --data FILE --output FILE [options]\n"
      "       korvan-cli --preview [N] --data FILE [options]\n"
      "\n"
      "Least-squares analysis of variance and covariance of a forest progeny test\n"
      "planted at several sites (model y = u + s + r + f + sf + e).\n";
  const std::pair<Group, const char*> headings[] = {
      {Group::kRun, ""},
      {Group::kResults, "Results beside the report:"},
      {Group::kCounts, "The design and the age:"},
      {Group::kFixed, "A fixed-column file:"},
      {Group::kDelimited, "A delimited file (a sheet saved as CSV):"},
      {Group::kOther, ""}};
  for (const auto& [group, heading] : headings) {
    text += "\n";
    if (*heading != '\0') text += std::string(heading) + "\n";
    for (const OptionRow& row : kRows) {
      if (row.group != group) continue;
      std::string line = "  " + std::string(row.name);
      if (!row.value.empty()) line += std::string(row.optionalValue ? " [" : " ") + std::string(row.value) + (row.optionalValue ? "]" : "");
      if (line.size() + 1 > kHelpColumn && !row.help.empty()) {
        text += line + "\n";
        line.clear();
      }
      // The help is one paragraph, wrapped to the terminal's usual width.
      std::string_view words = row.help;
      bool any = false;
      while (!words.empty() || !any) {
        if (line.size() < kHelpColumn && !words.empty()) line.resize(kHelpColumn, ' ');
        while (!words.empty()) {
          const std::size_t end = std::min(words.find_first_of(" \n"), words.size());
          if (line.size() > kHelpColumn && line.size() + 1 + end > kHelpWidth) break;
          if (line.size() > kHelpColumn) line += ' ';
          line.append(words.substr(0, end));
          words.remove_prefix(std::min(end + 1, words.size()));
        }
        text += line + "\n";
        line.clear();
        any = true;
      }
    }
  }
  text +=
      "\n"
      "Codes that are not plain numbers are names: 12a and 12b are two families;\n"
      "numeric codes are told apart by their exact value (07 and 7 are one).\n"
      "Lines starting with ':' are comments. Exit status: 0 done, 1 the run failed,\n"
      "2 the options are wrong.\n";
  return text;
}

}  // namespace korvan::cli
