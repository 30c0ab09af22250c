// What kind of file system a volume holds: one type for the probe's answer,
// the reader a volume gets and what a partition-type byte announces.
#pragma once

#include <cstdint>
#include <string_view>

namespace vandrel {

enum class TFileSystemKind : std::uint8_t {
  kNone,
  kFat12,
  kFat16,
  kFat32,
  kNtfs,
  kExt,
  kHfs,
  kExFat,
  kBitLocker,
  kCdfs,
};

constexpr bool IsFat(TFileSystemKind kind) {
  return kind == TFileSystemKind::kFat12 || kind == TFileSystemKind::kFat16 || kind == TFileSystemKind::kFat32;
}

// "FAT32", "NTFS", ... for messages.
std::string_view FileSystemKindName(TFileSystemKind kind);

// The kind a partition-type byte announces (FAT bytes with their FAT width);
// kNone for bytes that name no file system this program knows.
TFileSystemKind PartitionTypeKind(std::uint8_t type);
// The partition-type byte a volume found by its contents is listed with.
std::uint8_t KindToPartitionType(TFileSystemKind kind);

}  // namespace vandrel
