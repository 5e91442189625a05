#include <QApplication>

#include "ui/window/main_window.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  korvan::SetUpApplication(app);
  // The program ends when "End" is pressed or the main window is closed,
  // even while the progress window is still open.
  app.setQuitOnLastWindowClosed(false);
  korvan::MainWindow window;
  QObject::connect(&window, &korvan::MainWindow::programEnded, &app, &QApplication::quit, Qt::QueuedConnection);
  window.show();
  return app.exec();
}
