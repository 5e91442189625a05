// Runs started from the window as a user starts them: boxes filled, data
// file and output folder picked, "Start" clicked. The report must equal the
// batch program's byte for byte, the progress window must show what the
// clearing rule leaves, and "End" must stop a run that is under way.

#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>

#include "gui/message_catcher.h"
#include "run/run.h"
#include "ui/window/progress_window.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;
using namespace test;

const std::vector<std::string> kMaize = {
    "--data", SourcePath("examples/maize2010_6traits.dat"), "--sites", "10", "--blocks", "4", "--families", "93",
    "--records", "1765", "--traits", "6", "--age", "10", "--site-col", "1,4", "--block-col", "5,4",
    "--family-col", "9,6", "--age-col", "15,4", "--trait-col", "19,10"};

class RunTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { window_ = test::ShownWindow(); QVERIFY(QTest::qWaitForWindowExposed(window_.get())); }
  void cleanup() { window_.reset(); }

  void ReportEqualsTheBatchProgramsAndASecondRunReplacesIt() {
    MainWindow& w = *window_;
    TempDir out;
    const fs::path report = out.path() / "maize.out";
    std::vector<std::string> args = kMaize;
    args.insert(args.end(), {"--output", report.string(), "--procedure", out / "batch.procedure", "--quiet"});
    const CliResult batch = RunCli(args);
    QVERIFY2(batch.exitCode == 0, batch.err.c_str());
    const std::string expected = ReadFile(report);
    // Single precision misses maize's covariances visibly: the window warns
    // as the batch program does, before it says it is done.
    const std::string prefix = "korvan-cli: warning: ";
    QVERIFY2(batch.err.starts_with(prefix), batch.err.c_str());
    const QString warning = QStringLiteral("korvan (warning): ") +
                            QString::fromStdString(batch.err.substr(prefix.size(), batch.err.find('\n') - prefix.size()));
    QStringList batchLines;
    for (const std::string& line : ReadLines(out / "batch.procedure")) batchLines << QString::fromStdString(line);

    Fill(w, kMaize, out.path(), "maize.out");
    MessageCatcher messages;
    for (int run = 1; run <= 2; ++run) {
      // The same run in the same process shows what the window must hold at
      // the end: the clearing rule applied to everything the run wrote, the
      // second run continuing below the first until its first clearing.
      RecordingSink replay(w.Procedure().Lines());
      RunCalculation(w.ReadParameters(), replay);
      WriteFile(report, "an earlier report\r\n");
      QElapsedTimer clock;
      clock.start();
      Start(w);
      QVERIFY(WaitForRun(w));
      qInfo("run %d from the window: %lld ms", run, static_cast<long long>(clock.elapsed()));
      QVERIFY2(ReadFile(report) == expected, "the window's report differs from the batch program's");

      QCOMPARE(messages.Take(), (QStringList{warning, kDone}));
      QVERIFY(Find<QPushButton>(w, "Command1")->isEnabled());

      const QStringList shown = w.Procedure().Lines();
      QCOMPARE(WithoutTimes(shown), WithoutTimes(replay.screen_));
      // What the window still shows is the end of what the batch program
      // wrote, from the window's last clearing on.
      const QStringList tail = batchLines.mid(batchLines.size() - std::min(batchLines.size(), shown.size()));
      if (replay.clears_ > 0) QCOMPARE(WithoutTimes(shown), WithoutTimes(tail));
    }
    QCOMPARE(Snapshot(out.path()).size(), std::size_t{2});  // no temporary file left
  }

  // A sheet: the start boxes take the columns, the widths say they are not
  // used and come back for a fixed-column file; empty counts leave the
  // counts to the data. Trees without values are asked about once, and the
  // answer runs as the batch program's --missing does.
  void SheetsAndTreesWithoutValuesAsTheBatchProgramReadsThem() {
    MainWindow& w = *window_;
    TempDir dir;
    std::string sheet = ReadFile(SourcePath("examples/maize2010_6traits.csv"));
    for (std::size_t n = 0, at = 0; n < 3; ++n) {  // the first trait of three records
      at = sheet.find(",10,", at + 2000) + 4;
      sheet.replace(at, sheet.find(',', at) - at, "NA");
    }
    WriteFile(dir / "maize.csv", ReadFile(SourcePath("examples/maize2010_6traits.csv")));
    WriteFile(dir / "gaps.csv", sheet);
    WriteFile(dir / "fixed.dat", ReadFile(SourcePath("examples/maize2010_6traits.dat")));
    std::string european = ReadFile(SourcePath("examples/maize2010_6traits.csv"));
    std::replace(european.begin(), european.end(), ',', ';');
    std::replace(european.begin(), european.end(), '.', ',');
    WriteFile(dir / "european.csv", european);
    // Hybrids numbered as accession numbers of 8 and 12 digits, which
    // single precision cannot tell apart.
    std::string codes = ReadFile(SourcePath("examples/maize2010_6traits.csv"));
    std::map<std::string, std::string> number;
    for (std::size_t at = codes.find('\n') + 1; at < codes.size(); at = codes.find('\n', at) + 1) {
      const std::size_t from = codes.find(',', codes.find(',', at) + 1) + 1, to = codes.find(',', from);
      const std::string hybrid = codes.substr(from, to - from);
      if (!number.contains(hybrid))
        number[hybrid] = number.size() < 2 ? std::to_string(20170016 + number.size())
                                           : std::to_string(201700170000 + number.size());
      codes.replace(from, to - from, number[hybrid]);
    }
    WriteFile(dir / "codes.csv", codes);
    Fill(w, kMaize, dir.path(), "sheet.out");
    const QString fixedWidth = Find(w, "Text13")->text();
    for (const char* box : {"Text8", "Text1", "Text2", "Text3"}) Find(w, box)->clear();
    Find<FolderList>(w, "Dir1")->SetFolder(Q(dir.path()));
    const std::pair<const char*, const char*> columns[] = {
        {"Text4", "site"}, {"Text9", "2"}, {"Text10", "hybrid"}, {"Text11", ""}, {"Text12", "days_to_flower"}};
    QVERIFY(Find<FileList>(w, "File1")->SelectName(QStringLiteral("maize.csv")));
    QVERIFY(Find(w, "Text13")->isReadOnly() && Find(w, "Text13")->text().isEmpty());
    QCOMPARE(Find(w, "Text17")->placeholderText(), QStringLiteral("not used"));
    for (const auto& [box, column] : columns) Find(w, box)->setText(QString::fromLatin1(column));

    struct Case {
      const char* data;
      QString answer;     // to the question about missing values
      const char* mode;   // the batch program's --missing; nullptr: no report
      QStringList seen;
      const char* batchData = nullptr;  // what the batch program reads instead, if not `data`
    };
    const QString question = QStringLiteral(
        "korvan (question): 3 of the records lack trait values (the first is line 33 of the data file).");
    const Case cases[] = {
        // Maize's Site*Family covariances draw the precision guard.
        {"maize.csv", {}, "stop", {"precision", kDone}},
        {"european.csv", {}, "stop", {"precision", kDone}, "maize.csv"},  // semicolons: decimal commas
        {"european.csv", {}, "stop", {"precision", kDone}},  // which the batch program reads so too
        {"codes.csv", {}, "stop", {"precision", kDone}},
        {"gaps.csv", QStringLiteral("Leave them out"), "drop", {question, "warning", kDone}},
        {"gaps.csv", QStringLiteral("Read them as 0"), "zero", {question, "warning", kDone}},
        {"gaps.csv", QStringLiteral("Stop"), nullptr, {question}},
    };
    for (const Case& c : cases) {
      std::filesystem::remove(dir / "sheet.out");
      QVERIFY(Find<FileList>(w, "File1")->SelectName(QString::fromLatin1(c.data)));
      MessageCatcher messages;
      messages.Answer(c.answer);
      Start(w);
      QVERIFY(WaitForRun(w));
      QStringList seen = messages.Take();
      for (QString& message : seen) {
        if (message.startsWith("korvan (question): ")) message = message.section('\n', 0, 0);
        if (message.startsWith("korvan (warning): single precision")) message = "precision";
        else if (message.startsWith("korvan (warning): ")) message = "warning";
      }
      QVERIFY2(seen == c.seen, qPrintable(seen.join(" | ")));
      if (c.mode == nullptr) {
        QVERIFY(!std::filesystem::exists(dir / "sheet.out"));
        continue;
      }
      const std::string fromWindow = ReadFile(dir / "sheet.out");
      const CliResult batch = RunCli({"--data", dir / (c.batchData ? c.batchData : c.data), "--output",
                                      dir / "sheet.out", "--site-column", "site", "--block-column", "2",
                                      "--family-column", "hybrid", "--trait-columns", "5-10", "--missing", c.mode,
                                      "--quiet"});
      QVERIFY2(batch.exitCode == 0, batch.err.c_str());
      QVERIFY2(fromWindow == ReadFile(dir / "sheet.out"), c.data);
      if (std::string(c.data) == "codes.csv")
        for (const char* line : {"\r\n  20170016  ", "\r\n  20170017  ", "\r\n  201700170002  "})
          QVERIFY2(fromWindow.find(line) != std::string::npos, line + 2);
    }
    // A fixed-column file gets its widths back.
    QVERIFY(Find<FileList>(w, "File1")->SelectName(QStringLiteral("fixed.dat")));
    QCOMPARE(Find(w, "Text13")->text(), fixedWidth);
    QVERIFY(!Find(w, "Text13")->isReadOnly());
  }

  // "End" during a run, or a signal that asks the program to end, stops it
  // at its next record or stage: no report, no message, no temporary file,
  // and then the program ends (after a signal with status 128 + its number).
  void EndDuringARunStopsItAndEnds() {
    for (const int signal : {0, 15}) {
      if (signal != 0) init();
      MainWindow& w = *window_;
      TempDir out;
      WriteFile(out / "large.out", "an earlier report\r\n");
      Fill(w, SlowTrial(out.path() / "large.dat"), out.path(), "large.out");
      const auto before = Snapshot(out.path());
      MessageCatcher messages;
      QSignalSpy ended(&w, &MainWindow::programEnded);
      Start(w);
      QVERIFY(w.Running() && !Find<QPushButton>(w, "Command1")->isEnabled());
      // Responsive while it runs: the progress window opens and follows.
      QTest::mouseClick(Find<QPushButton>(w, "Command3"), Qt::LeftButton);
      QTRY_VERIFY(!w.Procedure().Lines().isEmpty());
      QVERIFY2(w.Running(), "the run ended before End could stop it: make the trial larger");
      QElapsedTimer clock;
      clock.start();
      if (signal == 0) QTest::mouseClick(Find<QPushButton>(w, "Command2"), Qt::LeftButton);
      else w.StopBySignal(signal);
      QVERIFY(ended.wait(60'000));
      qInfo("stopped the run in %lld ms", static_cast<long long>(clock.elapsed()));
      QVERIFY(!w.isVisible() && !w.Procedure().isVisible());
      QCOMPARE(messages.Take(), QStringList());
      QVERIFY(Snapshot(out.path()) == before);
      QCOMPARE(w.exitStatus(), signal == 0 ? 0 : 128 + signal);
    }
  }

#ifdef KORVAN_WINDOW_PATH
  // The program itself, sent the signals a desktop session or a terminal
  // sends, ends with one line and status 128 + the signal.
  void SignalsEndTheProgram() {
    for (const auto& [name, number] : {std::pair{"TERM", 15}, {"HUP", 1}, {"INT", 2}}) {
      const CliResult result = RunProgram(
          "bash", {"-c", std::string("set -m; exec 3>&2 2>/dev/null; QT_QPA_PLATFORM=offscreen \"$0\" 2>&3 & run=$!; "
                                     "sleep 1; kill -") + name + " $run; wait $run",
                   KORVAN_WINDOW_PATH});
      QCOMPARE(result.exitCode, 128 + number);
      // Qt may have its own notices before.
      QVERIFY2(result.err.ends_with("\nkorvan: stopped by SIG" + std::string(name) + "; nothing written\n") ||
                   result.err == "korvan: stopped by SIG" + std::string(name) + "; nothing written\n",
               result.err.c_str());
    }
  }
#endif

#ifdef KORVAN_WINDOW_PROGRAM_PATH
  // The window program during a run, as a desktop session or a terminal
  // ends it: SIGTERM, SIGINT or SIGHUP, answered at the run's next safe
  // point or, with no grace, cut short where it stands; with the exact
  // report and the results files, whose scratch and temporary files must
  // go too. The earlier report stays, nothing else appears, and the program
  // says so in one line.
  void SignalsDuringARunLeaveNothing() {
    TempDir data, out;
    const std::vector<std::string> options = SlowTrial(data.path() / "large.dat");
    WriteFile(out / "large.out", "an earlier report\r\n");
    const auto before = Snapshot(out.path());
    for (const auto& [name, number] : {std::pair{"TERM", 15}, {"INT", 2}, {"HUP", 1}})
      for (const char* grace : {"3000", "0"}) {
        const std::string what = std::string("SIG") + name + ", grace " + grace;
        const CliResult result = StopWindowProgram(out.path(), options, {"exact", "results"}, grace, name);
        QVERIFY2(result.exitCode == 128 + number, (what + ": " + result.err).c_str());
        QVERIFY2(result.err.find("\nkorvan: stopped by SIG" + std::string(name) + "; nothing written\n") !=
                     std::string::npos,
                 (what + ": " + result.err).c_str());
        QVERIFY2(result.err.find("message:") == std::string::npos, (what + ": " + result.err).c_str());
        QVERIFY2(Snapshot(out.path()) == before, (what + ": a stopped run changed, added or removed files").c_str());
      }
  }

  // Under a file-size limit the results page cannot be written: the run
  // fails with the message of the file that failed, and nothing is left
  // behind; the program is not killed by SIGXFSZ, and a signal still ends it.
  void AFileSizeLimitFailsTheRunWithoutAWord() {
    TempDir out;
    WriteFile(out / "maize.out", "an earlier report\r\n");
    const auto before = Snapshot(out.path());
    const CliResult result = StopWindowProgram(out.path(), kMaize, {"results"}, "3000", "TERM", "ulimit -f 64; ",
                                               "message: korvan (critical): cannot write the results");
    QVERIFY2(result.exitCode == 143, result.err.c_str());
    QVERIFY2(result.err.find("message: korvan (critical): cannot write the results") != std::string::npos,
             result.err.c_str());
    QVERIFY2(result.err.find("File too large; free space on the disk or choose another folder") != std::string::npos,
             result.err.c_str());
    QVERIFY2(Snapshot(out.path()) == before, "a failed run changed, added or removed files");
  }
#endif

 private:
  // A trial that keeps a run busy for a good while on any machine without a
  // large file: 50 sites of 40 blocks make 2051 fixed equations, whose
  // inverse costs of the order of 2051^3 operations, and as many blocks to
  // absorb the 20 families into. One tree per plot, two traits: 40,000 lines.
  static std::vector<std::string> SlowTrial(const fs::path& file) {
    std::mt19937 random(20240611);
    std::uniform_real_distribution<double> noise(-5, 5);
    std::string text;
    char line[64];
    for (int site = 1; site <= 50; ++site)
      for (int block = 1; block <= 40; ++block)
        for (int family = 1; family <= 20; ++family) {
          std::snprintf(line, sizeof line, "%4d%4d%6d%4d%10.2f%10.2f\n", site, block, family, 15,
                        500 + 3 * family + 20 * site + noise(random), 80 + family % 7 + noise(random));
          text += line;
        }
    WriteFile(file, text);
    std::vector<std::string> args = kMaize;
    const std::vector<std::string> counts = {file.string(), "50", "40", "20", "40000", "2", "15"};
    for (std::size_t n = 0; n < counts.size(); ++n) args[2 * n + 1] = counts[n];
    return args;
  }

#ifdef KORVAN_WINDOW_PROGRAM_PATH
  // Starts the window program on `options` with the report in `out`, waits
  // until its stderr holds `waitFor` (by default: the run has started, and
  // a little more), sends SIG`signal` and returns what it said and its
  // status. `prefix` goes before it in the shell (a limit).
  static CliResult StopWindowProgram(const fs::path& out, const std::vector<std::string>& options,
                                     const std::vector<std::string>& boxes, const std::string& grace,
                                     const std::string& signal, const std::string& prefix = "",
                                     const std::string& waitFor = "") {
    std::vector<std::string> args = {"-c",
                                     prefix + "set -m; KORVAN_STOP_GRACE_MS=" + grace +
                                         " QT_QPA_PLATFORM=offscreen \"$0\" \"$@\" 2>\"$KORVAN_ERR\" & run=$!; "
                                         "for n in $(seq 600); do grep -q \"$KORVAN_WAIT\" \"$KORVAN_ERR\" && break; "
                                         "sleep 0.05; done; " + (waitFor.empty() ? "sleep 0.5; " : "") +
                                         "kill -" + signal + " $run; wait $run; status=$?; cat \"$KORVAN_ERR\" >&2; "
                                         "exit $status",
                                     KORVAN_WINDOW_PROGRAM_PATH, out.string(), fs::path(options[1]).stem().string() + ".out"};
    args.insert(args.end(), boxes.begin(), boxes.end());
    args.push_back("--");
    args.insert(args.end(), options.begin(), options.end());
    TempDir scratch;
    ::setenv("KORVAN_ERR", (scratch / "err.txt").c_str(), 1);
    ::setenv("KORVAN_WAIT", waitFor.empty() ? "started" : waitFor.c_str(), 1);
    return RunProgram("bash", args);
  }
#endif

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
