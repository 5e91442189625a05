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
  // Asked when a listing of records fills the window anew (after a clear).
  // A sink that only shows the window now and then may answer false: the
  // lines up to the next clear are then neither built nor sent, and neither
  // is the clear, as nobody would see them before they were cleared. The
  // last screen of a listing of known length is always sent.
  virtual bool WantsNextScreen() { return true; }
  // A stage begins; `workItems` is how many Advance steps it will report (0: unknown).
  virtual void BeginStage(std::string_view /*name*/, std::int64_t /*workItems*/) {}
  // `done` of the current stage's work items are finished.
  virtual void Advance(std::int64_t /*done*/) {}
  // What the stage works on now, in the user's words ("trait dj").
  virtual void Item(std::string_view /*what*/) {}
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
    if (Shown()) sink_.WriteLine(line);
  }
  // The same, for lines that cost something to build: `build(std::string&)`
  // runs only when somebody reads the lines, but the count always advances.
  template <class Build>
  void CountedLineBy(Build&& build) {
    AdvanceCount();
    if (Shown()) Emit(build);
  }
  // A line outside the listings: it neither advances nor obeys the count.
  void Line(std::string_view line) {
    if (Shown()) sink_.WriteLine(line);
  }
  template <class Build>
  void LineBy(Build&& build) {
    if (Shown()) Emit(build);
  }

  // The counted lines of one record listing, while the object lives: screens
  // of it that the sink does not want are skipped. `lines` is how many
  // counted lines the listing writes, so that its last screen is always
  // sent; -1 when that is not known in advance, as for the reader, whose
  // listing the level coding's listings continue.
  class Listing {
   public:
    Listing(ProgressLog& log, std::int64_t lines) : log_(log) { log_.linesLeft_ = lines; }
    ~Listing() { log_.linesLeft_ = kNoListing; }
    Listing(const Listing&) = delete;
    Listing& operator=(const Listing&) = delete;

   private:
    ProgressLog& log_;
  };

  void BeginStage(std::string_view name, std::int64_t workItems = 0) {
    CheckStop();
    sink_.BeginStage(name, workItems);
  }
  void Advance(std::int64_t done) { sink_.Advance(done); }
  void Item(std::string_view what) { sink_.Item(what); }
  // Throws RunCancelled when the user has asked the run to stop.
  void CheckStop() const;

 private:
  static constexpr std::int64_t kNoListing = -2;

  void AdvanceCount() {
    if (linesLeft_ > 0) --linesLeft_;  // those after this one
    if (++form2Lines_ > 20) {
      form2Lines_ = 0;
      if (!wantsLines_) return;
      // This line starts a screen that holds it and up to 20 more.
      const bool lastOfListing = linesLeft_ >= 0 && linesLeft_ <= 20;
      screenSkipped_ = linesLeft_ != kNoListing && !lastOfListing && !sink_.WantsNextScreen();
      if (!screenSkipped_) sink_.Clear();
    }
  }
  // Whether a line goes to the sink. Outside a listing every line does; one
  // that falls into a skipped screen clears the window first, so that the
  // window never shows it below the lines of an earlier screen.
  bool Shown() {
    if (!wantsLines_) return false;
    if (!screenSkipped_) return true;
    if (linesLeft_ != kNoListing) return false;
    screenSkipped_ = false;
    sink_.Clear();
    return true;
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
  std::int64_t linesLeft_ = kNoListing;  // of the current listing: -1 not known, kNoListing none
  bool screenSkipped_ = false;  // the current screen is neither built nor sent
  std::string scratch_;
};

}  // namespace korvan
