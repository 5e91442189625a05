#pragma once

// How a front end that keeps running after a run learns what became of it:
// every way a run can end is turned into a value, so that nothing thrown on a
// worker thread can escape it and end the program.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "run/run.h"

namespace korvan {

struct RunOutcome {
  enum class Kind { kFinished, kFailed, kStopped };
  Kind kind = Kind::kFailed;
  std::string message;                // why the run failed, for the user
  std::vector<std::string> warnings;  // of a finished run
  // Records that lack trait values, when that stopped the run, and the file
  // line of the first: the window then asks what to do with them.
  std::int64_t missingTrees = 0;
  std::int64_t missingFirstLine = 0;
};

// Runs `run` and reports how it ended.
RunOutcome RunAndCatch(const std::function<RunSummary()>& run);

}  // namespace korvan
