#include "ui/main.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QTimer>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTextBrowser>
#include <QTextDocument>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <exception>
#include <thread>

#include "common/func.h"
#include "common/log.h"
#include "common/user_prompt.h"
#include "devices/thread_window.h"
#include "platform/mount_points.h"
#include "storage/hdd_manager.h"
#include "ui/about.h"
#include "ui/connect_image.h"
#include "ui/drive_properties.h"
#include "ui/driver_status.h"
#include "ui/list_view_func.h"
#include "ui/product_name.h"
#include "storage/hdd_manager.h"

namespace vandrel {
namespace {

constexpr int kClientWidth = 638;
constexpr int kClientHeight = 494;
constexpr int kListMargin = 16;

const char* kIntroduction =
    "<h2>Welcome to Vandrel</h2>"
    "<p>Vandrel reads disks that this computer cannot read by itself: hard disks, USB sticks, memory "
    "cards, disk-image files, RAID sets and dynamic disks. It understands MBR and GPT partition tables "
    "and the NTFS, FAT and Ext2/3/4 file systems.</p>"
    "<p>Choose a volume in the list, pick a drive letter and click <b>Mount</b>: the volume's files then "
    "appear read-only in a folder of its own, and any program can copy them from there.</p>"
    "<p><b>Vandrel never writes to a disk.</b> Everything it opens, it opens for reading only, so it is "
    "safe to use on a damaged disk whose data you want to rescue.</p>"
    "<p>Click <b>Next &gt;</b> to see this computer's storage.</p>";

// Its text is set by ApplyPalette, in the palette's link colour.
QLabel* MakeLink(const QString& text, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setProperty("caption", text);
  label->setTextFormat(Qt::RichText);
  label->setCursor(Qt::PointingHandCursor);
  return label;
}

}  // namespace

void TLetterBox::hidePopup() {
  QComboBox::hidePopup();
  emit closedUp();
}

TfmMain::TfmMain(TfmMainOptions options)
    : QWidget(nullptr),
      mountProvider_(std::move(options.mounts)),
      prepareConnectDialog_(std::move(options.prepareConnectDialog)),
      openFolder_(std::move(options.openFolder)) {
  setObjectName(QStringLiteral("fmMain"));
  const std::string caption = ProductCaption();
  setWindowTitle(QString::fromStdString(caption));
  QApplication::setApplicationName(QString::fromStdString(caption));
  setMinimumSize(kClientWidth, kClientHeight);
  resize(kClientWidth + 300, kClientHeight + 60);
  setAcceptDrops(true);
  setWindowIcon(QIcon(RenderPicture("disk_0", 48, 48)));
  FReady = true;

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  NoteBook = new QStackedWidget(this);
  NoteBook->setObjectName(QStringLiteral("NoteBook"));
  layout->addWidget(NoteBook, 1);
  BuildWelcomePage();
  BuildListPage();
  NoteBook->addWidget(new QWidget(NoteBook));  // page 2 stays empty
  BuildBottomPanel();
  layout->addWidget(pnlBottom);
  BuildMenus();
  ApplyPalette();

  // The program keeps no log; the last line is the reason a failed open
  // shows.
  SetLogSink([last = lastLog_](const std::string& line, int) {
    std::lock_guard<std::mutex> guard(last->lock);
    last->text = line;
  });
  if (!openFolder_)
    openFolder_ = [](const QString& folder) { return QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); };
  devices_ = std::make_unique<TDeviceManager>(
      [](void*, int percent, const std::string& text) {
        LogText(Sprintf("%2.2d - %s", percent, text.c_str()));
        return 1;
      },
      this, options.devices);
  if (!mountProvider_) mountProvider_ = CreateMountProvider();
  NoteBook->setCurrentIndex(0);
  UpdatePageControls();
  btnNext->setFocus();
  taskBar_ = std::make_unique<TXpTaskBarProgress>(this);
  SetMainTaskBarProgress(taskBar_.get());
  if (QSystemTrayIcon::isSystemTrayAvailable()) tray->show();
}

TfmMain::~TfmMain() {
  SetMainTaskBarProgress(nullptr);
  // Services first (each removes its mount), then the storage they read.
  for (auto& mount : FMounts) mount->Finish();
  FMounts.clear();
  devices_.reset();
}

void TfmMain::BuildWelcomePage() {
  pnlWelcome = new QWidget(NoteBook);
  pnlWelcome->setObjectName(QStringLiteral("pnlWelcome"));
  pnlWelcome->setAutoFillBackground(true);
  // The text's colours come from the palette, so dark themes read well.
  pnlWelcome->setBackgroundRole(QPalette::Base);
  auto* row = new QHBoxLayout(pnlWelcome);
  row->setContentsMargins(0, 0, 0, 0);
  ImgWelcome = new QLabel(pnlWelcome);
  ImgWelcome->setObjectName(QStringLiteral("ImgWelcome"));
  ImgWelcome->setPixmap(RenderPicture("welcome", 200, 400));
  ImgWelcome->setFixedWidth(200);
  ImgWelcome->setAlignment(Qt::AlignTop);
  ImgWelcome->setStyleSheet(QStringLiteral("background:#0b3d73"));
  row->addWidget(ImgWelcome);
  Memo1 = new QTextBrowser(pnlWelcome);
  Memo1->setObjectName(QStringLiteral("Memo1"));
  Memo1->setFrameShape(QFrame::NoFrame);
  // Enter belongs to Next >, not to the text.
  Memo1->setFocusPolicy(Qt::NoFocus);
  Memo1->setHtml(QString::fromUtf8(kIntroduction));
  QFont font = Memo1->font();
  font.setPixelSize(16);
  Memo1->setFont(font);
  // Margins, not a style sheet: a styled widget keeps the palette it had
  // when it was styled.
  Memo1->document()->setDocumentMargin(16);
  row->addWidget(Memo1, 1);
  NoteBook->addWidget(pnlWelcome);
}

