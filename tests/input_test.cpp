#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/korvan_error.h"
#include "input/level_coding.h"
#include "input/level_coding_straightforward.h"
#include "input/reader.h"
#include "input/run_parameters.h"
#include "support/test_support.h"

namespace korvan {
namespace {

using test::TempDir;
using test::WriteFile;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class CapturingSink : public ProgressSink {
 public:
  void WriteLine(std::string_view line) override { lines.emplace_back(line); }
  void Clear() override {}
  std::vector<std::string> lines;
};

// Codes in fields of 10 from 1, 11 and 21, the age in 31-35, trait fields of
// 8 from 36.
RunParameters Layout(const std::string& dataPath, const std::string& reportPath, int nTrait) {
  RunParameters params;
  params.dataPath = dataPath;
  params.reportPath = reportPath;
  params.nSite = params.nBlock = params.nFamily = params.nRecord = 1000;
  params.nTrait = nTrait;
  params.ageSel = 10;
  params.colSite = 1, params.wSite = 10;
  params.colBlock = 11, params.wBlock = 10;
  params.colFamily = 21, params.wFamily = 10;
  params.colAge = 31, params.wAge = 5;
  params.colTrait = 36, params.wTrait = 8;
  return params;
}

// One record line of that layout, each piece right-aligned in its field.
std::string Line(const std::vector<std::string>& pieces) {
  static const std::size_t widths[] = {10, 10, 10, 5, 8, 8, 8};
  std::string line;
  for (std::size_t n = 0; n < pieces.size(); ++n) {
    line.append(widths[n] > pieces[n].size() ? widths[n] - pieces[n].size() : 0, ' ');
    line += pieces[n];
  }
  return line;
}

struct ReadResult {
  RunData run;
  std::vector<std::string> lines;
};

ReadResult Read(const std::string& contents, int nTrait = 1,
                const std::function<void(RunParameters&)>& adjust = {}) {
  TempDir dir;
  WriteFile(dir / "trial.txt", contents);
  RunParameters params = Layout(dir / "trial.txt", dir / "trial.out", nTrait);
  if (adjust) adjust(params);
  ReadResult result{PrepareRun(params), {}};
  CapturingSink sink;
  ProgressLog log(sink);
  ReadRecords(result.run, log);
  result.lines = sink.lines;
  return result;
}

std::vector<std::int32_t> Levels(const RunData& run, int factor) {
  std::vector<std::int32_t> levels;
  for (int r = 1; r <= run.nRecord; ++r) levels.push_back(run.recordColumn(r, factor));
  return levels;
}

std::vector<float> Traits(const RunData& run, int trait = 1) {
  std::vector<float> values;
  for (int r = 1; r <= run.nRecord; ++r) values.push_back(run.traitValue(r, trait));
  return values;
}

std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const KorvanError& error) {
    return error.what();
  }
  return "(no error)";
}

