#pragma once

#include <stdexcept>
#include <string>

namespace korvan {

// A problem the user can fix: the message says what is wrong, where (file and
// line, box or option) and what to do. Both front ends catch it once and show
// the message as it stands.
class KorvanError : public std::runtime_error {
 public:
  explicit KorvanError(const std::string& message) : std::runtime_error(message) {}
};

// The user asked the run to stop (the window's "End" during a run). Not an
// error to report: the run simply leaves no report behind.
class RunCancelled : public std::runtime_error {
 public:
  RunCancelled() : std::runtime_error("the run was stopped") {}
};

}  // namespace korvan
