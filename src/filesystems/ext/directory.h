// Ext directory records: inode, record length, name length and (with the
// filetype feature) the file type, then the name. Hashed (htree)
// directories keep their index in records the linear walk passes over as
// empty, so every name is still found block by block.
#pragma once

#include <cstdint>
#include <string>

#include "common/endian.h"
#include "filesystems/ext/superblock.h"

namespace vandrel {

// A record's header (the name follows it).
inline constexpr std::uint64_t kExt2DirRecordHeaderSize = 8;
struct Ext2DirRecord {
  std::uint32_t inode = 0;    // inode
  std::uint32_t recLen = 0;   // rec_len
  std::uint32_t nameLen = 0;  // name_len
  std::uint8_t fileType = 0;  // file_type
};
// The header at `offset`; fields past the block's end read as 0.
Ext2DirRecord ParseExt2DirRecord(ByteSpan block, std::uint64_t offset, const Ext2Superblock& sb);
// The shortest record that holds a name of `nameLen` bytes.
constexpr std::uint64_t Ext2DirRecordLength(std::uint64_t nameLen) {
  return (kExt2DirRecordHeaderSize + nameLen + 3) & ~std::uint64_t{3};
}
// The record's name; "" unless all of it lies inside the block.
std::string Ext2DirRecordName(ByteSpan block, std::uint64_t offset, const Ext2DirRecord& record);

}  // namespace vandrel
