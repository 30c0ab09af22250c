#include "filesystems/ext/group_descriptor.h"

namespace vandrel {
namespace {

// Group descriptor fields, by byte offset within the descriptor.
constexpr std::uint64_t kDescInodeTableLo = 0x08;  // bg_inode_table_lo
constexpr std::uint64_t kDescInodeTableHi = 0x28;  // bg_inode_table_hi, in 64-byte descriptors
constexpr std::uint16_t kDescSize64Bit = 64;

}  // namespace

std::uint64_t Ext2InodeTableBlock(ByteSpan d, const Ext2Superblock& sb) {
  std::uint64_t block = Le32(d, kDescInodeTableLo);
  if (sb.descSize >= kDescSize64Bit) block |= std::uint64_t{Le32(d, kDescInodeTableHi)} << 32;
  return block;
}

bool Ext2GroupHasSuper(const Ext2Superblock& sb, std::uint64_t group) {
  // Sparse: groups 0, 1 and the powers of 3, 5 and 7.
  if ((sb.featureRoCompat & kExt2RoCompatSparseSuper) == 0 || group <= 1) return true;
  for (std::uint64_t base : {3, 5, 7}) {
    std::uint64_t power = base;
    while (power < group) power *= base;
    if (power == group) return true;
  }
  return false;
}

std::uint64_t Ext2DescriptorBlock(const Ext2Superblock& sb, std::uint64_t index) {
  const bool metaBg = (sb.featureIncompat & kExt2IncompatMetaBg) != 0;
  if (!metaBg || index < sb.firstMetaBg) return std::uint64_t{sb.firstDataBlock} + 1 + index;
  // meta_bg: each descriptor block sits in the first group it describes,
  // after that group's superblock copy.
  const std::uint64_t group = index * (sb.blockSize / sb.descSize);
  return std::uint64_t{sb.firstDataBlock} + group * sb.blocksPerGroup + (Ext2GroupHasSuper(sb, group) ? 1 : 0);
}

}  // namespace vandrel
