// The MBR walk, the merge rule, free space and the partition objects, on
// hand-made tables (the real-tool images are in real_tables_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>

#include "common/endian.h"
#include "common/log.h"
#include "common/error_codes.h"
#include "platform/errors.h"
#include "storage/hdd_manager.h"
#include "storage/partition_types.h"
#include "disk_builder.h"
#include "storage/hard_drive.h"
#include "support/fixtures.h"
#include "support/memory_disk.h"

namespace vandrel {
namespace {

using test::DiskBuilder;
using test::MemoryDisk;

struct Row {
  std::uint8_t kind;
  std::int64_t start;
  std::int64_t count;
  std::int32_t ordinal;
  bool operator==(const Row&) const = default;
};

std::vector<Row> Rows(const MemoryDisk& disk, bool withFree) {
  std::vector<Row> rows;
  for (const auto& e : disk.Partitions)
    if (withFree || e.Kind != pkUnallocated) rows.push_back({e.Kind, e.Start, e.Count, e.Ordinal});
  return rows;
}

std::ostream& operator<<(std::ostream& out, const Row& r) {
  return out << "{kind " << int(r.kind) << ", start " << r.start << ", count " << r.count << ", ord " << r.ordinal
             << "}";
}

struct LogCapture {
  std::vector<std::string> lines;
  ScopedLogSink sink{[this](const std::string& line, int) { lines.push_back(line); }};
  long CountOf(const std::string& line) const { return std::count(lines.begin(), lines.end(), line); }
};

// A primary partition, an extended partition and two logical drives; the
// positions scale with the sector size so that both layouts are the same.
class MbrWalkTest : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(MbrWalkTest, ExtendedChainGivesOrdinalsAndAbsoluteStarts) {
  DiskBuilder b(1024, GetParam());
  b.MbrEntry(0, 0, 0x07, 64, 64, 0x80);
  b.MbrEntry(0, 1, 0x05, 256, 512);
  b.MbrEntry(256, 0, 0x83, 16, 100);   // relative to its own table
  b.MbrEntry(256, 1, 0x05, 200, 150);  // relative to the first extended table
  b.MbrEntry(456, 0, 0x0B, 16, 100);
  LogCapture log;
  MemoryDisk disk(b.Bytes(), GetParam(), true);

