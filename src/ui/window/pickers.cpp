#include "ui/window/pickers.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMetaObject>
#include <QStorageInfo>
#include <QStyle>

namespace korvan {

namespace {

constexpr int kPathRole = Qt::UserRole;

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity kPathCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity kPathCase = Qt::CaseSensitive;
#endif

QString CleanFolder(const QString& folder) { return QDir::cleanPath(QDir(folder).absolutePath()); }

// Pseudo file systems and bind-mounted single files are mounted volumes too,
// but nobody keeps a data file on them; only real folders are offered, and
// the program's own volume always is.
QStringList MountedRoots() {
  QStringList roots;
  for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
    if (volume.isValid() && volume.isReady() && QFileInfo(volume.rootPath()).isDir())
      roots << CleanFolder(volume.rootPath());
  }
  roots << CleanFolder(QStorageInfo(QDir::currentPath()).rootPath());
  roots.removeDuplicates();
  roots.sort(kPathCase);
  return roots;
}

}  // namespace

bool PathIsUnder(const QString& path, const QString& root) {
  if (root.isEmpty()) return false;
  if (root.endsWith(u'/')) return path.startsWith(root, kPathCase);
  return path.compare(root, kPathCase) == 0 || path.startsWith(root + u'/', kPathCase);
}

DriveList::DriveList(QWidget* parent) : QComboBox(parent) {
  connect(this, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (!following_ && index >= 0 && index < roots_.size()) emit driveChosen(roots_[index]);
  });
  SetRoots(MountedRoots());
  FollowFolder(QDir::currentPath());
}

void DriveList::SetRoots(const QStringList& roots) {
  const QString shown = CurrentRoot();
  following_ = true;
  clear();
  roots_.clear();
  for (const QString& root : roots) {
    roots_ << CleanFolder(root);
    addItem(QDir::toNativeSeparators(roots_.back()));
  }
  const int keep = roots_.indexOf(shown);
  setCurrentIndex(keep >= 0 ? keep : 0);
  following_ = false;
}

QString DriveList::CurrentRoot() const {
  const int index = currentIndex();
  return index >= 0 && index < roots_.size() ? roots_[index] : QString();
}

QString DriveList::RootOf(const QString& folder) const {
  QString best;
  for (const QString& root : roots_) {
    if (PathIsUnder(folder, root) && root.size() > best.size()) best = root;
  }
  return best;
}

void DriveList::FollowFolder(const QString& folder) {
  const int index = roots_.indexOf(RootOf(CleanFolder(folder)));
  if (index < 0 || index == currentIndex()) return;
  following_ = true;
  setCurrentIndex(index);
  following_ = false;
}

QString DriveList::FolderOnDrive(const QString& root) const {
  const QString current = CleanFolder(QDir::currentPath());
  return RootOf(current) == root ? current : root;
}

FolderList::FolderList(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  connect(this, &QListWidget::itemActivated, this, [this](QListWidgetItem* item) {
    // Going there rebuilds the list and deletes `item`, which the view is
    // still handling: move on once the event is done.
    const QString target = item->data(kPathRole).toString();
    QMetaObject::invokeMethod(this, [this, target] { SetFolder(target); }, Qt::QueuedConnection);
  });
}

void FolderList::SetFolder(const QString& folder) {
  QString target = CleanFolder(folder);
  // A folder removed since it was shown: its nearest existing ancestor.
  while (!QFileInfo(target).isDir()) {
    const QString up = CleanFolder(target + QStringLiteral("/.."));
    if (up == target) break;
    target = up;
  }
  const bool changed = target != folder_;
  folder_ = target;
  Refresh();
  if (changed) emit folderChanged(folder_);
}

void FolderList::Refresh() {
  clear();
  const QStyle* look = style();
  auto add = [this](const QIcon& icon, const QString& text, const QString& path) {
    auto* item = new QListWidgetItem(icon, text, this);
    item->setData(kPathRole, path);
  };
  const QDir dir(folder_);
  add(look->standardIcon(QStyle::SP_DirOpenIcon), QDir::toNativeSeparators(folder_), folder_);
  if (!dir.isRoot()) {
    add(look->standardIcon(QStyle::SP_FileDialogToParent), QStringLiteral(".."),
        CleanFolder(folder_ + QStringLiteral("/..")));
  }
  const auto sort = QDir::Name | QDir::IgnoreCase | QDir::LocaleAware;
  for (const QFileInfo& sub : dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, sort))
    add(look->standardIcon(QStyle::SP_DirIcon), sub.fileName(), CleanFolder(sub.absoluteFilePath()));
}

FileList::FileList(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
}

void FileList::SetFolder(const QString& folder) {
  folder_ = CleanFolder(folder);
  clear();
  Refresh();
}

void FileList::Refresh() {
  const QString selected = SelectedName();
  clear();
  const auto sort = QDir::Name | QDir::IgnoreCase | QDir::LocaleAware;
  addItems(QDir(folder_).entryList(QDir::Files, sort));
  if (!selected.isEmpty()) SelectName(selected);
}

QString FileList::SelectedName() const {
  const QList<QListWidgetItem*> chosen = selectedItems();
  return chosen.isEmpty() ? QString() : chosen.front()->text();
}

bool FileList::SelectName(const QString& name) {
  for (int row = 0; row < count(); ++row) {
    if (item(row)->text() == name) {
      setCurrentRow(row);
      item(row)->setSelected(true);
      return true;
    }
  }
  return false;
}

}  // namespace korvan