void TfmMain::BuildListPage() {
  auto* page = new QWidget(NoteBook);
  page->setObjectName(QStringLiteral("tsMain"));
  auto* column = new QVBoxLayout(page);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  auto* header = new QWidget(page);
  header->setObjectName(QStringLiteral("pnlHeader"));
  header->setAutoFillBackground(true);
  header->setBackgroundRole(QPalette::Base);
  header->setFixedHeight(64);
  auto* headerRow = new QHBoxLayout(header);
  headerRow->setContentsMargins(kListMargin, 8, kListMargin, 8);
  img_logo = new QLabel(header);
  img_logo->setObjectName(QStringLiteral("img_logo"));
  img_logo->setCursor(Qt::PointingHandCursor);
  img_logo->installEventFilter(this);
  headerRow->addWidget(img_logo);
  headerRow->addStretch(1);
  btRecoveryTools = new QToolButton(header);
  btRecoveryTools->setObjectName(QStringLiteral("btRecoveryTools"));
  btRecoveryTools->setText(QStringLiteral("Recovery Tools"));
  QFont bold = btRecoveryTools->font();
  bold.setBold(true);
  btRecoveryTools->setFont(bold);
  btRecoveryTools->setPopupMode(QToolButton::InstantPopup);
  headerRow->addWidget(btRecoveryTools);
  column->addWidget(header);
  auto* line = new QFrame(page);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  column->addWidget(line);

  auto* body = new QVBoxLayout();
  body->setContentsMargins(kListMargin, kListMargin, kListMargin, kListMargin);
  body->setSpacing(8);
  lbAccess = new QLabel(page);
  lbAccess->setObjectName(QStringLiteral("lbAccess"));
  lbAccess->setWordWrap(true);
  lbAccess->setFrameShape(QFrame::StyledPanel);
  lbAccess->setMargin(6);
  lbAccess->setBackgroundRole(QPalette::ToolTipBase);
  lbAccess->setForegroundRole(QPalette::ToolTipText);
  lbAccess->setAutoFillBackground(true);
  lbAccess->hide();
  body->addWidget(lbAccess);
  lvDisk = new TGroupedListView(page);
  lvDisk->setObjectName(QStringLiteral("lvDisk"));
  lvDisk->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Size"), QStringLiteral("File System"),
                           QStringLiteral("Letter"), QStringLiteral("Mount"), QStringLiteral("Status"),
                           QStringLiteral("Source")});
  const int widths[] = {202, 100, 100, 50, 75, 75, 160};
  for (int i = 0; i < kColumnCount; ++i) lvDisk->setColumnWidth(i, widths[i]);
  // The last column takes the room a wider window gives.
  lvDisk->header()->setStretchLastSection(true);
  lvDisk->headerItem()->setTextAlignment(kColumnSize, Qt::AlignRight | Qt::AlignVCenter);
  lvDisk->setContextMenuPolicy(Qt::CustomContextMenu);
  lvDisk->viewport()->installEventFilter(this);
  lvDisk->installEventFilter(this);
  lvDisk->viewport()->setMouseTracking(true);
  body->addWidget(lvDisk, 1);
  lbWhere = new QLabel(page);
  lbWhere->setObjectName(QStringLiteral("lbWhere"));
  lbWhere->setWordWrap(true);
  lbWhere->setTextInteractionFlags(Qt::TextSelectableByMouse);
  lbWhere->hide();
  body->addWidget(lbWhere);
  column->addLayout(body, 1);

  cbLetter = new TLetterBox(page);
  cbLetter->setObjectName(QStringLiteral("cbLetter"));
  cbLetter->setEditable(false);
  cbLetter->setMaxVisibleItems(26);
  cbLetter->resize(44, 21);
  cbLetter->hide();
  cbLetter->installEventFilter(this);
  // Mouse, keys and wheel all change the current entry; the popup closes
  // before Qt sets it, so leaving the box waits for the event loop.
  connect(cbLetter, &QComboBox::currentIndexChanged, this, [this] { CommitLetter(); });
  connect(cbLetter, &TLetterBox::closedUp, this, [this] {
    QTimer::singleShot(0, this, [this] {
      if (cbLetter->isVisible() && !cbLetter->view()->isVisible()) cbLetterExit();
    });
  });

  connect(lvDisk, &QTreeWidget::itemSelectionChanged, this, [this] {
    if (lvDisk->selectedItems().isEmpty()) cbLetterExit();
    ShowWhere();
  });
  // The box follows its cell while the list scrolls, and goes once the
  // cell leaves the visible part.
  auto follow = [this] {
    if (cbLetter->isVisible() && !PlaceLetterBox()) cbLetter->hide();
  };
  connect(lvDisk->verticalScrollBar(), &QScrollBar::valueChanged, this, follow);
  connect(lvDisk->horizontalScrollBar(), &QScrollBar::valueChanged, this, follow);
  connect(lvDisk->header(), &QHeaderView::sectionResized, this, [this] { cbLetter->hide(); });
  connect(lvDisk, &QWidget::customContextMenuRequested, this, [this](const QPoint& point) {
    if (!FReady) return;
    QTreeWidgetItem* row = lvDisk->itemAt(point);
    if (row != nullptr && !lvDisk->IsGroupRow(row)) lvDisk->setCurrentItem(row);
    // The row's own items only for a selected row.
    TStorage* storage = SelectedStorage();
    const bool mounted = FindMount(storage) != nullptr;
    miProperty->setVisible(storage != nullptr);
    miMount->setVisible(storage != nullptr && TGroupedListView::RowMountable(lvDisk->currentItem()));
    miMount->setText(mounted ? QStringLiteral("Dismount") : QStringLiteral("Mount"));
    miOpen->setVisible(mounted);
    miRemove->setVisible(devices_->AddedImageOf(storage) != nullptr);
    ppDisk->popup(lvDisk->viewport()->mapToGlobal(point));
  });
  NoteBook->addWidget(page);
}

