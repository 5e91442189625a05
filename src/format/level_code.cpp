#include "format/level_code.h"

namespace korvan {

LevelCode LevelCode::Number(std::string_view text, const ExactDecimal& exact, double value) {
  LevelCode code;
  code.text = text.empty() ? std::string("0") : std::string(text);
  code.key = exact.Key();
  AppendPlainSingle(code.written, RoundToSingle(value));
  ExactDecimal back;
  if (!ParseExactDecimal(code.written, back) || !(back == exact)) {
    code.written.clear();
    exact.AppendAllDigits(code.written);
  }
  return code;
}

LevelCode LevelCode::Whole(std::int64_t code) {
  const std::string text = std::to_string(code);
  ExactDecimal exact;
  ParseExactDecimal(text, exact);
  return Number(text, exact, static_cast<double>(code));
}

LevelCode LevelCode::Name(std::string_view text) {
  LevelCode code;
  code.text = text;
  code.name = true;
  code.key = text;
  code.written = " " + code.text + " ";
  return code;
}

}  // namespace korvan
