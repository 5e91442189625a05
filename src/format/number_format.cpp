#include "format/number_format.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace korvan {

namespace {

// A non-negative decimal number: digits d1 d2 .. dn and the position of the
// decimal point, value = 0.d1d2..dn x 10^pointPos.
struct Decimal {
  std::string digits;  // no leading zeros unless the value is 0 ("0")
  int pointPos = 0;
};

// The magnitude of `value` at `significant` digits, correctly rounded from
// its binary value as printf would.
template <typename T>
Decimal ToDecimal(T magnitude, int significant) {
  char buf[64];
  const auto result = std::to_chars(buf, buf + sizeof buf, magnitude,
                                    std::chars_format::scientific, significant - 1);
  assert(result.ec == std::errc());
  const std::string_view text(buf, static_cast<std::size_t>(result.ptr - buf));
  const std::size_t e = text.find('e');
  Decimal d;
  for (std::size_t i = 0; i < e; ++i) {
    if (text[i] != '.') d.digits += text[i];
  }
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(), exponent);
  d.pointPos = exponent + 1;
  if (d.digits.find_first_not_of('0') == std::string::npos) {
    d.digits.assign(1, '0');
    d.pointPos = 1;
  }
  return d;
}

Decimal WholeToDecimal(std::uint64_t magnitude) {
  Decimal d;
  d.digits = std::to_string(magnitude);
  d.pointPos = static_cast<int>(d.digits.size());
  return d;
}

struct PatternShape {
  std::string_view prefix;  // literal text before the first placeholder
  std::string_view suffix;  // literal text after the last placeholder
  bool hasPoint = false;
  int decimals = 0;         // "#" after the "."
};

PatternShape ShapeOf(std::string_view pattern) {
  PatternShape shape;
  const std::size_t first = pattern.find_first_of("#.");
  if (first == std::string_view::npos) {
    shape.prefix = pattern;
    return shape;
  }
  const std::size_t last = pattern.find_last_of("#.");
  shape.prefix = pattern.substr(0, first);
  shape.suffix = pattern.substr(last + 1);
  const std::string_view body = pattern.substr(first, last - first + 1);
  const std::size_t point = body.find('.');
  if (point != std::string_view::npos) {
    shape.hasPoint = true;
    for (char c : body.substr(point + 1)) shape.decimals += (c == '#');
  }
  return shape;
}

// Writes `d` rounded half away from zero to the pattern's decimals.
void AppendShaped(std::string& out, bool negative, Decimal d, std::string_view pattern) {
  const PatternShape shape = ShapeOf(pattern);
  const int decimals = shape.hasPoint ? shape.decimals : 0;

  // Keep the digits up to `decimals` places after the point; round on the next one.
  const int keep = d.pointPos + decimals;
  std::string kept;
  int intDigits = d.pointPos;
  if (keep <= 0) {
    const bool roundsUp = keep == 0 && d.digits[0] >= '5';
    kept = roundsUp ? "1" : "";
    if (roundsUp) intDigits = 1 - decimals;
    else intDigits = -decimals;
  } else {
    kept = d.digits.substr(0, std::min<std::size_t>(d.digits.size(), static_cast<std::size_t>(keep)));
    if (static_cast<int>(kept.size()) < keep) kept.append(static_cast<std::size_t>(keep) - kept.size(), '0');
    if (static_cast<std::size_t>(keep) < d.digits.size() && d.digits[static_cast<std::size_t>(keep)] >= '5') {
      int i = keep - 1;
      while (i >= 0 && kept[static_cast<std::size_t>(i)] == '9') kept[static_cast<std::size_t>(i--)] = '0';
      if (i >= 0) ++kept[static_cast<std::size_t>(i)];
      else {
        kept.insert(kept.begin(), '1');
        ++intDigits;
      }
    }
  }
  // kept holds intDigits integer digits followed by `decimals` fraction digits
  // (intDigits may be negative when the value has leading fraction zeros).
  std::string integerPart;
  std::string fraction;
  if (intDigits > 0) {
    integerPart = kept.substr(0, static_cast<std::size_t>(intDigits));
    fraction = kept.substr(static_cast<std::size_t>(intDigits));
  } else {
    fraction = std::string(static_cast<std::size_t>(-intDigits), '0') + kept;
  }
  const std::size_t firstNonZero = integerPart.find_first_not_of('0');
  integerPart = firstNonZero == std::string::npos ? "" : integerPart.substr(firstNonZero);
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();

  // A value that rounds to zero is written without a sign.
  if (negative && !(integerPart.empty() && fraction.empty())) out += '-';
  out += shape.prefix;
  out += integerPart;
  if (shape.hasPoint) {
    out += '.';
    out += fraction;
  }
  out += shape.suffix;
}

