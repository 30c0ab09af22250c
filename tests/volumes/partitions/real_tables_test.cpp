// Tables made by sfdisk and sgdisk, compared with what those tools report
// of the same image; and the same tables on a loop device with 4096-byte
// sectors.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <regex>
#include <sstream>

#include "common/func.h"
#include "volumes/partitions/gpt_guides.h"
#include "storage/hard_drive.h"
#include "storage/hdd_manager.h"
#include "support/fixtures.h"
#include "support/memory_disk.h"

namespace vandrel {
namespace {

using test::MemoryDisk;
using test::RunCommand;

struct Part {
  std::int64_t start;
  std::int64_t count;
  std::string type;  // MBR type byte in hex, or the GPT type GUID
  bool operator==(const Part&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Part& p) {
  return out << "{" << p.start << ", " << p.count << ", " << p.type << "}";
}

// What sfdisk --json reports, without the extended container entries.
std::vector<Part> SfdiskParts(const std::string& device) {
  std::string out;
  EXPECT_TRUE(RunCommand("sfdisk --json '" + device + "'", out));
  std::vector<Part> parts;
  const nlohmann::json table = nlohmann::json::parse(out);
  for (const auto& p : table["partitiontable"]["partitions"]) {
    const std::string type = p["type"];
    if (type == "5" || type == "f" || type == "85") continue;
    parts.push_back({p["start"].get<std::int64_t>(), p["size"].get<std::int64_t>(), type});
  }
  return parts;
}

// What sgdisk -p reports, with each entry's type GUID from sgdisk -i.
std::vector<Part> SgdiskParts(const std::string& device) {
  std::string out;
  EXPECT_TRUE(RunCommand("sgdisk -p '" + device + "'", out));
  std::vector<Part> parts;
  const std::regex row(R"(^\s+(\d+)\s+(\d+)\s+(\d+)\s)");
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (!std::regex_search(line, m, row)) continue;
    std::string info;
    EXPECT_TRUE(RunCommand("sgdisk -i " + m[1].str() + " '" + device + "'", info));
    std::smatch g;
    EXPECT_TRUE(std::regex_search(info, g, std::regex(R"(Partition GUID code: ([0-9A-F-]{36}))")));
    const std::int64_t first = std::stoll(m[2]);
    parts.push_back({first, std::stoll(m[3]) - first + 1, g[1].str()});
  }
  return parts;
}

std::vector<Part> OurMbrParts(const TStorageWithPartitions& disk) {
  std::vector<Part> parts;
  char hex[8];
  for (const auto& e : disk.Partitions) {
    if (e.Kind != pkMbr) continue;
    std::snprintf(hex, sizeof hex, "%x", e.MbrEntry[4]);
    parts.push_back({e.Start, e.Count, hex});
  }
  return parts;
}

std::vector<Part> OurGptParts(const TStorageWithPartitions& disk) {
  std::vector<Part> parts;
  for (const auto& e : disk.Partitions) {
    if (e.Kind != pkGpt) continue;
    parts.push_back({e.Start, e.Count, GuidText(LoadGuid(e.GptEntry, 0))});
  }
  return parts;
}

struct Free {
  std::int64_t start;
  std::int64_t count;
  std::string label;
  bool metadata;
  bool operator==(const Free&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Free& f) {
  return out << "{" << f.start << ", " << f.count << ", " << f.label << ", " << f.metadata << "}";
}

std::vector<Free> FreeEntries(const TStorageWithPartitions& disk) {
  std::vector<Free> out;
  for (const auto& e : disk.Partitions)
    if (e.Kind == pkUnallocated) out.push_back({e.Start, e.Count, e.Label, e.Partition->Metadata});
  return out;
}

TEST(RealTables, SfdiskExtendedPartitions) {
  VANDREL_REQUIRE(test::HaveTool("sfdisk"), "sfdisk is not installed");
  VANDREL_FIXTURE(image, "mbr_extended");
  MemoryDisk disk(test::ReadFileBytes(image), 512, true, "disk");
  EXPECT_EQ(OurMbrParts(disk), SfdiskParts(image));
  std::vector<std::int32_t> ordinals;
  for (const auto& e : disk.Partitions)
    if (e.Kind == pkMbr) ordinals.push_back(e.Ordinal);
  EXPECT_EQ(ordinals, (std::vector<std::int32_t>{1, 3, 4, 5}));
  // Types from the boot sectors, labels from the FAT boot sectors.
  EXPECT_EQ(disk.Partitions[0].Type, 0x04);
  EXPECT_EQ(disk.Partitions[0].Label, "PRIMARYFAT");
  EXPECT_EQ(disk.Partitions[1].Label, "LOGICALFAT");
  EXPECT_EQ(disk.Partitions[2].Type, 0x83);
  EXPECT_EQ(disk.Partitions[3].Type, 0x00);  // type 7 without a volume
  const std::vector<Free> free = {{0, 2048, "Unallocated space (disk at start)", true},
                                  {22528, 2048, "Unallocated space (disk in the middle)", true},
                                  {45056, 2048, "Unallocated space (disk in the middle)", true},
                                  {67584, 2048, "Unallocated space (disk in the middle)", true},
                                  {79872, 51200, "Unallocated space (disk at end)", false}};
  EXPECT_EQ(FreeEntries(disk), free);
}

TEST(RealTables, SgdiskGpt) {
  VANDREL_REQUIRE(test::HaveTool("sgdisk"), "sgdisk is not installed");
  VANDREL_FIXTURE(image, "gpt_basic");
  const std::vector<Part> expected = SgdiskParts(image);
  ASSERT_EQ(expected.size(), 4u);
  std::vector<std::uint8_t> bytes = test::ReadFileBytes(image);
  MemoryDisk disk(bytes, 512, true, "disk");
  EXPECT_EQ(OurGptParts(disk), expected);
  EXPECT_EQ(disk.Partitions[0].Label, "EFI system partition");
  // The Linux filesystem entry is named as sfdisk names its type.
  std::string listing;
  ASSERT_TRUE(test::RunCommand("sfdisk -l -o Device,Type '" + image + "'", listing));
  const std::size_t row = listing.find(image + "3 ");
  ASSERT_NE(row, std::string::npos) << listing;
  const std::string line = listing.substr(row, listing.find('\n', row) - row);
  EXPECT_EQ(Trim(line.substr(image.size() + 1)), "Linux filesystem") << listing;
  EXPECT_EQ(disk.Partitions[2].Label, "Linux filesystem");
  EXPECT_EQ(disk.Partitions[0].Type, 0x04);
  EXPECT_EQ(disk.Partitions[1].Type, 0x07);
  EXPECT_EQ(disk.Partitions[1].Label, "GPTNTFS");  // from the NTFS $Volume record
  EXPECT_TRUE(disk.Partitions[3].Partition->Metadata);
  const std::vector<Free> free = {{0, 2048, "Unallocated space (disk at start)", true},
                                  {108544, 22528, "Unallocated space (disk at end)", false}};
  EXPECT_EQ(FreeEntries(disk), free);

  // The backup copy alone lists the same partitions.
  std::fill_n(bytes.begin() + 512, 512, 0);
  MemoryDisk backupOnly(bytes, 512, true, "disk");
  EXPECT_EQ(OurGptParts(backupOnly), expected);
  EXPECT_EQ(FreeEntries(backupOnly), free);
}

TEST(RealTables, TruncatedImagesGiveSaneLists) {
  VANDREL_FIXTURE(mbr, "mbr_extended");
  VANDREL_FIXTURE(gpt, "gpt_basic");
  for (const std::string& image : {mbr, gpt}) {
    const std::vector<std::uint8_t> bytes = test::ReadFileBytes(image);
    for (std::size_t keep : {std::size_t{512}, std::size_t{4096}, std::size_t{30000 * 512}, bytes.size() - 4096}) {
      MemoryDisk disk(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(keep)),
                      512, true);
      for (const auto& e : disk.Partitions) {
        EXPECT_GE(e.Start, 0);
        EXPECT_GT(e.Count, 0);
        if (e.Kind == pkUnallocated) {
          EXPECT_LE(e.Start + e.Count, disk.SectorCount);
        }
      }
    }
  }
}

// A loop device with 4096-byte sectors, attached for one test.
class LoopDevice4k : public ::testing::Test {
 protected:
  void Attach(std::int64_t megabytes) {
    image_ = ::testing::TempDir() + "vandrel_loop4k.img";
    std::string out;
    ASSERT_TRUE(RunCommand("rm -f '" + image_ + "' && truncate -s " + std::to_string(megabytes) + "M '" + image_ + "'", out));
    ASSERT_TRUE(RunCommand("losetup -P --sector-size 4096 -f --show '" + image_ + "' 2>&1", out)) << out;
    device_ = out.substr(0, out.find('\n'));
  }
  void TearDown() override {
    std::string out;
    if (!mountPoint_.empty()) {
      RunCommand("umount '" + mountPoint_ + "' 2>&1", out);
      std::filesystem::remove(mountPoint_);
    }
    if (!device_.empty()) RunCommand("losetup -d '" + device_ + "' 2>&1", out);
    if (!image_.empty()) std::remove(image_.c_str());
  }
  std::string image_;
  std::string device_;
  std::string mountPoint_;
};

TEST_F(LoopDevice4k, GptAndMbrUse4096ByteSectors) {
  VANDREL_REQUIRE(test::IsRoot(), "needs root for losetup");
  VANDREL_REQUIRE(test::HaveTool("losetup") && test::HaveTool("sgdisk") && test::HaveTool("sfdisk"),
                  "losetup, sgdisk and sfdisk are needed");
  Attach(64);
  ASSERT_FALSE(device_.empty());
  std::string out;
  ASSERT_TRUE(RunCommand("sgdisk -n 1:256:+8M -t 1:ef00 -c 1:EFI -n 2:0:+16M -t 2:8300 -n 3:0:+4M -t 3:0c01 '" +
                             device_ + "' 2>&1",
                         out))
      << out;
  {
    THardDrive drive(test::ListingManager(), device_, 0, 0, 0, kAddressByPath);
    ASSERT_TRUE(drive.ValidDevice);
    EXPECT_EQ(drive.SectorSize, 4096);
    EXPECT_EQ(OurGptParts(drive), SgdiskParts(device_));
    const auto free = FreeEntries(drive);
    ASSERT_FALSE(free.empty());
    EXPECT_EQ(free.front().start, 0);
    EXPECT_EQ(free.front().count, 256);
  }
  ASSERT_TRUE(RunCommand("sgdisk -Z '" + device_ + "' >/dev/null 2>&1 && printf 'start=256, size=2048, type=83\\n"
                         "start=4096, size=8192, type=5\\nstart=4352, size=1024, type=7\\n"
                         "start=6144, size=1024, type=b\\n' | sfdisk -q '" + device_ + "' 2>&1",
                         out))
      << out;
  THardDrive drive(test::ListingManager(), device_, 0, 0, 0, kAddressByPath);
  EXPECT_EQ(OurMbrParts(drive), SfdiskParts(device_));
}

// A partition the system has mounted is named by its mount point: the kernel
// partition with the same start, counted in 512-byte units there.
TEST_F(LoopDevice4k, MountedPartitionTakesItsMountPoint) {
  VANDREL_REQUIRE(test::IsRoot(), "needs root for losetup and mount");
  VANDREL_REQUIRE(test::HaveTool("losetup") && test::HaveTool("sfdisk") && test::HaveTool("mke2fs"),
                  "losetup, sfdisk and mke2fs are needed");
  Attach(32);
  ASSERT_FALSE(device_.empty());
  std::string out;
  ASSERT_TRUE(RunCommand("printf 'start=256, size=2048, type=83\\nstart=2304, size=2048, type=83\\n' | sfdisk -q '" +
                             device_ + "' 2>&1",
                         out))
      << out;
  // Without udev the kernel may not rescan the new table by itself: ask it.
  if (!std::filesystem::exists(device_ + "p2")) RunCommand("partx -a '" + device_ + "' 2>&1", out);
  VANDREL_REQUIRE(std::filesystem::exists(device_ + "p2"), "the kernel shows no partitions of " + device_);
  ASSERT_TRUE(RunCommand("mke2fs -q -F -t ext2 -L mountedext '" + device_ + "p2' 2>&1", out)) << out;
  mountPoint_ = ::testing::TempDir() + "vandrel_mnt4k";
  std::filesystem::create_directories(mountPoint_);
  const bool mounted = RunCommand("mount -o ro '" + device_ + "p2' '" + mountPoint_ + "' 2>&1", out);
  if (!mounted) std::filesystem::remove(mountPoint_);
  if (!mounted) mountPoint_.clear();
  VANDREL_REQUIRE(mounted, "cannot mount the loop partition: " + out);

  THddManager::RebuildSystemVolumes();
  THardDrive drive(test::ListingManager(), device_, 0, 0, 0, kAddressByPath);
  ASSERT_GE(drive.PartitionCount(), 2);
  EXPECT_EQ(drive.Partitions[0].Start, 256);
  EXPECT_EQ(drive.Partitions[0].WindowsPath, "");
  EXPECT_EQ(drive.Partitions[1].Start, 2304);
  EXPECT_EQ(drive.Partitions[1].WindowsPath, mountPoint_);
  EXPECT_EQ(drive.Partitions[1].Name, mountPoint_);
  EXPECT_EQ(drive.GetPartition(1)->GetName(false), mountPoint_ + " (mountedext)");
}

}  // namespace
}  // namespace vandrel
