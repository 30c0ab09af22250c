// Labels of the volumes behind partition entries.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/volumes.h"

namespace vandrel {

class TStorage;
class TPartition;

// The first mount path of the system volume on kernel disk `disk` (its name
// under /dev) that starts `startBytes` into it; empty when none is mounted.
std::string FindMountPath(std::span<const platform::SystemVolume> volumes, std::string_view disk,
                          std::uint64_t startBytes);
// The label a FAT boot sector carries (trimmed); empty for other volumes.
std::string FatVolumeLabel(TStorage& volume);
// The label of a new partition's volume, by its detected type.
std::string VolumeLabel(TPartition& partition);
// "ext2", "ext3" or "ext4" for an Ext volume, else "".
std::string ExtVersionOf(TPartition& partition);

}  // namespace vandrel
