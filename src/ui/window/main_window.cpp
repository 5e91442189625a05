#include "ui/window/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <QStylePainter>

#include <optional>

#include "format/number_format.h"
#include "ui/paths.h"
#include "run/run.h"
#include "ui/window/pickers.h"
#include "ui/window/progress_window.h"
#include "ui/window/tooltips.h"

namespace korvan {

namespace {

// Positions are kept in twips as the layout was drawn; a pixel is 15 twips.
constexpr int kTwipsPerPixel = 15;
QRect Twips(int left, int top, int width, int height) {
  return QRect(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel, height / kTwipsPerPixel);
}

// The colours group the window: the count column with its row labels, each
// field column with its heading, the data-file picker, the output picker.
const QColor kCountColour(192, 255, 255);
const QColor kStartColour(255, 255, 128);
const QColor kWidthColour(255, 255, 0);
const QColor kDataColour(128, 255, 255);
const QColor kOutputColour(128, 255, 128);
const QColor kProductColour(0, 128, 128);

// Every role a control may paint its background with, so that lists, boxes
// and drive lists all show the colour of their group.
void Paint(QWidget* widget, const QColor& colour) {
  QPalette colours = widget->palette();
  for (auto role : {QPalette::Window, QPalette::Base, QPalette::Button}) colours.setColor(role, colour);
  widget->setPalette(colours);
  widget->setAutoFillBackground(true);
}

// A push button whose caption wraps over several lines, as the long caption
// of the progress-window button needs; text() keeps the caption whole.
class WrappingButton : public QPushButton {
 public:
  using QPushButton::QPushButton;

 protected:
  void paintEvent(QPaintEvent*) override {
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text.clear();
    painter.drawControl(QStyle::CE_PushButton, option);
    const QRect area = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
    painter.drawItemText(area, Qt::AlignCenter | Qt::TextWordWrap, palette(), isEnabled(), text(),
                         QPalette::ButtonText);
  }
};

// A column heading in a column narrower than some of its words: a word that
// does not fit is broken rather than cut off, and a narrower face is asked
// for where the platform has one.
class HeadingLabel : public QLabel {
 public:
  HeadingLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
    QFont narrow = font();
    narrow.setStretch(QFont::SemiCondensed);
    setFont(narrow);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    QTextOption option(Qt::AlignLeft | Qt::AlignTop);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(QRectF(contentsRect()), text(), option);
  }
};

QLabel* AddLabel(QWidget* parent, const char* name, const QString& text, const QRect& where,
                 const QColor& colour, bool heading = false) {
  QLabel* label = heading ? new HeadingLabel(text, parent) : new QLabel(text, parent);
  label->setObjectName(QLatin1String(name));
  label->setGeometry(where);
  label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  Paint(label, colour);
  return label;
}

QCheckBox* AddCheckBox(QWidget* parent, const char* name, const QString& text, const QRect& where,
                       const QColor& colour) {
  auto* box = new QCheckBox(text, parent);
  box->setObjectName(QLatin1String(name));
  box->setGeometry(where);
  Paint(box, colour);
  return box;
}

void SetResultsBesideReport(RunParameters& params) {
  const ResultPaths paths = ResultPathsBeside(params.reportPath);
  params.jsonPath = paths.json;
  params.tablesDir = paths.tables;
  params.htmlPath = paths.html;
}

// Paths leave the window in the file system's own encoding and separators.
std::string LocalPath(const QString& path) {
  return QFile::encodeName(QDir::toNativeSeparators(path)).toStdString();
}
std::string LocalName(const QString& name) { return QFile::encodeName(name).toStdString(); }

double BoxNumber(const QLineEdit* box) { return TextToNumber(box->text().toStdString()); }
// A count box left empty is no limit: the data decide.
double CountBox(const QLineEdit* box) { return box->text().trimmed().isEmpty() ? kNoLimit : BoxNumber(box); }
std::string BoxText(const QLineEdit* box) { return box->text().trimmed().toStdString(); }

// Sheets saved by a spreadsheet go by these names.
bool IsDelimitedName(const QString& name) {
  for (const char* suffix : {".csv", ".tsv", ".tab"})
    if (name.endsWith(QLatin1String(suffix), Qt::CaseInsensitive)) return true;
  return false;
}

// The progress window first opens below the main window, or to its right
// when the screen has no room below, so that the two do not hide each other
// where no window manager places them.
void PlaceBeside(QWidget& window, const QWidget& main) {
  const QRect frame = main.frameGeometry();
  const QScreen* screen = main.screen();
  const QRect room = screen != nullptr ? screen->availableGeometry() : QRect();
  QPoint place(frame.left(), frame.bottom() + 1);
  if (room.isValid() && place.y() + window.height() > room.bottom()) place = QPoint(frame.right() + 1, frame.top());
  window.move(place);
}

}  // namespace

