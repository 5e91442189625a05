#pragma once

#include <atomic>
#include <csignal>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace korvan {

// Turns the signals that ask a program to end (SIGINT from Ctrl-C, SIGTERM
// from a batch system's time limit, SIGHUP from a closed terminal) into a
// request the run can answer at a safe point, so that it removes its
// temporary files and leaves every earlier file as it was. Construct it
// before any other thread starts: the threads started later inherit the
// blocked signals, and only the watcher's own thread receives them.
class StopSignals {
 public:
  // When a signal arrives, `askToStop(number)` runs on the watcher's thread;
  // if the program has not called Ended() within `grace` (a stage that does
  // not reach a safe point in time), `cutShort(number)` runs there too, to
  // remove the run's temporary files and end the process where it stands.
  StopSignals(std::function<void(int)> askToStop, std::function<void(int)> cutShort,
              std::chrono::milliseconds grace);
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  ~StopSignals();  // the signals act as before again

  // The first signal received, or 0.
  int received() const { return received_.load(); }
  // The run is over, one way or another: nothing needs cutting short. Call
  // it before saying how the run ended: if the run is being cut short just
  // then, it does not return, since the process is about to end.
  void Ended();

  // What a signal does. Public for the console's event handler on Windows,
  // which is no member.
  void Deliver(int number);

 private:
  std::function<void(int)> askToStop_;
  std::function<void(int)> cutShort_;
  std::chrono::milliseconds grace_;
  std::atomic<int> received_{0};
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable endedChanged_;
  bool ended_ = false;
  bool cuttingShort_ = false;
#ifndef _WIN32
  sigset_t set_;  // the signals watched
#endif
  std::thread watcher_;
};

// "SIGTERM" for SIGTERM, and so on.
std::string SignalName(int number);

// A file-size limit (ulimit -f) then fails a write with "File too large"
// instead of killing the process without a word.
void IgnoreFileSizeSignal();

}  // namespace korvan
