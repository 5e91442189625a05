#include "base/stop_signals.h"

#include <csignal>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace korvan {

#ifndef _WIN32

namespace {

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

StopSignals::StopSignals(std::function<void(int)> askToStop, std::function<void(int)> cutShort,
                         std::chrono::milliseconds grace)
    : askToStop_(std::move(askToStop)), cutShort_(std::move(cutShort)), grace_(grace) {
  const sigset_t set = StopSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  watcher_ = std::thread([this, set] {
    for (;;) {
      int number = 0;
      if (sigwait(&set, &number) != 0) continue;
      if (stopping_.load()) return;
      Deliver(number);
    }
  });
}

// The watcher is woken by a signal of its own set, which it knows to take
// as the end of watching.
StopSignals::~StopSignals() {
  Ended();
  stopping_.store(true);
  pthread_kill(watcher_.native_handle(), SIGTERM);
  watcher_.join();
  const sigset_t set = StopSet();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
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
  lock.unlock();
  cutShort_(number);
}

void StopSignals::Ended() {
  const std::lock_guard lock(mutex_);
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
