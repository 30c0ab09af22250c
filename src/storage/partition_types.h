// Names and families of partition-type bytes.
#pragma once

#include <cstdint>
#include <string>

namespace vandrel {

class TStorage;

// "NTFS", "FAT 32", ...; unknown bytes give "Unknown file system: %d".
std::string PartitionTypeName(std::uint8_t type);
// The type a user reads for a volume: FsTypeText where it was found, else
// the type byte's name.
std::string VolumeTypeName(const TStorage& volume);
bool IsUnixType(std::uint8_t type);

}  // namespace vandrel
