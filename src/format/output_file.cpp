#include "format/output_file.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <random>
#include <algorithm>
#include <vector>

#include "base/korvan_error.h"

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace korvan {

namespace {

namespace fs = std::filesystem;

int ProcessId() {
#ifdef _WIN32
  return _getpid();
#else
  return static_cast<int>(::getpid());
#endif
}

// Beside the target, so the final rename stays within one file system. The
// name says what the file is and which run made it (its process and the
// time it began), so that one left by a killed run can be recognised and
// removed; it is short whatever the target's name, since a name near the
// file system's limit of 255 bytes must not fail for its temporary name.
std::string TemporaryPathFor(const std::string& path, std::string_view state, std::string_view kind) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char started[32];
  std::strftime(started, sizeof started, "%Y%m%dT%H%M%S", &local);
  std::string name = ".korvan-";
  name.append(state).append("-").append(kind).append("-").append(started);
  name += "-pid" + std::to_string(ProcessId()) + "-" + std::to_string(std::random_device{}() % 100000) + ".tmp";
  return (fs::path(path).parent_path() / name).string();
}

// The C library keeps the system's reason only in errno, and only when the
// system was asked at all.
std::error_code LastError() { return errno ? std::error_code(errno, std::generic_category()) : std::error_code(); }

// Created anew, never over a file that is there: a name taken by chance
// must not lose another run's file.
std::FILE* CreateExclusive(const std::string& path) {
#ifdef _WIN32
  return ::_wfopen(fs::path(path).c_str(), L"wbx");
#else
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, "wb");
  if (!file) ::close(fd);
  return file;
#endif
}

// Until the data reach the disk, a power cut after the rename could leave
// the new name with no contents.
bool SyncToDisk(std::FILE* file) {
#ifdef _WIN32
  return ::_commit(::_fileno(file)) == 0;
#else
  return ::fsync(::fileno(file)) == 0;
#endif
}

bool TruncateToEmpty(std::FILE* file) {
#ifdef _WIN32
  return ::_chsize_s(::_fileno(file), 0) == 0;
#else
  return ::ftruncate(::fileno(file), 0) == 0;
#endif
}

// A rename is durable only once the folder that holds the name is on disk.
// File systems that cannot sync a folder need not; nothing is reported.
void SyncFolder(const fs::path& folder) {
#ifndef _WIN32
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  static_cast<void>(::fsync(fd));
  ::close(fd);
#else
  static_cast<void>(folder);
#endif
}

// The earlier contents of a target, kept until every output is in place: a
// second name for the same file where the file system allows, a copy where
// it does not. Empty when the target did not exist.
struct Earlier {
  std::string target;
  std::string keptAs;
  bool restored = true;
};

// Without a path object, which could fail for want of memory where a failure
// can no longer be undone.
void RemoveQuietly(const std::string& path) { static_cast<void>(std::remove(path.c_str())); }

}  // namespace

std::string ReasonText(std::error_code reason) { return reason ? reason.message() : "write failed"; }

std::string OutputKind::Called() const {
  if (results && !option.empty()) return "given to " + option;
  return "the " + Noun();
}

