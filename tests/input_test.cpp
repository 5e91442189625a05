#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/korvan_error.h"
#include "input/delimited.h"
#include "input/level_coding.h"
#include "input/reader.h"
#include "input/run_parameters.h"
#include "support/test_support.h"

namespace korvan {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

struct CapturingSink : ProgressSink {
  void WriteLine(std::string_view line) override { lines.emplace_back(line); }
  void Clear() override {}
  std::vector<std::string> lines;
};

// Codes in fields of 10 from 1, 11 and 21, the age in 31-35, trait fields of
// 8 from 36.
RunParameters Layout(const test::TempDir& dir, int nTrait) {
  RunParameters params;
  params.dataPath = dir / "trial.txt", params.reportPath = dir / "trial.out";
  params.nSite = params.nBlock = params.nFamily = params.nRecord = 1000;
  params.nTrait = nTrait, params.ageSel = 10;
  params.colSite = 1, params.wSite = 10, params.colBlock = 11, params.wBlock = 10, params.colFamily = 21;
  params.wFamily = 10, params.colAge = 31, params.wAge = 5, params.colTrait = 36, params.wTrait = 8;
  return params;
}

// One record line of that layout, each piece right-aligned in its field.
std::string Line(const std::vector<std::string>& pieces, std::size_t familyWidth = 10) {
  const std::size_t widths[] = {10, 10, familyWidth, 5, 8, 8, 8};
  std::string line;
  for (std::size_t n = 0; n < pieces.size(); ++n)
    line += std::string(widths[n] > pieces[n].size() ? widths[n] - pieces[n].size() : 0, ' ') + pieces[n];
  return line;
}

struct ReadResult {
  RunData run;
  std::vector<std::string> lines;
  std::string error;  // the data file written as $; empty when there is none
};

// Reads `contents` as the data file; into `sink` when one is given.
ReadResult Read(const std::string& contents, int nTrait = 1, const std::function<void(RunParameters&)>& adjust = {},
                CapturingSink* sink = nullptr) {
  test::TempDir dir;
  test::WriteFile(dir / "trial.txt", contents);
  RunParameters params = Layout(dir, nTrait);
  if (adjust) adjust(params);
  ReadResult result;
  CapturingSink ownSink;
  ProgressLog log(sink ? *sink : ownSink);
  try {
    result.run = PrepareRun(params);
    ReadRecords(result.run, log);
    SettleCounts(result.run);
  } catch (const KorvanError& error) {
    result.error = error.what();
  }
  const std::string path = dir / "trial.txt";
  if (const auto at = result.error.find(path); at != std::string::npos) result.error.replace(at, path.size(), "$");
  result.lines = (sink ? *sink : ownSink).lines;
  return result;
}

// Site, block and family number of each record: "i.k.j i.k.j ...".
std::string Levels(const RunData& run) {
  std::string levels;
  for (int r = 1; r <= run.nRecord; ++r)
    for (int factor = 1; factor <= 3; ++factor)
      levels += std::to_string(run.recordColumn(r, factor)) + (factor < 3 ? "." : r < run.nRecord ? " " : "");
  return levels;
}

// The codes as written, and the names among them ("" for a number).
std::vector<std::string> Texts(const std::vector<LevelCode>& codes) {
  std::vector<std::string> texts;
  for (std::size_t n = 1; n < codes.size(); ++n) texts.push_back(codes[n].text);
  return texts;
}
std::vector<std::string> Names(const std::vector<LevelCode>& codes) {
  std::vector<std::string> names;
  for (std::size_t n = 1; n < codes.size(); ++n) names.push_back(codes[n].name ? codes[n].text : "");
  return names;
}

std::vector<float> Traits(const RunData& run) {
  return {run.traitValue.Trait(1) + 1, run.traitValue.Trait(1) + 1 + run.nRecord};
}

TEST(PrepareRun, EachBadParameterIsNamedBeforeAnythingIsRead) {
  test::TempDir dir;
  test::WriteFile(dir / "trial.txt", "");
  const std::pair<std::function<void(RunParameters&)>, std::string> cases[] = {
      {[](RunParameters& p) { p.dataPath.clear(); }, "data file: no data file is chosen"},
      {[&](RunParameters& p) { p.dataPath = dir.path().string(); }, "is a folder; choose a data file"},
      {[](RunParameters& p) { p.reportPath.clear(); }, "Output file: no output file name is given"},
      {[&](RunParameters& p) { p.reportPath = dir / ""; }, "is a folder; type a name"},
      {[&](RunParameters& p) { p.reportPath = dir.path().string(); }, "is a folder; type a name"},
      {[&](RunParameters& p) { p.reportPath = dir / "missing/trial.out"; }, "missing does not exist"},
      {[](RunParameters& p) { p.nSite = -3; }, "No. of Sites: -3 is negative"},
      {[](RunParameters& p) { p.nRecord = 2.5; }, "No. of Records: 2.5 is not a whole number"},
      {[](RunParameters& p) { p.nTrait = kMaxTrait + 1; }, "No. of Traits: " + std::to_string(kMaxTrait + 1)},
      {[](RunParameters& p) { p.nTrait = 0; }, "No. of Traits: 0; a run analyses at least one trait"},
      {[](RunParameters& p) { p.colSite = 0.5; }, "Start position of data for No. of Sites: 0.5 is below 1"},
      {[](RunParameters& p) { p.wAge = -1; }, "No. of Columns for a datum for age: -1 is negative"},
  };
  for (const auto& [spoil, message] : cases) {
    RunParameters params = Layout(dir, 2);
    spoil(params);
    EXPECT_THAT([&] { PrepareRun(params); }, ThrowsMessage<KorvanError>(HasSubstr(message)));
  }
  // Positions and widths go to the nearest whole number, a tie to the even one.
  RunParameters params = Layout(dir, 1);
  params.colSite = 2.5, params.wSite = 3.5, params.colAge = 0.6, params.wAge = 0.5;
  const RunData run = PrepareRun(params);
  EXPECT_EQ((std::array{run.siteField.start, run.siteField.width, run.ageField.start, run.ageField.width}),
            (std::array<std::int64_t, 4>{2, 4, 1, 0}));
}

TEST(ReadRecords, NumbersLevelsInOrderOfFirstOccurrence) {
  // Sites 30, 10, 20 in that order; block code 1 at two sites is two blocks,
  // family 5 at two sites one family. Record 12 is the design's example line.
  const char* site[] = {"30", "30", "10", "10", "20", "30", "30", "30", "10", "10", "20", "30"};
  const char* block[] = {"1", "2", "1", "1", "4", "1", "2", "2", "3", "3", "4", "2"};
  const char* family[] = {"5", "6", "5", "7", "8", "9", "10", "11", "6", "12", "5", "13"};
  std::string data;
  for (int r = 0; r < 12; ++r)
    data += Line({site[r], block[r], family[r], "10", r < 11 ? "1.5" : "12.34", r < 11 ? "-0.25" : "5"}) + "\n";
  const ReadResult read = Read(data, 2);
  const RunData& run = read.run;
  EXPECT_THAT(Texts(run.siteCode), ElementsAre("30", "10", "20"));
  EXPECT_THAT(Texts(run.blockCode[2]), ElementsAre("1", "3"));
  EXPECT_THAT(run.blockCount, ElementsAre(0, 2, 2, 1));
  EXPECT_EQ(run.nFamily, 9);
  EXPECT_EQ(Levels(run), "1.1.1 1.2.2 2.1.1 2.1.3 3.1.4 1.1.5 1.2.6 1.2.7 2.2.2 2.2.8 3.1.1 1.2.9");
  ASSERT_EQ(read.lines.size(), 12u);
  EXPECT_EQ(read.lines[0] + " | " + read.lines[11], "1  1  1  1  1.5-  .25 | 12  1  2  9  12.34  5.");
}

TEST(ReadRecords, SelectsTheAgeAndPassesOverComments) {
  const std::string data =
      ":comment whose age field holds 10\n" +
      (":" + Line({"1", "1", "1", "10", "9"}).substr(1)) + "\n" +  // a record commented out
      Line({" :", "1", "1", "10", "1"}) + "\n" +                  // a blank first: data, site code 0
      Line({"1", "1", "1", " 10", "2"}) + "\n" + Line({"1", "1", "1", "10.0", "3"}) + "\n" +
      Line({"1", "1", "1", "10.5", "4"}) + "\n" + Line({"1", "1", "1", "1 0", "5"}) + "\n\n" + Line({"1", "1"}) + "\n";
  const RunData run = Read(data).run;
  EXPECT_THAT(Traits(run), ElementsAre(1, 2, 3, 5));
  EXPECT_EQ((std::array{run.linesRead, run.commentLines, run.codeWarning.count}),
            (std::array<std::int64_t, 3>{9, 2, 0}));
  EXPECT_THAT(Names(run.siteCode), ElementsAre(":", ""));  // the site code ":" is a name
  EXPECT_THAT(run.otherAges, ElementsAre(10.5));

  // At age 0 the blank line and the line too short for its age field are
  // records whose missing codes read 0 and whose traits are missing; the
  // comments are still not records.
  const RunData ageZero = Read(data, 1, [](RunParameters& p) { p.ageSel = 0; }).run;
  EXPECT_THAT(Texts(ageZero.siteCode), ElementsAre("0", "1"));
  EXPECT_EQ((std::array{ageZero.codeWarning.count, ageZero.codeWarning.firstLine, ageZero.traitWarning.count,
                        ageZero.missingValues.byTrait[1].missing.count, ageZero.missingValues.trees}),
            (std::array<std::int64_t, 5>{4, 8, 0, 2, 2}));  // three at line 8, the family at line 9
  const RunData onlyComments = Read(":a\n:b\n").run;
  EXPECT_EQ(onlyComments.nRecord + onlyComments.nSite + onlyComments.nFamily, 0);
}

// Accession numbers of eight or twelve digits, codes with fractions and in
// exponent form: equal values are one code, nothing else merges.
TEST(ReadRecords, CodesMatchByTheirExactValue) {
  std::string data;
  for (const char* code : {"7", "07", "7.0", "1.1", "0.3", "1.1", "0.3", "0", "-0", "16777217", "16777216", "1 2",
                           "20170016", "20170017", "0.7E1", "201700170001", "201700170002", "1.10", "-1e39",
                           "12345678901234567890"})
    data += Line({"1", "1", code, "10", "1"}, 22) + "\n";
  const RunData run = Read(data, 1, [](RunParameters& p) { p.wFamily = 22, p.colAge = 43, p.colTrait = 48; }).run;
  EXPECT_EQ(Levels(run), "1.1.1 1.1.1 1.1.1 1.1.2 1.1.3 1.1.2 1.1.3 1.1.4 1.1.4 1.1.5 1.1.6 1.1.7 1.1.8 1.1.9 "
                         "1.1.1 1.1.10 1.1.11 1.1.2 1.1.12 1.1.13");
  EXPECT_THAT(Texts(run.familyCode), ElementsAre("7", "1.1", "0.3", "0", "16777217", "16777216", "1 2", "20170016",
                                                  "20170017", "201700170001", "201700170002", "-1e39",
                                                  "12345678901234567890"));
  // The report writes a code as single precision always has where that
  // gives the code back, and every digit where it would not.
  std::vector<std::string> written;
  for (std::size_t j = 1; j < run.familyCode.size(); ++j) written.push_back(run.familyCode[j].written);
  EXPECT_THAT(written, ElementsAre(" 7 ", " 1.1 ", " .3 ", " 0 ", " 16777217 ", " 16777216 ", " 12 ", " 20170016 ",
                                   " 20170017 ", " 201700170001 ", " 201700170002 ",
                                   "-1000000000000000000000000000000000000000 ", " 12345678901234567890 "));
  // A trait value beyond single precision would be stored as infinity.
  EXPECT_EQ(Read(Line({"1", "1", "1", "10", "4e38"})).error, "line 1 of $: the trait field '    4e38' is "
            "beyond the range of single precision (about 3.4E+38); check the field's position");
}

TEST(ReadRecords, LineEndsAndCharacterPositions) {
  const std::string one = Line({"30", "1", "2", "10", "1.5", "2.5"}), two = Line({"20", "1", "3", "10", "7", "8"});
  const ReadResult a = Read(one + "\n" + two, 2);
  EXPECT_EQ((std::array{a.run.nRecord, static_cast<int>(a.run.linesRead)}), (std::array{2, 2}));
  EXPECT_EQ(Read(one + "\r\n" + two + "\r\n", 2).lines, a.lines);
  // A lone CR ends no line: a file with CR line ends would read as one
  // record, so it is refused rather than read. A CR at the very end is the
  // rest of a CR LF.
  EXPECT_THAT(Read(one + "\r" + two, 2).error,
              HasSubstr("line 1 of $: a carriage return (CR) stands inside the line"));
  EXPECT_EQ(Read(one + "\n" + two + "\r", 2).lines, a.lines);

  // Site names in the first four columns: a valid UTF-8 sequence is one
  // character, each byte of a broken one is one; a byte-order mark is none.
  const std::string utf8 = "\xEF\xBB\xBF" "杉杉杉1  1   2 10     1.5\n"  // 3-byte characters
                           "\xC3\xA9\xC3\xA9 2  1   2 10     2.5\n"          // é
                           "\xE6\x9D" "a3  1   2 10     3.5\n"               // cut sequence: two characters
                           "\xFF\xFE\xC0" "4  1   2 10     4.5\n";           // bytes no sequence starts
  const RunData run = Read(utf8, 1, [](RunParameters& p) {
    p.colSite = 4, p.wSite = 1, p.colBlock = 5, p.wBlock = 3, p.colFamily = 8, p.wFamily = 4;
    p.colAge = 12, p.wAge = 3, p.colTrait = 15;
  }).run;
  EXPECT_THAT(Texts(run.siteCode), ElementsAre("1", "2", "3", "4"));
  EXPECT_THAT(Traits(run), ElementsAre(1.5f, 2.5f, 3.5f, 4.5f));
}

TEST(ReadRecords, ExceededCapacitiesSayWhatTheDataHold) {
  const std::string data = Line({"5", "1", "1", "10", "1"}) + "\n" + Line({"5", "2", "2", "10", "1"}) + "\n" +
                           Line({"8", "1.5", "3", "10", "1"}) + "\n" + Line({"8", "2", "3", "10", "1"}) + "\n";
  const std::string how = " ($); enter at least 2, or leave the count out and let the data decide";
  const std::pair<std::function<void(RunParameters&)>, std::string> limits[] = {
      {[](RunParameters& p) { p.nSite = 1; }, "the data hold 2 sites, more than No. of Sites = 1" + how},
      {[](RunParameters& p) { p.nBlock = 1; }, "the data hold 2 blocks at site 5, more than No. of Blocks = 1" + how},
      {[](RunParameters& p) { p.nFamily = 2; }, "the data hold 3 families, more than No. of Families = 2"},
      {[](RunParameters& p) { p.nRecord = 3, p.fieldNames[static_cast<std::size_t>(Field::kRecords)] = "--records"; },
       "the data hold 4 records of age 10, more than --records = 3"},
      {[](RunParameters& p) { p.nSite = 2, p.nBlock = 2, p.nFamily = 3, p.nRecord = 4; }, ""},
      {[](RunParameters& p) { p.nSite = p.nBlock = p.nFamily = p.nRecord = kNoLimit; }, ""},
  };
  for (const auto& [adjust, message] : limits) EXPECT_THAT(Read(data, 1, adjust).error, testing::StartsWith(message));
  // Left out, the most blocks of any site lays out the columns.
  EXPECT_EQ(Read(data, 1, [](RunParameters& p) { p.nBlock = kNoLimit; }).run.nBlock, 2);
}

// Levels of "a.b.c" records told apart by their codes' text or number.
TEST(ReadRecords, NamesAreToldApartByTheirTextNumbersByTheirValue) {
  std::string data;
  for (const char* family : {"12a", "12b", "12", " 12.0", "\"12a\"", "1x3", "1", "\"7\"", "7", "12b "})
    data += Line({"A 1", "\"A 1\"", family, "10", "1"}) + "\n";
  const RunData run = Read(data).run;
  EXPECT_EQ(Levels(run), "1.1.1 1.1.2 1.1.3 1.1.3 1.1.1 1.1.4 1.1.5 1.1.6 1.1.6 1.1.2");
  EXPECT_THAT(Names(run.familyCode), ElementsAre("12a", "12b", "", "1x3", "", ""));
  EXPECT_THAT(Names(run.siteCode), ElementsAre("A 1"));
  EXPECT_EQ(run.codeWarning.count, 0);
}

// Trait 1 of eight trees; the fifth holds a value no code matches.
TEST(ReadRecords, MissingValuesStopDropOrReadAsZero) {
  const char* values[] = {"1.5", "NA", "", "  -  ", "abc", "-9", "2", "."};
  std::string data;
  for (int r = 0; r < 8; ++r)
    data += Line({std::to_string(r % 2), std::to_string(r % 4), std::to_string(r), "10", values[r]}) + "\n";
  struct Case {
    MissingMode mode;
    std::vector<std::string> codes;
    std::vector<float> traits;
    std::array<std::int64_t, 4> tally;  // trees, first line, left out, trait warnings
  };
  const Case cases[] = {
      {MissingMode::kStop, {"NA", ".", "*", "-"}, {1.5f, 0, 0, 0, 0, -9, 2, 0}, {4, 2, 0, 1}},
      {MissingMode::kStop, {"-9"}, {1.5f, 0, 0, 0, 0, 0, 2, 0}, {2, 3, 0, 4}},  // numbers match by value
      {MissingMode::kDrop, {"NA", ".", "*", "-"}, {1.5f, 0, -9, 2}, {4, 2, 4, 1}},
      {MissingMode::kZero, {"NA", ".", "*", "-"}, {1.5f, 0, 0, 0, 0, -9, 2, 0}, {0, 0, 0, 5}},
  };
  for (const Case& c : cases) {
    const RunData run = Read(data, 1, [&](RunParameters& p) { p.missing = c.mode, p.missingCodes = c.codes; }).run;
    EXPECT_THAT(std::vector<float>(run.traitValue.Trait(1) + 1, run.traitValue.Trait(1) + 1 + run.nRecord),
                ElementsAreArray(c.traits));
    const MissingTally& m = run.missingValues;
    EXPECT_EQ((std::array{m.trees, m.firstLine, m.dropped, run.traitWarning.count}), c.tally);
  }
  // Left out before they are given levels: the next family is the 2nd.
  const RunData dropped = Read(data, 1, [](RunParameters& p) { p.missing = MissingMode::kDrop; }).run;
  EXPECT_EQ(Levels(dropped), "1.1.1 1.1.2 2.1.3 1.2.4");
}

// A sheet's header, quotes and blank rows; the same trial each time.
TEST(ReadRecords, DelimitedFilesByColumnNameOrNumber) {
  const std::string rows = "a,1,f1,10,1.5\n\n,,,,\n\"a\",2,\"f,2\",10,2.5\n:comment\nb,1,\"f\"\"3\"\"\n\",10,3.5\n";
  auto read = [](const std::string& text, const std::function<void(RunParameters&)>& adjust) {
    return Read(text, 1, [&](RunParameters& p) {
      p.delimited = true, p.siteColumn = "site", p.blockColumn = "2", p.familyColumn = "fam", p.ageColumn = "age";
      p.traitColumns = {"5-5"}, p.nTrait = 0;
      if (adjust) adjust(p);
    });
  };
  const ReadResult comma = read("site,block,fam,age,h\n" + rows, {});
  ASSERT_EQ(comma.error, "");
  EXPECT_EQ(Levels(comma.run), "1.1.1 1.2.2 2.1.3");
  EXPECT_THAT(Names(comma.run.familyCode), ElementsAre("f1", "f,2", "f\"3\"\n"));
  EXPECT_THAT(Traits(comma.run), ElementsAre(1.5f, 2.5f, 3.5f));
  std::string semicolons = "site;block;fam;age;h\n" + rows;
  std::replace(semicolons.begin(), semicolons.end(), ',', ';');
  std::replace(semicolons.begin(), semicolons.end(), '.', ',');
  const ReadResult european = read(semicolons, {});  // a semicolon sheet writes decimal commas
  EXPECT_EQ(Levels(european.run) + " " + european.run.familyCode[2].text, "1.1.1 1.2.2 2.1.3 f;2");
  EXPECT_THAT(Traits(european.run), ElementsAre(1.5f, 2.5f, 3.5f));
  const ReadResult noHeader = read(rows, [](RunParameters& p) {
    p.header = false, p.siteColumn = "1", p.familyColumn = "3", p.ageColumn.clear();
  });
  EXPECT_EQ(Levels(noHeader.run), "1.1.1 1.2.2 2.1.3");
  const std::pair<std::function<void(RunParameters&)>, std::string> refused[] = {
      {[](RunParameters& p) { p.familyColumn = "family"; },
       "Families: no column 'family' in the header of $; its columns (fields apart at commas) are 1 site, 2 block, "
       "3 fam, 4 age, 5 h"},
      {[](RunParameters& p) { p.traitColumns = {"4-6"}; }, "column 6, but the first line of $ has 5 columns"},
      {[](RunParameters& p) { p.header = false; }, "'site' is no column number, and a file without a header"},
  };
  for (const auto& [adjust, message] : refused)
    EXPECT_THAT(read("site,block,fam,age,h\n" + rows, adjust).error, HasSubstr(message));
  EXPECT_THAT(read("site,block,fam,age,h\na,1,\"f1,10,1.5\n", {}).error,
              HasSubstr("line 2 of $: a quoted field opens there and is never closed"));
  EXPECT_THAT(read("site,block,fam,age,h\na,1,f\"1,10,1.5\n", {}).error, HasSubstr("line 2 of $: a quote (\")"));
}

// Header names in any letter case where one column alone matches, the
// nearest name for a slip, ranges of names, and a header of many columns
// listed whole.
TEST(ReadRecords, SheetColumnsByNameInAnyCaseOrByRange) {
  std::string header = "Spacing,Rep,Family,age";
  for (const char* trait : {"dj", "h1", "h2", "h-3", "h5"}) header += std::string(",") + trait;
  for (int extra = 1; extra <= 8; ++extra) header += ",note" + std::to_string(extra);
  std::string rows = header + "\n";
  for (int r = 0; r < 8; ++r)
    rows += "S" + std::to_string(r % 2) + ",1,F" + std::to_string(r % 4) + ",3y,1,2,3,4,5,a,b,c,d,e,f,g,h\n";
  auto read = [&rows](const std::function<void(RunParameters&)>& adjust) {
    return Read(rows, 1, [&](RunParameters& p) {
      p.delimited = true, p.siteColumn = "spacing", p.blockColumn = "REP", p.familyColumn = "family";
      p.ageColumn = "age", p.ageSel = 3, p.traitColumns = {"dj-h5"}, p.nTrait = 0;
      if (adjust) adjust(p);
    });
  };
  const ReadResult named = read({});
  ASSERT_EQ(named.error, "");
  EXPECT_EQ(named.run.nTrait, 5);
  EXPECT_THAT(named.run.traitName, ElementsAre("", "dj", "h1", "h2", "h-3", "h5"));
  EXPECT_EQ(named.run.nRecord, 8);  // the age column's 3y reads 3
  // A name that holds a dash is a name before it is a range; numbers and
  // names mix in a range.
  EXPECT_THAT(read([](RunParameters& p) { p.traitColumns = {"h-3", "6-h2"}; }).run.traitColumn,
              ElementsAre(7, 5, 6));
  const std::pair<std::function<void(RunParameters&)>, std::string> refused[] = {
      {[](RunParameters& p) { p.familyColumn = "famly"; },
       "no column 'famly' in the header of $; did you mean 'Family'? Its columns (fields apart at commas) are "
       "1 Spacing, 2 Rep, 3 Family, 4 age, 5 dj, 6 h1, 7 h2, 8 h-3, 9 h5, 10 note1, 11 note2, 12 note3, 13 note4, "
       "14 note5, 15 note6, 16 note7, 17 note8"},
      {[](RunParameters& p) { p.traitColumns = {"h5-dj"}; }, "the range 'h5-dj' runs backwards, from column 9 to column 5"},
  };
  for (const auto& [adjust, message] : refused) EXPECT_THAT(read(adjust).error, HasSubstr(message));
  // Two columns that differ only in case: the name must be typed as written.
  std::string twice = rows;
  twice.replace(twice.find("note1"), 5, "DJ");
  const ReadResult ambiguous = Read(twice, 1, [](RunParameters& p) {
    p.delimited = true, p.siteColumn = "1", p.blockColumn = "2", p.familyColumn = "3", p.traitColumns = {"Dj"};
  });
  EXPECT_THAT(ambiguous.error, HasSubstr("'Dj' names columns 5 'dj' and 10 'DJ' of $, which differ only in letter case"));
}

// A site name that a spreadsheet saved over several lines, among them a
// blank one and one that begins with ':': the name is read whole, and the
// record is the line where it began. After the blank line the reader once
// lost track of the open quote: it took ':ridge' for a comment and the next
// line for the record's first.
TEST(ReadRecords, QuotedNameOverBlankAndCommentLines) {
  const std::string sheet = "site,block,fam,age,h\n\"north\n\n:ridge\nhill\",1,f1,10,NA\nsouth,2,f2,10,2.5\n";
  const ReadResult read = Read(sheet, 1, [](RunParameters& p) {
    p.delimited = true, p.siteColumn = "site", p.blockColumn = "block", p.familyColumn = "fam", p.ageColumn = "age";
    p.traitColumns = {"h"}, p.nTrait = 0;
  });
  ASSERT_EQ(read.error, "");
  EXPECT_THAT(Names(read.run.siteCode), ElementsAre("north\n\n:ridge\nhill", "south"));
  EXPECT_EQ((std::array{read.run.commentLines, read.run.missingValues.firstLine, read.run.linesRead}),
            (std::array<std::int64_t, 3>{0, 2, 6}));
}

// The records QuotedRecords makes of `lines`, each as "line N: [field] [field]",
// then the message it stops with, if any.
std::vector<std::string> QuotedReading(char delimiter, const std::vector<std::string>& lines) {
  reading::QuotedRecords records(delimiter, "trial.csv");
  std::vector<std::string> read;
  std::vector<std::string_view> fields;
  try {
    for (std::size_t n = 0; n < lines.size(); ++n) {
      if (!records.Take(lines[n], static_cast<std::int64_t>(n + 1), fields)) continue;
      std::string record = "line " + std::to_string(records.RecordLine()) + ":";
      for (const std::string_view field : fields) record += " [" + std::string(field) + "]";
      read.push_back(record);
    }
    records.Finish();
  } catch (const KorvanError& error) {
    read.emplace_back(error.what());
  }
  return read;
}

// The quoting of spreadsheets, and how the reader refuses a broken quote:
// the rules and messages the reader has always had, with a quoted field
// held whole over blank lines.
TEST(QuotedRecords, TableOfQuotingCases) {
  auto misplaced = [](int line) {
    return "line " + std::to_string(line) + " of trial.csv: a quote (\") stands inside a field that does not begin "
           "with one, or after a quoted field before its delimiter; a quote inside a quoted field is written twice "
           "(\"\")";
  };
  auto neverClosed = [](int line) {
    return "line " + std::to_string(line) +
           " of trial.csv: a quoted field opens there and is never closed; check the quotes (\") of that line";
  };
  struct Case {
    char delimiter;
    std::vector<std::string> lines;
    std::vector<std::string> read;
  };
  const Case cases[] = {
      // Fields and blanks: blanks around a field go, blanks inside it stay.
      {',', {"a,b,c"}, {"line 1: [a] [b] [c]"}},
      {',', {",a,"}, {"line 1: [] [a] []"}},
      {',', {"  a b \t, \tc  "}, {"line 1: [a b] [c]"}},
      {',', {"  \" a, b \"  ,x"}, {"line 1: [ a, b ] [x]"}},
      {',', {"\"\",\"\""}, {"line 1: [] []"}},
      {',', {"\"Müller, J.\",Åre"}, {"line 1: [Müller, J.] [Åre]"}},
      // A quote written twice, at the end of the field and of the line too.
      {',', {"\"say \"\"hi\"\"\",x"}, {"line 1: [say \"hi\"] [x]"}},
      {',', {"\"\"\"\"", "a,\"b\"\"\""}, {"line 1: [\"]", "line 2: [a] [b\"]"}},
      // A line end inside quotes: the record runs on, and is the line it began on.
      {',', {"a,\"f1", "f2\",3", "b"}, {"line 1: [a] [f1\nf2] [3]", "line 3: [b]"}},
      {',', {"\"a\"\"", "b\""}, {"line 1: [a\"\nb]"}},
      {',', {"\"a,", ",\""}, {"line 1: [a,\n,]"}},
      // Blank lines and comments inside quotes are text; between records
      // they are passed over.
      {',', {"\"site", "", "  \t", ":north\",1"}, {"line 1: [site\n\n  \t\n:north] [1]"}},
      {',', {"", " \t ", "a"}, {"line 3: [a]"}},
      // Semicolons and tabs. With a tab delimiter a tab is no blank: a line
      // of tabs holds empty fields.
      {';', {"\"1,5\";\"a;b\"; c "}, {"line 1: [1,5] [a;b] [c]"}},
      {'\t', {"a\t\" b\t\" \t c ", " \t"}, {"line 1: [a] [ b\t] [c]", "line 2: [] []"}},
      {'\t', {"\"a\"\tb"}, {"line 1: [a] [b]"}},
      {',', {"\"a\"\t ,b"}, {"line 1: [a] [b]"}},
      // A quote inside an unquoted field, or anything but blanks after a
      // closing quote, on the line where it stands.
      {',', {"ab\"c,d"}, {misplaced(1)}},
      {',', {"a, b \""}, {misplaced(1)}},
      {',', {"x", "\"a\"b,c"}, {"line 1: [x]", misplaced(2)}},
      {',', {"\"a\" \"b\""}, {misplaced(1)}},
      {';', {"\"a\" ,b"}, {misplaced(1)}},
      {',', {"\"a", "b\"c"}, {misplaced(2)}},
      // A quote open at the end of the file: the line where it opened.
      {',', {"x", "\"a,", "b"}, {"line 1: [x]", neverClosed(2)}},
      {',', {"a,\"b\"\""}, {neverClosed(1)}},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const std::string& line : c.lines) shown += "|" + line;
    SCOPED_TRACE(std::string("delimiter '") + c.delimiter + "', lines " + shown + "|");
    EXPECT_EQ(QuotedReading(c.delimiter, c.lines), c.read);
  }
}