void SetUpApplication(QApplication& app) {
  app.setApplicationName(QStringLiteral("korvan"));
  // The native styles of some platforms ignore the background colour of
  // buttons, drive lists and boxes; the colours group the window.
  if (QStyle* style = QStyleFactory::create(QStringLiteral("Fusion"))) app.setStyle(style);
}

MainWindow::MainWindow() : procedure_(std::make_unique<ProgressWindow>(queue_)) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("KORVAN (Calculation of ANOVA for multiple Test Sites)"));
  setFixedSize(9270 / kTwipsPerPixel, 3345 / kTwipsPerPixel);
  // Only the window's own background: the buttons keep the style's colour.
  QPalette white = palette();
  white.setColor(QPalette::Window, Qt::white);
  setPalette(white);
  setAutoFillBackground(true);
  // The layout was drawn for an 8-point font at 96 dots per inch; a font in
  // pixels keeps every caption inside its control on any screen.
  QFont small = font();
  small.setPixelSize(11);
  setFont(small);
  BuildControls();
  BuildPickers();
  ConnectPickers();
  AddToolTips(*this);
}

MainWindow::~MainWindow() {
  if (worker_.joinable()) {
    queue_.RequestStop();
    worker_.join();
  }
}

QLineEdit* MainWindow::AddBox(const char* name, int left, int top, int width, const QColor& colour) {
  auto* box = new QLineEdit(this);
  box->setObjectName(QLatin1String(name));
  box->setGeometry(Twips(left, top, width, 405));
  Paint(box, colour);
  return box;
}

