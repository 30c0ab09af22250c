// An MFT record: its header, the update-sequence fix-up that protects it
// (and index blocks), and the walk over its attribute headers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/endian.h"
#include "filesystems/file_system.h"

namespace vandrel {

inline constexpr std::uint32_t kNtfsAttrStandardInfo = 0x10;
inline constexpr std::uint32_t kNtfsAttrAttributeList = 0x20;
inline constexpr std::uint32_t kNtfsAttrFileName = 0x30;
inline constexpr std::uint32_t kNtfsAttrVolumeName = 0x60;
inline constexpr std::uint32_t kNtfsAttrData = 0x80;
inline constexpr std::uint32_t kNtfsAttrIndexRoot = 0x90;
inline constexpr std::uint32_t kNtfsAttrIndexAllocation = 0xA0;
inline constexpr std::uint32_t kNtfsAttrBitmap = 0xB0;
inline constexpr std::uint32_t kNtfsAttrReparsePoint = 0xC0;
inline constexpr std::uint32_t kNtfsAttrEa = 0xE0;
inline constexpr std::uint32_t kNtfsAttrLoggedUtility = 0x100;
inline constexpr std::uint32_t kNtfsAttrEnd = 0xFFFFFFFF;

inline constexpr std::uint16_t kNtfsFlagCompressed = 0x0001;
inline constexpr std::uint16_t kNtfsFlagEncrypted = 0x4000;
inline constexpr std::uint16_t kNtfsFlagSparse = 0x8000;

inline constexpr std::int64_t kNtfsRootRecord = 5;
// Records below this one are the volume's metafiles.
inline constexpr std::int64_t kNtfsFirstUserRecord = 16;
// File references carry a 16-bit sequence number above the record number.
inline constexpr std::uint64_t kNtfsRecordMask = 0x0000FFFFFFFFFFFFULL;

// MFT record header: the bytes the record occupies on disk.
inline constexpr std::uint64_t kMftRecordBytesAllocated = 28;

// $STANDARD_INFORMATION fields.
inline constexpr std::uint64_t kNtfsStdInfoCreationTime = 0;
inline constexpr std::uint64_t kNtfsStdInfoWriteTime = 8;
inline constexpr std::uint64_t kNtfsStdInfoChangeTime = 16;  // of the record
inline constexpr std::uint64_t kNtfsStdInfoAccessTime = 24;
inline constexpr std::uint64_t kNtfsStdInfoFileAttributes = 32;

// Matches every attribute name in lookups by name.
inline constexpr std::string_view kNtfsAnyStream = "USE_ANY_STREAM_@$@#%#$S!#%#$#";

// Undoes the update-sequence protection of a "FILE" or "INDX" buffer in
// place. Other buffers are left alone (true). False when the array does not
// fit or a protected sector's check value does not match (entries are
// written back all the same).
[[nodiscard]] bool ApplyFixup(MutableByteSpan buffer);

// One attribute header of an MFT record.
struct TNtfsAttrHeader {
  std::uint32_t Type = 0;
  std::uint32_t Offset = 0;  // within the record
  std::uint32_t Length = 0;
  bool NonResident = false;
  std::string Name;  // UTF-8
  std::uint16_t Flags = 0;
  std::uint16_t Id = 0;
  // Resident: the value's place in the record, clipped to it.
  std::uint32_t ValueOffset = 0;
  std::uint32_t ValueLength = 0;
  // Non-resident.
  std::int64_t StartVcn = 0;
  std::int64_t LastVcn = 0;
  std::uint32_t RunlistOffset = 0;  // within the record
  std::uint32_t RunlistLength = 0;
  std::uint8_t CompressionUnit = 0;
  std::int64_t AllocatedSize = 0;
  std::int64_t DataSize = 0;
  std::int64_t InitializedSize = 0;
};

// Record header facts.
struct TNtfsRecordInfo {
  bool InUse = false;
  bool Directory = false;
  std::uint64_t BaseRecord = 0;  // 0 for a base record
  std::uint16_t LinkCount = 0;
  std::uint32_t BytesInUse = 0;
  // PastBytesInUse or AttributeOrder when the walk stopped early.
  TDamage Damage = TDamage::None;
};

// Walks the attributes of a fixed-up "FILE" record. False when the
// signature is wrong; stops quietly at the first header that does not fit
// the record, and with `info.Damage` set at one that reaches past the bytes
// in use or breaks the ascending order of types.
bool ParseRecordAttributes(ByteSpan record, TNtfsRecordInfo& info, std::vector<TNtfsAttrHeader>& attributes);

// A UTF-16 name of `units` units at `offset`, cut at `limit`; "" when it
// does not lie in `bytes`.
std::string NtfsNameAt(ByteSpan bytes, std::uint64_t offset, std::uint64_t units, std::uint64_t limit);

}  // namespace vandrel
