// Memory that runs out anywhere in a run, on the run's own thread or on one
// of the threads it starts, ends the run as any failure ends it: an
// exception the front end can report, every earlier file as it was, no
// temporary file, and never std::terminate. This test's program replaces
// the allocator, so that one allocation chosen by the test fails.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "base/korvan_error.h"
#include "base/parallel.h"
#include "run/run.h"
#include "support/test_support.h"

namespace {

// Allocations left before the one that fails; negative: none fails.
std::atomic<long> allocationsBeforeFailure{-1};
// Count only the allocations of threads other than this one.
std::atomic<bool> helpersOnly{false};
std::thread::id testThread = std::this_thread::get_id();

void FailAfter(long allocations, bool onHelpersOnly) {
  helpersOnly = onHelpersOnly;
  allocationsBeforeFailure = allocations;
}

}  // namespace

void* operator new(std::size_t size) {
  if (allocationsBeforeFailure.load(std::memory_order_relaxed) >= 0 &&
      (!helpersOnly.load() || std::this_thread::get_id() != testThread) && allocationsBeforeFailure.fetch_sub(1) == 0)
    throw std::bad_alloc();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
// GCC cannot see that the operator new above is the one these pair with.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
// std::stable_sort's buffer comes from the nothrow form and goes back through
// the delete above: both must be this file's, or the sanitizer sees new
// paired with free. Its failure the sort survives by sorting in place.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
#pragma GCC diagnostic pop

namespace korvan {
namespace {

// Starting the threads allocates on the calling thread; the work allocates
// on every thread. Whichever allocation fails, the call ends with the work
// done once per chunk or with std::bad_alloc, never with threads left
// running.
TEST(ForEachChunk, AnAllocationFailingAnywhereReachesTheCaller) {
  if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one core: no thread is started";
  for (const bool onHelpers : {false, true})
    for (long failing = 0; failing < 24; ++failing) {
      SCOPED_TRACE(std::to_string(failing) + (onHelpers ? " on a helper" : " on any thread"));
      std::vector<std::atomic<int>> done(16);
      bool failed = false;
      FailAfter(failing, onHelpers);
      try {
        ForEachChunk(16, [&](int chunk) {
          std::vector<double> scratch(1000, chunk);
          done[static_cast<std::size_t>(chunk)] += scratch[0] == chunk;
        });
      } catch (const std::bad_alloc&) {
        failed = true;
      }
      FailAfter(-1, false);
      if (!failed) {
        for (const auto& count : done) EXPECT_EQ(count, 1);
      }
      if (onHelpers && failing == 0) {
        EXPECT_TRUE(failed) << "the first allocation on a helper failed unseen";
      }
    }
}

// The maize trial, and one of many blocks whose set-up inverts on two
// threads (20 sites x 10 blocks x 100 families, a tree a plot).
RunParameters Trial(const test::TempDir& dir, bool manyBlocks) {
  RunParameters params;
  params.reportPath = dir / "trial.out";
  params.ageSel = 10, params.colSite = 1, params.wSite = 4, params.colBlock = 5, params.wBlock = 4;
  params.colFamily = 9, params.wFamily = 6, params.colAge = 15, params.wAge = 4, params.colTrait = 19;
  params.wTrait = 10;
  if (!manyBlocks) {
    params.dataPath = test::SourcePath("examples/maize2010_6traits.dat");
    params.nSite = 10, params.nBlock = 4, params.nFamily = 93, params.nRecord = 1765, params.nTrait = 6;
    return params;
  }
  params.dataPath = dir / "trial.dat";
  params.nSite = 20, params.nBlock = 10, params.nFamily = 100, params.nRecord = 20000, params.nTrait = 2;
  std::string text;
  char line[64];
  for (int site = 1; site <= 20; ++site)
    for (int block = 1; block <= 10; ++block)
      for (int family = 1; family <= 100; ++family)
        text += (std::snprintf(line, sizeof line, "%4d%4d%6d%4d%10.2f%10.2f\n", site, block, family, 10,
                               10.0 + site + 0.1 * block + 0.01 * ((family * 37 + block * 11) % 97), 5.0 + 0.02 * family),
                 line);
  test::WriteFile(params.dataPath, text);
  return params;
}

// A whole run with the n-th of its allocations failing, for n spread over
// the run: on any thread for maize, on the helper threads for the trial of
// many blocks.
TEST(RunCalculation, AnAllocationFailingAnywhereLeavesTheEarlierReportAndNothingElse) {
  for (const bool manyBlocks : {false, true}) {
    SCOPED_TRACE(manyBlocks ? "many blocks, on helpers" : "maize, on any thread");
    test::TempDir dir;
    const RunParameters params = Trial(dir, manyBlocks);
    NullSink sink;
    FailAfter(1L << 40, manyBlocks);
    RunCalculation(params, sink);
    const long allocations = (1L << 40) - allocationsBeforeFailure;
    FailAfter(-1, false);
    if (manyBlocks && std::thread::hardware_concurrency() > 1) {
      EXPECT_GT(allocations, 0) << "no helper thread ran";
    }
    const std::string report = test::ReadFile(params.reportPath);
    const auto files = std::distance(std::filesystem::directory_iterator(dir.path()), {});
    for (long failing = 0; failing < allocations; failing += allocations / 40 + 1) {
      SCOPED_TRACE("allocation " + std::to_string(failing) + " of " + std::to_string(allocations));
      test::WriteFile(params.reportPath, "earlier report\r\n");
      // A thread that cannot be started leaves its work to the run's own
      // thread, and the run succeeds.
      bool failed = false;
      FailAfter(failing, manyBlocks);
      try {
        RunCalculation(params, sink);
      } catch (const std::bad_alloc&) {
        failed = true;
      }
      FailAfter(-1, false);
      EXPECT_EQ(test::ReadFile(params.reportPath), failed ? "earlier report\r\n" : report);
      EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), files) << "a file is left";
    }
  }
}

}  // namespace
}  // namespace korvan
