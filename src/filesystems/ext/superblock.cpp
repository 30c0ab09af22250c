#include "filesystems/ext/superblock.h"

namespace vandrel {
namespace {

// Superblock fields, by byte offset within the superblock.
constexpr std::uint64_t kSuperInodesCount = 0x00;      // s_inodes_count
constexpr std::uint64_t kSuperBlocksCountLo = 0x04;    // s_blocks_count_lo
constexpr std::uint64_t kSuperFirstDataBlock = 0x14;   // s_first_data_block
constexpr std::uint64_t kSuperLogBlockSize = 0x18;     // s_log_block_size
constexpr std::uint64_t kSuperBlocksPerGroup = 0x20;   // s_blocks_per_group
constexpr std::uint64_t kSuperInodesPerGroup = 0x28;   // s_inodes_per_group
constexpr std::uint64_t kSuperMagic = 0x38;            // s_magic
constexpr std::uint64_t kSuperRevLevel = 0x4C;         // s_rev_level
constexpr std::uint64_t kSuperInodeSize = 0x58;        // s_inode_size
constexpr std::uint64_t kSuperFeatureCompat = 0x5C;    // s_feature_compat
constexpr std::uint64_t kSuperFeatureIncompat = 0x60;  // s_feature_incompat
constexpr std::uint64_t kSuperFeatureRoCompat = 0x64;  // s_feature_ro_compat
constexpr std::uint64_t kSuperVolumeName = 0x78;       // s_volume_name
constexpr std::size_t kSuperVolumeNameLength = 16;
constexpr std::uint64_t kSuperDescSize = 0xFE;         // s_desc_size
constexpr std::uint64_t kSuperFirstMetaBg = 0x104;     // s_first_meta_bg
constexpr std::uint64_t kSuperBlocksCountHi = 0x150;   // s_blocks_count_hi

constexpr std::uint32_t kDynamicRevision = 1;
constexpr std::uint32_t kMaxLogBlockSize = 6;  // 1024 << 6 = 64 KiB
constexpr std::uint16_t kMinInodeSize = 128;
constexpr std::uint16_t kMinDescSize = 32;
constexpr std::uint16_t kMinDescSize64Bit = 64;
constexpr std::uint16_t kMaxDescSize = 1024;

constexpr bool PowerOfTwo(std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// A whole superblock with the magic number: what the label and the
// version name need before they read anything else.
bool HasExt2Magic(ByteSpan b) { return Fits(b, 0, kExt2SuperblockSize) && Le16(b, kSuperMagic) == kExt2Magic; }

}  // namespace

const char* Ext2SuperblockFaultText(Ext2SuperblockFault fault) {
  switch (fault) {
    case Ext2SuperblockFault::kNone: return "";
    case Ext2SuperblockFault::kTooShort: return "superblock cut short";
    case Ext2SuperblockFault::kBadMagic: return "no superblock magic";
    case Ext2SuperblockFault::kRevisionUnknown: return "revision unknown";
    case Ext2SuperblockFault::kBlockSizeOutOfRange: return "block size out of range";
    case Ext2SuperblockFault::kInodeSizeBad: return "inode size impossible";
    case Ext2SuperblockFault::kDescSizeBad: return "group descriptor size impossible";
    case Ext2SuperblockFault::kBlocksPerGroupBad: return "blocks per group impossible";
    case Ext2SuperblockFault::kInodesPerGroupBad: return "inodes per group impossible";
    case Ext2SuperblockFault::kFirstDataBlockBad: return "first data block does not fit the block size";
    case Ext2SuperblockFault::kBlockCountBad: return "block count impossible";
    case Ext2SuperblockFault::kInodeCountMismatch: return "inode count is not groups times inodes per group";
  }
  return "superblock damaged";
}

Ext2SuperblockFault ParseExt2Superblock(ByteSpan b, Ext2Superblock& sb) {
  using enum Ext2SuperblockFault;
  sb = Ext2Superblock{};
  if (!Fits(b, 0, kExt2SuperblockSize)) return kTooShort;
  sb.inodesCount = Le32(b, kSuperInodesCount);
  sb.blocksCount = Le32(b, kSuperBlocksCountLo);
  sb.firstDataBlock = Le32(b, kSuperFirstDataBlock);
  sb.logBlockSize = Le32(b, kSuperLogBlockSize);
  sb.blocksPerGroup = Le32(b, kSuperBlocksPerGroup);
  sb.inodesPerGroup = Le32(b, kSuperInodesPerGroup);
  sb.magic = Le16(b, kSuperMagic);
  sb.revLevel = Le32(b, kSuperRevLevel);
  if (sb.revLevel >= kDynamicRevision) {
    sb.inodeSize = Le16(b, kSuperInodeSize);
    sb.featureCompat = Le32(b, kSuperFeatureCompat);
    sb.featureIncompat = Le32(b, kSuperFeatureIncompat);
    sb.featureRoCompat = Le32(b, kSuperFeatureRoCompat);
    sb.firstMetaBg = Le32(b, kSuperFirstMetaBg);
  }
  const bool is64Bit = (sb.featureIncompat & kExt2Incompat64Bit) != 0;
  if (is64Bit) {
    sb.blocksCount |= std::uint64_t{Le32(b, kSuperBlocksCountHi)} << 32;
    sb.descSize = Le16(b, kSuperDescSize);
  }
  if (sb.magic != kExt2Magic) return kBadMagic;
  if (sb.revLevel > kDynamicRevision) return kRevisionUnknown;
  if (sb.logBlockSize > kMaxLogBlockSize) return kBlockSizeOutOfRange;
  sb.blockSize = 1024u << sb.logBlockSize;
  if (sb.inodeSize < kMinInodeSize || sb.inodeSize > sb.blockSize || !PowerOfTwo(sb.inodeSize)) return kInodeSizeBad;
  if (sb.descSize < (is64Bit ? kMinDescSize64Bit : kMinDescSize) || sb.descSize > kMaxDescSize ||
      !PowerOfTwo(sb.descSize))
    return kDescSizeBad;
  // One bitmap block tracks a group's blocks (clusters, with bigalloc) and inodes.
  const std::uint64_t bitsPerBlock = std::uint64_t{sb.blockSize} * 8;
  const bool bigalloc = (sb.featureRoCompat & kExt2RoCompatBigalloc) != 0;
  if (sb.blocksPerGroup == 0 || (!bigalloc && sb.blocksPerGroup > bitsPerBlock)) return kBlocksPerGroupBad;
  if (sb.inodesPerGroup < sb.blockSize / sb.inodeSize || sb.inodesPerGroup > bitsPerBlock) return kInodesPerGroupBad;
  // The superblock sits at byte 1024: in block 1 with 1 KiB blocks, else in
  // block 0. With clusters the first cluster holds it either way.
  const std::uint32_t superBlock = sb.blockSize == 1024 ? 1 : 0;
  if (sb.firstDataBlock != superBlock && !(bigalloc && sb.firstDataBlock == 0)) return kFirstDataBlockBad;
  // 2^48 blocks is the format's limit; it also keeps block * block size in 64 bits.
  if (sb.blocksCount <= sb.firstDataBlock || sb.blocksCount >= (std::uint64_t{1} << 48)) return kBlockCountBad;
  sb.groupCount = (sb.blocksCount - sb.firstDataBlock + sb.blocksPerGroup - 1) / sb.blocksPerGroup;
  if (sb.groupCount * sb.inodesPerGroup != sb.inodesCount) return kInodeCountMismatch;
  return kNone;
}

std::string Ext2VolumeLabel(ByteSpan b) {
  if (!HasExt2Magic(b)) return {};
  return LoadText(b, kSuperVolumeName, kSuperVolumeNameLength);  // NUL-padded
}

std::string Ext2VersionName(ByteSpan b) {
  // What the ext2 and ext3 drivers of old could mount; anything more is ext4.
  constexpr std::uint32_t kExt3Incompat = kExt2IncompatFiletype | kExt2IncompatRecover | kExt2IncompatMetaBg;
  constexpr std::uint32_t kExt2RoCompat = kExt2RoCompatSparseSuper | kExt2RoCompatLargeFile | kExt2RoCompatBtreeDir;
  if (!HasExt2Magic(b)) return {};
  // Revision 0 has no feature words.
  if (Le32(b, kSuperRevLevel) == 0) return "ext2";
  const std::uint32_t incompat = Le32(b, kSuperFeatureIncompat);
  if ((incompat & ~kExt3Incompat) != 0 || (Le32(b, kSuperFeatureRoCompat) & ~kExt2RoCompat) != 0) return "ext4";
  return (Le32(b, kSuperFeatureCompat) & kExt2CompatHasJournal) != 0 ? "ext3" : "ext2";
}

}  // namespace vandrel
