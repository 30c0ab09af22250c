#include "filesystems/ext/directory.h"

namespace vandrel {
namespace {

// Directory record fields.
constexpr std::uint64_t kDirInode = 0x00;     // inode
constexpr std::uint64_t kDirRecLen = 0x04;    // rec_len
constexpr std::uint64_t kDirNameLen = 0x06;   // name_len
constexpr std::uint64_t kDirFileType = 0x07;  // file_type, or the name length's high byte without the feature

}  // namespace

Ext2DirRecord ParseExt2DirRecord(ByteSpan block, std::uint64_t offset, const Ext2Superblock& sb) {
  Ext2DirRecord record;
  record.inode = Le32(block, offset + kDirInode);
  record.recLen = Le16(block, offset + kDirRecLen);
  // 64 KiB blocks store a whole-block record length as 0 or 65535.
  if (sb.blockSize == 65536 && (record.recLen == 0 || record.recLen == 65535)) record.recLen = 65536;
  record.nameLen = Le8(block, offset + kDirNameLen);
  if ((sb.featureIncompat & kExt2IncompatFiletype) != 0)
    record.fileType = Le8(block, offset + kDirFileType);
  else
    record.nameLen |= std::uint32_t{Le8(block, offset + kDirFileType)} << 8;
  return record;
}

std::string Ext2DirRecordName(ByteSpan block, std::uint64_t offset, const Ext2DirRecord& record) {
  const std::uint64_t at = offset + kExt2DirRecordHeaderSize;
  if (!Fits(block, at, record.nameLen)) return {};
  return std::string(reinterpret_cast<const char*>(block.data() + at), record.nameLen);
}

}  // namespace vandrel
