// Bad input and faults, as a user meets them through the batch program: each
// must end with exit status 1 (2 for malformed options) and one message that
// says what is wrong and where, and must leave every file as it was: no
// report, no procedure file, no temporary file, the earlier report and the
// data untouched byte for byte.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>

#include "rundata/rundata.h"
#include "support/test_support.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;
using namespace test;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// One tree: its site, block and family codes and two trait values.
struct Tree { int site, block, family; double height, diameter; };

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
std::string TrialText(const std::vector<Tree>& trees, const char* format = "%4d%3d%4d%3d%8.2f%8.2f\n") {
  std::string text = ":site blk fam age  height     dbh\n";
  char line[96];
  int lastSite = 0;
  for (const Tree& t : trees) {
    text += (std::snprintf(line, sizeof line, format, t.site, t.block, t.family, 10, t.height, t.diameter), line);
    if (t.site != std::exchange(lastSite, t.site))
      text += (std::snprintf(line, sizeof line, format, t.site, t.block, t.family, 5, 3.5, 4.5), line);
  }
  return text;
}

// Every file under `folder` with a hash of its contents, to see that a
// failed run changed, added and removed nothing.
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    files[entry.path().string()] = entry.is_symlink() ? "a link" : entry.is_directory() ? "a folder"
                                   : std::to_string(std::hash<std::string>{}(ReadFile(entry.path())));
  return files;
}

// The batch program started by `shellPrefix` (a resource limit, then exec;
// or exec as another user), its standard error passed on through a pipe: a
// file-size limit would stop the message itself from being written to a file.
CliResult RunCliUnder(const std::string& shellPrefix, std::vector<std::string> args) {
  args.insert(args.begin(), {"-c", "set -o pipefail; (" + shellPrefix + " \"$0\" \"$@\") 2>&1 | cat", KORVAN_CLI_PATH});
  CliResult result = RunProgram("bash", args);
  std::swap(result.out, result.err);
  return result;
}

// One run of the catalogue: a folder with the data file `trial.dat`, an
// output folder `out` that already holds a report and a procedure file of
// an earlier run, and the command that would analyse the data. "$D" in a
// value or a message stands for the folder.
struct BadRun {
  TempDir dir;
  std::string data = dir / "trial.dat", report = dir / "out/trial.out", procedure = dir / "out/trial.procedure";
  std::vector<std::string> args = {
      "--data", data, "--output", report, "--procedure", procedure, "--sites", "3", "--blocks", "3",
      "--families", "5", "--records", "90", "--traits", "2", "--age", "10", "--site-col", "1,4",
      "--block-col", "5,3", "--family-col", "8,4", "--age-col", "12,3", "--trait-col", "15,8"};

  BadRun() {
    fs::create_directory(dir.path() / "out");
    WriteFile(data, TrialText(SoundTrial()));
    WriteFile(report, "an earlier report\r\n");
    WriteFile(procedure, "an earlier procedure\n");
  }
  std::string Expand(std::string text) const {
    for (std::size_t at; (at = text.find("$D")) != std::string::npos;) text.replace(at, 2, dir.path().string());
    return text;
  }
  // Sets an option's value, or adds the option.
  void Set(const std::string& option, const std::string& value) {
    const auto at = std::find(args.begin(), args.end(), option);
    if (at == args.end()) args.insert(args.end(), {option, Expand(value)});
    else *(at + 1) = Expand(value);
  }
  void Drop(const std::string& option) {
    const auto at = std::find(args.begin(), args.end(), option);
    args.erase(at, at + 2);
  }
};

using Make = std::function<void(BadRun&)>;  // spoils the data, the files or the options
struct Case {
  Make make;
  std::string message;  // in the message
  int exitCode = 1;
};