TEST(PrepareRun, EachBadParameterIsNamedBeforeAnythingIsRead) {
  TempDir dir;
  WriteFile(dir / "trial.txt", "");
  struct Case {
    std::function<void(RunParameters&)> spoil;
    std::string message;
  };
  const Case cases[] = {
      {[](RunParameters& p) { p.dataPath.clear(); }, "data file: no data file is chosen"},
      {[&](RunParameters& p) { p.dataPath = dir.path().string(); }, "is a folder; choose a data file"},
      {[](RunParameters& p) { p.reportPath.clear(); }, "Output file: no output file name is given"},
      {[&](RunParameters& p) { p.reportPath = dir / ""; }, "is a folder; type a name"},
      {[&](RunParameters& p) { p.reportPath = dir.path().string(); }, "is a folder; type a name"},
      {[&](RunParameters& p) { p.reportPath = dir / "missing/trial.out"; }, "missing does not exist"},
      {[&](RunParameters& p) { p.reportPath = dir / "./trial.txt"; }, "Output file: the output file is the data file"},
      {[](RunParameters& p) { p.nSite = -3; }, "No. of Sites: -3 is negative"},
      {[](RunParameters& p) { p.nRecord = 2.5; }, "No. of Records: 2.5 is not a whole number"},
      {[](RunParameters& p) { p.nTrait = kMaxTrait + 1; }, "No. of Traits: " + std::to_string(kMaxTrait + 1)},
      {[](RunParameters& p) { p.nTrait = 0; }, "No. of Traits: 0; a run analyses at least one trait"},
      {[](RunParameters& p) { p.colSite = 0.5; }, "Start position of data for No. of Sites: 0.5 is below 1"},
      {[](RunParameters& p) { p.wAge = -1; }, "No. of Columns for a datum for age: -1 is negative"},
  };
  for (const Case& c : cases) {
    RunParameters params = Layout(dir / "trial.txt", dir / "trial.out", 2);
    c.spoil(params);
    EXPECT_THAT(ErrorOf([&] { PrepareRun(params); }), HasSubstr(c.message));
  }
  // Positions and widths go to the nearest whole number, a tie to the even one.
  RunParameters params = Layout(dir / "trial.txt", dir / "trial.out", 1);
  params.colSite = 2.5, params.wSite = 3.5, params.colAge = 0.6, params.wAge = 0.5;
  const RunData run = PrepareRun(params);
  EXPECT_EQ(run.siteField.start, 2);
  EXPECT_EQ(run.siteField.width, 4);
  EXPECT_EQ(run.ageField.start, 1);
  EXPECT_EQ(run.ageField.width, 0);

  // A second name of the data file is still the data file.
  ASSERT_EQ(::link((dir / "trial.txt").c_str(), (dir / "other-name.txt").c_str()), 0);
  params.reportPath = dir / "other-name.txt";
  EXPECT_THAT(ErrorOf([&] { PrepareRun(params); }), HasSubstr("the output file is the data file"));
}

TEST(ReadRecords, NumbersLevelsInOrderOfFirstOccurrence) {
  // Sites 30, 10, 20 in that order; block code 1 at two sites is two blocks,
  // family 5 at two sites one family. Record 12 is the design's example line.
  std::string data;
  const char* site[] = {"30", "30", "10", "10", "20", "30", "30", "30", "10", "10", "20", "30"};
  const char* block[] = {"1", "2", "1", "1", "4", "1", "2", "2", "3", "3", "4", "2"};
  const char* family[] = {"5", "6", "5", "7", "8", "9", "10", "11", "6", "12", "5", "13"};
  for (int r = 0; r < 11; ++r) data += Line({site[r], block[r], family[r], "10", "1.5", "-0.25"}) + "\n";
  data += Line({site[11], block[11], family[11], "10", "12.34", "5"}) + "\n";

  const ReadResult read = Read(data, 2);
  const RunData& run = read.run;
  EXPECT_EQ(run.nRecord, 12);
  EXPECT_THAT(run.siteCode, ElementsAre(0, 30, 10, 20));
  EXPECT_THAT(run.blockCount, ElementsAre(0, 2, 2, 1));
  EXPECT_THAT(run.blockCode[2], ElementsAre(0, 1, 3));
  EXPECT_EQ(run.nFamily, 9);
  EXPECT_THAT(Levels(run, 1), ElementsAre(1, 1, 2, 2, 3, 1, 1, 1, 2, 2, 3, 1));
  EXPECT_THAT(Levels(run, 2), ElementsAre(1, 2, 1, 1, 1, 1, 2, 2, 2, 2, 1, 2));
  EXPECT_THAT(Levels(run, 3), ElementsAre(1, 2, 1, 3, 4, 5, 6, 7, 2, 8, 1, 9));
  ASSERT_EQ(read.lines.size(), 12u);
  EXPECT_EQ(read.lines[0], "1  1  1  1  1.5-  .25");
  EXPECT_EQ(read.lines[11], "12  1  2  9  12.34  5.");
  EXPECT_EQ(run.traitValue(12, 1), 12.34f);
}