void TfmMain::BuildBottomPanel() {
  pnlBottom = new QWidget(this);
  pnlBottom->setObjectName(QStringLiteral("pnlBottom"));
  auto* row = new QHBoxLayout(pnlBottom);
  row->setContentsMargins(kListMargin, 8, kListMargin, 10);
  lnkMenu = MakeLink(QStringLiteral("Menu"), pnlBottom);
  lnkMenu->setObjectName(QStringLiteral("lnkMenu"));
  lnkRefresh = MakeLink(QStringLiteral("Refresh"), pnlBottom);
  lnkRefresh->setObjectName(QStringLiteral("lnkRefresh"));
  lnkRefresh->hide();
  row->addWidget(lnkMenu);
  row->addWidget(lnkRefresh);
  row->addStretch(1);
  btnBack = new QPushButton(QStringLiteral("< Back"), pnlBottom);
  btnBack->setObjectName(QStringLiteral("btnBack"));
  btnNext = new QPushButton(QStringLiteral("Next >"), pnlBottom);
  btnNext->setObjectName(QStringLiteral("btnNext"));
  btnNext->setDefault(true);
  btnClose = new QPushButton(QStringLiteral("Close"), pnlBottom);
  btnClose->setObjectName(QStringLiteral("btnClose"));
  for (QPushButton* button : {btnBack, btnNext, btnClose}) {
    button->setMinimumWidth(80);
    row->addWidget(button);
  }
  row->insertSpacing(row->count() - 1, 10);
  connect(btnBack, &QPushButton::clicked, this, [this] { btnBackClick(); });
  connect(btnNext, &QPushButton::clicked, this, [this] { btnNextClick(); });
  connect(btnClose, &QPushButton::clicked, this, [this] { close(); });
  connect(lnkMenu, &QLabel::linkActivated, this, [this] {
    if (FReady) ppMenu->popup(lnkMenu->mapToGlobal(QPoint(0, lnkMenu->height())));
  });
  connect(lnkRefresh, &QLabel::linkActivated, this, [this] { RefreshDiskList(false); });
}

