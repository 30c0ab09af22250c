// GPT headers and entry arrays, on hand-made tables: both copies, damaged
// copies, absurd sizes and counts, tables placed elsewhere.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/log.h"
#include "disk_builder.h"
#include "volumes/partitions/gpt.h"
#include "storage/hard_drive.h"
#include "support/memory_disk.h"

namespace vandrel {
namespace {

using test::DiskBuilder;
using test::MemoryDisk;

constexpr const char* kEfi = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
constexpr const char* kBasic = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";
constexpr const char* kReserved = "E3C9E316-0B5C-4DB8-817D-F92DF00215AE";
constexpr const char* kHfs = "48465300-0000-11AA-AA11-00306543ECAC";
constexpr const char* kLinuxFs = "0FC63DAF-8483-4772-8E79-3D69D8477DE4";

const std::vector<DiskBuilder::GptPart> kParts = {
    {kEfi, 64, 127, "EFI system partition"},
    {kBasic, 128, 255, "Basic data partition"},
    {kReserved, 256, 319, "Microsoft reserved partition"},
    {kHfs, 320, 383, "Apple"},
    {kLinuxFs, 384, 447, "Linux filesystem"},
};

struct Entry {
  std::int64_t start;
  std::int64_t count;
  bool operator==(const Entry&) const = default;
};

std::vector<Entry> GptEntries(const MemoryDisk& disk) {
  std::vector<Entry> out;
  for (const auto& e : disk.Partitions)
    if (e.Kind == pkGpt) out.push_back({e.Start, e.Count});
  return out;
}

const std::vector<Entry> kExpected = {{64, 64}, {128, 128}, {256, 64}, {320, 64}, {384, 64}};

// Both copies at their usual places, 128 entries of 128 bytes.
DiskBuilder StandardGpt(std::int32_t sectorSize) {
  const std::int64_t sectors = 512;
  DiskBuilder b(sectors, sectorSize);
  b.MbrEntry(0, 0, 0xEE, 1, static_cast<std::uint32_t>(sectors - 1));
  const std::int64_t arraySectors = 128 * 128 / sectorSize;
  b.Gpt(1, 2, kParts);
  b.Gpt(sectors - 1, sectors - 1 - arraySectors, kParts);
  return b;
}

class GptSectorSizes : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(GptSectorSizes, BothCopiesMergeIntoOneList) {
  DiskBuilder b = StandardGpt(GetParam());
  MemoryDisk disk(b.Bytes(), GetParam(), true);
  EXPECT_EQ(GptEntries(disk), kExpected);
  EXPECT_EQ(disk.Partitions[0].Ordinal, 0);
  EXPECT_EQ(disk.Partitions[4].Ordinal, 4);
}

TEST_P(GptSectorSizes, DestroyedPrimaryHeaderListsTheSamePartitions) {
  DiskBuilder b = StandardGpt(GetParam());
  std::fill_n(b.At(1), GetParam(), 0);
  std::fill_n(b.At(2), 4 * GetParam(), 0);  // and the primary array
  MemoryDisk disk(b.Bytes(), GetParam(), true);
  EXPECT_EQ(GptEntries(disk), kExpected);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, GptSectorSizes, ::testing::Values(512, 4096));

TEST(Gpt, LabelsAndTypesFromTheTypeTable) {
  DiskBuilder b = StandardGpt(512);
  MemoryDisk disk(b.Bytes(), 512, true);
  ASSERT_EQ(GptEntries(disk).size(), 5u);
  // A name that already says its type stands alone.
  EXPECT_EQ(disk.Partitions[0].Label, "EFI system partition");
  // Basic Data without a recognised file system: the later Linux row wins.
  EXPECT_EQ(disk.Partitions[1].Label, "Basic data partition (Linux Data partition)");
  EXPECT_EQ(disk.Partitions[2].Label, "Microsoft reserved partition");
  EXPECT_TRUE(disk.Partitions[2].Partition->Metadata);
  EXPECT_FALSE(disk.Partitions[0].Partition->Metadata);
  EXPECT_EQ(disk.Partitions[3].Label, "Apple (Mac OS X HFS+ partition)");
  // A type the built-in table lacks is named by util-linux's table, never by
  // its GUID; a name that says the same stands alone.
  EXPECT_EQ(disk.Partitions[4].Label, "Linux filesystem");
}

TEST(Gpt, AbsurdHeaderValuesAreReadAs128) {
  struct Case {
    std::uint32_t count;
    std::uint32_t size;
    std::uint32_t stride;  // how the entries really lie
  };
  const Case cases[] = {{0, 0, 128}, {128, 130, 128}, {0xFFFFFFFFu, 0xFFFFFFFFu, 128}, {4, 256, 256},
                        {4048, 512, 512}};
  for (const Case& c : cases) {
    DiskBuilder b(4096, 512);
    b.Gpt(1, 2, kParts, c.count, c.size, c.stride);
    MemoryDisk disk(b.Bytes(), 512, true);
    EXPECT_EQ(GptEntries(disk), kExpected) << c.count << " x " << c.size;
  }
}

TEST(Gpt, EntryArrayIsReadWhereTheHeaderPutsIt) {
  DiskBuilder b(512, 512);
  b.Gpt(1, 100, kParts);
  MemoryDisk disk(b.Bytes(), 512, true);
  EXPECT_EQ(GptEntries(disk), kExpected);
}

TEST(Gpt, EntryArrayOutsideTheDeviceFallsBackToSector2) {
  DiskBuilder b(512, 512);
  b.Gpt(1, 2, kParts);
  b.Put64(1, 72, 1u << 30);
  MemoryDisk disk(b.Bytes(), 512, true);
  EXPECT_EQ(GptEntries(disk), kExpected);
}

// Four 128-byte entries a sector: an unreadable second sector of the array
// costs the fifth entry only.
TEST(Gpt, UnreadableEntrySectorCostsOnlyItsEntries) {
  DiskBuilder b(512, 512);
  b.Gpt(1, 2, kParts);
  ScopedLogSink quiet([](const std::string&, int) {});
  MemoryDisk disk(b.Bytes(), 512);
  disk.unreadableFirst = 3;
  disk.unreadableCount = 1;
  disk.Open(true, false, false);
  disk.EnumerateVolumes();
  disk.Close(false);
  EXPECT_EQ(GptEntries(disk), std::vector<Entry>(kExpected.begin(), kExpected.begin() + 4));
}

TEST(Gpt, ChecksumMismatchIsLoggedButRejectsNothing) {
  DiskBuilder b(512, 512);
  b.Gpt(1, 2, kParts);
  b.At(2, 56)[0] = 'e';  // the entry array no longer matches its checksum
  std::vector<std::string> lines;
  ScopedLogSink sink([&lines](const std::string& line, int) { lines.push_back(line); });
  MemoryDisk disk(b.Bytes(), 512, true);
  EXPECT_EQ(GptEntries(disk), kExpected);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("GPT entry array CRC mismatch") != std::string::npos; }),
            1);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("GPT header CRC mismatch") != std::string::npos; }),
            0);
}

TEST(Gpt, DamagedEntriesGiveASaneList) {
  DiskBuilder b(512, 512);
  b.Gpt(1, 2, {{kBasic, 300, 200, "backwards"},
               {kBasic, 1, std::numeric_limits<std::int64_t>::max(), "everything"},
               {kBasic, 1000, 2000, "past the end"},
               {kBasic, -5, 10, "negative"},
               {kBasic, 64, 127, "fine"}});
  MemoryDisk disk(b.Bytes(), 512, true);
  const std::vector<Entry> entries = GptEntries(disk);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[1], (Entry{1000, 1001}));
  EXPECT_EQ(entries[2], (Entry{64, 64}));
  EXPECT_EQ(entries[0].start, 1);
  EXPECT_GT(entries[0].count, 0);
  EXPECT_GT(disk.Partitions[0].Partition->Size, 0);
}

}  // namespace
}  // namespace vandrel
