// Bad input and faults, as a user meets them through the batch program: each
// must end with exit status 1 (2 for malformed options) and one message that
// says what is wrong and where, and must leave every file as it was: no
// report, no procedure file, no temporary file, the earlier report and the
// data untouched byte for byte.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "input/rundata.h"
#include "support/test_support.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;
using test::CliResult;
using test::ReadFile;
using test::RunCli;
using test::TempDir;
using test::WriteFile;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// One tree: its site, block and family codes and two trait values.
struct Tree {
  int site, block, family;
  double height, diameter;
};

// Three sites (codes 30, 10, 20) of three blocks, five families (101..105)
// in every block, two trees to a plot: a sound design that the whole
// analysis accepts. The values vary by site, family and tree.
std::vector<Tree> SoundTrial() {
  std::vector<Tree> trees;
  unsigned noise = 12345;
  const int sites[] = {30, 10, 20};
  for (int s = 0; s < 3; ++s)
    for (int block = 1; block <= 3; ++block)
      for (int family = 101; family <= 105; ++family)
        for (int tree = 0; tree < 2; ++tree) {
          noise = noise * 1103515245u + 12345u;
          const int wobble = static_cast<int>((noise >> 16) % 200) - 100;
          trees.push_back({sites[s], block, family, 6.0 + s + 0.3 * (family - 100) + wobble / 100.0,
                           11.0 + 0.5 * (family - 100) + block * 0.2 + wobble / 50.0});
        }
  return trees;
}

// The layout of examples/small_trial.dat: site 1-4, block 5-7, family 8-11,
// age 12-14, traits of 8 from 15. Comment lines and age-5 trees around them.
std::string TrialText(const std::vector<Tree>& trees) {
  std::string text = ":site blk fam age  height     dbh\n";
  char line[96];
  int lastSite = 0;
  for (const Tree& t : trees) {
    std::snprintf(line, sizeof line, "%4d%3d%4d%3d%8.2f%8.2f\n", t.site, t.block, t.family, 10, t.height,
                  t.diameter);
    text += line;
    if (t.site != lastSite) {
      std::snprintf(line, sizeof line, "%4d%3d%4d%3d%8.2f%8.2f\n", t.site, t.block, t.family, 5, 3.5, 4.5);
      text += line;
      lastSite = t.site;
    }
  }
  return text;
}

// Every file under `folder` with its size and a hash of its contents, to see
// that a failed run changed, added and removed nothing.
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    std::string& what = files[entry.path().string()];
    if (entry.is_symlink()) what = "a link";
    else if (entry.is_directory()) what = "a folder";
    else {
      const std::string contents = ReadFile(entry.path());
      what = std::to_string(contents.size()) + " bytes, hash " + std::to_string(std::hash<std::string>{}(contents));
    }
  }
  return files;
}

void AppendQuoted(std::string& command, const std::string& word) {
  command += " '";
  for (const char c : word) {
    if (c == '\'') command += "'\\''";
    else command += c;
  }
  command += '\'';
}

