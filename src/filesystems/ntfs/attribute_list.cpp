#include "filesystems/ntfs/attribute_list.h"

#include "filesystems/ntfs/record.h"

namespace vandrel {

void ParseAttributeList(ByteSpan list, std::vector<TNtfsListEntry>& out) {
  std::uint64_t off = 0;
  while (Fits(list, off, 26)) {
    const std::uint16_t length = Le16(list, off + 4);
    if (length < 26 || !Fits(list, off, length)) break;
    TNtfsListEntry e;
    e.Type = Le32(list, off);
    e.StartVcn = LeS64(list, off + 8);
    e.Record = Le64(list, off + 16) & kNtfsRecordMask;
    e.Id = Le16(list, off + 24);
    e.Name = NtfsNameAt(list, off + Le8(list, off + 7), Le8(list, off + 6), off + length);
    if (e.Type == kNtfsAttrEnd) break;
    out.push_back(std::move(e));
    off += length;
  }
}

}  // namespace vandrel
