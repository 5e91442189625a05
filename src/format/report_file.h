#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "format/level_code.h"
#include "format/output_file.h"

namespace korvan {

// The report, written line by line in the plain writing of values. Like every
// output of a run it goes in place with the others or not at all: a failed
// run leaves no partial report and never touches an existing one.
class ReportFile {
 public:
  // The report joins `outputs`, last, so that it goes in place after them.
  ReportFile(OutputSet& outputs, std::string path);

  ReportFile& Text(std::string_view text);
  ReportFile& Single(float value);
  ReportFile& Double(double value);
  ReportFile& Whole(std::int64_t value);
  // A level's code: a name stands where the number would, between blanks.
  ReportFile& Code(const LevelCode& code) { return Text(code.written); }
  void EndLine();  // CR LF

  // Writes out the rest and makes it durable; the set puts it in place.
  void Finish() { file_.Finish(); }

  const std::string& path() const { return file_.path(); }

 private:
  OutputFile& file_;
};

}  // namespace korvan