void TfmMain::BuildMenus() {
  ppDisk = new QMenu(this);
  ppDisk->setObjectName(QStringLiteral("ppDisk"));
  miRefresh = ppDisk->addAction(QStringLiteral("Refresh"));
  miRefresh->setObjectName(QStringLiteral("miRefresh"));
  QFont bold = miRefresh->font();
  bold.setBold(true);
  miRefresh->setFont(bold);
  miRefresh->setShortcut(QKeySequence(Qt::Key_F5));
  miMountImage = ppDisk->addAction(QStringLiteral("Mount Image"));
  miMountImage->setObjectName(QStringLiteral("miMountImage"));
  miMountImage->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
  miProperty = ppDisk->addAction(QStringLiteral("Properties"));
  miProperty->setObjectName(QStringLiteral("miProperty"));
  miProperty->setShortcut(QKeySequence(Qt::ALT | Qt::Key_Return));
  for (QAction* action : {miRefresh, miMountImage, miProperty}) {
    action->setShortcutContext(Qt::WindowShortcut);
    addAction(action);
  }
  ppDisk->insertSeparator(miRefresh);
  // Enter and Delete on the list mount and dismount (the list's key
  // handler); the menu names the keys.
  miMount = new QAction(QStringLiteral("Mount"), ppDisk);
  miMount->setObjectName(QStringLiteral("miMount"));
  miMount->setShortcut(QKeySequence(Qt::Key_Return));
  miMount->setShortcutContext(Qt::WidgetShortcut);
  miOpen = new QAction(QStringLiteral("Open"), ppDisk);
  miOpen->setObjectName(QStringLiteral("miOpen"));
  miRemove = new QAction(QStringLiteral("Remove image"), ppDisk);
  miRemove->setObjectName(QStringLiteral("miRemove"));
  ppDisk->insertActions(ppDisk->actions().first(), {miMount, miOpen, miRemove});
  connect(miRefresh, &QAction::triggered, this, [this] { RefreshDiskList(false); });
  connect(miMountImage, &QAction::triggered, this, [this] { MountImage(); });
  connect(miProperty, &QAction::triggered, this, [this] { miPropertyClick(); });
  connect(miMount, &QAction::triggered, this, [this] {
    if (QTreeWidgetItem* row = lvDisk->currentItem())
      MountOrDismount(TGroupedListView::RowStorage(row), row->text(kColumnLetter).toStdString());
  });
  connect(miOpen, &QAction::triggered, this, [this] { OpenMountFolder(SelectedStorage()); });
  connect(miRemove, &QAction::triggered, this, [this] { RemoveImage(devices_->AddedImageOf(SelectedStorage())); });

  ppMenu = new QMenu(this);
  ppMenu->setObjectName(QStringLiteral("ppMenu"));
  connect(ppMenu->addAction(QStringLiteral("Refresh")), &QAction::triggered, this, [this] { RefreshDiskList(false); });
  connect(ppMenu->addAction(QStringLiteral("Mount Image")), &QAction::triggered, this, [this] { MountImage(); });
  ppMenu->addSeparator();
  miToTray = ppMenu->addAction(QStringLiteral("To Tray"));
  connect(miToTray, &QAction::triggered, this, [this] { HideToTray(); });
  miDriver = ppMenu->addAction(QStringLiteral("Driver"));
  connect(miDriver, &QAction::triggered, this, [this] { miDriverClick(); });
  ppMenu->addSeparator();
  miAbout = ppMenu->addAction(QStringLiteral("About"));
  connect(miAbout, &QAction::triggered, this, [this] { miAboutClick(); });

  ppTools = new QMenu(this);
  ppTools->setObjectName(QStringLiteral("ppTools"));
  QAction* cli = ppTools->addAction(QStringLiteral("vandrel-cli: the same reader for scripts and servers"));
  connect(cli, &QAction::triggered, this, [] {
    CurrentPrompt().Show(PromptKind::kInformation, "Recovery Tools",
                         "vandrel-cli lists storage, prints partition tables and copies files from the command "
                         "line. Run \"vandrel-cli --help\" beside this program for its commands.");
  });
  btRecoveryTools->setMenu(ppTools);

  ppTrayMenu = new QMenu(this);
  ppTrayMenu->setObjectName(QStringLiteral("ppTrayMenu"));
  miShowProgram = ppTrayMenu->addAction(QStringLiteral("Show"));
  miShowProgram->setFont(bold);
  connect(miShowProgram, &QAction::triggered, this, [this] { ShowFromTray(); });
  connect(ppTrayMenu->addAction(QStringLiteral("Driver Status")), &QAction::triggered, this,
          [this] { miDriverClick(); });
  ppTrayMenu->addSeparator();
  connect(ppTrayMenu->addAction(QStringLiteral("About")), &QAction::triggered, this, [this] { miAboutClick(); });
  ppTrayMenu->addAction(QStringLiteral("Recovery Tools"))->setMenu(ppTools);
  ppTrayMenu->addSeparator();
  miExitTray = ppTrayMenu->addAction(QStringLiteral("Exit"));
  connect(miExitTray, &QAction::triggered, this, [this] { close(); });

  tray = new QSystemTrayIcon(QIcon(RenderPicture("disk_0", 32, 32)), this);
  tray->setObjectName(QStringLiteral("tray"));
  tray->setToolTip(windowTitle());
  tray->setContextMenu(ppTrayMenu);
  connect(tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) ShowFromTray();
  });
}

void TfmMain::UpdatePageControls() {
  const int page = NoteBook->currentIndex();
  btnNext->setEnabled(page != 1);
  btnBack->setVisible(page != 0);
  lnkMenu->setVisible(page == 1);
}

void TfmMain::btnNextClick() {
  if (!FReady || NoteBook->currentIndex() >= NoteBook->count() - 1) return;
  NoteBook->setCurrentIndex(NoteBook->currentIndex() + 1);
  UpdatePageControls();
  if (NoteBook->currentIndex() == 1) {
    RefreshDiskList(false);
    // Next > is disabled now; the keys belong to the list, not to Close.
    lvDisk->setFocus();
    if (lvDisk->currentItem() == nullptr && !lvDisk->Rows().isEmpty()) lvDisk->setCurrentItem(lvDisk->Rows().first());
  }
}

void TfmMain::btnBackClick() {
  if (!FReady || NoteBook->currentIndex() == 0) return;
  cbLetter->hide();
  NoteBook->setCurrentIndex(NoteBook->currentIndex() - 1);
  UpdatePageControls();
  if (NoteBook->currentIndex() == 0) btnNext->setFocus();
}

