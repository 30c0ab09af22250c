#include "filesystems/ntfs/attribute_list.h"

#include "filesystems/ntfs/record.h"

namespace vandrel {

void ParseAttributeList(ByteSpan list, std::vector<TNtfsListEntry>& out) {
  std::uint64_t off = 0;
  // Every entry is at least a header long, so the walk ends.
  while (Fits(list, off, kNtfsListHeaderLength)) {
    const std::uint16_t length = Le16(list, off + kNtfsListLength);
    if (length < kNtfsListHeaderLength || !Fits(list, off, length)) break;
    TNtfsListEntry e;
    e.Type = Le32(list, off + kNtfsListType);
    e.StartVcn = LeS64(list, off + kNtfsListStartVcn);
    e.Record = Le64(list, off + kNtfsListBaseReference) & kNtfsRecordMask;
    e.Id = Le16(list, off + kNtfsListId);
    // The name stays inside its own entry.
    e.Name = NtfsNameAt(list, off + Le8(list, off + kNtfsListNameOffset), Le8(list, off + kNtfsListNameLength),
                        off + length);
    if (e.Type == kNtfsAttrEnd) break;
    out.push_back(std::move(e));
    off += length;
  }
}

}  // namespace vandrel