Make Set(const std::string& option, const std::string& value) { return [=](BadRun& r) { r.Set(option, value); }; }
Make Data(const std::string& text) { return [=](BadRun& r) { WriteFile(r.data, text); }; }
Make Trees(const std::vector<Tree>& trees) { return Data(TrialText(trees)); }
// The sound data with `edit` applied.
Make Edit(const std::function<void(std::string&)>& edit) {
  std::string text = TrialText(SoundTrial());
  edit(text);
  return Data(text);
}
Make Only(const std::function<bool(const Tree&)>& keep) {
  std::vector<Tree> trees = SoundTrial();
  std::erase_if(trees, [&](const Tree& t) { return !keep(t); });
  return Trees(trees);
}
// Plots of a design: site, block, its families and the trees in each.
struct Plots { int site, block; std::vector<int> families; int count; };
std::vector<Tree> Plant(const std::vector<Plots>& design) {
  std::vector<Tree> trial;
  for (const Plots& p : design)
    for (const int family : p.families)
      for (int n = 0; n < p.count; ++n)
        trial.push_back({p.site, p.block, family,
                         5.0 + 0.1 * static_cast<double>(trial.size() % 17) + 0.2 * (family - 100),
                         10.0 + 0.3 * static_cast<double>(trial.size() % 11) + p.block});
  return trial;
}

// Runs each case and checks everything a failed run must leave behind.
void ExpectCleanFailures(const std::vector<Case>& cases, const std::string& shellPrefix = "") {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    BadRun run;
    c.make(run);
    const auto before = Snapshot(run.dir.path());
    const CliResult result = shellPrefix.empty() ? RunCli(run.args) : RunCliUnder(shellPrefix, run.args);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    EXPECT_THAT(result.err, StartsWith(c.exitCode == 1 ? "korvan-cli: error: " : "korvan-cli: "));
    if (c.exitCode == 1) EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    else EXPECT_THAT(result.err, EndsWith("; see korvan-cli --help\n"));
    EXPECT_THAT(result.err, HasSubstr(run.Expand(c.message)));
    EXPECT_EQ(Snapshot(run.dir.path()), before) << "a failed run changed, added or removed files";
  }
}

TEST(BadInput, DataFilesWithoutRecordsOrTextSayWhatTheyHold) {
  ExpectCleanFailures({
      {Set("--data", "$D/trail.dat"), "the data file $D/trail.dat does not exist; check its name and folder"},
      {Set("--data", "$D/out"), "--data: $D/out is a folder; choose a data file in it"},
      {Data(""), "no record of age 10 in $D/trial.dat: the file is empty; choose the data file"},
      {Data(":site blk fam\n:  30  1 101 10    7.68\n"),
       "no record of age 10 in $D/trial.dat: all its 2 lines are comments (they begin with ':')"},
      {Set("--age", "12"),
       "no record of age 12 in $D/trial.dat (94 lines read, 1 of them comments): the age field (characters 12 "
       "to 14) reads 10, 5 and no other age; check --age and --age-col start"},
      {Set("--age-col", "31,3"), "the age field (characters 31 to 33) holds no number in any line"},
      {Set("--age-col", "1e300,3"), "the age field (characters 1099511627776 to 1099511627778) holds no number"},
      {[](BadRun& r) {
         WriteFile(r.dir / "old.out", r.dir / "old.out\r\n 30   10   20   \r\n");
         r.Set("--data", "$D/old.out");
       },
       "no record of age 10 in $D/old.out (2 lines read): the age field (characters 12 to 14) reads 20 and"},
      // Files that are no plain text are refused at their first bad line.
      {Set("--data", KORVAN_CLI_PATH),
       "line 1 of " KORVAN_CLI_PATH ": the line holds a zero (NUL) byte, which no text file does"},
      {Edit([](std::string& t) { t[t.find("  20  2 103") + 2] = '\0'; }),
       "line 79 of $D/trial.dat: the line holds a zero (NUL) byte"},
      {Edit([](std::string& t) { t += std::string(4096, '\0'); }), "line 95 of $D/trial.dat: the line holds a zero"},
      {Data(std::string("\xFF\xFE" "3\0" "0\0\n\0", 9)),
       "the data file $D/trial.dat is UTF-16 (\"Unicode\") text, which korvan does not read; save it as plain text"},
      {Edit([](std::string& t) { std::replace(t.begin(), t.end(), '\n', '\r'); }),
       "line 1 of $D/trial.dat: a carriage return (CR) stands inside the line"},
      {Edit([](std::string& t) { t.insert(t.find("  10  1 101"), std::string(100'000'000, '7') + "\n"); }),
       "line 33 of $D/trial.dat: the line runs on for more than 16 MiB without a line end"},
  });
}

