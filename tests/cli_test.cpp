#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "cli/options.h"
#include "support/test_support.h"

namespace korvan {
namespace {

using test::CliResult;
using test::ReadFile;
using test::ReadLines;
using test::RunCli;
using test::SourcePath;
using test::TempDir;
using test::WriteFile;
using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

std::vector<std::string> Plus(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// The command of examples/README.md for the small example, with the
// report, and the procedure file when wanted, in `dir`.
std::vector<std::string> ExampleArgs(const TempDir& dir, bool procedure) {
  std::vector<std::string> args = {
      "--data", SourcePath("examples/small_trial.dat"), "--output", dir / "small_trial.out",
      "--sites", "3", "--blocks", "3", "--families", "5", "--records", "36", "--traits", "2", "--age", "10",
      "--site-col", "1,4", "--block-col", "5,3", "--family-col", "8,4", "--age-col", "12,3",
      "--trait-col", "15,8"};
  return procedure ? Plus(args, {"--procedure", dir / "small_trial.procedure"}) : args;
}

std::vector<std::string> With(std::vector<std::string> args, const std::string& option, const std::string& value) {
  for (std::size_t n = 0; n + 1 < args.size(); ++n)
    if (args[n] == option) args[n + 1] = value;
  return args;
}

std::vector<std::string> Without(std::vector<std::string> args, const std::string& option) {
  for (std::size_t n = 0; n + 1 < args.size(); ++n)
    if (args[n] == option) args.erase(args.begin() + n, args.begin() + n + 2);
  return args;
}

TEST(Cli, UsageErrorsNameTheOptionAndExitWith2) {
  TempDir dir;
  const std::vector<std::string> args = ExampleArgs(dir, false);
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {Without(Without(args, "--traits"), "--age-col"), "missing --traits, --age-col"},
      {Plus(args, {"--site-column", "site"}),
       "--site-col places a field of a fixed-column file, --site-column a column of a delimited file"},
      {Plus(args, {"--missing", "skip"}), "--missing: 'skip' is not stop, drop or zero"},
      {Plus(args, {"--delimiter", "pipe"}), "--delimiter: 'pipe' is not comma, semicolon or tab"},
      {With(args, "--records", "36x"), "--records: '36x' is not a number"},
      {With(args, "--age", ""), "--age: '' is not an age (a number, such as 10 or 3y)"},
      {With(args, "--families", "nan"), "--families: 'nan' is not a number"},
      {With(args, "--site-col", "1"), "--site-col: '1' is not START,WIDTH"},
      {With(args, "--trait-col", "15,"), "--trait-col: '' is not START,WIDTH"},
      {Plus(args, {"--sites", "4"}), "--sites is given twice"},
      {Plus(args, {"--procedure"}), "--procedure needs a value"},
      {Plus(args, {"--quiet=1"}), "--quiet takes no value"},
      {{"--data=a", "--colour", "red"}, "unknown option '--colour'; see"},  // too far from any option to guess
      {{"--site-cols=1,4"}, "unknown option '--site-cols=1,4'; did you mean '--site-col'?; see"},
      {{"--data", "a.dat", "b.dat"}, "'b.dat' is no option; every value follows its option (--data FILE)"},
      {With(args, "--age", "ten"), "--age: 'ten' is not an age (a number, such as 10 or 3y)"},
      {{"--data", "x.csv", "--site-column", "site", "--decimal-comma", "--decimal-point"},
       "--decimal-comma and --decimal-point cannot go together"},
  };
  // One line: what is wrong, and where the options are explained.
  for (const Case& c : cases) {
    const CliResult result = RunCli(c.args);
    EXPECT_EQ(result.exitCode, 2) << c.message;
    EXPECT_THAT(result.err, StartsWith(std::string("korvan-cli: ") + c.message));
    EXPECT_THAT(result.err, EndsWith("; see korvan-cli --help\n"));
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "small_trial.out"));

