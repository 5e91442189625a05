#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvan {

// Where the stages' progress goes: the window's "Procedure of the calculation",
// the batch program's --procedure file, or nowhere. The core never sees Qt.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  // One finished line, without terminator.
  virtual void WriteLine(std::string_view line) = 0;
  // The window is cleared; the next line stands first again.
  virtual void Clear() = 0;
  // False when nobody reads the lines: the stages then skip building them.
  virtual bool WantsLines() const { return true; }
  // A stage begins; `workItems` is how many Advance steps it will report (0: unknown).
  virtual void BeginStage(std::string_view /*name*/, std::int64_t /*workItems*/) {}
  // `done` of the current stage's work items are finished.
  virtual void Advance(std::int64_t /*done*/) {}
  // Polled between records and at stage boundaries; true stops the run.
  virtual bool StopRequested() const { return false; }
  // The run has written its last line and is about to put the report in
  // place: a sink that keeps the lines in a file writes them out now, so that
  // a write error stops the run before an earlier report is replaced.
  virtual void Flush() {}
};

// A sink for runs nobody watches.
class NullSink final : public ProgressSink {
 public:
  void WriteLine(std::string_view) override {}
  void Clear() override {}
  bool WantsLines() const override { return false; }
};

// The progress window's conventions, implemented once for every stage: listing
// lines advance `form2Lines`, and the window is cleared when the count passes 20.
class ProgressLog {
 public:
  explicit ProgressLog(ProgressSink& sink) : sink_(sink), wantsLines_(sink.WantsLines()) {}

  bool WantsLines() const { return wantsLines_; }
  int form2Lines() const { return form2Lines_; }

  // A line that belongs to a listing of records or values.
  void CountedLine(std::string_view line) {
    AdvanceCount();
    if (wantsLines_) sink_.WriteLine(line);
  }
  // The same, for lines that cost something to build: `build(std::string&)`
  // runs only when somebody reads the lines, but the count always advances.
  template <class Build>
  void CountedLineBy(Build&& build) {
    AdvanceCount();
    if (wantsLines_) Emit(build);
  }
  // A line outside the listings: it neither advances nor obeys the count.
  void Line(std::string_view line) {
    if (wantsLines_) sink_.WriteLine(line);
  }
  template <class Build>
  void LineBy(Build&& build) {
    if (wantsLines_) Emit(build);
  }

  void BeginStage(std::string_view name, std::int64_t workItems = 0) {
    CheckStop();
    sink_.BeginStage(name, workItems);
  }
  void Advance(std::int64_t done) { sink_.Advance(done); }
  // Throws RunCancelled when the user has asked the run to stop.
  void CheckStop() const;

 private:
  void AdvanceCount() {
    if (++form2Lines_ > 20) {
      form2Lines_ = 0;
      if (wantsLines_) sink_.Clear();
    }
  }
  template <class Build>
  void Emit(Build& build) {
    scratch_.clear();
    build(scratch_);
    sink_.WriteLine(scratch_);
  }

  ProgressSink& sink_;
  bool wantsLines_;
  int form2Lines_ = 0;  // counted lines since the window was last cleared
  std::string scratch_;
};

}  // namespace korvan
