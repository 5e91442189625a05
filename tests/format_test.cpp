#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "base/korvan_error.h"
#include "format/number_format.h"
#include "format/report_file.h"
#include "support/test_support.h"

namespace korvan {
namespace {

// The text of each writer.
template <class T>
std::string Written(T value, std::string_view pattern) { std::string s; AppendPattern(s, value, pattern); return s; }
std::string Plain(float value) { std::string s; AppendPlainSingle(s, value); return s; }
std::string Plain(double value) { std::string s; AppendPlainDouble(s, value); return s; }
std::string Whole(std::int64_t value) { std::string s; AppendPlainWhole(s, value); return s; }

TEST(PatternFormat, TableOfValuesAndPatterns) {
  // Type ('d' a double, taken at 15 digits; 'f' a single, at 7; 'i' a whole
  // number), value, pattern, text.
  const std::tuple<char, double, const char*, const char*> cases[] = {
      {'d', 1234, "####", "1234"}, {'d', 7, "  ####", "  7"}, {'d', 5, "  ###.##", "  5."},
      {'d', 12.345, "  ###.##", "  12.35"},  // the binary value lies just below the tie, its 15 digits on it
      {'d', 0.5, "  ###.##", "  .5"}, {'d', 0, "  ###.##", "  ."}, {'d', -1.5, "  ###.##", "-  1.5"},
      {'d', 0, " ####", " "}, {'d', 123456, "##", "123456"},  // all digits, never cut
      {'d', 2.5, "####", "3"}, {'d', -2.5, "####", "-3"}, {'d', 0.4, "####", ""},  // half away from zero
      {'d', 9.996, "  ###.##", "  10."}, {'d', 0.005, "  ###.##", "  .01"}, {'d', 0.096, "  ###.##", "  .1"},
      {'d', -0.001, "  ###.##", "  ."},  // rounds to zero: no sign
      {'d', 1e20, "####", "100000000000000000000"}, {'f', 12.34, "  ###.##", "  12.34"},
      {'f', 2.675, "  ###.##", "  2.68"},  // 2.67499995..., but at 7 digits 2.675000, a tie
      {'f', 0.125, "  ###.##", "  .13"}, {'f', 16777217, "####", "16777220"},  // 2^24 + 1 is not a float
      {'i', -42, "  #### ", "-  42 "}, {'i', 0, "  ####", "  "}, {'i', 12, "####.", "12."},
  };
  for (const auto& [type, value, pattern, expected] : cases) {
    const std::string written = type == 'd'   ? Written(value, pattern)
                                : type == 'f' ? Written(static_cast<float>(value), pattern)
                                              : Written(static_cast<std::int64_t>(value), pattern);
    EXPECT_EQ(written, expected) << type << " " << value << " with \"" << pattern << "\"";
  }
}

// C's printf is the independent reference for the digits: "%.7G" and "%.15G",
// with the leading zero dropped and the sign place added.
std::string PrintfReference(double value, int significant) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*G", significant, std::fabs(value));
  return (value < 0 ? "-" : " ") + std::string(buf + (buf[0] == '0' && buf[1] == '.' ? 1 : 0)) + " ";
}

TEST(PlainWriting, MatchesPrintfOnEdgesAndRandomValues) {
  EXPECT_EQ(Plain(30.0f) + Plain(-0.25f) + Plain(-0.0f) + Plain(1e15) + Whole(1) + Whole(-3),
            " 30 -.25  0  1E+15  1 -3 ");
  // Exact decimal ties, which printf rounds to even, and the edges of the exponent form.
  for (const float f : {1048576.5f, 1048577.5f, 12345678.0f, 1234567.0f, 1e-5f, 1e-4f, -3.0e38f})
    EXPECT_EQ(Plain(f), PrintfReference(f, 7));
  for (const double d : {0.1 + 0.2, 123456789012345.0, -1.5e-7, 1e100}) EXPECT_EQ(Plain(d), PrintfReference(d, 15));
  std::mt19937_64 random(20261206);
  for (int n = 0; n < 200000; ++n) {
    const float f = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    const double d = std::bit_cast<double>(random());
    if (!std::isfinite(f) || !std::isfinite(d)) continue;
    ASSERT_EQ(Plain(f), PrintfReference(f, 7)) << std::hexfloat << f;
    ASSERT_EQ(Plain(d), PrintfReference(d, 15)) << std::hexfloat << d;
  }
}

TEST(PlainWriting, IgnoresTheLocale) {
  // Qt sets the C locale from the desktop; a German one must not bring decimal commas.
  const char* previous = std::setlocale(LC_ALL, nullptr);
  const std::string saved = previous ? previous : "C";
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "no de_DE locale on this machine";
  EXPECT_EQ(Plain(2.5f) + Written(12.345, "  ###.##") + Written(2.5f, " #.#"), " 2.5   12.35 2.5");
  EXPECT_EQ(TextToNumber("3.5"), 3.5);
  std::setlocale(LC_ALL, saved.c_str());
}

TEST(TextToNumber, ReadsLikeTheBoxesAndFields) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::string zeros(400, '0');
  struct Case {
    std::string text;
    double value;
    bool numeric = true, complete = true;  // some digit was read; nothing but the number and blanks
  };
  const Case cases[] = {
      {" 12 ", 12}, {"1 2", 12}, {"3.5cm", 3.5, true, false}, {"A7", 0, false, false}, {"", 0, false},
      {"   ", 0, false}, {"-", 0, false, false}, {".", 0, false, false}, {"07", 7}, {"7.0", 7},
      {"\t-\t4 .5\n", -4.5}, {"+.5", 0.5}, {"1.2.3", 1.2, true, false}, {"1E3", 1000}, {"1e-2x", 0.01, true, false},
      {"2E", 2, true, false}, {"2E+", 2, true, false},  // an exponent needs digits
      {"5-3", 5, true, false},                          // a sign only leads
      {"1,5", 1, true, false},                          // the point is "." in every locale
      {"0.1", 0.1}, {"1e400", inf}, {"-1e400", -inf}, {"1e-400", 0}, {std::string(5000, '9'), inf},
      // Out of range by the whole magnitude, not by the exponent's sign alone
      // (found by fuzzing): 10^400 x 10^-5 is still infinite, 10^-400 x 10^5 still 0.
      {"1" + zeros + "E-5", inf}, {"4" + zeros + "E-000000000000000", inf}, {"-." + zeros + "1e+5", 0},
      {"." + std::string(300, '0') + "1E+99999999999999999999", inf},
  };
  for (const Case& c : cases) {
    const ParsedNumber parsed = ParseNumber(c.text);
    EXPECT_EQ(std::tuple(parsed.value, parsed.numeric, parsed.complete), std::tuple(c.value, c.numeric, c.complete))
        << "'" << c.text << "'";
  }
}