void TfmMain::RunWhilePumping(const std::function<void()>& work) {
  QEventLoop loop;
  std::exception_ptr failure;
  std::thread worker([&] {
    try {
      work();
    } catch (...) {
      failure = std::current_exception();
    }
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  // Input is ignored while FReady is false; the loop only keeps painting.
  loop.exec(QEventLoop::ExcludeUserInputEvents);
  worker.join();
  if (failure) std::rethrow_exception(failure);
}

void TfmMain::RefreshDiskList(bool force) {
  if (!FReady && !force) return;
  FReady = false;
  cbLetter->hide();
  letterRow_ = nullptr;
  try {
    RunWhilePumping([this] {
      devices_->ScanWithProgress(this);
      TDeviceEnumWindow window("Searching disks available for mount", this);
      devices_->RefreshAll();
      window.Close();
    });
    FillDiskList(*lvDisk, *devices_, il32_);
    // Names and types as wide as they need, up to a point; never narrower
    // than the user made them.
    lvDisk->WidenToContent(kColumnName, 300);
    lvDisk->WidenToContent(kColumnFileSystem, 210);
    for (QTreeWidgetItem* row : lvDisk->Rows()) {
      if (!TGroupedListView::RowMountable(row)) continue;
      row->setText(kColumnMount, QStringLiteral("Mount"));
      row->setText(kColumnLetter, QString());
      row->setText(kColumnStatus, QString());
      if (TMountLink* mount = FindMount(TGroupedListView::RowStorage(row))) {
        const QString folder = QString::fromStdString(FilesFolder(*mount));
        row->setText(kColumnLetter, QString::fromStdString(mount->MountPoint()));
        row->setText(kColumnMount, QStringLiteral("Dismount"));
        row->setText(kColumnStatus, QStringLiteral("Mounted"));
        row->setToolTip(kColumnStatus, QStringLiteral("Files in %1").arg(folder));
        row->setToolTip(kColumnName, row->toolTip(kColumnName) + QStringLiteral("\nMounted: files in %1").arg(folder));
      }
    }
    ShowAccessNotice();
    ShowWhere();
  } catch (const std::exception& error) {
    LogText(std::string("Refresh: ") + error.what());
  } catch (...) {
    LogText("Refresh failed");
  }
  FReady = true;
}

void TfmMain::ShowAccessNotice() {
  const std::vector<std::string> failures = THddManager::AccessFailures();
  if (failures.empty()) {
    lbAccess->hide();
    return;
  }
  std::string names;
  for (const auto& name : failures) names += (names.empty() ? "" : ", ") + name;
  // Root that is still refused sits in a container or sandbox: group
  // membership would not help there.
  const char* advice = platform::RunningAsRoot()
                           ? "The system refuses access even to root (a container or sandbox?)."
                           : "Reading physical disks needs root or membership of the \"disk\" group: run Vandrel "
                             "with sudo, or run \"sudo usermod -aG disk $USER\" and log in again.";
  lbAccess->setText(QString::fromStdString(
      Sprintf("%zu disk(s) could not be opened for reading (%s). %s Disk-image files can still be added with "
              "Mount Image (Ctrl+M).",
              failures.size(), names.c_str(), advice)));
  lbAccess->show();
}

TMountLink* TfmMain::FindMount(TStorage* storage) {
  if (storage == nullptr) return nullptr;
  for (auto& mount : FMounts)
    if (mount->Storage() == storage) return mount.get();
  return nullptr;
}

QTreeWidgetItem* TfmMain::FindRow(TStorage* storage) {
  for (QTreeWidgetItem* row : lvDisk->Rows())
    if (TGroupedListView::RowStorage(row) == storage) return row;
  return nullptr;
}

std::string TfmMain::FreeLetters() { return FreeDriveLetters(mountProvider_->UsedLetters()); }

void TfmMain::FillLetters() {
  cbLetter->clear();
  for (char letter : FreeLetters()) cbLetter->addItem(QStringLiteral("%1:").arg(QChar(letter)));
}

void TfmMain::ShowLetterBox(QTreeWidgetItem* row) {
  if (!FReady || row == nullptr || lvDisk->IsGroupRow(row)) return;
  if (FindMount(TGroupedListView::RowStorage(row)) != nullptr || !TGroupedListView::RowMountable(row)) return;
  letterRow_ = nullptr;  // filling the box must not write into any row
  FillLetters();
  cbLetter->setCurrentIndex(cbLetter->findText(row->text(kColumnLetter)));
  letterRow_ = row;
  if (PlaceLetterBox()) {
    cbLetter->show();
    cbLetter->raise();
  }
}

bool TfmMain::PlaceLetterBox() {
  if (letterRow_ == nullptr) return false;
  const QRect cell = lvDisk->visualItemRect(letterRow_);
  const int left = lvDisk->header()->sectionViewportPosition(kColumnLetter);
  const int width = lvDisk->columnWidth(kColumnLetter);
  const QPoint origin = lvDisk->viewport()->mapTo(cbLetter->parentWidget(), QPoint(0, 0));
  const int top = (cell.top() + cell.bottom() - cbLetter->height()) / 2 + 2;
  cbLetter->setGeometry(origin.x() + left, origin.y() + top, width, cbLetter->height());
  // Hidden once the cell scrolls out of the list's visible part.
  const QRect visible = lvDisk->viewport()->rect();
  return !(cell.isEmpty() || top < visible.top() - 15 || top + cbLetter->height() > visible.bottom() + 15 ||
           left < -15 || left + width > visible.right() + 15);
}

void TfmMain::CommitLetter() {
  if (letterRow_ != nullptr && cbLetter->isVisible() && cbLetter->currentIndex() >= 0)
    letterRow_->setText(kColumnLetter, cbLetter->currentText());
}

void TfmMain::cbLetterExit() {
  CommitLetter();
  const bool hadFocus = cbLetter->hasFocus();
  cbLetter->hide();
  letterRow_ = nullptr;
  if (hadFocus && NoteBook->currentIndex() == 1) lvDisk->setFocus();
}

void TfmMain::MountOrDismount(TStorage* storage, const std::string& chosen) {
  if (!FReady || storage == nullptr) return;
  FReady = false;
  cbLetter->hide();
  letterRow_ = nullptr;
  std::string letter = chosen;
  try {
    if (TMountLink* mount = FindMount(storage)) {
      if (CurrentPrompt().Show(PromptKind::kQuestion, "Question", "Do you want to dismount the device?")) {
        mount->Finish();
        std::erase_if(FMounts, [mount](const auto& item) { return item.get() == mount; });
      }
      RefreshDiskList(true);
      if (QTreeWidgetItem* row = FindRow(storage)) lvDisk->setCurrentItem(row);
    } else {
      if (letter.empty()) {
        // No letter chosen: the first free one.
        const std::string free = FreeLetters();
        if (!free.empty()) letter = std::string{free.front(), ':'};
      }
      if (letter.empty()) {
        CurrentPrompt().Show(PromptKind::kError, "Error",
                             "Every drive letter from A: to Z: is in use. Dismount a volume first.");
        FReady = true;
        return;
      }
      const char wanted = static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0])));
      if (FreeLetters().find(wanted) == std::string::npos) {
        CurrentPrompt().Show(PromptKind::kError, "Error", letter + " already in use");
      } else {
        // Without a file system the raw volume is still mounted: its
        // Storage file can be copied whole.
        devices_->CreateReader(storage, true, TReaderChoice::kByKind);
        std::string error;
        std::unique_ptr<TMountLink> link = mountProvider_->Mount(storage, *devices_, letter, error);
        if (link)
          FMounts.push_back(std::move(link));
        else
          ShowFailure(error);
        RefreshDiskList(true);
        if (QTreeWidgetItem* row = FindRow(storage)) lvDisk->setCurrentItem(row);
      }
    }
  } catch (const std::exception& error) {
    CurrentPrompt().Show(PromptKind::kError, "Error", std::string("Mount error: ") + error.what());
  }
  FReady = true;
}