  const CliResult help = RunCli({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_THAT(help.out, HasSubstr("--trait-col START,WIDTH"));
  EXPECT_THAT(RunCli({"--version"}).out, StartsWith("korvan-cli " KORVAN_VERSION "\n"));
}

// The option table read without a process: what each kind of value fills,
// and the checks that need the data file's first record.
TEST(CliOptions, WordsFillTheRunParameters) {
  auto parse = [](std::vector<std::string_view> words) { return cli::ParseOptions(words); };
  const cli::CliOptions sheet = parse({"--data=x.csv", "--output", "x.out", "--site-column", "Spacing",
                                       "--trait-columns", "dj-h5,7", "--age", "3y", "--decimal-point", "--preview"});
  EXPECT_EQ(sheet.params.dataPath, "x.csv");
  EXPECT_TRUE(sheet.params.delimited);
  EXPECT_EQ(sheet.params.traitColumns, (std::vector<std::string>{"dj-h5", "7"}));
  EXPECT_EQ(sheet.params.ageSel, 3);
  EXPECT_EQ(sheet.params.decimalMark, DecimalMark::kPoint);
  EXPECT_EQ(sheet.preview, 10);  // left out: ten records
  EXPECT_EQ(sheet.params.nSite, kNoLimit);  // a count left out is no limit
  EXPECT_EQ(sheet.params.NameOf(Field::kSiteColumn), "--site-column");
  const cli::CliOptions fixed = parse({"--trait-col", "19,10", "--preview", "3", "--sites", "4", "--age", "1e1"});
  EXPECT_EQ((std::array{fixed.params.colTrait, fixed.params.wTrait, fixed.params.nSite, fixed.params.ageSel}),
            (std::array{19.0, 10.0, 4.0, 10.0}));
  EXPECT_EQ(fixed.preview, 3);
  EXPECT_EQ(fixed.params.NameOf(Field::kTraitWidth), "--trait-col width");

  // A sheet without its columns: the options it needs and its header, in one message.
  TempDir dir;
  WriteFile(dir / "trial.txt", ":comment\nSpacing;Rep;Family;dj;h5\n1;1;20170016;0,5;2\n");
  const std::string trial = dir / "trial.txt";
  cli::CliOptions bare = parse({"--data", trial, "--output", "x.out"});
  try {
    cli::CheckOptionsGiven(bare);
    ADD_FAILURE() << "a sheet without columns ran";
  } catch (const cli::UsageError& error) {
    EXPECT_EQ(error.message, dir / "trial.txt" + " is a delimited file: name its columns with --site-column, "
                             "--block-column, --family-column and --trait-columns (and --age-column with --age to "
                             "analyse one age); its columns are 1 Spacing, 2 Rep, 3 Family, 4 dj, 5 h5");
  }
  cli::CliOptions preview = parse({"--data", trial, "--preview"});
  EXPECT_NO_THROW(cli::CheckOptionsGiven(preview));  // a preview of the file alone shows its columns
}

// Accession numbers of eight and twelve digits stay apart and keep every
// digit in the report; codes single precision writes exactly keep their
// bytes.
TEST(Cli, LongNumericCodesKeepEveryDigit) {
  TempDir dir;
  std::string data;
  const char* families[] = {"20170016", "20170017", "201700170001", "201700170002", "7"};
  for (int site = 1; site <= 2; ++site)
    for (int block = 1; block <= 2; ++block)
      for (int f = 0; f < 5; ++f)
        for (int tree = 0; tree < 2; ++tree) {
          char line[80];
          std::snprintf(line, sizeof line, "%4d%4d%13s  10%10.2f\n", site, block, families[f],
                        10.0 + f + 0.37 * site + 0.11 * block + 0.5 * tree + 0.07 * ((f * 7 + tree * 3 + block) % 5));
          data += line;
        }
  WriteFile(dir / "codes.dat", data);
  const CliResult result = RunCli({"--data", dir / "codes.dat", "--output", dir / "codes.out", "--traits", "1",
                                   "--age", "10", "--site-col", "1,4", "--block-col", "5,4", "--family-col", "9,13",
                                   "--age-col", "22,4", "--trait-col", "26,10", "--quiet"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const std::vector<std::string> lines = ReadLines(dir / "codes.out");
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(lines[1], " 1   2   ");
  std::vector<std::string> codes;
  for (std::size_t n = 2; n < 7; ++n) codes.push_back(lines[n].substr(0, lines[n].find("  ", 2)));
  EXPECT_EQ(codes, (std::vector<std::string>{"  20170016", "  20170017", "  201700170001", "  201700170002", "  7"}));
  const CliResult preview = RunCli({"--preview", "1", "--data", dir / "codes.dat", "--traits", "1", "--age", "10",
                                    "--site-col", "1,4", "--block-col", "5,4", "--family-col", "9,13", "--age-col",
                                    "22,4", "--trait-col", "26,10"});
  EXPECT_THAT(preview.out, HasSubstr("'     20170016' -> 20170016\n"));
  EXPECT_THAT(preview.out, HasSubstr("families: 5: 20170016, 20170017, 201700170001, 201700170002, 7\n"));
}

TEST(Cli, ExampleWritesReportHeadAndEveryListingLine) {
  TempDir dir;
  std::vector<std::string> args = ExampleArgs(dir, true);
  args = With(args, "--age", "1e1");  // the same age, written otherwise: options are numbers
  args = With(args, "--site-col", "1,4.5");  // a width of 4.5 goes to the even 4
  const CliResult result = RunCli(args);
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_THAT(result.err, testing::MatchesRegex(
                              "korvan-cli: wrote .*small_trial.out, .*small_trial.procedure: 36 records, 3 sites, 8 blocks, 5 families, "
                              "2 traits, [0-9]+\\.[0-9][0-9] s\n"));

  // Sites 30, 10 and 20 in order of first occurrence; lines end CR LF.
  const std::string report = ReadFile(dir / "small_trial.out");
  EXPECT_THAT(report, StartsWith((dir / "small_trial.out") + "\r\n 30   10   20   \r\n"));

  // The record lines and both listings, from an independent implementation
  // of the reader and the column-by-column removal; the age-5 records and
  // the comment lines are not among them. Nothing is cleared in the file.
  const std::vector<std::string> expected = ReadLines(SourcePath("tests/data/small_trial_listings.txt"));
  const std::vector<std::string> procedure = ReadLines(dir / "small_trial.procedure");
  ASSERT_GE(procedure.size(), expected.size() + 1);
  EXPECT_EQ(std::vector<std::string>(procedure.begin(), procedure.begin() + expected.size()), expected);
  EXPECT_THAT(procedure.back(), testing::MatchesRegex(" Start at [0-9]{2}:[0-9]{2}:[0-9]{2} and Ended at "
                                                      "[0-9]{2}:[0-9]{2}:[0-9]{2}"));
  const std::string text = ReadFile(dir / "small_trial.procedure");
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_EQ(text.back(), '\n');
}

TEST(Cli, FailedRunExitsWith1AndLeavesEarlierFilesUntouched) {
  TempDir dir;
  WriteFile(dir / "small_trial.out", "an earlier report\r\n");
  WriteFile(dir / "small_trial.procedure", "an earlier procedure\n");
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const std::vector<std::string> args = ExampleArgs(dir, true);
  const Case cases[] = {
      {With(args, "--sites", "2"), "the data hold 3 sites, more than --sites = 2"},
      {With(args, "--records", "35"), "the data hold 36 records of age 10, more than --records = 35"},
      {With(args, "--site-col", "0,4"), "--site-col start: 0 is below 1"},
      {With(args, "--traits", "2.5"), "--traits: 2.5 is not a whole number"},
      {With(args, "--output", SourcePath("examples/small_trial.dat")), "--output: the output file is the data file"},
      {With(args, "--procedure", dir / "small_trial.out"), "--procedure: the procedure file is the output file"},
      {With(args, "--data", dir / "absent.dat"), "absent.dat does not exist"},
  };
  for (const Case& c : cases) {
    const CliResult result = RunCli(c.args);
    EXPECT_EQ(result.exitCode, 1) << c.message;
    EXPECT_THAT(result.err, StartsWith("korvan-cli: error: "));
    EXPECT_THAT(result.err, HasSubstr(c.message));
  }
  EXPECT_EQ(ReadFile(dir / "small_trial.out"), "an earlier report\r\n");
  EXPECT_EQ(ReadFile(dir / "small_trial.procedure"), "an earlier procedure\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2) << "temporary files left";
}

TEST(Cli, FieldsWithoutNumbersAreCountedOnStderr) {
  TempDir dir;
  // Lines 2 and 4 lack their second trait, read as 0 as the method reads
  // them; line 3 has no family code.
  // The trees after them make a design the set-up accepts (two sites).
  WriteFile(dir / "gaps.dat", ":site blk fam age  height     dbh\n"
                              "  30  1 103 10    7.68\n"
                              "  30  1     10    8.67    12.4\n"
                              "  30  2 102 10    8.85\n"
                              "  30  2 103 10    7.10    11.0\n"
                              "  30  2   0 10    7.90    11.9\n"
                              "  30  1 102 10    8.20    12.1\n"
                              "  40  1 103 10    6.95    10.8\n"
                              "  40  1   0 10    7.40    11.2\n"
                              "  40  1 102 10    8.05    12.0\n"
                              "  40  2 103 10    7.25    11.1\n"
                              "  40  2   0 10    7.70    11.6\n"
                              "  40  2 102 10    8.40    12.3\n");
  std::vector<std::string> args = With(ExampleArgs(dir, false), "--data", dir / "gaps.dat");
  args.insert(args.end(), {"--quiet", "--missing", "zero"});
  const CliResult result = RunCli(args);
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.err,
            "korvan-cli: warning: 1 site, block or family field was empty and read as code 0 (on line 3 of " +
                (dir / "gaps.dat") + "): the trees of such fields form a level of their own; check the start "
                "positions and widths\n"
                "korvan-cli: warning: 2 trait fields were empty, blank, a missing code or no number and read as 0 "
                "(the first on line 2 of " + (dir / "gaps.dat") + "), which biases the means, the variances and the "
                "heritabilities (--missing zero); --missing drop leaves those trees out instead\n");
}

// The benchmark driver's per-stage seconds: the stages are disjoint parts of
// the run, so together they cannot exceed the total; asking for them must not
// change the report.
TEST(Cli, TimingsListEveryStageWithinTheTotal) {
  TempDir dir;
  std::vector<std::string> args = ExampleArgs(dir, false);
  ASSERT_EQ(RunCli(args).exitCode, 0);
  const std::string plainReport = ReadFile(dir / "small_trial.out");
  const CliResult result = RunCli(Plus(args, {"--timings", dir / "timings.txt"}));
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(ReadFile(dir / "small_trial.out"), plainReport);

  const std::vector<std::string> lines = ReadLines(dir / "timings.txt");
  ASSERT_GE(lines.size(), 3u);
  const std::regex shape("([a-z-]+) ([0-9]+\\.[0-9]{6})");
  double stageSum = 0, total = -1;
  for (std::size_t n = 0; n < lines.size(); ++n) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[n], m, shape)) << lines[n];
    if (n + 1 < lines.size()) stageSum += std::stod(m[2]);
    else total = std::stod(m[2]);
  }
  EXPECT_THAT(lines.front(), StartsWith("read "));
  EXPECT_THAT(lines.back(), StartsWith("total "));
  // Each figure is rounded to 6 decimals: half a microsecond per line.
  EXPECT_LE(stageSum, total + 0.5e-6 * static_cast<double>(lines.size())) << ReadFile(dir / "timings.txt");
}

// The maize trial as fixed columns, as a sheet with its site and hybrid
// names (comma; semicolon with decimal commas) and as a sheet of its codes.
TEST(Cli, MaizeSheetsGiveTheFixedColumnReport) {
  TempDir dir;
  const std::vector<std::string> fixed = {"--data", SourcePath("examples/maize2010_6traits.dat"), "--output",
      dir / "fixed.out", "--traits", "6", "--age", "10", "--site-col", "1,4", "--block-col", "5,4",
      "--family-col", "9,6", "--age-col", "15,4", "--trait-col", "19,10"};
  ASSERT_EQ(RunCli(fixed).exitCode, 0);
  std::vector<std::string> expected = ReadLines(dir / "fixed.out");
  expected.erase(expected.begin());
  // Each name in place of its code, a token between blanks.
  std::map<std::string, std::string> codeOf;
  for (const std::string& line : ReadLines(SourcePath("examples/maize2010_6traits_codes.csv"))) {
    const std::regex entry("\"(site|family)\",([0-9]+),\"([^\"]+)\"\r?");
    if (std::smatch m; std::regex_match(line, m, entry)) codeOf[m[3]] = m[2];
  }
  auto asCodes = [&](const std::string& report) {
    std::vector<std::string> lines = ReadLines(report);
    lines.erase(lines.begin());
    for (std::string& line : lines) {
      std::string coded;
      for (std::size_t at = 0, end; at <= line.size(); at = end + 1) {
        end = std::min(line.find(' ', at), line.size());
        const std::string token = line.substr(at, end - at);
        coded += (at == 0 ? "" : " ") + (codeOf.count(token) ? codeOf[token] : token);
      }
      line = coded;
    }
    return lines;
  };
  const std::string sheet = ReadFile(SourcePath("examples/maize2010_6traits.csv"));
  std::string european = sheet, codes = "site,rep,family,age,t1,t2,t3,t4,t5,t6\n";
  std::replace(european.begin(), european.end(), ',', ';');
  std::replace(european.begin(), european.end(), '.', ',');
  for (const std::string& line : ReadLines(SourcePath("examples/maize2010_6traits.dat")))
    codes += std::regex_replace(std::regex_replace(line, std::regex("^ +| +$"), ""), std::regex(" +"), ",") + "\n";
  WriteFile(dir / "european.csv", european);
  WriteFile(dir / "codes.csv", codes);
  const std::vector<std::string> columns = {"--site-column", "site", "--block-column", "rep", "--trait-columns",
                                            "5-10", "--output", dir / "sheet.out"};
  const std::vector<std::vector<std::string>> sheets = {
      {"--data", SourcePath("examples/maize2010_6traits.csv"), "--family-column", "hybrid"},
      {"--data", dir / "european.csv", "--family-column", "3", "--age-column", "Age", "--age", "10y"},
      {"--data", dir / "codes.csv", "--family-column", "family", "--delimiter", "comma"}};
  for (const std::vector<std::string>& args : sheets) {
    const CliResult result = RunCli(Plus(columns, args));
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(asCodes(dir / "sheet.out"), expected) << args[1];
    std::vector<std::string> lines = ReadLines(dir / "sheet.out");
    lines.erase(lines.begin());
    if (args[1] == dir / "codes.csv") {
      EXPECT_EQ(lines, expected);  // numbers as codes: not even a name differs
    }
  }

  // The semicolon sheet is read with its decimal commas, and says so; read
  // with points, its trait fields are no numbers and the run stops.
  const CliResult commas = RunCli(Plus(columns, {"--data", dir / "european.csv", "--family-column", "3"}));
  EXPECT_THAT(commas.err, HasSubstr("korvan-cli: note: 10590 trait fields written with decimal commas (67,000 on "
                                    "line 2) were read as decimals\n"));
  const CliResult points =
      RunCli(Plus(columns, {"--data", dir / "european.csv", "--family-column", "3", "--decimal-point"}));
  EXPECT_EQ(points.exitCode, 1);
  EXPECT_EQ(points.err, "korvan-cli: error: trait days_to_flower (column 5) holds no number in any of the 1765 "
                        "records (the first is line 2 of " + (dir / "european.csv") + "): '67,000' on line 2 is none "
                        "as numbers are read with decimal points; if the sheet writes decimal commas (12,5), read it "
                        "with --decimal-comma\n");
  // A field with a thousands separator, or two points, is no number: it
  // stops the run as a missing value does, naming its column and line.
  std::string separators = european;
  auto replaceField = [&separators](int line, int field, const std::string& value) {
    std::size_t at = 0;
    for (int n = 1; n < line; ++n) at = separators.find('\n', at) + 1;
    for (int n = 1; n < field; ++n) at = separators.find(';', at) + 1;
    separators.replace(at, separators.find_first_of(";\n", at) - at, value);
  };
  replaceField(2, 5, "1.067,0");
  replaceField(10, 6, "2.5.6");
  WriteFile(dir / "separators.csv", separators);
  const CliResult separated =
      RunCli(Plus(columns, {"--data", dir / "separators.csv", "--family-column", "3"}));
  EXPECT_EQ(separated.exitCode, 1);
  EXPECT_THAT(separated.err, HasSubstr("2 records in " + (dir / "separators.csv") + " lack trait values (trait "
                                       "days_to_flower: '1.067,0' on line 2, which is no number; trait "
                                       "plant_height_cm: '2.5.6' on line 10, which is no number)"));
  EXPECT_THAT(separated.err, HasSubstr("; the numbers are read with decimal commas (12,5), as a sheet apart at "
                                       "semicolons writes them, and a number holds no thousands separator (1.234,5); "
                                       "if the sheet writes decimal points, read it with --decimal-point; a field is "
                                       "missing when"));
  const CliResult separatedDrop =
      RunCli(Plus(columns, {"--data", dir / "separators.csv", "--family-column", "3", "--missing", "drop"}));
  EXPECT_THAT(separatedDrop.err, HasSubstr("1763 records, 10 sites"));

  // NA in 35 trait fields: stop, leave the trees out, or read the values as 0.
  std::string gaps = sheet;
  for (std::size_t n = 0, at = 0; n < 35; ++n) {
    at = gaps.find('\n', at + 1500);
    gaps.replace(gaps.rfind(',', at) + 1, gaps.find('\n', gaps.rfind(',', at)) - gaps.rfind(',', at) - 1, "NA");
  }
  WriteFile(dir / "gaps.csv", gaps);
  const std::vector<std::string> gapped = Plus(columns, {"--data", dir / "gaps.csv", "--family-column", "hybrid"});
  const CliResult stop = RunCli(gapped);
  EXPECT_EQ(stop.exitCode, 1);
  EXPECT_THAT(stop.err,
              HasSubstr("35 records in " + (dir / "gaps.csv") + " lack trait values (trait yield_mt_ha: 35 records"));
  EXPECT_THAT(stop.err, HasSubstr("(--missing drop), or read the values as 0 (--missing zero)\n"));
  const CliResult drop = RunCli(Plus(gapped, {"--missing", "drop"}));
  EXPECT_THAT(drop.err, HasSubstr("35 records of " + (dir / "gaps.csv") + " lacked trait values and were left out"));
  EXPECT_THAT(drop.err, HasSubstr("1730 records, 10 sites, 40 blocks, 93 families, 6 traits, 35 records that lack"));
  const CliResult zero = RunCli(Plus(gapped, {"--missing", "zero"}));
  EXPECT_THAT(zero.err, HasSubstr("35 trait fields were empty, blank, a missing code or no number and read as 0"));
}

// Mis-set fields of the bamboo trial warn and still run; right-aligned
// fields that merely touch (the maize file) do not; a packed file does.
TEST(Cli, FieldsThatLookMisSetAreShownUnderARuler) {
  TempDir dir;
  const std::string bamboo = SourcePath("examples/bamboo_height.dat");
  const std::vector<std::string> fields = {"--output", dir / "trial.out", "--age", "10", "--site-col", "1,4",
                                           "--block-col", "5,4", "--age-col", "15,4"};
  std::string packed;
  for (const std::string& line : ReadLines(bamboo)) packed += std::regex_replace(line, std::regex(" "), "0") + "\n";
  WriteFile(dir / "packed.dat", packed);
  struct Case {
    std::vector<std::string> args;
    std::string warning;  // "" for none
  };
  const Case cases[] = {
      {{"--data", bamboo, "--family-col", "9,6", "--trait-col", "24,10", "--traits", "1"},
       "warning: a number runs across the first character of trait 1 (between characters 23 and 24) in 51 of the "
       "216 records of age 10: the field may start or end inside the numbers; check --trait-col start and "
       "--trait-col width (in a file packed without blanks between its fields this is expected). Line 1 of " +
       bamboo + ":\n         1         2        \n1234567890123456789012345678\n   2   1     1  10    142.00\n"
       "                      ^^\n"},
      {{"--data", bamboo, "--family-col", "9,10", "--trait-col", "19,10", "--traits", "1"},
       "warning: the family field (characters 9 to 18) holds two numbers apart in 216 of the 216 records of age 10, "
       "read as one code; it may take in a neighbouring field: check --family-col start and --family-col width. "
       "Line 1 of " + bamboo + ":\n"},
      {{"--data", dir / "packed.dat", "--family-col", "9,6", "--trait-col", "19,10", "--traits", "1"},
       "warning: a number runs across the last character of the site field and the first character of the block "
       "field (between characters 4 and 5) in 216 of the 216"},
      {{"--data", SourcePath("examples/maize2010_6traits.dat"), "--family-col", "9,6", "--trait-col", "19,10",
        "--traits", "6"}, ""},
  };
  for (const Case& c : cases) {
    const CliResult result = RunCli(Plus(fields, c.args));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    // Maize draws the precision guard's warning, not a field's.
    if (c.warning.empty()) EXPECT_THAT(result.err, AllOf(Not(HasSubstr("runs across")), Not(HasSubstr("two numbers"))));
    else EXPECT_THAT(result.err, HasSubstr(c.warning));
  }
}

// A look before a run: no report, the fields as taken and what they read.
TEST(Cli, PreviewShowsFieldsLevelsAndNeedsWithoutAReport) {
  TempDir dir;
  std::string sheet = "site;block;family;h\n:a comment\nA;1;12a;1,5\nA;2;12b;NA\nB;1;12;2,5\n";
  WriteFile(dir / "trial.csv", sheet);
  const CliResult result = RunCli({"--preview", "2", "--data", dir / "trial.csv", "--site-column", "site",
                                   "--block-column", "block", "--family-column", "3", "--trait-columns", "h",
                                   "--decimal-comma", "--sites", "1"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out,
            "data file " + (dir / "trial.csv") + ": delimited, fields apart at semicolons, numbers with decimal "
            "commas, 5 lines (1 comment)\n"
            "record 1 (line 3):\n"
            "  site     column 1           'A' -> the name 'A'\n"
            "  block    column 2           '1' -> 1\n"
            "  family   column 3           '12a' -> the name '12a'\n"
            "  trait h  column 4           '1,5' -> 1.5\n"
            "record 2 (line 4):\n"
            "  site     column 1           'A' -> the name 'A'\n"
            "  block    column 2           '2' -> 2\n"
            "  family   column 3           '12b' -> the name '12b'\n"
            "  trait h  column 4           'NA' -> missing\n"
            "records: 3\nsites: 2\n  A: 2 blocks (1, 2)\n  B: 1 block (1)\nfamilies: 3: 12a, 12b, 12\n"
            "site x family cells: 3 of 6\nmissing values: trait h: 1 (the first on line 4); 1 record lacks some trait\n"
            "a run needs: --sites 2 --blocks 2 --families 3 --records 3 (or none of them: the data decide)\n"
            "note: 2 trait fields written with decimal commas (1,5 on line 3) were read as decimals\n"
            "warning: a run would stop: 1 record in " + (dir / "trial.csv") + " lacks trait values (trait h: 1 "
            "record, the first on line 4); a field is missing when it is empty, blank or NA, ., * or -. Leave those "
            "trees out of the analysis (--missing drop), or read the values as 0 (--missing zero)\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << "a preview writes no file";
  const CliResult bamboo = RunCli({"--preview", "--data", SourcePath("examples/bamboo_height.dat"), "--traits", "1",
                                   "--age", "10", "--site-col", "1,4", "--block-col", "5,4", "--family-col", "9,6",
                                   "--age-col", "15,4", "--trait-col", "24,10"});
  EXPECT_THAT(bamboo.out, HasSubstr("  trait 1  characters 24-33   '42.00' -> 42\n"));
  EXPECT_THAT(bamboo.out, HasSubstr("ages: 10 (216 records)\nrecords of age 10: 216\n"));
  EXPECT_THAT(bamboo.out, HasSubstr("\nwarning: a number runs across the first character of trait 1"));
}

// Counts stated with the public data sets, found independently of korvan.
void ExpectPublishedCounts(const std::string& data, const std::vector<std::string>& counts, const char* summary) {
  TempDir dir;
  const CliResult result = RunCli({"--data", data, "--output", dir / "trial.out", "--sites", counts[0], "--blocks",
                                   counts[1], "--families", counts[2], "--records", counts[3], "--traits", counts[4],
                                   "--age", counts[5], "--site-col", "1,4", "--block-col", "5,4", "--family-col",
                                   "9,6", "--age-col", "15,4", "--trait-col", "19,10"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_THAT(result.err, HasSubstr(summary));
}

TEST(Cli, RealTrialsGiveTheirPublishedCounts) {
  ExpectPublishedCounts(SourcePath("examples/bamboo_height.dat"), {"2", "3", "6", "216", "1", "10"},
                        "216 records, 2 sites, 6 blocks, 6 families, 1 trait,");
  ExpectPublishedCounts(SourcePath("examples/maize2010_6traits.dat"), {"10", "4", "93", "1765", "6", "10"},
                        "1765 records, 10 sites, 40 blocks, 93 families, 6 traits,");
}

TEST(Cli, DouglasFirGivesItsPublishedCounts) {
  const std::string data = SourcePath("../shared/data/douglas_c13.dat");
  if (!std::filesystem::exists(data))
    GTEST_SKIP() << data << " is absent: the Douglas-fir trial (GPL-3) is not part of the repository";
  ExpectPublishedCounts(data, {"3", "53", "109", "8688", "1", "15"},
                        "8688 records, 3 sites, 127 blocks, 109 families, 1 trait,");
}

}  // namespace
}  // namespace korvan