// The fast forms against the general ones they stand in for.

// A field as data files hold them, or something close to it that must not
// be taken for one: blanks around, a sign, up to 25 digits with a point
// anywhere, and now and then a blank, tab or letter inside, an exponent, or
// no digits at all.
std::string RandomField(std::mt19937_64& random) {
  auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
  std::string text(random() % 4, ' ');
  if (chance(30)) text += "-+"[random() % 2];
  const int digits = static_cast<int>(random() % (chance(10) ? 26 : 9));
  const int point = chance(70) ? static_cast<int>(random() % (digits + 1)) : -1;
  for (int i = 0; i <= digits; ++i) {
    if (i == point) text += '.';
    if (i < digits) text += static_cast<char>('0' + (chance(15) ? 0 : random() % 10));
    if (chance(2)) text += " \tx."[random() % 4];
  }
  if (chance(5)) text += (chance(50) ? "E" : "e-") + std::to_string(random() % 40);
  return text + std::string(random() % 4, ' ') + (chance(2) ? "\t" : "");
}

TEST(TextToNumber, FastFormGivesTheGeneralFormsBits) {
  // Exactly at the fast form's limits and just beyond them.
  std::vector<std::string> texts = {
      "9007199254740992", "9007199254740993", "-9007199254740993.", "1234567890123456789", "12345678901234567890",
      "0.0000000000000000000001", ".00000000000000000000001", "0000000000000000000000000001.5", "-0", "-.0", "1.",
      "  .5  ", "+", "-.", "0.1", "179769313486231570000000", "4.9e-324"};
  std::mt19937_64 random(6);
  // Fields as the trial generator writes them are compared in forms_test, read by both readers.
  for (int n = 0; n < 400000; ++n) texts.push_back(RandomField(random));
  for (const std::string& text : texts) {
    const ParsedNumber fast = ParseNumber(text), general = ParseNumberGeneral(text);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(fast.value), std::bit_cast<std::uint64_t>(general.value))
        << "'" << text << "': expected " << std::hexfloat << general.value << ", got " << fast.value;
    ASSERT_TRUE(fast.numeric == general.numeric && fast.complete == general.complete) << "'" << text << "'";
  }
}