// The shortest form at `significant` digits, as C's %G writes it, without
// a 0 before the decimal point.
template <typename T>
void AppendPlain(std::string& out, T value, int significant) {
  out += value < 0 ? '-' : ' ';
  char buf[64];
  const auto result = std::to_chars(buf, buf + sizeof buf, std::fabs(value),
                                    std::chars_format::general, significant);
  assert(result.ec == std::errc());
  std::string_view text(buf, static_cast<std::size_t>(result.ptr - buf));
  if (text.size() > 1 && text[0] == '0' && text[1] == '.') text.remove_prefix(1);
  for (char c : text) out += (c == 'e') ? 'E' : c;
  out += ' ';
}

bool Ignorable(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// The power of ten of the first significant digit of a number too large or
// too small for a double: its sign tells which. The sign of the exponent
// alone does not: 1000..0E-5 with 400 zeros is huge, 0.00..01E+5 tiny.
std::int64_t DecimalExponent(std::string_view clean) {
  const std::size_t e = std::min(clean.find('e'), clean.size());
  const std::string_view mantissa = clean.substr(0, e);
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  const std::size_t first = mantissa.find_first_of("123456789");
  assert(first != std::string_view::npos);
  std::int64_t exponent = first < point ? static_cast<std::int64_t>(point - first) - 1
                                        : -static_cast<std::int64_t>(first - point);
  // An exponent beyond a trillion changes nothing: no text holds that many digits.
  std::int64_t written = 0;
  for (const char c : clean.substr(std::min(e + 1, clean.size())))
    if (c >= '0' && c <= '9') written = std::min<std::int64_t>(written * 10 + (c - '0'), 1'000'000'000'000);
  exponent += e + 1 < clean.size() && clean[e + 1] == '-' ? -written : written;
  return exponent;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

void AppendPattern(std::string& out, float value, std::string_view pattern) {
  AppendShaped(out, value < 0, ToDecimal(std::fabs(value), 7), pattern);
}

void AppendPattern(std::string& out, double value, std::string_view pattern) {
  AppendShaped(out, value < 0, ToDecimal(std::fabs(value), 15), pattern);
}

void AppendPattern(std::string& out, std::int64_t value, std::string_view pattern) {
  const std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value)
                                            : static_cast<std::uint64_t>(value);
  AppendShaped(out, value < 0, WholeToDecimal(magnitude), pattern);
}

void AppendPlainSingle(std::string& out, float value) { AppendPlain(out, value, 7); }

void AppendPlainDouble(std::string& out, double value) { AppendPlain(out, value, 15); }

void AppendPlainWhole(std::string& out, std::int64_t value) {
  out += value < 0 ? '-' : ' ';
  const std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value)
                                            : static_cast<std::uint64_t>(value);
  out += std::to_string(magnitude);
  out += ' ';
}

ParsedNumber ParseNumber(std::string_view text) {
  // Collect the number's characters with the ignorable ones dropped, then let
  // from_chars do the correctly rounded conversion.
  std::string clean;
  bool negative = false;
  bool seenSign = false;
  bool seenPoint = false;
  bool mantissaDigits = false;
  bool nonZeroDigit = false;
  std::size_t i = 0;
  auto skip = [&] { while (i < text.size() && Ignorable(text[i])) ++i; };

  skip();
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    seenSign = true;
    ++i;
  }
  for (;; ++i) {
    skip();
    if (i >= text.size()) break;
    const char c = text[i];
    if (IsDigit(c)) {
      mantissaDigits = true;
      nonZeroDigit |= c != '0';
      clean += c;
    } else if (c == '.' && !seenPoint) {
      seenPoint = true;
      clean += c;
    } else {
      break;
    }
  }
  ParsedNumber parsed;
  if (!mantissaDigits) {
    skip();
    parsed.complete = i >= text.size() && !seenSign && !seenPoint;
    return parsed;
  }
  parsed.numeric = true;

  // An exponent counts only when digits follow the letter (and its sign).
  if (i < text.size() && (text[i] == 'E' || text[i] == 'e')) {
    std::size_t j = i + 1;
    auto skipAt = [&] { while (j < text.size() && Ignorable(text[j])) ++j; };
    skipAt();
    std::string exponent = "e";
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) exponent += text[j++];
    bool exponentDigits = false;
    for (;; ++j) {
      skipAt();
      if (j >= text.size() || !IsDigit(text[j])) break;
      exponentDigits = true;
      exponent += text[j];
    }
    if (exponentDigits) {
      clean += exponent;
      i = j;
    }
  }
  skip();
  parsed.complete = i >= text.size();

  double value = 0;
  const auto result = std::from_chars(clean.data(), clean.data() + clean.size(), value);
  if (result.ec == std::errc::result_out_of_range) {
    const bool tiny = !nonZeroDigit || DecimalExponent(clean) < 0;
    value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
  }
  parsed.value = negative ? -value : value;
  return parsed;
}

}  // namespace korvan