std::string OutputFailure(const OutputKind& kind, OutputStep step, const std::string& path, std::error_code reason) {
  // The report, the run's own output, says what becomes of it.
  if (kind.what == "report") {
    switch (step) {
      case OutputStep::kCreate: {
        const fs::path folder = fs::path(path).parent_path();
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
  const char* verb[] = {"cannot create the ", "cannot write the ", "cannot finish the ", "cannot put the "};
  std::string message = verb[static_cast<int>(step)] + kind.what;
  message += step == OutputStep::kPlace ? " in place as " : " ";
  message += path;
  if (!kind.results && !kind.option.empty()) message += " (" + kind.option + ")";
  return message + ": " + ReasonText(reason) +
         (IsDiskFull(reason) ? "; free space on the disk or choose another folder"
                             : "; choose a folder that exists and that you may write to");
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  if (fs::exists(a, error) && fs::exists(b, error)) {
    const bool same = fs::equivalent(a, b, error);
    if (!error) return same;
  }
  return fs::absolute(a, error).lexically_normal() == fs::absolute(b, error).lexically_normal();
}

void OutputSet::ClaimInput(std::string path, std::string what, std::string option) {
  if (path.empty()) return;
  const std::lock_guard lock(mutex_);
  for (const Claimed& earlier : claimed_)
    if (earlier.path == path && earlier.kind.what == what) return;
  claimed_.push_back({std::move(path), {"", std::move(what), std::move(option), false}});
}

void OutputSet::Claim(const std::string& path, const OutputKind& kind) {
  if (path.empty()) return;
  const std::lock_guard lock(mutex_);
  for (const Claimed& earlier : claimed_) {
    if (earlier.path == path && earlier.kind.what == kind.what) return;
    if (!SameFile(path, earlier.path)) continue;
    const std::string prefix = kind.option.empty() ? std::string() : kind.option + ": ";
    if (kind.results)
      throw KorvanError(prefix + path + " is also " + earlier.kind.Called() + "; choose another name");
    throw KorvanError(prefix + "the " + kind.Noun() + " is the " + earlier.kind.Noun() + "; choose another name");
  }
  claimed_.push_back({path, kind});
}

bool IsDiskFull(std::error_code reason) {
#ifdef EDQUOT
  if (reason == std::error_condition(EDQUOT, std::generic_category())) return true;
#endif
  return reason == std::errc::no_space_on_device || reason == std::errc::file_too_large;
}

std::error_code PutFileInPlace(const std::string& from, const std::string& to) {
#ifdef _WIN32
  if (!::MoveFileExW(fs::path(from).c_str(), fs::path(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return std::error_code(static_cast<int>(::GetLastError()), std::system_category());
#else
  if (std::rename(from.c_str(), to.c_str()) != 0) return std::error_code(errno, std::generic_category());
#endif
  return {};
}

OutputFile::OutputFile(std::string path, OutputKind kind)
    : path_(std::move(path)), kind_(std::move(kind)), tempPath_(TemporaryPathFor(path_, "unfinished", kind_.tag)) {
  errno = 0;
  file_ = CreateExclusive(tempPath_);
  if (!file_) Fail(OutputStep::kCreate, LastError());
  // A full disk or a file-size limit of zero shows now, not after the whole
  // analysis: a first block is written and taken back. A constructor that
  // throws runs no destructor, so the file is removed here.
  try {
    buffer_.assign(4096, ' ');
    Flush();
    errno = 0;
    if (std::fseek(file_, 0, SEEK_SET) != 0 || !TruncateToEmpty(file_)) Fail(OutputStep::kWrite, LastError());
    buffer_.reserve(kFlushBytes + 4096);
  } catch (...) {
    Close();
    RemoveTemporary();
    throw;
  }
}

// Closed before it is removed: Windows refuses to delete a file that is
// still open, which would leave the temporary file of every failed run.
OutputFile::~OutputFile() {
  Close();
  if (!placed_) RemoveTemporary();
}

void OutputFile::Close() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

void OutputFile::RemoveTemporary() {
  std::error_code ignored;
  fs::remove(tempPath_, ignored);
}

void OutputFile::Flush() {
  if (buffer_.empty()) return;
  errno = 0;
  const std::size_t written = std::fwrite(buffer_.data(), 1, buffer_.size(), file_);
  const bool flushed = written == buffer_.size() && std::fflush(file_) == 0;
  buffer_.clear();
  if (!flushed) Fail(OutputStep::kWrite, LastError());
}

void OutputFile::Finish() {
  if (finished_) return;
  Flush();
  errno = 0;
  if (!SyncToDisk(file_)) Fail(OutputStep::kFinish, LastError());
  const int closed = std::fclose(file_);
  file_ = nullptr;
  if (closed != 0) Fail(OutputStep::kFinish, LastError());
  finished_ = true;
}

void OutputFile::Fail(OutputStep step, std::error_code reason) const {
  throw KorvanError(OutputFailure(kind_, step, path_, reason));
}

// The temporary file is made under the lock: a set abandoned from another
// thread meanwhile would otherwise miss it and leave it behind.
OutputFile& OutputSet::Add(std::string path, OutputKind kind) {
  Claim(path, kind);
  const std::lock_guard lock(mutex_);
  if (abandoned_) throw RunCancelled();
  files_.push_back(std::make_unique<OutputFile>(std::move(path), std::move(kind)));
  return *files_.back();
}

OutputFile& OutputSet::AddScratch(std::string path, OutputKind kind) {
  const std::lock_guard lock(mutex_);
  if (abandoned_) throw RunCancelled();
  scratch_.push_back(std::make_unique<OutputFile>(std::move(path), std::move(kind)));
  return *scratch_.back();
}

void OutputSet::CommitAll() {
  for (const auto& file : files_) file->Finish();

  const std::lock_guard lock(mutex_);
  if (abandoned_) throw RunCancelled();
  placing_ = true;
  // Every target but the last keeps its earlier contents under a second
  // name until all are placed; the last one placed never needs restoring.
  std::vector<Earlier> earlier;
  earlier.reserve(files_.size());
  auto discardEarlier = [&] {
    for (const Earlier& kept : earlier)
      if (!kept.keptAs.empty() && kept.restored) RemoveQuietly(kept.keptAs);
  };
  for (std::size_t n = 0; n + 1 < files_.size(); ++n) {
    const OutputFile& file = *files_[n];
    Earlier kept{file.path_, {}};
    std::error_code error;
    if (fs::is_regular_file(file.path_, error)) {
      kept.keptAs = TemporaryPathFor(file.path_, "earlier", file.kind_.tag);
      fs::create_hard_link(file.path_, kept.keptAs, error);
      if (error) {
        error.clear();
        fs::copy_file(file.path_, kept.keptAs, error);
      }
      if (error) {
        kept.keptAs.clear();
        discardEarlier();
        placing_ = false;
        file.Fail(OutputStep::kPlace, error);
      }
    }
    earlier.push_back(std::move(kept));
  }

  // Whatever may need memory is done before the first file is placed: once
  // one is, nothing may fail the run that no longer can be undone.
  std::vector<fs::path> folders;
  for (const auto& file : files_) {
    fs::path folder = fs::path(file->path_).parent_path();
    if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(std::move(folder));
  }
  for (std::size_t n = 0; n < files_.size(); ++n) {
    OutputFile& file = *files_[n];
    if (const std::error_code error = place_(file.tempPath_, file.path_)) {
      // Back to how every file was: those placed get their earlier
      // contents again, or go if there were none. Only then is the
      // message put together, which needs memory.
      for (std::size_t back = 0; back < n; ++back) {
        Earlier& kept = earlier[back];
        if (kept.keptAs.empty()) RemoveQuietly(kept.target);
        else kept.restored = !PutFileInPlace(kept.keptAs, kept.target);
      }
      discardEarlier();
      placing_ = false;
      std::string unrestored;
      for (std::size_t back = 0; back < n; ++back)
        if (!earlier[back].restored)
          unrestored += "; the earlier " + earlier[back].target + " is kept as " + earlier[back].keptAs;
      try {
        file.Fail(OutputStep::kPlace, error);
      } catch (const KorvanError& failure) {
        if (unrestored.empty()) throw;
        throw KorvanError(failure.what() + unrestored);
      }
    }
    file.placed_ = true;
  }
  for (const fs::path& folder : folders) SyncFolder(folder);
  discardEarlier();
  committed_ = true;
}

OutputSet::~OutputSet() {
  files_.clear();
  scratch_.clear();
  if (committed_) return;
  // Newest first, so that a folder made inside another goes before it.
  for (auto folder = madeFolders_.rbegin(); folder != madeFolders_.rend(); ++folder) {
    std::error_code ignored;
    fs::remove(*folder, ignored);  // only an empty folder is removed
  }
}

bool OutputSet::Abandon() {
  const std::lock_guard lock(mutex_);
  if (placing_) return false;
  abandoned_ = true;
  for (const auto& file : files_) file->RemoveTemporary();
  for (const auto& file : scratch_) file->RemoveTemporary();
  // And the folders made for them, newest first, as the destructor would:
  // a process cut short runs no destructor.
  for (auto folder = madeFolders_.rbegin(); folder != madeFolders_.rend(); ++folder) {
    std::error_code ignored;
    fs::remove(*folder, ignored);
  }
  return true;
}

}  // namespace korvan
