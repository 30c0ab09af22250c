// The boot-sector probe on volumes made by the real tools and on damaged
// boot sectors.
#include <gtest/gtest.h>

#include <cstring>

#include "devices/volume_services.h"
#include "common/log.h"
#include "filesystems/file_system.h"
#include "storage/hard_drive.h"
#include "storage/hdd_manager.h"
#include "support/fixtures.h"
#include "support/memory_disk.h"

namespace vandrel {
namespace {

struct ProbeCase {
  const char* fixture;
  const char* tool;
  TFileSystemKind kind;
  std::uint8_t type;
};

void PrintTo(const ProbeCase& c, std::ostream* out) { *out << c.fixture; }

class ProbeRealImages : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(ProbeRealImages, KindAndPartitionType) {
  const ProbeCase& c = GetParam();
  VANDREL_REQUIRE(test::HaveTool(c.tool), std::string("needs ") + c.tool);
  VANDREL_FIXTURE(image, c.fixture);
  ScopedLogSink quiet([](const std::string&, int) {});
  THddManager manager;
  manager.VolumeServices = &DeviceVolumeServices();
  auto* drive = dynamic_cast<THardDrive*>(manager.OpenByPath(image));
  ASSERT_NE(drive, nullptr);
  ASSERT_TRUE(drive->Open(true, false, false));
  EXPECT_EQ(ProbeBootSector(*drive), c.kind);
  drive->Close(false);
  // The whole image is one volume carrying the probed type.
  ASSERT_EQ(drive->PartitionCount(), 1);
  EXPECT_EQ(drive->Partitions[0].Kind, pkWithoutTable);
  EXPECT_EQ(drive->GetPartition(0)->FsType, c.type);
  EXPECT_EQ(drive->StorageType, stEmptyHardDriveForPartition);
}

INSTANTIATE_TEST_SUITE_P(Tools, ProbeRealImages,
                         ::testing::Values(ProbeCase{"fat12_plain", "mkfs.fat", TFileSystemKind::kFat12, 0x01},
                                           ProbeCase{"fat16_plain", "mkfs.fat", TFileSystemKind::kFat16, 0x04},
                                           ProbeCase{"fat32_plain", "mkfs.fat", TFileSystemKind::kFat32, 0x0B},
                                           ProbeCase{"ntfs_plain", "mkntfs", TFileSystemKind::kNtfs, 0x07},
                                           ProbeCase{"ext2_plain", "mke2fs", TFileSystemKind::kExt, 0x83}),
                         [](const auto& param) { return std::string(param.param.fixture); });

std::vector<std::uint8_t> Blank(std::size_t sectors) { return std::vector<std::uint8_t>(sectors * 512); }

TEST(ProbeBootSector, HandMadeSectors) {
  {
    auto bytes = Blank(8);
    std::memcpy(bytes.data() + 3, "NTFS    ", 8);  // damaged otherwise: still NTFS
    test::MemoryDisk disk(bytes);
    EXPECT_EQ(ProbeBootSector(disk), TFileSystemKind::kNtfs);
  }
  {
    // A FAT boot sector whose cluster count comes out negative.
    auto bytes = Blank(8);
    bytes[11] = 0x00, bytes[12] = 0x02;  // 512 bytes per sector
    bytes[13] = 1;                       // sectors per cluster
    bytes[14] = 100;                     // reserved sectors
    bytes[19] = 10;                      // total sectors
    test::MemoryDisk disk(bytes);
    EXPECT_EQ(ProbeBootSector(disk), TFileSystemKind::kFat12);
  }
  {
    auto bytes = Blank(8);
    std::memcpy(bytes.data() + 3, "EXFAT   ", 8);
    bytes[11] = 0x00, bytes[12] = 0x02, bytes[13] = 1;
    test::MemoryDisk disk(bytes);
    EXPECT_EQ(ProbeBootSector(disk), TFileSystemKind::kExFat);
  }
  {
    auto bytes = Blank(8);
    bytes[1024] = 'H', bytes[1025] = '+';
    test::MemoryDisk disk(bytes);
    EXPECT_EQ(ProbeBootSector(disk), TFileSystemKind::kHfs);
  }
  {
    test::MemoryDisk tiny(Blank(1));  // too small for the superblock read
    EXPECT_EQ(ProbeBootSector(tiny), TFileSystemKind::kNone);
  }
}

// An Ext2 superblock on a Linux software-RAID member is not an Ext2 volume.
TEST(ProbeBootSector, Ext2OnRaidMemberIsNotExt2) {
  const std::size_t sectors = 4096;
  auto bytes = Blank(sectors);
  bytes[1024 + 56] = 0x53;
  bytes[1024 + 57] = 0xEF;
  test::MemoryDisk plain(bytes);
  EXPECT_EQ(ProbeBootSector(plain), TFileSystemKind::kExt);
  // A 0.90 superblock with a valid checksum at the last 64 KiB boundary.
  const std::size_t at = ((sectors / 128) * 128 - 128) * 512;
  bytes[at] = 0xFC, bytes[at + 1] = 0x4E, bytes[at + 2] = 0x2B, bytes[at + 3] = 0xA9;
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < 1024; ++i) {
    std::uint32_t w = 0;
    for (int k = 3; k >= 0; --k) w = (w << 8) | bytes[at + i * 4 + static_cast<std::size_t>(k)];
    sum += w;
  }
  // Stored checksum C with sum(words including C) = 2C: C = sum of the others.
  for (int k = 0; k < 4; ++k) bytes[at + 152 + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(sum >> (8 * k));
  test::MemoryDisk member(bytes);
  EXPECT_EQ(ProbeBootSector(member), TFileSystemKind::kNone);
  EXPECT_EQ(KindToPartitionType(TFileSystemKind::kNone), 0x00);
}

TEST(PartitionTypeKind, KindsAndTypes) {
  using enum TFileSystemKind;
  struct Case {
    std::uint8_t type;
    TFileSystemKind kind;
  };
  for (const Case c : {Case{0x01, kFat12}, Case{0x0C, kFat32}, Case{0x8C, kFat32}, Case{0x0E, kFat16}, Case{0x07, kNtfs},
                       Case{0x87, kNtfs}, Case{0x83, kExt}, Case{0x85, kExt}, Case{0xAF, kHfs}, Case{0xFA, kExFat},
                       Case{0xF9, kBitLocker}, Case{0xFF, kCdfs}, Case{0x00, kNone}, Case{0x42, kNone}})
    EXPECT_EQ(PartitionTypeKind(c.type), c.kind) << int{c.type};
  EXPECT_EQ(KindToPartitionType(TFileSystemKind::kFat32), 0x0B);
  EXPECT_EQ(KindToPartitionType(TFileSystemKind::kExt), 0x83);
  // A volume listed by its probed kind reads back as that kind.
  for (const TFileSystemKind kind : {kFat12, kFat16, kFat32, kNtfs, kExt, kHfs, kExFat, kBitLocker, kCdfs, kNone})
    EXPECT_EQ(PartitionTypeKind(KindToPartitionType(kind)), kind) << FileSystemKindName(kind);
}

// A volume two recognisers claim is read as the first and reported.
TEST(ProbeBootSector, TwoClaimsAreReported) {
  auto bytes = Blank(16);
  bytes[11] = 0x00, bytes[12] = 0x02, bytes[13] = 1, bytes[14] = 1, bytes[19] = 16;  // a FAT BPB
  bytes[1024 + 56] = 0x53, bytes[1024 + 57] = 0xEF;                                     // an Ext superblock
  std::vector<std::string> log;
  ScopedLogSink capture([&](const std::string& line, int) { log.push_back(line); });
  test::MemoryDisk disk(bytes);
  EXPECT_EQ(ProbeBootSector(disk), TFileSystemKind::kFat12);
  EXPECT_EQ(log, std::vector<std::string>{"The volume carries the marks of two file systems (FAT12 and Ext); it is read as FAT12."});
  log.clear();
  bytes[12] = 0;  // no BPB left: the superblock decides, quietly
  test::MemoryDisk ext(bytes);
  EXPECT_EQ(ProbeBootSector(ext), TFileSystemKind::kExt);
  EXPECT_TRUE(log.empty());
}

}  // namespace
}  // namespace vandrel
