// The main window driven only by mouse and key events, as a user drives
// it: images added by typing their path, letters chosen in the box's
// popup, mounting by link, menu and keys, opening the files' folder and
// closing with a volume mounted.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidgetItem>
#include <QWheelEvent>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "mount/mount2_system.h"
#include "platform/mount_points.h"
#include "support/fixtures.h"
#include "ui/connect_image.h"
#include "ui/list_view_func.h"
#include "ui/main.h"
#include "ui_test_support.h"

namespace vandrel {
namespace {

using test::FakeMountProvider;
using test::RecordingPrompt;
using test::ScopedSettings;

std::vector<std::string> History() {
  std::vector<std::string> paths;
  for (int i = 0; i < kImageHistorySize; ++i) {
    const std::string value = ReadSetting(kImageHistorySection, std::to_string(i), "");
    if (!value.empty()) paths.push_back(value);
  }
  return paths;
}

// A window over image files only; the file manager is a recorder.
struct Window {
  explicit Window(bool fakeMounts) {
    TfmMainOptions options = test::ImagesOnly(fakeMounts, used, finished, fake);
    options.openFolder = [this](const QString& folder) {
      opened.push_back(folder.toStdString());
      return fileManagerWorks;
    };
    window = std::make_unique<TfmMain>(std::move(options));
    window->show();
    window->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
  }

  TGroupedListView& List() { return *window->lvDisk; }
  QTreeWidgetItem* Row(const QString& startsWith) {
    for (QTreeWidgetItem* row : List().Rows())
      if (row->text(kColumnName).startsWith(startsWith)) return row;
    return nullptr;
  }
  QPoint CellCentre(QTreeWidgetItem* row, int column) {
    const QRect rect = List().visualItemRect(row);
    return QPoint(List().header()->sectionViewportPosition(column) + List().columnWidth(column) / 2,
                  rect.center().y());
  }
  void Click(QTreeWidgetItem* row, int column) {
    QTest::mouseClick(List().viewport(), Qt::LeftButton, {}, CellCentre(row, column));
  }
  void ClickLink(QTreeWidgetItem* row) {
    const QRect rect = List().visualItemRect(row);
    const QRect cell(List().header()->sectionViewportPosition(kColumnMount), rect.top(),
                     List().columnWidth(kColumnMount), rect.height());
    QTest::mouseClick(List().viewport(), Qt::LeftButton, {},
                      TDiskListDelegate::LinkTextRect(cell, row->text(kColumnMount), List().font()).center());
  }
  void Key(int key, Qt::KeyboardModifiers modifiers = {}) {
    QWidget* target = window->focusWidget() != nullptr ? window->focusWidget() : window.get();
    QTest::keyClick(target, static_cast<Qt::Key>(key), modifiers);
  }
  // Enter on the welcome page goes on to the list.
  void Next() {
    Key(Qt::Key_Return);
    ASSERT_EQ(window->NoteBook->currentIndex(), 1);
  }
  // Ctrl+M, the path typed into the dialog, Enter; then `after` with the
  // dialog while it is still open (nullptr once it closed).
  void MountImageByTyping(const std::string& path, const std::function<void(TfmConnectImage*)>& after = {}) {
    // Shortcuts reach only the active window; a dialog just closed hands
    // the activation back later, and on the offscreen platform a menu that
    // closed keeps it.
    QApplication::setActiveWindow(window.get());
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    bool ran = false;
    QTimer driver;
    driver.setSingleShot(true);
    QObject::connect(&driver, &QTimer::timeout, [path, after, &ran] {
      ran = true;
      auto* dialog = qobject_cast<TfmConnectImage*>(QApplication::activeModalWidget());
      ASSERT_NE(dialog, nullptr);
      QTest::keyClicks(dialog->cbImageName->lineEdit(), QString::fromStdString(path));
      QTest::keyClick(dialog->cbImageName->lineEdit(), Qt::Key_Return);
      const bool open = dialog->isVisible();
      if (after) after(open ? dialog : nullptr);
      if (open) QTest::keyClick(dialog, Qt::Key_Escape);
    });
    driver.start(0);
    Key(Qt::Key_M, Qt::ControlModifier);
    EXPECT_TRUE(ran) << "Ctrl+M opened no dialog";
  }
  // Right-click on the row, then a click on the menu's entry; false (menu
  // closed) when the menu has no such entry.
  bool RowMenu(QTreeWidgetItem* row, const QString& caption) {
    const QPoint point = CellCentre(row, kColumnName);
    QContextMenuEvent event(QContextMenuEvent::Mouse, point, List().viewport()->mapToGlobal(point));
    QApplication::sendEvent(List().viewport(), &event);
    QMenu* menu = window->ppDisk;
    EXPECT_TRUE(menu->isVisible());
    for (QAction* action : menu->actions())
      if (action->isVisible() && action->text() == caption) {
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
        return true;
      }
    menu->close();
    return false;
  }
  // Opens the letter box's popup with a click and picks `letter` with the
  // mouse.
  void ChooseLetterByMouse(QTreeWidgetItem* row, const QString& letter) {
    Click(row, kColumnLetter);
    QComboBox* box = window->cbLetter;
    ASSERT_TRUE(box->isVisible());
    QTest::mouseClick(box, Qt::LeftButton);
    ASSERT_TRUE(box->view()->isVisible());
    // A release right after the popup opened counts as part of that click.
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    const QRect rect = box->view()->visualRect(box->model()->index(box->findText(letter), 0));
    // The entry's text may reach beyond the narrow list: aim inside it.
    const QPoint item(box->view()->viewport()->width() / 2, rect.center().y());
    // Sent to the popup's window, as the window system delivers them.
    QWindow* popup = box->view()->window()->windowHandle();
    const QPoint inPopup = box->view()->viewport()->mapTo(box->view()->window(), item);
    QTest::mouseMove(popup, inPopup);
    QTest::mouseClick(popup, Qt::LeftButton, {}, inPopup);
    QTest::qWait(20);
  }

