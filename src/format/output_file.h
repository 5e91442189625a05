#pragma once

#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

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

// One file a run writes: the report, the procedure file, the timings. The
// text goes to a temporary file beside the target, and Commit() replaces the
// target with it in one step, so a failed run leaves no partial file and
// never touches an earlier one. Finish() does everything that can fail for
// lack of space before Commit(), so several outputs can be finished first
// and then committed together.
class OutputFile {
 public:
  // `kind` names the temporary file; `message` words every failure, which
  // is thrown as a KorvanError.
  OutputFile(std::string path, std::string_view kind, OutputMessage message);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();  // removes the temporary file unless committed

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
  // Writes out the rest and closes the temporary file.
  void Finish();
  // Finishes if not done yet, then puts the file in place.
  void Commit();

  const std::string& path() const { return path_; }

 private:
  static constexpr std::size_t kFlushBytes = 1 << 20;

  [[noreturn]] void Fail(OutputStep step, std::error_code reason) const;

  std::string path_;
  std::string tempPath_;
  OutputMessage message_;
  std::ofstream stream_;
  std::string buffer_;
  bool finished_ = false;
  bool committed_ = false;
};

}  // namespace korvan
