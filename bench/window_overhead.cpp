// What following a run in the window costs: the same trial analysed as the
// batch program does it (nobody reads the progress lines) and as the window
// does it (the run on a worker thread hands every line to the progress
// queue, the progress window draws what arrived on its timer), with the
// progress window closed and open, best of several runs each, alternating.
//
//   window_overhead TRIAL.dat [RUNS]
//
// TRIAL.dat is a trial of bench/generate_trial written with --sidecar: its
// .counts file gives the capacities, the field layout is the generator's.
// Run it with QT_QPA_PLATFORM=offscreen where there is no display.

#include <QApplication>
#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include <sys/resource.h>

#include "rundata/rundata.h"
#include "base/progress.h"
#include "ui/progress_queue.h"
#include "run/run.h"
#include "ui/window/progress_window.h"

namespace {

using Clock = std::chrono::steady_clock;

korvan::RunParameters TrialParameters(const std::string& data) {
  std::map<std::string, double> counts;
  std::ifstream file(data + ".counts");
  std::string key;
  double value = 0;
  while (file >> key >> value) counts[key] = value;
  korvan::RunParameters params;
  params.dataPath = data;
  params.reportPath = data + ".window-overhead.out";
  params.nSite = counts["sites"];
  params.nBlock = counts["blocks"];
  params.nFamily = counts["families"];
  params.nRecord = counts["records"];
  params.nTrait = counts["traits"];
  params.ageSel = 10;
  params.colSite = 1, params.wSite = 4;
  params.colBlock = 5, params.wBlock = 4;
  params.colFamily = 9, params.wFamily = 6;
  params.colAge = 15, params.wAge = 4;
  params.colTrait = 19, params.wTrait = 10;
  return params;
}

constexpr double kMostOverhead = 1.2;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// As korvan-cli runs it without --procedure.
double BatchRun(const korvan::RunParameters& params) {
  const auto start = Clock::now();
  korvan::NullSink sink;
  korvan::RunCalculation(params, sink);
  return SecondsSince(start);
}

// The CPU time of the calling thread: what the window's drawing takes from
// a run that would use every core.
double ThreadCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

struct Timing {
  double seconds = 1e300;     // wall clock, best of the runs
  double guiSeconds = 1e300;  // CPU of the window's thread in that run
};

// As the main window runs it: a worker thread, the queue as the sink, the
// progress window (open or closed) following it until the run has ended and
// the rest is drawn.
void WindowRun(const korvan::RunParameters& params, korvan::ProgressQueue& queue, korvan::ProgressWindow& window,
               Timing& best) {
  const auto start = Clock::now();
  const double cpuStart = ThreadCpuSeconds();
  window.Follow(true);
  std::thread worker([&] {
    korvan::RunCalculation(params, queue);
    QMetaObject::invokeMethod(qApp, [] { QApplication::quit(); }, Qt::QueuedConnection);
  });
  QApplication::exec();
  worker.join();
  window.Follow(false);
  const double seconds = SecondsSince(start);
  if (seconds < best.seconds) best = {seconds, ThreadCpuSeconds() - cpuStart};
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: window_overhead TRIAL.dat [RUNS]\n");
    return 2;
  }
  const korvan::RunParameters params = TrialParameters(argv[1]);
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  korvan::ProgressQueue queue;
  korvan::ProgressWindow window(queue);
  double batch = 1e300;
  Timing closed, open;
  try {
    for (int n = 0; n < runs; ++n) {
      batch = std::min(batch, BatchRun(params));
      window.hide();
      WindowRun(params, queue, window, closed);
      window.show();
      WindowRun(params, queue, window, open);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "window_overhead: %s\n", error.what());
    return 1;
  }
  std::printf("batch %.3f s, window closed %.3f s (its thread %.3f s), open %.3f s (%.3f s); "
              "open / closed %.3f, open / batch %.3f (best of %d each)\n",
              batch, closed.seconds, closed.guiSeconds, open.seconds, open.guiSeconds, open.seconds / closed.seconds,
              open.seconds / batch, runs);
  std::remove(params.reportPath.c_str());
  // The target: following a run costs at most 1.2 times not following it.
  if (open.seconds > kMostOverhead * closed.seconds) {
    std::printf("over the target: open / closed above %.1f\n", kMostOverhead);
    return 1;
  }
  return 0;
}
