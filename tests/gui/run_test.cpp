// Runs started from the window as a user starts them: boxes filled, data
// file and output folder picked, "Start" clicked. The report must equal the
// batch program's byte for byte, the messages must say what they should,
// and the program must stay usable after a failed run.

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "gui/message_catcher.h"
#include "support/test_support.h"
#include "ui/run.h"
#include "ui/window/main_window.h"
#include "ui/window/pickers.h"
#include "ui/window/progress_window.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;

// A trial as both front ends are told about it.
struct Trial {
  fs::path data;
  int sites, blocks, families, records, traits;
  int age;
  int site[2], block[2], family[2], ageField[2], trait[2];  // start, width
};

Trial SmallTrial() {
  return {test::SourcePath("examples/small_trial.dat"), 3, 3, 5, 40, 2, 10,
          {1, 4}, {5, 3}, {8, 4}, {12, 3}, {15, 8}};
}

Trial MaizeTrial() {
  return {test::SourcePath("examples/maize2010_6traits.dat"), 10, 4, 93, 1765, 6, 10,
          {1, 4}, {5, 4}, {9, 6}, {15, 4}, {19, 10}};
}

std::string Pair(const int (&field)[2]) { return std::to_string(field[0]) + "," + std::to_string(field[1]); }

test::CliResult RunBatch(const Trial& t, const std::string& report, const std::string& procedure) {
  return test::RunCli({"--data", t.data.string(), "--output", report, "--procedure", procedure, "--quiet",
                       "--sites", std::to_string(t.sites), "--blocks", std::to_string(t.blocks),
                       "--families", std::to_string(t.families), "--records", std::to_string(t.records),
                       "--traits", std::to_string(t.traits), "--age", std::to_string(t.age),
                       "--site-col", Pair(t.site), "--block-col", Pair(t.block), "--family-col", Pair(t.family),
                       "--age-col", Pair(t.ageField), "--trait-col", Pair(t.trait)});
}

using test::Message;
using test::MessageCatcher;

// The window's clearing rule replayed on everything a run writes.
class RecordingSink final : public ProgressSink {
 public:
  explicit RecordingSink(QStringList screen) : screen_(std::move(screen)) {}
  void WriteLine(std::string_view line) override { screen_ << QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())); }
  void Clear() override {
    screen_.clear();
    ++clears_;
  }
  const QStringList& screen() const { return screen_; }
  int clears() const { return clears_; }

 private:
  QStringList screen_;
  int clears_ = 0;
};

// Two runs never end in the same second by design.
QStringList WithoutTimes(QStringList lines) {
  static const QRegularExpression time(QStringLiteral("\\d\\d:\\d\\d:\\d\\d"));
  for (QString& line : lines) line.replace(time, QStringLiteral("hh:mm:ss"));
  return lines;
}