// The batch program started by `shellPrefix` (a resource limit, then exec;
// or exec as another user), its standard error read through a pipe: a file-size limit would
// stop the message itself from being written to a file.
CliResult RunCliUnder(const std::string& shellPrefix, const std::vector<std::string>& args) {
  std::string command = shellPrefix;
  AppendQuoted(command, KORVAN_CLI_PATH);
  for (const std::string& a : args) AppendQuoted(command, a);
  command += " </dev/null 2>&1";
  CliResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.err.append(buffer, got);
  const int status = ::pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// Root reads and writes every file: permission faults are seen only by
// another user. Empty when the program cannot be run as one.
std::string UnprivilegedPrefix() {
  if (::geteuid() != 0) return "exec";
  const std::string prefix = "exec setpriv --reuid=65534 --regid=65534 --clear-groups";
  if (RunCliUnder(prefix, {"--version"}).exitCode != 0) return "";
  return prefix;
}

// One run of the catalogue: a folder with the data file `trial.dat`, an
// output folder `out` that already holds a report and a procedure file of
// an earlier run, and the command that would analyse the data.
class BadRun {
 public:
  BadRun() {
    fs::create_directory(dir_.path() / "out");
    WriteFile(DataPath(), TrialText(SoundTrial()));
    WriteFile(ReportPath(), "an earlier report\r\n");
    WriteFile(ProcedurePath(), "an earlier procedure\n");
    args_ = {"--data", DataPath(), "--output", ReportPath(), "--procedure", ProcedurePath(),
             "--sites", "3", "--blocks", "3", "--families", "5", "--records", "90", "--traits", "2",
             "--age", "10", "--site-col", "1,4", "--block-col", "5,3", "--family-col", "8,4",
             "--age-col", "12,3", "--trait-col", "15,8"};
  }

  const TempDir& dir() const { return dir_; }
  std::string DataPath() const { return dir_ / "trial.dat"; }
  std::string ReportPath() const { return dir_ / "out/trial.out"; }
  std::string ProcedurePath() const { return dir_ / "out/trial.procedure"; }
  std::vector<std::string>& args() { return args_; }

  void Data(const std::string& text) { WriteFile(DataPath(), text); }
  void Trees(const std::vector<Tree>& trees) { Data(TrialText(trees)); }
  // Sets an option's value, or adds the option.
  void Set(const std::string& option, const std::string& value) {
    for (std::size_t n = 0; n + 1 < args_.size(); ++n)
      if (args_[n] == option) {
        args_[n + 1] = value;
        return;
      }
    args_.insert(args_.end(), {option, value});
  }
  void Drop(const std::string& option) {
    for (std::size_t n = 0; n + 1 < args_.size(); ++n)
      if (args_[n] == option) args_.erase(args_.begin() + n, args_.begin() + n + 2);
  }
  // The message with $D standing for the run's folder.
  std::string Expand(std::string text) const {
    for (std::size_t at; (at = text.find("$D")) != std::string::npos;) text.replace(at, 2, dir_.path().string());
    return text;
  }

 private:
  TempDir dir_;
  std::vector<std::string> args_;
};

struct Case {
  const char* name;
  std::function<void(BadRun&)> make;  // spoils the data, the files or the options
  std::string message;                // in the message; $D is the run's folder
  int exitCode = 1;
};

// Runs one case and checks everything a failed run must leave behind.
void ExpectCleanFailure(const Case& c, const std::string& shellPrefix = "") {
  SCOPED_TRACE(c.name);
  BadRun run;
  c.make(run);
  const auto before = Snapshot(run.dir().path());
  const CliResult result = shellPrefix.empty() ? RunCli(run.args()) : RunCliUnder(shellPrefix, run.args());
  EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
  if (c.exitCode == 1) {
    EXPECT_THAT(result.err, StartsWith("korvan-cli: error: "));
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << "one line:\n" << result.err;
  } else {
    EXPECT_THAT(result.err, StartsWith("korvan-cli: "));
    EXPECT_THAT(result.err, HasSubstr("usage: korvan-cli"));
  }
  EXPECT_THAT(result.err, HasSubstr(run.Expand(c.message)));
  const auto after = Snapshot(run.dir().path());
  EXPECT_EQ(after, before) << "a failed run changed, added or removed files";
}

std::vector<Tree> Where(std::vector<Tree> trees, const std::function<bool(const Tree&)>& keep) {
  std::erase_if(trees, [&](const Tree& t) { return !keep(t); });
  return trees;
}

// `trees` trees in each plot of the given site, block and families.
void Plant(std::vector<Tree>& trial, int site, int block, std::initializer_list<int> families, int trees) {
  for (const int family : families)
    for (int n = 0; n < trees; ++n)
      trial.push_back({site, block, family, 5.0 + 0.1 * static_cast<double>(trial.size() % 17) + 0.2 * (family - 100),
                       10.0 + 0.3 * static_cast<double>(trial.size() % 11) + block});
}

TEST(BadInput, DataFilesThatHoldNoRecordsSayWhatTheyHold) {
  const Case cases[] = {
      {"missing data file", [](BadRun& r) { r.Set("--data", r.dir() / "trail.dat"); },
       "the data file $D/trail.dat does not exist; check its name and folder"},
      {"a folder as data file", [](BadRun& r) { r.Set("--data", r.dir() / "out"); },
       "--data: $D/out is a folder; choose a data file in it"},
      {"empty data file", [](BadRun& r) { r.Data(""); },
       "no record of age 10 in $D/trial.dat: the file is empty; choose the data file"},
      {"only comment lines", [](BadRun& r) { r.Data(":site blk fam\n:  30  1 101 10    7.68\n"); },
       "no record of age 10 in $D/trial.dat: all its 2 lines are comments (they begin with ':')"},
      {"no record of the selected age", [](BadRun& r) { r.Set("--age", "12"); },
       "no record of age 12 in $D/trial.dat (94 lines read, 1 of them comments): the age field (characters 12 "
       "to 14) reads 10, 5 and no other age; check --age and --age-col start"},
      {"the age field beyond the end of every line", [](BadRun& r) { r.Set("--age-col", "31,3"); },
       "the age field (characters 31 to 33) holds no number in any line"},
      {"a start position far beyond any line", [](BadRun& r) { r.Set("--age-col", "1e300,3"); },
       "the age field (characters 1099511627776 to 1099511627778) holds no number"},
      {"a report chosen as data file",
       [](BadRun& r) {
         WriteFile(r.dir() / "old.out", r.dir() / "old.out\r\n 30   10   20   \r\n");
         r.Set("--data", r.dir() / "old.out");
       },
       "no record of age 10 in $D/old.out (2 lines read): the age field (characters 12 to 14) reads 20 and no other age"},
  };
  for (const Case& c : cases) ExpectCleanFailure(c);
}

TEST(BadInput, FilesThatAreNoPlainTextAreRefusedAtTheirFirstBadLine) {
  const std::string good = TrialText(SoundTrial());
  const Case cases[] = {
      {"a program as data file", [](BadRun& r) { r.Set("--data", KORVAN_CLI_PATH); },
       "line 1 of " KORVAN_CLI_PATH ": the line holds a zero (NUL) byte, which no text file does"},
      {"a NUL byte in a record",
       [&](BadRun& r) {
         std::string text = good;
         text[text.find("  20  2 103") + 2] = '\0';
         r.Data(text);
       },
       "line 79 of $D/trial.dat: the line holds a zero (NUL) byte"},
      {"zero bytes after the last line (a damaged disk)",
       [&](BadRun& r) { r.Data(good + std::string(4096, '\0')); }, "line 95 of $D/trial.dat: the line holds a zero"},
      {"UTF-16 text", [](BadRun& r) { r.Data(std::string("\xFF\xFE" "3\0" "0\0\n\0", 9)); },
       "the data file $D/trial.dat is UTF-16 (\"Unicode\") text, which korvan does not read; save it as plain text"},
      {"CR alone at the line ends",
       [&](BadRun& r) {
         std::string text = good;
         std::replace(text.begin(), text.end(), '\n', '\r');
         r.Data(text);
       },
       "line 1 of $D/trial.dat: a carriage return (CR) stands inside the line"},
      {"a line of 100 MB",
       [&](BadRun& r) {
         const std::size_t record = good.find("  10  1 101");
         r.Data(good.substr(0, record) + std::string(100'000'000, '7') + "\n" + good.substr(record));
       },
       "line 33 of $D/trial.dat: the line runs on for more than 16 MiB without a line end"},
  };
  for (const Case& c : cases) ExpectCleanFailure(c);
}

TEST(BadInput, FieldsInTheWrongPlaceAndValuesBeyondSinglePrecision) {
  const Case cases[] = {
      {"trait fields beyond the end of every line", [](BadRun& r) { r.Set("--traits", "3"); },
       "trait 3 (characters 31 to 38) holds no number in any of the 90 records of age 10 (the first is line 2 of "
       "$D/trial.dat); check --traits and --trait-col start"},
      {"family field beyond the end of every line", [](BadRun& r) { r.Set("--family-col", "40,4"); },
       "the family field (characters 40 to 43) holds no number in any of the 90 records"},
      {"site field of width 0", [](BadRun& r) { r.Set("--site-col", "1,0"); },
       "the site field (no characters at all) holds no number"},
      {"block codes written as letters",
       [](BadRun& r) {
         std::string text = TrialText(SoundTrial());
         for (std::size_t at = 0; (at = text.find("\n  ", at)) != std::string::npos; ++at)
           if (text[at + 7] != ' ') text[at + 7] = static_cast<char>('A' + text[at + 7] - '1');
         r.Data(text);
       },
       "the block field (characters 5 to 7) holds no number in any of the 90 records"},
      {"a trait value beyond single precision",
       [](BadRun& r) {
         std::string text = TrialText(SoundTrial());
         text.replace(text.find("\n  10  2 104") + 15, 8, "  4.1e38");
         r.Data(text);
       },
       "of $D/trial.dat: the trait field '  4.1e38' is beyond the range of single precision"},
      {"a family code beyond single precision",
       [](BadRun& r) {
         std::string text = TrialText(SoundTrial());
         text.replace(text.find("\n  20  3 105") + 8, 4, "9e99");
         r.Data(text);
       },
       "the family field '9e99' is beyond the range of single precision"},
  };
  for (const Case& c : cases) ExpectCleanFailure(c);
}

TEST(BadInput, CountsAndFieldPositionsNameTheirOption) {
  const Case cases[] = {
      {"sites exceeded", [](BadRun& r) { r.Set("--sites", "2"); },
       "line 64 of $D/trial.dat: a 3rd site (code 20) is more than --sites = 2"},
      {"blocks exceeded", [](BadRun& r) { r.Set("--blocks", "2"); },
       "line 23 of $D/trial.dat: a 3rd block (code 3) at site 30 is more than --blocks = 2"},
      {"families exceeded", [](BadRun& r) { r.Set("--families", "4"); },
       "line 11 of $D/trial.dat: a 5th family (code 105) is more than --families = 4"},
      {"records exceeded", [](BadRun& r) { r.Set("--records", "89"); },
       "line 94 of $D/trial.dat: a 90th record of age 10 is more than --records = 89"},
      {"sites 0", [](BadRun& r) { r.Set("--sites", "0"); }, "a 1st site (code 30) is more than --sites = 0"},
      {"blocks 0", [](BadRun& r) { r.Set("--blocks", "0"); }, "a 1st block (code 1) at site 30 is more than"},
      {"families 0", [](BadRun& r) { r.Set("--families", "0"); }, "a 1st family (code 101) is more than"},
      {"records 0", [](BadRun& r) { r.Set("--records", "0"); }, "line 2 of $D/trial.dat: a 1st record of age 10"},
      {"traits 0", [](BadRun& r) { r.Set("--traits", "0"); }, "--traits: 0; a run analyses at least one trait"},
      {"more traits than this build analyses", [](BadRun& r) { r.Set("--traits", std::to_string(kMaxTrait + 1)); },
       "--traits: " + std::to_string(kMaxTrait + 1) + " is more than the " + std::to_string(kMaxTrait) +
           " traits this build of korvan can analyse"},
      {"a negative count", [](BadRun& r) { r.Set("--families", "-5"); },
       "--families: -5 is negative; enter a count of 0 or more"},
      {"a fractional count", [](BadRun& r) { r.Set("--records", "90.5"); }, "--records: 90.5 is not a whole number"},
      {"start 0", [](BadRun& r) { r.Set("--site-col", "0,4"); },
       "--site-col start: 0 is below 1; positions count from 1"},
      {"a start that rounds to 0", [](BadRun& r) { r.Set("--trait-col", "0.5,8"); }, "--trait-col start: 0.5 is below 1"},
      {"a negative width", [](BadRun& r) { r.Set("--age-col", "12,-3"); },
       "--age-col width: -3 is negative; enter a width of 0 or more"},
  };
  for (const Case& c : cases) ExpectCleanFailure(c);
}

TEST(BadInput, MalformedOptionsAreUsageErrorsNamingTheOption) {
  const Case cases[] = {
      {"a count in words", [](BadRun& r) { r.Set("--sites", "three"); }, "--sites: 'three' is not a number", 2},
      {"a count with a unit", [](BadRun& r) { r.Set("--records", "90 trees"); }, "--records: '90 trees' is not", 2},
      {"an empty age", [](BadRun& r) { r.Set("--age", ""); }, "--age: '' is not a number", 2},
      {"a decimal comma", [](BadRun& r) { r.Set("--age", "10,0"); }, "--age: '10,0' is not a number", 2},
      {"a field without its width", [](BadRun& r) { r.Set("--family-col", "8"); },
       "--family-col: '8' is not START,WIDTH", 2},
      {"letters for a position", [](BadRun& r) { r.Set("--block-col", "five,3"); },
       "--block-col: 'five' is not START,WIDTH", 2},
      {"an infinite count", [](BadRun& r) { r.Set("--families", "inf"); }, "--families: 'inf' is not a number", 2},
      {"an option left out", [](BadRun& r) { r.Drop("--traits"); }, "missing --traits", 2},
  };
  for (const Case& c : cases) ExpectCleanFailure(c);
}

// Designs this model cannot analyse: the run must stop before the report,
// saying what in the data causes it, rather than divide by zero or write
// estimates from singular equations.
TEST(BadInput, DesignsWithoutDegreesOfFreedomOrLinks) {
  const Case cases[] = {
      {"one site", [](BadRun& r) { r.Trees(Where(SoundTrial(), [](const Tree& t) { return t.site == 10; })); },
       "$D/trial.dat cannot be analysed: there is only one site (site 10), so Site has no degrees of freedom"},
      {"one family", [](BadRun& r) { r.Trees(Where(SoundTrial(), [](const Tree& t) { return t.family == 103; })); },
       "there is only one family (code 103), so Family has no degrees of freedom"},
      {"one block per site", [](BadRun& r) { r.Trees(Where(SoundTrial(), [](const Tree& t) { return t.block == 2; })); },
       "each site has a single block, so Rep./Site has no degrees of freedom"},
      {"no error degrees of freedom",
       [](BadRun& r) {
         // One tree per plot; block 2 of each site holds a single family.
         std::vector<Tree> trees;
         for (const int site : {30, 10}) {
           Plant(trees, site, 1, {101, 102, 103}, 1);
           Plant(trees, site, 2, {101}, 1);
         }
         r.Trees(trees);
       },
       "its 8 records are fitted exactly by the 4 blocks and 6 site x family cells, so Error has no degrees of "
       "freedom"},
      {"families that do not link the sites",
       [](BadRun& r) {
         // Sites 30 and 10 share families 101-103; site 20 has 104-106 alone.
         std::vector<Tree> trees;
         for (const int block : {1, 2}) {
           Plant(trees, 30, block, {101, 102, 103}, 2);
           Plant(trees, 10, block, {101, 102, 103}, 2);
           Plant(trees, 20, block, {104, 105, 106}, 2);
         }
         r.Trees(trees);
         r.Set("--families", "6");
       },
       "the families do not link all sites: site 20 shares no family with the other sites"},
      {"blocks not linked within a site",
       [](BadRun& r) {
         // At site 30 the two blocks share no family; at site 10 they do.
         std::vector<Tree> trees;
         Plant(trees, 30, 1, {101, 102}, 3);
         Plant(trees, 30, 2, {103, 104}, 3);
         Plant(trees, 10, 1, {101, 103}, 3);
         Plant(trees, 10, 2, {102, 104}, 3);
         r.Trees(trees);
       },
       "within a site, the families do not link all its blocks"},
      {"trait values whose sums overflow single precision",
       [](BadRun& r) {
         std::vector<Tree> trees = SoundTrial();
         for (Tree& t : trees) t.diameter *= 1e36;
         std::string text = TrialText({});
         char line[96];
         for (const Tree& t : trees) {
           std::snprintf(line, sizeof line, "%4d%3d%4d%3d%8.2f%8.1e\n", t.site, t.block, t.family, 10, t.height,
                         t.diameter);
           text += line;
         }
         r.Data(text);
       },
       "overflowed single precision"},
  };
  for (const Case& c : cases) ExpectCleanFailure(c);
}

TEST(BadInput, OutputPathsThatWouldLoseDataOrCannotBeWritten) {
  const Case cases[] = {
      {"the output is the data file", [](BadRun& r) { r.Set("--output", r.DataPath()); },
       "--output: the output file is the data file; choose another name"},
      {"the output is the data file by another spelling", [](BadRun& r) { r.Set("--output", r.dir() / "out/../trial.dat"); },
       "--output: the output file is the data file"},
      {"the output is a link to the data file",
       [](BadRun& r) {
         fs::create_symlink(r.DataPath(), r.dir() / "out/link.out");
         r.Set("--output", r.dir() / "out/link.out");
       },
       "--output: the output file is the data file"},
      {"the procedure file is the data file", [](BadRun& r) { r.Set("--procedure", r.DataPath()); },
       "--procedure: the procedure file is the data file; choose another name"},
      {"the procedure file is the output file", [](BadRun& r) { r.Set("--procedure", r.ReportPath()); },
       "--procedure: the procedure file is the output file"},
      {"the timings file is the data file", [](BadRun& r) { r.Set("--timings", r.dir() / "./trial.dat"); },
       "--timings: the timings file is the data file; choose another name"},
      {"the timings file is the procedure file", [](BadRun& r) { r.Set("--timings", r.ProcedurePath()); },
       "--timings: the timings file is the procedure file"},
      {"a missing output folder", [](BadRun& r) { r.Set("--output", r.dir() / "reports/trial.out"); },
       "--output: the folder $D/reports does not exist; choose an existing folder"},
      {"a file as output folder", [](BadRun& r) { r.Set("--output", r.dir() / "trial.dat/trial.out"); },
       "--output: $D/trial.dat is a file, not a folder"},
      {"a folder as output file", [](BadRun& r) { r.Set("--output", r.dir() / "out"); },
       "--output: $D/out is a folder; type a name for the report file"},
      {"an output name ending in a separator", [](BadRun& r) { r.Set("--output", r.dir() / "out/trial.out/"); },
       "is a folder; type a name for the report file"},
      {"no output name", [](BadRun& r) { r.Set("--output", ""); }, "--output: no output file name is given"},
      {"no data file", [](BadRun& r) { r.Set("--data", ""); }, "--data: no data file is chosen"},
      {"an output name too long for the file system",
       [](BadRun& r) { r.Set("--output", r.dir() / ("out/" + std::string(300, 'r'))); },
       "--output: $D/out/" + std::string(300, 'r') + ": File name too long; choose another name"},
      {"a procedure file in a missing folder", [](BadRun& r) { r.Set("--procedure", r.dir() / "logs/trial.procedure"); },
       "cannot create the procedure file $D/logs/trial.procedure (--procedure): No such file or directory"},
  };
  for (const Case& c : cases) ExpectCleanFailure(c);
}

TEST(BadInput, FullDiskLeavesTheEarlierReportAndNoTemporaryFile) {
  // A file-size limit fails a write with EFBIG as a full disk fails it with
  // ENOSPC; the signal the limit would raise is ignored.
  ExpectCleanFailure({"a full disk", [](BadRun& r) { r.Drop("--procedure"); },
                      "the report $D/out/trial.out: File too large (is the disk full?); no report was written"},
                     "ulimit -f 0; trap '' XFSZ; exec");
  // 6750 records give a procedure file of most of a megabyte and a report
  // of a few kilobytes: the procedure file fails, and must fail before the
  // report is put in place.
  ExpectCleanFailure({"a disk that fills while the procedure file is written",
                      [](BadRun& r) {
                        std::vector<Tree> trees;
                        for (const Tree& tree : SoundTrial())
                          for (int n = 0; n < 75; ++n) trees.push_back(tree);
                        r.Trees(trees);
                        r.Set("--records", "6750");
                      },
                      "cannot write the procedure file $D/out/trial.procedure (--procedure): File too large; free "
                      "space on the disk"},
                     "ulimit -f 64; trap '' XFSZ; exec");
}

TEST(BadInput, PermissionsAreRespectedForAnOrdinaryUser) {
  const std::string prefix = UnprivilegedPrefix();
  if (prefix.empty()) GTEST_SKIP() << "running as root without setpriv: permissions cannot be seen";
  // The output folder belongs to the user, so that only its mode keeps the user out.
  auto giveOutputFolder = [](BadRun& r) {
    if (::geteuid() == 0) {
      ASSERT_EQ(::chown((r.dir() / "out").c_str(), 65534, 65534), 0);
    }
  };
  auto lockOutputFolder = [&](BadRun& r) {
    giveOutputFolder(r);
    fs::permissions(r.dir() / "out", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                                         fs::perms::others_exec);
  };
  const Case cases[] = {
      {"an unreadable data file",
       [&](BadRun& r) {
         giveOutputFolder(r);
         fs::permissions(r.DataPath(), fs::perms::none);
       },
       "the data file $D/trial.dat cannot be opened: you have no permission to read it"},
      {"a read-only output folder",
       [&](BadRun& r) {
         lockOutputFolder(r);
         r.Drop("--procedure");
       },
       "cannot create the report $D/out/trial.out in the folder $D/out: Permission denied"},
      {"a read-only folder for the procedure file", lockOutputFolder,
       "cannot create the procedure file $D/out/trial.procedure (--procedure): Permission denied"},
  };
  for (const Case& c : cases) ExpectCleanFailure(c, prefix);
}

// Not every odd file is a bad one. Bytes that are no valid UTF-8 are one
// character each (files from older programs are often Latin-1 or
// Shift-JIS), so labels written in them must not move the fields; and a
// report name near the file system's limit must not fail for the name of
// its temporary file.
TEST(OddInput, LabelsInAnyEncodingAndLongNamesAreAnalysedAlike) {
  TempDir dir;
  const std::string plain = TrialText(SoundTrial());
  // `label` before every line, `note` after the fields of every record.
  auto labelled = [&](const std::string& label, const std::string& note = "") {
    std::string text;
    for (std::size_t at = 0; at < plain.size();) {
      const std::size_t end = plain.find('\n', at);
      const std::string line = plain.substr(at, end - at);
      text += line[0] == ':' ? ":" + label + line.substr(1) + "\n" : label + line + note + "\n";
      at = end + 1;
    }
    return text;
  };
  const std::string name250(250, 'n');
  struct Variant {
    const char* name;
    std::string data;
    std::string report;
  };
  const Variant variants[] = {
      {"ASCII labels", labelled("ab"), "ascii.out"},
      {"Latin-1 letter and a stray byte", labelled("\xE9\xFF", "  \xE9t\xE9 1998"), "latin1.out"},
      {"a cut UTF-8 sequence", labelled("\xE6\x9D"), "cut.out"},
      {"one Japanese character and a letter", labelled("\xE6\x9D\x89x", " \xE6\x9D\x89\xE6\x9D\x89"), name250},
  };
  std::vector<std::string> reports;
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.name);
    WriteFile(dir / "trial.dat", v.data);
    const CliResult result =
        RunCli({"--data", dir / "trial.dat", "--output", dir / v.report, "--quiet", "--sites", "3", "--blocks", "3",
                "--families", "5", "--records", "90", "--traits", "2", "--age", "10", "--site-col", "3,4",
                "--block-col", "7,3", "--family-col", "10,4", "--age-col", "14,3", "--trait-col", "17,8"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::string report = ReadFile(dir / v.report);
    ASSERT_THAT(report, StartsWith(dir / v.report + "\r\n"));
    reports.push_back(report.substr(report.find('\n')));
  }
  for (std::size_t n = 1; n < reports.size(); ++n) EXPECT_EQ(reports[n], reports[0]) << variants[n].name;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 5) << "temporary files left";
}

}  // namespace
}  // namespace korvan
