#include "filesystems/volume_label.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "common/endian.h"
#include "common/func.h"
#include "common/text.h"
#include "filesystems/ext/superblock.h"
#include "filesystems/fat/boot_sector.h"
#include "filesystems/file_system.h"
#include "filesystems/ntfs/label.h"
#include "filesystems/volume_read.h"
#include "storage/bus_manager.h"
#include "storage/file_system_kind.h"
#include "storage/partition_types.h"

namespace vandrel {

namespace {

std::string FatVolumeLabel(TStorage& volume) {
  std::vector<std::uint8_t> sector(static_cast<std::size_t>(std::max(volume.SectorSize, 512)));
  if (volume.SectorCount <= 0 || !volume.ReadSectors(sector.data(), 1, 0)) return {};
  // The boot-sector probe applies the same cluster count that tells FAT32
  // from FAT12/16, whose labels sit at different places.
  const TFileSystemKind kind = ProbeBootSectorBytes(sector, nullptr);
  if (!IsFat(kind)) return {};
  const std::size_t offset = kind == TFileSystemKind::kFat32 ? kFatBpbVolumeLabel32 : kFatBpbVolumeLabel16;
  const ByteSpan bytes(sector);
  return Trim(Latin1ToUtf8(
      std::string_view(reinterpret_cast<const char*>(bytes.data()) + offset, kFatVolumeLabelLength)));
}

bool ReadExtSuperblock(TStorage& volume, std::vector<std::uint8_t>& superblock) {
  superblock.assign(1024, 0);
  return ReadVolumeBytes(volume, kExt2SuperblockOffset, superblock.data(), superblock.size());
}

}  // namespace

std::string VolumeLabel(TStorage& volume, std::uint8_t partitionType) {
  const TFileSystemKind kind = PartitionTypeKind(partitionType);
  // NTFS keeps its label in the $Volume file.
  if (kind == TFileSystemKind::kNtfs) return ReadVolumeLabel(volume);
  if (IsFat(kind)) return FatVolumeLabel(volume);
  std::vector<std::uint8_t> superblock;
  if (IsUnixType(partitionType) && ReadExtSuperblock(volume, superblock)) return Ext2VolumeLabel(superblock);
  return {};
}

std::string VolumeVersionText(TStorage& volume, std::uint8_t partitionType) {
  std::vector<std::uint8_t> superblock;
  if (IsUnixType(partitionType) && ReadExtSuperblock(volume, superblock)) return Ext2VersionName(superblock);
  return {};
}

}  // namespace vandrel
