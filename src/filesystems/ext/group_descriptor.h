// Ext group descriptors: where each group's inode table lies, and where
// the descriptor table itself is stored (after the superblock, or spread
// over the groups with meta_bg).
#pragma once

#include <cstdint>

#include "common/endian.h"
#include "filesystems/ext/superblock.h"

namespace vandrel {

// First block of a group's inode table from its descriptor (bg_inode_table).
std::uint64_t Ext2InodeTableBlock(ByteSpan descriptor, const Ext2Superblock& sb);

// Whether a group keeps a copy of the superblock (all do without sparse_super).
bool Ext2GroupHasSuper(const Ext2Superblock& sb, std::uint64_t group);

// Volume block that holds the `index`-th block of the descriptor table.
std::uint64_t Ext2DescriptorBlock(const Ext2Superblock& sb, std::uint64_t index);

}  // namespace vandrel
