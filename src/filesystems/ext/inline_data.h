// Ext4 inline data and the in-inode extended attributes it lives in: the
// first bytes sit in i_block, the rest in the attribute "system.data"
// kept in the inode's extra space (after the 128-byte base and its
// i_extra_isize part): a magic number, then entries whose values are
// addressed from the first entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/endian.h"

namespace vandrel {

inline constexpr std::uint32_t kExt2XattrMagic = 0xEA020000;
inline constexpr std::uint8_t kExt2XattrIndexSystem = 7;
inline constexpr std::string_view kExt2InlineDataName = "data";
// An inline directory begins with its parent's inode number, then records.
inline constexpr std::size_t kExt2InlineDirParentSize = 4;

enum class Ext2XattrLookup { kFound, kAbsent, kDamaged };
// Finds the in-inode attribute `nameIndex`/`name` in a whole inode record;
// `value` then lies inside `record`. kAbsent when the inode has no such
// attribute (or no attribute table at all), kDamaged when an offset,
// length or size of the table points outside the record.
Ext2XattrLookup FindExt2InodeXattr(ByteSpan record, std::uint8_t nameIndex, std::string_view name, ByteSpan& value);

}  // namespace vandrel
