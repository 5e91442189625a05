#include "base/program_stop.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace korvan {

ProgramStop::ProgramStop(std::string program, std::function<void(int)> askToStop,
                         std::function<bool()> abandonOutputs)
    : program_(std::move(program)),
      signals_(std::move(askToStop),
               [this, abandon = std::move(abandonOutputs)](int signal) {
                 if (!abandon()) return;
                 std::fputs(StoppedMessage(signal).c_str(), stderr);
                 std::fflush(stderr);
                 std::_Exit(128 + signal);
               },
               Grace()) {
  IgnoreFileSizeSignal();
}

std::string ProgramStop::StoppedMessage(int signal) const {
  return program_ + ": stopped by " + SignalName(signal) + "; nothing written\n";
}

std::chrono::milliseconds ProgramStop::Grace() {
  const char* set = std::getenv("KORVAN_STOP_GRACE_MS");
  int milliseconds = 3000;
  if (set != nullptr) std::from_chars(set, set + std::strlen(set), milliseconds);
  return std::chrono::milliseconds(std::max(0, milliseconds));
}

}  // namespace korvan
