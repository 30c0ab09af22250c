#include "filesystems/ntfs/record_description.h"

#include <vector>

#include "filesystems/ntfs/runlist.h"

namespace vandrel {

bool DescribeRecord(ByteSpan record, std::int64_t clusterCount, TNtfsRecordDescription& out) {
  out = {};
  std::vector<TNtfsAttrHeader> headers;
  if (!ParseRecordAttributes(record, out.Info, headers)) return false;
  for (const TNtfsAttrHeader& h : headers) {
    const ByteSpan value = h.NonResident ? ByteSpan() : record.subspan(h.ValueOffset, h.ValueLength);
    switch (h.Type) {
      case kNtfsAttrFileName: {
        TNtfsFileName name;
        if (!h.NonResident && ParseFileName(value, name)) out.Names.Offer(name);
        break;
      }
      case kNtfsAttrStandardInfo:
        if (h.NonResident) break;
        out.CreationTime = Le64(value, kNtfsStdInfoCreationTime);
        out.WriteTime = Le64(value, kNtfsStdInfoWriteTime);
        out.ChangeTime = Le64(value, kNtfsStdInfoChangeTime);
        out.FileAttributes |= Le32(value, kNtfsStdInfoFileAttributes);
        break;
      case kNtfsAttrAttributeList:
        out.HasAttributeList = true;
        break;
      case kNtfsAttrData: {
        if (!h.Name.empty()) break;
        if (!h.NonResident) {
          out.HasData = true;
          out.DataSize = h.ValueLength;
          break;
        }
        if (h.StartVcn == 0) {
          out.HasData = true;
          out.DataSize = h.DataSize;
        }
        if (out.FirstLcn >= 0 || h.RunlistLength == 0) break;
        std::vector<TRunNode> runs;
        DecodeRunlist(record.subspan(h.RunlistOffset, h.RunlistLength), h.StartVcn, clusterCount, runs);
        for (const TRunNode& r : runs)
          if (r.Lcn >= 0) {
            out.FirstLcn = r.Lcn;
            break;
          }
        break;
      }
      default:
        break;
    }
  }
  return true;
}

}  // namespace vandrel
