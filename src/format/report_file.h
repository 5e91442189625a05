#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

namespace korvan {

// The report, written line by line in the plain writing of values. It is
// written under a temporary name beside its final place and renamed into
// place by Commit(), so a failed run leaves no partial report and never
// touches an existing one.
class ReportFile {
 public:
  explicit ReportFile(std::string path);
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;
  ~ReportFile();  // removes the temporary file unless committed

  ReportFile& Text(std::string_view text);
  ReportFile& Single(float value);
  ReportFile& Double(double value);
  ReportFile& Whole(std::int64_t value);
  void EndLine();  // CR LF

  // Flushes, closes and renames the report into place.
  void Commit();

  const std::string& path() const { return path_; }

 private:
  void FlushBuffer();

  std::string path_;
  std::string tempPath_;
  std::ofstream stream_;
  std::string buffer_;
  bool committed_ = false;
};

}  // namespace korvan
