// Takes the screenshots of the desktop window shown in the README: the main
// window filled in for a run, and the progress window after that run.
//
//   xvfb-run -a build/korvan-screenshots docs DATAFILE OUTPUTFOLDER Text8=2 Text1=3 ... Text7=NAME
//
// Each NAME=VALUE fills the box of that name; the data file is chosen in the
// data-file picker and the report goes to OUTPUTFOLDER.

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <cstdio>

#include "ui/window/main_window.h"
#include "ui/window/pickers.h"
#include "ui/window/progress_window.h"

namespace {

// The window as the screen shows it; offscreen platforms have no screen
// contents, so the widget then paints itself.
bool SaveShot(QWidget& window, const QString& path) {
  QPixmap shot;
  if (QScreen* screen = window.screen()) shot = screen->grabWindow(window.winId());
  if (shot.isNull() || shot.size() != window.size()) shot = window.grab();
  if (!shot.save(path)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  korvan::SetUpApplication(app);
  const QStringList args = app.arguments();
  if (args.size() < 4) {
    std::fprintf(stderr, "usage: korvan-screenshots SHOTFOLDER DATAFILE OUTPUTFOLDER [BOX=VALUE]...\n");
    return 2;
  }
  const QString shotFolder = args[1];
  const QFileInfo data(args[2]);
  korvan::MainWindow window;
  for (const QString& setting : args.mid(4)) {
    const qsizetype equals = setting.indexOf(u'=');
    auto* box = window.findChild<QLineEdit*>(setting.left(equals));
    if (equals < 0 || box == nullptr) {
      std::fprintf(stderr, "no box %s\n", qPrintable(setting));
      return 2;
    }
    box->setText(setting.mid(equals + 1));
  }
  window.findChild<korvan::FolderList*>(QStringLiteral("Dir1"))->SetFolder(data.absolutePath());
  if (!window.findChild<korvan::FileList*>(QStringLiteral("File1"))->SelectName(data.fileName())) {
    std::fprintf(stderr, "no data file %s\n", qPrintable(data.absoluteFilePath()));
    return 2;
  }
  window.findChild<korvan::FolderList*>(QStringLiteral("Dir2"))->SetFolder(args[3]);
  window.show();

  int status = 0;
  // The completion message is dismissed as soon as it shows.
  QTimer dismiss;
  QObject::connect(&dismiss, &QTimer::timeout, [] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->accept();
  });
  dismiss.start(50);
  QObject::connect(&window, &korvan::MainWindow::runFinished, [&] {
    window.findChild<QPushButton*>(QStringLiteral("Command3"))->click();
    QTimer::singleShot(500, [&] {
      const bool saved = SaveShot(window, QDir(shotFolder).filePath(QStringLiteral("main-window.png"))) &&
                         SaveShot(window.Procedure(), QDir(shotFolder).filePath(QStringLiteral("progress-window.png")));
      status = saved ? 0 : 1;
      app.quit();
    });
  });
  QTimer::singleShot(500, [&] { window.findChild<QPushButton*>(QStringLiteral("Command1"))->click(); });
  app.exec();
  return status;
}