void MainWindow::BuildControls() {
  startButton_ = new QPushButton(QStringLiteral("Start"), this);
  startButton_->setObjectName(QStringLiteral("Command1"));
  startButton_->setGeometry(Twips(120, 120, 615, 375));
  connect(startButton_, &QPushButton::clicked, this, &MainWindow::StartRun);
  // The choice of arithmetic sits on the Start button itself, in its menu and
  // its tip, so that the settled layout of the window keeps every control.
  exactAction_ = new QAction(QStringLiteral("Exact arithmetic (the report's values in double precision)"), startButton_);
  exactAction_->setObjectName(QStringLiteral("exactArithmeticAction"));
  exactAction_->setCheckable(true);
  startButton_->addAction(exactAction_);
  startButton_->setContextMenuPolicy(Qt::ActionsContextMenu);
  auto showArithmetic = [this](bool exact) {
    startButton_->setToolTip(exact ? QStringLiteral("Exact arithmetic is on: the report's values in double precision "
                                                    "(right-click to change)")
                                   : QStringLiteral("Single-precision arithmetic, as the method prescribes "
                                                    "(right-click for exact arithmetic)"));
  };
  connect(exactAction_, &QAction::toggled, this, showArithmetic);
  showArithmetic(false);
  endButton_ = new QPushButton(QStringLiteral("End"), this);
  endButton_->setObjectName(QStringLiteral("Command2"));
  endButton_->setGeometry(Twips(120, 600, 615, 375));
  connect(endButton_, &QPushButton::clicked, this, &MainWindow::EndProgram);
  auto* watchButton = new WrappingButton(QStringLiteral("Watch the calculation procedure"), this);
  watchButton->setObjectName(QStringLiteral("Command3"));
  watchButton->setGeometry(Twips(840, 120, 975, 855));
  connect(watchButton, &QPushButton::clicked, this, &MainWindow::ShowProcedure);

  AddLabel(this, "Label5", QStringLiteral("Start position of data         ↓"), Twips(2160, 0, 615, 1095),
           kStartColour, true);
  AddLabel(this, "Label11", QStringLiteral("No. of Columns for a datum  ↓"), Twips(2880, 0, 735, 1095),
           kWidthColour, true);
  AddLabel(this, "Label10", QStringLiteral("No. of Sites"), Twips(120, 1200, 1215, 255), kCountColour);
  AddLabel(this, "Label1", QStringLiteral("No. of Blocks"), Twips(120, 1560, 1215, 255), kCountColour);
  AddLabel(this, "Label2", QStringLiteral("No. of Families"), Twips(120, 1920, 1215, 255), kCountColour);
  AddLabel(this, "Label3", QStringLiteral("No. of Records"), Twips(120, 2280, 1215, 255), kCountColour);
  AddLabel(this, "Label6", QStringLiteral("age"), Twips(120, 2640, 1215, 255), kCountColour);
  AddLabel(this, "Label7", QStringLiteral("No. of Traits"), Twips(120, 3000, 1215, 255), kCountColour);

  // Row by row, so that Tab walks count, start and width of one field in turn.
  sitesBox_ = AddBox("Text8", 1440, 1080, 615, kCountColour);
  siteStartBox_ = AddBox("Text4", 2160, 1080, 615, kStartColour);
  siteWidthBox_ = AddBox("Text13", 2880, 1080, 735, kWidthColour);
  blocksBox_ = AddBox("Text1", 1440, 1440, 615, kCountColour);
  blockStartBox_ = AddBox("Text9", 2160, 1440, 615, kStartColour);
  blockWidthBox_ = AddBox("Text14", 2880, 1440, 735, kWidthColour);
  familiesBox_ = AddBox("Text2", 1440, 1800, 615, kCountColour);
  familyStartBox_ = AddBox("Text10", 2160, 1800, 615, kStartColour);
  familyWidthBox_ = AddBox("Text15", 2880, 1800, 735, kWidthColour);
  recordsBox_ = AddBox("Text3", 1440, 2160, 615, kCountColour);
  ageBox_ = AddBox("Text5", 1440, 2520, 615, kCountColour);
  ageStartBox_ = AddBox("Text11", 2160, 2520, 615, kStartColour);
  ageWidthBox_ = AddBox("Text16", 2880, 2520, 735, kWidthColour);
  traitsBox_ = AddBox("Text6", 1440, 2880, 615, kCountColour);
  traitStartBox_ = AddBox("Text12", 2160, 2880, 615, kStartColour);
  traitWidthBox_ = AddBox("Text17", 2880, 2880, 735, kWidthColour);

  QLabel* product = AddLabel(this, "Label12", QStringLiteral("Korvan"), Twips(7320, 2880, 1815, 375),
                             kProductColour);
  QFont large = product->font();
  large.setPixelSize(20);
  large.setBold(true);
  product->setFont(large);

  // The free corner left of the product label holds the exact-arithmetic
  // choice in view; the Start button's menu keeps it too, the two in step.
  exactBox_ = AddCheckBox(this, "exactArithmeticBox", QStringLiteral("exact"), Twips(6480, 2895, 840, 345),
                          kOutputColour);
  connect(exactBox_, &QCheckBox::toggled, exactAction_, &QAction::setChecked);
  connect(exactAction_, &QAction::toggled, exactBox_, &QCheckBox::setChecked);
}

