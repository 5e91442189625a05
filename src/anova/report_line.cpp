#include "anova/report_line.h"

#include <charconv>

#include "format/number_format.h"
#include "base/korvan_error.h"

namespace korvan {

std::string NotFiniteMessage(std::string_view subject, std::string_view item) {
  std::string message(subject);
  message += ": ";
  message += item;
  message +=
      " is not a finite number: a sum of the trait values overflowed single precision "
      "(largest about 3.4E+38). Rescale the trait (for example to other units) and run "
      "again; the report was not written.";
  return message;
}

void RequireFinite(double value, std::string_view subject, std::string_view item) {
  if (!std::isfinite(value)) throw KorvanError(NotFiniteMessage(subject, item));
}

void ShowValue(ProgressLog& log, std::string_view label, double value, std::string_view subject,
               std::string_view item) {
  RequireFinite(value, subject, item);
  log.CountedLineBy([&](std::string& line) {
    line += label;
    AppendPlainDouble(line, value);
  });
}

void ShowValue(ProgressLog& log, std::string_view label, float value, std::string_view subject,
               std::string_view item) {
  RequireFinite(static_cast<double>(value), subject, item);
  log.CountedLineBy([&](std::string& line) {
    line += label;
    AppendPlainSingle(line, value);
  });
}

}  // namespace korvan