TEST(ReadRecords, DataFileThatCannotBeOpenedSaysWhy) {
  EXPECT_EQ(Read("", 1, [](RunParameters& p) { p.dataPath += ".absent"; }).error,
            "the data file $.absent does not exist; check its name and folder");
  if (::geteuid() == 0) GTEST_SKIP() << "root reads any file: the permission case cannot be seen";
  auto lock = [](RunParameters& p) { std::filesystem::permissions(p.dataPath, std::filesystem::perms::none); };
  EXPECT_THAT(Read("", 1, lock).error, HasSubstr("you have no permission to read it"));
}

TEST(ReadRecords, StopRequestIsSeenWhileReading) {
  // The window's "End" must not wait for the end of a large file.
  struct StoppingSink : CapturingSink {
    bool StopRequested() const override { return ++checks > 1; }  // not at the stage's start
    mutable int checks = 0;
  } sink;
  std::string data;
  for (int r = 0; r < 20000; ++r) data += Line({"1", "1", "1", "10", "1"}) + "\n";
  EXPECT_THROW(Read(data, 1, [](RunParameters& p) { p.nRecord = 20000; }, &sink), RunCancelled);
  EXPECT_LT(sink.lines.size(), 10000u);
}

// A file cut short, grown or rewritten while it is read (a copy still
// running, a logger appending) would give a report of records that never
// stood in the file together.
TEST(ReadRecords, DataFileChangedWhileReadStopsTheRun) {
  std::string data;
  for (int r = 0; r < 60000; ++r) data += Line({"1", "1", std::to_string(r % 7 + 1), "10", "1"}) + "\n";
  const std::pair<std::function<void(const std::string&)>, std::string> changes[] = {
      {[](const std::string& path) { std::filesystem::resize_file(path, 1 << 20); }, "bytes when reading began, 1048576 were read"},
      {[&](const std::string& path) { test::WriteFile(path, data + data); }, "now"},
      {[&](const std::string& path) { test::WriteFile(path, std::string(data.size(), ' ')); }, "was written to"}};
  for (const auto& [change, what] : changes) {
    SCOPED_TRACE(what);
    struct ChangingSink : CapturingSink {
      bool StopRequested() const override {
        if (++checks == 2) change(path);
        return false;
      }
      std::function<void(const std::string&)> change;
      std::string path;
      mutable int checks = 0;
    } sink;
    sink.change = change;
    const ReadResult result = Read(data, 1, [&](RunParameters& p) { p.nRecord = 200000, sink.path = p.dataPath; }, &sink);
    EXPECT_THAT(result.error, HasSubstr("the data file $ changed while it was read ("));
    EXPECT_THAT(result.error, HasSubstr(what));
  }
}