void MainWindow::BuildPickers() {
  AddLabel(this, "Label4", QStringLiteral("data file"), Twips(3720, 0, 2655, 255), kDataColour);
  dataDrives_ = new DriveList(this);
  dataDrives_->setObjectName(QStringLiteral("Drive1"));
  dataDrives_->setGeometry(Twips(3720, 240, 2655, 300));
  dataFolders_ = new FolderList(this);
  dataFolders_->setObjectName(QStringLiteral("Dir1"));
  dataFolders_->setGeometry(Twips(3720, 600, 2655, 1500));
  dataFiles_ = new FileList(this);
  dataFiles_->setObjectName(QStringLiteral("File1"));
  dataFiles_->setGeometry(Twips(3720, 2160, 2655, 1110));
  for (QWidget* picker : {static_cast<QWidget*>(dataDrives_), static_cast<QWidget*>(dataFolders_),
                          static_cast<QWidget*>(dataFiles_)})
    Paint(picker, kDataColour);

  AddLabel(this, "Label8", QStringLiteral("Output"), Twips(6480, 0, 2655, 255), kOutputColour);
  outputDrives_ = new DriveList(this);
  outputDrives_->setObjectName(QStringLiteral("Drive2"));
  outputDrives_->setGeometry(Twips(6480, 240, 2655, 300));
  outputFolders_ = new FolderList(this);
  outputFolders_->setObjectName(QStringLiteral("Dir2"));
  outputFolders_->setGeometry(Twips(6480, 600, 2655, 1500));
  AddLabel(this, "Label9", QStringLiteral("Output file"), Twips(6480, 2160, 2655, 255), kOutputColour);
  outputNameBox_ = AddBox("Text7", 6480, 2400, 2655, kOutputColour);
  // On the right of the "Output file" row, whose caption leaves it empty:
  // more outputs of the run, named after the report.
  resultsBox_ = AddCheckBox(this, "resultsBox", QStringLiteral("tables and page"), Twips(7500, 2160, 1635, 255),
                            kOutputColour);
  // REML goes where its results go, on the box's own menu, so that no
  // control of the settled layout moves; asking for it asks for the results.
  remlAction_ = new QAction(QStringLiteral("REML and BLUP beside the analysis of variance"), resultsBox_);
  remlAction_->setObjectName(QStringLiteral("remlAction"));
  remlAction_->setCheckable(true);
  resultsBox_->addAction(remlAction_);
  resultsBox_->setContextMenuPolicy(Qt::ActionsContextMenu);
  connect(remlAction_, &QAction::toggled, this, [this](bool on) {
    if (on) resultsBox_->setChecked(true);
  });
  connect(resultsBox_, &QCheckBox::toggled, this, [this](bool on) {
    if (!on) remlAction_->setChecked(false);
  });
  Paint(outputDrives_, kOutputColour);
  Paint(outputFolders_, kOutputColour);
}

void MainWindow::ConnectPickers() {
  connect(dataDrives_, &DriveList::driveChosen, this,
          [this](const QString& root) { dataFolders_->SetFolder(dataDrives_->FolderOnDrive(root)); });
  connect(dataFolders_, &FolderList::folderChanged, this, [this](const QString& folder) {
    dataDrives_->FollowFolder(folder);
    dataFiles_->SetFolder(folder);
  });
  connect(outputDrives_, &DriveList::driveChosen, this,
          [this](const QString& root) { outputFolders_->SetFolder(outputDrives_->FolderOnDrive(root)); });
  connect(outputFolders_, &FolderList::folderChanged, outputDrives_, &DriveList::FollowFolder);
  connect(dataFiles_, &QListWidget::itemSelectionChanged, this, &MainWindow::ShowFormat);
  // Both pickers start at the program's current folder.
  dataFolders_->SetFolder(QDir::currentPath());
  outputFolders_->SetFolder(QDir::currentPath());
}

bool MainWindow::DelimitedChosen() const { return IsDelimitedName(dataFiles_->SelectedName()); }

