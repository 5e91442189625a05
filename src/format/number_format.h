#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvan {

// Every narrowing to single precision goes through here, so that all of them
// can be found: rounding where each value is stored is what lets the report
// match the single-precision reference digit for digit.
inline float RoundToSingle(double x) { return static_cast<float>(x); }

// Pattern formatting: literal blanks around "#" and "." placeholders. The
// integer part is written with all its digits and no leading zeros (0 writes
// none); with a "." the value is rounded half away from zero to the number of
// "#" after it, trailing zeros dropped, the point always written; a minus sign
// goes in front of everything. A single-precision value is first taken at 7
// significant digits, a double at 15.
//
// A pattern is taken apart where it is made: a listing writes millions of
// numbers with the same few patterns, so its lines keep them as constants
// (static constexpr Pattern kColumn("  ####")).
class Pattern {
 public:
  constexpr Pattern(const char* text) : Pattern(std::string_view(text)) {}
  Pattern(const std::string& text) : Pattern(std::string_view(text)) {}
  constexpr Pattern(std::string_view text) : text_(text) {
    std::size_t first = std::string_view::npos, last = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      if (c != '#' && c != '.') continue;
      if (first == std::string_view::npos) first = i;
      last = i;
      if (c == '.' && !hasPoint_) hasPoint_ = true;
      else if (c == '#' && hasPoint_) ++decimals_;
    }
    prefix_ = first == std::string_view::npos ? text : text.substr(0, first);
    if (first != std::string_view::npos) suffix_ = text.substr(last + 1);
    for (std::size_t i = 0; i < prefix_.size() && i < kPadded; ++i) paddedPrefix_[i] = prefix_[i];
    for (std::size_t i = 0; i < suffix_.size() && i < kPadded; ++i) paddedSuffix_[i] = suffix_[i];
  }
  // Literals of at most kPadded characters are also kept padded to that
  // length, so that a writer can copy them as one word.
  static constexpr std::size_t kPadded = 8;
  constexpr const char* paddedPrefix() const { return paddedPrefix_; }
  constexpr const char* paddedSuffix() const { return paddedSuffix_; }
  constexpr std::string_view text() const { return text_; }
  constexpr std::string_view prefix() const { return prefix_; }  // literal text before the first placeholder
  constexpr std::string_view suffix() const { return suffix_; }  // literal text after the last placeholder
  constexpr bool hasPoint() const { return hasPoint_; }
  constexpr int decimals() const { return decimals_; }          // "#" after the "."

 private:
  std::string_view text_, prefix_, suffix_;
  bool hasPoint_ = false;
  int decimals_ = 0;
  char paddedPrefix_[kPadded] = {};
  char paddedSuffix_[kPadded] = {};
};

void AppendPattern(std::string& out, float value, const Pattern& pattern);
void AppendPattern(std::string& out, double value, const Pattern& pattern);
void AppendPattern(std::string& out, std::int64_t value, const Pattern& pattern);

// Plain writing: a blank (or "-"), the shortest decimal form at the value's
// precision (7 significant digits single, 15 double; C's %G rules for the
// exponent form), no 0 before the point, then one blank. 30 -> " 30 ".
void AppendPlainSingle(std::string& out, float value);
void AppendPlainDouble(std::string& out, double value);
void AppendPlainWhole(std::string& out, std::int64_t value);
// A value to `digits` significant digits in the shortest form (0.4567,
// 1.235e+05), for messages and pages a person reads.
std::string SignificantDigits(double value, int digits);

// Text to number: blanks, tabs and line feeds are ignored anywhere; an
// optional sign, digits with at most one ".", an optional exponent; reading
// stops at the first character that cannot continue the number; empty or
// non-numeric text gives 0. The decimal point is "." in every locale.
struct ParsedNumber {
  double value = 0;
  bool numeric = false;  // some digit was read
  bool complete = true;  // nothing but the number (and blanks) stood in the text
  bool plain = false;    // read by the fast form: a whole number of digits over a power of ten, exactly
};
ParsedNumber ParseNumber(std::string_view text);
inline double TextToNumber(std::string_view text) { return ParseNumber(text).value; }

