// A volume's label and version as its file system keeps them, for the
// volume list (the readers need not be opened for them).
#pragma once

#include <cstdint>
#include <string>

namespace vandrel {

class TStorage;

// The label by the volume's partition type byte: NTFS from $Volume, FAT
// from the boot sector, Ext from the superblock; empty when there is none.
std::string VolumeLabel(TStorage& volume, std::uint8_t partitionType);
// "ext2", "ext3" or "ext4" for an Ext volume, else "".
std::string VolumeVersionText(TStorage& volume, std::uint8_t partitionType);

}  // namespace vandrel
