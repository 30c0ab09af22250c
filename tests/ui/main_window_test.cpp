// The main window driven as a user drives it: the list built for images,
// the letter box, the Mount link with a real FUSE mount, the close question
// and the scan progress window.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidgetItem>
#include <chrono>
#include <fstream>
#include <thread>

#include "devices/device_manager.h"
#include "mount/mount2_system.h"
#include "platform/mount_points.h"
#include "storage/hard_drive.h"
#include "support/fixtures.h"
#include "ui/progress_window.h"
#include "ui/list_view_func.h"
#include "ui/main.h"
#include "ui_test_support.h"

namespace vandrel {
namespace {

using test::FakeMountProvider;
using test::RecordingPrompt;
using test::ScopedSettings;

// A main window over image files only, with a stand-in mount service.
struct Harness {
  explicit Harness(bool fakeMounts = true) {
    window = std::make_unique<TfmMain>(test::ImagesOnly(fakeMounts, used, finished, fake));
  }
  void Open(const std::vector<std::string>& images) {
    for (const auto& image : images) window->Devices().AddByPath(image);
    window->btnNextClick();
  }
  QTreeWidgetItem* Row(const QString& startsWith) {
    for (QTreeWidgetItem* row : window->lvDisk->Rows())
      if (row->text(kColumnName).startsWith(startsWith)) return row;
    return nullptr;
  }
  // The centre of the row's Mount link, in viewport co-ordinates.
  QPoint LinkPoint(QTreeWidgetItem* row) {
    const QRect rect = window->lvDisk->visualItemRect(row);
    const int left = window->lvDisk->header()->sectionViewportPosition(kColumnMount);
    const QRect cell(left, rect.top(), window->lvDisk->columnWidth(kColumnMount), rect.height());
    return TDiskListDelegate::LinkTextRect(cell, row->text(kColumnMount), window->lvDisk->font()).center();
  }
  void ClickLink(QTreeWidgetItem* row) {
    QTest::mouseClick(window->lvDisk->viewport(), Qt::LeftButton, {}, LinkPoint(row));
  }

