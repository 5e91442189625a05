#include "format/number_format.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstring>
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

// Writes `d` rounded half away from zero to the pattern's decimals.
void AppendShaped(std::string& out, bool negative, Decimal d, const Pattern& shape) {
  const int decimals = shape.hasPoint() ? shape.decimals() : 0;

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
  out += shape.prefix();
  out += integerPart;
  if (shape.hasPoint()) {
    out += '.';
    out += fraction;
  }
  out += shape.suffix();
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

// --- Fast forms: the shapes that make up nearly all of a run's numbers, each
// giving exactly the text or value of the general form; anything else is
// left to the general form.

constexpr std::int64_t kWholePowerOfTen[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000,
                                             100000000, 1000000000, 10000000000, 100000000000,
                                             1000000000000, 10000000000000};

// A line of a listing is built from pieces that are written into a small
// buffer and appended once: one growth check per number instead of one per
// piece.
class Piece {
 public:
  void Text(std::string_view text) {
    assert(text.size() <= sizeof buf_ - static_cast<std::size_t>(end_ - buf_));
    std::memcpy(end_, text.data(), text.size());
    end_ += text.size();
  }
  // A literal of a pattern, copied as one word when it is short.
  void Literal(std::string_view text, const char* padded) {
    if (text.size() > Pattern::kPadded) {
      Text(text);
      return;
    }
    std::memcpy(end_, padded, Pattern::kPadded);
    end_ += text.size();
  }
  void Char(char c) { *end_++ = c; }
  // Counted first, then written two at a time from the back.
  void Digits(std::uint64_t value) {
    static constexpr char kPairs[] =
        "0001020304050607080910111213141516171819202122232425262728293031323334353637383940414243444546474849"
        "5051525354555657585960616263646566676869707172737475767778798081828384858687888990919293949596979899";
    int count = 1;
    for (std::uint64_t rest = value; rest >= 10; rest /= 10) ++count;
    char* at = end_ + count;
    end_ = at;
    while (value >= 100) {
      at -= 2;
      std::memcpy(at, kPairs + 2 * (value % 100), 2);
      value /= 100;
    }
    if (value >= 10) {
      std::memcpy(at - 2, kPairs + 2 * value, 2);
    } else {
      at[-1] = static_cast<char>('0' + value);
    }
  }
  // `value` as exactly `width` digits, leading zeros included.
  void FixedDigits(std::uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10) end_[i] = static_cast<char>('0' + value % 10);
    end_ += width;
  }
  void AppendTo(std::string& out) const { out.append(buf_, static_cast<std::size_t>(end_ - buf_)); }

 private:
  char buf_[128];
  char* end_ = buf_;
};

// Literal text around a number is never long; a pattern that is goes the
// general way.
constexpr std::size_t kLongestLiteral = 40;

bool ShortLiterals(const Pattern& shape) {
  return shape.prefix().size() <= kLongestLiteral && shape.suffix().size() <= kLongestLiteral;
}

// Rounds to the nearest integer, ties to even, as std::nearbyint does in the
// default rounding mode, for 0 <= x < 2^52: adding 2^52 leaves no bits for a
// fraction, so the addition itself rounds (the build allows the compiler no
// reassociation that could fold the two steps). Not a library call on every
// processor.
double RoundToEven(double x) {
  constexpr double kNoFraction = 4503599627370496.0;  // 2^52
  assert(x >= 0 && x < kNoFraction);
  return (x + kNoFraction) - kNoFraction;
}

// |value| at 7 significant digits as `digits` x 10^-scale, 10^6 <= digits <
// 10^7. For 1E-06 <= |value| < 1E+07 the scale lies in 0..12, where
// |value| x 10^scale is exact in double (24 bits times 5^scale < 2^29, times
// a power of two), so rounding that product to an integer, ties to even, is
// the correctly rounded 7-digit decimal the general form takes. False
// outside that range.
bool SevenDigits(float value, std::int64_t& digits, int& scale) {
  const double magnitude = std::fabs(static_cast<double>(value));
  if (!(magnitude >= 1E-06 && magnitude < 1E+07)) return false;
  // The binary exponent gives the decimal one within 1 (1233 / 4096 is
  // log10(2) to 4 digits); the scaled value, exact, settles it.
  const int binaryExponent = static_cast<int>((std::bit_cast<std::uint32_t>(value) >> 23) & 0xFFu) - 127;
  scale = std::clamp(6 - ((binaryExponent * 1233) >> 12), 0, 12);
  double scaled = magnitude * kPowerOfTen[scale];
  if (scaled < 1E+06 && scale < 12) scaled = magnitude * kPowerOfTen[++scale];
  if (scaled >= 1E+07 && scale > 0) scaled = magnitude * kPowerOfTen[--scale];
  if (!(scaled >= 1E+06 && scaled < 1E+07)) return false;
  digits = static_cast<std::int64_t>(RoundToEven(scaled));
  if (digits == 10000000) {  // 9999999.5 and above round up to the next decade
    digits = 1000000;
    --scale;
  }
  return true;
}