TEST(ReadRecords, SelectsTheAgeAndPassesOverComments) {
  const std::string data =
      ":comment whose age field holds 10\n" +
      (":" + Line({"1", "1", "1", "10", "9"}).substr(1)) + "\n" +  // a record commented out
      Line({" :", "1", "1", "10", "1"}) + "\n" +                  // a blank first: data, site code 0
      Line({"1", "1", "1", " 10", "2"}) + "\n" + Line({"1", "1", "1", "10.0", "3"}) + "\n" +
      Line({"1", "1", "1", "10.5", "4"}) + "\n" + Line({"1", "1", "1", "1 0", "5"}) + "\n" +
      "\n" + Line({"1", "1"}) + "\n";
  const ReadResult read = Read(data);
  EXPECT_EQ(read.run.nRecord, 4);
  EXPECT_THAT(Traits(read.run), ElementsAre(1, 2, 3, 5));
  EXPECT_EQ(read.run.linesRead, 9);
  EXPECT_EQ(read.run.codeWarning.count, 1);  // the site code ":"
  EXPECT_EQ(read.run.codeWarning.firstLine, 3);

  // At age 0 the blank line and the line too short for its age field are
  // records whose missing codes and traits read 0; the comments are still not.
  const ReadResult ageZero = Read(data, 1, [](RunParameters& p) { p.ageSel = 0; });
  EXPECT_EQ(ageZero.run.nRecord, 2);
  EXPECT_THAT(ageZero.run.siteCode, ElementsAre(0, 0, 1));
  EXPECT_EQ(ageZero.run.codeWarning.count, 4);  // three at line 8, the family at line 9
  EXPECT_EQ(ageZero.run.codeWarning.firstLine, 8);
  EXPECT_EQ(ageZero.run.traitWarning.count, 2);

  const ReadResult onlyComments = Read(":a\n:b\n");
  EXPECT_EQ(onlyComments.run.nRecord + onlyComments.run.nSite + onlyComments.run.nFamily, 0);
}

TEST(ReadRecords, CodesMatchOnceRoundedToSinglePrecision) {
  // ' 7', '07' and '7.0' are one code; 1.1 and 0.3 match their own stored
  // copies; -0 is 0; 16777217 is stored as 16777216 and so is that code.
  const char* codes[] = {"7", "07", "7.0", "1.1", "0.3", "1.1", "0.3", "0", "-0", "16777217", "16777216", "1 2"};
  std::string data;
  for (const char* code : codes) data += Line({"1", "1", code, "10", "1"}) + "\n";
  const ReadResult read = Read(data);
  EXPECT_THAT(Levels(read.run, 3), ElementsAre(1, 1, 1, 2, 3, 2, 3, 4, 4, 5, 5, 6));
  EXPECT_THAT(read.run.familyCode, ElementsAre(0, 7, 1.1f, 0.3f, 0, 16777216, 12));

  // Beyond single precision a value would be stored as infinity.
  EXPECT_THAT(ErrorOf([] { Read(Line({"1", "1", "1", "10", "4e38"})); }),
              HasSubstr("trial.txt: the trait field '    4e38' is beyond the range of single precision"));
  EXPECT_THAT(ErrorOf([] { Read(Line({"1", "1", "-1e39", "10", "1"})); }),
              HasSubstr("the family field '     -1e39' is beyond"));
}

TEST(ReadRecords, LineEndsAndCharacterPositions) {
  const std::string lf = Line({"30", "1", "2", "10", "1.5", "2.5"}) + "\n" + Line({"20", "1", "3", "10", "7", "8"});
  std::string crlf = lf;
  crlf.insert(crlf.find('\n'), "\r");
  const ReadResult a = Read(lf, 2), b = Read(crlf + "\r\n", 2);
  EXPECT_EQ(a.lines, b.lines);
  EXPECT_EQ(a.run.nRecord, 2);
  EXPECT_EQ(a.run.linesRead, 2);

  // A lone CR ends no line: a file with CR line ends would read as one
  // record, so it is refused rather than read. A CR at the very end is the
  // rest of a CR LF.
  EXPECT_THAT(ErrorOf([] { Read(Line({"30", "1", "2", "10", "1"}) + "\r" + Line({"20", "1", "3", "10", "2"})); }),
              HasSubstr("line 1 of "));
  EXPECT_EQ(Read(lf + "\r", 2).lines, a.lines);

  // Site names in the first four columns: a valid UTF-8 sequence is one
  // character, each byte of a broken one is one; a byte-order mark is none.
  const std::string utf8 = "\xEF\xBB\xBF" "杉杉杉1  1   2 10     1.5\n"  // 3-byte characters
                           "\xC3\xA9\xC3\xA9 2  1   2 10     2.5\n"          // é
                           "\xE6\x9D" "a3  1   2 10     3.5\n"               // cut sequence: two characters
                           "\xFF\xFE\xC0" "4  1   2 10     4.5\n";           // bytes no sequence starts
  const ReadResult read = Read(utf8, 1, [](RunParameters& p) {
    p.colSite = 4, p.wSite = 1, p.colBlock = 5, p.wBlock = 3, p.colFamily = 8, p.wFamily = 4;
    p.colAge = 12, p.wAge = 3, p.colTrait = 15;
  });
  EXPECT_THAT(read.run.siteCode, ElementsAre(0, 1, 2, 3, 4));
  EXPECT_THAT(Traits(read.run), ElementsAre(1.5f, 2.5f, 3.5f, 4.5f));
}