  ScopedSettings settings;
  std::string used;
  int finished = 0;
  FakeMountProvider* fake = nullptr;
  std::unique_ptr<TfmMain> window;
};

TEST(MainWindow, ListsTheVolumesOfImagesInGroupsWithPicturesSizesAndFileSystems) {
  VANDREL_FIXTURE(disk, "mbr_fat_ext2");
  VANDREL_FIXTURE(stick, "fat16_plain");
  Harness h;
  h.window->show();
  EXPECT_EQ(h.window->windowTitle().toStdString().rfind("Vandrel ", 0), 0u);
  h.Open({disk, stick});
  TGroupedListView& list = *h.window->lvDisk;
  ASSERT_EQ(list.Rows().size(), 3);
  // Every volume of an image is a partition: the "Hard Disk Drives" group,
  // all others hidden.
  for (int group = 0; group < 9; ++group)
    EXPECT_EQ(list.GroupItem(group)->isHidden(), group != 1) << group;
  EXPECT_EQ(list.GroupItem(1)->text(0), "Hard Disk Drives");
  QTreeWidgetItem* data = h.Row("DATA");
  QTreeWidgetItem* probe = h.Row("PROBE16");
  ASSERT_NE(data, nullptr);
  ASSERT_NE(probe, nullptr);
  EXPECT_EQ(data->text(kColumnSize), "20.00 MiB");
  EXPECT_EQ(data->text(kColumnFileSystem), "FAT 16");
  EXPECT_EQ(probe->text(kColumnSize), "32.00 MiB");
  EXPECT_EQ(data->text(kColumnMount), "Mount");
  EXPECT_TRUE(data->text(kColumnLetter).isEmpty());
  EXPECT_TRUE(data->text(kColumnStatus).isEmpty());
  EXPECT_FALSE(data->icon(kColumnName).isNull());
  // Sorted by name inside the group.
  QStringList names;
  for (QTreeWidgetItem* row : list.Rows()) names << row->text(kColumnName);
  QStringList sorted = names;
  sorted.sort(Qt::CaseInsensitive);
  EXPECT_EQ(names, sorted);
  EXPECT_EQ(list.visualItemRect(data).height(), kDiskRowHeight);
  // Names and file systems widen to their text; the others keep their widths.
  const int widths[] = {202, 100, 100, 50, 75, 75};
  for (int c = 0; c < 6; ++c) {
    if (c == kColumnName || c == kColumnFileSystem)
      EXPECT_GE(list.columnWidth(c), widths[c]);
    else
      EXPECT_EQ(list.columnWidth(c), widths[c]);
  }
  EXPECT_GE(list.columnWidth(kColumnName), list.fontMetrics().horizontalAdvance(data->text(kColumnName)));
  // Each row carries its storage.
  auto* partition = dynamic_cast<TPartition*>(TGroupedListView::RowStorage(data));
  ASSERT_NE(partition, nullptr);
  EXPECT_EQ(partition->Information.Start, 2048);
}

TEST(MainWindow, PagesAndBottomControls) {
  Harness h;
  EXPECT_EQ(h.window->NoteBook->currentIndex(), 0);
  EXPECT_TRUE(h.window->btnBack->isHidden());
  EXPECT_TRUE(h.window->lnkMenu->isHidden());
  h.window->btnNextClick();
  EXPECT_EQ(h.window->NoteBook->currentIndex(), 1);
  EXPECT_FALSE(h.window->btnNext->isEnabled());
  EXPECT_FALSE(h.window->btnBack->isHidden());
  EXPECT_FALSE(h.window->lnkMenu->isHidden());
  h.window->btnBackClick();
  EXPECT_EQ(h.window->NoteBook->currentIndex(), 0);
  EXPECT_TRUE(h.window->btnNext->isEnabled());
}

TEST(MainWindow, LetterBoxOffersExactlyTheFreeLetters) {
  VANDREL_FIXTURE(stick, "fat16_plain");
  Harness h;
  h.used = "AC";
  h.window->show();
  h.Open({stick});
  QTreeWidgetItem* row = h.window->lvDisk->Rows().value(0);
  ASSERT_NE(row, nullptr);
  h.window->lvDisk->setCurrentItem(row);
  h.window->ShowLetterBox(row);
  ASSERT_TRUE(h.window->cbLetter->isVisible());
  QStringList offered;
  for (int i = 0; i < h.window->cbLetter->count(); ++i) offered << h.window->cbLetter->itemText(i);
  QStringList expected{"B:"};
  for (char c = 'D'; c <= 'Z'; ++c) expected << QStringLiteral("%1:").arg(QChar(c));
  EXPECT_EQ(offered, expected);
  EXPECT_EQ(h.window->cbLetter->currentIndex(), -1);  // the cell is empty
  // The box lies over the row's letter cell.
  const QRect cell = h.window->lvDisk->visualItemRect(row);
  const QPoint boxInList = h.window->lvDisk->viewport()->mapFrom(h.window->cbLetter->parentWidget(),
                                                                 h.window->cbLetter->geometry().center());
  EXPECT_GE(boxInList.y(), cell.top());
  EXPECT_LE(boxInList.y(), cell.bottom());
  EXPECT_EQ(h.window->cbLetter->width(), h.window->lvDisk->columnWidth(kColumnLetter));
  // Escape commits the selected entry, like Enter.
  h.window->cbLetter->setCurrentIndex(2);
  QTest::keyClick(h.window->cbLetter, Qt::Key_Escape);
  EXPECT_EQ(row->text(kColumnLetter), "E:");
  EXPECT_FALSE(h.window->cbLetter->isVisible());
}

TEST(MainWindow, MountWithoutALetterTakesTheFirstFreeOne) {
  VANDREL_FIXTURE(stick, "fat16_plain");
  VANDREL_FIXTURE(disk, "mbr_fat_ext2");
  Harness h;
  RecordingPrompt prompt;
  h.used = "ABC";
  h.window->show();
  h.Open({stick, disk});
  h.ClickLink(h.Row("PROBE16"));
  EXPECT_TRUE(prompt.shown.empty());
  ASSERT_EQ(h.fake->requests, std::vector<std::string>{"D:"});
  QTreeWidgetItem* row = h.Row("PROBE16");
  EXPECT_EQ(row->text(kColumnLetter), "D:");
  EXPECT_EQ(row->text(kColumnMount), "Dismount");
  EXPECT_EQ(row->text(kColumnStatus), "Mounted");
  // Every letter taken: said so, nothing mounted.
  h.used = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  QTreeWidgetItem* other = nullptr;
  for (QTreeWidgetItem* candidate : h.window->lvDisk->Rows())
    if (candidate->text(kColumnStatus).isEmpty()) other = candidate;
  ASSERT_NE(other, nullptr);
  h.ClickLink(other);
  ASSERT_EQ(prompt.shown.size(), 1u);
  EXPECT_EQ(prompt.shown[0].text, "Every drive letter from A: to Z: is in use. Dismount a volume first.");
  EXPECT_EQ(h.fake->requests.size(), 1u);
}

TEST(MainWindow, RefusesALetterTakenMeanwhile) {
  VANDREL_FIXTURE(stick, "fat16_plain");
  Harness h;
  RecordingPrompt prompt;
  h.Open({stick});
  TStorage* storage = TGroupedListView::RowStorage(h.window->lvDisk->Rows().value(0));
  h.used = "G";
  h.window->MountOrDismount(storage, "G:");
  ASSERT_EQ(prompt.shown.size(), 1u);
  EXPECT_EQ(prompt.shown[0].text, "G: already in use");
  EXPECT_EQ(prompt.shown[0].caption, "Error");
  EXPECT_TRUE(h.fake->requests.empty());
  EXPECT_EQ(h.window->MountCount(), 0);
}

TEST(MainWindow, MountErrorIsShownAndNothingIsKept) {
  VANDREL_FIXTURE(stick, "fat16_plain");
  Harness h;
  RecordingPrompt prompt;
  h.Open({stick});
  h.fake->failWith = "no FUSE here";
  h.window->MountOrDismount(TGroupedListView::RowStorage(h.window->lvDisk->Rows().value(0)), "H:");
  ASSERT_EQ(prompt.shown.size(), 1u);
  EXPECT_EQ(prompt.shown[0].text, "no FUSE here");
  EXPECT_EQ(h.window->MountCount(), 0);
}

TEST(MainWindow, DismountAndCloseAskFirst) {
  VANDREL_FIXTURE(stick, "fat16_plain");
  Harness h;
  RecordingPrompt prompt;
  h.window->show();
  h.Open({stick});
  TStorage* storage = TGroupedListView::RowStorage(h.window->lvDisk->Rows().value(0));
  h.window->MountOrDismount(storage, "J:");
  ASSERT_EQ(h.window->MountCount(), 1);
  // Answering No keeps the volume mounted (the list is refreshed anyway).
  prompt.answers = {false};
  h.ClickLink(h.window->lvDisk->Rows().value(0));
  ASSERT_EQ(prompt.shown.size(), 1u);
  EXPECT_EQ(prompt.shown[0].text, "Do you want to dismount the device?");
  EXPECT_EQ(h.window->MountCount(), 1);
  EXPECT_EQ(h.window->lvDisk->Rows().value(0)->text(kColumnStatus), "Mounted");
  // Closing with a mount: No keeps the window open.
  prompt.answers = {false};
  EXPECT_FALSE(h.window->close());
  EXPECT_TRUE(h.window->isVisible());
  EXPECT_EQ(prompt.shown.back().text,
            "Do you really want to close the program?\r\nAll virtual disks will be dismounted.");
  // Yes dismounts.
  prompt.answers = {true};
  h.ClickLink(h.window->lvDisk->Rows().value(0));
  EXPECT_EQ(h.window->MountCount(), 0);
  EXPECT_EQ(h.finished, 1);
  EXPECT_EQ(h.window->lvDisk->Rows().value(0)->text(kColumnMount), "Mount");
  // Without mounts the window closes without a question.
  const std::size_t asked = prompt.shown.size();
  EXPECT_TRUE(h.window->close());
  EXPECT_EQ(prompt.shown.size(), asked);
}

TEST(MainWindow, DoubleClickOnAnUnmountedRowDoesNothing) {
  VANDREL_FIXTURE(stick, "fat16_plain");
  Harness h;
  RecordingPrompt prompt;
  h.window->show();
  h.Open({stick});
  QTreeWidgetItem* row = h.window->lvDisk->Rows().value(0);
  const QPoint point = h.window->lvDisk->visualItemRect(row).center();
  QTest::mouseDClick(h.window->lvDisk->viewport(), Qt::LeftButton, {}, point);
  EXPECT_TRUE(prompt.shown.empty());
  EXPECT_EQ(h.window->MountCount(), 0);
}

// A real FUSE mount through the Mount link.
TEST(MainWindow, MountLinkMountsTheVolumeReadOnlyAndDismountsIt) {
  VANDREL_REQUIRE(test::IsRoot() || platform::ProgramOnPath("fusermount3"), "FUSE needs root or fusermount3");
  VANDREL_REQUIRE(std::filesystem::exists("/dev/fuse"), "/dev/fuse is missing");
  VANDREL_FIXTURE(disk, "mbr_fat_ext2");
  ScopedSettings settings;
  const std::filesystem::path root = settings.Folder() / "mnt";
  WriteSetting("main", "mount_root", root.string());
  MountUnitStartup(SettingsPath());
  RecordingPrompt prompt;
  {
    TfmMainOptions options;
    options.devices.scanPhysical = false;
    TfmMain window(std::move(options));
    window.show();
    window.Devices().AddByPath(disk);
    window.btnNextClick();
    QTreeWidgetItem* row = nullptr;
    for (QTreeWidgetItem* candidate : window.lvDisk->Rows())
      if (candidate->text(kColumnName).startsWith("DATA")) row = candidate;
    ASSERT_NE(row, nullptr);
    window.lvDisk->setCurrentItem(row);
    row->setText(kColumnLetter, "Q:");
    const QRect rect = window.lvDisk->visualItemRect(row);
    const QRect cell(window.lvDisk->header()->sectionViewportPosition(kColumnMount), rect.top(),
                     window.lvDisk->columnWidth(kColumnMount), rect.height());
    QTest::mouseClick(window.lvDisk->viewport(), Qt::LeftButton, {},
                      TDiskListDelegate::LinkTextRect(cell, "Mount", window.lvDisk->font()).center());
    for (const auto& entry : prompt.shown) ADD_FAILURE() << entry.caption << ": " << entry.text;
    ASSERT_EQ(window.MountCount(), 1);
    row = nullptr;
    for (QTreeWidgetItem* candidate : window.lvDisk->Rows())
      if (candidate->text(kColumnName).startsWith("DATA")) row = candidate;
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->text(kColumnLetter), "Q:");
    EXPECT_EQ(row->text(kColumnMount), "Dismount");
    EXPECT_EQ(row->text(kColumnStatus), "Mounted");
    const std::filesystem::path folder = root / "Q";
    EXPECT_TRUE(platform::IsMountPoint(folder.string()));
    // Q is no longer offered.
    EXPECT_EQ(window.FreeLetters().find('Q'), std::string::npos);
    std::ifstream hello(folder / "FileSystem" / "HELLO.TXT");
    std::string line;
    std::getline(hello, line);
    EXPECT_EQ(line, "hello from FAT");
    EXPECT_EQ(std::filesystem::file_size(folder / "Storage"), 40960u * 512u);
    // Writing is refused.
    std::ofstream write(folder / "FileSystem" / "NEW.TXT");
    EXPECT_FALSE(write.is_open());

    prompt.answers = {true};
    QTest::mouseClick(window.lvDisk->viewport(), Qt::LeftButton, {},
                      TDiskListDelegate::LinkTextRect(cell, "Dismount", window.lvDisk->font()).center());
    EXPECT_EQ(window.MountCount(), 0);
    EXPECT_FALSE(platform::IsMountPoint(folder.string()));
  }
  MountUnitShutdown();
}

// A bus manager whose scan takes as long as the test says.
class SlowManager : public TBusManager {
 public:
  explicit SlowManager(int milliseconds) : milliseconds_(milliseconds) {}
  bool Enumerate() override { return true; }
  bool Refresh() override {
    StatusText("Waiting for a slow disk");
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds_));
    return true;
  }
  std::int32_t DeviceCount() override { return 0; }
  TDevice* GetDevice(std::int32_t) override { return nullptr; }
  TStorage* OpenByPath(const std::string&) override { return nullptr; }
  std::string GetVolumeName(TPartition*) override { return {}; }

 private:
  int milliseconds_;
};

// Whether a progress window was visible at any time during a refresh.
bool ProgressShownDuringRefresh(int scanMilliseconds) {
  InstallProgressWindowFactory();
  Harness h;
  h.window->show();
  if (scanMilliseconds > 0) h.window->Devices().Install(kSlotExtra, std::make_unique<SlowManager>(scanMilliseconds));
  bool shown = false;
  QTimer probe;
  QObject::connect(&probe, &QTimer::timeout, [&] {
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (qobject_cast<TProgressWindowWidget*>(widget) != nullptr && widget->isVisible()) shown = true;
  });
  probe.start(20);
  h.window->btnNextClick();
  probe.stop();
  SetThreadWindowFactory({});
  return shown;
}

TEST(ScanProgressWindow, StaysHiddenForAQuickScanAndShowsForASlowOne) {
  EXPECT_FALSE(ProgressShownDuringRefresh(0));
  EXPECT_TRUE(ProgressShownDuringRefresh(700));
}

}  // namespace
}  // namespace vandrel
