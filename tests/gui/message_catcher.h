#pragma once

// The user's hand for the window tests: fills the boxes and pickers as the
// batch program's options say, clicks Start, and catches every message box
// the window shows, as the user would see it, dismissing it so that a run
// goes to its end without a hand on OK.

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <map>
#include <memory>
#include <utility>

#include "base/progress.h"
#include "support/test_support.h"
#include "ui/window/main_window.h"
#include "ui/window/pickers.h"

namespace korvan::test {

// What the user sees of a message box: "title (icon): text", and the
// buttons if there is more than OK.
inline QString Seen(const QMessageBox& box) {
  static const char* const kIcons[] = {"", " (information)", " (warning)", " (critical)", " (question)"};
  const QString seen = box.windowTitle() + kIcons[box.icon()] + ": " + box.text();
  return box.standardButtons() == QMessageBox::Ok ? seen : seen + " [buttons other than OK]";
}

class MessageCatcher {
 public:
  MessageCatcher() {
    QObject::connect(&poll_, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !box->isVisible()) return;
      seen_ << Seen(*box);
      for (QAbstractButton* button : box->buttons())
        if (button->text() == answer_) return button->click();
      box->accept();
    });
    poll_.start(20);
  }
  // The button to click in a box that has one of this caption.
  void Answer(const QString& caption) { answer_ = caption; }
  // The messages shown since the last call.
  QStringList Take() { return std::exchange(seen_, {}); }

 private:
  QTimer poll_;
  QStringList seen_;
  QString answer_;
};

inline const QString kDone = QStringLiteral("korvan: 処理が終わりました。");

template <class Widget = QLineEdit>
Widget* Find(MainWindow& w, const char* name) { return w.findChild<Widget*>(QLatin1String(name)); }

inline QString Q(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

// The boxes as the batch program's options (`--sites 3`, `--site-col 1,4`)
// would fill them, the data file picked, and the report `name` in `outFolder`.
inline void Fill(MainWindow& w, const std::vector<std::string>& args, const std::filesystem::path& outFolder,
                 const QString& name) {
  static const std::map<std::string, std::pair<const char*, const char*>> kBoxes = {  // start or count, width
      {"--sites", {"Text8", nullptr}},     {"--blocks", {"Text1", nullptr}},     {"--families", {"Text2", nullptr}},
      {"--records", {"Text3", nullptr}},   {"--age", {"Text5", nullptr}},        {"--traits", {"Text6", nullptr}},
      {"--site-col", {"Text4", "Text13"}}, {"--block-col", {"Text9", "Text14"}}, {"--family-col", {"Text10", "Text15"}},
      {"--age-col", {"Text11", "Text16"}}, {"--trait-col", {"Text12", "Text17"}}};
  for (std::size_t n = 0; n + 1 < args.size(); n += 2) {
    const QString value = QString::fromStdString(args[n + 1]);
    if (args[n] == "--data") {
      const std::filesystem::path data = args[n + 1];
      Find<FolderList>(w, "Dir1")->SetFolder(Q(data.parent_path()));
      QVERIFY(Find<FileList>(w, "File1")->SelectName(Q(data.filename())));
    } else if (const auto [start, width] = kBoxes.at(args[n]); width == nullptr) {
      Find(w, start)->setText(value);
    } else {
      Find(w, start)->setText(value.section(',', 0, 0));
      Find(w, width)->setText(value.section(',', 1));
    }
  }
  Find<FolderList>(w, "Dir2")->SetFolder(Q(outFolder));
  Find(w, "Text7")->setText(name);
}

// A window shown as the program shows it.
inline std::unique_ptr<MainWindow> ShownWindow() {
  auto window = std::make_unique<MainWindow>();
  window->show();
  return window;
}

inline void Start(MainWindow& w) { QTest::mouseClick(Find<QPushButton>(w, "Command1"), Qt::LeftButton); }

inline bool WaitForRun(MainWindow& w) {
  QSignalSpy finished(&w, &MainWindow::runFinished);
  return finished.count() > 0 || finished.wait(300'000);
}

// The window's clearing rule replayed on everything a run writes, from the
// lines the window shows before it.
class RecordingSink final : public ProgressSink {
 public:
  explicit RecordingSink(QStringList screen) : screen_(std::move(screen)) {}
  void WriteLine(std::string_view line) override { screen_ << QString::fromUtf8(line.data(), qsizetype(line.size())); }
  void Clear() override {
    screen_.clear();
    ++clears_;
  }
  QStringList screen_;
  int clears_ = 0;
};

// Two runs never end in the same second by design.
inline QStringList WithoutTimes(QStringList lines) {
  static const QRegularExpression time(QStringLiteral("\\d\\d:\\d\\d:\\d\\d"));
  for (QString& line : lines) line.replace(time, QStringLiteral("hh:mm:ss"));
  return lines;
}

// Every file under `folder` with its contents: a failed run changes none and
// leaves no temporary file.
inline std::map<std::string, std::string> Snapshot(const std::filesystem::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
    files[entry.path().string()] = entry.is_regular_file() ? ReadFile(entry.path()) : "(folder)";
  return files;
}

}  // namespace korvan::test
