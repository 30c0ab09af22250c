#include "volumes/partitions/volume_probe.h"

#include "filesystems/file_system.h"
#include "volumes/raid/raid_detect_linux.h"

namespace vandrel {

TFileSystemKind ProbeBootSector(TStorage& volume) {
  const TFileSystemKind kind = ProbeFileSystem(volume);
  if (kind == TFileSystemKind::kExt && IsLinuxRaidMember(&volume)) return TFileSystemKind::kNone;
  return kind;
}

}  // namespace vandrel
