#include "filesystems/ext/ext2_types.h"

namespace vandrel {
namespace {

// Superblock fields, by byte offset within the superblock.
constexpr std::uint64_t kSbInodesCount = 0;
constexpr std::uint64_t kSbBlocksCount = 4;
constexpr std::uint64_t kSbFirstDataBlock = 20;
constexpr std::uint64_t kSbLogBlockSize = 24;
constexpr std::uint64_t kSbBlocksPerGroup = 32;
constexpr std::uint64_t kSbInodesPerGroup = 40;
constexpr std::uint64_t kSbMagic = 56;
constexpr std::uint64_t kSbRevLevel = 76;
constexpr std::uint64_t kSbInodeSize = 88;
constexpr std::uint64_t kSbFeatureCompat = 92;
constexpr std::uint64_t kSbFeatureIncompat = 96;
constexpr std::uint64_t kSbFeatureRoCompat = 100;
constexpr std::uint64_t kSbVolumeName = 120;
constexpr std::size_t kSbVolumeNameLength = 16;
constexpr std::uint64_t kSbDescSize = 254;
constexpr std::uint64_t kSbFirstMetaBg = 260;
constexpr std::uint64_t kSbBlocksCountHi = 0x150;

// A whole superblock with the magic number: what the label and the
// version name need before they read anything else.
bool HasExt2Magic(ByteSpan b) { return Fits(b, 0, 1024) && Le16(b, kSbMagic) == kExt2Magic; }

}  // namespace

bool ParseExt2Superblock(ByteSpan b, Ext2Superblock& sb) {
  sb = Ext2Superblock{};
  if (!Fits(b, 0, 1024)) return false;
  sb.inodesCount = Le32(b, kSbInodesCount);
  sb.blocksCount = Le32(b, kSbBlocksCount);
  sb.firstDataBlock = Le32(b, kSbFirstDataBlock);
  sb.logBlockSize = Le32(b, kSbLogBlockSize);
  sb.blocksPerGroup = Le32(b, kSbBlocksPerGroup);
  sb.inodesPerGroup = Le32(b, kSbInodesPerGroup);
  sb.magic = Le16(b, kSbMagic);
  sb.revLevel = Le32(b, kSbRevLevel);
  if (sb.revLevel >= 1) {
    sb.inodeSize = Le16(b, kSbInodeSize);
    sb.featureCompat = Le32(b, kSbFeatureCompat);
    sb.featureIncompat = Le32(b, kSbFeatureIncompat);
    sb.featureRoCompat = Le32(b, kSbFeatureRoCompat);
    sb.firstMetaBg = Le32(b, kSbFirstMetaBg);
  }
  if ((sb.featureIncompat & kExt2Incompat64Bit) != 0) {
    sb.blocksCount |= std::uint64_t{Le32(b, kSbBlocksCountHi)} << 32;
    sb.descSize = Le16(b, kSbDescSize);
  }
  if (sb.magic != kExt2Magic || sb.logBlockSize > 6) return false;
  sb.blockSize = 1024u << sb.logBlockSize;
  if (sb.inodeSize < 128 || sb.inodeSize > sb.blockSize || (sb.inodeSize & (sb.inodeSize - 1)) != 0) return false;
  if (sb.descSize < 32 || sb.descSize > 1024 || (sb.descSize & (sb.descSize - 1)) != 0) return false;
  // 2^48 blocks is the format's limit; it also keeps block * block size in 64 bits.
  if (sb.blocksPerGroup == 0 || sb.inodesPerGroup == 0 || sb.blocksCount <= sb.firstDataBlock ||
      sb.blocksCount >= (std::uint64_t{1} << 48))
    return false;
  sb.groupCount = (sb.blocksCount - sb.firstDataBlock + sb.blocksPerGroup - 1) / sb.blocksPerGroup;
  return true;
}

std::string Ext2VolumeLabel(ByteSpan b) {
  if (!HasExt2Magic(b)) return {};
  std::string label(reinterpret_cast<const char*>(b.data()) + kSbVolumeName, kSbVolumeNameLength);
  label.resize(label.find('\0') == std::string::npos ? label.size() : label.find('\0'));
  return label;
}

std::string Ext2VersionName(ByteSpan b) {
  constexpr std::uint32_t kCompatHasJournal = 0x0004;
  constexpr std::uint32_t kIncompatRecover = 0x0004;
  constexpr std::uint32_t kRoCompatLargeFile = 0x0002;
  constexpr std::uint32_t kRoCompatBtreeDir = 0x0004;
  // What the ext2 and ext3 drivers of old could mount; anything more is ext4.
  constexpr std::uint32_t kExt3Incompat = kExt2IncompatFiletype | kIncompatRecover | kExt2IncompatMetaBg;
  constexpr std::uint32_t kExt2RoCompat = kExt2RoCompatSparseSuper | kRoCompatLargeFile | kRoCompatBtreeDir;
  if (!HasExt2Magic(b)) return {};
  // Revision 0 has no feature words.
  if (Le32(b, kSbRevLevel) == 0) return "ext2";
  const std::uint32_t incompat = Le32(b, kSbFeatureIncompat);
  if ((incompat & ~kExt3Incompat) != 0 || (Le32(b, kSbFeatureRoCompat) & ~kExt2RoCompat) != 0) return "ext4";
  return (Le32(b, kSbFeatureCompat) & kCompatHasJournal) != 0 ? "ext3" : "ext2";
}

std::uint64_t Ext2InodeTableBlock(ByteSpan d, const Ext2Superblock& sb) {
  std::uint64_t block = Le32(d, 8);
  if (sb.descSize >= 64) block |= std::uint64_t{Le32(d, 0x28)} << 32;
  return block;
}

std::uint8_t Ext2Inode::Type() const {
  switch (mode & 0xF000) {
    case 0x8000: return kExt2TypeRegular;
    case 0x4000: return kExt2TypeDirectory;
    case 0x2000: return kExt2TypeCharDevice;
    case 0x6000: return kExt2TypeBlockDevice;
    case 0x1000: return kExt2TypeFifo;
    case 0xC000: return kExt2TypeSocket;
    case 0xA000: return kExt2TypeSymlink;
    default: return kExt2TypeUnknown;
  }
}

Ext2Inode ParseExt2Inode(ByteSpan r, const Ext2Superblock& sb) {
  Ext2Inode inode;
  inode.mode = Le16(r, 0);
  inode.atime = Le32(r, 8);
  inode.ctime = Le32(r, 12);
  inode.mtime = Le32(r, 16);
  inode.linksCount = Le16(r, 26);
  inode.blocks = Le32(r, 28) | (std::uint64_t{Le16(r, 116)} << 32);
  inode.flags = Le32(r, 32);
  for (std::size_t i = 0; i < inode.blockArea.size(); ++i) inode.blockArea[i] = Le8(r, 40 + i);
  inode.fileAcl = Le32(r, 104) | (std::uint64_t{Le16(r, 118)} << 32);
  std::uint64_t size = Le32(r, 4);
  // The high half of a directory's size was the directory ACL before
  // large directories existed.
  const bool directory = inode.Type() == kExt2TypeDirectory;
  if (!directory || (sb.featureIncompat & kExt2IncompatLargeDir) != 0) size |= std::uint64_t{Le32(r, 108)} << 32;
  inode.size = size;
  return inode;
}

Ext2XattrLookup FindExt2InodeXattr(ByteSpan record, std::uint8_t nameIndex, std::string_view name, ByteSpan& value) {
  value = {};
  constexpr std::uint64_t kBase = 128;
  if (record.size() <= kBase) return Ext2XattrLookup::kAbsent;  // no extra space
  const std::uint64_t extra = Le16(record, kBase);
  const std::uint64_t header = kBase + extra;
  if (extra % 4 != 0 || header > record.size()) return Ext2XattrLookup::kDamaged;
  if (!Fits(record, header, 4) || Le32(record, header) != kExt2XattrMagic) return Ext2XattrLookup::kAbsent;
  const std::uint64_t first = header + 4;
  // Each entry is at least 16 bytes long, so the walk ends within the record.
  for (std::uint64_t at = first;;) {
    if (!Fits(record, at, 4)) return Ext2XattrLookup::kDamaged;  // no end marker
    if (Le32(record, at) == 0) return Ext2XattrLookup::kAbsent;
    const std::uint64_t nameLength = Le8(record, at);
    const std::uint64_t entryLength = (16 + nameLength + 3) & ~std::uint64_t{3};
    if (!Fits(record, at, entryLength)) return Ext2XattrLookup::kDamaged;
    if (Le8(record, at + 1) == nameIndex && nameLength == name.size() && BytesEqual(record, at + 16, name)) {
      const std::uint64_t offset = first + Le16(record, at + 2);
      const std::uint64_t size = Le32(record, at + 8);
      // A value kept in an inode of its own is not expected here.
      if (Le32(record, at + 4) != 0 || !Fits(record, offset, size)) return Ext2XattrLookup::kDamaged;
      value = record.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(size));
      return Ext2XattrLookup::kFound;
    }
    at += entryLength;
  }
}