TEST(CodeLevels, WorkedExampleOfTwoSitesThreeBlockPlacesTwoFamilies) {
  // Site 1 has blocks 1 and 2, site 2 block 1; family 2 never occurs at site 2.
  auto code = [](const std::string& data, const std::function<void(RunParameters&)>& adjust) {
    ReadResult read = Read(data, 1, adjust);
    CapturingSink sink;
    ProgressLog log(sink);
    CodeLevels(read.run, log);
    return std::pair{read.run, sink.lines};
  };
  const auto [run, lines] = code(Line({"1", "1", "1", "10", "1"}) + "\n" + Line({"1", "2", "2", "10", "1"}) + "\n" +
                                     Line({"2", "1", "1", "10", "1"}) + "\n" + Line({"1", "1", "2", "10", "1"}),
                                 [](RunParameters& p) { p.nBlock = 3; });
  EXPECT_EQ((std::array{run.repOffset, run.p, run.famEnd, run.q, run.nRep, run.nSF}), (std::array{3, 6, 8, 11, 3, 3}));
  EXPECT_EQ(run.colOffset, (std::array<int, 7>{0, 0, 1, 3, 6, 8, 11}));
  EXPECT_THAT(run.repSite, ElementsAre(0, 0, 0, 0, 2, 2, 3));
  EXPECT_THAT(lines, ElementsAre("  1  1  1  1  1  2  4  10  12", "  2  1  2  2  1  2  5  11  13",
                                 "  3  2  1  1  1  3  7  10  14", "  4  1  1  2  1  2  4  11  13",
                                 "  1   1  2  4  7  9", "  2   1  2  5  8  10",
                                 "  3   1  3  6  7  11", "  4   1  2  4  8  10"));
  const auto [empty, none] = code(":no records\n", {});
  EXPECT_EQ((std::array{empty.p, empty.famEnd, empty.q, empty.nRep, empty.nSF, static_cast<int>(none.size())}),
            (std::array{1, 1, 1, 0, 0, 0}));

  // 10^9 blocks per site and records: nothing is allocated by them, and the
  // full layout's columns, past 32 bits, are listed as they are.
  const auto [wide, wideLines] = code(Line({"1", "1", "1", "10", "1"}) + "\n" + Line({"3", "2", "2", "10", "1"}),
                                      [](RunParameters& p) { p.nBlock = p.nRecord = p.nSite = p.nFamily = 1e9; });
  EXPECT_EQ(wideLines[1] + " | " + wideLines[3],
            "  2  2  1  2  1  3  1000000004  2000000005  2000000009 |   2   1  3  5  7  9");
}

}  // namespace
}  // namespace korvan
