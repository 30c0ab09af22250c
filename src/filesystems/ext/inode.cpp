#include "filesystems/ext/inode.h"

namespace vandrel {
namespace {

// Inode fields, by byte offset within the record.
constexpr std::uint64_t kInodeMode = 0x00;         // i_mode
constexpr std::uint64_t kInodeSizeLo = 0x04;       // i_size_lo
constexpr std::uint64_t kInodeAtime = 0x08;        // i_atime
constexpr std::uint64_t kInodeCtime = 0x0C;        // i_ctime
constexpr std::uint64_t kInodeMtime = 0x10;        // i_mtime
constexpr std::uint64_t kInodeLinksCount = 0x1A;   // i_links_count
constexpr std::uint64_t kInodeBlocksLo = 0x1C;     // i_blocks_lo
constexpr std::uint64_t kInodeFlags = 0x20;        // i_flags
constexpr std::uint64_t kInodeBlock = 0x28;        // i_block
constexpr std::uint64_t kInodeFileAclLo = 0x68;    // i_file_acl_lo
constexpr std::uint64_t kInodeSizeHigh = 0x6C;     // i_size_high (i_dir_acl of old)
constexpr std::uint64_t kInodeBlocksHigh = 0x74;   // l_i_blocks_high
constexpr std::uint64_t kInodeFileAclHigh = 0x76;  // l_i_file_acl_high

// File type bits of i_mode.
constexpr std::uint16_t kModeTypeMask = 0xF000;
constexpr std::uint16_t kModeFifo = 0x1000;
constexpr std::uint16_t kModeCharDevice = 0x2000;
constexpr std::uint16_t kModeDirectory = 0x4000;
constexpr std::uint16_t kModeBlockDevice = 0x6000;
constexpr std::uint16_t kModeRegular = 0x8000;
constexpr std::uint16_t kModeSymlink = 0xA000;
constexpr std::uint16_t kModeSocket = 0xC000;

// i_block: twelve direct pointers, then the single, double and triple
// indirect ones.
constexpr int kIndirectSlot = 12;
constexpr int kMaxIndirection = 3;

// Entries i.. of a pointer table that continue as one run or one hole.
void RunIn(ByteSpan table, std::uint64_t entries, std::uint64_t i, std::uint64_t& physical, std::uint64_t& count) {
  const std::uint32_t first = Le32(table, i * 4);
  std::uint64_t k = 1;
  if (first == 0) {
    while (i + k < entries && Le32(table, (i + k) * 4) == 0) ++k;
  } else {
    while (i + k < entries && Le32(table, (i + k) * 4) == first + k) ++k;
  }
  physical = first;
  count = k;
}

}  // namespace

std::uint8_t Ext2Inode::Type() const {
  switch (mode & kModeTypeMask) {
    case kModeRegular: return kExt2TypeRegular;
    case kModeDirectory: return kExt2TypeDirectory;
    case kModeCharDevice: return kExt2TypeCharDevice;
    case kModeBlockDevice: return kExt2TypeBlockDevice;
    case kModeFifo: return kExt2TypeFifo;
    case kModeSocket: return kExt2TypeSocket;
    case kModeSymlink: return kExt2TypeSymlink;
    default: return kExt2TypeUnknown;
  }
}

Ext2Inode ParseExt2Inode(ByteSpan r, const Ext2Superblock& sb) {
  Ext2Inode inode;
  inode.mode = Le16(r, kInodeMode);
  inode.atime = Le32(r, kInodeAtime);
  inode.ctime = Le32(r, kInodeCtime);
  inode.mtime = Le32(r, kInodeMtime);
  inode.linksCount = Le16(r, kInodeLinksCount);
  inode.blocks = Le32(r, kInodeBlocksLo) | (std::uint64_t{Le16(r, kInodeBlocksHigh)} << 32);
  inode.flags = Le32(r, kInodeFlags);
  for (std::size_t i = 0; i < inode.blockArea.size(); ++i) inode.blockArea[i] = Le8(r, kInodeBlock + i);
  inode.fileAcl = Le32(r, kInodeFileAclLo) | (std::uint64_t{Le16(r, kInodeFileAclHigh)} << 32);
  std::uint64_t size = Le32(r, kInodeSizeLo);
  // The high half of a directory's size was the directory ACL before
  // large directories existed.
  const bool directory = inode.Type() == kExt2TypeDirectory;
  if (!directory || (sb.featureIncompat & kExt2IncompatLargeDir) != 0)
    size |= std::uint64_t{Le32(r, kInodeSizeHigh)} << 32;
  inode.size = size;
  return inode;
}

TDamage Ext2MapBlockFailure(std::uint64_t block, const Ext2Superblock& sb) {
  return block == 0 || block >= sb.blocksCount ? TDamage::RunOutsideVolume : TDamage::Unreadable;
}

std::uint64_t Ext2BlockPointersReach(std::uint64_t blockSize) {
  const std::uint64_t n = blockSize / 4;
  return kExt2DirectBlocks + n + n * n + n * n * n;
}

bool MapExt2BlockPointers(const Ext2Inode& inode, const Ext2Superblock& sb, Ext2MapBlocks& blocks,
                          std::uint64_t logical, std::uint64_t& physical, std::uint64_t& count, TDamage& failure) {
  physical = 0;
  count = 1;
  if (logical < kExt2DirectBlocks) {
    RunIn(inode.blockArea, kExt2DirectBlocks, logical, physical, count);
    return true;
  }
  logical -= kExt2DirectBlocks;
  const std::uint64_t perBlock = sb.blockSize / 4;
  std::uint64_t span = perBlock;  // blocks below one pointer of the top level
  for (int depth = 1; depth <= kMaxIndirection; ++depth, span *= perBlock) {
    if (logical >= span) {
      logical -= span;
      continue;
    }
    std::uint64_t pointer = inode.Block(kIndirectSlot - 1 + depth);
    std::uint64_t below = span;  // blocks the current pointer covers
    for (int level = depth; level >= 1; --level) {
      if (pointer == 0) {
        count = below - logical % below;
        return true;
      }
      const auto* table = blocks.Load(static_cast<std::size_t>(level), pointer);
      if (table == nullptr) {
        failure = Ext2MapBlockFailure(pointer, sb);
        return false;
      }
      below /= perBlock;
      const std::uint64_t index = (logical / below) % perBlock;
      if (level == 1) {
        RunIn(*table, perBlock, index, physical, count);
        return true;
      }
      pointer = Le32(*table, index * 4);
    }
  }
  return true;  // beyond what the map can address: a hole
}

std::uint64_t Ext2BlockPointersEnd(const Ext2Inode& inode, const Ext2Superblock& sb, Ext2MapBlocks& blocks) {
  const std::uint64_t perBlock = sb.blockSize / 4;
  const std::uint64_t spans[kMaxIndirection] = {perBlock, perBlock * perBlock, perBlock * perBlock * perBlock};
  std::uint64_t bases[kMaxIndirection];
  std::uint64_t base = kExt2DirectBlocks;
  for (int d = 0; d < kMaxIndirection; ++d) {
    bases[d] = base;
    base += spans[d];
  }
  for (int depth = kMaxIndirection; depth >= 1; --depth) {
    std::uint64_t pointer = inode.Block(kIndirectSlot - 1 + depth);
    if (pointer == 0) continue;
    std::uint64_t start = bases[depth - 1];
    std::uint64_t below = spans[depth - 1];
    for (int level = depth; level >= 1; --level) {
      below /= perBlock;
      const auto* table = blocks.Load(static_cast<std::size_t>(level), pointer);
      if (table == nullptr) return start;
      std::uint64_t i = perBlock;
      while (i > 0 && Le32(*table, (i - 1) * 4) == 0) --i;
      if (i == 0) return start;
      if (level == 1) return start + i;
      start += (i - 1) * below;
      pointer = Le32(*table, (i - 1) * 4);
    }
  }
  for (std::uint64_t i = kExt2DirectBlocks; i > 0; --i)
    if (inode.Block(static_cast<int>(i - 1)) != 0) return i;
  return 0;
}

}  // namespace vandrel