bool TfmMain::IsOnMountLink(const QPoint& point, QTreeWidgetItem* row, int column) {
  if (row == nullptr || column != kColumnMount || lvDisk->IsGroupRow(row)) return false;
  const QRect rowRect = lvDisk->visualItemRect(row);
  const QRect cell(lvDisk->header()->sectionViewportPosition(kColumnMount), rowRect.top(),
                   lvDisk->columnWidth(kColumnMount), rowRect.height());
  return TDiskListDelegate::LinkTextRect(cell, row->text(kColumnMount), lvDisk->font()).contains(point);
}

void TfmMain::lvDiskMouseDown(const QPoint& point) {
  if (!FReady) return;
  const int column = lvDisk->header()->logicalIndexAt(point.x());
  QTreeWidgetItem* row = lvDisk->itemAt(point);
  if (row != nullptr && lvDisk->IsGroupRow(row)) row = nullptr;
  if (IsOnMountLink(point, row, column)) {
    lvDisk->setCurrentItem(row);
    MountOrDismount(TGroupedListView::RowStorage(row), row->text(kColumnLetter).toStdString());
  } else if (row != nullptr && column == kColumnLetter) {
    lvDisk->setCurrentItem(row);
    ShowLetterBox(row);
  } else {
    cbLetterExit();
  }
}

void TfmMain::lvDiskDblClick(const QPoint& point) {
  QTreeWidgetItem* row = lvDisk->itemAt(point);
  if (row == nullptr || lvDisk->IsGroupRow(row)) return;
  OpenMountFolder(TGroupedListView::RowStorage(row));
}

std::string TfmMain::FilesFolder(const TMountLink& mount) {
  const std::string files = mount.Folder() + "/FileSystem";
  return QFileInfo(QString::fromStdString(files)).isDir() ? files : mount.Folder();
}

void TfmMain::OpenMountFolder(TStorage* storage) {
  TMountLink* mount = FindMount(storage);
  if (mount == nullptr) return;
  const std::string folder = FilesFolder(*mount);
  if (openFolder_(QString::fromStdString(folder))) return;
  if (CurrentPrompt().Show(PromptKind::kQuestion, "Open",
                           "No file manager could be started to show " + folder +
                               ".\n\nCopy the folder's path to the clipboard, to paste it into a program of "
                               "your choice?"))
    QApplication::clipboard()->setText(QString::fromStdString(folder));
}

