#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "format/report_file.h"
#include "base/progress.h"

namespace korvan {

// The message for a value that overflowed single precision. `subject` names
// the trait or pair ("Trait 2 of trial.dat"), `item` the line or value.
std::string NotFiniteMessage(std::string_view subject, std::string_view item);

// Throws KorvanError(NotFiniteMessage(..)) unless `value` is finite.
void RequireFinite(double value, std::string_view subject, std::string_view item);

// One report line, written piece by piece. Every number is checked first: an
// overflow of single precision stops the run with a message instead of
// reaching the report as "inf" or "nan" (the report is then not committed).
class ReportLine {
 public:
  ReportLine(ReportFile& report, std::string_view subject, std::string item)
      : report_(report), subject_(subject), item_(std::move(item)) {}

  ReportLine& Text(std::string_view text) {
    report_.Text(text);
    return *this;
  }
  ReportLine& Single(float value) {
    RequireFinite(static_cast<double>(value), subject_, item_);
    report_.Single(value);
    return *this;
  }
  ReportLine& Double(double value) {
    RequireFinite(value, subject_, item_);
    report_.Double(value);
    return *this;
  }
  ReportLine& Whole(std::int64_t value) {
    report_.Whole(value);
    return *this;
  }
  void End() { report_.EndLine(); }

 private:
  ReportFile& report_;
  std::string_view subject_;  // outlives the line: the caller's own string
  std::string item_;
};

// A counted progress line: `label` and then the value in plain writing.
// `item` names the value should it not be finite.
void ShowValue(ProgressLog& log, std::string_view label, double value, std::string_view subject,
               std::string_view item);
void ShowValue(ProgressLog& log, std::string_view label, float value, std::string_view subject,
               std::string_view item);

}  // namespace korvan