TEST(ReadRecords, TraitFieldsConvertedInBatchesAsOneByOne) {
  // 20,000 records of 20 traits: the trait fields are converted thousands
  // of records at a time, each batch on two threads. Line 2500 has a
  // character beyond its fields that is not ASCII (the records before it
  // are converted then, its own fields at once); the empty fields, the first
  // on line 1400, must be counted as one by one.
  constexpr int kRecords = 20000, kTraits = 20;
  std::mt19937 random(3);
  std::string data;
  std::vector<std::vector<float>> expected(kTraits);
  int empty = 0, firstEmpty = 0;
  for (int r = 1; r <= kRecords; ++r) {
    std::string line = Line({std::to_string(1 + r % 7), std::to_string(1 + r % 3), std::to_string(1 + r % 50), "10"});
    for (int t = 0; t < kTraits; ++t) {
      const bool blank = r >= 1400 && (r * 31 + t) % 997 == 0;
      char field[16] = "";
      if (!blank) std::snprintf(field, sizeof field, "%8.*f", static_cast<int>(random() % 4),
                                static_cast<double>(static_cast<int>(random() % 2000000) - 1000000) / 1000.0);
      line += blank ? std::string(8, ' ') : std::string(field);
      double value = 0;
      if (!blank) std::from_chars(field + std::strspn(field, " "), field + std::strlen(field), value);
      expected[t].push_back(static_cast<float>(value));
      if (blank && empty++ == 0) firstEmpty = r;
    }
    if (r == 2500) line += "  \xC3\xA9";
    data += line + "\n";
  }
  const ReadResult read = Read(data, kTraits, [](RunParameters& p) { p.nRecord = kRecords; });
  ASSERT_EQ(read.run.nRecord, kRecords);
  for (int t = 1; t <= kTraits; ++t) ASSERT_EQ(Traits(read.run, t), expected[t - 1]) << "trait " << t;
  ASSERT_GT(empty, 0);
  EXPECT_EQ(read.run.traitWarning.count, empty);
  EXPECT_EQ(read.run.traitWarning.firstLine, firstEmpty);
  ASSERT_EQ(read.lines.size(), static_cast<std::size_t>(kRecords));
  EXPECT_EQ(read.lines[2499].substr(0, 4), "2500");

  // A trait field too large for single precision on an earlier line than a
  // site beyond the capacity is the failure reported, and the other way
  // round, wherever the batches of trait fields stand then.
  auto withFaults = [&](int tooLarge, int extraSite, int alsoTooLarge = 0) {
    std::string faulty;
    for (int r = 1; r <= kRecords; ++r) {
      faulty += Line({r == extraSite ? "99" : "1", "1", "1", "10"});
      for (int t = 0; t < kTraits; ++t)
        faulty += (r == tooLarge && t == 5) || (r == alsoTooLarge && t == 2) ? "   4e+38" : "     1.5";
      faulty += "\n";
    }
    return ErrorOf([&] { Read(faulty, kTraits, [](RunParameters& p) { p.nRecord = 20000, p.nSite = 1; }); });
  };
  for (const auto& [early, late] : {std::pair{3000, 4000}, std::pair{9000, 17000}, std::pair{15000, 15001}}) {
    const std::string where = "line " + std::to_string(early) + " of";
    EXPECT_THAT(withFaults(early, late), AllOf(HasSubstr(where), HasSubstr("the trait field '   4e+38' is beyond")));
    EXPECT_THAT(withFaults(late, early), AllOf(HasSubstr(where), HasSubstr("a 2nd site (code 99) is more than")));
  }
  // Of two such fields, in one batch or in two, the earlier line's.
  EXPECT_THAT(withFaults(12000, 0, 9000), HasSubstr("line 9000 of"));
  EXPECT_THAT(withFaults(19000, 0, 3000), HasSubstr("line 3000 of"));
}

