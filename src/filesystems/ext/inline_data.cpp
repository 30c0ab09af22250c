#include "filesystems/ext/inline_data.h"

#include "filesystems/ext/inode.h"

namespace vandrel {
namespace {

// The in-inode attribute table: its header, then the entries.
constexpr std::uint64_t kXattrHeaderMagic = 0x00;  // h_magic
constexpr std::uint64_t kXattrHeaderSize = 4;
// An entry's fields; its name follows at kXattrEntryName, padded to 4.
constexpr std::uint64_t kXattrEntryNameLen = 0x00;     // e_name_len
constexpr std::uint64_t kXattrEntryNameIndex = 0x01;   // e_name_index
constexpr std::uint64_t kXattrEntryValueOffs = 0x02;   // e_value_offs, from the first entry
constexpr std::uint64_t kXattrEntryValueInum = 0x04;   // e_value_inum
constexpr std::uint64_t kXattrEntryValueSize = 0x08;   // e_value_size
constexpr std::uint64_t kXattrEntryName = 0x10;        // e_name
constexpr std::uint64_t kXattrEntryEnd = 4;            // four zero bytes end the table

}  // namespace

Ext2XattrLookup FindExt2InodeXattr(ByteSpan record, std::uint8_t nameIndex, std::string_view name, ByteSpan& value) {
  value = {};
  if (record.size() <= kExt2InodeBaseSize) return Ext2XattrLookup::kAbsent;  // no extra space
  const std::uint64_t extra = Le16(record, kExt2InodeExtraIsize);
  const std::uint64_t header = kExt2InodeBaseSize + extra;
  if (extra % 4 != 0 || header > record.size()) return Ext2XattrLookup::kDamaged;
  if (!Fits(record, header, kXattrHeaderSize) || Le32(record, header + kXattrHeaderMagic) != kExt2XattrMagic)
    return Ext2XattrLookup::kAbsent;
  const std::uint64_t first = header + kXattrHeaderSize;
  // Each entry is at least 16 bytes long, so the walk ends within the record.
  for (std::uint64_t at = first;;) {
    if (!Fits(record, at, kXattrEntryEnd)) return Ext2XattrLookup::kDamaged;  // no end marker
    if (Le32(record, at) == 0) return Ext2XattrLookup::kAbsent;
    const std::uint64_t nameLength = Le8(record, at + kXattrEntryNameLen);
    const std::uint64_t entryLength = (kXattrEntryName + nameLength + 3) & ~std::uint64_t{3};
    if (!Fits(record, at, entryLength)) return Ext2XattrLookup::kDamaged;
    if (Le8(record, at + kXattrEntryNameIndex) == nameIndex && nameLength == name.size() &&
        BytesEqual(record, at + kXattrEntryName, name)) {
      const std::uint64_t offset = first + Le16(record, at + kXattrEntryValueOffs);
      const std::uint64_t size = Le32(record, at + kXattrEntryValueSize);
      // A value kept in an inode of its own is not expected here.
      if (Le32(record, at + kXattrEntryValueInum) != 0 || !Fits(record, offset, size)) return Ext2XattrLookup::kDamaged;
      value = record.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(size));
      return Ext2XattrLookup::kFound;
    }
    at += entryLength;
  }
}

}  // namespace vandrel
