// Ext4 extent trees: a header, then leaves (runs of blocks) or index
// entries (child nodes), rooted in the inode's i_block.
#pragma once

#include <cstdint>

#include "common/endian.h"
#include "filesystems/ext/inode.h"
#include "filesystems/ext/superblock.h"
#include "filesystems/file_system.h"

namespace vandrel {

inline constexpr std::uint16_t kExtentMagic = 0xF30A;
inline constexpr std::uint16_t kExtentMaxDepth = 5;

struct ExtentHeader {
  std::uint16_t entries = 0;  // eh_entries
  std::uint16_t max = 0;      // eh_max
  std::uint16_t depth = 0;    // eh_depth
};
// Decodes a node's header and checks it: the magic, entries ≤ max ≤ what
// the node holds, depth bounded. ExtentHeaderDamaged or ExtentTreeTooDeep
// when it fails.
TDamage CheckExtentHeader(ByteSpan node, ExtentHeader& out);
// False unless the node starts with a sound header.
inline bool ParseExtentHeader(ByteSpan node, ExtentHeader& out) { return CheckExtentHeader(node, out) == TDamage::None; }

struct ExtentLeaf {
  std::uint32_t logical = 0;   // ee_block
  std::uint32_t length = 0;    // ee_len, without the unwritten mark
  std::uint64_t physical = 0;  // ee_start_hi, ee_start_lo
  bool unwritten = false;
};
ExtentLeaf ParseExtentLeaf(ByteSpan node, std::uint32_t index);
struct ExtentIndex {
  std::uint32_t logical = 0;  // ei_block
  std::uint64_t child = 0;    // ei_leaf_lo, ei_leaf_hi
};
ExtentIndex ParseExtentIndex(ByteSpan node, std::uint32_t index);

// Slots of Ext2MapBlocks the extent walk uses, after the pointer walk's.
inline constexpr std::size_t kExtentSlots = kExtentMaxDepth + 1;

// Where logical block `logical` lies by the extent tree: physical 0 is a
// hole (or unwritten); `count` blocks from `logical` on continue the same
// way. False when a node cannot be loaded or is damaged, `failure` then
// says why.
bool MapExt2Extents(const Ext2Inode& inode, const Ext2Superblock& sb, Ext2MapBlocks& blocks, std::uint64_t logical,
                    std::uint64_t& physical, std::uint64_t& count, TDamage& failure);

// Logical blocks up to the end of the last extent: the last branch only.
std::uint64_t Ext2ExtentsEnd(const Ext2Inode& inode, Ext2MapBlocks& blocks);

}  // namespace vandrel