// A delimited file names its fields by column in the start boxes; the width
// boxes then say that they are not used, and get their entries back for a
// fixed-column file.
void MainWindow::ShowFormat() {
  const bool delimited = DelimitedChosen();
  if (delimited == delimitedShown_) return;
  delimitedShown_ = delimited;
  QLineEdit* widths[] = {siteWidthBox_, blockWidthBox_, familyWidthBox_, ageWidthBox_, traitWidthBox_};
  QLineEdit* starts[] = {siteStartBox_, blockStartBox_, familyStartBox_, ageStartBox_, traitStartBox_};
  for (std::size_t n = 0; n < std::size(widths); ++n) {
    if (delimited) fixedWidths_[n] = widths[n]->text();
    widths[n]->setText(delimited ? QString() : fixedWidths_[n]);
    widths[n]->setReadOnly(delimited);
    widths[n]->setPlaceholderText(delimited ? QStringLiteral("not used") : QString());
    widths[n]->setToolTip(delimited ? QStringLiteral("A delimited file: the widths are not used") : QString());
    starts[n]->setToolTip(delimited ? QStringLiteral("A delimited file: the column, by its name in the header or "
                                                     "its number from 1")
                                    : QString());
  }
  ageStartBox_->setToolTip(delimited ? ageStartBox_->toolTip() + QStringLiteral("; empty: every record") : QString());
  traitStartBox_->setToolTip(delimited ? traitStartBox_->toolTip() +
                                             QStringLiteral(" of the first trait; No. of Traits counts the columns "
                                                            "from it")
                                       : QString());
}

RunParameters MainWindow::ReadParameters() const {
  RunParameters params;
  params.dataPath = JoinFolderAndName(LocalPath(dataFiles_->Folder()), LocalName(dataFiles_->SelectedName()));
  params.reportPath = JoinFolderAndName(LocalPath(outputFolders_->Folder()), LocalName(outputNameBox_->text()));
  params.nBlock = CountBox(blocksBox_);
  params.nFamily = CountBox(familiesBox_);
  params.nRecord = CountBox(recordsBox_);
  params.ageSel = BoxNumber(ageBox_);
  params.nTrait = BoxNumber(traitsBox_);
  params.nSite = CountBox(sitesBox_);
  params.missing = missingChoice_;
  params.fieldNames = WindowFieldNames();
  params.exactReport = exactAction_->isChecked();
  if (resultsBox_->isChecked()) SetResultsBesideReport(params);
  params.reml = resultsBox_->isChecked() && remlAction_->isChecked();
  if (DelimitedChosen()) {
    params.delimited = true;
    params.siteColumn = BoxText(siteStartBox_);
    params.blockColumn = BoxText(blockStartBox_);
    params.familyColumn = BoxText(familyStartBox_);
    params.ageColumn = BoxText(ageStartBox_);
    params.traitColumns = {BoxText(traitStartBox_)};
    return params;
  }
  params.colSite = BoxNumber(siteStartBox_);
  params.colBlock = BoxNumber(blockStartBox_);
  params.colFamily = BoxNumber(familyStartBox_);
  params.colAge = BoxNumber(ageStartBox_);
  params.colTrait = BoxNumber(traitStartBox_);
  params.wSite = BoxNumber(siteWidthBox_);
  params.wBlock = BoxNumber(blockWidthBox_);
  params.wFamily = BoxNumber(familyWidthBox_);
  params.wAge = BoxNumber(ageWidthBox_);
  params.wTrait = BoxNumber(traitWidthBox_);
  return params;
}

void MainWindow::StartRun() {
  if (Running() || endRequested_) return;
  missingChoice_ = MissingMode::kStop;
  Launch();
}

void MainWindow::Launch() {
  const RunParameters params = ReadParameters();
  queue_.ResetStop();
  startButton_->setEnabled(false);
  setCursor(Qt::BusyCursor);
  procedure_->Follow(true);
  auto work = [this, params] {
    std::optional<OutputSet> outputs;
    {
      const std::lock_guard lock(outputsMutex_);
      outputs.emplace();
      runOutputs_ = &*outputs;
    }
    const RunOutcome outcome = RunAndCatch([&] {
      RunSummary summary = RunCalculation(params, queue_, *outputs);
      outputs->CommitAll();
      return summary;
    });
    {
      // Gone, with its temporary files, before a signal could find the
      // run over and end the program: it would leave them behind.
      const std::lock_guard lock(outputsMutex_);
      outputs.reset();
      runOutputs_ = nullptr;
    }
    QMetaObject::invokeMethod(this, [this, outcome] { FinishRun(outcome); }, Qt::QueuedConnection);
  };
  try {
    worker_ = std::thread(work);
  } catch (const std::exception& error) {
    // Out of memory or of processes: nothing has started.
    unsetCursor();
    procedure_->Follow(false);
    startButton_->setEnabled(true);
    ShowMessage(QStringLiteral("The run cannot start: the system cannot start another thread (%1). Close other "
                               "programs and press \"Start\" again.")
                    .arg(QString::fromLocal8Bit(error.what())),
                QMessageBox::Critical);
  }
}

