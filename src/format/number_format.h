#pragma once

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

// The general forms behind the fast ones above: every shape of text and
// number, by way of decimal strings. ParseNumber and AppendPattern give
// exactly what these give.
ParsedNumber ParseNumberStraightforward(std::string_view text);
void AppendPatternStraightforward(std::string& out, float value, std::string_view pattern);
void AppendPatternStraightforward(std::string& out, std::int64_t value, std::string_view pattern);

}  // namespace korvan
