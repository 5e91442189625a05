#pragma once

// "Procedure of the calculation": the lines that the stages write, shown as
// they arrive from the run's worker thread, whether or not the window is open.

#include <QPlainTextEdit>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include "ui/progress_queue.h"

namespace korvan {

class ProgressWindow : public QWidget {
  Q_OBJECT
 public:
  // How many lines the view keeps, counted from the last clear; a run only
  // writes this many between clears when a stage lists far more than a screen.
  static constexpr int kKeepLines = 20000;
  // How often arrived lines are drawn: often enough to follow a run live,
  // rarely enough that drawing never slows it.
  static constexpr int kUpdateMs = 60;

  explicit ProgressWindow(ProgressQueue& queue);

  // Starts or stops following the queue; stopping draws what is left.
  void Follow(bool on);
  // Draws everything that has arrived.
  void ShowPending();
  // The lines the view holds, top to bottom.
  QStringList Lines() const;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void ScrollToEnd();

  ProgressQueue& queue_;
  QPlainTextEdit* view_;
  QTimer timer_;
  PendingLines pending_;  // reused so that drawing allocates once
};

}  // namespace korvan