// A number's value exactly as its decimal digits give it: " 7", "07", "7.0"
// and "0.7E1" are one value, 20170016 and 20170017 two, however many digits
// a code has. Codes are compared so, never by a rounded binary value.
struct ExactDecimal {
  bool negative = false;      // never for zero
  std::string digits;         // significant digits, no leading or trailing zeros; empty for zero
  std::int64_t exponent = 0;  // value = digits x 10^exponent
  bool operator==(const ExactDecimal&) const = default;
  // The value as a whole number when it is one of fewer than 16 digits.
  bool Whole(std::int64_t& whole) const;
  // One text for each value, to look values up by.
  std::string Key() const;
  // Plain writing with every digit: a blank or "-", no 0 before the point,
  // no exponent, a blank: " 20170017 ", "-.25 ".
  void AppendAllDigits(std::string& out) const;
};
// The exact value of a text that ParseNumber reads as a number with nothing
// after it; nothing for any other text, and for an exponent of more than 15
// digits, which no value a person writes needs.
bool ParseExactDecimal(std::string_view text, ExactDecimal& exact);

// 10^0 .. 10^22, each exact in double.
inline constexpr double kPowerOfTen[] = {1E0,  1E1,  1E2,  1E3,  1E4,  1E5,  1E6,  1E7,
                                         1E8,  1E9,  1E10, 1E11, 1E12, 1E13, 1E14, 1E15,
                                         1E16, 1E17, 1E18, 1E19, 1E20, 1E21, 1E22};

// ParseNumber's fast form, for nearly every field of a data file: blanks, an
// optional sign, digits with at most one point, blanks. With at most 19
// digits (leading zeros included) and a value of at most 2^53 in them, the
// number is an exact integer over an exact power of ten, so one correctly
// rounded division gives the correctly rounded value: the double the
// general form gives. Inline, as the reader calls it for every field; false
// for any other text (blanks inside the number, tabs, exponents, longer
// digit strings, no digits), which is left to ParseNumber.
inline bool ParsePlainDecimal(std::string_view text, ParsedNumber& parsed) {
  const char* c = text.data();
  const char* const end = c + text.size();
  auto isDigit = [](char d) { return static_cast<unsigned>(d - '0') < 10u; };
  while (c != end && *c == ' ') ++c;
  bool negative = false;
  if (c != end && (*c == '+' || *c == '-')) negative = *c++ == '-';
  // More than 19 digits may wrap the sum around; such text is refused below.
  std::uint64_t mantissa = 0;
  const char* const first = c;
  while (c != end && isDigit(*c)) mantissa = mantissa * 10 + static_cast<std::uint64_t>(*c++ - '0');
  std::ptrdiff_t digits = c - first;
  std::ptrdiff_t afterPoint = 0;
  if (c != end && *c == '.') {
    const char* const fraction = ++c;
    while (c != end && isDigit(*c)) mantissa = mantissa * 10 + static_cast<std::uint64_t>(*c++ - '0');
    afterPoint = c - fraction;
    digits += afterPoint;
  }
  while (c != end && *c == ' ') ++c;
  if (c != end || digits == 0 || digits > 19 || mantissa > (std::uint64_t{1} << 53)) return false;
  const double value = static_cast<double>(mantissa) / kPowerOfTen[afterPoint];
  parsed.value = negative ? -value : value;
  parsed.numeric = true;
  parsed.complete = true;
  parsed.plain = true;
  return true;
}

// The general forms behind the fast ones above: every shape of text and
// number, by way of decimal strings. ParseNumber and AppendPattern give
// exactly what these give, and leave to them what their fast forms do not
// cover.
ParsedNumber ParseNumberGeneral(std::string_view text);
void AppendPatternGeneral(std::string& out, float value, std::string_view pattern);
void AppendPatternGeneral(std::string& out, std::int64_t value, std::string_view pattern);

}  // namespace korvan
