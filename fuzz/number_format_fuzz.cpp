// The number formats on arbitrary values and patterns: no crash, the plain
// writing reads back as the value at 7 (single) or 15 (double) significant
// digits, and the pattern writing keeps the pattern's literal blanks around
// a number that is the value rounded to the pattern's decimals.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "format/number_format.h"

namespace {

[[noreturn]] void Finding(const std::string& what, const std::string& got) {
  std::fprintf(stderr, "%s: got '%s'\n", what.c_str(), got.c_str());
  std::abort();
}

template <typename T>
std::string Exact(T value) {
  char text[64];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// The value at `digits` significant digits, held wider than any value so
// that the largest doubles rounded up stay finite.
long double AtDigits(double value, int digits) {
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific, digits - 1).ptr;
  long double rounded = 0;
  std::from_chars(text, end, rounded);
  return rounded;
}

// The first `digits` significant digits and the exponent, correctly rounded.
std::string Digits(long double value, int digits) {
  char text[64];
  return std::string(text, std::to_chars(text, text + sizeof text, value, std::chars_format::scientific, digits - 1).ptr);
}

// ' ' or '-', the shortest decimal form without a 0 before the point, ' '.
template <typename T>
void CheckPlain(T value, int digits) {
  std::string out;
  if constexpr (sizeof(T) == 4) korvan::AppendPlainSingle(out, value);
  else korvan::AppendPlainDouble(out, value);
  const std::string what = "plain writing of " + Exact(value);
  if (out.size() < 3 || out.back() != ' ' || out.front() != (value < 0 ? '-' : ' ')) Finding(what, out);
  std::string number = out.substr(1, out.size() - 2);
  if (number.starts_with("0.") || number.find('e') != std::string::npos) Finding(what, out);
  if (number.starts_with(".")) number.insert(0, "0");
  for (char& c : number)
    if (c == 'E') c = 'e';
  // Read back wider than the value: the largest doubles at 15 digits
  // (1.79769313486232E+308) lie beyond the largest double.
  long double back = 0;
  const auto result = std::from_chars(number.data(), number.data() + number.size(), back);
  if (result.ec != std::errc() || result.ptr != number.data() + number.size()) Finding(what + ": unreadable", out);
  if (Digits(back, digits) != Digits(std::fabs(static_cast<long double>(value)), digits))
    Finding(what + ": reads back as " + Digits(back, digits) + ", not " + Digits(std::fabs(static_cast<long double>(value)), digits), out);
}

struct Shape {
  std::string prefix, suffix;
  bool point = false;
  int decimals = 0;
};

// Blanks, "#"s, perhaps a "." and more "#"s, blanks: the patterns' shape.
Shape MakeShape(const std::uint8_t* bytes) {
  Shape shape;
  shape.prefix.assign(bytes[0] % 4, ' ');
  shape.suffix.assign(bytes[1] % 3, ' ');
  shape.point = bytes[2] & 1;
  shape.decimals = shape.point ? (bytes[2] >> 1) % 5 : 0;
  return shape;
}

std::string PatternOf(const Shape& shape, int integerPlaces) {
  std::string pattern = shape.prefix + std::string(static_cast<std::size_t>(integerPlaces), '#');
  if (shape.point) pattern += "." + std::string(static_cast<std::size_t>(shape.decimals), '#');
  if (pattern == shape.prefix) pattern += '#';
  return pattern + shape.suffix;
}

// `significant` 0 for a whole number, taken as it is.
template <typename T>
void CheckPattern(T value, const Shape& shape, int integerPlaces, int significant) {
  const std::string pattern = PatternOf(shape, integerPlaces);
  std::string out;
  korvan::AppendPattern(out, value, pattern);
  const std::string what = "pattern '" + pattern + "' of " + Exact(value);
  std::string_view rest = out;
  const bool minus = rest.starts_with('-');
  if (minus) rest.remove_prefix(1);
  if (!rest.starts_with(shape.prefix) || !rest.ends_with(shape.suffix) ||
      rest.size() < shape.prefix.size() + shape.suffix.size())
    Finding(what + ": literal blanks lost", out);
  const std::string number(rest.substr(shape.prefix.size(), rest.size() - shape.prefix.size() - shape.suffix.size()));
  const std::size_t dot = number.find('.');
  if (shape.point != (dot != std::string::npos)) Finding(what + ": decimal point", out);
  const std::string whole = number.substr(0, dot), fraction = shape.point ? number.substr(dot + 1) : "";
  if (whole.find_first_not_of("0123456789") != std::string::npos || whole.starts_with('0') ||
      fraction.find_first_not_of("0123456789") != std::string::npos || fraction.ends_with('0') ||
      static_cast<int>(fraction.size()) > shape.decimals)
    Finding(what + ": digits", out);
  const std::string digits = (whole.empty() ? "0" : whole) + "." + fraction + "0";
  long double magnitude = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (minus != (value < 0 && magnitude != 0)) Finding(what + ": sign", out);
  // The value at its own precision, then rounded to the decimals: the two
  // differ by at most half a unit of the last decimal (a tie goes either
  // way in binary), plus the error of reading both back as doubles.
  const long double exact = significant > 0 ? AtDigits(std::fabs(static_cast<double>(value)), significant)
                                            : std::fabs(static_cast<long double>(value));
  const long double half = 0.5L * std::pow(10.0L, -shape.decimals);
  const long double slack = 4 * std::numeric_limits<long double>::epsilon() * std::max(exact, magnitude);
  if (std::fabs(magnitude - exact) > half + slack) Finding(what + ": not the rounded value", out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4 + 8 + 8 + 4) return 0;
  float single;
  double dbl;
  std::int64_t whole;
  std::memcpy(&single, data, 4);
  std::memcpy(&dbl, data + 4, 8);
  std::memcpy(&whole, data + 12, 8);
  const Shape shape = MakeShape(data + 20);
  const int integerPlaces = data[23] % 6;
  if (std::isfinite(single)) {
    CheckPlain(single, 7);
    CheckPattern(single, shape, integerPlaces, 7);
  }
  if (std::isfinite(dbl)) {
    CheckPlain(dbl, 15);
    CheckPattern(dbl, shape, integerPlaces, 15);
  }
  // Whole numbers beyond 2^53 cannot be compared through a double.
  if (whole > -(std::int64_t{1} << 53) && whole < (std::int64_t{1} << 53)) CheckPattern(whole, shape, integerPlaces, 0);
  std::string out;
  korvan::AppendPlainWhole(out, whole);
  if (out != (whole < 0 ? "-" : " ") + (whole < 0 ? Exact(whole).substr(1) : Exact(whole)) + " ")
    Finding("plain writing of the whole number " + Exact(whole), out);
  return 0;
}
