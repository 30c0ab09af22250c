// The operating system's own view of volumes and disks, as the names of
// partitions use it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "devices/volume_services.h"
#include "common/log.h"
#include "platform/disks.h"
#include "platform/volumes.h"
#include "storage/hard_drive.h"
#include "storage/hdd_manager.h"
#include "support/fixtures.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;

TEST(NaturalOrder, NumbersCompareByValue) {
  std::vector<std::string> names = {"loop10", "sdb", "loop2", "sda", "sdaa", "nvme0n1", "loop1"};
  std::sort(names.begin(), names.end(), platform::NaturalLess);
  EXPECT_EQ(names, (std::vector<std::string>{"loop1", "loop2", "loop10", "nvme0n1", "sda", "sdaa", "sdb"}));
}

// A mounted loop device shows up with its mount point, label and type.
TEST(SystemVolumes, MountedLoopDeviceIsListed) {
  VANDREL_REQUIRE(test::IsRoot(), "needs root to mount");
  VANDREL_FIXTURE(image, "ext2_plain");
  const fs::path work = fs::temp_directory_path() / ("vandrel-sv-" + std::to_string(::getpid()));
  fs::create_directories(work / "mnt");
  fs::copy_file(image, work / "disk.img");
  std::string loop;
  const bool attached = test::RunCommand("losetup -f --show '" + (work / "disk.img").string() + "'", loop);
  loop = loop.substr(0, loop.find('\n'));
  std::string out;
  const bool mounted = attached && test::RunCommand("mount -o ro " + loop + " '" + (work / "mnt").string() + "' 2>&1", out);
  if (!mounted) {
    if (attached) test::RunCommand("losetup -d " + loop, out);
    fs::remove_all(work);
  }
  VANDREL_REQUIRE(mounted, "cannot attach and mount a loop device: " + out);
  const auto volumes = platform::ReadSystemVolumes();
  // Found by the disk scan, the disk formatted and mounted whole is one
  // volume from sector 0, named by its mount point, with no free space.
  THddManager::RebuildSystemVolumes();
  std::vector<TPartitionInformation> entries;
  {
    ScopedLogSink quiet([](const std::string&, int) {});
    THddManager manager;
    manager.VolumeServices = &DeviceVolumeServices();
    manager.FloppyScan = false;
    manager.Refresh();
    for (int i = 0; i < manager.DeviceCount(); ++i)
      if (auto* drive = dynamic_cast<THardDrive*>(manager.GetDevice(i)); drive && drive->OsPath() == loop)
        for (const auto& entry : drive->Partitions) entries.push_back(entry.CopyDescription());
  }
  test::RunCommand("umount '" + (work / "mnt").string() + "'; losetup -d " + loop, out);
  fs::remove_all(work);
  const auto it = std::find_if(volumes.begin(), volumes.end(), [&](const auto& v) { return v.device == loop; });
  ASSERT_NE(it, volumes.end());
  EXPECT_EQ(it->disk, loop.substr(5));
  EXPECT_EQ(it->start, 0u);
  ASSERT_FALSE(it->mountPoints.empty());
  EXPECT_EQ(it->mountPoints[0], (work / "mnt").string());
  EXPECT_EQ(it->label, "probeext");
  EXPECT_EQ(it->fsType, "ext2");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Kind, pkWithoutTable);
  EXPECT_EQ(entries[0].Start, 0);
  EXPECT_EQ(entries[0].Name, (work / "mnt").string());
  EXPECT_EQ(entries[0].Label, "probeext");
}

}  // namespace
}  // namespace vandrel
