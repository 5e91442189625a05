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

// What an output is, in the words of its messages: every failure to write
// it, and every name it shares with another file, is worded from this.
struct OutputKind {
  std::string tag;     // in its temporary file's name: "report", "procedure", "table"
  std::string what;    // "report", "procedure file", "results file", ...
  std::string option;  // the option or box that names it ("--procedure"); empty: messages need none
  // A results file: a shared name is said with the path and the option of
  // the other ("PATH is also given to --json"); the others say what the two
  // files are ("the procedure file is the output file").
  bool results = false;
  // What a shared name calls it: the report is "the output file", as the
  // option and the box that name it say.
  std::string Noun() const { return what == "report" ? "output file" : what; }
  // How a name it shares is said from the other side: "the output file".
  std::string Called() const;
};

// The message the user reads when `step` fails for the output `path`.
// `reason` is empty when the system gave none.
std::string OutputFailure(const OutputKind& kind, OutputStep step, const std::string& path, std::error_code reason);

// True when the two paths name one file: the same file where both exist,
// the same absolute path after lexical normalisation otherwise.
bool SameFile(const std::string& a, const std::string& b);

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
  // Every failure is thrown as a KorvanError worded from `kind`.
  OutputFile(std::string path, OutputKind kind);
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
  OutputKind kind_;
  std::string tempPath_;
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

  // The data file, which no output may name.
  void ClaimInput(std::string path, std::string what, std::string option);
  // Refuses an output's name, before anything is written, when it names the
  // data file or a file claimed before it, under any spelling of its path
  // or through a link: one of the two would be lost. Claiming the same
  // output twice is claiming it once.
  void Claim(const std::string& path, const OutputKind& kind);
  // Claims `path` and creates its temporary file. Throws RunCancelled once
  // the set has been abandoned.
  OutputFile& Add(std::string path, OutputKind kind);
  // A file the run writes for itself and never places (the single-precision
  // sections beside an exact report): removed with the others when the run
  // fails, is stopped or is cut short.
  OutputFile& AddScratch(std::string path, OutputKind kind);
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
  struct Claimed {
    std::string path;
    OutputKind kind;
  };
  std::mutex mutex_;
  std::vector<Claimed> claimed_;  // the data file first, then the outputs in the order claimed
  std::deque<std::unique_ptr<OutputFile>> files_;
  std::deque<std::unique_ptr<OutputFile>> scratch_;
  std::vector<std::string> madeFolders_;
  bool committed_ = false;
  PlaceFile place_ = PutFileInPlace;
  bool placing_ = false;
  bool abandoned_ = false;
};

}  // namespace korvan
