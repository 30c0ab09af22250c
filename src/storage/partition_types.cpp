#include "storage/partition_types.h"

#include "common/messages.h"
#include "storage/bus_manager.h"

namespace vandrel {

std::string PartitionTypeName(std::uint8_t type) {
  switch (type) {
    case 0x00: return "empty";
    case 0x01: return "FAT 12";
    case 0x02: return "Xenix root";
    case 0x03: return "Xenix /usr";
    case 0x04: return "FAT 16";
    case 0x06: return "PARTITION_HUGE";
    case 0x07: return "NTFS";
    case 0x0B:
    case 0x0C: return "FAT 32";
    case 0x0E: return "FAT 16 lba";
    case 0x11: return "Hidden FAT 12";
    case 0x14: return "Hidden FAT 16 (<32)";
    case 0x16: return "Hidden FAT 16";
    case 0x17: return "Hidden NTFS, HPFS";
    case 0x1B: return "Hidden FAT32";
    case 0x1C: return "Hidden FAT32 LBA";
    case 0x1E: return "Hidden FAT16 LBA";
    case 0x42: return "Dynamic Disk";
    case 0x63: return "Unix File System";
    case 0x82: return "Linux Swap";
    case 0x83: return "Linux native";
    case 0x86: return "FAT16 volume set";
    case 0x87: return "NTFS volume set";
    case 0x8B: return "FAT32 volume set";
    case 0x8C: return "FAT32 LBA volume set";
    case 0xA8: return "Mac X UFS";
    case 0xAB: return "Mac X Boot";
    case 0xAF: return "Mac X HFS";
    case 0xC2: return "Hidden Linux swap";
    case 0xC3: return "Hidden Linux native";
    case 0xEE:
    case 0xEF: return "EFI";
    case 0xF9: return "BitLocker";
    case 0xFA: return "exFAT";
    case 0xFB: return "Physical drive";
    case 0xFC: return "";
    case 0xFD: return "Linux raid";
    case 0xFE:
    case 0xFF: return "CDFS";
    default: {
      // Message 0 carries one "%d" for the type number.
      std::string text = Message(0);
      const auto at = text.find("%d");
      if (at != std::string::npos) text.replace(at, 2, std::to_string(type));
      return text;
    }
  }
}

std::string VolumeTypeName(const TStorage& volume) {
  return volume.FsTypeText.empty() ? PartitionTypeName(volume.FsType) : volume.FsTypeText;
}

bool IsUnixType(std::uint8_t type) {
  switch (type) {
    case 0x63: case 0x82: case 0x83: case 0x85: case 0xC2: case 0xC3: case 0xFD: return true;
    default: return false;
  }
}

}  // namespace vandrel
