#include "base/stop_signals.h"

#include <csignal>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace korvan {

#ifndef _WIN32

namespace {

// A signal ignored when the program started (nohup ignores SIGHUP, a
// shell's background job SIGINT) stays ignored, as the user asked.
sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction now {};
    if (sigaction(number, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) continue;
    sigaddset(&set, number);
  }
  return set;
}

}  // namespace

StopSignals::StopSignals(std::function<void(int)> askToStop, std::function<void(int)> cutShort,
                         std::chrono::milliseconds grace)
    : askToStop_(std::move(askToStop)), cutShort_(std::move(cutShort)), grace_(grace) {
  set_ = StopSet();
  // The watcher's own way to be woken at the end, whether or not the user's
  // SIGTERM is watched.
  sigset_t blocked = set_;
  sigaddset(&blocked, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
  try {
    watcher_ = std::thread([this, blocked] {
      for (;;) {
        int number = 0;
        if (sigwait(&blocked, &number) != 0) continue;
        if (stopping_.load()) return;
        if (sigismember(&set_, number)) Deliver(number);
      }
    });
  } catch (const std::system_error&) {
    // No thread to watch with (no memory, a limit on processes): the
    // signals end the program as they would have without a watcher.
    pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);
  }
}

// The watcher is woken by a signal of its own set, which it knows to take
// as the end of watching.
StopSignals::~StopSignals() {
  Ended();
  if (!watcher_.joinable()) return;
  stopping_.store(true);
  pthread_kill(watcher_.native_handle(), SIGTERM);
  watcher_.join();
  pthread_sigmask(SIG_UNBLOCK, &set_, nullptr);
}

void IgnoreFileSizeSignal() { std::signal(SIGXFSZ, SIG_IGN); }

#else

namespace {

// The console calls a plain function, on a thread of its own; the one
// watcher of the process is what it reaches.
StopSignals* consoleWatcher = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  StopSignals* watcher = consoleWatcher;
  if (watcher == nullptr) return FALSE;
  const int number = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGINT : SIGTERM;
  watcher->Deliver(number);
  return TRUE;
}

}  // namespace

StopSignals::StopSignals(std::function<void(int)> askToStop, std::function<void(int)> cutShort,
                         std::chrono::milliseconds grace)
    : askToStop_(std::move(askToStop)), cutShort_(std::move(cutShort)), grace_(grace) {
  consoleWatcher = this;
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

StopSignals::~StopSignals() {
  Ended();
  ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  consoleWatcher = nullptr;
}

void IgnoreFileSizeSignal() {}

#endif

void StopSignals::Deliver(int number) {
  int none = 0;
  received_.compare_exchange_strong(none, number);
  askToStop_(number);
  std::unique_lock lock(mutex_);
  if (endedChanged_.wait_for(lock, grace_, [this] { return ended_; })) return;
  cuttingShort_ = true;
  lock.unlock();
  cutShort_(number);
  lock.lock();
  cuttingShort_ = false;
  endedChanged_.notify_all();
}

void StopSignals::Ended() {
  std::unique_lock lock(mutex_);
  endedChanged_.wait(lock, [this] { return !cuttingShort_; });
  ended_ = true;
  endedChanged_.notify_all();
}

std::string SignalName(int number) {
  switch (number) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
#ifdef SIGHUP
    case SIGHUP: return "SIGHUP";
#endif
    default: return "signal " + std::to_string(number);
  }
}

}  // namespace korvan
