#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "base/stop_signals.h"

namespace korvan {

// How both programs end a run that a signal stops: SIGINT, SIGTERM and
// SIGHUP ask the run to stop at its next safe point; a run that does not
// reach one within the grace is cut short where it stands, its temporary
// files removed first; either way the program says so in one line and ends
// with status 128 + the signal. A file-size limit fails the write that
// crosses it instead of killing the program with its files left behind.
// Construct it before any other thread starts (see StopSignals).
class ProgramStop {
 public:
  // `askToStop(signal)` runs on the watcher's thread when a signal arrives;
  // `abandonOutputs()` removes the run's temporary files when it must be cut
  // short, and returns false while its outputs are being put in place (the
  // run then ends by itself, as it would have anyway).
  ProgramStop(std::string program, std::function<void(int)> askToStop, std::function<bool()> abandonOutputs);
  ProgramStop(const ProgramStop&) = delete;
  ProgramStop& operator=(const ProgramStop&) = delete;

  // The first signal received, or 0.
  int received() const { return signals_.received(); }
  // The run is over, one way or another; call it before saying how it ended.
  void Ended() { signals_.Ended(); }
  // "korvan-cli: stopped by SIGTERM; nothing written", and a line end.
  std::string StoppedMessage(int signal) const;

 private:
  // How long a run may take, after a signal, to reach its next safe point:
  // long enough for a stage to see the request, short enough for a batch
  // system's grace period. KORVAN_STOP_GRACE_MS sets it, so that the tests
  // reach the cutting short without a stage that runs that long.
  static std::chrono::milliseconds Grace();

  std::string program_;
  StopSignals signals_;
};

}  // namespace korvan
