#include "support/memory_disk.h"

#include <algorithm>
#include <cstring>

#include "devices/volume_services.h"
#include "platform/errors.h"
#include "storage/hdd_manager.h"

namespace vandrel::test {

MemoryDisk::MemoryDisk(std::vector<std::uint8_t> bytes, std::int32_t sectorSize, bool enumerate, std::string name,
                       TBusManager* manager)
    : TStorageWithPartitions(manager, "", 0, 0, 0, -256), bytes_(std::move(bytes)), name_(std::move(name)) {
  SectorSize = sectorSize;
  Size = static_cast<std::int64_t>(bytes_.size());
  SectorCount = (Size + sectorSize - 1) / sectorSize;
  StorageType = stHardDrive;
  StorageSource = ssImageFile;
  DiskImage = true;
  ValidDevice = SectorCount > 0;
  if (enumerate && ValidDevice) {
    Open(true, false, false);
    EnumerateVolumes();
    Close(false);
  }
}

TBusManager* ListingManager() {
  static THddManager* const manager = [] {
    static THddManager m;
    m.VolumeServices = &DeviceVolumeServices();
    return &m;
  }();
  return manager;
}

TVolumeServices* MemoryDisk::Services() {
  TVolumeServices* own = TStorageWithPartitions::Services();
  return own != nullptr ? own : &DeviceVolumeServices();
}

bool MemoryDisk::Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) {
  reads.emplace_back(sector, count);
  if (failReads || sector < 0 || count < 0 || sector + count > SectorCount) {
    platform::SetLastOsError(platform::kErrorSectorNotFound);
    return false;
  }
  const std::uint64_t offset = static_cast<std::uint64_t>(sector) * static_cast<std::uint64_t>(SectorSize);
  const std::uint64_t length = static_cast<std::uint64_t>(count) * static_cast<std::uint64_t>(SectorSize);
  const std::uint64_t available = offset < bytes_.size() ? bytes_.size() - offset : 0;
  const std::uint64_t copy = std::min(length, available);
  if (copy > 0) std::memcpy(buffer, bytes_.data() + offset, copy);
  if (copy < length) std::memset(buffer + copy, 0, length - copy);
  if (unreadableCount > 0 && sector < unreadableFirst + unreadableCount && unreadableFirst < sector + count) {
    const std::int64_t good = std::max<std::int64_t>(0, unreadableFirst - sector);
    std::memset(buffer + static_cast<std::size_t>(good) * static_cast<std::size_t>(SectorSize), 0,
                static_cast<std::size_t>(count - good) * static_cast<std::size_t>(SectorSize));
    platform::SetLastOsError(platform::kErrorSectorNotFound);
    return false;
  }
  return true;
}

bool MemoryDisk::Open(bool, bool, bool) {
  ++openCount;
  return true;
}

void MemoryDisk::Close(bool releaseReader) {
  TStorage::Close(releaseReader);
  if (openCount > 0) --openCount;
}

}  // namespace vandrel::test