  ScopedSettings settings;
  std::string used;
  int finished = 0;
  bool fileManagerWorks = true;
  std::vector<std::string> opened;
  FakeMountProvider* fake = nullptr;
  std::unique_ptr<TfmMain> window;
};

TEST(UserPaths, LetterBoxTakesTheLetterByMouseKeyboardAndWheel) {
  VANDREL_FIXTURE(disk, "mbr_fat_ext2");
  Window w(true);
  RecordingPrompt prompt;
  w.Next();
  w.MountImageByTyping(disk);
  QTreeWidgetItem* data = w.Row("DATA");
  ASSERT_NE(data, nullptr);
  QComboBox* box = w.window->cbLetter;

  w.ChooseLetterByMouse(data, "M:");
  EXPECT_EQ(data->text(kColumnLetter), "M:");
  EXPECT_FALSE(box->isVisible());

  // Keyboard: F2 opens the box with its list, arrows and Enter choose.
  w.List().setFocus();
  w.List().setCurrentItem(data);
  w.Key(Qt::Key_F2);
  ASSERT_TRUE(box->view()->isVisible());
  QTest::keyClick(box->view(), Qt::Key_Down);
  QTest::keyClick(box->view(), Qt::Key_Return);
  QTest::qWait(20);
  EXPECT_EQ(data->text(kColumnLetter), "N:");
  EXPECT_FALSE(box->isVisible());

  // The wheel over the open box moves on by one.
  w.Click(data, kColumnLetter);
  ASSERT_TRUE(box->isVisible());
  QWheelEvent wheel(QPointF(box->rect().center()), QPointF(box->mapToGlobal(box->rect().center())), QPoint(),
                    QPoint(0, -120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(box, &wheel);
  EXPECT_EQ(data->text(kColumnLetter), "O:");

  // The chosen letter is the one mounted.
  w.ClickLink(data);
  EXPECT_EQ(w.fake->requests, std::vector<std::string>{"O:"});
  data = w.Row("DATA");
  EXPECT_EQ(data->text(kColumnStatus), "Mounted");
  for (const auto& entry : prompt.shown) ADD_FAILURE() << entry.text;
}

TEST(UserPaths, KeysAndTheRowMenuMountAndDismount) {
  VANDREL_FIXTURE(disk, "mbr_fat_ext2");
  Window w(true);
  RecordingPrompt prompt;
  w.Next();
  EXPECT_EQ(w.window->focusWidget(), w.window->lvDisk);  // not Close: Enter must not quit
  w.MountImageByTyping(disk);
  ASSERT_EQ(w.List().Rows().size(), 2);
  // Down to the first row, Enter mounts it on the first free letter.
  w.List().setFocus();
  w.Key(Qt::Key_Home);
  QTreeWidgetItem* first = w.List().currentItem();
  ASSERT_NE(first, nullptr);
  const QString name = first->text(kColumnName);
  w.Key(Qt::Key_Return);
  EXPECT_EQ(w.fake->requests, std::vector<std::string>{"A:"});
  QTreeWidgetItem* row = w.Row(name);
  EXPECT_EQ(row->text(kColumnStatus), "Mounted");
  EXPECT_EQ(w.List().currentItem(), row);
  // Delete asks, and Yes dismounts.
  prompt.answers = {true};
  w.Key(Qt::Key_Delete);
  ASSERT_EQ(prompt.shown.size(), 1u);
  EXPECT_EQ(prompt.shown[0].text, "Do you want to dismount the device?");
  EXPECT_EQ(w.finished, 1);
  EXPECT_EQ(w.Row(name)->text(kColumnStatus), "");

  // The row's context menu: Mount, then Open and Dismount.
  auto menuAction = [&](const QString& caption) { return w.RowMenu(w.Row(name), caption); };
  ASSERT_TRUE(menuAction("Mount"));
  EXPECT_EQ(w.Row(name)->text(kColumnStatus), "Mounted");
  ASSERT_TRUE(menuAction("Open"));
  ASSERT_EQ(w.opened.size(), 1u);
  EXPECT_EQ(w.opened[0], "/nonexistent/A");  // no FileSystem folder there: the mount folder
  prompt.answers = {true};
  ASSERT_TRUE(menuAction("Dismount"));
  EXPECT_EQ(w.finished, 2);
  EXPECT_FALSE(menuAction("Open"));  // only for a mounted row
}

TEST(UserPaths, ImagesThatDoNotOpenAreSaidSoAndNotRemembered) {
  ScopedSettings files;
  const std::filesystem::path folder = files.Folder();
  std::ofstream(folder / "empty.img").close();
  std::ofstream(folder / "notes.txt") << "shopping list\n";
  std::filesystem::create_directories(folder / "a-folder");
  struct Case {
    std::string path;
    std::string message;
  };
  const Case cases[] = {
      {(folder / "missing.img").string(), "The file " + (folder / "missing.img").string() +
                                              " does not exist. Check its name and folder, or choose it with Browse."},
      {(folder / "empty.img").string(),
       "The file " + (folder / "empty.img").string() + " is empty (0 bytes): it holds no disk image."},
      {(folder / "a-folder").string(), (folder / "a-folder").string() + " is a folder. Choose the image file inside it."},
  };
  Window w(true);
  w.Next();
  for (const Case& c : cases) {
    RecordingPrompt prompt;
    bool stayedOpen = false;
    w.MountImageByTyping(c.path, [&](TfmConnectImage* dialog) { stayedOpen = dialog != nullptr; });
    EXPECT_TRUE(stayedOpen) << c.path;  // the name can be corrected
    ASSERT_EQ(prompt.shown.size(), 1u) << c.path;
    EXPECT_EQ(prompt.shown[0].caption, "Error");
    EXPECT_EQ(prompt.shown[0].text, c.message);
  }
  EXPECT_TRUE(w.List().Rows().isEmpty());
  EXPECT_TRUE(History().empty());

  // A file that opens but holds no volume Vandrel knows is one row saying so.
  RecordingPrompt prompt;
  w.MountImageByTyping((folder / "notes.txt").string());
  EXPECT_TRUE(prompt.shown.empty());
  ASSERT_EQ(w.List().Rows().size(), 1);
  QTreeWidgetItem* row = w.List().Rows().first();
  EXPECT_EQ(row->text(kColumnName), "notes.txt");
  EXPECT_EQ(row->text(kColumnFileSystem), "No volume found");
  EXPECT_EQ(row->text(kColumnSource), "notes.txt");
  EXPECT_TRUE(row->text(kColumnMount).isEmpty());
  EXPECT_EQ(History(), std::vector<std::string>{(folder / "notes.txt").string()});
  w.ClickLink(row);
  w.Key(Qt::Key_Return);
  EXPECT_TRUE(w.fake->requests.empty());
}

TEST(UserPaths, SourceColumnSortingAndDroppedFiles) {
  VANDREL_FIXTURE(disk, "mbr_fat_ext2");
  VANDREL_FIXTURE(stick, "fat16_plain");
  Window w(true);
  RecordingPrompt prompt;
  // Files dropped on the welcome page are opened and listed.
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(disk)), QUrl::fromLocalFile(QString::fromStdString(stick))});
  const QPoint centre = w.window->rect().center();
  QDragEnterEvent enter(centre, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(w.window.get(), &enter);
  ASSERT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(centre), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(w.window.get(), &drop);
  QTest::qWait(20);
  EXPECT_EQ(w.window->NoteBook->currentIndex(), 1);
  ASSERT_EQ(w.List().Rows().size(), 3);
  EXPECT_TRUE(prompt.shown.empty());
  // Each row names its image; the tooltip has the whole path.
  const QString diskName = QFileInfo(QString::fromStdString(disk)).fileName();
  EXPECT_EQ(w.Row("DATA")->text(kColumnSource), diskName);
  EXPECT_EQ(w.Row("DATA")->toolTip(kColumnSource).toStdString(), disk);
  EXPECT_EQ(w.Row("PROBE16")->text(kColumnSource), QFileInfo(QString::fromStdString(stick)).fileName());

  // A click on "Size" sorts by bytes, twice turns the order round; the
  // groups stay.
  auto sizes = [&] {
    std::vector<std::int64_t> out;
    for (QTreeWidgetItem* row : w.List().Rows()) out.push_back(TGroupedListView::RowStorage(row)->Size);
    return out;
  };
  QHeaderView* header = w.List().header();
  const QPoint sizeHeader(header->sectionViewportPosition(kColumnSize) + 10, header->height() / 2);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, sizeHeader);
  std::vector<std::int64_t> ascending = sizes();
  EXPECT_TRUE(std::is_sorted(ascending.begin(), ascending.end()));
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, sizeHeader);
  std::vector<std::int64_t> descending = sizes();
  EXPECT_TRUE(std::is_sorted(descending.rbegin(), descending.rend()));
  EXPECT_FALSE(w.List().GroupItem(kGroupHardDisks)->isHidden());
}

