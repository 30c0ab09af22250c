// Image files and devices opened by path through the disk manager.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "devices/volume_services.h"
#include "common/log.h"
#include "storage/hard_drive.h"
#include "storage/hdd_manager.h"
#include "support/fixtures.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;

class ImageFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vandrel-hd-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string MakeImage(const std::string& name, std::size_t size, std::uint8_t fill) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << std::string(size, static_cast<char>(fill));
    return path.string();
  }
  fs::path dir_;
  std::vector<std::string> log_;
  ScopedLogSink capture_{[this](const std::string& line, int) { log_.push_back(line); }};
};

TEST_F(ImageFiles, OddSizedImageReadsLastSectorWithZeroTail) {
  THddManager manager;
  manager.VolumeServices = &DeviceVolumeServices();
  const std::string path = MakeImage("k1000.img", 1000, 0x5A);
  auto* drive = dynamic_cast<THardDrive*>(manager.OpenByPath(path));
  ASSERT_NE(drive, nullptr);
  EXPECT_EQ(drive->SectorCount, 2);
  EXPECT_EQ(drive->Size, 1000);
  EXPECT_EQ(drive->StorageSource, ssImageFile);
  EXPECT_EQ(drive->StorageType, stHardDrive);
  EXPECT_TRUE(drive->UserAdded());
  EXPECT_TRUE(drive->DiskImage);
  EXPECT_EQ(drive->GetName(false), path);
  ASSERT_TRUE(drive->Open(true, false, false));
  std::vector<std::uint8_t> sector(512, 0xCC);
  ASSERT_TRUE(drive->ReadSectors(sector.data(), 1, 1));
  for (std::size_t i = 0; i < 512; ++i) ASSERT_EQ(sector[i], i < 488 ? 0x5A : 0x00) << i;
  const auto zeros = [](const std::vector<std::uint8_t>& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
  };
  std::fill(sector.begin(), sector.end(), 0xCC);
  EXPECT_FALSE(drive->ReadSectors(sector.data(), 1, 2));
  EXPECT_TRUE(zeros(sector));
  // The file shrinks under the open drive: what is gone reads as zeros.
  fs::resize_file(path, 100);
  std::fill(sector.begin(), sector.end(), 0xCC);
  EXPECT_FALSE(drive->ReadSectors(sector.data(), 1, 1));
  EXPECT_TRUE(zeros(sector));
  std::fill(sector.begin(), sector.end(), 0xCC);
  EXPECT_FALSE(drive->ReadSectors(sector.data(), 1, 0));
  for (std::size_t i = 0; i < 512; ++i) ASSERT_EQ(sector[i], i < 100 ? 0x5A : 0x00) << i;
  drive->Close(false);
  EXPECT_EQ(drive->OpenCount(), 0);
}

TEST_F(ImageFiles, MissingEmptyAndUnreadablePaths) {
  THddManager manager;
  manager.VolumeServices = &DeviceVolumeServices();
  EXPECT_EQ(manager.OpenByPath((dir_ / "missing.img").string()), nullptr);
  EXPECT_TRUE(log_.empty()) << "a missing file is not reported";
  EXPECT_EQ(manager.OpenByPath(MakeImage("empty.img", 0, 0)), nullptr);
  EXPECT_EQ(manager.OpenByPath(dir_.string()), nullptr) << "a folder is no image";
  EXPECT_EQ(manager.DeviceCount(), 0);
}

TEST_F(ImageFiles, ListOfImagesOpensEachAndSamePathTwice) {
  THddManager manager;
  manager.VolumeServices = &DeviceVolumeServices();
  const std::string a = MakeImage("a.img", 4096, 1);
  const std::string b = MakeImage("b.img", 8192, 2);
  TStorage* last = manager.OpenByPath(std::string(kImageListPrefix) + "*" + a + "*" + (dir_ / "nope").string() + "*" + b);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->Size, 8192);
  EXPECT_EQ(manager.DeviceCount(), 2);
  // Outside a scan the same path opens again as a second device.
  EXPECT_NE(manager.OpenByPath(a), nullptr);
  EXPECT_EQ(manager.DeviceCount(), 3);
  // A rescan leaves devices opened by path alone.
  manager.PhysicalScan = false;
  manager.FloppyScan = false;
  manager.Refresh();
  EXPECT_EQ(manager.DeviceCount(), 3);
}

TEST(SerialFilter, KeepsOnlyPlainSerials) {
  EXPECT_EQ(FilterSerial("  WD-WCC4E1234567 "), "WD-WCC4E1234567");
  EXPECT_EQ(FilterSerial("S3Z_9NB0 K12345"), "S3Z_9NB0 K12345");
  EXPECT_EQ(FilterSerial("ABC.123"), "");
  EXPECT_EQ(FilterSerial(std::string("AB\x01", 3) + "C"), "");
  EXPECT_EQ(BusTypeName(7), "Usb");
  EXPECT_EQ(BusTypeName(14), "Max");
  EXPECT_EQ(BusTypeName(15), "unknow but type");
}

// An image attached to a loop device appears as one of the machine's disks,
// with its full size.
TEST(PhysicalDisks, LoopDeviceIsListedWithItsSize) {
  VANDREL_REQUIRE(test::IsRoot(), "needs root to attach a loop device");
  VANDREL_REQUIRE(test::HaveTool("losetup"), "needs losetup");
  const fs::path image = fs::temp_directory_path() / ("vandrel-loop-" + std::to_string(::getpid()) + ".img");
  // Sparse and past 2^32 sectors: the size must not be cut to 32 bits.
  constexpr std::int64_t kSize = (std::int64_t{1} << 41) + (3 << 20);
  std::ofstream(image, std::ios::binary).put('\0');
  fs::resize_file(image, kSize);
  std::string loop;
  const bool attached = test::RunCommand("losetup -f --show '" + image.string() + "'", loop);
  if (!attached) fs::remove(image);
  VANDREL_REQUIRE(attached, "losetup failed (no loop devices in this sandbox?)");
  loop = loop.substr(0, loop.find('\n'));
  ScopedLogSink quiet([](const std::string&, int) {});
  {
    THddManager manager;
    manager.VolumeServices = &DeviceVolumeServices();
    manager.FloppyScan = false;
    manager.Refresh();
    THardDrive* found = nullptr;
    for (int i = 0; i < manager.DeviceCount(); ++i)
      if (auto* drive = dynamic_cast<THardDrive*>(manager.GetDevice(i)); drive && drive->OsPath() == loop) found = drive;
    ASSERT_NE(found, nullptr) << loop;
    EXPECT_EQ(found->Size, kSize);
    EXPECT_EQ(found->SectorCount, kSize / 512);
    EXPECT_EQ(found->StorageSource, ssPhysical);
    EXPECT_FALSE(found->DiskImage);
    // An unchanged disk keeps its object across rescans.
    manager.Refresh();
    bool same = false;
    for (int i = 0; i < manager.DeviceCount(); ++i) same = same || manager.GetDevice(i) == found;
    EXPECT_TRUE(same);
  }
  std::string ignored;
  test::RunCommand("losetup -d " + loop, ignored);
  fs::remove(image);
}

}  // namespace
}  // namespace vandrel
