// The main window: a welcome page, the grouped list of every volume with
// its drive letter and Mount/Dismount link, and the bottom panel.
#pragma once

#include <QComboBox>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "devices/uDeviceManager.h"
#include "devices/uTaskBarProgress.h"
#include "ui/mount_link.h"
#include "ui/uIconIndexAndGroup.h"

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
// closes, whichever way.
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
  QAction* miToTray = nullptr;
  QAction* miDriver = nullptr;
  QAction* miAbout = nullptr;
  QAction* miShowProgram = nullptr;
  QAction* miExitTray = nullptr;
  QSystemTrayIcon* tray = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildWelcomePage();
  void BuildListPage();
  void BuildBottomPanel();
  void BuildMenus();
  void UpdatePageControls();
  void ShowAccessNotice();
  // Places the box over its row's letter cell; false when the cell is out
  // of sight.
  bool PlaceLetterBox();
  void lvDiskMouseDown(const QPoint& point);
  void lvDiskDblClick(const QPoint& point);
  // Runs `work` on a worker thread while this thread keeps the windows
  // painting; rethrows what the work threw.
  void RunWhilePumping(const std::function<void()>& work);

  bool FReady = true;
  bool FCommitLetter = true;
  bool FMountPending = false;
  std::vector<std::unique_ptr<TMountLink>> FMounts;
  std::unique_ptr<TDeviceManager> devices_;
  std::unique_ptr<TMountProvider> mountProvider_;
  std::unique_ptr<TTaskBarProgress> taskBar_;
  std::function<void(TfmConnectImage&)> prepareConnectDialog_;
  TPictureList il16_{16};
  TPictureList il32_{32};
  TPictureList il48_{48};
  QTreeWidgetItem* letterRow_ = nullptr;
};

}  // namespace vandrel