  const std::vector<Row> expected = {
      {pkMbr, 64, 64, 1}, {pkMbr, 272, 100, 3}, {pkMbr, 472, 100, 4},
      {pkUnallocated, 0, 64, 0}, {pkUnallocated, 128, 144, 0}, {pkUnallocated, 372, 100, 0},
      {pkUnallocated, 572, 452, 0}};
  EXPECT_EQ(Rows(disk, true), expected);
  // The stored raw entry carries the absolute start.
  EXPECT_EQ(Le32(disk.Partitions[1].MbrEntry, 8), 272u);
  EXPECT_EQ(disk.Partitions[1].MbrEntry[4], 0x83);
  // Zeroed boot sectors: nothing recognised, so the type becomes 0.
  EXPECT_EQ(disk.Partitions[0].Type, 0);
  EXPECT_EQ(disk.Partitions[3].Label, "Unallocated space (Memory disk at start)");
  EXPECT_EQ(disk.Partitions[4].Label, "Unallocated space (Memory disk in the middle)");
  EXPECT_EQ(disk.Partitions[6].Label, "Unallocated space (Memory disk at end)");
  for (std::size_t i = 3; i < 7; ++i) EXPECT_TRUE(disk.Partitions[i].Partition->Metadata) << i;  // all small
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, MbrWalkTest, ::testing::Values(512, 4096));

TEST(MbrWalk, LoopingChainEndsWithOneReport) {
  DiskBuilder b(2048, 512);
  b.MbrEntry(0, 0, 0x0F, 100, 1000);
  b.MbrEntry(100, 0, 0x83, 10, 50);
  b.MbrEntry(100, 1, 0x05, 0, 1000);  // links back to itself
  LogCapture log;
  MemoryDisk disk(b.Bytes(), 512, true);
  EXPECT_EQ(log.CountOf(FormatLogLine(kSenderIo, kErrTooManyPartitions, 0, "")), 1);
  // The logical drive seen 32 times stays one entry.
  const std::vector<Row> expected = {{pkMbr, 110, 50, 2}};
  EXPECT_EQ(Rows(disk, false), expected);
}

TEST(MbrWalk, DamagedTablesEndTheirBranch) {
  DiskBuilder b(2048, 512);
  b.MbrEntry(0, 0, 0x83, 2048 + 100, 50);   // starts past the end: listed, unreadable
  b.MbrEntry(0, 1, 0x05, 5000, 1000);       // extended table past the end
  b.MbrEntry(0, 2, 0x05, 300, 100);         // extended table without a signature
  b.MbrEntry(0, 3, 0xEE, 1, 2047);          // GPT protective: not listed
  b.At(300, 510)[0] = 0;
  LogCapture log;
  MemoryDisk disk(b.Bytes(), 512, true);
  const std::vector<Row> expected = {{pkMbr, 2148, 50, 1}};
  EXPECT_EQ(Rows(disk, false), expected);
  // The unreadable boot sector leaves the table's type in place.
  EXPECT_EQ(disk.Partitions[0].Type, 0x83);
  EXPECT_EQ(log.CountOf(FormatLogLine(kSenderIo, kErrBlockSignature, 0, "Magic: 0")), 1);
  EXPECT_EQ(log.CountOf(FormatLogLine(kSenderIo, kErrRead, platform::kErrorSectorNotFound, "Disk: -256  Sector: 5000  Size: 512 bytes")), 1);
}

TEST(MbrWalk, UnreadableBootSectorKeepsUnknownType) {
  DiskBuilder b(64, 512);
  b.MbrEntry(0, 0, 0x9F, 100, 10);
  MemoryDisk disk(b.Bytes(), 512, true);
  ASSERT_EQ(Rows(disk, false).size(), 1u);
  EXPECT_EQ(disk.Partitions[0].Type, 0x9F);
  EXPECT_EQ(PartitionTypeName(disk.Partitions[0].Type), "Unknown file system: 159");
}

TEST(AddPartitionEntry, MergesSameStartAndSimilarSize) {
  struct Case {
    std::int64_t first;
    std::int64_t second;
    std::size_t entries;
    std::int64_t count;  // of the first entry afterwards
  };
  const Case cases[] = {
      {1000000, 1002000, 1, 1002000}, {1002000, 1000000, 1, 1002000}, {100000, 100001, 2, 100000},
      {204800, 204800, 1, 204800},    {300000, 304095, 1, 304095},    {300000, 304096, 2, 300000},
  };
  for (const Case& c : cases) {
    MemoryDisk disk(std::vector<std::uint8_t>(512 * 64), 512, false);
    TPartitionInformation a;
    a.Start = 63;
    a.Count = c.first;
    EXPECT_TRUE(disk.AddPartitionEntry(std::move(a)));
    TPartitionInformation b;
    b.Start = 63;
    b.Count = c.second;
    EXPECT_EQ(disk.AddPartitionEntry(std::move(b)), c.entries == 2) << c.first << " " << c.second;
    ASSERT_EQ(disk.Partitions.size(), c.entries);
    EXPECT_EQ(disk.Partitions[0].Count, c.count);
    // The partition object reads as far as its entry.
    EXPECT_EQ(disk.Partitions[0].Partition->SectorCount, c.count);
  }
}

TEST(AddPartitionEntry, AbsurdExtentsStayRepresentable) {
  MemoryDisk disk(std::vector<std::uint8_t>(4096 * 16), 4096, false);
  TPartitionInformation huge;
  huge.Start = 8;
  huge.Count = std::numeric_limits<std::int64_t>::max() - 4;
  EXPECT_TRUE(disk.AddPartitionEntry(std::move(huge)));
  const auto& p = *disk.Partitions[0].Partition;
  EXPECT_GT(p.Size, 0);
  EXPECT_EQ(p.Size / 4096, p.SectorCount);
  TPartitionInformation negative;
  negative.Start = -5;
  negative.Count = 10;
  EXPECT_FALSE(disk.AddPartitionEntry(std::move(negative)));
  EXPECT_EQ(disk.Partitions.size(), 1u);
}

TEST(PartitionObjects, HiddenIpodVolumeIsLabelled) {
  DiskBuilder b(512, 512);
  b.MbrEntry(0, 0, 0x00, 100, 300);
  const char* lines[] = {"{{~~  /-----\\   ", "{{~~ /       \\  ", "{{~~|         | ", "{{~~| S T O P | ",
                         "{{~~|         | ", "{{~~ \\       /  ", "{{~~  \\-----/   "};
  for (int i = 0; i < 7; ++i) std::copy_n(lines[i], 16, b.At(100, 16 * static_cast<std::size_t>(i)));
  MemoryDisk disk(b.Bytes(), 512, true);
  ASSERT_FALSE(disk.Partitions.empty());
  EXPECT_EQ(disk.Partitions[0].Label, "Hidden iPod Volume");
  EXPECT_EQ(disk.Partitions[0].Partition->Information.Label, "Hidden iPod Volume");
}

// A whole-device FAT32 volume (a stick formatted without a table) is one
// kind-1 entry and leaves no free space.
TEST(PartitionObjects, VolumeWithoutTableIsTheWholeDevice) {
  VANDREL_FIXTURE(image, "fat32_plain");
  MemoryDisk disk(test::ReadFileBytes(image), 512, true);
  ASSERT_EQ(disk.Partitions.size(), 1u);
  EXPECT_EQ(disk.Partitions[0].Kind, pkWithoutTable);
  EXPECT_EQ(disk.Partitions[0].Count, disk.SectorCount);
  EXPECT_EQ(disk.Partitions[0].Type, 0x0B);
  EXPECT_EQ(disk.Partitions[0].Label, "PROBE32");
  EXPECT_EQ(disk.StorageType, stEmptyHardDriveForPartition);
}

}  // namespace
}  // namespace vandrel

namespace vandrel {
namespace {

TEST(PartitionNames, MountPathOfTheKernelPartitionWithTheSameStart) {
  auto volume = [](const char* disk, std::uint64_t start, std::vector<std::string> mounts) {
    platform::SystemVolume v;
    v.disk = disk;
    v.start = start;
    v.mountPoints = std::move(mounts);
    return v;
  };
  const std::vector<platform::SystemVolume> volumes = {
      volume("sda", 2048, {"/mnt/a", "/mnt/a-again"}), volume("sda", 4096, {}), volume("sdb", 2048, {"/mnt/b"}),
      volume("loop0", 2048, {"/mnt/c"})};
  struct Case {
    const char* disk;
    std::uint64_t startBytes;
    const char* path;
  };
  const Case cases[] = {
      {"sda", 2048 * 512, "/mnt/a"}, {"sdb", 2048 * 512, "/mnt/b"}, {"sda", 4096 * 512, ""},
      {"sdc", 2048 * 512, ""},       {"loop0", 256 * 4096, "/mnt/c"}, {"sda", 2049 * 512, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(FindMountPath(volumes, c.disk, c.startBytes), c.path) << c.disk;
}

}  // namespace
}  // namespace vandrel
