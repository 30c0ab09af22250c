// What a disk asks of the layers above storage while it lists its volumes.
// The partition tables are read by volumes/, the contents of a volume are
// recognised by filesystems/; the two never see each other, so the device
// layer, which sees both, joins them and hands them down through the bus
// managers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "storage/file_system_kind.h"

namespace vandrel {

class TStorage;
class TStorageWithPartitions;

// A volume found by its boot sector where no table lists it:
// (type byte, sector count, start sector), in the disk's sectors.
using TLostVolumeCallback = std::function<void(std::uint8_t type, std::int64_t count, std::int64_t start)>;

class TVolumeServices {
 public:
  virtual ~TVolumeServices() = default;

  // Reads the disk's partition tables (or finds one volume filling it),
  // adds the volumes found by their boot sectors and the free space.
  virtual void EnumerateVolumes(TStorageWithPartitions& disk) = 0;
  // What the volume holds; kNone when nothing is recognised, or when the
  // signature found belongs to an array the volume is a member of.
  virtual TFileSystemKind ProbeFileSystem(TStorage& volume) = 0;
  // Looks for NTFS and FAT volumes by their boot sectors over the whole disk.
  virtual void FindLostVolumes(TStorageWithPartitions& disk, const TLostVolumeCallback& found) = 0;
  // The label the volume's file system keeps, by its partition type byte;
  // empty when it has none.
  virtual std::string VolumeLabel(TStorage& volume, std::uint8_t partitionType) = 0;
  // "ext2", "ext3" or "ext4" where the type byte's name says less; else empty.
  virtual std::string VersionText(TStorage& volume, std::uint8_t partitionType) = 0;
};

// The volume's file system through its services; kNone without them.
TFileSystemKind ProbeVolume(TStorage& volume);

}  // namespace vandrel