TEST(UserPaths, RemoveImageFromTheMenuOfItsRows) {
  VANDREL_FIXTURE(disk, "mbr_fat_ext2");
  VANDREL_FIXTURE(stick, "fat16_plain");
  ScopedSettings files;
  const std::string blank = (files.Folder() / "blank.img").string();
  std::ofstream(blank).close();
  std::filesystem::resize_file(blank, 1 << 20);  // zeros: no volume in it
  Window w(true);
  RecordingPrompt prompt;
  w.Next();
  for (const std::string& image : {disk, stick, blank}) w.MountImageByTyping(image);
  ASSERT_EQ(w.List().Rows().size(), 4);
  const QString diskName = QFileInfo(QString::fromStdString(disk)).fileName();
  QTreeWidgetItem* ext = nullptr;
  for (QTreeWidgetItem* row : w.List().Rows())
    if (row->text(kColumnSource) == diskName && !row->text(kColumnName).startsWith("DATA")) ext = row;
  ASSERT_NE(ext, nullptr);
  const QString extName = ext->text(kColumnName);
  w.ClickLink(w.Row("DATA"));
  ASSERT_EQ(w.Row("DATA")->text(kColumnStatus), "Mounted");

  // A mounted volume of the image is asked about first; No keeps it all.
  prompt.answers = {false};
  ASSERT_TRUE(w.RowMenu(w.Row(extName), "Remove image"));
  ASSERT_EQ(prompt.shown.size(), 1u);
  EXPECT_EQ(prompt.shown[0].text,
            diskName.toStdString() + " is mounted as A:. Dismount it and remove the image from the list?");
  EXPECT_EQ(w.List().Rows().size(), 4);
  EXPECT_EQ(w.finished, 0);
  // Yes dismounts it and takes both of the image's rows away.
  prompt.answers = {true};
  ASSERT_TRUE(w.RowMenu(w.Row("DATA"), "Remove image"));
  EXPECT_EQ(w.finished, 1);
  EXPECT_EQ(w.window->MountCount(), 0);
  EXPECT_EQ(w.Row("DATA"), nullptr);
  EXPECT_EQ(w.Row(extName), nullptr);
  EXPECT_NE(w.Row("PROBE16"), nullptr);

  // Nothing mounted: no question. A row without volumes goes the same way.
  ASSERT_TRUE(w.RowMenu(w.Row("PROBE16"), "Remove image"));
  ASSERT_TRUE(w.RowMenu(w.Row("blank.img"), "Remove image"));
  EXPECT_EQ(prompt.shown.size(), 2u);
  EXPECT_TRUE(w.List().Rows().isEmpty());
  EXPECT_EQ(History().size(), 3u);  // the history keeps them

  // The file can be added again, and mounts.
  w.MountImageByTyping(disk);
  ASSERT_EQ(w.List().Rows().size(), 2);
  w.ClickLink(w.Row("DATA"));
  EXPECT_EQ(w.Row("DATA")->text(kColumnStatus), "Mounted");
  EXPECT_EQ(prompt.shown.size(), 2u);
}

