// The volume services of a running program: the partition tables of
// volumes/ and the file-system recognisers of filesystems/, joined here
// because neither may see the other.
#pragma once

#include "storage/volume_services.h"

namespace vandrel {

class TDeviceVolumeServices final : public TVolumeServices {
 public:
  void EnumerateVolumes(TStorageWithPartitions& disk) override;
  TFileSystemKind ProbeFileSystem(TStorage& volume) override;
  void FindLostVolumes(TStorageWithPartitions& disk, const TLostVolumeCallback& found) override;
  std::string VolumeLabel(TStorage& volume, std::uint8_t partitionType) override;
  std::string VersionText(TStorage& volume, std::uint8_t partitionType) override;
};

// The one instance; it keeps no state, so every bus manager may share it.
TVolumeServices& DeviceVolumeServices();

// What the volume holds, as the volume list sees it: an Ext signature on a
// Linux RAID member belongs to the array, not to it.
TFileSystemKind ProbeBootSector(TStorage& volume);

}  // namespace vandrel
