// The BIOS parameter block of a FAT boot sector, decoded once for the
// reader and the probe. The fields are given as stored; what a caller
// derives from them (the FAT type, the data start) stays with the caller.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/endian.h"

namespace vandrel {

inline constexpr std::uint64_t kFatBpbBytesPerSector = 11;
inline constexpr std::uint64_t kFatBpbSectorsPerCluster = 13;
inline constexpr std::uint64_t kFatBpbReservedSectors = 14;
inline constexpr std::uint64_t kFatBpbFatCount = 16;
inline constexpr std::uint64_t kFatBpbRootEntries = 17;
inline constexpr std::uint64_t kFatBpbTotalSectors16 = 19;
inline constexpr std::uint64_t kFatBpbMedia = 21;
inline constexpr std::uint64_t kFatBpbSectorsPerFat16 = 22;
inline constexpr std::uint64_t kFatBpbTotalSectors32 = 32;
inline constexpr std::uint64_t kFatBpbSectorsPerFat32 = 36;
inline constexpr std::uint64_t kFatBpbRootCluster = 44;
// The volume label in the extended boot record: FAT12/16 and FAT32 keep it
// at different places, 11 bytes padded with blanks.
inline constexpr std::uint64_t kFatBpbVolumeLabel16 = 43;
inline constexpr std::uint64_t kFatBpbVolumeLabel32 = 71;
inline constexpr std::size_t kFatVolumeLabelLength = 11;

struct TFatBpb {
  std::uint16_t BytesPerSector = 0;
  std::uint8_t SectorsPerCluster = 0;
  std::uint16_t ReservedSectors = 0;
  std::uint8_t FatCount = 0;
  std::uint16_t RootEntries = 0;
  std::uint8_t Media = 0;
  // The 16-bit count when set, else the 32-bit one.
  std::uint32_t TotalSectors = 0;
  // FAT12/16 keep the FAT size in 16 bits; FAT32 leaves that 0 and keeps
  // it in 32 bits. SectorsPerFat is the 16-bit size when set, else the other.
  std::uint16_t SectorsPerFat16 = 0;
  std::uint32_t SectorsPerFat = 0;
  std::uint32_t RootCluster = 0;  // FAT32 only
};

// The fields of a boot sector; a short buffer gives zeros for what it lacks.
TFatBpb ParseFatBpb(ByteSpan sector);

}  // namespace vandrel