Ext2DirRecord ParseExt2DirRecord(ByteSpan block, std::uint64_t offset, const Ext2Superblock& sb) {
  Ext2DirRecord record;
  record.inode = Le32(block, offset);
  record.recLen = Le16(block, offset + 4);
  // 64 KiB blocks store a whole-block record length as 0 or 65535.
  if (sb.blockSize == 65536 && (record.recLen == 0 || record.recLen == 65535)) record.recLen = 65536;
  record.nameLen = Le8(block, offset + 6);
  if ((sb.featureIncompat & kExt2IncompatFiletype) != 0)
    record.fileType = Le8(block, offset + 7);
  else
    record.nameLen |= std::uint32_t{Le8(block, offset + 7)} << 8;
  return record;
}

bool ParseExtentHeader(ByteSpan node, ExtentHeader& out) {
  if (!Fits(node, 0, 12) || Le16(node, 0) != kExtentMagic) return false;
  out.entries = Le16(node, 2);
  const std::uint16_t max = Le16(node, 4);
  out.depth = Le16(node, 6);
  return out.entries <= max && out.depth <= kExtentMaxDepth && Fits(node, 12, std::uint64_t{out.entries} * 12);
}

ExtentLeaf ParseExtentLeaf(ByteSpan node, std::uint32_t index) {
  const std::uint64_t at = 12 + std::uint64_t{index} * 12;
  ExtentLeaf leaf;
  leaf.logical = Le32(node, at);
  std::uint32_t length = Le16(node, at + 4);
  if (length > 32768) {
    leaf.unwritten = true;
    length -= 32768;
  }
  leaf.length = length;
  leaf.physical = (std::uint64_t{Le16(node, at + 6)} << 32) | Le32(node, at + 8);
  return leaf;
}

ExtentIndex ParseExtentIndex(ByteSpan node, std::uint32_t index) {
  const std::uint64_t at = 12 + std::uint64_t{index} * 12;
  ExtentIndex entry;
  entry.logical = Le32(node, at);
  entry.child = Le32(node, at + 4) | (std::uint64_t{Le16(node, at + 8)} << 32);
  return entry;
}

}  // namespace vandrel
