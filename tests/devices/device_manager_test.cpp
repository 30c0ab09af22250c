// The device manager's storage list, image adding and reader attachment.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "common/log.h"
#include "devices/device_manager.h"
#include "storage/hard_drive.h"
#include "support/fixtures.h"
#include "support/memory_disk.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;

// A bus manager holding prepared memory devices.
class ListBus : public TBusManager {
 public:
  explicit ListBus(std::vector<std::string> names) {
    for (const auto& name : names) {
      TBusDeviceRec record;
      record.Device = std::make_unique<test::MemoryDisk>(std::vector<std::uint8_t>(4096), 512, false, name, this);
      devices_.push_back(std::move(record));
    }
  }
  bool Enumerate() override { return DeviceCount() > 0; }
  bool Refresh() override { return Enumerate(); }
  std::int32_t DeviceCount() override { return static_cast<std::int32_t>(devices_.size()); }
  TDevice* GetDevice(std::int32_t i) override {
    return i >= 0 && i < DeviceCount() ? devices_[static_cast<std::size_t>(i)].Device.get() : nullptr;
  }
  TStorage* OpenByPath(const std::string&) override { return nullptr; }
  std::string GetVolumeName(TPartition*) override { return {}; }
};

class DeviceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vandrel-dm-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    image_ = (dir_ / "disk.img").string();
    std::ofstream(image_, std::ios::binary) << std::string(64 * 1024, '\0');
  }
  void TearDown() override { fs::remove_all(dir_); }
  ScopedLogSink quiet_{[](const std::string&, int) {}};
  fs::path dir_;
  std::string image_;
};

TEST_F(DeviceManagerTest, SlotsGiveTheGlobalOrder) {
  TDeviceManager devices(nullptr, nullptr, DeviceManagerOptions{false});
  devices.RefreshAll();
  ASSERT_NE(devices.AddByPath(image_), nullptr);
  devices.Install(kSlotLdm, std::make_unique<ListBus>(std::vector<std::string>{"ldm0"}));
  devices.Install(kSlotRaid, std::make_unique<ListBus>(std::vector<std::string>{"raid0", "raid1"}));
  ASSERT_EQ(devices.StorageCount(), 4);
  EXPECT_EQ(devices.GetStorage(0)->GetName(false), image_);
  EXPECT_EQ(devices.GetStorage(1)->GetName(false), "raid0");
  EXPECT_EQ(devices.GetStorage(2)->GetName(false), "raid1");
  EXPECT_EQ(devices.GetStorage(3)->GetName(false), "ldm0");
  EXPECT_EQ(devices.GetStorage(4), nullptr);
  EXPECT_EQ(devices.GetStorage(-1), nullptr);
  EXPECT_EQ(devices.IndexOf(devices.GetStorage(2)), 2);
}

TEST_F(DeviceManagerTest, AddByPathRules) {
  TDeviceManager devices(nullptr, nullptr, DeviceManagerOptions{false});
  EXPECT_EQ(devices.AddByPath("@@" + image_), nullptr);  // slot 4 is empty
  EXPECT_EQ(devices.AddByPath((dir_ / "none.img").string()), nullptr);
  TStorage* storage = devices.AddByPath(image_, -1);
  ASSERT_NE(storage, nullptr);
  EXPECT_TRUE(storage->UserAdded());
  EXPECT_EQ(devices.StorageCount(), 1);
}

TEST_F(DeviceManagerTest, ReaderAttachmentAndWrappersOnBadHandles) {
  std::vector<std::string> log;
  ScopedLogSink capture([&](const std::string& line, int) { log.push_back(line); });
  TDeviceManager devices(nullptr, nullptr, DeviceManagerOptions{false});
  TStorage* storage = devices.AddByPath(image_);
  ASSERT_NE(storage, nullptr);
  EXPECT_FALSE(devices.CreateReader(nullptr, true, TReaderChoice::kByKind));
  // A blank image has no file system a reader could take.
  storage->FsType = 0x42;
  EXPECT_FALSE(devices.CreateReader(storage, true, static_cast<TReaderChoice>(99)));
  EXPECT_NE(std::find(log.begin(), log.end(), "File system is not supported"), log.end());
  char buffer[16];
  TFileEntry entry;
  EXPECT_EQ(devices.ReadEntryAt(kNoHandle, 0, buffer, 16), 0);
  EXPECT_EQ(devices.ReadEntryAt(kNoHandle, 5, buffer, 16), 0);
  EXPECT_EQ(devices.EntrySize(kNoHandle), 0);
  EXPECT_FALSE(devices.CloseEntry(kNoHandle));
  EXPECT_EQ(devices.FindFirstFile(nullptr, "/", entry), kNoHandle);
  EXPECT_EQ(devices.FindFirstFile(storage, "/", entry), kNoHandle);
  EXPECT_FALSE(devices.FindNextFile(kNoHandle, entry));
  EXPECT_EQ(devices.OpenEntry(entry), kNoHandle);
}

TEST_F(DeviceManagerTest, ProgressRelayReachesTheApplication) {
  int seen = -2;
  void* data = nullptr;
  int marker = 0;
  TDeviceManager devices(
      [&](void* user, int percent, const std::string&) {
        seen = percent;
        data = user;
        return 7;
      },
      &marker, DeviceManagerOptions{false});
  EXPECT_EQ(devices.ProgressRelay(42, "x"), 7);
  EXPECT_EQ(seen, 42);
  EXPECT_EQ(data, &marker);
  TDeviceManager silent(nullptr, nullptr, DeviceManagerOptions{false});
  EXPECT_EQ(silent.ProgressRelay(1, "x"), 0);
}

}  // namespace
}  // namespace vandrel
