// The lost-partition search on volumes made by mkntfs and mkfs.fat, laid
// out on disks without a usable table.
#include <gtest/gtest.h>

#include "filesystems/partition_recovery.h"
#include "support/fixtures.h"
#include "support/memory_disk.h"

namespace vandrel {
namespace {

using test::MemoryDisk;

struct Listed {
  std::int64_t start;
  std::int64_t count;
  std::uint8_t type;
  bool operator==(const Listed&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Listed& l) {
  return out << "{" << l.start << ", " << l.count << ", 0x" << std::hex << int(l.type) << std::dec << "}";
}

std::vector<Listed> Volumes(const MemoryDisk& disk) {
  std::vector<Listed> out;
  for (const auto& e : disk.Partitions)
    if (e.Kind != pkUnallocated) out.push_back({e.Start, e.Count, e.Type});
  return out;
}

// `before` empty sectors, the volume image `copies` times, `after` empty sectors.
std::vector<std::uint8_t> Layout(const std::vector<std::uint8_t>& volume, std::int64_t before, int copies,
                                 std::int64_t after) {
  std::vector<std::uint8_t> disk(static_cast<std::size_t>(before * 512), 0);
  for (int i = 0; i < copies; ++i) disk.insert(disk.end(), volume.begin(), volume.end());
  disk.resize(disk.size() + static_cast<std::size_t>(after * 512), 0);
  return disk;
}

TEST(PartitionRecovery, WipedTableOverNtfsAtSector63) {
  VANDREL_FIXTURE(image, "ntfs_lost63");
  MemoryDisk disk(test::ReadFileBytes(image), 512, true);
  const std::int64_t volume = disk.SectorCount - 63;
  EXPECT_EQ(Volumes(disk), (std::vector<Listed>{{63, volume, 0x07}}));
  EXPECT_EQ(disk.Partitions[0].Kind, pkMbr);
  // The recovered volume reads as NTFS: its label comes from its $Volume record.
  EXPECT_EQ(disk.Partitions[0].Label, "LOSTNTFS");

  // Found forward from its boot sector and backward from its backup.
  MemoryDisk again(test::ReadFileBytes(image), 512, false);
  TPartitionRecovery search(&again);
  int notified = 0;
  search.Notify = [&](std::uint8_t, std::int32_t, std::int32_t, std::int64_t, std::int64_t) { ++notified; };
  search.Scan();
  ASSERT_EQ(search.Found().size(), 1u);
  EXPECT_EQ(notified, 1);
  EXPECT_EQ(search.Found()[0].BootPosition, 63);
  EXPECT_EQ(search.Found()[0].BackupPosition, again.SectorCount - 1);
}

TEST(PartitionRecovery, NtfsVolumesEndToEndAreAllFound) {
  VANDREL_FIXTURE(image, "ntfs_plain");
  const std::vector<std::uint8_t> volume = test::ReadFileBytes(image);
  const auto n = static_cast<std::int64_t>(volume.size() / 512);
  MemoryDisk disk(Layout(volume, 63, 3, 100), 512, true);
  EXPECT_EQ(Volumes(disk), (std::vector<Listed>{{63, n, 0x07}, {63 + n, n, 0x07}, {63 + 2 * n, n, 0x07}}));
}

TEST(PartitionRecovery, NtfsAwayFromBothSearchStartsIsNotFound) {
  VANDREL_FIXTURE(image, "ntfs_plain");
  MemoryDisk disk(Layout(test::ReadFileBytes(image), 2048, 1, 1000), 512, true);
  EXPECT_TRUE(Volumes(disk).empty());
}

TEST(PartitionRecovery, FatVolumesAtSector63) {
  struct Case {
    const char* fixture;
    std::uint8_t type;
  };
  const Case cases[] = {{"fat16_plain", 0x04}, {"fat12_plain", 0x01}, {"fat32_plain", 0x0B}};
  for (const Case& c : cases) {
    VANDREL_FIXTURE(image, c.fixture);
    const std::vector<std::uint8_t> volume = test::ReadFileBytes(image);
    const auto n = static_cast<std::int64_t>(volume.size() / 512);
    MemoryDisk disk(Layout(volume, 63, 1, 5000), 512, true);
    EXPECT_EQ(Volumes(disk), (std::vector<Listed>{{63, n, c.type}})) << c.fixture;
  }
}

TEST(PartitionRecovery, VolumeListedByTheTableAppearsOnce) {
  VANDREL_FIXTURE(image, "ntfs_lost63");
  std::vector<std::uint8_t> bytes = test::ReadFileBytes(image);
  const auto volume = static_cast<std::uint32_t>(bytes.size() / 512 - 63);
  bytes[446 + 4] = 0x07;
  for (int i = 0; i < 4; ++i) {
    bytes[446 + 8 + i] = static_cast<std::uint8_t>(63u >> (8 * i));
    bytes[446 + 12 + i] = static_cast<std::uint8_t>(volume >> (8 * i));
  }
  bytes[510] = 0x55;
  bytes[511] = 0xAA;
  MemoryDisk disk(bytes, 512, true);
  EXPECT_EQ(Volumes(disk), (std::vector<Listed>{{63, volume, 0x07}}));
  EXPECT_EQ(disk.Partitions[0].Ordinal, 1);  // the table's entry, not the search's
}

}  // namespace
}  // namespace vandrel
