// The main window as the user meets it: every control where the layout puts
// it, with its caption and colour; the pickers following one another; and
// the boxes and pickers read into the run's parameters.

#include <QComboBox>
#include <vector>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QToolTip>

#include "gui/message_catcher.h"
#include "ui/window/progress_window.h"
#include "ui/window/tooltips.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;
using test::Find;

// The layout as drawn, in twips (15 to a pixel): left, top, width, height.
// A caption of nullptr marks a box or list, which starts empty; an invalid
// colour the style's own.
struct Control { const char* name; const char* caption; int left, top, width, height; QColor background; };

const QColor kCount(192, 255, 255), kStart(255, 255, 128), kWidth(255, 255, 0);
const QColor kData(128, 255, 255), kOutput(128, 255, 128);

const Control kLayout[] = {
    {"Command1", "Start", 120, 120, 615, 375, {}},      {"Command2", "End", 120, 600, 615, 375, {}},
    {"Command3", "Watch the calculation procedure", 840, 120, 975, 855, {}},
    {"Label5", "Start position of data         ↓", 2160, 0, 615, 1095, kStart},
    {"Label11", "No. of Columns for a datum  ↓", 2880, 0, 735, 1095, kWidth},
    {"Label10", "No. of Sites", 120, 1200, 1215, 255, kCount},
    {"Label1", "No. of Blocks", 120, 1560, 1215, 255, kCount},
    {"Label2", "No. of Families", 120, 1920, 1215, 255, kCount},
    {"Label3", "No. of Records", 120, 2280, 1215, 255, kCount},
    {"Label6", "age", 120, 2640, 1215, 255, kCount},
    {"Label7", "No. of Traits", 120, 3000, 1215, 255, kCount},
    {"Text8", nullptr, 1440, 1080, 615, 405, kCount}, {"Text1", nullptr, 1440, 1440, 615, 405, kCount},
    {"Text2", nullptr, 1440, 1800, 615, 405, kCount}, {"Text3", nullptr, 1440, 2160, 615, 405, kCount},
    {"Text5", nullptr, 1440, 2520, 615, 405, kCount}, {"Text6", nullptr, 1440, 2880, 615, 405, kCount},
    {"Text4", nullptr, 2160, 1080, 615, 405, kStart}, {"Text9", nullptr, 2160, 1440, 615, 405, kStart},
    {"Text10", nullptr, 2160, 1800, 615, 405, kStart}, {"Text11", nullptr, 2160, 2520, 615, 405, kStart},
    {"Text12", nullptr, 2160, 2880, 615, 405, kStart},
    {"Text13", nullptr, 2880, 1080, 735, 405, kWidth}, {"Text14", nullptr, 2880, 1440, 735, 405, kWidth},
    {"Text15", nullptr, 2880, 1800, 735, 405, kWidth}, {"Text16", nullptr, 2880, 2520, 735, 405, kWidth},
    {"Text17", nullptr, 2880, 2880, 735, 405, kWidth},
    {"Label4", "data file", 3720, 0, 2655, 255, kData},
    {"Drive1", nullptr, 3720, 240, 2655, 300, kData},   {"Dir1", nullptr, 3720, 600, 2655, 1500, kData},
    {"File1", nullptr, 3720, 2160, 2655, 1110, kData},
    {"Label8", "Output", 6480, 0, 2655, 255, kOutput},
    {"Drive2", nullptr, 6480, 240, 2655, 300, kOutput}, {"Dir2", nullptr, 6480, 600, 2655, 1500, kOutput},
    {"Label9", "Output file", 6480, 2160, 2655, 255, kOutput},
    {"Text7", nullptr, 6480, 2400, 2655, 405, kOutput},
    {"Label12", "Korvan", 7320, 2880, 1815, 375, QColor(0, 128, 128)},
};

QString Describe(const QColor& c) { return QStringLiteral("(%1, %2, %3)").arg(c.red()).arg(c.green()).arg(c.blue()); }