void TfmMain::RemoveImage(TStorage* image) {
  if (!FReady || image == nullptr) return;
  std::vector<TMountLink*> mounted;
  std::string letters;
  for (const auto& mount : FMounts) {
    if (!TDeviceManager::ReadsFrom(mount->Storage(), image)) continue;
    mounted.push_back(mount.get());
    letters += (letters.empty() ? "" : ", ") + mount->MountPoint();
  }
  const QString file = QFileInfo(QString::fromStdString(image->Path)).fileName();
  const std::string name = file.isEmpty() ? image->GetName(true) : file.toStdString();
  if (!mounted.empty() &&
      !CurrentPrompt().Show(PromptKind::kQuestion, "Remove image",
                            name + " is mounted as " + letters + ". Dismount " +
                                (mounted.size() == 1 ? "it" : "them") + " and remove the image from the list?"))
    return;
  FReady = false;
  cbLetter->hide();
  letterRow_ = nullptr;
  try {
    for (TMountLink* mount : mounted) {
      mount->Finish();
      std::erase_if(FMounts, [mount](const auto& item) { return item.get() == mount; });
    }
    // Not while painting: the rows still point at what goes.
    devices_->RemoveImage(image);
  } catch (const std::exception& error) {
    ShowFailure("Could not remove " + name + ": " + error.what());
  }
  RefreshDiskList(true);
  FReady = true;
}

TStorage* TfmMain::SelectedStorage() const {
  QList<QTreeWidgetItem*> selected = lvDisk->selectedItems();
  return selected.isEmpty() ? nullptr : TGroupedListView::RowStorage(selected.first());
}

void TfmMain::ShowWhere() {
  TMountLink* mount = FindMount(SelectedStorage());
  if (mount == nullptr) {
    lbWhere->hide();
    return;
  }
  const std::string folder = FilesFolder(*mount);
  const bool files = folder != mount->Folder();
  lbWhere->setText(QString::fromStdString(
      files ? mount->MountPoint() + " is mounted: its files are in " + folder +
                  " (double-click the row, or right-click and Open, to see them)."
            : mount->MountPoint() + " is mounted without a file system Vandrel can read: the raw volume is the "
                  "file " + mount->Folder() + "/Storage."));
  lbWhere->show();
}

void TfmMain::ShowFailure(const std::string& text) { CurrentPrompt().Show(PromptKind::kError, "Error", text); }

