#include "filesystems/ntfs/label.h"

#include <vector>

#include "common/text.h"
#include "filesystems/ntfs/boot_sector.h"
#include "filesystems/ntfs/record.h"
#include "filesystems/volume_read.h"

namespace vandrel {

std::string ReadVolumeLabel(TStorage& volume) {
  std::vector<std::uint8_t> sector(512);
  if (!ReadVolumeBytes(volume, 0, sector.data(), sector.size(), TVolumeReadRule::Lenient)) return {};
  TNtfsBoot boot;
  if (!BytesEqual(sector, 3, "NTFS    ")) return {};
  ParseNtfsBoot(sector, boot);
  for (std::int64_t lcn : {boot.MftLcn, boot.MirrLcn}) {
    if (lcn <= 0 || lcn >= (std::int64_t{1} << 40)) continue;
    std::vector<std::uint8_t> record(boot.RecordSize);
    if (!ReadVolumeBytes(volume, static_cast<std::uint64_t>(lcn * boot.ClusterSize + 3 * std::int64_t{boot.RecordSize}),
                         record.data(), record.size(), TVolumeReadRule::Lenient))
      continue;
    if (!ApplyFixup(record)) continue;  // torn: the mirror's copy may be whole
    TNtfsRecordInfo info;
    std::vector<TNtfsAttrHeader> headers;
    if (!ParseRecordAttributes(record, info, headers)) continue;
    for (const TNtfsAttrHeader& h : headers) {
      if (h.Type != kNtfsAttrVolumeName) continue;
      if (!h.NonResident && h.ValueLength > 0)
        return Utf16LeBytesToUtf8(ByteSpan(record).subspan(h.ValueOffset, h.ValueLength));
      break;
    }
  }
  return {};
}

}  // namespace vandrel
