#include "ui/progress_queue.h"

namespace korvan {

void ProgressQueue::WriteLine(std::string_view line) {
  std::lock_guard lock(mutex_);
  pending_.text.append(line);
  pending_.text.push_back('\n');
  // Trimming only at twice the limit keeps the cost of the erase amortised.
  if (pending_.text.size() > 2 * keepBytes_) DropOldest();
}

void ProgressQueue::Clear() {
  std::lock_guard lock(mutex_);
  pending_.text.clear();
  pending_.cleared = true;
}

bool ProgressQueue::Take(PendingLines& out) {
  out.cleared = false;
  out.text.clear();
  std::lock_guard lock(mutex_);
  if (!pending_.cleared && pending_.text.empty()) return false;
  // Swapping hands the worker back the caller's buffer, so neither side
  // allocates in the steady state.
  std::swap(out, pending_);
  return true;
}

// Drops whole lines from the front down to about keepBytes_. The window must
// then start afresh: lines it still shows would otherwise stand directly above
// lines that came long after them.
void ProgressQueue::DropOldest() {
  const std::size_t cut = pending_.text.find('\n', pending_.text.size() - keepBytes_);
  pending_.text.erase(0, cut + 1);
  pending_.cleared = true;
}

}  // namespace korvan
