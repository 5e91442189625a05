#pragma once

// The pickers of the main window: a drive list, a folder list that follows it
// and a file list that follows the folder list. Folders are held as Qt paths
// ("/" separators, also on Windows) and converted only where a path leaves
// the window.

#include <QComboBox>
#include <QListWidget>
#include <QString>
#include <QStringList>

namespace korvan {

// The mounted volumes: their root folders, one item each (drive letters on
// Windows).
class DriveList : public QComboBox {
  Q_OBJECT
 public:
  explicit DriveList(QWidget* parent = nullptr);

  // Replaces the volumes offered (the mounted ones by default).
  void SetRoots(const QStringList& roots);
  QString CurrentRoot() const;
  // The root that holds `folder`: the longest root it lies under.
  QString RootOf(const QString& folder) const;
  // Shows the volume of `folder` without announcing a change of drive.
  void FollowFolder(const QString& folder);
  // Where the folder list goes when this drive is chosen: the program's
  // current folder if it lies on the drive, else the drive's root.
  QString FolderOnDrive(const QString& root) const;

 signals:
  void driveChosen(const QString& root);

 private:
  QStringList roots_;
  bool following_ = false;  // true while FollowFolder changes the item
};

// The current folder, a ".." item to go up, and its subfolders; activating
// an item (double-click or Enter) goes there.
class FolderList : public QListWidget {
  Q_OBJECT
 public:
  explicit FolderList(QWidget* parent = nullptr);

  const QString& Folder() const { return folder_; }
  // Goes to `folder`, or to its nearest existing ancestor.
  void SetFolder(const QString& folder);
  void Refresh();

 signals:
  void folderChanged(const QString& folder);

 private:
  QString folder_;
};

// The files of one folder; the selected one is the data file.
class FileList : public QListWidget {
  Q_OBJECT
 public:
  explicit FileList(QWidget* parent = nullptr);

  const QString& Folder() const { return folder_; }
  void SetFolder(const QString& folder);
  // Lists the folder again, keeping the selected file if it is still there.
  void Refresh();
  // The selected file's name, empty when none is selected.
  QString SelectedName() const;
  // Selects the file called `name`; false when the folder holds none.
  bool SelectName(const QString& name);

 private:
  QString folder_;
};

// True when `path` is `root` or lies under it (whole folder names only).
bool PathIsUnder(const QString& path, const QString& root);

}  // namespace korvan
