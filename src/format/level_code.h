#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "format/number_format.h"

namespace korvan {

// A site, block or family code as a run keeps it: the characters of the
// field where the level first occurs, and the text the report writes for it.
// Numeric codes are told apart by their exact decimal value, names by their
// text; neither is ever rounded, so no two codes merge.
struct LevelCode {
  std::string text;     // as the file writes it, without the blanks and quotes around it
  bool name = false;    // the field held no plain number
  std::string key;      // equal for equal codes: the exact value of a number, a name's text
  std::string written;  // the report's plain writing of the code, blanks around it

  // A numeric code, `exact` its value and `value` the nearest double. The report writes it as the
  // single-precision plain writing has always written codes when that gives
  // the code back exactly, and with all its digits when it would not: an
  // accession number of eight digits or more would otherwise change.
  static LevelCode Number(std::string_view text, const ExactDecimal& exact, double value);
  static LevelCode Whole(std::int64_t code);
  static LevelCode Name(std::string_view text);
};

}  // namespace korvan
