// What following a run in the window costs: the same trial analysed as the
// batch program does it (nobody reads the progress lines) and as the window
// does it (the run on a worker thread hands every line to the progress
// queue, the progress window draws what arrived on its timer), best of
// several runs each, alternating.
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

#include "input/rundata.h"
#include "base/progress.h"
#include "ui/progress_queue.h"
#include "ui/run.h"
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

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// As korvan-cli runs it without --procedure.
double BatchRun(const korvan::RunParameters& params) {
  const auto start = Clock::now();
  korvan::NullSink sink;
  korvan::RunCalculation(params, sink);
  return SecondsSince(start);
}

// As the main window runs it: a worker thread, the queue as the sink, the
// progress window following it until the run has ended and the rest is drawn.
double WindowRun(const korvan::RunParameters& params, korvan::ProgressQueue& queue,
                 korvan::ProgressWindow& window) {
  const auto start = Clock::now();
  window.Follow(true);
  std::thread worker([&] {
    korvan::RunCalculation(params, queue);
    QMetaObject::invokeMethod(qApp, [] { QApplication::quit(); }, Qt::QueuedConnection);
  });
  QApplication::exec();
  worker.join();
  window.Follow(false);
  return SecondsSince(start);
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
  window.show();
  double batch = 1e300, followed = 1e300;
  try {
    for (int n = 0; n < runs; ++n) {
      batch = std::min(batch, BatchRun(params));
      followed = std::min(followed, WindowRun(params, queue, window));
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "window_overhead: %s\n", error.what());
    return 1;
  }
  std::printf("batch %.3f s, window %.3f s, window / batch %.3f (best of %d each)\n", batch, followed,
              followed / batch, runs);
  std::remove(params.reportPath.c_str());
  return 0;
}
