// Superblocks that cannot describe the volume they sit on: each field
// alone, and the fields against each other. The volume does not open, and
// one log line names what is wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "filesystems/ext/ext2.h"
#include "support/fixtures.h"
#include "support/memory_disk.h"

namespace vandrel::test {
namespace {

struct Field {
  std::uint64_t at;  // within the superblock
  int width;
};
constexpr Field kInodesCount{0x00, 4};
constexpr Field kBlocksCount{0x04, 4};
constexpr Field kFirstDataBlock{0x14, 4};
constexpr Field kLogBlockSize{0x18, 4};
constexpr Field kBlocksPerGroup{0x20, 4};
constexpr Field kInodesPerGroup{0x28, 4};
constexpr Field kMagic{0x38, 2};
constexpr Field kRevLevel{0x4C, 4};
constexpr Field kInodeSize{0x58, 2};
constexpr Field kDescSize{0xFE, 2};

std::uint64_t Get(const std::vector<std::uint8_t>& bytes, Field f) {
  std::uint64_t value = 0;
  for (int i = 0; i < f.width; ++i) value |= std::uint64_t{bytes[kExt2SuperblockOffset + f.at + static_cast<std::uint64_t>(i)]} << (8 * i);
  return value;
}

void Put(std::vector<std::uint8_t>& bytes, Field f, std::uint64_t value) {
  for (int i = 0; i < f.width; ++i)
    bytes[kExt2SuperblockOffset + f.at + static_cast<std::uint64_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

struct Opened {
  bool opened = false;
  std::vector<std::string> lines;
};

Opened OpenBytes(std::vector<std::uint8_t> bytes) {
  Opened result;
  ScopedLogSink sink([&](const std::string& line, int) { result.lines.push_back(line); });
  MemoryDisk disk(std::move(bytes));
  disk.Open(true, false, false);
  TExt2_Reader ext(&disk);
  result.opened = ext.Open();
  return result;
}

TEST(ExtSuperblock, FieldsThatDisagreeKeepTheVolumeShut) {
  // 1 KiB blocks, one group of 8192 blocks, 64-bit descriptors.
  VANDREL_FIXTURE(image, "ext4_damage");
  const std::vector<std::uint8_t> clean = ReadFileBytes(image);
  ASSERT_EQ(Get(clean, kLogBlockSize), 0u);
  ASSERT_EQ(Get(clean, kFirstDataBlock), 1u);
  ASSERT_EQ(Get(clean, kDescSize), 64u);
  const std::uint64_t blocks = Get(clean, kBlocksCount);
  const std::uint64_t perGroup = Get(clean, kInodesPerGroup);
  ASSERT_EQ(Get(clean, kInodesCount), perGroup);  // one group
  ASSERT_TRUE(OpenBytes(clean).opened);

  const struct {
    const char* what;
    Field field;
    std::uint64_t value;
    const char* reason;  // in the log line; nullptr: no line at all
  } cases[] = {
      {"no magic: no Ext volume, nothing to tell", kMagic, 0x1234, nullptr},
      {"revision from the future", kRevLevel, 2, "revision unknown"},
      {"block size 128 KiB", kLogBlockSize, 7, "block size out of range"},
      {"inode size not a power of two", kInodeSize, 200, "inode size impossible"},
      {"inode size larger than a block", kInodeSize, 2048, "inode size impossible"},
      {"32-byte descriptors on a 64-bit volume", kDescSize, 32, "group descriptor size impossible"},
      {"no blocks per group", kBlocksPerGroup, 0, "blocks per group impossible"},
      {"more blocks per group than a bitmap block tracks", kBlocksPerGroup, 8 * 1024 + 8, "blocks per group impossible"},
      {"no inodes per group", kInodesPerGroup, 0, "inodes per group impossible"},
      {"first data block 0 with 1 KiB blocks", kFirstDataBlock, 0, "first data block does not fit the block size"},
      {"first data block past the block count", kFirstDataBlock, blocks, "first data block does not fit the block size"},
      {"block count no more than the first data block", kBlocksCount, 1, "block count impossible"},
      // Each field alone is possible; together they are not.
      {"inode count one more than the group holds", kInodesCount, perGroup + 1,
       "inode count is not groups times inodes per group"},
      {"inodes per group one less than the count needs", kInodesPerGroup, perGroup - 8,
       "inode count is not groups times inodes per group"},
      {"block count of two groups with the inodes of one", kBlocksCount, blocks + 8192,
       "inode count is not groups times inodes per group"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> bytes = clean;
    Put(bytes, c.field, c.value);
    const Opened opened = OpenBytes(std::move(bytes));
    EXPECT_FALSE(opened.opened);
    if (c.reason == nullptr) {
      EXPECT_TRUE(opened.lines.empty());
      continue;
    }
    ASSERT_EQ(opened.lines.size(), 1u);
    EXPECT_NE(opened.lines[0].find(c.reason), std::string::npos) << opened.lines[0];
  }
}

}  // namespace
}  // namespace vandrel::test