// What a folder holds: a temporary report left behind would show here.
std::vector<std::string> FileNames(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

QStringList ReadProcedure(const fs::path& path) {
  QStringList lines;
  for (const std::string& line : test::ReadLines(path)) lines << QString::fromStdString(line);
  return lines;
}

class RunTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    window_ = std::make_unique<MainWindow>();
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }
  void cleanup() { window_.reset(); }

  void ReportEqualsTheBatchProgramsAndASecondRunReplacesIt() {
    const Trial trial = MaizeTrial();
    test::TempDir out;
    const fs::path report = out.path() / "maize.out";
    const test::CliResult batch = RunBatch(trial, report.string(), out / "batch.procedure");
    QVERIFY2(batch.exitCode == 0, batch.err.c_str());
    const std::string expected = test::ReadFile(report);
    const QStringList batchLines = ReadProcedure(out.path() / "batch.procedure");

    Fill(trial, out.path(), "maize.out");
    MessageCatcher messages;
    for (int run = 1; run <= 2; ++run) {
      test::WriteFile(report, "an earlier report\r\n");
      // The same run in the same process shows what the window must hold at
      // the end: the clearing rule applied to everything the run wrote.
      RecordingSink replay(Procedure().Lines());
      RunCalculation(window_->ReadParameters(), replay);
      test::WriteFile(report, "an earlier report\r\n");

      QElapsedTimer clock;
      clock.start();
      Start();
      QVERIFY(WaitForRun());
      qInfo("run %d from the window: %lld ms", run, static_cast<long long>(clock.elapsed()));
      QVERIFY2(test::ReadFile(report) == expected, "the window's report differs from the batch program's");

      const std::vector<Message> seen = messages.Take();
      QCOMPARE(seen.size(), std::size_t{1});
      QCOMPARE(seen[0].title, QStringLiteral("korvan"));
      QCOMPARE(seen[0].text, QStringLiteral("処理が終わりました。"));
      QCOMPARE(seen[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
      QVERIFY(seen[0].icon != QMessageBox::Critical);
      QVERIFY(StartButton()->isEnabled());

      const QStringList shown = Procedure().Lines();
      QCOMPARE(WithoutTimes(shown), WithoutTimes(replay.screen()));
      QVERIFY2(shown.last().startsWith(QStringLiteral(" Start at ")), qPrintable(shown.last()));
      // What the window still shows is the end of what the batch program
      // wrote, from the window's last clearing on.
      const QStringList tail = batchLines.mid(batchLines.size() - std::min(batchLines.size(), shown.size()));
      if (replay.clears() > 0) QCOMPARE(WithoutTimes(shown), WithoutTimes(tail));
    }
    QCOMPARE(FileNames(out.path()), (std::vector<std::string>{"batch.procedure", "maize.out"}));
  }

  void FailedRunsLeaveTheProgramUsable() {
    const Trial trial = SmallTrial();
    test::TempDir out;
    const fs::path report = out.path() / "small.out";
    const test::CliResult batch = RunBatch(trial, report.string(), out / "batch.procedure");
    QVERIFY2(batch.exitCode == 0, batch.err.c_str());
    const std::string expected = test::ReadFile(report);
    const std::string earlier = "an earlier report\r\n";

    struct Failure {
      const char* what;
      std::function<void(MainWindow&)> spoil;
      const char* mention;  // the box that the message names
    };
    auto box = [](MainWindow& w, const char* name) { return w.findChild<QLineEdit*>(QLatin1String(name)); };
    const Failure failures[] = {
        {"no output name", [&](MainWindow& w) { box(w, "Text7")->clear(); }, "Output file"},
        {"no data file chosen", [&](MainWindow& w) { w.findChild<FileList*>(QStringLiteral("File1"))->clearSelection(); },
         "data file"},
        {"fewer families than the data hold", [&](MainWindow& w) { box(w, "Text2")->setText(QStringLiteral("4")); },
         "No. of Families"},
        {"a start position of 0", [&](MainWindow& w) { box(w, "Text10")->clear(); },
         "Start position of data for No. of Families"},
        {"two sites that share no family", [&](MainWindow&) { Fill(DisjointTrial(out.path() / "disjoint.dat"), out.path(), "small.out"); },
         "site 2 shares no family with the other sites"},
    };
    MessageCatcher messages;
    for (const Failure& failure : failures) {
      Fill(trial, out.path(), "small.out");
      failure.spoil(*window_);
      test::WriteFile(report, earlier);
      RecordingSink replay(Procedure().Lines());
      try {
        RunCalculation(window_->ReadParameters(), replay);
        QFAIL(failure.what);
      } catch (const std::exception&) {
      }
      Start();
      QVERIFY(WaitForRun());
      const std::vector<Message> seen = messages.Take();
      QVERIFY2(seen.size() == 1, failure.what);
      QCOMPARE(seen[0].title, QStringLiteral("korvan"));
      QCOMPARE(seen[0].icon, QMessageBox::Critical);
      QVERIFY2(seen[0].text.contains(QLatin1String(failure.mention)),
               qPrintable(QStringLiteral("%1: \"%2\" does not name \"%3\"").arg(failure.what, seen[0].text, failure.mention)));
      QVERIFY2(test::ReadFile(report) == earlier, failure.what);
      QVERIFY(StartButton()->isEnabled());
      // Lines a failed run wrote stay, below those of the run before.
      QCOMPARE(WithoutTimes(Procedure().Lines()), WithoutTimes(replay.screen()));
    }
    // The next good run works as if nothing had happened.
    Fill(trial, out.path(), "small.out");
    Start();
    QVERIFY(WaitForRun());
    const std::vector<Message> seen = messages.Take();
    QCOMPARE(seen.size(), std::size_t{1});
    QCOMPARE(seen[0].text, QStringLiteral("処理が終わりました。"));
    QVERIFY(test::ReadFile(report) == expected);
  }

  // A run that finished but read a field as 0 says so before it says it
  // finished: the report stands, but the user should look at the layout.
  void WarningsOfAFinishedRunComeFirst() {
    test::TempDir out;
    Trial trial = SmallTrial();
    std::string text = test::ReadFile(trial.data);
    const std::size_t blank = text.find("    12.3");  // dbh of the first record
    QVERIFY(blank != std::string::npos);
    text.replace(blank, 8, "    n.a.");
    trial.data = out.path() / "gaps.dat";
    test::WriteFile(trial.data, text);
    Fill(trial, out.path(), "gaps.out");
    MessageCatcher messages;
    Start();
    QVERIFY(WaitForRun());
    const std::vector<Message> seen = messages.Take();
    QCOMPARE(seen.size(), std::size_t{2});
    QCOMPARE(seen[0].title, QStringLiteral("korvan"));
    QCOMPARE(seen[0].icon, QMessageBox::Warning);
    QVERIFY2(seen[0].text.startsWith(QStringLiteral("1 trait field was empty or not numeric")), qPrintable(seen[0].text));
    QCOMPARE(seen[1].text, QStringLiteral("処理が終わりました。"));
    QVERIFY(fs::exists(out.path() / "gaps.out"));
  }

  // "End" during a run stops it at its next record or stage: no report, no
  // message, and then the program ends.
  void EndDuringARunStopsItAndEnds() {
    test::TempDir out;
    const Trial trial = SlowTrial(out.path() / "large.dat");
    const fs::path report = out.path() / "large.out";
    test::WriteFile(report, "an earlier report\r\n");
    Fill(trial, out.path(), "large.out");
    MessageCatcher messages;
    QSignalSpy ended(window_.get(), &MainWindow::programEnded);
    Start();
    QVERIFY(window_->Running());
    QVERIFY(!StartButton()->isEnabled());
    // Responsive while it runs: the progress window opens and follows.
    QTest::mouseClick(window_->findChild<QPushButton*>(QStringLiteral("Command3")), Qt::LeftButton);
    QTRY_VERIFY(!Procedure().Lines().isEmpty());
    QVERIFY2(window_->Running(), "the run ended before End could stop it: make the trial larger");
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(window_->findChild<QPushButton*>(QStringLiteral("Command2")), Qt::LeftButton);
    QVERIFY(ended.wait(60'000));
    qInfo("End stopped the run in %lld ms", static_cast<long long>(clock.elapsed()));
    QVERIFY(!window_->isVisible());
    QVERIFY(!Procedure().isVisible());
    QVERIFY(messages.Take().empty());
    QVERIFY(test::ReadFile(report) == "an earlier report\r\n");
    QCOMPARE(FileNames(out.path()), (std::vector<std::string>{"large.dat", "large.out"}));
  }

 private:
  // A trial that keeps a run busy for a good while on any machine without a
  // large file: 50 sites of 40 blocks make 2051 fixed equations, whose
  // inverse costs of the order of 2051^3 operations, and as many blocks to
  // absorb the 20 families into. One tree per plot, two traits: 40,000 lines.
  static Trial SlowTrial(const fs::path& file) {
    constexpr int kSites = 50, kBlocks = 40, kFamilies = 20;
    std::mt19937 random(20240611);
    std::uniform_real_distribution<double> noise(-5, 5);
    std::string text;
    char line[64];
    for (int site = 1; site <= kSites; ++site)
      for (int block = 1; block <= kBlocks; ++block)
        for (int family = 1; family <= kFamilies; ++family) {
          std::snprintf(line, sizeof line, "%4d%4d%6d%4d%10.2f%10.2f\n", site, block, family, 15,
                        500 + 3 * family + 20 * site + noise(random), 80 + family % 7 + noise(random));
          text += line;
        }
    test::WriteFile(file, text);
    return {file, kSites, kBlocks, kFamilies, kSites * kBlocks * kFamilies, 2, 15,
            {1, 4}, {5, 4}, {9, 6}, {15, 4}, {19, 10}};
  }

  // Families 1-3 at site 1, 4-6 at site 2: nothing links the two sites, so
  // the equations of the sites are singular once the families are absorbed.
  static Trial DisjointTrial(const fs::path& file) {
    std::string text;
    char line[64];
    for (int site = 1; site <= 2; ++site) {
      for (int block = 1; block <= 2; ++block) {
        for (int family = 3 * site - 2; family <= 3 * site; ++family) {
          for (int tree = 0; tree < 2; ++tree) {
            std::snprintf(line, sizeof line, "%4d%4d%6d%4d%10.2f\n", site, block, family, 15,
                          100.0 + 3 * family + block - tree);
            text += line;
          }
        }
      }
    }
    test::WriteFile(file, text);
    return {file, 2, 2, 6, 24, 1, 15, {1, 4}, {5, 4}, {9, 6}, {15, 4}, {19, 10}};
  }

  void Fill(const Trial& t, const fs::path& outputFolder, const QString& outputName) {
    const std::map<const char*, int> boxes = {
        {"Text8", t.sites},        {"Text1", t.blocks},       {"Text2", t.families},    {"Text3", t.records},
        {"Text5", t.age},          {"Text6", t.traits},       {"Text4", t.site[0]},     {"Text13", t.site[1]},
        {"Text9", t.block[0]},     {"Text14", t.block[1]},    {"Text10", t.family[0]},  {"Text15", t.family[1]},
        {"Text11", t.ageField[0]}, {"Text16", t.ageField[1]}, {"Text12", t.trait[0]},   {"Text17", t.trait[1]},
    };
    for (const auto& [name, value] : boxes) {
      auto* box = window_->findChild<QLineEdit*>(QLatin1String(name));
      box->clear();
      QTest::keyClicks(box, QString::number(value));
    }
    window_->findChild<FolderList*>(QStringLiteral("Dir1"))->SetFolder(QString::fromStdString(t.data.parent_path().string()));
    auto* files = window_->findChild<FileList*>(QStringLiteral("File1"));
    QVERIFY(files->SelectName(QString::fromStdString(t.data.filename().string())));
    window_->findChild<FolderList*>(QStringLiteral("Dir2"))->SetFolder(QString::fromStdString(outputFolder.string()));
    auto* name = window_->findChild<QLineEdit*>(QStringLiteral("Text7"));
    name->clear();
    QTest::keyClicks(name, outputName);
  }

  QPushButton* StartButton() { return window_->findChild<QPushButton*>(QStringLiteral("Command1")); }
  void Start() { QTest::mouseClick(StartButton(), Qt::LeftButton); }
  ProgressWindow& Procedure() { return window_->Procedure(); }

  bool WaitForRun() {
    QSignalSpy finished(window_.get(), &MainWindow::runFinished);
    return finished.count() > 0 || finished.wait(300'000);
  }

  std::unique_ptr<MainWindow> window_;
};

}  // namespace
}  // namespace korvan

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  korvan::SetUpApplication(app);
  korvan::RunTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "run_test.moc"