TEST(ReadRecords, ExceededCapacitiesNameCountLineAndFile) {
  // n distinct sites under a capacity of n - 1, after one comment line.
  struct Case {
    int n;
    const char* ordinal;
  };
  for (const Case c : {Case{1, "1st"}, {2, "2nd"}, {3, "3rd"}, {4, "4th"}, {11, "11th"}, {12, "12th"},
                       {13, "13th"}, {21, "21st"}, {22, "22nd"}, {23, "23rd"}, {111, "111th"}, {112, "112th"}}) {
    std::string data = ":sites\n";
    for (int i = 1; i <= c.n; ++i) data += Line({std::to_string(i * 10), "1", "1", "10", "1"}) + "\n";
    const std::string message =
        ErrorOf([&] { Read(data, 1, [&](RunParameters& p) { p.nSite = c.n - 1; }); });
    EXPECT_THAT(message, HasSubstr("line " + std::to_string(c.n + 1) + " of "));
    EXPECT_THAT(message, HasSubstr("trial.txt: a " + std::string(c.ordinal) + " site (code " +
                                   std::to_string(c.n * 10) + ") is more than No. of Sites = " +
                                   std::to_string(c.n - 1)));
  }
  const std::string data = Line({"5", "1", "1", "10", "1"}) + "\n" + Line({"5", "2", "2", "10", "1"}) + "\n" +
                           Line({"8", "1.5", "3", "10", "1"}) + "\n" + Line({"8", "2", "3", "10", "1"}) + "\n";
  struct Limit {
    std::function<void(RunParameters&)> adjust;
    const char* message;
  };
  const Limit limits[] = {
      {[](RunParameters& p) { p.nBlock = 1; }, "line 2 of $: a 2nd block (code 2) at site 5 is more than No. of Blocks = 1"},
      {[](RunParameters& p) { p.nFamily = 2; }, "line 3 of $: a 3rd family (code 3) is more than No. of Families = 2"},
      {[](RunParameters& p) {
         p.nRecord = 3;
         p.fieldNames[static_cast<std::size_t>(Field::kRecords)] = "--records";
       },
       "line 4 of $: a 4th record of age 10 is more than --records = 3"},
      {[](RunParameters& p) { p.nSite = 2, p.nBlock = 2, p.nFamily = 3, p.nRecord = 4; }, "(no error)"},
  };
  for (const Limit& limit : limits) {
    std::string message = ErrorOf([&] { Read(data, 1, limit.adjust); });
    const std::size_t path = message.find("/trial.txt");  // in a fresh temporary folder
    if (path != std::string::npos) message.replace(message.find('/'), path + 10 - message.find('/'), "$");
    EXPECT_EQ(message, limit.message);
  }
}

TEST(ReadRecords, DataFileThatCannotBeOpenedSaysWhy) {
  TempDir dir;
  RunParameters params = Layout(dir / "absent.txt", dir / "trial.out", 1);
  RunData run = PrepareRun(params);
  NullSink sink;
  ProgressLog log(sink);
  EXPECT_THAT(ErrorOf([&] { ReadRecords(run, log); }),
              HasSubstr("the data file " + (dir / "absent.txt") + " does not exist"));
  if (::geteuid() == 0) GTEST_SKIP() << "root reads any file: the permission case cannot be seen";
  WriteFile(dir / "locked.txt", "");
  std::filesystem::permissions(dir / "locked.txt", std::filesystem::perms::none);
  run.params.dataPath = dir / "locked.txt";
  EXPECT_THAT(ErrorOf([&] { ReadRecords(run, log); }), HasSubstr("you have no permission to read it"));
}

