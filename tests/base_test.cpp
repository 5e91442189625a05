#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/nearest_name.h"
#include "base/parallel.h"
#include "base/stop_signals.h"

namespace korvan {
namespace {

using namespace std::chrono_literals;

// A signal asks the run to stop at once; only a run that does not end in
// time is cut short, and one that ends within the grace is not.
TEST(StopSignals, AskFirstAndCutShortOnlyAfterTheGrace) {
  for (const bool endsInTime : {true, false}) {
    SCOPED_TRACE(endsInTime ? "the run ends in time" : "the run overruns the grace");
    std::atomic<int> asked{0}, cut{0};
    {
      StopSignals signals([&](int number) { asked = number; }, [&](int number) { cut = number; }, 300ms);
      // To the process, as a batch system sends it: the watcher's thread,
      // the one that does not block it, receives it.
      ::kill(::getpid(), SIGTERM);
      const auto start = std::chrono::steady_clock::now();
      while (asked.load() == 0 && std::chrono::steady_clock::now() - start < 5s) std::this_thread::sleep_for(1ms);
      EXPECT_EQ(asked.load(), SIGTERM);
      EXPECT_EQ(signals.received(), SIGTERM);
      if (endsInTime) {
        signals.Ended();
        std::this_thread::sleep_for(500ms);
      } else {
        std::this_thread::sleep_for(700ms);
        signals.Ended();
      }
    }
    EXPECT_EQ(cut.load(), endsInTime ? 0 : SIGTERM);
  }
}

// Every chunk runs once and on whatever thread, the first failure is
// rethrown after all have ended, and the rule for a second thread is one
// threshold.
TEST(ForEachChunk, EveryChunkOnceAndTheFirstFailureAfterAll) {
  std::mutex mutex;
  std::multiset<int> seen;
  ForEachChunk(7, [&](int chunk) {
    const std::lock_guard lock(mutex);
    seen.insert(chunk);
  });
  EXPECT_EQ(seen, (std::multiset<int>{0, 1, 2, 3, 4, 5, 6}));
  std::atomic<int> ran{0};
  EXPECT_THROW(ForEachChunk(4,
                            [&](int chunk) {
                              ++ran;
                              if (chunk == 1) throw std::runtime_error("chunk 1");
                            }),
               std::runtime_error);
  EXPECT_GE(ran.load(), 2);
  EXPECT_FALSE(WorthASecondThread(kOperationsWorthAThread - 1));
  EXPECT_TRUE(WorthASecondThread(kOperationsWorthAThread));
}

// Slips of a few letters find their name, in any letter case; names far off
// find none.
TEST(NearestName, SlipsFindTheirNameAndFarNamesNone) {
  const std::vector<std::string_view> names = {"--site-col", "--site-column", "Family", "h5", "dj"};
  EXPECT_EQ(NearestName("--site-cols", names), "--site-col");
  EXPECT_EQ(NearestName("famly", names), "Family");
  EXPECT_EQ(NearestName("FAMILY", names), "Family");
  EXPECT_EQ(NearestName("jd", names), "dj");  // two letters swapped
  EXPECT_EQ(NearestName("--colour", names), "");
  EXPECT_EQ(NearestName("height", names), "");
}

}  // namespace
}  // namespace korvan
