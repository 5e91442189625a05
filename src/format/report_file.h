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
  // The report joins `outputs`, last, so that it goes in place after them;
  // `option` names it in messages.
  ReportFile(OutputSet& outputs, std::string path, std::string option = {});
  // The single-precision sections beside an exact report: written, never
  // placed, removed however the run ends.
  static ReportFile Scratch(OutputSet& outputs, std::string path);
  static OutputKind Kind(std::string option) { return {"report", "report", std::move(option), false}; }

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
  explicit ReportFile(OutputFile& file) : file_(file) {}
  OutputFile& file_;
};

}  // namespace korvan
