// The window's helpers that need no window: how folder and file name make a
// path, how progress lines cross from the run's thread to the window, and
// how every end of a run becomes something the window can show.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
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
  const std::array<const char*, 3> cases[] = {  // folder, name, path
      {"/", "D.TXT", "/D.TXT"}, {"/home/u", "D.TXT", "/home/u/D.TXT"}, {"/home/u/", "D.TXT", "/home/u/D.TXT"},
      {"A:\\", "D.TXT", "A:\\D.TXT"}, {"a:", "D.TXT", "a:\\D.TXT"}, {"C:\\WORK", "D.TXT", "C:\\WORK\\D.TXT"},
      {"\\\\server\\share", "d.txt", "\\\\server\\share\\d.txt"},
      {"/data/trial 1", " out put.txt ", "/data/trial 1/ out put.txt "},  // as typed, blanks kept
      {"/home/u", "", "/home/u"}, {"C:\\WORK", "", "C:\\WORK"},  // nothing chosen: the folder itself
      {"", "D.TXT", "D.TXT"},
  };
  for (const auto& [folder, name, path] : cases)
    EXPECT_EQ(JoinFolderAndName(folder, name), path) << "folder \"" << folder << "\", name \"" << name << "\"";
}

// The window's view of the queue: what a text view holds after applying
// every batch it took.
struct View {
  std::vector<std::string> lines;
  void Apply(const PendingLines& batch) {
    if (batch.cleared) lines.clear();
    for (std::size_t start = 0, end; start < batch.text.size(); start = end + 1) {
      end = batch.text.find('\n', start);
      ASSERT_NE(end, std::string::npos) << "every pending line ends with a line feed";
      lines.push_back(batch.text.substr(start, end - start));
    }
  }
  void TakeAll(ProgressQueue& queue) { for (PendingLines batch; queue.Take(batch);) Apply(batch); }
};

std::vector<std::string> Numbered(int first, int last) {
  std::vector<std::string> lines;
  for (int n = first; n <= last; ++n) lines.push_back("record " + std::to_string(n));
  return lines;
}

const std::string kEnd = " Start at 09:15:02 and Ended at 09:16:40";

// The window's results beside the report never take the report's own name.
TEST(ResultPathsBeside, ReplaceTheExtensionOfTheReportAlone) {
  const struct {
    const char* report;
    const char* json;
    const char* tables;
    const char* html;
  } cases[] = {
      {"/out/maize.out", "/out/maize.json", "/out/maize-tables", "/out/maize.html"},
      {"/out.v2/report", "/out.v2/report.json", "/out.v2/report-tables", "/out.v2/report.html"},
      {"A:\\R.OUT", "A:\\R.json", "A:\\R-tables", "A:\\R.html"},
      {"/out/.out", "/out/.out.json", "/out/.out-tables", "/out/.out.html"},
      {"/out/x.json", "/out/x.json.json", "/out/x-tables", "/out/x.html"},
  };
  for (const auto& c : cases) {
    const ResultPaths paths = ResultPathsBeside(c.report);
    EXPECT_EQ(paths.json, c.json) << c.report;
    EXPECT_EQ(paths.tables, c.tables) << c.report;
    EXPECT_EQ(paths.html, c.html) << c.report;
  }
}

TEST(ProgressQueue, WindowFollowingAWorkerShowsExactlyTheLastScreen) {
  ProgressQueue queue;
  View view;
  // A third of the listing of a large trial: the first screen holds up to
  // 20 lines, every later one up to 21, so the last one starts at 199,983.
  std::atomic<bool> done{false};
  std::thread worker([&queue, &done] {
    ProgressLog log(queue);
    for (int n = 1; n <= 200'000; ++n) log.CountedLine("record " + std::to_string(n));
    log.Line(kEnd);
    done = true;
  });
  for (; !done; std::this_thread::yield()) view.TakeAll(queue);
  worker.join();
  view.TakeAll(queue);
  std::vector<std::string> expected = Numbered(21 + 21 * ((200'000 - 21) / 21), 200'000);
  expected.push_back(kEnd);
  EXPECT_EQ(view.lines, expected);

  // A second run counts from 0 again, so it continues below the first run's
  // lines until its own count passes 20.
  ProgressLog secondRun(queue);
  for (int n = 1; n <= 20; ++n) secondRun.CountedLine("record " + std::to_string(n));
  view.TakeAll(queue);
  for (const std::string& line : Numbered(1, 20)) expected.push_back(line);
  EXPECT_EQ(view.lines, expected);
  secondRun.CountedLine("record 21");
  view.TakeAll(queue);
  EXPECT_EQ(view.lines, Numbered(21, 21));
}

TEST(ProgressQueue, FallingFarBehindKeepsTheNewestWholeLines) {
  ProgressQueue queue(1000);
  View view{{"from an earlier run"}};
  for (int n = 1; n <= 5000; ++n) queue.WriteLine("record " + std::to_string(n));
  PendingLines batch;
  ASSERT_TRUE(queue.Take(batch));
  // Between 1000 and 2000 bytes stay pending ("record 4999\n" is 12 bytes),
  // and the view must drop what it showed: the lines between are lost.
  EXPECT_TRUE(batch.cleared);
  EXPECT_GE(batch.text.size(), 1000u);
  EXPECT_LE(batch.text.size(), 2000u);
  view.Apply(batch);
  EXPECT_EQ(view.lines, Numbered(5001 - static_cast<int>(view.lines.size()), 5000));
  EXPECT_FALSE(queue.Take(batch)) << "nothing arrived since";
}

TEST(ProgressQueue, ListingScreensTheWindowWouldNotSeeAreNeverBuilt) {
  ProgressQueue queue;
  View view;
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
    view.TakeAll(queue);
    EXPECT_EQ(view.lines, Numbered(21, 41)) << "the second screen, built before anyone looked";
    listing(501, 1000);
  }
  EXPECT_EQ(built, 20 + 21 + 21 + 14);
  view.TakeAll(queue);
  EXPECT_EQ(view.lines, Numbered(987, 1000));

  // A listing of unknown length, as the reader's: its last screen may be
  // skipped, and a line outside the listings then starts the window afresh
  // instead of standing below an older screen.
  {
    const ProgressLog::Listing records(log, -1);
    listing(1, 100);
  }
  log.Line(kEnd);
  view.TakeAll(queue);
  EXPECT_EQ(view.lines, std::vector<std::string>{kEnd});
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
