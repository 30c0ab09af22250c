#include "storage/file_system_kind.h"

namespace vandrel {

std::string_view FileSystemKindName(TFileSystemKind kind) {
  using enum TFileSystemKind;
  switch (kind) {
    case kFat12: return "FAT12";
    case kFat16: return "FAT16";
    case kFat32: return "FAT32";
    case kNtfs: return "NTFS";
    case kExt: return "Ext";
    case kHfs: return "HFS+";
    case kExFat: return "exFAT";
    case kBitLocker: return "BitLocker";
    case kCdfs: return "CDFS";
    case kNone: break;
  }
  return "none";
}

TFileSystemKind PartitionTypeKind(std::uint8_t type) {
  using enum TFileSystemKind;
  switch (type) {
    case 0x01: case 0x11: return kFat12;
    case 0x04: case 0x06: case 0x0E: case 0x14: case 0x16: case 0x1E: case 0x86: return kFat16;
    case 0x0B: case 0x0C: case 0x1B: case 0x1C: case 0x8B: case 0x8C: return kFat32;
    case 0x07: case 0x17: case 0x87: return kNtfs;
    case 0x63: case 0x82: case 0x83: case 0x85: return kExt;
    case 0xA8: case 0xAB: case 0xAF: return kHfs;
    case 0xFA: return kExFat;
    case 0xF9: return kBitLocker;
    case 0xFE: case 0xFF: return kCdfs;
    default: return kNone;
  }
}

std::uint8_t KindToPartitionType(TFileSystemKind kind) {
  using enum TFileSystemKind;
  switch (kind) {
    case kFat12: return 0x01;
    case kFat16: return 0x04;
    case kFat32: return 0x0B;
    case kNtfs: return 0x07;
    case kExt: return 0x83;
    case kHfs: return 0xAF;
    case kExFat: return 0xFA;
    case kBitLocker: return 0xF9;
    case kCdfs: return 0xFF;
    case kNone: break;
  }
  return 0x00;
}

}  // namespace vandrel
