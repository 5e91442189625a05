#include "format/report_file.h"

#include <cmath>
#include <filesystem>

#include "base/korvan_error.h"
#include "format/number_format.h"

namespace korvan {

namespace {

void RequireFinite(bool finite) {
  if (!finite) {
    throw KorvanError("a result is infinite or not a number (a value overflowed single precision); "
                      "no report was written");
  }
}

}  // namespace

ReportFile::ReportFile(OutputSet& outputs, std::string path, std::string option)
    : file_(outputs.Add(std::move(path), Kind(std::move(option)))) {}

ReportFile ReportFile::Scratch(OutputSet& outputs, std::string path) {
  return ReportFile(outputs.AddScratch(std::move(path), Kind({})));
}

ReportFile& ReportFile::Text(std::string_view text) {
  file_.buffer() += text;
  return *this;
}

ReportFile& ReportFile::Single(float value) {
  RequireFinite(std::isfinite(value));
  AppendPlainSingle(file_.buffer(), value);
  return *this;
}

ReportFile& ReportFile::Double(double value) {
  RequireFinite(std::isfinite(value));
  AppendPlainDouble(file_.buffer(), value);
  return *this;
}

ReportFile& ReportFile::Whole(std::int64_t value) {
  AppendPlainWhole(file_.buffer(), value);
  return *this;
}

void ReportFile::EndLine() { file_.Append("\r\n"); }

}  // namespace korvan