QStringList Items(const QListWidget* list) {
  QStringList items;
  for (int row = 0; row < list->count(); ++row) items << list->item(row)->text();
  return items;
}

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { window_ = test::ShownWindow(); QVERIFY(QTest::qWaitForWindowExposed(window_.get())); }
  void cleanup() { window_.reset(); }

  void EveryControlStandsWhereTheLayoutPutsIt() {
    MainWindow& form = *window_;
    QCOMPARE(form.windowTitle(), QStringLiteral("KORVAN (Calculation of ANOVA for multiple Test Sites)"));
    QCOMPARE(form.size(), QSize(9270 / 15, 3345 / 15));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    const QImage shot = form.grab().toImage();
    // A spot no control covers shows the window's own white.
    QCOMPARE(Describe(shot.pixelColor(3, 215)), Describe(Qt::white));
    for (const Control& c : kLayout) {
      auto* widget = Find<QWidget>(form, c.name);
      QVERIFY2(widget != nullptr && widget->parentWidget() == &form, c.name);
      QCOMPARE(widget->geometry(), QRect(c.left / 15, c.top / 15, c.width / 15, c.height / 15));
      // Buttons and labels show their caption, boxes start empty.
      QCOMPARE(widget->property("text").toString(), QString::fromUtf8(c.caption ? c.caption : ""));
      // A label's or a box's colour as drawn, not just set: the bottom right
      // inside the frame is background in an empty box and below or beside
      // a label's text.
      const bool drawn = c.background.isValid() && (qobject_cast<QLabel*>(widget) || qobject_cast<QLineEdit*>(widget));
      const auto role = !c.background.isValid() || qobject_cast<QComboBox*>(widget) ? QPalette::Button : QPalette::Base;
      const QString shown = Describe(drawn ? shot.pixelColor(widget->geometry().bottomRight() - QPoint(3, 3))
                                           : widget->palette().color(role));
      const QColor expected = c.background.isValid() ? c.background : QApplication::palette().color(QPalette::Button);
      QVERIFY2(shown == Describe(expected), qPrintable(QLatin1String(c.name) + " shows " + shown));
    }
    // Every named control of the layout, and no other box or button.
    QCOMPARE(form.findChildren<QLineEdit*>(Qt::FindDirectChildrenOnly).size(), 17);
    QCOMPARE(form.findChildren<QPushButton*>(Qt::FindDirectChildrenOnly).size(), 3);
    const QFont product = Find<QLabel>(form, "Label12")->font();
    QVERIFY(product.bold());
    QVERIFY(QFontInfo(product).pixelSize() > QFontInfo(Find<QLabel>(form, "Label10")->font()).pixelSize() + 4);
  }

  // Hovering any box, list or button explains it with an example and the
  // batch program's option, which korvan-cli must know; a number too long
  // for its box shows its start, and its tooltip gives it whole.
  void ControlsExplainThemselvesAndLongNumbersStayReadable() {
    MainWindow& form = *window_;
    const std::string options = test::RunCli({"--help"}).out;
    const QRegularExpression option(QStringLiteral("--[a-z-]+"));
    std::vector<const char*> names = {"exactArithmeticBox", "resultsBox"};
    for (const Control& c : kLayout) names.push_back(c.name);
    for (const char* name : names) {
      auto* widget = Find<QWidget>(form, name);
      // A list is hovered in its viewport, the others in themselves.
      auto* list = qobject_cast<QAbstractScrollArea*>(widget);
      QWidget* hovered = list != nullptr ? list->viewport() : widget;
      QHelpEvent hover(QEvent::ToolTip, QPoint(2, 2), hovered->mapToGlobal(QPoint(2, 2)));
      QApplication::sendEvent(hovered, &hover);
      const QString tip = QToolTip::text();
      QToolTip::hideText();
      if (QByteArray("Label5 Label11 Label12").contains(name)) continue;  // headings and the name
      QVERIFY2(tip == ToolTipText(*widget) && tip.contains("\nExample: ") && tip.contains("\nBatch program: "),
               qPrintable(QLatin1String(name) + " shows " + tip));
      for (const auto& named : option.globalMatch(tip))
        QVERIFY2(options.find(named.captured().toStdString()) != std::string::npos, qPrintable(named.captured()));
    }

    auto* records = Find<QLineEdit>(form, "Text3");
    auto* traits = Find<QLineEdit>(form, "Text6");
    records->setText(QStringLiteral("4000000"));
    static_cast<void>(form.grab());
    QCOMPARE(records->cursorPosition(), 0);
    QVERIFY(ToolTipText(*records).startsWith(QStringLiteral("4000000\n\nNo. of Records")));
    // While typed in, the box follows the cursor; left, it shows the start.
    records->clear();
    records->setFocus();
    QTest::keyClicks(records, QStringLiteral("4000000"));
    static_cast<void>(form.grab());
    QCOMPARE(records->cursorPosition(), 7);
    traits->setFocus();
    static_cast<void>(form.grab());
    QCOMPARE(records->cursorPosition(), 0);
    records->setText(QStringLiteral("36"));
    QVERIFY(ToolTipText(*records).startsWith(QStringLiteral("No. of Records")));
  }

  void ProgressWindowOpensBesideTheMainWindowWithoutBlockingIt() {
    MainWindow& form = *window_;
    ProgressWindow& procedure = form.Procedure();
    QCOMPARE(procedure.windowTitle(), QStringLiteral("Procedure of the calculation"));
    QVERIFY(!procedure.isVisible());
    QTest::mouseClick(Find<QPushButton>(form, "Command3"), Qt::LeftButton);
    QVERIFY(QTest::qWaitForWindowExposed(&procedure));
    QCOMPARE(procedure.size(), QSize(7965 / 15, 3735 / 15));
    QVERIFY(procedure.isWindow() && !procedure.isModal() && !QApplication::activeModalWidget() && form.isEnabled());
    auto* view = procedure.findChild<QPlainTextEdit*>();
    QVERIFY(view->isReadOnly());
    // The listing's columns line up only if every character it writes is as
    // wide as a blank; fonts such as Noto Sans Mono are so without being
    // marked fixed-pitch.
    const QFontMetrics metrics(view->font());
    for (const QChar c : QStringLiteral("0123456789 .-+=(),:'*ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"))
      QVERIFY2(metrics.horizontalAdvance(c) == metrics.horizontalAdvance(' '), qPrintable(QString(c)));
    const QImage shot = procedure.grab().toImage();
    QCOMPARE(Describe(shot.pixelColor(shot.width() / 2, shot.height() - 20)), Describe(QColor(192, 255, 192)));
    // "End" closes both windows.
    QSignalSpy ended(&form, &MainWindow::programEnded);
    QTest::mouseClick(Find<QPushButton>(form, "Command2"), Qt::LeftButton);
    QCOMPARE(ended.count(), 1);
    QVERIFY(!form.isVisible() && !procedure.isVisible());
  }

  // Two temporary folders stand in for two drives.
  void PickersFollowTheirDriveAndFolderAndMakeThePaths() {
    test::TempDir driveA, driveB;
    const QString a = test::Q(driveA.path()), b = test::Q(driveB.path());
    QDir(a).mkpath(QStringLiteral("trial/plots"));
    for (const fs::path& file : {driveA.path() / "trial/site2.dat", driveA.path() / "trial/Site1.dat",
                                driveA.path() / "trial/.hidden", driveB.path() / "other.dat"})
      test::WriteFile(file, "x\n");
    MainWindow& form = *window_;
    auto* drive1 = Find<DriveList>(form, "Drive1");
    auto* dir1 = Find<FolderList>(form, "Dir1");
    auto* file1 = Find<FileList>(form, "File1");
    auto* drive2 = Find<DriveList>(form, "Drive2");
    auto* dir2 = Find<FolderList>(form, "Dir2");
    auto* text7 = Find(form, "Text7");
    // Both pickers start at the program's current folder.
    QCOMPARE(QStringList({dir1->Folder(), dir2->Folder(), file1->Folder()}), QStringList(3, QDir::currentPath()));

    drive1->SetRoots({a, b});
    drive2->SetRoots({a, b});
    dir1->SetFolder(a + QStringLiteral("/trial"));
    QCOMPARE(drive1->currentText(), QDir::toNativeSeparators(a));
    QCOMPARE(Items(dir1), QStringList({QDir::toNativeSeparators(a + "/trial"), "..", "plots"}));
    QCOMPARE(Items(file1), QStringList({"Site1.dat", "site2.dat"}));
    QVERIFY(file1->SelectName(QStringLiteral("site2.dat")));
    dir2->SetFolder(b);
    QTest::keyClicks(text7, QStringLiteral("out put.txt "));
    RunParameters params = form.ReadParameters();
    QCOMPARE(params.dataPath, (a + "/trial/site2.dat").toStdString());
    QCOMPARE(params.reportPath, (b + "/out put.txt ").toStdString());

    // A double-click on ".." goes up; the file list follows and nothing is
    // selected, so the data path is the folder itself.
    // (A real double-click starts with a plain click; QTest sends only the second half.)
    const QPoint up = dir1->visualItemRect(dir1->item(1)).center();
    QTest::mouseClick(dir1->viewport(), Qt::LeftButton, {}, up);
    QCOMPARE(dir1->Folder(), a + "/trial");  // a click only selects
    QTest::mouseDClick(dir1->viewport(), Qt::LeftButton, {}, up);
    QTRY_COMPARE(dir1->Folder(), a);
    QCOMPARE(Items(file1), QStringList());
    QCOMPARE(form.ReadParameters().dataPath, a.toStdString());

    // Another drive: the folder list goes to its root (the program's
    // current folder is not on it), the file list follows, and the other
    // picker stays where it was.
    drive1->setCurrentIndex(1);
    QCOMPARE(Items(file1), QStringList({"other.dat"}));
    QCOMPARE(QStringList({dir1->Folder(), dir2->Folder()}), QStringList({b, b}));
    drive2->setCurrentIndex(0);
    QCOMPARE(QStringList({dir1->Folder(), dir2->Folder()}), QStringList({b, a}));

    // On the drive of the program's current folder the list goes to that
    // folder, not to the root.
    const QString saved = QDir::currentPath();
    QVERIFY(QDir::setCurrent(a + "/trial/plots"));
    drive1->setCurrentIndex(0);
    QVERIFY(QDir::setCurrent(saved));
    QCOMPARE(dir1->Folder(), a + "/trial/plots");

    // A folder removed while shown: the list falls back to what is left.
    QVERIFY(QDir(a + "/trial/plots").removeRecursively());
    dir1->SetFolder(dir1->Folder());
    QCOMPARE(dir1->Folder(), a + "/trial");
  }

  // Each box feeds its own parameter, read as text-to-number reads it.
  void BoxesAreReadIntoTheirParameters() {
    // Distinct values, so that a box read into another's parameter shows;
    // how text reads as a number is the reader's own, tested with it.
    struct Box { const char* name; const char* text; double RunParameters::*parameter; double value; };
    const Box boxes[] = {
        {"Text8", " 1 2 ", &RunParameters::nSite, 12},        {"Text1", "2.5e1", &RunParameters::nBlock, 25},
        {"Text2", "+31", &RunParameters::nFamily, 31},        {"Text3", "600000", &RunParameters::nRecord, 600000},
        {"Text5", "10 years", &RunParameters::ageSel, 10},    {"Text6", "", &RunParameters::nTrait, 0},
        {"Text4", "1", &RunParameters::colSite, 1},           {"Text9", "5", &RunParameters::colBlock, 5},
        {"Text10", "9", &RunParameters::colFamily, 9},        {"Text11", "15", &RunParameters::colAge, 15},
        {"Text12", "1,9", &RunParameters::colTrait, 1},       {"Text13", "4", &RunParameters::wSite, 4},
        {"Text14", "-4", &RunParameters::wBlock, -4},         {"Text15", "six", &RunParameters::wFamily, 0},
        {"Text16", "4.5", &RunParameters::wAge, 4.5},         {"Text17", "\t10", &RunParameters::wTrait, 10},
    };
    for (const Box& box : boxes) Find(*window_, box.name)->setText(QString::fromUtf8(box.text));
    const RunParameters params = window_->ReadParameters();
    for (const Box& box : boxes)
      QVERIFY2(params.*box.parameter == box.value, qPrintable(QStringLiteral("%1 \"%2\" read as %3, expected %4")
                                                                  .arg(box.name, box.text)
                                                                  .arg(params.*box.parameter)
                                                                  .arg(box.value)));
    QVERIFY(params.fieldNames == WindowFieldNames());
    // The exact report is chosen in view or on Start's menu, the two in step;
    // the results stand beside the report, named after it.
    QVERIFY(!params.exactReport && params.jsonPath.empty() && params.tablesDir.empty() && params.htmlPath.empty());
    auto* exact = window_->findChild<QAction*>(QStringLiteral("exactArithmeticAction"));
    auto* exactBox = Find<QCheckBox>(*window_, "exactArithmeticBox");
    QVERIFY(exact != nullptr && Find<QPushButton>(*window_, "Command1")->actions().contains(exact));
    exact->setChecked(true);
    QVERIFY(window_->ReadParameters().exactReport && exactBox->isChecked());
    exactBox->setChecked(false);
    QVERIFY(!window_->ReadParameters().exactReport && !exact->isChecked());
    Find<QLineEdit>(*window_, "Text7")->setText(QStringLiteral("maize.out"));
    Find<QCheckBox>(*window_, "resultsBox")->setChecked(true);
    const RunParameters results = window_->ReadParameters();
    const std::string stem = results.reportPath.substr(0, results.reportPath.size() - 4);
    QVERIFY(results.reportPath.ends_with("maize.out"));
    QCOMPARE(results.jsonPath, stem + ".json");
    QCOMPARE(results.tablesDir, stem + "-tables");
    QCOMPARE(results.htmlPath, stem + ".html");
    // REML rides on the results: asked for on the box's menu, it asks for
    // them; the results turned off take it with them.
    QVERIFY(!results.reml);
    auto* reml = window_->findChild<QAction*>(QStringLiteral("remlAction"));
    auto* resultsBox = Find<QCheckBox>(*window_, "resultsBox");
    QVERIFY(reml != nullptr && resultsBox->actions().contains(reml));
    resultsBox->setChecked(false);
    reml->setChecked(true);
    QVERIFY(resultsBox->isChecked() && window_->ReadParameters().reml);
    resultsBox->setChecked(false);
    QVERIFY(!reml->isChecked() && !window_->ReadParameters().reml);
  }

 private:
  std::unique_ptr<MainWindow> window_;
};

}  // namespace
}  // namespace korvan

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  korvan::SetUpApplication(app);
  korvan::MainWindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "main_window_test.moc"
