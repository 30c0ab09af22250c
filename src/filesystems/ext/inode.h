// Ext inodes: the record's fields, the file type in its mode, and the
// classic block map in i_block (twelve direct pointers, then single,
// double and triple indirect blocks), holes read as zeros.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/endian.h"
#include "filesystems/ext/superblock.h"
#include "filesystems/file_system.h"

namespace vandrel {

// Inode flags (i_flags).
inline constexpr std::uint32_t kExt2FlagEncrypted = 0x00000800;
inline constexpr std::uint32_t kExt2FlagIndex = 0x00001000;  // hashed directory
inline constexpr std::uint32_t kExt2FlagExtents = 0x00080000;
inline constexpr std::uint32_t kExt2FlagInlineData = 0x10000000;

// The base record every inode size holds; i_extra_isize follows it.
inline constexpr std::uint64_t kExt2InodeBaseSize = 128;
inline constexpr std::uint64_t kExt2InodeExtraIsize = 0x80;  // i_extra_isize
inline constexpr std::size_t kExt2BlockAreaSize = 60;        // i_block
inline constexpr std::uint64_t kExt2DirectBlocks = 12;
inline constexpr std::uint64_t kExt2InodeBlocksUnit = 512;  // i_blocks counts these

// File types of directory records (and of the inode's mode, below).
enum Ext2FileType : std::uint8_t {
  kExt2TypeUnknown = 0, kExt2TypeRegular = 1, kExt2TypeDirectory = 2, kExt2TypeCharDevice = 3,
  kExt2TypeBlockDevice = 4, kExt2TypeFifo = 5, kExt2TypeSocket = 6, kExt2TypeSymlink = 7,
};

struct Ext2Inode {
  std::uint16_t mode = 0;
  std::uint64_t size = 0;
  std::uint32_t atime = 0;
  std::uint32_t ctime = 0;
  std::uint32_t mtime = 0;
  std::uint32_t linksCount = 0;
  std::uint64_t blocks = 0;  // 512-byte units
  std::uint32_t flags = 0;
  std::uint64_t fileAcl = 0;
  std::array<std::uint8_t, kExt2BlockAreaSize> blockArea{};  // block pointers, extent root or link target
  std::uint32_t Block(int index) const { return Le32(blockArea, static_cast<std::uint64_t>(index) * 4); }
  std::uint8_t Type() const;  // Ext2FileType from the mode
};

Ext2Inode ParseExt2Inode(ByteSpan record, const Ext2Superblock& sb);

// Map blocks (indirect blocks, extent tree nodes) that a walk reads, one
// kept per slot so that walking a file reads each of them once.
class Ext2MapBlocks {
 public:
  virtual ~Ext2MapBlocks() = default;
  // The block's bytes (a whole block), nullptr when it cannot be read.
  virtual const std::vector<std::uint8_t>* Load(std::size_t slot, std::uint64_t block) = 0;
};
// Slots the block-pointer walk uses: one per indirection level, 1 to 3.
inline constexpr std::size_t kExt2PointerSlots = 4;

// Why a map block could not be loaded: outside the volume, or unreadable.
TDamage Ext2MapBlockFailure(std::uint64_t block, const Ext2Superblock& sb);

// Most blocks the classic block map can address.
std::uint64_t Ext2BlockPointersReach(std::uint64_t blockSize);

// Where logical block `logical` lies by the block pointers: physical 0 is a
// hole; `count` blocks from `logical` on continue the same way. False
// when a map block cannot be loaded, `failure` then says why.
bool MapExt2BlockPointers(const Ext2Inode& inode, const Ext2Superblock& sb, Ext2MapBlocks& blocks,
                          std::uint64_t logical, std::uint64_t& physical, std::uint64_t& count, TDamage& failure);

// Logical blocks up to the end of the last one the pointers place: a few
// map blocks along the last branch.
std::uint64_t Ext2BlockPointersEnd(const Ext2Inode& inode, const Ext2Superblock& sb, Ext2MapBlocks& blocks);

}  // namespace vandrel