TEST(ReadRecords, StopRequestIsSeenWhileReading) {
  // The window's "End" must not wait for the end of a large file.
  class StoppingSink : public CapturingSink {
   public:
    bool StopRequested() const override { return ++checks_ > 1; }  // not at the stage's start
   private:
    mutable int checks_ = 0;
  };
  TempDir dir;
  std::string data;
  for (int r = 0; r < 20000; ++r) data += Line({"1", "1", "1", "10", "1"}) + "\n";
  WriteFile(dir / "trial.txt", data);
  RunData run = PrepareRun(Layout(dir / "trial.txt", dir / "trial.out", 1));
  run.capRecord = 20000;
  StoppingSink sink;
  ProgressLog log(sink);
  EXPECT_THROW(ReadRecords(run, log), RunCancelled);
  EXPECT_LT(sink.lines.size(), 10000u);
}

// The level numbers the stored codes would give when searched in order, as
// a reference for the hashed look-up.
TEST(ReadRecords, HashedLookUpGivesTheNumbersOfALinearSearch) {
  std::mt19937 random(7);
  const char* pool[] = {"0", "-0", "1.1", "0.3", "7", "07", "-7", "2.5", "1e1", "10", "16777217", "16777216", "x"};
  std::string data;
  std::vector<std::array<float, 3>> codes;
  for (int r = 0; r < 3000; ++r) {
    std::array<std::string, 3> text;
    for (int f = 0; f < 3; ++f) text[f] = random() % 4 ? pool[random() % std::size(pool)] : std::to_string(random() % 40);
    data += Line({text[0], text[1], text[2], "10", "1"}) + "\n";
    codes.push_back({});
    for (int f = 0; f < 3; ++f) codes.back()[f] = static_cast<float>(text[f] == "x" ? 0.0 : std::stod(text[f]));
  }
  const RunData run = Read(data, 1, [](RunParameters& p) { p.nRecord = 3000; }).run;
  ASSERT_EQ(run.nRecord, 3000);
  std::vector<float> sites, families;
  std::vector<std::vector<float>> blocks;
  auto find = [](std::vector<float>& stored, float code) {
    for (std::size_t n = 0; n < stored.size(); ++n)
      if (stored[n] == code) return static_cast<int>(n) + 1;
    stored.push_back(code);
    return static_cast<int>(stored.size());
  };
  for (int r = 1; r <= run.nRecord; ++r) {
    const auto& [site, block, family] = codes[r - 1];
    const int i = find(sites, site);
    blocks.resize(sites.size());
    ASSERT_EQ(run.recordColumn(r, 1), i) << "record " << r;
    ASSERT_EQ(run.recordColumn(r, 2), find(blocks[i - 1], block)) << "record " << r;
    ASSERT_EQ(run.recordColumn(r, 3), find(families, family)) << "record " << r;
  }
}

// Records with levels numbered as the reader numbers them.
RunData Design(int nBlock, const std::vector<std::array<int, 3>>& levels) {
  RunData run;
  run.nBlock = nBlock;
  run.blockCount.assign(1, 0);
  for (const auto& [i, k, j] : levels) {
    run.recordColumn.AppendLevels(i, k, j);
    run.nSite = std::max(run.nSite, i);
    run.blockCount.resize(run.nSite + 1, 0);
    run.blockCount[i] = std::max(run.blockCount[i], k);
    run.nFamily = std::max(run.nFamily, j);
    ++run.nRecord;
  }
  return run;
}

std::vector<std::string> Code(RunData& run) {
  CapturingSink sink;
  ProgressLog log(sink);
  CodeLevels(run, log);
  return sink.lines;
}

