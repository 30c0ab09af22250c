// The Ext2/3/4 superblock: its fields, the features the reader looks at,
// and the checks that tell a superblock that can describe a volume from
// one that cannot.
#pragma once

#include <cstdint>
#include <string>

#include "common/endian.h"

namespace vandrel {

inline constexpr std::uint16_t kExt2Magic = 0xEF53;
inline constexpr std::uint32_t kExt2RootInode = 2;
inline constexpr std::uint32_t kExt2MaxBlockSize = 65536;
// Where the superblock starts in the volume, whatever the block size.
inline constexpr std::uint64_t kExt2SuperblockOffset = 1024;
inline constexpr std::uint64_t kExt2SuperblockSize = 1024;

// Feature bits the reader looks at.
inline constexpr std::uint32_t kExt2CompatHasJournal = 0x0004;
inline constexpr std::uint32_t kExt2IncompatFiletype = 0x0002;
inline constexpr std::uint32_t kExt2IncompatRecover = 0x0004;
inline constexpr std::uint32_t kExt2IncompatMetaBg = 0x0010;
inline constexpr std::uint32_t kExt2IncompatExtents = 0x0040;
inline constexpr std::uint32_t kExt2Incompat64Bit = 0x0080;
inline constexpr std::uint32_t kExt2IncompatLargeDir = 0x4000;
inline constexpr std::uint32_t kExt2IncompatInlineData = 0x8000;
inline constexpr std::uint32_t kExt2RoCompatSparseSuper = 0x0001;
inline constexpr std::uint32_t kExt2RoCompatLargeFile = 0x0002;
inline constexpr std::uint32_t kExt2RoCompatBtreeDir = 0x0004;
inline constexpr std::uint32_t kExt2RoCompatBigalloc = 0x0200;

struct Ext2Superblock {
  std::uint32_t inodesCount = 0;
  std::uint64_t blocksCount = 0;
  std::uint32_t firstDataBlock = 0;
  std::uint32_t logBlockSize = 0;
  std::uint32_t blocksPerGroup = 0;
  std::uint32_t inodesPerGroup = 0;
  std::uint16_t magic = 0;
  std::uint32_t revLevel = 0;
  std::uint16_t inodeSize = 128;
  std::uint32_t featureCompat = 0;
  std::uint32_t featureIncompat = 0;
  std::uint32_t featureRoCompat = 0;
  std::uint16_t descSize = 32;
  std::uint32_t firstMetaBg = 0;
  std::uint32_t blockSize = 1024;
  std::uint64_t groupCount = 0;
};

// Why a superblock cannot describe a volume: each field alone, then the
// fields against each other.
enum class Ext2SuperblockFault : std::uint8_t {
  kNone,
  kTooShort,           // fewer than 1024 bytes
  kBadMagic,           // s_magic
  kRevisionUnknown,    // s_rev_level above the dynamic revision
  kBlockSizeOutOfRange,  // s_log_block_size beyond 64 KiB
  kInodeSizeBad,       // s_inode_size below 128, above a block or not a power of two
  kDescSizeBad,        // s_desc_size of a 64-bit volume
  kBlocksPerGroupBad,  // zero, or more than one bitmap block can track
  kInodesPerGroupBad,  // zero, fewer than one table block holds, or more than one bitmap block tracks
  kFirstDataBlockBad,  // s_first_data_block is not the block that holds the superblock
  kBlockCountBad,      // no block after the first data block, or beyond 2^48
  kInodeCountMismatch,  // s_inodes_count is not groups times s_inodes_per_group
};
// The fault as a log line names it ("inode count is not groups times inodes per group", ...).
const char* Ext2SuperblockFaultText(Ext2SuperblockFault fault);

// Decodes the 1024-byte superblock and checks it; kNone when it can
// describe a volume.
Ext2SuperblockFault ParseExt2Superblock(ByteSpan bytes, Ext2Superblock& out);
// The label (s_volume_name, NUL-padded); "" when the bytes are no superblock.
std::string Ext2VolumeLabel(ByteSpan superblock);
// "ext2", "ext3" or "ext4" by the features the volume uses, decided as the
// kernel's drivers accept them: a journal alone makes ext3, anything ext3
// cannot mount makes ext4. "" when the bytes are no superblock.
std::string Ext2VersionName(ByteSpan superblock);

}  // namespace vandrel