TEST(BadInput, FieldsCountsAndPositionsNameTheirOption) {
  const std::string tooMany = std::to_string(kMaxTrait + 1);
  ExpectCleanFailures({
      {Set("--traits", "3"),
       "trait 3 (characters 31 to 38) holds no number in any of the 90 records of age 10 (the first is line 2 of "
       "$D/trial.dat); check --traits and --trait-col start"},
      {Set("--family-col", "40,4"), "the family field (characters 40 to 43) holds no number in any of the 90 records"},
      {Set("--site-col", "1,0"), "the site field (no characters at all) holds no number"},
      {Edit([](std::string& t) {  // block codes left out
         for (std::size_t at = 0; (at = t.find("\n  ", at)) != std::string::npos; ++at) t[at + 7] = ' ';
       }),
       "the block field (characters 5 to 7) holds no number in any of the 90 records"},
      {Edit([](std::string& t) { t.replace(t.find("\n  10  2 104") + 15, 8, "  4.1e38"); }),
       "of $D/trial.dat: the trait field '  4.1e38' is beyond the range of single precision"},
      // A code beyond single precision is a code of its own, not infinity.
      {Edit([](std::string& t) { t.replace(t.find("\n  20  3 105") + 8, 4, "9e99"); }),
       "the data hold 6 families, more than --families = 5"},
      // Counts and field positions name their option.
      {Set("--sites", "2"), "the data hold 3 sites, more than --sites = 2 ($D/trial.dat); enter at least 3, or leave "
                            "the count out and let the data decide"},
      {Set("--blocks", "2"), "the data hold 3 blocks at site 30, more than --blocks = 2"},
      {Set("--families", "4"), "the data hold 5 families, more than --families = 4"},
      {Set("--records", "89"), "the data hold 90 records of age 10, more than --records = 89"},
      {Set("--families", "0"), "the data hold 5 families, more than --families = 0"},
      {Set("--traits", "0"), "--traits: 0; a run analyses at least one trait"},
      {Set("--traits", tooMany),
       "--traits: " + tooMany + " is more than the " + std::to_string(kMaxTrait) + " traits this build of korvan"},
      {Set("--families", "-5"), "--families: -5 is negative; enter a count of 0 or more"},
      {Set("--records", "90.5"), "--records: 90.5 is not a whole number"},
      {Set("--site-col", "0,4"), "--site-col start: 0 is below 1; positions count from 1"},
      {Set("--trait-col", "0.5,8"), "--trait-col start: 0.5 is below 1"},
      {Set("--age-col", "12,-3"), "--age-col width: -3 is negative; enter a width of 0 or more"},
  });
}

// The wording around the option and its value is the parser's.
TEST(BadInput, MalformedOptionsAreUsageErrorsNamingTheOption) {
  ExpectCleanFailures({
      {Set("--sites", "three"), "--sites: 'three'", 2}, {Set("--records", "90 trees"), "--records: '90 trees'", 2},
      {Set("--age", ""), "--age: ''", 2}, {Set("--age", "10,0"), "--age: '10,0'", 2},
      {Set("--family-col", "8"), "--family-col: '8'", 2}, {Set("--block-col", "five,3"), "--block-col: 'five'", 2},
      {Set("--families", "inf"), "--families: 'inf'", 2},
      {[](BadRun& r) { r.Drop("--traits"); }, "missing --traits", 2},
  });
}

