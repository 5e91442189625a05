#include "format/report_file.h"

#include <cmath>
#include <filesystem>

#include "base/korvan_error.h"
#include "format/number_format.h"

namespace korvan {

namespace {

std::string ReportMessage(OutputStep step, const std::string& path, std::error_code reason) {
  switch (step) {
    case OutputStep::kCreate: {
      const std::filesystem::path folder = std::filesystem::path(path).parent_path();
      return "cannot create the report " + path + " in the folder " +
             (folder.empty() ? std::string(".") : folder.string()) + ": " + ReasonText(reason) +
             "; choose an output folder that exists and that you may write to";
    }
    case OutputStep::kWrite:
    case OutputStep::kFinish:
      return std::string(step == OutputStep::kWrite ? "cannot write" : "cannot finish") + " the report " + path +
             ": " + ReasonText(reason) + " (is the disk full?); no report was written";
    case OutputStep::kPlace:
      break;
  }
  return "cannot put the report in place as " + path + ": " + ReasonText(reason) +
         "; the previous file of that name, if any, is unchanged";
}

void RequireFinite(bool finite) {
  if (!finite) {
    throw KorvanError("a result is infinite or not a number (a value overflowed single precision); "
                      "no report was written");
  }
}

}  // namespace

ReportFile::ReportFile(OutputSet& outputs, std::string path)
    : file_(outputs.Add(std::move(path), "report", ReportMessage)) {}

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
