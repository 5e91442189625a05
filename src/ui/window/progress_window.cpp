#include "ui/window/progress_window.h"

#include <QFontDatabase>
#include <QPalette>
#include <QScrollBar>
#include <QVBoxLayout>

namespace korvan {

namespace {

constexpr int kTwipsPerPixel = 15;
const QColor kPaleGreen(192, 255, 192);

}  // namespace

ProgressWindow::ProgressWindow(ProgressQueue& queue) : queue_(queue), view_(new QPlainTextEdit(this)) {
  setObjectName(QStringLiteral("Form2"));
  setWindowTitle(QStringLiteral("Procedure of the calculation"));
  resize(7965 / kTwipsPerPixel, 3735 / kTwipsPerPixel);

  QPalette colours = palette();
  colours.setColor(QPalette::Window, kPaleGreen);
  colours.setColor(QPalette::Base, kPaleGreen);
  colours.setColor(QPalette::Text, Qt::black);
  setPalette(colours);
  setAutoFillBackground(true);

  view_->setObjectName(QStringLiteral("procedureView"));
  view_->setReadOnly(true);
  view_->setLineWrapMode(QPlainTextEdit::NoWrap);
  view_->setMaximumBlockCount(kKeepLines);
  view_->setFrameShape(QFrame::NoFrame);
  view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  view_->setPalette(colours);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(view_);

  timer_.setInterval(kUpdateMs);
  connect(&timer_, &QTimer::timeout, this, &ProgressWindow::ShowPending);
}

void ProgressWindow::Follow(bool on) {
  if (on) {
    timer_.start();
  } else {
    timer_.stop();
    ShowPending();
  }
}

void ProgressWindow::ShowPending() {
  if (!queue_.Take(pending_)) return;
  if (pending_.cleared) view_->clear();
  if (pending_.text.empty()) return;
  // A user who scrolled up to read keeps the place; otherwise the view
  // follows the newest line.
  const QScrollBar* bar = view_->verticalScrollBar();
  const bool atEnd = !isVisible() || bar->value() == bar->maximum();
  pending_.text.pop_back();  // appendPlainText ends the last line itself
  view_->appendPlainText(QString::fromUtf8(pending_.text.data(), static_cast<qsizetype>(pending_.text.size())));
  if (atEnd) ScrollToEnd();
}

void ProgressWindow::ScrollToEnd() {
  view_->moveCursor(QTextCursor::End);
  view_->ensureCursorVisible();
}

// While hidden the view has no real size, so where it scrolled to then means
// nothing: on showing, the newest lines are what the user came to see.
void ProgressWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  ScrollToEnd();
}

QStringList ProgressWindow::Lines() const {
  const QString text = view_->toPlainText();
  return text.isEmpty() ? QStringList() : text.split(u'\n');
}

}  // namespace korvan