TEST(PatternFormat, FastFormsWriteWhatTheGeneralFormWrites) {
  const std::string_view patterns[] = {"  ###.##", " ####", "####", "  #.###", "###.", "#.######", "- ##.# -",
                                       "  #######", "##.#########", "."};
  auto check = [&](auto value) {
    for (const std::string_view pattern : patterns) {
      std::string fast, general;
      AppendPattern(fast, value, pattern);
      AppendPatternGeneral(general, value, pattern);
      ASSERT_EQ(fast, general) << std::hexfloat << value << " with \"" << pattern << "\"";
    }
  };
  // Ties at the 7th digit (printf rounds them to even) and at the pattern's
  // decimals (half away from zero), the edges of the fast form's range,
  // and what rounds up into the next decade.
  for (const float value : {1048576.5f, 1048577.5f, 2.675f, 0.125f, 0.005f, 9.995f, 9999999.5f, 9999999.0f, 1E+07f,
                            1E-06f, 9.9999997E-07f, 1.0000001E-06f, 0.0049999999f, 0.0f, 16777217.0f, 999999.94f,
                            0.99999994f, 3.4028235E+38f, 1.4E-45f})
    for (const float sign : {1.0f, -1.0f}) check(sign * value);
  for (const std::int64_t value : {INT64_MIN, INT64_MAX, std::int64_t{-1}, std::int64_t{0}}) check(value);
  std::mt19937_64 random(2026);
  for (int n = 0; n < 200000; ++n) {
    const float bits = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    if (std::isfinite(bits)) check(bits);
    // Measurements with two or three decimals, as trait values are; counts,
    // as the matrix lines hold; whole numbers of every size.
    check(static_cast<float>(static_cast<double>(static_cast<std::int64_t>(random() % 200000000) - 100000000) /
                             (random() % 2 ? 100.0 : 1000.0)));
    check(static_cast<float>(random() % 100000));
    if (n % 10 == 0) check(static_cast<std::int64_t>(random()) >> (random() % 64));
  }
}

// The committer's placing, with the n-th refused as a sticky folder or a
// removed folder would refuse it (counted from 1; 0 refuses none).
int placingToRefuse = 0;
std::vector<std::string> placed;
std::error_code PlaceOrRefuse(const std::string& from, const std::string& to) {
  placed.push_back(std::filesystem::path(to).filename().string());
  if (static_cast<int>(placed.size()) == placingToRefuse) return std::make_error_code(std::errc::operation_not_permitted);
  return PutFileInPlace(from, to);
}

