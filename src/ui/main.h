// The main window: a welcome page, the grouped list of every volume with
// its drive letter and Mount/Dismount link, and the bottom panel.
#pragma once

#include <QComboBox>
#include <QWidget>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devices/device_manager.h"
#include "devices/task_bar_progress.h"
#include "ui/mount_link.h"
#include "ui/icon_index_and_group.h"

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QStackedWidget;
class QSystemTrayIcon;
class QTextBrowser;
class QToolButton;
class QTreeWidgetItem;

namespace vandrel {

class TGroupedListView;
class TfmConnectImage;

// The floating letter box: a drop-down list that reports when its list
// closes, whichever way (Qt closes it before it sets the chosen entry).
class TLetterBox : public QComboBox {
  Q_OBJECT

 public:
  using QComboBox::QComboBox;
  void hidePopup() override;

 signals:
  void closedUp();
};

struct TfmMainOptions {
  DeviceManagerOptions devices;
  // The mount service; the build's own when empty.
  std::unique_ptr<TMountProvider> mounts;
  // Picks the image file in the connect dialog (tests answer it).
  std::function<void(TfmConnectImage&)> prepareConnectDialog;
  // Shows a folder in the desktop's file manager; false when none could be
  // started. QDesktopServices when empty.
  std::function<bool(const QString& folder)> openFolder;
};

class TfmMain : public QWidget, public TCaptionWindow {
  Q_OBJECT

 public:
  explicit TfmMain(TfmMainOptions options = {});
  ~TfmMain() override;

  TDeviceManager& Devices() { return *devices_; }
  const TPictureList& Pictures16() const { return il16_; }
  const TPictureList& Pictures32() const { return il32_; }
  const TPictureList& Pictures48() const { return il48_; }
  bool Ready() const { return FReady; }
  int MountCount() const { return static_cast<int>(FMounts.size()); }

  // Handlers and operations, callable from tests as from the controls.
  void btnNextClick();
  void btnBackClick();
  void RefreshDiskList(bool force);
  void ShowLetterBox(QTreeWidgetItem* row);
  void cbLetterExit();
  void MountOrDismount(TStorage* storage, const std::string& letter);
  TMountLink* FindMount(TStorage* storage);
  QTreeWidgetItem* FindRow(TStorage* storage);
  void FillLetters();
  std::string FreeLetters();
  bool IsOnMountLink(const QPoint& point, QTreeWidgetItem* row, int column);
  void HideToTray();
  void ShowFromTray();
  void MountImage();
  // Opens an image file and lists it; false with the reason in plain words.
  bool AddImage(const std::string& path, std::string& error);
  // Opens the files and shows the list page; failures are shown.
  void AddImages(const QStringList& paths);
  // The folder a double-click opens: FileSystem, or the mount folder when
  // the volume has no file system.
  static std::string FilesFolder(const TMountLink& mount);
  void OpenMountFolder(TStorage* storage);
  // Dismounts what reads from the image (asking first) and takes it out
  // of the list; the history keeps it.
  void RemoveImage(TStorage* image);
  void miPropertyClick();
  void miAboutClick();
  void miDriverClick();

  // TCaptionWindow: the caption carries the scan state.
  std::string Caption() const override;
  void SetCaption(const std::string& caption) override;

  // Controls.
  QStackedWidget* NoteBook = nullptr;
  QWidget* pnlWelcome = nullptr;
  QLabel* ImgWelcome = nullptr;
  QTextBrowser* Memo1 = nullptr;
  QLabel* img_logo = nullptr;
  QToolButton* btRecoveryTools = nullptr;
  QLabel* lbAccess = nullptr;
  TGroupedListView* lvDisk = nullptr;
  // Where the selected mounted volume's files are.
  QLabel* lbWhere = nullptr;
  TLetterBox* cbLetter = nullptr;
  QWidget* pnlBottom = nullptr;
  QLabel* lnkMenu = nullptr;
  QLabel* lnkRefresh = nullptr;
  QPushButton* btnBack = nullptr;
  QPushButton* btnNext = nullptr;
  QPushButton* btnClose = nullptr;
  QMenu* ppDisk = nullptr;
  QMenu* ppMenu = nullptr;
  QMenu* ppTrayMenu = nullptr;
  QMenu* ppTools = nullptr;
  QAction* miRefresh = nullptr;
  QAction* miMountImage = nullptr;
  QAction* miProperty = nullptr;
  QAction* miMount = nullptr;
  QAction* miOpen = nullptr;
  QAction* miRemove = nullptr;
  QAction* miToTray = nullptr;
  QAction* miDriver = nullptr;
  QAction* miAbout = nullptr;
  QAction* miShowProgram = nullptr;
  QAction* miExitTray = nullptr;
  QSystemTrayIcon* tray = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildWelcomePage();
  void BuildListPage();
  void BuildBottomPanel();
  void BuildMenus();
  void UpdatePageControls();
  void ApplyPalette();
  void ShowAccessNotice();
  // Places the box over its row's letter cell; false when the cell is out
  // of sight.
  bool PlaceLetterBox();
  void lvDiskMouseDown(const QPoint& point);
  void lvDiskDblClick(const QPoint& point);
  // The row's letter from the box's current entry.
  void CommitLetter();
  TStorage* SelectedStorage() const;
  void ShowWhere();
  void ShowFailure(const std::string& text);
  void SelectFirstRowOf(const std::string& source);
  // Runs `work` on a worker thread while this thread keeps the windows
  // painting; rethrows what the work threw.
  void RunWhilePumping(const std::function<void()>& work);

  bool FReady = true;
  std::vector<std::unique_ptr<TMountLink>> FMounts;
  std::unique_ptr<TDeviceManager> devices_;
  std::unique_ptr<TMountProvider> mountProvider_;
  std::unique_ptr<TTaskBarProgress> taskBar_;
  std::function<void(TfmConnectImage&)> prepareConnectDialog_;
  std::function<bool(const QString&)> openFolder_;
  // The last log line: the reason behind a failed open. The log is
  // written from the scan threads too.
  struct LastLogLine {
    std::mutex lock;
    std::string text;
  };
  std::shared_ptr<LastLogLine> lastLog_ = std::make_shared<LastLogLine>();
  TPictureList il16_{16};
  TPictureList il32_{32};
  TPictureList il48_{48};
  QTreeWidgetItem* letterRow_ = nullptr;
};

}  // namespace vandrel
