// The file allocation table: one 12-, 16- or 32-bit entry per cluster,
// each naming the next cluster of its chain, 0 for free, or the chain's end.
#pragma once

#include <cstdint>

#include "common/endian.h"
#include "filesystems/file_system.h"

namespace vandrel {

// The width follows from the cluster count alone.
inline constexpr std::int64_t kFat12MaxClusters = 4084;
inline constexpr std::int64_t kFat16MaxClusters = 65524;
TFileSystemKind FatWidthForClusters(std::int64_t clusterCount);

inline constexpr std::int64_t kFatFreeCluster = 0;
// FAT32 entries keep their low 28 bits; the top four are reserved.
inline constexpr std::uint32_t kFat32EntryMask = 0x0FFFFFFF;
inline constexpr std::uint16_t kFat12EntryMask = 0x0FFF;
// Values above these end a chain (bad-cluster marks included).
inline constexpr std::int64_t kFat12LastCluster = 0xFF7;
inline constexpr std::int64_t kFat16LastCluster = 0xFFF7;
inline constexpr std::int64_t kFat32LastCluster = 0x0FFFFFF7;

// Entry `index` of `table`; -1 when the table does not hold it.
std::int64_t FatEntry(ByteSpan table, std::uint64_t index, TFileSystemKind width);
// True for the end marks and for -1 (no entry).
bool IsFatEndOfChain(std::int64_t value, TFileSystemKind width);
// Bytes that hold `entries` entries of this width.
std::uint64_t FatTableBytes(std::uint64_t entries, TFileSystemKind width);

}  // namespace vandrel
