// Bad input met through the window: each failed run must show one error box
// titled "korvan" whose message names what is wrong and where, write no
// report, keep the earlier report and the data as they were, leave no
// temporary file, and leave the window ready: a good run after them all
// works as if nothing had happened.

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "input/rundata.h"
#include "gui/message_catcher.h"
#include "support/test_support.h"
#include "ui/window/main_window.h"
#include "ui/window/pickers.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;

using test::Message;
using test::MessageCatcher;

// Every file under `folder` with its contents: a failed run changes none.
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    files[entry.path().string()] = entry.is_regular_file() ? test::ReadFile(entry.path()) : "(folder)";
  return files;
}

// examples/small_trial.dat with every line passed through `edit`, which
// sees the line and returns what to write (nothing drops it).
std::string EditedExample(const std::function<std::string(const std::string&)>& edit) {
  std::string text;
  for (const std::string& line : test::ReadLines(test::SourcePath("examples/small_trial.dat"))) text += edit(line);
  return text;
}

// 3 sites, 2 blocks each, 2 trees a plot; sites 30 and 10 share families
// 101-103, site 20 has 104-106 alone, in the example's columns.
std::string UnlinkedSites() {
  std::string text;
  char line[64];
  int n = 0;
  for (const auto& [site, families] : {std::pair{30, 101}, {10, 101}, {20, 104}})
    for (int block = 1; block <= 2; ++block)
      for (int family = families; family < families + 3; ++family)
        for (int tree = 0; tree < 2; ++tree, ++n) {
          std::snprintf(line, sizeof line, "%4d%3d%4d%3d%8.2f%8.2f\n", site, block, family, 10, 7.0 + n % 5 * 0.3,
                        12.0 + n % 7 * 0.2);
          text += line;
        }
  return text;
}

class ErrorsGuiTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    window_ = std::make_unique<MainWindow>();
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }
  void cleanupTestCase() { window_.reset(); }

  void BadRunsShowTheirMessageAndTheWindowStaysUsable() {
    test::TempDir dir;
    const fs::path data = dir.path() / "data", out = dir.path() / "out";
    fs::create_directories(data);
    fs::create_directories(out);
    test::WriteFile(data / "small.dat", test::ReadFile(test::SourcePath("examples/small_trial.dat")));
    test::WriteFile(data / "empty.dat", "");
    test::WriteFile(data / "comments.dat", ": site blk fam age\n: none measured yet\n");
    test::WriteFile(data / "binary.dat", std::string("\x7F" "ELF\x02\x01\x01\0\0\0\n  30  1 103 10", 25));
    test::WriteFile(data / "mac.dat", EditedExample([](const std::string& line) { return line + "\r"; }));
    test::WriteFile(data / "one_site.dat", EditedExample([](const std::string& line) {
                      return line.starts_with("  10") || line.starts_with("  20") ? "" : line + "\n";
                    }));
    test::WriteFile(data / "unlinked.dat", UnlinkedSites());
    test::WriteFile(data / "overflow.dat", EditedExample([](const std::string& line) {
                      return line.starts_with(":") ? line + "\n" : line.substr(0, 22) + "  3.0e37\n";
                    }));
    const std::string earlier = "an earlier report\r\n";
    test::WriteFile(out / "trial.out", earlier);

    struct Case {
      const char* what;
      std::function<void()> spoil;
      QString message;  // in the error box
    };
    const QString dataFolder = QString::fromStdString(data.string());
    const Case cases[] = {
        {"a data file deleted after it was chosen",
         [&] {
           test::WriteFile(data / "gone.dat", "x\n");
           Files()->SetFolder(dataFolder);
           QVERIFY(Files()->SelectName(QStringLiteral("gone.dat")));
           fs::remove(data / "gone.dat");
         },
         "gone.dat does not exist"},
        {"an empty data file", [&] { Choose("empty.dat"); }, "the file is empty; choose the data file"},
        {"only comment lines", [&] { Choose("comments.dat"); }, "all its 2 lines are comments"},
        {"no record of the age", [&] { Box("Text5")->setText("12"); },
         "no record of age 12 in " + Path(data / "small.dat")},
        {"a binary file", [&] { Choose("binary.dat"); }, "the line holds a zero (NUL) byte"},
        {"CR line ends", [&] { Choose("mac.dat"); }, "a carriage return (CR) stands inside the line"},
        {"more sites than No. of Sites", [&] { Box("Text8")->setText("2"); },
         "a 3rd site (code 20) is more than No. of Sites = 2"},
        {"every box empty",
         [&] {
           for (QLineEdit* box : window_->findChildren<QLineEdit*>())
             if (box->objectName() != "Text7") box->clear();
         },
         "No. of Traits: 0; a run analyses at least one trait"},
        {"a count in words", [&] { Box("Text2")->setText("five"); },
         "a 1st family (code 103) is more than No. of Families = 0"},
        {"a negative width", [&] { Box("Text16")->setText("-3"); },
         "No. of Columns for a datum for age: -3 is negative"},
        {"more traits than this build analyses", [&] { Box("Text6")->setText(QString::number(kMaxTrait + 1)); },
         QStringLiteral("No. of Traits: %1 is more than the %2 traits").arg(kMaxTrait + 1).arg(kMaxTrait)},
        {"one site", [&] { Choose("one_site.dat"); }, "there is only one site (site 30)"},
        {"families that do not link the sites",
         [&] {
           Choose("unlinked.dat");
           Box("Text2")->setText("6");
         },
         "the families do not link all sites: site 20 shares no family with the other sites"},
        {"trait sums beyond single precision", [&] { Choose("overflow.dat"); }, "overflowed single precision"},
        {"the output is the data file",
         [&] {
           window_->findChild<FolderList*>(QStringLiteral("Dir2"))->SetFolder(dataFolder);
           Box("Text7")->setText("small.dat");
         },
         "Output file: the output file is the data file; choose another name"},
        {"an output folder removed after it was chosen",
         [&] {
           fs::create_directories(dir.path() / "gone");
           window_->findChild<FolderList*>(QStringLiteral("Dir2"))
               ->SetFolder(QString::fromStdString((dir.path() / "gone").string()));
           fs::remove(dir.path() / "gone");
         },
         "gone does not exist; choose an existing folder"},
    };

    MessageCatcher messages;
    for (const Case& c : cases) {
      Fill(data, out);
      c.spoil();
      const auto before = Snapshot(dir.path());
      Start();
      QVERIFY2(WaitForRun(), c.what);
      const std::vector<Message> seen = messages.Take();
      QVERIFY2(seen.size() == 1, c.what);
      QCOMPARE(seen[0].title, QStringLiteral("korvan"));
      QCOMPARE(seen[0].icon, QMessageBox::Critical);
      QVERIFY2(seen[0].text.contains(c.message),
               qPrintable(QStringLiteral("%1: \"%2\" does not say \"%3\"").arg(c.what, seen[0].text, c.message)));
      QVERIFY2(Snapshot(dir.path()) == before, c.what);
      QVERIFY(StartButton()->isEnabled());
    }
    QCOMPARE(test::ReadFile(out / "trial.out"), earlier);

    Fill(data, out);
    Start();
    QVERIFY(WaitForRun());
    const std::vector<Message> seen = messages.Take();
    QCOMPARE(seen.size(), std::size_t{1});
    QCOMPARE(seen[0].text, QStringLiteral("処理が終わりました。"));
    QVERIFY(test::ReadFile(out / "trial.out").starts_with(Path(out / "trial.out").toStdString() + "\r\n"));
  }

 private:
  static QString Path(const fs::path& path) { return QString::fromStdString(path.string()); }
  QLineEdit* Box(const char* name) { return window_->findChild<QLineEdit*>(QLatin1String(name)); }
  FileList* Files() { return window_->findChild<FileList*>(QStringLiteral("File1")); }
  QPushButton* StartButton() { return window_->findChild<QPushButton*>(QStringLiteral("Command1")); }
  void Start() { QTest::mouseClick(StartButton(), Qt::LeftButton); }

  void Choose(const char* name) {
    window_->findChild<FolderList*>(QStringLiteral("Dir1"))->SetFolder(Path(dataFolder_));
    QVERIFY(Files()->SelectName(QLatin1String(name)));
  }

  // The example's parameters, its data file and the output folder.
  void Fill(const fs::path& data, const fs::path& out) {
    dataFolder_ = data;
    const std::map<const char*, const char*> boxes = {
        {"Text8", "3"},   {"Text1", "3"},   {"Text2", "5"},  {"Text3", "40"},  {"Text5", "10"},  {"Text6", "2"},
        {"Text4", "1"},   {"Text13", "4"},  {"Text9", "5"},  {"Text14", "3"},  {"Text10", "8"},  {"Text15", "4"},
        {"Text11", "12"}, {"Text16", "3"},  {"Text12", "15"}, {"Text17", "8"}, {"Text7", "trial.out"},
    };
    for (const auto& [name, value] : boxes) Box(name)->setText(QLatin1String(value));
    Choose("small.dat");
    window_->findChild<FolderList*>(QStringLiteral("Dir2"))->SetFolder(Path(out));
  }

  bool WaitForRun() {
    QSignalSpy finished(window_.get(), &MainWindow::runFinished);
    return finished.count() > 0 || finished.wait(120'000);
  }

  std::unique_ptr<MainWindow> window_;
  fs::path dataFolder_;
};

}  // namespace
}  // namespace korvan

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  korvan::SetUpApplication(app);
  korvan::ErrorsGuiTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "errors_gui_test.moc"
