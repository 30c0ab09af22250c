// Labels of the volumes behind partition entries.
#pragma once

#include <string>

namespace vandrel {

class TStorage;
class TPartition;

// The label a FAT boot sector carries (trimmed); empty for other volumes.
std::string FatVolumeLabel(TStorage& volume);
// The label of a new partition's volume, by its detected type.
std::string VolumeLabel(TPartition& partition);

}  // namespace vandrel
