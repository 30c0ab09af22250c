// The MBR and the chain of extended boot records behind it.
#pragma once

#include <cstdint>

#include "common/endian.h"

namespace vandrel {

class TStorageWithPartitions;

// Adds the entries of the MBR and its extended chain to the disk's list;
// false when sector 0 holds no table or nothing in it.
bool ReadMbr(TStorageWithPartitions& disk);

// Whether a file system found at sector 0 (by its partition type byte) is
// the disk's one volume. NTFS and exFAT boot sectors and the ext superblock
// carry signatures no table has; a FAT boot sector is the volume only when
// its bytes do not also read as a table. Disks and image files follow the
// same rule: a stick formatted whole and its image list the same volume.
bool VolumeAtSectorZero(std::uint8_t type, ByteSpan sector0);

}  // namespace vandrel
