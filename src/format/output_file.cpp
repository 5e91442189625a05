#include "format/output_file.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>

#include "base/korvan_error.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace korvan {

namespace {

namespace fs = std::filesystem;

// Beside the target, so the final rename stays within one file system. The
// name is short whatever the target's: a name near the file system's limit
// of 255 bytes must not fail for its temporary name alone.
std::string TemporaryPathFor(const std::string& path, std::string_view kind) {
  std::string name = ".korvan-";
  name += kind;
  name += '-';
  name += std::to_string(std::random_device{}());
  name += ".tmp";
  return (fs::path(path).parent_path() / name).string();
}

// The stream library keeps the system's reason only in errno, and only
// when the system was asked at all.
std::error_code LastError() { return errno ? std::error_code(errno, std::generic_category()) : std::error_code(); }

// Replaces `to` by `from` in one step: a reader sees the old file or the
// new one, never neither.
std::error_code ReplaceFile(const std::string& from, const std::string& to) {
#ifdef _WIN32
  if (!::MoveFileExW(fs::path(from).c_str(), fs::path(to).c_str(), MOVEFILE_REPLACE_EXISTING))
    return std::error_code(static_cast<int>(::GetLastError()), std::system_category());
#else
  if (std::rename(from.c_str(), to.c_str()) != 0) return std::error_code(errno, std::generic_category());
#endif
  return {};
}

}  // namespace

std::string ReasonText(std::error_code reason) { return reason ? reason.message() : "write failed"; }

bool IsDiskFull(std::error_code reason) {
#ifdef EDQUOT
  if (reason == std::error_condition(EDQUOT, std::generic_category())) return true;
#endif
  return reason == std::errc::no_space_on_device || reason == std::errc::file_too_large;
}

OutputFile::OutputFile(std::string path, std::string_view kind, OutputMessage message)
    : path_(std::move(path)), tempPath_(TemporaryPathFor(path_, kind)), message_(message) {
  errno = 0;
  stream_.open(fs::path(tempPath_), std::ios::binary | std::ios::trunc);
  if (!stream_) Fail(OutputStep::kCreate, LastError());
  buffer_.reserve(kFlushBytes + 4096);
}

OutputFile::~OutputFile() {
  if (committed_) return;
  stream_.close();
  std::error_code ignored;
  fs::remove(tempPath_, ignored);
}

void OutputFile::Flush() {
  errno = 0;
  stream_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
  stream_.flush();
  buffer_.clear();
  if (!stream_) Fail(OutputStep::kWrite, LastError());
}

void OutputFile::Finish() {
  if (finished_) return;
  Flush();
  errno = 0;
  stream_.close();
  if (stream_.fail()) Fail(OutputStep::kFinish, LastError());
  finished_ = true;
}

void OutputFile::Commit() {
  Finish();
  if (const std::error_code error = ReplaceFile(tempPath_, path_)) Fail(OutputStep::kPlace, error);
  committed_ = true;
}

void OutputFile::Fail(OutputStep step, std::error_code reason) const {
  throw KorvanError(message_(step, path_, reason));
}

}  // namespace korvan