// digits / 10^shift for the pattern's 0..6 decimals, rounded down; constant
// divisors, so no division instruction.
std::int64_t DropDigitsDown(std::int64_t digits, int shift) {
  switch (shift) {
    case 1: return digits / 10;
    case 2: return digits / 100;
    case 3: return digits / 1000;
    case 4: return digits / 10000;
    case 5: return digits / 100000;
    case 6: return digits / 1000000;
    default: assert(shift == 0); return digits;
  }
}

// digits / 10^shift, rounded half up; constant divisors, so no division
// instruction.
std::int64_t DropDigits(std::int64_t digits, int shift) {
  auto drop = [digits](auto step) {
    std::int64_t kept = digits / step;
    if (2 * (digits % step) >= step) ++kept;
    return kept;
  };
  switch (shift) {
    case 1: return drop(std::int64_t{10});
    case 2: return drop(std::int64_t{100});
    case 3: return drop(std::int64_t{1000});
    case 4: return drop(std::int64_t{10000});
    case 5: return drop(std::int64_t{100000});
    case 6: return drop(std::int64_t{1000000});
    case 7: return drop(std::int64_t{10000000});
    default: return drop(kWholePowerOfTen[shift]);
  }
}

// A float in a pattern: its 7 digits rounded half away from zero to the
// pattern's decimals in integer arithmetic. False when the value or the
// pattern is outside what this form covers.
bool AppendSevenDigitPattern(std::string& out, float value, const Pattern& shape) {
  const int decimals = shape.hasPoint() ? shape.decimals() : 0;
  if (decimals > 6 || !ShortLiterals(shape)) return false;
  std::int64_t digits = 0;
  int scale = 0;
  if (value != 0.0f && !SevenDigits(value, digits, scale)) return false;
  // units: the value in steps of 10^-decimals.
  const std::int64_t units =
      decimals >= scale ? digits * kWholePowerOfTen[decimals - scale] : DropDigits(digits, scale - decimals);
  const std::int64_t whole = DropDigitsDown(units, decimals);
  std::int64_t fraction = units - whole * kWholePowerOfTen[decimals];
  Piece piece;
  // A value that rounds to zero is written without a sign.
  if (value < 0 && units != 0) piece.Char('-');
  piece.Literal(shape.prefix(), shape.paddedPrefix());
  if (whole != 0) piece.Digits(static_cast<std::uint64_t>(whole));
  if (shape.hasPoint()) {
    piece.Char('.');
    int width = decimals;
    while (width > 0 && fraction % 10 == 0) {
      fraction /= 10;
      --width;
    }
    piece.FixedDigits(static_cast<std::uint64_t>(fraction), width);
  }
  piece.Literal(shape.suffix(), shape.paddedSuffix());
  piece.AppendTo(out);
  return true;
}

}  // namespace

void AppendPatternGeneral(std::string& out, float value, std::string_view pattern) {
  AppendShaped(out, value < 0, ToDecimal(std::fabs(value), 7), Pattern(pattern));
}

void AppendPatternGeneral(std::string& out, std::int64_t value, std::string_view pattern) {
  const std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value)
                                            : static_cast<std::uint64_t>(value);
  AppendShaped(out, value < 0, WholeToDecimal(magnitude), Pattern(pattern));
}

void AppendPattern(std::string& out, float value, const Pattern& pattern) {
  if (!AppendSevenDigitPattern(out, value, pattern))
    AppendPatternGeneral(out, value, pattern.text());
}

void AppendPattern(std::string& out, double value, const Pattern& pattern) {
  AppendShaped(out, value < 0, ToDecimal(std::fabs(value), 15), pattern);
}

