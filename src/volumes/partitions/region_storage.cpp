#include "volumes/partitions/region_storage.h"

#include <algorithm>
#include <limits>

namespace vandrel {

TRegionStorage::TRegionStorage(TStorage& device, std::int64_t start, std::int64_t count)
    : TStorage(device.Manager), device_(device), start_(std::max<std::int64_t>(start, 0)) {
  SectorSize = device.SectorSize;
  // Keep start + count and the byte size representable.
  const std::int64_t limit = SectorSize > 0 ? std::numeric_limits<std::int64_t>::max() / SectorSize : 0;
  SectorCount = std::clamp<std::int64_t>(count, 0, std::max<std::int64_t>(0, limit - start_));
  Size = SectorCount * SectorSize;
  StorageSource = device.StorageSource;
  StorageType = stPartition;
}

bool TRegionStorage::Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) {
  return device_.ReadSectors(buffer, count, start_ + sector);
}

void TRegionStorage::Close(bool releaseReader) {
  TStorage::Close(releaseReader);
  device_.Close(false);
}

}  // namespace vandrel