// Member images of an array that formed are named in the array's row; a
// member whose array cannot be formed says what it is.
TEST(UserPaths, RaidMemberImagesShowInTheArraysRow) {
  std::string why;
  const std::string folder = test::SharedFixtureDir("raid/md090-raid5-ls3.tar.zst", why);
  VANDREL_REQUIRE(!folder.empty(), why);
  const std::string m0 = folder + "/md090-raid5-ls3/m0.img";
  const std::string m1 = folder + "/md090-raid5-ls3/m1.img";
  Window w(true);
  RecordingPrompt prompt;
  w.Next();
  w.MountImageByTyping(m0);
  QTreeWidgetItem* member = w.Row("m0.img");
  ASSERT_NE(member, nullptr);
  EXPECT_EQ(member->text(kColumnFileSystem), "RAID member, array incomplete");

  w.MountImageByTyping(m1);
  EXPECT_EQ(w.Row("m0.img"), nullptr);
  EXPECT_EQ(w.Row("m1.img"), nullptr);
  QTreeWidgetItem* array = nullptr;
  for (QTreeWidgetItem* row : w.List().Rows())
    if (row->text(kColumnSource).contains("m0.img")) array = row;
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array->text(kColumnSource), "m0.img, m1.img, 1 missing");
  EXPECT_TRUE(array->toolTip(kColumnSource).contains(QString::fromStdString(m1)));
  for (const auto& entry : prompt.shown) ADD_FAILURE() << entry.text;
}

