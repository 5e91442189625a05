#include "format/report_file.h"

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <random>
#include <system_error>

#include "format/number_format.h"
#include "base/korvan_error.h"

namespace korvan {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFlushBytes = 1 << 20;

std::string Reason(int error) { return std::generic_category().message(error); }

// Beside the report, so the final rename stays within one file system. The
// name is short whatever the report's: a report name near the file system's
// limit of 255 bytes must not fail for its temporary name alone.
std::string TemporaryPathFor(const std::string& path) {
  const fs::path target(path);
  std::string name = ".korvan-report-";
  name += std::to_string(std::random_device{}());
  name += ".tmp";
  return (target.parent_path() / name).string();
}

void RequireFinite(bool finite) {
  if (!finite) {
    throw KorvanError("a result is infinite or not a number (a value overflowed single precision); "
                      "no report was written");
  }
}

}  // namespace

ReportFile::ReportFile(std::string path) : path_(std::move(path)), tempPath_(TemporaryPathFor(path_)) {
  stream_.open(tempPath_, std::ios::binary | std::ios::trunc);
  if (!stream_) {
    const int error = errno;
    const fs::path folder = fs::path(path_).parent_path();
    throw KorvanError("cannot create the report " + path_ + " in the folder " +
                      (folder.empty() ? std::string(".") : folder.string()) + ": " + Reason(error) +
                      "; choose an output folder that exists and that you may write to");
  }
  buffer_.reserve(kFlushBytes + 4096);
}

ReportFile::~ReportFile() {
  if (committed_) return;
  stream_.close();
  std::error_code ignored;
  fs::remove(tempPath_, ignored);
}

ReportFile& ReportFile::Text(std::string_view text) {
  buffer_ += text;
  return *this;
}

ReportFile& ReportFile::Single(float value) {
  RequireFinite(std::isfinite(value));
  AppendPlainSingle(buffer_, value);
  return *this;
}

ReportFile& ReportFile::Double(double value) {
  RequireFinite(std::isfinite(value));
  AppendPlainDouble(buffer_, value);
  return *this;
}

ReportFile& ReportFile::Whole(std::int64_t value) {
  AppendPlainWhole(buffer_, value);
  return *this;
}

void ReportFile::EndLine() {
  buffer_ += "\r\n";
  if (buffer_.size() >= kFlushBytes) FlushBuffer();
}

void ReportFile::FlushBuffer() {
  errno = 0;
  stream_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
  buffer_.clear();
  if (!stream_) {
    const int error = errno;
    throw KorvanError("cannot write the report " + path_ + ": " +
                      (error ? Reason(error) : std::string("write failed")) +
                      " (is the disk full?); no report was written");
  }
}

void ReportFile::Commit() {
  FlushBuffer();
  errno = 0;
  stream_.close();
  if (stream_.fail()) {
    const int error = errno;
    throw KorvanError("cannot finish the report " + path_ + ": " +
                      (error ? Reason(error) : std::string("write failed")) +
                      " (is the disk full?); no report was written");
  }
  std::error_code ec;
  fs::rename(tempPath_, path_, ec);
  if (ec) {
    throw KorvanError("cannot put the report in place as " + path_ + ": " + ec.message() +
                      "; the previous file of that name, if any, is unchanged");
  }
  committed_ = true;
}

}  // namespace korvan
