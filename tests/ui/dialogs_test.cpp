// The connect-image dialog's history, the properties window's pages, the
// driver dialog, language files and the settings kept between runs.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>
#include <fstream>

#include "devices/device_manager.h"
#include "storage/hard_drive.h"
#include "support/fixtures.h"
#include "support/memory_disk.h"
#include "ui/lng.h"
#include "ui/connect_image.h"
#include "ui/drive_properties.h"
#include "ui/driver_status.h"
#include "ui/icon_index_and_group.h"
#include "ui/product_name.h"
#include "ui_test_support.h"

namespace vandrel {
namespace {

using test::RecordingPrompt;
using test::ScopedSettings;

std::vector<std::string> History() {
  std::vector<std::string> paths;
  for (int i = 0; i < 25; ++i) {
    const std::string value = ReadSetting("KnowImages", std::to_string(i), "");
    if (!value.empty()) paths.push_back(value);
  }
  return paths;
}

TEST(ConnectImageDialog, NewFilesGoFirstKnownFilesStayAndTwentyAreKept) {
  ScopedSettings settings;
  for (int i = 0; i < 20; ++i) WriteSetting("KnowImages", std::to_string(i), "/img/" + std::to_string(i) + ".img");
  {
    TfmConnectImage dialog;
    EXPECT_EQ(dialog.cbImageName->count(), 20);
    EXPECT_TRUE(dialog.cbImageName->currentText().isEmpty());
    dialog.cbImageName->setEditText("/img/7.img");
    dialog.btConnectClick();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.ImageFileName(), "/img/7.img");
  }
  EXPECT_EQ(History()[0], "/img/0.img");  // a known file does not move up
  EXPECT_EQ(History()[7], "/img/7.img");
  {
    TfmConnectImage dialog;
    dialog.cbImageName->setEditText("/img/IMG/7.img");
    dialog.btConnectClick();
  }
  const std::vector<std::string> history = History();
  ASSERT_EQ(history.size(), 20u);
  EXPECT_EQ(history[0], "/img/IMG/7.img");
  EXPECT_EQ(history[1], "/img/0.img");
  EXPECT_EQ(history[19], "/img/18.img");  // the 21st entry is no longer written
  {
    // Case matters: another spelling is another file.
    TfmConnectImage dialog;
    dialog.cbImageName->setEditText("/IMG/0.img");
    dialog.btConnectClick();
  }
  EXPECT_EQ(History()[0], "/IMG/0.img");
}

TEST(ConnectImageDialog, EmptyNameOpensTheFileDialogAndCancelKeepsItOpen) {
  ScopedSettings settings;
  TfmConnectImage dialog;
  int asked = 0;
  dialog.ChooseFile = [&](QWidget*) {
    ++asked;
    return QString();
  };
  dialog.show();
  dialog.btConnectClick();
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_TRUE(History().empty());
  dialog.ChooseFile = [&](QWidget*) { return QStringLiteral("/data/chosen.img"); };
  QTest::keyClick(dialog.cbImageName->lineEdit(), Qt::Key_Return);  // Enter presses Mount
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(History(), std::vector<std::string>{"/data/chosen.img"});
}

TEST(PropertiesWindow, PartitionAndDiskPagesWithoutRaid) {
  VANDREL_FIXTURE(disk, "mbr_fat_ext2");
  TDeviceManager manager(nullptr, nullptr, DeviceManagerOptions{false});
  auto* drive = dynamic_cast<THardDrive*>(manager.AddByPath(disk));
  ASSERT_NE(drive, nullptr);
  ASSERT_GE(drive->PartitionCount(), 2);
  TPartition* fat = nullptr;
  TPartition* ext = nullptr;
  for (int i = 0; i < drive->PartitionCount(); ++i) {
    TPartition* p = drive->GetPartition(i);
    if (p->Information.Start == 2048) fat = p;
    if (p->Information.Start == 43008) ext = p;
  }
  ASSERT_NE(fat, nullptr);
  ASSERT_NE(ext, nullptr);
  TPictureList il16(16), il32(32), il48(48);
  TfmDriveProperties window(nullptr, manager);
  window.ShowStorage(fat, &il16, &il48, &il32);
  EXPECT_TRUE(window.PageVisible(window.tsPartition));
  EXPECT_TRUE(window.PageVisible(window.tsPhysicalDisk));
  EXPECT_FALSE(window.PageVisible(window.tsRaid));
  EXPECT_EQ(window.PageControl->currentWidget(), window.tsPartition);
  EXPECT_TRUE(window.lbName->text().startsWith("DATA"));
  EXPECT_EQ(window.lbPartSize->text(), "20 971 520  b");
  EXPECT_EQ(window.lbpartType->text(), "FAT 16");
  EXPECT_EQ(window.lbBootInd->text(), "Active");
  EXPECT_EQ(window.lbStartingOffset->text(), "2048");
  EXPECT_EQ(window.lbPartLen->text(), "40960");
  EXPECT_EQ(window.lbPartitionType->text(), "MBR Partition");
  EXPECT_FALSE(window.pnlAdv->isHidden());
  EXPECT_EQ(window.lbDiskSize->text(), "67 108 864  b");
  EXPECT_EQ(window.lbSecTotal->text(), "131 072 ");
  EXPECT_EQ(window.lbbytespersector->text(), "512");
  EXPECT_TRUE(window.lbPart->isHidden());  // "Part of" without RAID
  ASSERT_NE(window.lbPartOf, nullptr);
  EXPECT_TRUE(window.lbPartOf->isHidden());
  EXPECT_EQ(window.lvVolume->topLevelItemCount(), drive->PartitionCount());

  window.ShowStorage(ext, &il16, &il48, &il32);
  EXPECT_EQ(window.lbBootInd->text(), "Not Active");
  EXPECT_EQ(window.lbpartType->text().toStdString().empty(), false);

  // A disk shows its own page only.
  window.ShowStorage(drive, &il16, &il48, &il32);
  EXPECT_FALSE(window.PageVisible(window.tsPartition));
  EXPECT_TRUE(window.PageVisible(window.tsPhysicalDisk));
  EXPECT_EQ(window.PageControl->currentWidget(), window.tsPhysicalDisk);

  // Double-clicking a volume of the disk shows that volume.
  QTreeWidgetItem* item = nullptr;
  for (int i = 0; i < window.lvVolume->topLevelItemCount(); ++i)
    if (TfmDriveProperties::RowStorage(window.lvVolume->topLevelItem(i)) == fat) item = window.lvVolume->topLevelItem(i);
  ASSERT_NE(item, nullptr);
  emit window.lvVolume->itemDoubleClicked(item, 0);
  EXPECT_TRUE(window.PageVisible(window.tsPartition));
  EXPECT_TRUE(window.lbName->text().startsWith("DATA"));
}

TEST(PictureAndGroup, FollowsTypeSourceAndKind) {
  struct Case {
    TStorageType type;
    TStorageSource source;
    int kind;  // -1: the device itself
    int picture;
    int group;
  };
  const Case cases[] = {
      {stHardDrive, ssRemovable, -1, 4, kGroupPhysical},
      {stFloppy, ssRemovable, -1, 3, kGroupRemovable},
      {stHardDrive, ssImageFile, -1, 2, kGroupImages},
      {stHardDrive, ssPhysical, -1, 0, kGroupPhysical},
      {stCD, ssCD, -1, 5, kGroupRemovable},
      {stContainer, ssPhysical, -1, 4, kGroupContainers},
      {stPartition, ssPhysical, pkRecovered, 1, kGroupRecovered},
      {stPartition, ssPhysical, pkVirtual, 1, kGroupRecovered},
      {stPartition, ssPhysical, pkMbr, 1, kGroupHardDisks},
      {stPartition, ssPhysical, pkUnallocated, 16, kGroupHardDisks},
      {stPartition, ssImageFile, pkMbr, 2, kGroupHardDisks},
      {stPartition, ssRemovable, pkMbr, 4, kGroupRemovable},
      {stPartition, ssRaid, pkMbr, 1, kGroupRaid},
      {stRaidVolume, ssRaid, -1, 17, kGroupHardDisks},
      {stEmpty, ssLdm, -1, 17, kGroupHardDisks},
      {stEmpty, ssNetwork, -1, 2, kGroupRemote},
  };
  for (const Case& c : cases) {
    test::MemoryDisk disk(std::vector<std::uint8_t>(512 * 64), 512);
    TStorage* subject = &disk;
    disk.StorageType = c.type;
    disk.StorageSource = c.source;
    if (c.kind >= 0) {
      TPartitionInformation entry;
      entry.Kind = static_cast<std::uint8_t>(c.kind);
      entry.Start = 1;
      entry.Count = 8;
      subject = disk.GetPartition(disk.AppendPartition(std::move(entry)));
      subject->StorageType = c.type;
      subject->StorageSource = c.source;
    }
    const TPictureAndGroup result = PictureAndGroup(subject);
    EXPECT_EQ(result.picture, c.picture) << int(c.type) << "/" << int(c.source) << "/" << c.kind;
    EXPECT_EQ(result.group, c.group) << int(c.type) << "/" << int(c.source) << "/" << c.kind;
  }
  EXPECT_EQ(PictureAndGroup(nullptr).picture, 16);
  EXPECT_EQ(PictureAndGroup(nullptr).group, 1);
  EXPECT_EQ(GroupCaption(kGroupRemovable), "Drives with Removeable Storage");
  EXPECT_EQ(GroupCaption(kGroupRecovered), "Recovered Partitions");
}

TEST(DriverDialog, InstallStateAndErrors) {
  RecordingPrompt prompt;
  int installs = 0;
  TDriverFunctions functions;
  bool installed = false;
  functions.statusText = [&](std::string& text) {
    text = installed ? "Driver (ver 3.14.0.0) installed\r\nx64" : "Driver not installed";
    return installed;
  };
  functions.install = [&](bool& restart, std::string& error) {
    ++installs;
    restart = false;
    error = "/opt/vandrel/cbfs_x64.sys not found. Reinstall the product";
    return false;
  };
  functions.uninstall = [&](bool&, std::string&) {
    installed = false;
    return true;
  };
  TfmDriverStatus dialog(nullptr, functions);
  EXPECT_TRUE(dialog.btnInstall->isEnabled());
  EXPECT_FALSE(dialog.btnUninstall->isEnabled());
  EXPECT_EQ(dialog.lbStatus->text(), "Driver not installed");
  dialog.btnInstallClick();
  EXPECT_EQ(installs, 1);
  ASSERT_EQ(prompt.shown.size(), 1u);
  EXPECT_EQ(prompt.shown[0].caption, "Error");
  EXPECT_TRUE(QString::fromStdString(prompt.shown[0].text).endsWith(" not found. Reinstall the product"));
  EXPECT_TRUE(dialog.btnInstall->isEnabled());

  installed = true;
  dialog.UpdateStatus();
  EXPECT_EQ(dialog.lbStatus->text(), "Driver (ver 3.14.0.0) installed\nx64");
  EXPECT_FALSE(dialog.btnInstall->isEnabled());
  dialog.btnUninstallClick();
  EXPECT_EQ(dialog.lbStatus->text(), "Driver not installed");
}

TEST(DriverDialog, UninstallIsOffWhereTheSystemOwnsTheDriver) {
  TfmDriverStatus dialog(nullptr, [] {
    TDriverFunctions functions = DefaultDriverFunctions();
    functions.statusText = [](std::string& text) {
      text = "Driver (ver 3.14.0.0) installed";
      return true;
    };
    return functions;
  }());
  dialog.show();
  EXPECT_FALSE(dialog.btnUninstall->isEnabled());
  EXPECT_FALSE(dialog.btnInstall->isEnabled());
  EXPECT_TRUE(dialog.lbNote->isVisible());
  EXPECT_TRUE(dialog.lbNote->text().contains("fuse3 package"));
  EXPECT_EQ(dialog.btnUninstall->toolTip(), dialog.lbNote->text());
}

TEST(ProductName, VersionAsCaptionsShowIt) {
  EXPECT_EQ(DisplayVersion("3.1.0.0"), "3.1");
  EXPECT_EQ(DisplayVersion("2.5.0.0"), "2.5");
  EXPECT_EQ(DisplayVersion("1.2.3.4"), "1.2.3.4");
  // Only a trailing ".0.0" goes (cutting "1.0.0.5" would show "1.0.").
  EXPECT_EQ(DisplayVersion("1.0.0.5"), "1.0.0.5");
  EXPECT_EQ(ProductCaption(), "Vandrel " + ProductVersion());
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

TEST(LanguageFiles, TranslateBothDialogs) {
  ScopedSettings settings;
  const std::filesystem::path file = settings.Folder() / "lng" / "test.lng";
  WriteFile(file,
            "[fileinfo]\r\nLngID=1031\r\nfont=DejaVu Serif\r\ncharset=0\r\n"
            "[fmConnectImage]\r\n0=Abbild einbinden\r\n1=Bitte die Abbilddatei w\xC3\xA4hlen:\r\n"
            "3=Einbinden\r\nh3=Bindet das Abbild ein\r\n"
            "[fmDriveProperties]\r\n0=Eigenschaften\r\n1=Partition\r\n2=Gr\xC3\xB6\xC3\x9F" "e:\\nin Bytes|b\r\n");
  SetCurrentLanguageFile(file.string());
  {
    TfmConnectImage dialog;
    EXPECT_EQ(dialog.windowTitle(), "Abbild einbinden");
    EXPECT_EQ(dialog.lbIntro->text(), QString::fromUtf8("Bitte die Abbilddatei w\xC3\xA4hlen:"));
    EXPECT_EQ(dialog.btConnect->text(), "Einbinden");
    EXPECT_EQ(dialog.btConnect->toolTip(), "Bindet das Abbild ein");
    EXPECT_EQ(dialog.btnBrowse->text(), "Browse ...");  // no key: stays
    EXPECT_TRUE(dialog.btnBrowse->toolTip().isEmpty());
    EXPECT_EQ(dialog.font().family(), "DejaVu Serif");
  }
  {
    TDeviceManager manager(nullptr, nullptr, DeviceManagerOptions{false});
    TfmDriveProperties window(nullptr, manager);
    EXPECT_EQ(window.windowTitle(), "Eigenschaften");
    EXPECT_EQ(window.PageControl->tabText(0), "Partition");
    QLabel* size = nullptr;
    for (QLabel* label : window.findChildren<QLabel*>())
      if (label->property("tag").toInt() == 10002) size = label;
    ASSERT_NE(size, nullptr);
    EXPECT_EQ(size->text(), QString::fromUtf8("Gr\xC3\xB6\xC3\x9F" "e:\nin Bytes\tb"));
  }
  SetCurrentLanguageFile("-1");
  TfmConnectImage english;
  EXPECT_EQ(english.windowTitle(), "Mount disk image");
}

TEST(LanguageFiles, EscapesBecomeLineBreaksAndTabs) {
  EXPECT_EQ(UnescapeLanguageText("one\\ntwo|three"), "one\n\rtwo\tthree");
  EXPECT_EQ(UnescapeLanguageText("trailing\\"), "trailing\\");
}

TEST(Settings, LanguageAndHistorySurviveARestart) {
  ScopedSettings settings;
  // A fresh installation: no settings, no user value: English, and an
  // empty name is stored at exit.
  ChooseLanguage();
  EXPECT_EQ(CurrentLanguageFile(), "");
  StoreLanguage();
  EXPECT_EQ(ReadSetting("Main", "Lng", "-1"), "");
  // A chosen file is kept by name and found again at the next start.
  WriteSetting("MAIN", "lng", "deutsch.lng");
  ChooseLanguage();
  EXPECT_EQ(std::filesystem::path(CurrentLanguageFile()).filename(), "deutsch.lng");
  StoreLanguage();
  ChooseLanguage();
  EXPECT_EQ(std::filesystem::path(CurrentLanguageFile()).filename(), "deutsch.lng");
  SetCurrentLanguageFile("-1");
  {
    TfmConnectImage dialog;
    dialog.cbImageName->setEditText("/data/disk.img");
    dialog.btConnectClick();
  }
  TfmConnectImage again;
  ASSERT_EQ(again.cbImageName->count(), 1);
  EXPECT_EQ(again.cbImageName->itemText(0), "/data/disk.img");
}

}  // namespace
}  // namespace vandrel