// Designs this model cannot analyse: the run must stop before the report,
// saying what in the data causes it, rather than divide by zero or write
// estimates from singular equations.
TEST(BadInput, DesignsWithoutDegreesOfFreedomOrLinks) {
  // One tree per plot; block 2 of each site holds a single family.
  const std::vector<Tree> exact = Plant({{30, 1, {101, 102, 103}, 1}, {30, 2, {101}, 1},  //
                                         {10, 1, {101, 102, 103}, 1}, {10, 2, {101}, 1}});
  // Sites 30 and 10 share families 101-103; site 20 has 104-106 alone.
  std::vector<Plots> unlinked;
  for (const int block : {1, 2})
    for (const auto& [site, first] : {std::pair{30, 101}, {10, 101}, {20, 104}})
      unlinked.push_back({site, block, {first, first + 1, first + 2}, 2});
  // At site 30 the two blocks share no family; at site 10 they do.
  const std::vector<Tree> unlinkedBlocks = Plant({{30, 1, {101, 102}, 3}, {30, 2, {103, 104}, 3},  //
                                                  {10, 1, {101, 103}, 3}, {10, 2, {102, 104}, 3}});
  std::vector<Tree> huge = SoundTrial();
  for (Tree& t : huge) t.diameter *= 1e36;
  ExpectCleanFailures({
      {Only([](const Tree& t) { return t.site == 10; }),
       "$D/trial.dat cannot be analysed: there is only one site (site 10), so Site has no degrees of freedom"},
      {Only([](const Tree& t) { return t.family == 103; }),
       "there is only one family (code 103), so Family has no degrees of freedom"},
      {Only([](const Tree& t) { return t.block == 2; }),
       "each site has a single block, so Rep./Site has no degrees of freedom"},
      {Trees(exact),
       "its 8 records are fitted exactly by the 4 blocks and 6 site x family cells, so Error has no degrees of "
       "freedom"},
      {[&](BadRun& r) { Trees(Plant(unlinked))(r); r.Set("--families", "6"); },
       "the families do not link all sites: site 20 shares no family with the other sites"},
      {Trees(unlinkedBlocks), "within a site, the families do not link all its blocks"},
      {[&](BadRun& r) { WriteFile(r.data, TrialText(huge, "%4d%3d%4d%3d%8.2f%8.1e\n")); },
       "overflowed single precision"},
  });
}

TEST(BadInput, OutputPathsThatWouldLoseDataOrCannotBeWritten) {
  const std::string longName(300, 'r');
  ExpectCleanFailures({
      {Set("--output", "$D/trial.dat"), "--output: the output file is the data file; choose another name"},
      {Set("--output", "$D/out/../trial.dat"), "--output: the output file is the data file"},
      {[](BadRun& r) { fs::create_symlink(r.data, r.dir / "out/link.out"); r.Set("--output", "$D/out/link.out"); },
       "--output: the output file is the data file"},
      {Set("--procedure", "$D/trial.dat"), "--procedure: the procedure file is the data file; choose another name"},
      {Set("--procedure", "$D/out/trial.out"), "--procedure: the procedure file is the output file"},
      {Set("--timings", "$D/./trial.dat"), "--timings: the timings file is the data file; choose another name"},
      {Set("--timings", "$D/out/trial.procedure"), "--timings: the timings file is the procedure file"},
      {Set("--output", "$D/reports/trial.out"),
       "--output: the folder $D/reports does not exist; choose an existing folder"},
      {Set("--output", "$D/trial.dat/trial.out"), "--output: $D/trial.dat is a file, not a folder"},
      {Set("--output", "$D/out"), "--output: $D/out is a folder; type a name for the report file"},
      {Set("--output", "$D/out/trial.out/"), "is a folder; type a name for the report file"},
      {Set("--output", ""), "--output: no output file name is given"},
      {Set("--data", ""), "--data: no data file is chosen"},
      {Set("--output", "$D/out/" + longName),
       "--output: $D/out/" + longName + ": File name too long; choose another name"},
      {Set("--procedure", "$D/logs/trial.procedure"),
       "cannot create the procedure file $D/logs/trial.procedure (--procedure): No such file or directory"},
  });
}

