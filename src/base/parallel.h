#pragma once

#include <algorithm>
#include <exception>
#include <thread>
#include <vector>

namespace korvan {

// Starting and joining a second thread costs some tens of microseconds, about
// what a core needs for this many of the stages' inner-loop operations (a
// multiply-add, a field converted); less work than that runs on the calling
// thread alone. The one rule for every stage, so that they all agree on what
// is worth a thread.
inline constexpr double kOperationsWorthAThread = 2e5;

inline bool WorthASecondThread(double operations) { return operations >= kOperationsWorthAThread; }

// Runs work(chunk) for chunk = 0 .. chunks - 1, spread over the processor's
// cores. Every chunk must write only its own results, so that the outcome is
// the same bits whether one thread or several do the work. The first
// exception thrown by any chunk is rethrown here once all threads have ended;
// a thread the system cannot start (no memory, a limit on processes) leaves
// its share to the calling thread, since a thread left running when the
// exception passes would end the program.
template <class Work>
void ForEachChunk(int chunks, Work&& work) {
  const int threads =
      std::min(chunks, static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
  if (threads <= 1) {
    for (int chunk = 0; chunk < chunks; ++chunk) work(chunk);
    return;
  }
  std::vector<std::exception_ptr> failures(static_cast<std::size_t>(threads));
  auto runShare = [&](int share) {
    try {
      for (int chunk = share; chunk < chunks; chunk += threads) work(chunk);
    } catch (...) {
      failures[static_cast<std::size_t>(share)] = std::current_exception();
    }
  };
  std::vector<std::thread> helpers;
  std::vector<int> ownShares{0};
  try {
    helpers.reserve(static_cast<std::size_t>(threads - 1));
    ownShares.reserve(static_cast<std::size_t>(threads));
  } catch (...) {
    for (int chunk = 0; chunk < chunks; ++chunk) work(chunk);
    return;
  }
  for (int share = 1; share < threads; ++share) {
    try {
      helpers.emplace_back(runShare, share);
    } catch (...) {
      ownShares.push_back(share);
    }
  }
  for (const int share : ownShares) runShare(share);
  for (auto& helper : helpers) helper.join();
  for (auto& failure : failures)
    if (failure) std::rethrow_exception(failure);
}

// The same, on the calling thread alone unless `operations` (how much the
// whole work costs, in the units of kOperationsWorthAThread) is worth a
// second thread.
template <class Work>
void ForEachChunk(int chunks, double operations, Work&& work) {
  if (!WorthASecondThread(operations)) {
    for (int chunk = 0; chunk < chunks; ++chunk) work(chunk);
    return;
  }
  ForEachChunk(chunks, work);
}

}  // namespace korvan
