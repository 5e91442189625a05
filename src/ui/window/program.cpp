#include "ui/window/program.h"

#include <QApplication>

#include <atomic>
#include <cstdio>

#include "base/memory_reserve.h"
#include "base/program_stop.h"
#include "ui/window/main_window.h"

namespace korvan {

int RunWindowProgram(int argc, char* argv[], const std::function<void(MainWindow&)>& shown) {
  const MemoryReserve reserve;
  // Before QApplication, which starts threads of its own: they must not
  // receive the signals the watcher waits for.
  std::atomic<MainWindow*> current{nullptr};
  ProgramStop stop(
      "korvan",
      [&current](int signal) {
        if (MainWindow* window = current.load())
          QMetaObject::invokeMethod(window, [window, signal] { window->StopBySignal(signal); }, Qt::QueuedConnection);
      },
      [&current] {
        MainWindow* window = current.load();
        return window == nullptr || window->AbandonRun();
      });
  QApplication app(argc, argv);
  SetUpApplication(app);
  // The program ends when "End" is pressed or the main window is closed,
  // even while the progress window is still open.
  app.setQuitOnLastWindowClosed(false);
  MainWindow window;
  QObject::connect(&window, &MainWindow::programEnded, &app, &QApplication::quit, Qt::QueuedConnection);
  current.store(&window);
  window.show();
  if (shown) QMetaObject::invokeMethod(&window, [&] { shown(window); }, Qt::QueuedConnection);
  const int status = app.exec();
  current.store(nullptr);
  stop.Ended();
  if (window.exitStatus() != 0) {
    std::fputs(stop.StoppedMessage(window.exitStatus() - 128).c_str(), stderr);
    return window.exitStatus();
  }
  return status;
}

}  // namespace korvan