TEST(BadInput, FullDiskLeavesTheEarlierReportAndNoTemporaryFile) {
  // A file-size limit fails a write with EFBIG as a full disk fails it with
  // ENOSPC; the signal the limit would raise is ignored.
  // The program ignores that signal itself, and finds the full disk before
  // it reads the data: an empty data file is not what it complains of.
  ExpectCleanFailures({{[](BadRun& r) { r.Drop("--procedure"); },
                        "the report $D/out/trial.out: File too large (is the disk full?); no report was written"},
                       {[](BadRun& r) { Data("")(r); r.Drop("--procedure"); },
                        "the report $D/out/trial.out: File too large"}},
                      "ulimit -f 0; exec");
  // 6750 records give a procedure file of most of a megabyte and a report
  // of a few kilobytes: the procedure file fails, and must fail before the
  // report is put in place.
  std::vector<Tree> many;
  for (const Tree& tree : SoundTrial()) many.insert(many.end(), 75, tree);
  ExpectCleanFailures({{[&](BadRun& r) { Trees(many)(r); r.Set("--records", "6750"); },
                        "cannot write the procedure file $D/out/trial.procedure (--procedure): File too large; free "
                        "space on the disk"}},
                      "ulimit -f 64; exec");
}

// Under a limit on the address space the run ends with its report, or with
// one line that says memory ran out and nothing left behind: never a crash
// with temporary files, which growing the main thread's stack late in a run
// once gave. Every limit from too small to start to large enough, in steps.
TEST(BadInput, MemoryLimitsEndWithOneMessageAndNoTemporaryFile) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves terabytes of shadow memory: no address-space limit leaves it room";
#else
  std::vector<Tree> many;
  for (const Tree& tree : SoundTrial()) many.insert(many.end(), 40, tree);
  int succeeded = 0, failed = 0;
  for (int megabytes = 12; megabytes <= 80; megabytes += 4) {
    SCOPED_TRACE(std::to_string(megabytes) + " MB");
    BadRun run;
    Trees(many)(run);
    run.Set("--records", std::to_string(many.size()));
    run.Set("--tables", "$D/out/tables");
    run.Set("--json", "$D/out/trial.json");
    const auto before = Snapshot(run.dir.path());
    const CliResult result = RunCliUnder("ulimit -v " + std::to_string(megabytes * 1024) + "; exec", run.args);
    if (result.exitCode == 0) {
      ++succeeded;
      continue;
    }
    ++failed;
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_THAT(result.err, StartsWith("korvan-cli: error: "));
    EXPECT_EQ(Snapshot(run.dir.path()), before) << "a failed run changed, added or removed files";
  }
  EXPECT_GT(failed, 0) << "no limit was small enough to fail";
  EXPECT_GT(succeeded, 0) << "no limit was large enough to succeed";
#endif
}

// A signal once the run is writing (Ctrl-C, a batch system's time limit, a
// closed terminal) stops it at its next safe point, or, given no time for
// one (a grace of 0), where it stands; either way with one line, status
// 128 + the signal, every earlier file as it was and no temporary file.
TEST(Stopped, SignalsEndTheRunWithEveryEarlierFileAndNoTemporaryFile) {
  std::vector<Tree> many;
  for (const Tree& tree : SoundTrial()) many.insert(many.end(), 3000, tree);
  const std::string text = TrialText(many);
  const std::pair<const char*, int> signals[] = {{"INT", 2}, {"TERM", 15}, {"HUP", 1}};
  for (const auto& [signal, number] : signals)
    for (const char* grace : {"3000", "0"}) {
      SCOPED_TRACE(std::string(signal) + ", grace " + grace);
      BadRun run;
      WriteFile(run.data, text);
      run.Set("--records", std::to_string(many.size()));
      // A folder made for the tables goes too, even when the run is cut short.
      run.Set("--tables", "$D/out/tables");
      const auto before = Snapshot(run.dir.path());
      // Job control keeps SIGINT for the background run, as in a terminal;
      // the shell's own notices go nowhere.
      std::vector<std::string> args = {
          "-c", "set -m; exec 3>&2 2>/dev/null; KORVAN_STOP_GRACE_MS=" + std::string(grace) +
                " \"$0\" \"$@\" 2>&3 & run=$!; "
                "until [ -n \"$(find '" + (run.dir / "out") + "' -name '.korvan-unfinished-procedure-*' -size +0)\" ];"
                " do kill -0 $run 2>/dev/null || break; sleep 0.002; done; kill -" + signal + " $run; wait $run",
          KORVAN_CLI_PATH};
      args.insert(args.end(), run.args.begin(), run.args.end());
      const CliResult result = RunProgram("bash", args);
      EXPECT_EQ(result.exitCode, 128 + number);
      EXPECT_EQ(result.err, "korvan-cli: stopped by SIG" + std::string(signal) + "; nothing written\n");
      EXPECT_EQ(Snapshot(run.dir.path()), before) << "a stopped run changed, added or removed files";
    }
}

