// Reading a compressed attribute: one compression unit at a time, its
// allocated clusters unpacked by LZNT1.
#include <cstring>

#include "filesystems/ntfs/lznt1.h"
#include "filesystems/ntfs/ntfs.h"

namespace vandrel {

bool TNTFS::ReadCompressed(TNtfsFileHandle& h, std::int64_t position, std::uint8_t* out, std::size_t length) {
  const std::int64_t cs = clusterSize_;
  const std::int64_t unitClusters = std::int64_t{1} << h.Desc.CompressionUnit;
  const std::int64_t unitBytes = unitClusters * cs;
  if (!h.Unpack) h.Unpack = std::make_unique<TNTFS_Unpack>(clusterSize_, static_cast<std::uint32_t>(unitBytes));
  bool ok = true;
  while (length > 0) {
    const std::int64_t unit = position / unitBytes;
    if (h.UnitIndex != unit) {
      h.Unit.assign(static_cast<std::size_t>(unitBytes), 0);
      h.Packed.clear();
      const std::int64_t first = unit * unitClusters;
      std::int64_t allocated = 0;
      bool unitRead = true;
      for (std::int64_t vcn = first; vcn < first + unitClusters;) {
        const TRunNode* run = FindRun(h.Desc.Runs, vcn);
        if (run == nullptr) {
          const std::int64_t next = NextRunStart(h.Desc.Runs, vcn);
          vcn = next < 0 ? first + unitClusters : std::min(next, first + unitClusters);
          continue;
        }
        const std::int64_t n = std::min(run->Vcn + run->Length, first + unitClusters) - vcn;
        if (run->Lcn >= 0) {
          // Allocated clusters of a unit come first; they hold its packed form.
          const std::size_t at = h.Packed.size();
          h.Packed.resize(at + static_cast<std::size_t>(n * cs));
          if (!ReadVolume((run->Lcn + (vcn - run->Vcn)) * cs, h.Packed.data() + at, static_cast<std::size_t>(n * cs)))
            unitRead = false;
          allocated += n;
        } else if (run->Lcn == kLcnOutside) {
          unitRead = false;
        }
        vcn += n;
      }
      if (allocated == unitClusters) {
        h.Unit = h.Packed;
      } else if (allocated > 0) {
        h.Unpack->DecompressUnit(h.Packed, h.Unit);
      }
      // A unit that could not be read is not kept: the next read tries again
      // and fails again.
      h.UnitIndex = unitRead ? unit : -1;
      if (!unitRead) ok = false;
    }
    const std::int64_t offset = position - unit * unitBytes;
    const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(length), unitBytes - offset));
    std::memcpy(out, h.Unit.data() + offset, n);
    out += n;
    position += static_cast<std::int64_t>(n);
    length -= n;
  }
  return ok;
}

}  // namespace vandrel
