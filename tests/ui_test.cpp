// The window's helpers that need no window: how folder and file name make a
// path, how progress lines cross from the run's thread to the window, and
// how every end of a run becomes something the window can show.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/korvan_error.h"
#include "ui/paths.h"
#include "base/progress.h"
#include "ui/progress_queue.h"
#include "ui/run_outcome.h"

namespace korvan {
namespace {

using ::testing::HasSubstr;

TEST(JoinFolderAndName, NeverDoublesTheSeparatorAndKeepsTheFolderStyle) {
  struct Case {
    const char* folder;
    const char* name;
    const char* path;
  };
  const Case cases[] = {
      {"/", "D.TXT", "/D.TXT"},                          // POSIX root
      {"/home/u", "D.TXT", "/home/u/D.TXT"},
      {"/home/u/", "D.TXT", "/home/u/D.TXT"},
      {"A:\\", "D.TXT", "A:\\D.TXT"},                    // root of a drive
      {"a:", "D.TXT", "a:\\D.TXT"},                      // drive letter alone
      {"C:\\WORK", "D.TXT", "C:\\WORK\\D.TXT"},
      {"\\\\server\\share", "d.txt", "\\\\server\\share\\d.txt"},
      {"/data/trial 1", " out put.txt ", "/data/trial 1/ out put.txt "},  // as typed, blanks kept
      {"/home/u", "", "/home/u"},                        // nothing chosen: the folder itself
      {"C:\\WORK", "", "C:\\WORK"},
      {"", "D.TXT", "D.TXT"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JoinFolderAndName(c.folder, c.name), c.path) << "folder \"" << c.folder << "\", name \"" << c.name << "\"";
  }
}

// The window's view of the queue: what a text view holds after applying
// every batch it took.
class ViewModel {
 public:
  void Apply(const PendingLines& batch) {
    if (batch.cleared) lines_.clear();
    std::size_t start = 0;
    while (start < batch.text.size()) {
      const std::size_t end = batch.text.find('\n', start);
      ASSERT_NE(end, std::string::npos) << "every pending line ends with a line feed";
      lines_.push_back(batch.text.substr(start, end - start));
      start = end + 1;
    }
  }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

std::vector<std::string> Numbered(int first, int last) {
  std::vector<std::string> lines;
  for (int n = first; n <= last; ++n) lines.push_back("record " + std::to_string(n));
  return lines;
}

// The lines of a run of `count` listing lines that the window still shows at
// its end: the first screen holds up to 20 of them, every later one up to 21.
std::vector<std::string> LastScreen(int count) {
  if (count <= 20) return Numbered(1, count);
  return Numbered(21 + 21 * ((count - 21) / 21), count);
}

TEST(ProgressQueue, WindowFollowingAWorkerShowsExactlyTheLastScreen) {
  ProgressQueue queue;
  ViewModel view;
  constexpr int kRecords = 200'000;  // a third of the listing of a large trial
  std::atomic<bool> done{false};
  std::thread worker([&queue, &done] {
    ProgressLog log(queue);
    for (int n = 1; n <= kRecords; ++n) log.CountedLine("record " + std::to_string(n));
    log.Line(" Start at 09:15:02 and Ended at 09:16:40");
    done = true;
  });
  PendingLines batch;
  while (!done) {
    if (queue.Take(batch)) view.Apply(batch);
    std::this_thread::yield();
  }
  worker.join();
  while (queue.Take(batch)) view.Apply(batch);

  std::vector<std::string> expected = LastScreen(kRecords);
  expected.push_back(" Start at 09:15:02 and Ended at 09:16:40");
  EXPECT_EQ(view.lines(), expected);

  // A second run counts from 0 again, so it continues below the first run's
  // lines until its own count passes 20.
  ProgressLog secondRun(queue);
  for (int n = 1; n <= 21; ++n) {
    secondRun.CountedLine("record " + std::to_string(n));
    if (n == 20) {
      while (queue.Take(batch)) view.Apply(batch);
      std::vector<std::string> both = expected;
      for (const std::string& line : Numbered(1, 20)) both.push_back(line);
      EXPECT_EQ(view.lines(), both);
    }
  }
  while (queue.Take(batch)) view.Apply(batch);
  EXPECT_EQ(view.lines(), Numbered(21, 21));
}

TEST(ProgressQueue, FallingFarBehindKeepsTheNewestWholeLines) {
  ProgressQueue queue(1000);
  ViewModel view;
  view.Apply({false, "from an earlier run\n"});
  for (int n = 1; n <= 5000; ++n) queue.WriteLine("record " + std::to_string(n));
  PendingLines batch;
  ASSERT_TRUE(queue.Take(batch));
  // Between 1000 and 2000 bytes stay pending ("record 4999\n" is 12 bytes),
  // and the view must drop what it showed: the lines between are lost.
  EXPECT_TRUE(batch.cleared);
  EXPECT_GE(batch.text.size(), 1000u);
  EXPECT_LE(batch.text.size(), 2000u);
  view.Apply(batch);
  ASSERT_FALSE(view.lines().empty());
  EXPECT_EQ(view.lines().back(), "record 5000");
  const std::string first = view.lines().front();
  ASSERT_EQ(first.rfind("record ", 0), 0u) << first;
  const int firstNumber = std::stoi(first.substr(7));
  EXPECT_EQ(view.lines(), Numbered(firstNumber, 5000));
  EXPECT_FALSE(queue.Take(batch)) << "nothing arrived since";
}

TEST(ProgressQueue, ListingScreensTheWindowWouldNotSeeAreNeverBuilt) {
  ProgressQueue queue;
  ViewModel view;
  PendingLines batch;
  ProgressLog log(queue);
  int built = 0;
  auto listing = [&](int first, int last) {
    for (int n = first; n <= last; ++n)
      log.CountedLineBy([&](std::string& line) {
        ++built;
        line = "record " + std::to_string(n);
      });
  };
  {
    // Nobody looks while 1000 lines go by, except once after line 500: the
    // first screen, the next one, the one after the look and the last one are
    // built. 1000 = 20 + 46 x 21 + 14: the last screen holds lines 987..1000.
    const ProgressLog::Listing records(log, 1000);
    listing(1, 500);
    ASSERT_TRUE(queue.Take(batch));
    view.Apply(batch);
    EXPECT_EQ(view.lines(), Numbered(21, 41)) << "the second screen, built before anyone looked";
    listing(501, 1000);
  }
  EXPECT_EQ(built, 20 + 21 + 21 + 14);
  while (queue.Take(batch)) view.Apply(batch);
  EXPECT_EQ(view.lines(), Numbered(987, 1000));

  // A listing of unknown length, as the reader's: its last screen may be
  // skipped, and a line outside the listings then starts the window afresh
  // instead of standing below an older screen.
  {
    const ProgressLog::Listing records(log, -1);
    listing(1, 100);
  }
  log.Line(" Start at 09:15:02 and Ended at 09:16:40");
  while (queue.Take(batch)) view.Apply(batch);
  EXPECT_EQ(view.lines(), std::vector<std::string>{" Start at 09:15:02 and Ended at 09:16:40"});

  // A sink that keeps every line, as the procedure file does, gets them all.
  struct KeepAll : ProgressSink {
    void WriteLine(std::string_view) override { ++lines; }
    void Clear() override {}
    int lines = 0;
  } keepAll;
  ProgressLog fileLog(keepAll);
  {
    const ProgressLog::Listing records(fileLog, 1000);
    for (int n = 1; n <= 1000; ++n) fileLog.CountedLine("record");
  }
  EXPECT_EQ(keepAll.lines, 1000);
}

// Nothing thrown on the worker thread may escape it: that would end the
// program instead of showing a message.
TEST(RunAndCatch, EveryEndOfARunBecomesAnOutcome) {
  const std::string userMessage = "line 12 of d.dat: a 4th site (code 40) is more than No. of Sites = 3";
  const RunOutcome failed = RunAndCatch([&]() -> RunSummary { throw KorvanError(userMessage); });
  EXPECT_EQ(failed.kind, RunOutcome::Kind::kFailed);
  EXPECT_EQ(failed.message, userMessage) << "the user's message is shown as it stands";
  EXPECT_EQ(RunAndCatch([]() -> RunSummary { throw RunCancelled(); }).kind, RunOutcome::Kind::kStopped);
  EXPECT_THAT(RunAndCatch([]() -> RunSummary { throw std::bad_alloc(); }).message,
              HasSubstr("not enough memory for this run. The tables are sized by the boxes"));
  EXPECT_THAT(RunAndCatch([]() -> RunSummary { throw 42; }).message, HasSubstr("unexpected error"));
}

}  // namespace
}  // namespace korvan
