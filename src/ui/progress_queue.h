#pragma once

// The hand-over of progress lines from a run on a worker thread to the window
// that shows them. A run of 600,000 records writes about two million lines;
// the worker must never wait on the window, so it only appends under a short
// lock, and the window takes everything that arrived in one piece on a timer.

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

#include "base/progress.h"

namespace korvan {

// What arrived since the window last looked.
struct PendingLines {
  bool cleared = false;  // the window is to be cleared before `text` is added
  std::string text;      // the lines, each ended by '\n'
};

class ProgressQueue final : public ProgressSink {
 public:
  // About this many bytes of lines are kept pending; older ones are dropped
  // when the window falls further behind (it could not show them anyway).
  static constexpr std::size_t kDefaultKeepBytes = std::size_t{1} << 20;

  explicit ProgressQueue(std::size_t keepBytes = kDefaultKeepBytes) : keepBytes_(keepBytes) {}

  void WriteLine(std::string_view line) override;
  // Lines pending from before the clear will never be seen: they are dropped
  // here, so the window only ever draws what it would still show.
  void Clear() override;
  // A new screen of a listing is worth building only when the window has
  // looked since the last one was built: until it looks again it would
  // only replace that one. So a listing of 600,000 records costs the
  // building of a screen per look, not of 600,000 lines.
  bool WantsNextScreen() override { return windowLooked_.exchange(false, std::memory_order_relaxed); }
  bool StopRequested() const override { return stopRequested_.load(std::memory_order_relaxed); }

  // The window's side. Take returns false when nothing arrived.
  bool Take(PendingLines& out);
  void RequestStop() { stopRequested_.store(true, std::memory_order_relaxed); }
  void ResetStop() { stopRequested_.store(false, std::memory_order_relaxed); }

 private:
  void DropOldest();

  std::mutex mutex_;
  PendingLines pending_;  // guarded by mutex_
  std::size_t keepBytes_;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> windowLooked_{true};  // Take was called since a screen was last wanted
};

}  // namespace korvan
