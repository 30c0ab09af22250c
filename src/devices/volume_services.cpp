#include "devices/volume_services.h"

#include "filesystems/file_system.h"
#include "filesystems/partition_recovery.h"
#include "filesystems/volume_label.h"
#include "volumes/partitions/volume_enumeration.h"
#include "volumes/raid/raid_detect_linux.h"

namespace vandrel {

void TDeviceVolumeServices::EnumerateVolumes(TStorageWithPartitions& disk) { vandrel::EnumerateVolumes(disk, *this); }

TFileSystemKind TDeviceVolumeServices::ProbeFileSystem(TStorage& volume) { return ProbeBootSector(volume); }

void TDeviceVolumeServices::FindLostVolumes(TStorageWithPartitions& disk, const TLostVolumeCallback& found) {
  TPartitionRecovery recovery(&disk);
  recovery.Notify = [&found](std::uint8_t type, std::int32_t, std::int32_t, std::int64_t size, std::int64_t start) {
    found(type, size, start);
  };
  recovery.Scan();
}

std::string TDeviceVolumeServices::VolumeLabel(TStorage& volume, std::uint8_t partitionType) {
  return vandrel::VolumeLabel(volume, partitionType);
}

std::string TDeviceVolumeServices::VersionText(TStorage& volume, std::uint8_t partitionType) {
  return VolumeVersionText(volume, partitionType);
}

TVolumeServices& DeviceVolumeServices() {
  static TDeviceVolumeServices services;
  return services;
}

TFileSystemKind ProbeBootSector(TStorage& volume) {
  const TFileSystemKind kind = vandrel::ProbeFileSystem(volume);
  if (kind == TFileSystemKind::kExt && IsLinuxRaidMember(&volume)) return TFileSystemKind::kNone;
  return kind;
}

}  // namespace vandrel
