// Reading a compressed attribute: one compression unit at a time, its
// allocated clusters unpacked by LZNT1.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "filesystems/ntfs/lznt1.h"
#include "filesystems/ntfs/ntfs.h"

namespace vandrel {

bool TNTFS::ReadCompressed(TNtfsFileHandle& h, std::int64_t position, std::uint8_t* out, std::size_t length) {
  const std::int64_t cs = clusterSize_;
  const std::int64_t unitClusters = std::int64_t{1} << h.Desc.CompressionUnit;
  const std::int64_t unitBytes = unitClusters * cs;
  const TNTFS_Unpack unpack(clusterSize_, static_cast<std::uint32_t>(unitBytes));
  std::vector<std::uint8_t> unitData;
  std::vector<std::uint8_t> packed;
  bool ok = true;
  while (length > 0) {
    const std::int64_t unit = position / unitBytes;
    const std::int64_t offset = position - unit * unitBytes;
    const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(length), unitBytes - offset));
    bool cached = false;
    {
      std::lock_guard lock(h.UnitLock);
      if (h.UnitIndex == unit) {
        std::memcpy(out, h.Unit.data() + offset, n);
        cached = true;
      }
    }
    if (!cached) {
      unitData.assign(static_cast<std::size_t>(unitBytes), 0);
      packed.clear();
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
        const std::int64_t count = std::min(run->Vcn + run->Length, first + unitClusters) - vcn;
        if (run->Lcn >= 0) {
          // Allocated clusters of a unit come first; they hold its packed form.
          const std::size_t at = packed.size();
          packed.resize(at + static_cast<std::size_t>(count * cs));
          if (!ReadVolume((run->Lcn + (vcn - run->Vcn)) * cs, packed.data() + at, static_cast<std::size_t>(count * cs)))
            unitRead = false;
          allocated += count;
        } else if (run->Lcn == kLcnOutside) {
          unitRead = false;
        }
        vcn += count;
      }
      if (allocated == unitClusters) {
        unitData = packed;
      } else if (allocated > 0) {
        unpack.DecompressUnit(packed, unitData);
      }
      std::memcpy(out, unitData.data() + offset, n);
      // A unit that could not be read is not kept: the next read tries again
      // and fails again.
      if (unitRead) {
        std::lock_guard lock(h.UnitLock);
        h.Unit.swap(unitData);
        h.UnitIndex = unit;
      } else {
        ok = false;
      }
    }
    out += n;
    position += static_cast<std::int64_t>(n);
    length -= n;
  }
  return ok;
}

}  // namespace vandrel
