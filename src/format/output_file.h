#pragma once

#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace korvan {

// The steps of writing an output file, each of which can fail.
enum class OutputStep { kCreate, kWrite, kFinish, kPlace };

// The message the user reads when `step` fails for the output `path`: each
// kind of output names itself and says what to do. `reason` is empty when
// the system gave none.
using OutputMessage = std::string (*)(OutputStep step, const std::string& path, std::error_code reason);

// The system's words for `reason`, or "write failed" when it gave none.
std::string ReasonText(std::error_code reason);

// A full disk, a file larger than the system allows, or a used-up quota:
// the user frees space rather than choosing another folder.
bool IsDiskFull(std::error_code reason);

// Replaces `to` by `from` in one step: a reader sees the old file or the new
// one, never neither.
std::error_code PutFileInPlace(const std::string& from, const std::string& to);

// One file a run writes: the report, the procedure file, the timings. The
// text goes to a temporary file beside the target, whose name says what it
// is and which run made it (only a killed process or a power cut can leave
// one behind). A folder that cannot take the file (missing, read-only, full)
// fails at once, before the run reads its data.
class OutputFile {
 public:
  // `kind` names the temporary file; `message` words every failure, which
  // is thrown as a KorvanError.
  OutputFile(std::string path, std::string_view kind, OutputMessage message);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();  // removes the temporary file unless placed

  // The text not yet written; formatters append to it in place.
  std::string& buffer() { return buffer_; }
  void Append(std::string_view text) {
    buffer_ += text;
    FlushWhenFull();
  }
  // Called after appending: large outputs go to disk in pieces, not at the end.
  void FlushWhenFull() {
    if (buffer_.size() >= kFlushBytes) Flush();
  }
  // Writes out the text so far; a full disk shows here.
  void Flush();
  // Writes out the rest, makes it durable and closes the temporary file.
  void Finish();

  const std::string& path() const { return path_; }

 private:
  friend class OutputSet;
  static constexpr std::size_t kFlushBytes = 1 << 20;

  [[noreturn]] void Fail(OutputStep step, std::error_code reason) const;
  void Close();
  void RemoveTemporary();

  std::string path_;
  std::string kind_;
  std::string tempPath_;
  OutputMessage message_;
  std::FILE* file_ = nullptr;
  std::string buffer_;
  bool finished_ = false;
  bool placed_ = false;
};

// The outputs of one run, put in place together: none replaces an earlier
// file until all are complete and on disk, and if putting one in place
// fails, those placed before it get their earlier contents back. They are
// placed in the order added, so the one added last (the report) goes in
// last and a reader who sees the new report sees every other new file too.
class OutputSet {
 public:
  // How a finished file replaces its target; tests inject failures here.
  using PlaceFile = std::error_code (*)(const std::string& from, const std::string& to);

  OutputSet() = default;
  // Removes the temporary files, then the folders made for them that stay
  // empty, unless every file was placed.
  ~OutputSet();
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;

  OutputFile& Add(std::string path, std::string_view kind, OutputMessage message);
  // A folder made for files of this set, before they were added: a run that
  // fails leaves no empty folder of its own behind.
  void AddMadeFolder(std::string folder) { madeFolders_.push_back(std::move(folder)); }
  // Finishes every file, then places them; throws the failing file's
  // message, with every earlier file as it was, when any step fails.
  void CommitAll();
  // From another thread, when the process must end now: removes every
  // temporary file, unless placing has begun (then it waits for the run to
  // finish placing and returns false).
  bool Abandon();

  void SetPlaceFile(PlaceFile place) { place_ = place; }

 private:
  std::mutex mutex_;
  std::deque<std::unique_ptr<OutputFile>> files_;
  std::vector<std::string> madeFolders_;
  bool committed_ = false;
  PlaceFile place_ = PutFileInPlace;
  bool placing_ = false;
  bool abandoned_ = false;
};

}  // namespace korvan
