// FAT directory entries: the 32-byte short entry, the long-name (LFN)
// parts that precede it and their checksum, the markers in a name's first
// byte, and the dot entries every subfolder starts with.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "common/endian.h"

namespace vandrel {

inline constexpr std::size_t kFatDirEntrySize = 32;
// A directory holds at most this many 32-byte entries.
inline constexpr std::int64_t kFatMaxDirEntries = 65536;

// Short entry fields.
inline constexpr std::uint64_t kFatDirName = 0;  // 8 + 3 bytes, blank padded
inline constexpr std::size_t kFatDirNameLength = 11;
inline constexpr std::size_t kFatDirStemLength = 8;
inline constexpr std::uint64_t kFatDirExtension = 8;
inline constexpr std::size_t kFatDirExtensionLength = 3;
inline constexpr std::uint64_t kFatDirAttributes = 11;
inline constexpr std::uint64_t kFatDirCaseFlags = 12;
inline constexpr std::uint64_t kFatDirCreationTime = 14;
inline constexpr std::uint64_t kFatDirCreationDate = 16;
inline constexpr std::uint64_t kFatDirAccessDate = 18;
inline constexpr std::uint64_t kFatDirClusterHigh = 20;  // FAT32 only
inline constexpr std::uint64_t kFatDirWriteTime = 22;
inline constexpr std::uint64_t kFatDirWriteDate = 24;
inline constexpr std::uint64_t kFatDirClusterLow = 26;
inline constexpr std::uint64_t kFatDirFileSize = 28;

// Markers in a name's first byte.
inline constexpr std::uint8_t kFatDirEnd = 0x00;      // no entries follow
inline constexpr std::uint8_t kFatDirErased = 0xE5;   // a deleted entry
inline constexpr std::uint8_t kFatDirEscapedE5 = 0x05;  // a name that starts with 0xE5

// Case bits: the stem or the extension is shown lower case.
inline constexpr std::uint8_t kFatCaseLowerStem = 0x08;
inline constexpr std::uint8_t kFatCaseLowerExtension = 0x10;

// Long-name part fields; a part holds 13 UTF-16 units in three pieces.
inline constexpr std::uint64_t kFatLfnOrder = 0;
inline constexpr std::uint64_t kFatLfnName1 = 1;  // 5 units
inline constexpr std::uint64_t kFatLfnAttributes = 11;
inline constexpr std::uint64_t kFatLfnType = 12;
inline constexpr std::uint64_t kFatLfnChecksum = 13;
inline constexpr std::uint64_t kFatLfnName2 = 14;  // 6 units
inline constexpr std::uint64_t kFatLfnName3 = 28;  // 2 units
inline constexpr std::size_t kFatLfnUnits = 13;
inline constexpr std::uint8_t kFatLfnAttributeValue = 0x0F;
inline constexpr std::uint8_t kFatLfnAttributeMask = 0x3F;
inline constexpr std::uint8_t kFatLfnLastPart = 0x40;  // in the order byte
// A name is at most 255 units; more parts than 20 are damage.
inline constexpr std::size_t kFatLfnMaxParts = 20;

struct TFatDirEntry {
  std::array<std::uint8_t, kFatDirNameLength> Name{};
  std::uint8_t Attributes = 0;
  std::uint8_t CaseFlags = 0;
  std::uint16_t CreationTime = 0;
  std::uint16_t CreationDate = 0;
  std::uint16_t AccessDate = 0;
  std::uint16_t ClusterHigh = 0;
  std::uint16_t WriteTime = 0;
  std::uint16_t WriteDate = 0;
  std::uint16_t ClusterLow = 0;
  std::uint32_t FileSize = 0;

  bool IsEnd() const { return Name[0] == kFatDirEnd; }
  bool IsErased() const { return Name[0] == kFatDirErased; }
  bool IsDotEntry() const;
  // The first cluster; the high word means something else outside FAT32.
  std::int64_t FirstCluster(bool fat32) const;
};

struct TFatLfnPart {
  std::uint8_t Order = 0;
  std::uint8_t Checksum = 0;
  std::array<std::uint16_t, kFatLfnUnits> Units{};

  // An erased part has lost its order byte.
  bool IsErased() const { return Order == kFatDirErased; }
  bool IsLastPart() const { return !IsErased() && (Order & kFatLfnLastPart) != 0; }
};

// Both decode one 32-byte entry; a short buffer gives zeros for what it lacks.
TFatDirEntry ParseFatDirEntry(ByteSpan entry);
TFatLfnPart ParseFatLfnPart(ByteSpan entry);
bool IsFatLfnEntry(ByteSpan entry);

// FAT date and time as FILETIME (taken as UTC); 0 for an impossible date.
std::uint64_t FatTimeToFileTime(std::uint16_t date, std::uint16_t time);
// Checksum of an 8.3 name that its long-name entries carry.
std::uint8_t FatShortNameChecksum(const std::uint8_t* name11);
// The 8.3 name as shown ("NAME.EXT", lower-cased where the case bits say);
// `first` stands in for the first byte (an erased entry lost it).
std::string FatShortName(const TFatDirEntry& entry, std::uint8_t first);

}  // namespace vandrel