// Root reads and writes every file: permission faults are seen only by
// another user, to whom the output folder belongs, so that only its mode
// keeps the user out.
TEST(BadInput, PermissionsAreRespectedForAnOrdinaryUser) {
  const std::string prefix = ::geteuid() != 0 ? "exec" : "exec setpriv --reuid=65534 --regid=65534 --clear-groups";
  if (RunCliUnder(prefix, {"--version"}).exitCode != 0) GTEST_SKIP() << "cannot run as an ordinary user";
  auto give = [](BadRun& r) { ASSERT_TRUE(::geteuid() != 0 || ::chown((r.dir / "out").c_str(), 65534, 65534) == 0); };
  auto lock = [=](BadRun& r) {
    give(r);
    using fs::perms;
    fs::permissions(r.dir / "out", perms::owner_read | perms::owner_exec | perms::others_read | perms::others_exec);
  };
  ExpectCleanFailures(
      {{[=](BadRun& r) { give(r); fs::permissions(r.data, fs::perms::none); },
        "the data file $D/trial.dat cannot be opened: you have no permission to read it"},
       {[=](BadRun& r) { lock(r); r.Drop("--procedure"); },
        "cannot create the report $D/out/trial.out in the folder $D/out: Permission denied"},
       {lock, "cannot create the procedure file $D/out/trial.procedure (--procedure): Permission denied"},
       // A shared folder where the earlier procedure file is another user's
       // but the report the user's own: neither may be replaced.
       {[](BadRun& r) {
          fs::permissions(r.dir / "out", fs::perms::all | fs::perms::sticky_bit);
          ASSERT_TRUE(::geteuid() != 0 || ::chown(r.report.c_str(), 65534, 65534) == 0);
        },
        "cannot put the procedure file in place as $D/out/trial.procedure (--procedure): Operation not permitted"}},
      prefix);
}

// Not every odd file is a bad one. Bytes that are no valid UTF-8 are one
// character each (files from older programs are often Latin-1 or
// Shift-JIS), so labels written in them must not move the fields; and a
// report name near the file system's limit must not fail for the name of
// its temporary file.
TEST(OddInput, LabelsInAnyEncodingAndLongNamesAreAnalysedAlike) {
  TempDir dir;
  // Two characters of a label before the fields of every record, and a note after them.
  const std::pair<const char*, std::string> variants[] = {  // record layout, report name
      {"ab%4d%3d%4d%3d%8.2f%8.2f\n", "ascii.out"},
      {"\xE9\xFF%4d%3d%4d%3d%8.2f%8.2f  \xE9t\xE9 1998\n", "latin1.out"},  // a Latin-1 letter and a stray byte
      {"\xE6\x9D%4d%3d%4d%3d%8.2f%8.2f\n", "cut.out"},                      // a cut UTF-8 sequence
      {"\xE6\x9D\x89x%4d%3d%4d%3d%8.2f%8.2f \xE6\x9D\x89\xE6\x9D\x89\n", std::string(250, 'n')}};  // kanji
  std::vector<std::string> reports;
  for (const auto& [layout, name] : variants) {
    SCOPED_TRACE(name);
    WriteFile(dir / "trial.dat", TrialText(SoundTrial(), layout));
    const CliResult result =
        RunCli({"--data", dir / "trial.dat", "--output", dir / name, "--quiet", "--sites", "3", "--blocks", "3",
                "--families", "5", "--records", "90", "--traits", "2", "--age", "10", "--site-col", "3,4",
                "--block-col", "7,3", "--family-col", "10,4", "--age-col", "14,3", "--trait-col", "17,8"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::string report = ReadFile(dir / name);
    ASSERT_THAT(report, StartsWith(dir / name + "\r\n"));
    reports.push_back(report.substr(report.find('\n')));
    EXPECT_EQ(reports.back(), reports.front());
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 5) << "temporary files left";
}

}  // namespace
}  // namespace korvan
