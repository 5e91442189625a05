#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "format/output_file.h"

namespace korvan {

// The report, written line by line in the plain writing of values. Like every
// output it is committed whole or not at all: a failed run leaves no partial
// report and never touches an existing one.
class ReportFile {
 public:
  explicit ReportFile(std::string path);

  ReportFile& Text(std::string_view text);
  ReportFile& Single(float value);
  ReportFile& Double(double value);
  ReportFile& Whole(std::int64_t value);
  // A level's code: a name stands where the number would, between blanks.
  ReportFile& Code(float number, const std::string& name) {
    return name.empty() ? Single(number) : Text(" ").Text(name).Text(" ");
  }
  void EndLine();  // CR LF

  // Writes out the rest and puts the report in place.
  void Commit() { file_.Commit(); }

  const std::string& path() const { return file_.path(); }

 private:
  OutputFile file_;
};

}  // namespace korvan
