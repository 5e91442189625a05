#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "format/build_mode.h"

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
void AppendPattern(std::string& out, float value, std::string_view pattern);
void AppendPattern(std::string& out, double value, std::string_view pattern);
void AppendPattern(std::string& out, std::int64_t value, std::string_view pattern);

// Plain writing: a blank (or "-"), the shortest decimal form at the value's
// precision (7 significant digits single, 15 double; C's %G rules for the
// exponent form), no 0 before the point, then one blank. 30 -> " 30 ".
void AppendPlainSingle(std::string& out, float value);
void AppendPlainDouble(std::string& out, double value);
void AppendPlainWhole(std::string& out, std::int64_t value);

// Text to number: blanks, tabs and line feeds are ignored anywhere; an
// optional sign, digits with at most one ".", an optional exponent; reading
// stops at the first character that cannot continue the number; empty or
// non-numeric text gives 0. The decimal point is "." in every locale.
struct ParsedNumber {
  double value = 0;
  bool numeric = false;  // some digit was read
  bool complete = true;  // nothing but the number (and blanks) stood in the text
};
ParsedNumber ParseNumber(std::string_view text);
inline double TextToNumber(std::string_view text) { return ParseNumber(text).value; }

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
  if (kStraightforward) return false;
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
  return true;
}

// The general forms behind the fast ones above: every shape of text and
// number, by way of decimal strings. ParseNumber and AppendPattern give
// exactly what these give.
ParsedNumber ParseNumberStraightforward(std::string_view text);
void AppendPatternStraightforward(std::string& out, float value, std::string_view pattern);
void AppendPatternStraightforward(std::string& out, std::int64_t value, std::string_view pattern);

}  // namespace korvan