// The words drawn on the window (the logo, the Menu link) stand out from
// their background in a dark palette as in a light one.
TEST(UserPaths, LogoAndLinksReadInLightAndDarkPalettes) {
  Window w(true);
  w.Next();
  const QPalette light = QApplication::palette();
  QPalette dark;
  const QColor window(45, 45, 48), base(30, 30, 32), text(230, 230, 230);
  for (auto [role, colour] : {std::pair{QPalette::Window, window}, {QPalette::Base, base}, {QPalette::Button, window},
                              {QPalette::WindowText, text}, {QPalette::Text, text}, {QPalette::ButtonText, text},
                              {QPalette::Link, QColor(110, 170, 255)}})
    dark.setColor(role, colour);
  auto contrast = [&](QWidget* widget) {
    // As painted in the window, the background around it included.
    const QImage image =
        w.window->grab(QRect(widget->mapTo(w.window.get(), QPoint()), widget->size())).toImage();
    std::map<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) ++counts[image.pixel(x, y)];
    const QColor background(std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) {
                              return a.second < b.second;
                            })->first);
    int most = 0;
    for (const auto& [pixel, count] : counts) most = std::max(most, std::abs(qGray(pixel) - qGray(background.rgb())));
    return most;
  };
  for (const QPalette& palette : {light, dark}) {
    QApplication::setPalette(palette);
    QTest::qWait(10);
    SCOPED_TRACE(palette.color(QPalette::Window).name().toStdString());
    EXPECT_GT(contrast(w.window->img_logo), 100);
    EXPECT_GT(contrast(w.window->lnkMenu), 60);
  }
  QApplication::setPalette(light);
}