TEST(CodeLevels, WorkedExampleOfTwoSitesThreeBlockPlacesTwoFamilies) {
  // Site 1 has blocks 1 and 2, site 2 block 1; family 2 never occurs at site 2.
  RunData run = Design(3, {{1, 1, 1}, {1, 2, 2}, {2, 1, 1}, {1, 1, 2}});
  const std::vector<std::string> lines = Code(run);
  EXPECT_EQ((std::array{run.repOffset, run.p, run.famEnd, run.q, run.nRep, run.nSF}),
            (std::array{3, 6, 8, 11, 3, 3}));
  EXPECT_EQ(run.colOffset, (std::array<int, 7>{0, 0, 1, 3, 6, 8, 11}));
  EXPECT_THAT(run.repSite, ElementsAre(0, 0, 0, 0, 2, 2, 3));
  EXPECT_THAT(lines, ElementsAre("  1  1  1  1  1  2  4  10  12", "  2  1  2  2  1  2  5  11  13",
                                 "  3  2  1  1  1  3  7  10  14", "  4  1  1  2  1  2  4  11  13",
                                 "  1   1  2  4  7  9", "  2   1  2  5  8  10",
                                 "  3   1  3  6  7  11", "  4   1  2  4  8  10"));

  RunData empty = Design(3, {});
  EXPECT_TRUE(Code(empty).empty());
  EXPECT_EQ((std::array{empty.p, empty.famEnd, empty.q, empty.nRep, empty.nSF}), (std::array{1, 1, 1, 0, 0}));
}

TEST(CodeLevels, CompactionMatchesColumnByColumnRemoval) {
  // The counting sort against the removal of one column at a time.
  std::mt19937 random(11);
  for (int trial = 0; trial < 40; ++trial) {
    const int nBlock = 1 + static_cast<int>(random() % 6);
    const bool balanced = trial < 4;
    std::vector<std::array<int, 3>> levels;
    std::vector<int> blocks(1, 0);  // blocks found per site
    int nFamily = 0;
    for (int r = 0, records = balanced ? 0 : 1 + static_cast<int>(random() % 400); r < records; ++r) {
      const int i = 1 + static_cast<int>(random() % blocks.size());  // an old site or the next new one
      if (i == static_cast<int>(blocks.size())) blocks.push_back(0);
      const int k = 1 + static_cast<int>(random() % std::min(blocks[i] + 1, nBlock));
      const int j = 1 + static_cast<int>(random() % (nFamily + 1));
      blocks[i] = std::max(blocks[i], k);
      nFamily = std::max(nFamily, j);
      levels.push_back({i, k, j});
    }
    for (int i = 1; balanced && i <= 3; ++i)  // every block and every family at every site
      for (int k = 1; k <= nBlock; ++k)
        for (int j = 1; j <= 4; ++j) levels.push_back({i, k, j});
    RunData run = Design(nBlock, levels);
    RunData expected = run;
    CapturingSink expectedLines;
    ProgressLog expectedLog(expectedLines);
    CodeLevelsStraightforward(expected, expectedLog);
    EXPECT_EQ(Code(run), expectedLines.lines) << "trial " << trial;
    for (int r = 1; r <= run.nRecord; ++r)
      for (int factor = 1; factor <= 5; ++factor)
        ASSERT_EQ(run.recordColumn(r, factor), expected.recordColumn(r, factor))
            << "trial " << trial << ", record " << r << ", factor " << factor;
    EXPECT_EQ(run.colOffset, expected.colOffset) << "trial " << trial;
    EXPECT_EQ((std::array{run.p, run.famEnd, run.q, run.nRep, run.nSF}),
              (std::array{expected.p, expected.famEnd, expected.q, expected.nRep, expected.nSF}))
        << "trial " << trial;
    EXPECT_EQ(run.repSite, expected.repSite) << "trial " << trial;
    if (balanced) {
      EXPECT_EQ(run.q, 1 + 3 + 3 * nBlock + 4 + 3 * 4);
    }
  }
}

TEST(CodeLevels, AbsurdDeclaredCountsCostNothingAndListWideColumns) {
  // 10^9 blocks per site and records: nothing is allocated by them, and the
  // full layout's columns, past 32 bits, are listed as they are.
  const std::string data = Line({"1", "1", "1", "10", "1"}) + "\n" + Line({"3", "2", "2", "10", "1"}) + "\n";
  ReadResult read = Read(data, 1, [](RunParameters& p) { p.nBlock = p.nRecord = p.nSite = p.nFamily = 1e9; });
  const std::vector<std::string> lines = Code(read.run);
  EXPECT_EQ(lines[1], "  2  2  1  2  1  3  1000000004  2000000005  2000000009");
  EXPECT_EQ(lines[3], "  2   1  3  5  7  9");
}

}  // namespace
}  // namespace korvan
