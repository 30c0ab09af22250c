// On-disk structures of Ext2/Ext3/Ext4 volumes and their decoding: the
// superblock, group descriptors, inodes, directory records and extent
// tree nodes. Every decoder checks its input; none trusts a count.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/endian.h"

namespace vandrel {

inline constexpr std::uint16_t kExt2Magic = 0xEF53;
inline constexpr std::uint32_t kExt2RootInode = 2;
inline constexpr std::uint32_t kExt2MaxBlockSize = 65536;

// Feature bits the reader looks at.
inline constexpr std::uint32_t kExt2IncompatFiletype = 0x0002;
inline constexpr std::uint32_t kExt2IncompatMetaBg = 0x0010;
inline constexpr std::uint32_t kExt2IncompatExtents = 0x0040;
inline constexpr std::uint32_t kExt2Incompat64Bit = 0x0080;
inline constexpr std::uint32_t kExt2IncompatLargeDir = 0x4000;
inline constexpr std::uint32_t kExt2IncompatInlineData = 0x8000;
inline constexpr std::uint32_t kExt2RoCompatSparseSuper = 0x0001;

// Inode flags.
inline constexpr std::uint32_t kExt2FlagEncrypted = 0x00000800;
inline constexpr std::uint32_t kExt2FlagExtents = 0x00080000;
inline constexpr std::uint32_t kExt2FlagInlineData = 0x10000000;

// File types of directory records (and of the inode's mode, below).
enum Ext2FileType : std::uint8_t {
  kExt2TypeUnknown = 0, kExt2TypeRegular = 1, kExt2TypeDirectory = 2, kExt2TypeCharDevice = 3,
  kExt2TypeBlockDevice = 4, kExt2TypeFifo = 5, kExt2TypeSocket = 6, kExt2TypeSymlink = 7,
};

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

// Decodes the 1024-byte superblock; false when it cannot describe a volume
// (wrong magic, zero or impossible counts and sizes).
bool ParseExt2Superblock(ByteSpan bytes, Ext2Superblock& out);
// Where the superblock starts in the volume, whatever the block size.
inline constexpr std::uint64_t kExt2SuperblockOffset = 1024;
// The label (s_volume_name, NUL-padded); "" when the bytes are no superblock.
std::string Ext2VolumeLabel(ByteSpan superblock);
// "ext2", "ext3" or "ext4" by the features the volume uses, decided as the
// kernel's drivers accept them: a journal alone makes ext3, anything ext3
// cannot mount makes ext4. "" when the bytes are no superblock.
std::string Ext2VersionName(ByteSpan superblock);

// First block of a group's inode table from its descriptor.
std::uint64_t Ext2InodeTableBlock(ByteSpan descriptor, const Ext2Superblock& sb);

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
  std::array<std::uint8_t, 60> blockArea{};  // block pointers, extent root or link target
  std::uint32_t Block(int index) const { return Le32(blockArea, static_cast<std::uint64_t>(index) * 4); }
  std::uint8_t Type() const;  // Ext2FileType from the mode
};

Ext2Inode ParseExt2Inode(ByteSpan record, const Ext2Superblock& sb);

// Extended attributes kept in the inode's extra space (after the 128-byte
// base and its i_extra_isize part): a magic number, then entries whose
// values are addressed from the first entry.
inline constexpr std::uint32_t kExt2XattrMagic = 0xEA020000;
inline constexpr std::uint8_t kExt2XattrIndexSystem = 7;
// Inline data: the first bytes sit in the block area, the rest in the
// attribute "system.data".
inline constexpr std::string_view kExt2InlineDataName = "data";
enum class Ext2XattrLookup { kFound, kAbsent, kDamaged };
// Finds the in-inode attribute `nameIndex`/`name` in a whole inode record;
// `value` then lies inside `record`. kAbsent when the inode has no such
// attribute (or no attribute table at all), kDamaged when an offset,
// length or size of the table points outside the record.
Ext2XattrLookup FindExt2InodeXattr(ByteSpan record, std::uint8_t nameIndex, std::string_view name, ByteSpan& value);

// A directory record's header (the name follows at offset 8).
struct Ext2DirRecord {
  std::uint32_t inode = 0;
  std::uint32_t recLen = 0;
  std::uint32_t nameLen = 0;
  std::uint8_t fileType = 0;
};
Ext2DirRecord ParseExt2DirRecord(ByteSpan block, std::uint64_t offset, const Ext2Superblock& sb);

// Extent tree nodes.
inline constexpr std::uint16_t kExtentMagic = 0xF30A;
inline constexpr std::uint16_t kExtentMaxDepth = 5;
struct ExtentHeader {
  std::uint16_t entries = 0;
  std::uint16_t depth = 0;
};
// False unless the node starts with a valid header whose entries fit.
bool ParseExtentHeader(ByteSpan node, ExtentHeader& out);
struct ExtentLeaf {
  std::uint32_t logical = 0;
  std::uint32_t length = 0;
  std::uint64_t physical = 0;
  bool unwritten = false;
};
ExtentLeaf ParseExtentLeaf(ByteSpan node, std::uint32_t index);
struct ExtentIndex {
  std::uint32_t logical = 0;
  std::uint64_t child = 0;
};
ExtentIndex ParseExtentIndex(ByteSpan node, std::uint32_t index);

}  // namespace vandrel