bool TfmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == lvDisk->viewport()) {
    if (event->type() == QEvent::MouseButtonPress) {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() == Qt::LeftButton) {
        // Select first, as a click on a row does, then act on it.
        QTreeWidgetItem* row = lvDisk->itemAt(mouse->position().toPoint());
        const bool groupRow = row != nullptr && lvDisk->IsGroupRow(row);
        if (row != nullptr && !groupRow) lvDisk->setCurrentItem(row);
        // Mounting rebuilds the list: `row` may be gone after this.
        lvDiskMouseDown(mouse->position().toPoint());
        return groupRow;  // group captions take no selection
      }
    } else if (event->type() == QEvent::MouseButtonDblClick) {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() == Qt::LeftButton) lvDiskDblClick(mouse->position().toPoint());
    } else if (event->type() == QEvent::MouseMove) {
      auto* mouse = static_cast<QMouseEvent*>(event);
      const QPoint point = mouse->position().toPoint();
      const bool onLink = FReady && IsOnMountLink(point, lvDisk->itemAt(point), lvDisk->header()->logicalIndexAt(point.x()));
      lvDisk->viewport()->setCursor(onLink ? Qt::PointingHandCursor : Qt::ArrowCursor);
    } else if (event->type() == QEvent::Resize) {
      cbLetter->hide();
    }
  } else if (watched == lvDisk && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    const bool plain = key->modifiers() == Qt::NoModifier || key->modifiers() == Qt::KeypadModifier;
    if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && plain && FReady) {
      if (QTreeWidgetItem* row = lvDisk->currentItem(); row != nullptr && TGroupedListView::RowMountable(row))
        MountOrDismount(TGroupedListView::RowStorage(row), row->text(kColumnLetter).toStdString());
      return true;
    }
    if (key->key() == Qt::Key_Delete && plain && FReady) {
      if (TStorage* storage = TGroupedListView::RowStorage(lvDisk->currentItem()); FindMount(storage) != nullptr)
        MountOrDismount(storage, {});
      return true;
    }
    if (key->key() == Qt::Key_F2 && FReady) {
      // In-place editing of a row means choosing its letter.
      QTreeWidgetItem* row = lvDisk->currentItem();
      ShowLetterBox(row);
      if (cbLetter->isVisible()) cbLetter->showPopup();
      return true;
    }
  } else if (watched == cbLetter && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter || key->key() == Qt::Key_Escape) {
      cbLetterExit();
      return true;
    }
  } else if (watched == cbLetter && event->type() == QEvent::FocusOut) {
    if (!cbLetter->view()->isVisible() && cbLetter->isVisible()) cbLetterExit();
  } else if (watched == img_logo && event->type() == QEvent::MouseButtonRelease) {
    miAboutClick();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void TfmMain::miPropertyClick() {
  if (!FReady) return;
  QList<QTreeWidgetItem*> selected = lvDisk->selectedItems();
  TStorage* storage = selected.isEmpty() ? nullptr : TGroupedListView::RowStorage(selected.first());
  if (storage == nullptr) return;
  TfmDriveProperties dialog(this, *devices_);
  dialog.ShowStorage(storage, &il16_, &il48_, &il32_);
  dialog.exec();
}

void TfmMain::miAboutClick() {
  if (!FReady) return;
  TfmAbout dialog(this);
  dialog.exec();
}

void TfmMain::miDriverClick() {
  if (!FReady) return;
  TfmDriverStatus dialog(this);
  dialog.exec();
}

void TfmMain::MountImage() {
  if (!FReady) return;
  std::string added;
  {
    TfmConnectImage dialog(this);
    // The dialog stays open on a file that does not open, so its name can
    // be corrected; only files that opened go into the history.
    dialog.OpenImage = [this, &added](const std::string& path, std::string& error) {
      if (AddImage(path, error)) added = path;
      return error.empty();
    };
    if (prepareConnectDialog_) prepareConnectDialog_(dialog);
    dialog.exec();
  }
  if (!added.empty()) {
    RefreshDiskList(false);
    SelectFirstRowOf(added);
  }
}

void TfmMain::SelectFirstRowOf(const std::string& source) {
  lvDisk->setFocus();
  // The new image's first volume, so Enter mounts it.
  for (QTreeWidgetItem* row : lvDisk->Rows())
    if (SourceOf(TGroupedListView::RowStorage(row)) == source) {
      lvDisk->setCurrentItem(row);
      return;
    }
}

bool TfmMain::AddImage(const std::string& path, std::string& error) {
  error.clear();
  // A split image ("base_____*part1*part2") names no single file.
  if (!path.starts_with(kImageListPrefix)) {
    const QFileInfo file(QString::fromStdString(path));
    if (!file.exists())
      error = "The file " + path + " does not exist. Check its name and folder, or choose it with Browse.";
    else if (file.isDir())
      error = path + " is a folder. Choose the image file inside it.";
    else if (!file.isReadable())
      error = "The file " + path + " cannot be read: permission denied. Run Vandrel as a user who may read it.";
    else if (file.isFile() && file.size() == 0)
      error = "The file " + path + " is empty (0 bytes): it holds no disk image.";
    if (!error.empty()) return false;
  }
  {
    std::lock_guard<std::mutex> guard(lastLog_->lock);
    lastLog_->text.clear();
  }
  TStorage* added = nullptr;
  try {
    added = devices_->AddByPath(path);
  } catch (const std::exception& failure) {
    error = "The file " + path + " could not be opened: " + failure.what();
    return false;
  }
  if (added == nullptr) {
    std::lock_guard<std::mutex> guard(lastLog_->lock);
    error = "The file " + path + " could not be opened as a disk image" +
            (lastLog_->text.empty() ? std::string(".") : ": " + lastLog_->text);
    return false;
  }
  return true;
}

void TfmMain::AddImages(const QStringList& paths) {
  if (!FReady || paths.isEmpty()) return;
  std::string added;
  for (const QString& path : paths) {
    std::string error;
    if (AddImage(path.toStdString(), error)) {
      if (added.empty()) added = path.toStdString();
      RememberImage(path.toStdString());
    } else {
      ShowFailure(error);
    }
  }
  if (added.empty()) return;
  if (NoteBook->currentIndex() != 1)
    btnNextClick();
  else
    RefreshDiskList(false);
  SelectFirstRowOf(added);
}

void TfmMain::dragEnterEvent(QDragEnterEvent* event) {
  if (FReady && event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TfmMain::dropEvent(QDropEvent* event) {
  QStringList paths;
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile()) paths << url.toLocalFile();
  event->acceptProposedAction();
  // Message boxes must not run inside the drop.
  QTimer::singleShot(0, this, [this, paths] { AddImages(paths); });
}

void TfmMain::HideToTray() {
  if (tray != nullptr && QSystemTrayIcon::isSystemTrayAvailable()) {
    tray->show();
    hide();
  } else {
    // Without a notification area the window could not come back.
    showMinimized();
  }
}

void TfmMain::ShowFromTray() {
  if (tray != nullptr) tray->hide();
  showNormal();
  raise();
  activateWindow();
}

void TfmMain::ApplyPalette() {
  // Drawn pictures and the links' rich text keep the colours they were
  // made with: make them again in this palette's.
  img_logo->setPixmap(RenderPicture("logo", 200, 48, palette().color(QPalette::Text)));
  for (QLabel* link : {lnkMenu, lnkRefresh})
    link->setText(QStringLiteral("<a href=\"#\" style=\"color:%1\">%2</a>")
                      .arg(palette().color(QPalette::Link).name(), link->property("caption").toString()));
}

void TfmMain::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::PaletteChange && lnkMenu != nullptr) ApplyPalette();
  if (event->type() == QEvent::WindowStateChange && isMinimized() && QSystemTrayIcon::isSystemTrayAvailable())
    QMetaObject::invokeMethod(this, [this] { HideToTray(); }, Qt::QueuedConnection);
}

void TfmMain::closeEvent(QCloseEvent* event) {
  // A scan or a mount in progress must finish before the storage goes.
  if (!FReady) {
    event->ignore();
    return;
  }
  if (!FMounts.empty() &&
      !CurrentPrompt().Show(PromptKind::kQuestion, "Question",
                            "Do you really want to close the program?\r\nAll virtual disks will be dismounted.")) {
    event->ignore();
    return;
  }
  event->accept();
}

std::string TfmMain::Caption() const { return windowTitle().toStdString(); }

void TfmMain::SetCaption(const std::string& caption) {
  QMetaObject::invokeMethod(
      this, [this, text = QString::fromStdString(caption)] { setWindowTitle(text); }, Qt::QueuedConnection);
}

}  // namespace vandrel
