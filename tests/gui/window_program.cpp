// The window program as it runs, signals and all, with a hand that fills
// the boxes from the batch program's options, ticks "exact" or "tables and
// page" when asked, and presses "Start". Every message box is written to
// stderr ("message: ...") and dismissed.
//
//   window_program OUTFOLDER REPORT [exact] [results] -- OPTIONS...

#include <QCheckBox>
#include <QTimer>

#include <cstdio>
#include <string>
#include <vector>

#include "gui/message_catcher.h"
#include "ui/window/program.h"

int main(int argc, char* argv[]) {
  if (argc < 4) return 2;
  const std::filesystem::path out = argv[1];
  const QString report = QString::fromLocal8Bit(argv[2]);
  bool exact = false, results = false;
  std::vector<std::string> options;
  int n = 3;
  for (; n < argc && std::string(argv[n]) != "--"; ++n) {
    exact |= std::string(argv[n]) == "exact";
    results |= std::string(argv[n]) == "results";
  }
  for (++n; n < argc; ++n) options.emplace_back(argv[n]);
  int qtArgc = 1;
  return korvan::RunWindowProgram(qtArgc, argv, [&](korvan::MainWindow& w) {
    korvan::test::Fill(w, options, out, report);
    w.findChild<QCheckBox*>(QStringLiteral("exactArithmeticBox"))->setChecked(exact);
    w.findChild<QCheckBox*>(QStringLiteral("resultsBox"))->setChecked(results);
    auto* poll = new QTimer(&w);
    QObject::connect(poll, &QTimer::timeout, [] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !box->isVisible()) return;
      std::fprintf(stderr, "message: %s\n", qPrintable(korvan::test::Seen(*box)));
      box->accept();
    });
    poll->start(20);
    korvan::test::Start(w);
    std::fputs("started\n", stderr);
  });
}
