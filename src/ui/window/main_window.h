#pragma once

// Form1, the main window: the run parameters in their boxes, the data-file
// and output pickers, and the buttons that start a run, end the program and
// open the progress window. A run works on a worker thread, so the window
// stays responsive and the progress window follows it live.

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>
#include <memory>
#include <mutex>
#include <thread>

#include "format/output_file.h"
#include "rundata/rundata.h"
#include "ui/progress_queue.h"
#include "ui/run_outcome.h"

class QApplication;

namespace korvan {

class DriveList;
class FileList;
class FolderList;
class ProgressWindow;

// The look every build shares: a style that honours the background colours
// of the controls on every platform.
void SetUpApplication(QApplication& app);

class MainWindow : public QWidget {
  Q_OBJECT
 public:
  MainWindow();
  ~MainWindow() override;

  // The parameters as the boxes and pickers give them now.
  RunParameters ReadParameters() const;
  bool Running() const { return worker_.joinable(); }
  ProgressWindow& Procedure() { return *procedure_; }

  // A signal asked the program to end: the run, if any, stops at its next
  // safe point, and then the program ends with status 128 + `signal`.
  void StopBySignal(int signal);
  // From any thread, when the process must end now: removes the running
  // run's temporary files. False while they are being put in place.
  bool AbandonRun();
  // 0, or what the program's exit status must be.
  int exitStatus() const { return exitStatus_; }

 signals:
  // A run is over and its message, if any, has been dismissed.
  void runFinished();
  // "End" was pressed (or the window closed) and no run is left: the
  // program may end.
  void programEnded();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  void BuildPickers();
  void ConnectPickers();
  void StartRun();
  void Launch();
  void FinishRun(const RunOutcome& outcome);
  bool AskAboutMissingValues(const RunOutcome& outcome);
  bool DelimitedChosen() const;
  void ShowFormat();
  void EndProgram();
  void ShowProcedure();
  void ShowMessage(const QString& text, QMessageBox::Icon icon);

  QLineEdit* AddBox(const char* name, int left, int top, int width, const QColor& colour);

  ProgressQueue queue_;
  std::unique_ptr<ProgressWindow> procedure_;  // Form2: a window of its own, not a child
  std::thread worker_;
  std::mutex outputsMutex_;
  OutputSet* runOutputs_ = nullptr;  // of the run in progress, for AbandonRun
  bool endRequested_ = false;
  int exitStatus_ = 0;
  bool procedureShown_ = false;  // the progress window has been placed once
  bool delimitedShown_ = false;  // the boxes are set for a delimited file
  QString fixedWidths_[5];       // the width boxes of a fixed-column file, kept while they are not used
  MissingMode missingChoice_ = MissingMode::kStop;  // asked once per "Start"

  QPushButton* startButton_ = nullptr;  // Command1
  QAction* exactAction_ = nullptr;      // Start's menu: the report from the exact engine
  QCheckBox* exactBox_ = nullptr;       // the same choice, in view beside the product label
  QCheckBox* resultsBox_ = nullptr;     // the results document, tables and page beside the report
  QAction* remlAction_ = nullptr;       // its menu: REML and BLUP in those results
  QPushButton* endButton_ = nullptr;    // Command2
  QLineEdit* sitesBox_ = nullptr;       // Text8
  QLineEdit* blocksBox_ = nullptr;      // Text1
  QLineEdit* familiesBox_ = nullptr;    // Text2
  QLineEdit* recordsBox_ = nullptr;     // Text3
  QLineEdit* ageBox_ = nullptr;         // Text5
  QLineEdit* traitsBox_ = nullptr;      // Text6
  QLineEdit* siteStartBox_ = nullptr;   // Text4
  QLineEdit* blockStartBox_ = nullptr;  // Text9
  QLineEdit* familyStartBox_ = nullptr; // Text10
  QLineEdit* ageStartBox_ = nullptr;    // Text11
  QLineEdit* traitStartBox_ = nullptr;  // Text12
  QLineEdit* siteWidthBox_ = nullptr;   // Text13
  QLineEdit* blockWidthBox_ = nullptr;  // Text14
  QLineEdit* familyWidthBox_ = nullptr; // Text15
  QLineEdit* ageWidthBox_ = nullptr;    // Text16
  QLineEdit* traitWidthBox_ = nullptr;  // Text17
  QLineEdit* outputNameBox_ = nullptr;  // Text7
  DriveList* dataDrives_ = nullptr;     // Drive1
  FolderList* dataFolders_ = nullptr;   // Dir1
  FileList* dataFiles_ = nullptr;       // File1
  DriveList* outputDrives_ = nullptr;   // Drive2
  FolderList* outputFolders_ = nullptr; // Dir2
};

}  // namespace korvan