// The outputs of a run go in place together, the report last, or not at
// all: whichever placing fails, every earlier file is as it was, a file
// that did not exist does not appear, and no temporary file is left.
TEST(OutputSet, PutsEveryOutputInPlaceReportLastOrLeavesEveryEarlierFile) {
  for (int refuse = 0; refuse <= 3; ++refuse) {
    SCOPED_TRACE(refuse);
    test::TempDir dir;
    test::WriteFile(dir / "run.procedure", "old procedure\n");
    test::WriteFile(dir / "run.out", "old report\r\n");
    placingToRefuse = refuse;
    placed.clear();
    {
      OutputSet outputs;
      outputs.SetPlaceFile(PlaceOrRefuse);
      outputs.Add(dir / "run.procedure", {"procedure", "procedure file", "--procedure"}).Append("new procedure\n");
      outputs.Add(dir / "run.timings", {"timings", "timings file", "--timings"}).Append("total 1\n");
      ReportFile report(outputs, dir / "run.out");
      report.Text(" Site ").Whole(1).Single(2.5f).Double(0.5).EndLine();
      EXPECT_THROW(report.Single(std::numeric_limits<float>::infinity()), KorvanError);
      EXPECT_EQ(test::ReadFile(dir / "run.out"), "old report\r\n");  // untouched until all are complete
      if (refuse == 0) outputs.CommitAll();
      else EXPECT_THROW(outputs.CommitAll(), KorvanError);
    }
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
      left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    if (refuse == 0) {
      EXPECT_EQ(placed, (std::vector<std::string>{"run.procedure", "run.timings", "run.out"}));
      EXPECT_EQ(test::ReadFile(dir / "run.out"), " Site  1  2.5  .5 \r\n");
      EXPECT_EQ(test::ReadFile(dir / "run.procedure"), "new procedure\n");
      EXPECT_EQ(left, (std::vector<std::string>{"run.out", "run.procedure", "run.timings"}));
    } else {
      EXPECT_EQ(test::ReadFile(dir / "run.out"), "old report\r\n");
      EXPECT_EQ(test::ReadFile(dir / "run.procedure"), "old procedure\n");
      EXPECT_EQ(left, (std::vector<std::string>{"run.out", "run.procedure"}));
    }
  }
  OutputSet outputs;
  test::TempDir dir;
  EXPECT_THAT([&] { ReportFile report(outputs, dir / "no-such-folder/out.txt"); },
              testing::ThrowsMessage<KorvanError>(testing::HasSubstr("in the folder " + (dir / "no-such-folder"))));
}

// Two outputs of one name would leave only the one placed last, and an
// output named as the data file would replace the data: the set refuses
// the later name, in its own words, under any spelling or through a link,
// and a scratch file goes however the run ends.
TEST(OutputSet, RefusesSharedNamesInTheWordsOfEachFile) {
  test::TempDir dir;
  test::WriteFile(dir / "trial.dat", "data\n");
  ASSERT_EQ(::link((dir / "trial.dat").c_str(), (dir / "other-name.dat").c_str()), 0);
  const OutputKind report{"report", "report", "--output"}, procedure{"procedure", "procedure file", "--procedure"},
      json{"results", "results file", "--json", true}, html{"page", "results page", "--html", true};
  struct Case {
    std::vector<std::pair<std::string, OutputKind>> claims;  // after the data file
    std::string message;                                      // of the last claim; empty: none refused
  };
  const std::string data = dir / "trial.dat";
  const Case cases[] = {
      {{{dir / "other-name.dat", report}}, "--output: the output file is the data file; choose another name"},
      {{{dir / "run.out", report}, {dir / "./run.out", procedure}},
       "--procedure: the procedure file is the output file; choose another name"},
      {{{dir / "run.out", report}, {dir / "run.out", json}},
       "--json: " + dir / "run.out" + " is also the output file; choose another name"},
      {{{dir / "run.out", report}, {dir / "r", json}, {dir / "r", html}},
       "--html: " + dir / "r" + " is also given to --json; choose another name"},
      {{{dir / "run.out", report}, {dir / "run.out", report}, {dir / "run.procedure", procedure}}, ""},
  };
  for (const Case& c : cases) {
    OutputSet outputs;
    outputs.ClaimInput(data, "data file", "--data");
    std::string message;
    try {
      for (const auto& [path, kind] : c.claims) outputs.Claim(path, kind);
    } catch (const KorvanError& error) {
      message = error.what();
    }
    EXPECT_EQ(message, c.message);
  }
  {
    OutputSet outputs;
    ReportFile scratch = ReportFile::Scratch(outputs, dir / "run.out.single");
    scratch.Text("sections").EndLine();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 3);  // its temporary file
    EXPECT_TRUE(outputs.Abandon());
    EXPECT_THROW(outputs.Add(dir / "late.out", procedure), RunCancelled);  // nothing made after abandoning
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}

}  // namespace
}  // namespace korvan