void MainWindow::StopBySignal(int signal) {
  exitStatus_ = 128 + signal;
  EndProgram();
}

bool MainWindow::AbandonRun() {
  const std::lock_guard lock(outputsMutex_);
  return runOutputs_ == nullptr || runOutputs_->Abandon();
}

// Trees that lack values stopped the run: asked once, the user chooses to
// leave them out or read them as 0, and the run starts again so; true then.
bool MainWindow::AskAboutMissingValues(const RunOutcome& outcome) {
  if (outcome.missingTrees == 0 || missingChoice_ != MissingMode::kStop) return false;
  const QString text =
      QStringLiteral("%1 of the records lack trait values (the first is line %2 of the data file).\n\n%3\n\n"
                     "Leave those trees out of the analysis, or read the values as 0?")
          .arg(outcome.missingTrees)
          .arg(outcome.missingFirstLine)
          .arg(QString::fromStdString(outcome.message.substr(0, outcome.message.find("; a field is missing"))));
  QMessageBox box(QMessageBox::Question, QStringLiteral("korvan"), text, QMessageBox::NoButton, this);
  QPushButton* leaveOut = box.addButton(QStringLiteral("Leave them out"), QMessageBox::AcceptRole);
  QPushButton* zero = box.addButton(QStringLiteral("Read them as 0"), QMessageBox::AcceptRole);
  box.addButton(QStringLiteral("Stop"), QMessageBox::RejectRole);
  box.exec();
  if (box.clickedButton() != leaveOut && box.clickedButton() != zero) return false;
  missingChoice_ = box.clickedButton() == leaveOut ? MissingMode::kDrop : MissingMode::kZero;
  Launch();
  return true;
}

void MainWindow::FinishRun(const RunOutcome& outcome) {
  worker_.join();
  procedure_->Follow(false);
  unsetCursor();
  startButton_->setEnabled(true);
  // The report may have been written into the data folder.
  dataFiles_->Refresh();
  if (endRequested_) {
    emit runFinished();
    EndProgram();
    return;
  }
  switch (outcome.kind) {
    case RunOutcome::Kind::kFinished:
      if (!outcome.warnings.empty()) {
        QStringList lines;
        for (const std::string& warning : outcome.warnings) lines << QString::fromStdString(warning);
        ShowMessage(lines.join(u'\n'), QMessageBox::Warning);
      }
      ShowMessage(QStringLiteral("処理が終わりました。"), QMessageBox::NoIcon);
      break;
    case RunOutcome::Kind::kFailed:
      if (AskAboutMissingValues(outcome)) return;
      if (outcome.missingTrees == 0) ShowMessage(QString::fromStdString(outcome.message), QMessageBox::Critical);
      break;
    case RunOutcome::Kind::kStopped:
      break;
  }
  emit runFinished();
}

void MainWindow::ShowMessage(const QString& text, QMessageBox::Icon icon) {
  QMessageBox box(icon, QStringLiteral("korvan"), text, QMessageBox::Ok, this);
  box.exec();
}

// Ends at once when no run is in progress; otherwise the run is asked to stop
// at its next record or stage, and the program ends when it has.
void MainWindow::EndProgram() {
  endRequested_ = true;
  if (Running()) {
    queue_.RequestStop();
    startButton_->setEnabled(false);
    endButton_->setEnabled(false);
    return;
  }
  close();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (Running()) {
    event->ignore();
    EndProgram();
    return;
  }
  procedure_->close();
  event->accept();
  emit programEnded();
}

void MainWindow::ShowProcedure() {
  procedure_->ShowPending();
  if (!procedureShown_) {
    procedureShown_ = true;
    PlaceBeside(*procedure_, *this);
  }
  procedure_->show();
  procedure_->raise();
  procedure_->activateWindow();
}

}  // namespace korvan
