#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cstdio>
#include <random>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "format/number_format.h"
#include "format/report_file.h"
#include "base/korvan_error.h"
#include "support/test_support.h"

namespace korvan {
namespace {

std::string Pattern(float v, std::string_view pattern) {
  std::string s;
  AppendPattern(s, v, pattern);
  return s;
}
std::string Pattern(double v, std::string_view pattern) {
  std::string s;
  AppendPattern(s, v, pattern);
  return s;
}
std::string PatternWhole(std::int64_t v, std::string_view pattern) {
  std::string s;
  AppendPattern(s, v, pattern);
  return s;
}
std::string Single(float v) {
  std::string s;
  AppendPlainSingle(s, v);
  return s;
}
std::string Double(double v) {
  std::string s;
  AppendPlainDouble(s, v);
  return s;
}

TEST(PatternFormat, TableOfValuesAndPatterns) {
  struct Case {
    double value;
    const char* pattern;
    const char* expected;
  };
  const Case cases[] = {
      {1234, "####", "1234"},       {7, "  ####", "  7"},
      {12.345, "  ###.##", "  12.35"},  // 15 digits first: the binary value lies just below the tie
      {5, "  ###.##", "  5."},      {0.5, "  ###.##", "  .5"},
      {0, "  ###.##", "  ."},       {-1.5, "  ###.##", "-  1.5"},
      {0, " ####", " "},            {123456, "##", "123456"},  // all digits, never cut
      {2.5, "####", "3"},           {-2.5, "####", "-3"},      // half away from zero
      {0.4, "####", ""},            {9.996, "  ###.##", "  10."},
      {0.005, "  ###.##", "  .01"}, {0.096, "  ###.##", "  .1"},
      {-0.001, "  ###.##", "  ."},  // rounds to zero: no sign
      {1e20, "####", "100000000000000000000"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Pattern(c.value, c.pattern), c.expected) << c.value << " with \"" << c.pattern << "\"";
  }
}

TEST(PatternFormat, SingleValuesAreTakenAtSevenDigits) {
  EXPECT_EQ(Pattern(12.34f, "  ###.##"), "  12.34");
  // 2.675f is 2.67499995..., but at 7 digits it is 2.675000, a tie rounded away from zero.
  EXPECT_EQ(Pattern(2.675f, "  ###.##"), "  2.68");
  EXPECT_EQ(Pattern(0.125f, "  ###.##"), "  .13");
  EXPECT_EQ(Pattern(16777217.0f, "####"), "16777220");  // 2^24 + 1 is not a float
  EXPECT_EQ(Pattern(5.0f, "  ###.##"), "  5.");
  EXPECT_EQ(PatternWhole(12, "####") + PatternWhole(1, "  ####") + PatternWhole(2, "  ####") +
                PatternWhole(7, "  ####") + Pattern(12.34f, "  ###.##") + Pattern(5.0f, "  ###.##"),
            "12  1  2  7  12.34  5.");
  EXPECT_EQ(PatternWhole(-42, "  #### "), "-  42 ");
}

TEST(PlainWriting, SignDigitsAndTrailingBlank) {
  EXPECT_EQ(Single(30), " 30 ");
  EXPECT_EQ(Single(-2.5f), "-2.5 ");
  EXPECT_EQ(Single(0.5f), " .5 ");
  EXPECT_EQ(Single(-0.25f), "-.25 ");
  EXPECT_EQ(Single(0), " 0 ");
  EXPECT_EQ(Single(-0.0f), " 0 ");
  EXPECT_EQ(Single(12.34f), " 12.34 ");
  EXPECT_EQ(Single(1.0f / 3.0f), " .3333333 ");
  EXPECT_EQ(Single(20.0f / 7.0f), " 2.857143 ");
  EXPECT_EQ(Double(20.0 / 7.0), " 2.85714285714286 ");
  EXPECT_EQ(Double(std::sqrt(1640.5 / 24)), " 8.26765787068301 ");
  EXPECT_EQ(Double(10 / (40.5 / 4)), " .987654320987654 ");
  EXPECT_EQ(Double(0.1 + 0.2), " .3 ");
  std::string whole;
  AppendPlainWhole(whole, 1);
  AppendPlainWhole(whole, -3);
  EXPECT_EQ(whole, " 1 -3 ");
}

TEST(PlainWriting, ExponentFormFollowsPercentG) {
  EXPECT_EQ(Single(12345678.0f), " 1.234568E+07 ");
  EXPECT_EQ(Single(1234567.0f), " 1234567 ");
  EXPECT_EQ(Single(1e-5f), " 1E-05 ");
  EXPECT_EQ(Single(1e-4f), " .0001 ");
  EXPECT_EQ(Single(-3.0e38f), "-3E+38 ");
  EXPECT_EQ(Double(1e15), " 1E+15 ");
  EXPECT_EQ(Double(123456789012345.0), " 123456789012345 ");
  EXPECT_EQ(Double(-1.5e-7), "-1.5E-07 ");
  EXPECT_EQ(Double(1e100), " 1E+100 ");
}

// C's printf is the independent reference for the digits: "%.7G" and "%.15G",
// with the leading zero dropped and the sign place added.
std::string PrintfReference(double magnitude, int significant, bool negative) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*G", significant, magnitude);
  std::string text = buf;
  if (text.rfind("0.", 0) == 0) text.erase(0, 1);
  return (negative ? "-" : " ") + text + " ";
}

TEST(PlainWriting, MatchesPrintfOnRandomValuesAndTies) {
  // Exact decimal ties: printf rounds them to even, and so must the report.
  EXPECT_EQ(Single(1048576.5f), " 1048576 ");
  EXPECT_EQ(Single(1048577.5f), " 1048578 ");
  std::mt19937_64 random(20261206);
  for (int n = 0; n < 200000; ++n) {
    const std::uint32_t bits = static_cast<std::uint32_t>(random());
    const float f = std::bit_cast<float>(bits);
    if (!std::isfinite(f)) continue;
    ASSERT_EQ(Single(f), PrintfReference(std::fabs(f), 7, f < 0)) << std::hexfloat << f;
    const double d = std::bit_cast<double>(random());
    if (!std::isfinite(d)) continue;
    ASSERT_EQ(Double(d), PrintfReference(std::fabs(d), 15, d < 0)) << std::hexfloat << d;
  }
}

TEST(PlainWriting, IgnoresTheLocale) {
  // Qt sets the C locale from the desktop; a German one must not bring decimal commas.
  const char* previous = std::setlocale(LC_ALL, nullptr);
  const std::string saved = previous ? previous : "C";
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "no de_DE locale on this machine";
  EXPECT_EQ(Single(2.5f), " 2.5 ");
  EXPECT_EQ(Pattern(12.345, "  ###.##"), "  12.35");
  EXPECT_EQ(TextToNumber("3.5"), 3.5);
  std::setlocale(LC_ALL, saved.c_str());
}

TEST(TextToNumber, ReadsLikeTheBoxesAndFields) {
  EXPECT_EQ(TextToNumber(" 12 "), 12);
  EXPECT_EQ(TextToNumber("1 2"), 12);
  EXPECT_EQ(TextToNumber("3.5cm"), 3.5);
  EXPECT_EQ(TextToNumber("A7"), 0);
  EXPECT_EQ(TextToNumber(""), 0);
  EXPECT_EQ(TextToNumber("07"), 7);
  EXPECT_EQ(TextToNumber("7.0"), 7);
  EXPECT_EQ(TextToNumber("\t-\t4 .5\n"), -4.5);
  EXPECT_EQ(TextToNumber("+.5"), 0.5);
  EXPECT_EQ(TextToNumber("1.2.3"), 1.2);
  EXPECT_EQ(TextToNumber("1E3"), 1000);
  EXPECT_EQ(TextToNumber("1e-2x"), 0.01);
  EXPECT_EQ(TextToNumber("2E"), 2);     // an exponent needs digits
  EXPECT_EQ(TextToNumber("2E+"), 2);
  EXPECT_EQ(TextToNumber("5-3"), 5);    // a sign only leads
  EXPECT_EQ(TextToNumber("1,5"), 1);    // the point is "." in every locale
  EXPECT_EQ(TextToNumber("0.1"), 0.1);  // correctly rounded
  EXPECT_EQ(TextToNumber("1e400"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(TextToNumber("-1e400"), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(TextToNumber("1e-400"), 0);
  EXPECT_EQ(TextToNumber(std::string(5000, '9')), std::numeric_limits<double>::infinity());
  // Out of range by the whole magnitude, not by the exponent's sign alone
  // (cases found by fuzzing): 10^400 x 10^-5 is still infinite, 10^-400 x
  // 10^5 still 0.
  EXPECT_EQ(TextToNumber("1" + std::string(400, '0') + "E-5"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(TextToNumber("4" + std::string(400, '0') + "E-000000000000000"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(TextToNumber("-." + std::string(400, '0') + "1e+5"), 0);
  EXPECT_EQ(TextToNumber("." + std::string(300, '0') + "1E+99999999999999999999"), std::numeric_limits<double>::infinity());
}

TEST(TextToNumber, TellsNumericAndCompleteText) {
  EXPECT_TRUE(ParseNumber(" 12 ").numeric);
  EXPECT_TRUE(ParseNumber(" 12 ").complete);
  EXPECT_FALSE(ParseNumber("   ").numeric);
  EXPECT_TRUE(ParseNumber("   ").complete);
  EXPECT_FALSE(ParseNumber("A7").numeric);
  EXPECT_TRUE(ParseNumber("3.5cm").numeric);
  EXPECT_FALSE(ParseNumber("3.5cm").complete);
  EXPECT_FALSE(ParseNumber("-").numeric);
  EXPECT_FALSE(ParseNumber(".").numeric);
  EXPECT_FALSE(ParseNumber("2E").complete);
}

// ---------------------------------------------------------------------------
// The fast forms against the general ones they stand in for.

std::uint64_t Bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// A field as data files hold them, or something close to it that must not
// be taken for one: blanks around, a sign, up to 25 digits with a point
// anywhere, and now and then a blank, tab or letter inside, an exponent, or
// no digits at all.
std::string RandomField(std::mt19937_64& random) {
  auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
  std::string text(random() % 4, ' ');
  if (chance(30)) text += chance(50) ? '-' : '+';
  const int digits = chance(10) ? static_cast<int>(random() % 26) : static_cast<int>(random() % 9);
  const int point = chance(70) ? static_cast<int>(random() % (digits + 1)) : -1;
  for (int i = 0; i < digits; ++i) {
    if (i == point) text += '.';
    text += static_cast<char>('0' + (chance(15) ? 0 : random() % 10));
    if (chance(2)) text += " \tx."[random() % 4];
  }
  if (point == digits) text += '.';
  if (chance(5)) text += (chance(50) ? "E" : "e") + std::string(chance(50) ? "-" : "") + std::to_string(random() % 40);
  text.append(random() % 4, ' ');
  if (chance(2)) text += "\t";
  return text;
}

TEST(TextToNumber, FastFormGivesTheGeneralFormsBits) {
  // Exactly at the fast form's limits and just beyond them.
  const std::string edges[] = {"9007199254740992", "9007199254740993", "-9007199254740993.",
                               "1234567890123456789", "12345678901234567890", "0.0000000000000000000001",
                               ".00000000000000000000001", "0000000000000000000000000001.5", "-0", "-.0",
                               "1.", "  .5  ", "+", "-.", "0.1", "179769313486231570000000", "4.9e-324"};
  std::vector<std::string> texts(std::begin(edges), std::end(edges));
  std::mt19937_64 random(6);
  for (int n = 0; n < 300000; ++n) texts.push_back(RandomField(random));
  // Trait fields as the trial generator writes them: "%10.3f".
  for (int n = 0; n < 100000; ++n) {
    char field[32];
    std::snprintf(field, sizeof field, "%10.3f", std::ldexp(static_cast<double>(random() % (1u << 30)), -20) - 300);
    texts.push_back(field);
  }
  for (const std::string& text : texts) {
    const ParsedNumber fast = ParseNumber(text), general = ParseNumberStraightforward(text);
    ASSERT_EQ(Bits(fast.value), Bits(general.value))
        << "'" << text << "': expected " << std::hexfloat << general.value << ", got " << fast.value;
    ASSERT_EQ(fast.numeric, general.numeric) << "'" << text << "'";
    ASSERT_EQ(fast.complete, general.complete) << "'" << text << "'";
  }
}

TEST(PatternFormat, FastFormsWriteWhatTheGeneralFormWrites) {
  const std::string_view patterns[] = {"  ###.##", " ####", "####", "  #.###", "###.", "#.######", "- ##.# -",
                                       "  #######", "##.#########", "."};
  auto check = [&](float value) {
    for (const std::string_view pattern : patterns) {
      std::string fast, general;
      AppendPattern(fast, value, pattern);
      AppendPatternStraightforward(general, value, pattern);
      ASSERT_EQ(fast, general) << std::hexfloat << value << std::defaultfloat << " (" << value << ") with \""
                               << pattern << "\"";
    }
  };
  // Ties at the 7th digit (printf rounds them to even) and at the pattern's
  // decimals (half away from zero), the edges of the fast form's range,
  // and what rounds up into the next decade.
  for (float value : {1048576.5f, 1048577.5f, 2.675f, 0.125f, 0.005f, 9.995f, 9999999.5f, 9999999.0f, 1E+07f,
                      1E-06f, 9.9999997E-07f, 1.0000001E-06f, 0.0049999999f, 0.0f, -0.0f, 16777217.0f, 999999.94f,
                      0.99999994f, 3.4028235E+38f, 1.4E-45f})
    for (float sign : {1.0f, -1.0f}) check(sign * value);
  std::mt19937_64 random(2026);
  for (int n = 0; n < 200000; ++n) {
    const float bits = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    if (std::isfinite(bits)) check(bits);
    // Measurements with two or three decimals, as trait values are.
    check(static_cast<float>(static_cast<double>(static_cast<std::int64_t>(random() % 200000000) - 100000000) /
                             (random() % 2 ? 100.0 : 1000.0)));
    // Counts and small whole numbers, as the matrix lines hold.
    check(static_cast<float>(random() % 100000));
  }
  for (const std::int64_t value : {std::int64_t{0}, std::int64_t{-1}, std::numeric_limits<std::int64_t>::min(),
                                   std::numeric_limits<std::int64_t>::max()})
    for (const std::string_view pattern : patterns) {
      std::string fast, general;
      AppendPattern(fast, value, pattern);
      AppendPatternStraightforward(general, value, pattern);
      ASSERT_EQ(fast, general) << value << " with \"" << pattern << "\"";
    }
  for (int n = 0; n < 100000; ++n) {
    const std::int64_t value = static_cast<std::int64_t>(random()) >> (random() % 64);
    std::string fast, general;
    AppendPattern(fast, value, patterns[n % std::size(patterns)]);
    AppendPatternStraightforward(general, value, patterns[n % std::size(patterns)]);
    ASSERT_EQ(fast, general) << value << " with \"" << patterns[n % std::size(patterns)] << "\"";
  }
}

// A failed run's report is never seen, a committed one replaces the old
// whole, and neither leaves a temporary file beside it.
TEST(ReportFile, ReplacesTheOldReportOnlyOnCommit) {
  test::TempDir dir;
  const std::string path = dir / "out.txt";
  test::WriteFile(path, "old report\r\n");
  {
    ReportFile report(path);
    report.Text("partial").EndLine();
    EXPECT_THROW(report.Single(std::numeric_limits<float>::infinity()), KorvanError);
  }
  EXPECT_EQ(test::ReadFile(path), "old report\r\n");
  {
    ReportFile report(path);
    report.Text(" Site ").Whole(1).Single(2.5f).Double(0.5).EndLine();
    EXPECT_EQ(test::ReadFile(path), "old report\r\n");  // untouched until the run completes
    report.Commit();
  }
  EXPECT_EQ(test::ReadFile(path), " Site  1  2.5  .5 \r\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
  EXPECT_THAT([&] { ReportFile report(dir / "no-such-folder/out.txt"); },
              testing::ThrowsMessage<KorvanError>(testing::HasSubstr("in the folder " + (dir / "no-such-folder"))));
}

}  // namespace
}  // namespace korvan
