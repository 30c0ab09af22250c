// The rescan protocol: unchanged devices keep their objects, changed ones
// are replaced, devices added by path are never touched by a rescan.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/log.h"
#include "storage/hard_drive.h"
#include "support/memory_disk.h"

namespace vandrel {
namespace {

using test::MemoryDisk;

// A bus whose "hardware" is a list of disk sizes the test changes.
class FakeBus : public TBusManager {
 public:
  std::vector<std::int64_t> sizes;

  bool Enumerate() override {
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      TBusDeviceRec record;
      record.Address = {static_cast<std::int32_t>(i), 0, 0, 0};
      record.Device = std::make_unique<MemoryDisk>(std::vector<std::uint8_t>(static_cast<std::size_t>(sizes[i])), 512,
                                                   false, "disk" + std::to_string(i), this);
      record.Rescannable = true;
      AddDevice(std::move(record));
    }
    return !sizes.empty();
  }
  bool Refresh() override {
    BeginScan();
    const bool found = Enumerate();
    EndScan();
    return found;
  }
  std::int32_t DeviceCount() override { return static_cast<std::int32_t>(devices_.size()); }
  TDevice* GetDevice(std::int32_t index) override { return devices_.at(static_cast<std::size_t>(index)).Device.get(); }
  TStorage* OpenByPath(const std::string& path) override {
    TBusDeviceRec record;
    record.Address = {-256, 0, 0, 0};
    record.Path = path;
    record.Device = std::make_unique<MemoryDisk>(std::vector<std::uint8_t>(4096), 512, false, path, this);
    TStorage* device = record.Device.get();
    AddDevice(std::move(record));
    return device;
  }
  std::string GetVolumeName(TPartition*) override { return {}; }
};

std::vector<TDevice*> Devices(FakeBus& bus) {
  std::vector<TDevice*> out;
  for (int i = 0; i < bus.DeviceCount(); ++i) out.push_back(bus.GetDevice(i));
  return out;
}

bool Has(const std::vector<TDevice*>& list, const TStorage* device) {
  return std::find(list.begin(), list.end(), device) != list.end();
}

TEST(Rescan, KeepsUnchangedReplacesChangedKeepsAddedByPath) {
  std::vector<std::string> log;
  ScopedLogSink capture([&](const std::string& line, int) { log.push_back(line); });
  FakeBus bus;
  bus.sizes = {1024, 2048};
  ASSERT_TRUE(bus.Refresh());
  TStorage* byPath = bus.OpenByPath("image.img");
  ASSERT_EQ(bus.DeviceCount(), 3);
  TDevice* disk0 = bus.GetDevice(0);
  TDevice* disk1 = bus.GetDevice(1);

  bus.sizes = {1024, 4096};  // disk 1 changed size
  log.clear();
  bus.Refresh();
  const auto now = Devices(bus);
  ASSERT_EQ(now.size(), 3u);
  EXPECT_TRUE(Has(now, disk0)) << "unchanged disk keeps its object";
  EXPECT_TRUE(Has(now, byPath)) << "device added by path survives";
  EXPECT_FALSE(Has(now, disk1)) << "changed disk is replaced";
  EXPECT_NE(std::find(log.begin(), log.end(), "Device disk1 with size 2048 deleted"), log.end());

  bus.sizes = {};  // every disk gone
  for (int i = 0; i < 3; ++i) bus.Refresh();
  ASSERT_EQ(bus.DeviceCount(), 1);
  EXPECT_EQ(bus.GetDevice(0), byPath);
}

TEST(Rescan, GoneDeviceIsDeletedAtEndOfScan) {
  ScopedLogSink quiet([](const std::string&, int) {});
  FakeBus bus;
  bus.sizes = {1024};
  bus.Refresh();
  TStorage* byPath = bus.OpenByPath("x.img");
  EXPECT_TRUE(bus.NotifyUnmount(byPath));
  EXPECT_TRUE(byPath->Gone);
  bus.Refresh();
  const auto now = Devices(bus);
  ASSERT_EQ(now.size(), 1u);
  EXPECT_FALSE(Has(now, byPath));
}

TEST(Rescan, NullDeviceRecordLogsAddress) {
  std::vector<std::string> log;
  ScopedLogSink capture([&](const std::string& line, int) { log.push_back(line); });
  FakeBus bus;
  TBusDeviceRec record;
  record.Address = {7, 1, 2, 3};
  record.Rescannable = true;
  bus.AddDevice(std::move(record));
  bus.Refresh();
  EXPECT_EQ(bus.DeviceCount(), 0);
  EXPECT_NE(std::find(log.begin(), log.end(), "Device NULL deleted. Addr 7 1 2 3"), log.end());
}

TEST(SetMetadata, DeviceMarksItsPartitions) {
  ScopedLogSink quiet([](const std::string&, int) {});
  MemoryDisk disk(std::vector<std::uint8_t>(512 * 64));
  TPartitionInformation entry;
  entry.Kind = pkMbr;
  entry.Start = 8;
  entry.Count = 16;
  disk.AppendPartition(std::move(entry));
  disk.SetMetadata(true);
  EXPECT_TRUE(disk.Metadata);
  ASSERT_NE(disk.GetPartition(0), nullptr);
  EXPECT_TRUE(disk.GetPartition(0)->Metadata);
  EXPECT_EQ(disk.GetPartition(1), nullptr);
  EXPECT_EQ(disk.GetPartition(-1), nullptr);
}

}  // namespace
}  // namespace vandrel