// Mounting with the real service: a busy folder, a mount root the user may
// not write to, and no usable FUSE, each said with the folder and what to do.
TEST(UserPaths, MountFailuresSayWhereWhatAndWhatToDo) {
  VANDREL_REQUIRE(test::IsRoot(), "needs root to act as a user without rights");
  VANDREL_FIXTURE(stick, "fat16_plain");
  enum class User { kRoot, kRootWithoutFileRights, kNobody };
  // Root without the right to pass over file permissions (this thread
  // only, where the folders are made), or the user "nobody" for whom
  // /dev/fuse is closed; while it lives.
  struct Acting {
    explicit Acting(User user) : user_(user) {
      if (user_ == User::kNobody) {
        EXPECT_EQ(::seteuid(65534), 0);
      } else if (user_ == User::kRootWithoutFileRights) {
        EXPECT_EQ(::syscall(SYS_capget, &header_, saved_), 0);
        __user_cap_data_struct less[2] = {saved_[0], saved_[1]};
        less[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        EXPECT_EQ(::syscall(SYS_capset, &header_, less), 0);
      }
    }
    ~Acting() {
      if (user_ == User::kNobody) {
        EXPECT_EQ(::seteuid(0), 0);
      } else if (user_ == User::kRootWithoutFileRights) {
        EXPECT_EQ(::syscall(SYS_capset, &header_, saved_), 0);
      }
    }
    User user_;
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
  };
  struct Case {
    const char* name;
    bool leaveAFile;  // something already in M's folder
    User user;
    std::vector<std::string> says;
  };
  const Case cases[] = {
      {"busy", true, User::kRoot, {"is not empty", "Choose another letter, or move the files out"}},
      {"no permission", false, User::kRootWithoutFileRights, {"could not be made", "Permission denied", "mount_root"}},
      {"no FUSE", false, User::kNobody, {"through FUSE, which is not usable here", "may not open /dev/fuse"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Window w(false);
    const std::filesystem::path root = w.settings.Folder() / "mnt";
    std::filesystem::create_directories(root);
    // Another user's folder: only file rights would let root write in it.
    ASSERT_EQ(::chown(root.c_str(), 65534, 65534), 0);
    if (c.leaveAFile) {
      std::filesystem::create_directories(root / "M");
      std::ofstream(root / "M" / "left-over.txt") << "x";
    }
    WriteSetting("main", "mount_root", root.string());
    MountUnitStartup(SettingsPath());
    RecordingPrompt prompt;
    w.Next();
    w.MountImageByTyping(stick);
    w.ChooseLetterByMouse(w.Row("PROBE16"), "M:");
    {
      const Acting as(c.user);
      w.ClickLink(w.Row("PROBE16"));
    }
    ASSERT_EQ(prompt.shown.size(), 1u);
    const std::string& text = prompt.shown[0].text;
    EXPECT_EQ(text.rfind("M: could not be mounted at " + (root / "M").string() + ".\n\n", 0), 0u) << text;
    for (const std::string& part : c.says) EXPECT_NE(text.find(part), std::string::npos) << part << " in " << text;
    EXPECT_EQ(w.Row("PROBE16")->text(kColumnStatus), "");
    EXPECT_EQ(w.window->MountCount(), 0);
    EXPECT_FALSE(platform::IsMountPoint((root / "M").string()));
    MountUnitShutdown();
  }
}

// Real FUSE mounts, from typing the image's path to closing the window.
TEST(UserPaths, AddMountOpenAndCloseWithARealMount) {
  VANDREL_REQUIRE(test::IsRoot() || platform::ProgramOnPath("fusermount3"), "FUSE needs root or fusermount3");
  VANDREL_REQUIRE(std::filesystem::exists("/dev/fuse"), "/dev/fuse is missing");
  VANDREL_FIXTURE(disk, "mbr_fat_ext2");
  RecordingPrompt prompt;
  std::filesystem::path root;
  {
    Window w(false);
    root = w.settings.Folder() / "mnt";
    WriteSetting("main", "mount_root", root.string());
    MountUnitStartup(SettingsPath());
    w.Next();
    w.MountImageByTyping(disk);
    EXPECT_EQ(History(), std::vector<std::string>{disk});
    QTreeWidgetItem* data = w.Row("DATA");
    ASSERT_NE(data, nullptr);
    w.ChooseLetterByMouse(data, "Q:");
    EXPECT_EQ(data->text(kColumnLetter), "Q:");
    w.ClickLink(data);
    for (const auto& entry : prompt.shown) ADD_FAILURE() << entry.caption << ": " << entry.text;
    data = w.Row("DATA");
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->text(kColumnStatus), "Mounted");
    const std::filesystem::path files = root / "Q" / "FileSystem";
    std::ifstream hello(files / "HELLO.TXT");
    std::string line;
    std::getline(hello, line);
    EXPECT_EQ(line, "hello from FAT");
    // Where the files are is shown, and a double-click opens that folder.
    EXPECT_TRUE(w.window->lbWhere->isVisible());
    EXPECT_TRUE(w.window->lbWhere->text().contains(QString::fromStdString(files.string())));
    EXPECT_TRUE(data->toolTip(kColumnStatus).contains(QString::fromStdString(files.string())));
    QTest::mouseDClick(w.List().viewport(), Qt::LeftButton, {}, w.CellCentre(data, kColumnName));
    EXPECT_EQ(w.opened, std::vector<std::string>{files.string()});
    // No file manager: said so, and Yes copies the path.
    w.fileManagerWorks = false;
    prompt.answers = {true};
    QTest::mouseDClick(w.List().viewport(), Qt::LeftButton, {}, w.CellCentre(w.Row("DATA"), kColumnName));
    ASSERT_EQ(prompt.shown.size(), 1u);
    EXPECT_EQ(prompt.shown[0].text, "No file manager could be started to show " + files.string() +
                                        ".\n\nCopy the folder's path to the clipboard, to paste it into a "
                                        "program of your choice?");
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), files.string());

    // Keyboard: the ext2 row, Enter, mounted on the first free letter.
    QTreeWidgetItem* linux = nullptr;
    for (QTreeWidgetItem* row : w.List().Rows())
      if (row->text(kColumnStatus).isEmpty()) linux = row;
    ASSERT_NE(linux, nullptr);
    const QString linuxName = linux->text(kColumnName);
    w.List().setFocus();
    w.List().setCurrentItem(linux);
    w.Key(Qt::Key_Return);
    EXPECT_EQ(w.Row(linuxName)->text(kColumnStatus), "Mounted");
    EXPECT_TRUE(platform::IsMountPoint((root / "A").string()));
    EXPECT_EQ(w.window->MountCount(), 2);

    // Close with volumes mounted: Yes closes and takes them away.
    prompt.answers = {true};
    QTest::mouseClick(w.window->btnClose, Qt::LeftButton);
    EXPECT_FALSE(w.window->isVisible());
    EXPECT_EQ(prompt.shown.back().text,
              "Do you really want to close the program?\r\nAll virtual disks will be dismounted.");
  }
  EXPECT_FALSE(platform::IsMountPoint((root / "Q").string()));
  EXPECT_FALSE(platform::IsMountPoint((root / "A").string()));
  MountUnitShutdown();
}

}  // namespace
}  // namespace vandrel
