// Bad input met through the window: each failed run must show one error box
// titled "korvan" whose message names what is wrong and where (by the
// captions of the window, not the batch program's options), change no file,
// leave the lines it wrote below those of the run before, and leave the
// window ready: the next slot's good run, in the same window, works as if
// nothing had happened.
// One run fails at each stage the window reaches: the pickers, the reader,
// the counts, the sums and the output; what each bad box is told is the
// parameter check's own, tested beside it.

#include <QApplication>
#include <functional>

#include "gui/message_catcher.h"
#include "run/run.h"
#include "ui/window/progress_window.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;
using namespace test;

std::vector<std::string> SmallTrial(const fs::path& data) {
  return {"--data", data.string(), "--sites", "3", "--blocks", "3", "--families", "5", "--records", "40",
          "--traits", "2", "--age", "10", "--site-col", "1,4", "--block-col", "5,3", "--family-col", "8,4",
          "--age-col", "12,3", "--trait-col", "15,8"};
}

class ErrorsGuiTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { window_ = test::ShownWindow(); QVERIFY(QTest::qWaitForWindowExposed(window_.get())); }
  void cleanupTestCase() { window_.reset(); }

  void BadRunsShowTheirMessageAndTheWindowStaysUsable() {
    TempDir dir;
    const fs::path data = dir.path() / "data", out = dir.path() / "out";
    for (const fs::path& folder : {data, out}) fs::create_directories(folder);
    WriteFile(data / "small.dat", ReadFile(SourcePath("examples/small_trial.dat")));
    WriteFile(data / "binary.dat", std::string("\x7F" "ELF\x02\x01\x01\0\0\0\n  30  1 103 10", 25));
    std::string overflow;  // every dbh near the top of single precision, so that the sums overflow
    for (const std::string& line : ReadLines(SourcePath("examples/small_trial.dat")))
      overflow += line.starts_with(":") ? line + "\n" : line.substr(0, 22) + "  3.0e37\n";
    WriteFile(data / "overflow.dat", overflow);
    WriteFile(out / "trial.out", "an earlier report\r\n");

    MainWindow& w = *window_;
    auto set = [&w](const char* box, const QString& value) {
      return [&w, box, value] { Find(w, box)->setText(value); };
    };
    struct Case {
      const char* file;  // in the data folder
      std::function<void()> spoil;
      QString message;  // in the error box
    };
    const Case cases[] = {
        {"small.dat",  // a data file deleted after it was chosen
         [&] {
           WriteFile(data / "gone.dat", "x\n");
           Find<FileList>(w, "File1")->SetFolder(Q(data));
           QVERIFY(Find<FileList>(w, "File1")->SelectName(QStringLiteral("gone.dat")));
           fs::remove(data / "gone.dat");
         },
         "gone.dat does not exist"},
        {"small.dat", [&] { Find<FileList>(w, "File1")->clearSelection(); },
         "data file: " + Q(data) + " is a folder; choose a data file in it"},
        {"binary.dat", [] {}, "the line holds a zero (NUL) byte"},
        {"small.dat", set("Text5", "12"), "no record of age 12 in " + Q(data / "small.dat")},
        {"small.dat", set("Text8", "2"), "the data hold 3 sites, more than No. of Sites = 2"},
        {"overflow.dat", [] {}, "overflowed single precision"},
        {"small.dat", set("Text7", ""), "Output file: " + Q(out) + " is a folder; type a name for the report file"},
        {"small.dat", set("Text7", "../data/small.dat"), "Output file: the output file is the data file"},
        {"small.dat",  // an output folder removed after it was chosen
         [&] {
           fs::create_directories(dir.path() / "gone");
           Find<FolderList>(w, "Dir2")->SetFolder(Q(dir.path() / "gone"));
           fs::remove(dir.path() / "gone");
         },
         "gone does not exist; choose an existing folder"},
    };

    MessageCatcher messages;
    for (const Case& c : cases) {
      Fill(w, SmallTrial(data / c.file), out, "trial.out");
      c.spoil();
      const auto before = Snapshot(dir.path());
      RecordingSink replay(w.Procedure().Lines());
      QVERIFY_THROWS_EXCEPTION(std::exception, RunCalculation(w.ReadParameters(), replay));
      Start(w);
      QVERIFY(WaitForRun(w));
      const QStringList seen = messages.Take();
      QVERIFY2(seen.size() == 1 && seen[0].startsWith("korvan (critical): ") && seen[0].contains(c.message),
               qPrintable(seen.join(" | ") + " does not say " + c.message));
      QVERIFY2(Snapshot(dir.path()) == before, qPrintable(c.message));
      QVERIFY(Find<QPushButton>(w, "Command1")->isEnabled());
      // Lines a failed run wrote stay, below those of the run before.
      QCOMPARE(WithoutTimes(w.Procedure().Lines()), WithoutTimes(replay.screen_));
    }
  }

  // A run that finished but read a field as 0 says so before it says it
  // finished: the report stands, but the user should look at the layout.
  // In the window of the failed runs, it shows them leaving it ready.
  void WarningsOfAFinishedRunComeFirst() {
    TempDir dir;
    std::string text = ReadFile(SourcePath("examples/small_trial.dat"));
    WriteFile(dir / "gaps.dat", text.replace(text.find("    12.3"), 8, "    n.a."));  // the first record's dbh
    Fill(*window_, SmallTrial(dir / "gaps.dat"), dir.path(), "gaps.out");
    MessageCatcher messages;
    Start(*window_);
    QVERIFY(WaitForRun(*window_));
    const QStringList seen = messages.Take();
    QCOMPARE(seen.size(), 2);
    QVERIFY2(seen[0].startsWith("korvan (warning): 1 trait field was not numeric and read as 0"), qPrintable(seen[0]));
    QCOMPARE(seen[1], kDone);
    QVERIFY(ReadFile(dir / "gaps.out").starts_with(dir / "gaps.out" + "\r\n"));
  }

 private:
  std::unique_ptr<MainWindow> window_;
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