void AppendPattern(std::string& out, std::int64_t value, const Pattern& pattern) {
  // A whole number has no fraction to round: its digits, or none for 0.
  if (!ShortLiterals(pattern)) {
    AppendPatternGeneral(out, value, pattern.text());
    return;
  }
  const std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value)
                                            : static_cast<std::uint64_t>(value);
  Piece piece;
  if (value < 0) piece.Char('-');
  piece.Literal(pattern.prefix(), pattern.paddedPrefix());
  if (magnitude != 0) piece.Digits(magnitude);
  if (pattern.hasPoint()) piece.Char('.');
  piece.Literal(pattern.suffix(), pattern.paddedSuffix());
  piece.AppendTo(out);
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
  ParsedNumber parsed;
  if (ParsePlainDecimal(text, parsed)) return parsed;
  return ParseNumberGeneral(text);
}

ParsedNumber ParseNumberGeneral(std::string_view text) {
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

bool ExactDecimal::Whole(std::int64_t& whole) const {
  if (exponent < 0 || static_cast<std::int64_t>(digits.size()) + exponent > 15) return false;
  whole = 0;
  for (const char c : digits) whole = whole * 10 + (c - '0');
  for (std::int64_t n = 0; n < exponent; ++n) whole *= 10;
  if (negative) whole = -whole;
  return true;
}

std::string ExactDecimal::Key() const {
  std::string key = negative ? "-" : "";
  if (digits.empty()) return key += "0";
  return key.append(digits).append("e").append(std::to_string(exponent));
}

void ExactDecimal::AppendAllDigits(std::string& out) const {
  out += negative ? '-' : ' ';
  if (digits.empty()) {
    out += "0 ";
    return;
  }
  const auto length = static_cast<std::int64_t>(digits.size());
  if (exponent >= 0) {
    out += digits;
    out.append(static_cast<std::size_t>(exponent), '0');
  } else if (length + exponent > 0) {
    out.append(digits, 0, static_cast<std::size_t>(length + exponent));
    out += '.';
    out.append(digits, static_cast<std::size_t>(length + exponent));
  } else {
    out += '.';
    out.append(static_cast<std::size_t>(-exponent - length), '0');
    out += digits;
  }
  out += ' ';
}

bool ParseExactDecimal(std::string_view text, ExactDecimal& exact) {
  exact = {};
  std::size_t i = 0;
  auto skip = [&] { while (i < text.size() && Ignorable(text[i])) ++i; };
  skip();
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::string mantissa;  // every digit, the point left out
  std::int64_t afterPoint = 0;
  bool seenPoint = false;
  for (;; ++i) {
    skip();
    if (i >= text.size()) break;
    if (IsDigit(text[i])) {
      mantissa += text[i];
      afterPoint += seenPoint;
    } else if (text[i] == '.' && !seenPoint) {
      seenPoint = true;
    } else {
      break;
    }
  }
  if (mantissa.empty()) return false;
  std::int64_t written = 0;
  if (i < text.size() && (text[i] == 'E' || text[i] == 'e')) {
    std::size_t j = i + 1;
    auto skipAt = [&] { while (j < text.size() && Ignorable(text[j])) ++j; };
    skipAt();
    bool below = false;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) below = text[j++] == '-';
    bool anyDigit = false;
    int significant = 0;  // exponent digits after its leading zeros
    for (;; ++j) {
      skipAt();
      if (j >= text.size() || !IsDigit(text[j])) break;
      anyDigit = true;
      if (written == 0 && text[j] == '0') continue;
      if (++significant > 15) return false;
      written = written * 10 + (text[j] - '0');
    }
    // As the conversion does, an "E" without digits ends the number before it.
    if (anyDigit) i = j;
    if (below) written = -written;
  }
  skip();
  if (i != text.size()) return false;
  const std::size_t first = mantissa.find_first_not_of('0');
  if (first == std::string::npos) return true;  // zero, of either sign
  const std::size_t last = mantissa.find_last_not_of('0');
  exact.negative = negative;
  exact.digits = mantissa.substr(first, last - first + 1);
  exact.exponent = written - afterPoint + static_cast<std::int64_t>(mantissa.size() - 1 - last);
  return true;
}

std::string SignificantDigits(double value, int digits) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::general, digits).ptr;
  return std::string(text, end);
}

}  // namespace korvan
