// Names and families of partition-type bytes.
#pragma once

#include <cstdint>
#include <string>

namespace vandrel {

// "NTFS", "FAT 32", ...; unknown bytes give "Unknown file system: %d".
std::string PartitionTypeName(std::uint8_t type);
bool IsFatType(std::uint8_t type);
bool IsNtfsType(std::uint8_t type);
bool IsUnixType(std::uint8_t type);

}  // namespace vandrel
