#pragma once

// Catches every message box the window shows, as the user would see it, and
// dismisses it, so a test can drive a run to its end without a hand on OK.

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <QTimer>

#include <utility>
#include <vector>

namespace korvan::test {

// What the user sees of a message box.
struct Message {
  QString title, text;
  QMessageBox::Icon icon;
  QMessageBox::StandardButtons buttons;
};

class MessageCatcher {
 public:
  MessageCatcher() {
    QObject::connect(&poll_, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !box->isVisible()) return;
      seen_.push_back({box->windowTitle(), box->text(), box->icon(), box->standardButtons()});
      box->accept();
    });
    poll_.start(20);
  }
  // The messages shown since the last call.
  std::vector<Message> Take() { return std::exchange(seen_, {}); }

 private:
  QTimer poll_;
  std::vector<Message> seen_;
};

}  // namespace korvan::test
