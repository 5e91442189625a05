#include <QApplication>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/stop_signals.h"
#include "ui/window/main_window.h"

int main(int argc, char* argv[]) {
  korvan::IgnoreFileSizeSignal();
  // Before QApplication, which starts threads of its own: they must not
  // receive the signals the watcher waits for.
  std::atomic<korvan::MainWindow*> shown{nullptr};
  korvan::StopSignals stopSignals(
      [&shown](int signal) {
        if (korvan::MainWindow* window = shown.load())
          QMetaObject::invokeMethod(window, [window, signal] { window->StopBySignal(signal); }, Qt::QueuedConnection);
      },
      [&shown](int signal) {
        korvan::MainWindow* window = shown.load();
        if (window != nullptr && !window->AbandonRun()) return;
        std::fputs(("korvan: stopped by " + korvan::SignalName(signal) + "; nothing written\n").c_str(), stderr);
        std::fflush(stderr);
        std::_Exit(128 + signal);
      },
      std::chrono::milliseconds(3000));
  QApplication app(argc, argv);
  korvan::SetUpApplication(app);
  // The program ends when "End" is pressed or the main window is closed,
  // even while the progress window is still open.
  app.setQuitOnLastWindowClosed(false);
  korvan::MainWindow window;
  QObject::connect(&window, &korvan::MainWindow::programEnded, &app, &QApplication::quit, Qt::QueuedConnection);
  shown.store(&window);
  window.show();
  const int status = app.exec();
  shown.store(nullptr);
  stopSignals.Ended();
  if (window.exitStatus() != 0) {
    std::fputs(("korvan: stopped by " + korvan::SignalName(window.exitStatus() - 128) + "; nothing written\n").c_str(),
               stderr);
    return window.exitStatus();
  }
  return status;
}
