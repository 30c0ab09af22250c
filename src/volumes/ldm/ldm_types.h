// The records of the dynamic-disk (LDM) database: the private header, the
// table of contents, the VMDB and the VBLK records, and the tree of volumes,
// components, partitions and disks that the records describe. Every number
// in the database is big-endian.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/endian.h"

namespace vandrel {

// The database lives in a 1 MiB area.
inline constexpr std::uint32_t kLdmAreaBytes = 1048576;
// Records sit in 128-byte slots; a record longer than one slot is split into
// fragments, each after a 16-byte slot header.
inline constexpr std::uint32_t kVblkSlotSize = 128;
inline constexpr std::uint32_t kVblkSlotHeader = 16;
inline constexpr std::uint32_t kVblkFragmentData = kVblkSlotSize - kVblkSlotHeader;
inline constexpr std::uint32_t kVblkMaxFragments = 8;
inline constexpr std::uint32_t kVblkMaxDataLength = 2048;
// Record fields begin after the 24-byte record header.
inline constexpr std::uint32_t kVblkFieldsStart = 24;

// Record type bytes (revision in the high nibble).
inline constexpr std::uint8_t kVblkVolume = 0x51;
inline constexpr std::uint8_t kVblkComponent = 0x32;
inline constexpr std::uint8_t kVblkPartition = 0x33;
inline constexpr std::uint8_t kVblkDisk = 0x34;
inline constexpr std::uint8_t kVblkDiskGuid = 0x44;
inline constexpr std::uint8_t kVblkDiskGroup = 0x35;
inline constexpr std::uint8_t kVblkDiskGroupGuid = 0x45;

// Component layouts as the database names them.
inline constexpr std::uint8_t kLdmComponentStripe = 1;
inline constexpr std::uint8_t kLdmComponentSpanned = 2;
inline constexpr std::uint8_t kLdmComponentRaid5 = 3;

// The LDM metadata partition of a GPT disk.
inline constexpr const char* kLdmMetadataGuid = "5808C8AA-7E8F-42E0-85D2-E1E90434CFB3";

// PRIVHEAD: one sector, at the end of the database area.
struct TPrivHead {
  std::string DiskId;             // text at 0x30 (64 bytes)
  std::string DiskGroupName;      // text at 0xF0 (32 bytes)
  std::uint64_t LogicalDiskStart = 0;  // first sector of the data area
  std::uint64_t ConfigStart = 0;       // first sector of the database, from the disk start
};

// Whether `sector` begins with the PRIVHEAD magic; fills `out` when so.
bool ParsePrivHead(ByteSpan sector, TPrivHead& out);

struct TVBLK_Volume {
  std::string VolumeType;  // "gen", "raid5"
  std::uint8_t State = 0;
  std::uint8_t VolumeKind = 0;
  std::uint8_t VolumeNumber = 0;
  std::uint8_t VolumeFlags = 0;
  std::uint64_t ComponentCount = 0;
  std::uint64_t CommitId = 0;
  std::uint64_t Id2 = 0;
  std::uint64_t Size = 0;  // sectors
  std::uint8_t PartitionType = 0;
  std::array<std::uint8_t, 16> Guid{};
  std::string DriveHint;
};

struct TVBLK_Component {
  std::string State;
  std::uint8_t ComponentType = 0;
  std::uint64_t ChildCount = 0;
  std::uint64_t ParentVolumeId = 0;
  std::uint64_t StripeSize = 0;  // sectors
  std::uint64_t ColumnCount = 0;
};

struct TVBLK_Partition {
  std::uint64_t Start = 0;         // sectors into the disk's data area
  std::uint64_t VolumeOffset = 0;  // sectors into the volume
  std::uint64_t Size = 0;
  std::uint64_t ParentComponentId = 0;
  std::uint64_t DiskId = 0;
  std::uint64_t Index = 0;  // column of a striped or RAID-5 volume
};

struct TVBLK_Disk_0x34 {
  std::string DiskId;  // the text PRIVHEAD carries
  std::string AltName;
};

struct TVBLK_Disk_0x44 {
  std::array<std::uint8_t, 16> DiskGuid{};
};

struct TVBLK_Disk_Group_0x35 {
  std::string IdText;
};

struct TVBLK_Disk_Group_0x45 {
  std::array<std::uint8_t, 16> Guid{};
};

struct TVBLK {
  std::uint32_t Sequence = 0;
  std::uint32_t Group = 0;
  std::uint16_t RecordNumber = 0;
  std::uint16_t RecordCount = 0;
  std::uint8_t Flags = 0;
  std::uint8_t RecordType = 0;
  std::uint32_t DataLength = 0;
  std::uint64_t ObjectId = 0;
  std::string Name;
  TVBLK_Volume Volume;
  TVBLK_Component Component;
  TVBLK_Partition Partition;
  TVBLK_Disk_0x34 Disk;
  TVBLK_Disk_0x44 DiskGuid;
  TVBLK_Disk_Group_0x35 DiskGroup;
  TVBLK_Disk_Group_0x45 DiskGroupGuid;
};

// Decodes one whole record (fragments already joined); false when the
// bytes are not a VBLK.
bool ParseVblk(ByteSpan record, TVBLK& out);

// The disk-id text of a disk record: the text of a 0x34 record, the GUID of
// a 0x44 record in its usual text form.
std::string VblkDiskIdent(const TVBLK& disk);

// Links are indices into the tree's arrays; -1 means none.
struct TNode {
  std::uint64_t ObjectId = 0;
  TVBLK Vblk;
  std::int32_t Next = -1;
  std::int32_t FirstChild = -1;
};

using TArrayTNode = std::vector<TNode>;

}  // namespace vandrel
