// The partition list of a device: reading the tables and merging what they
// and the lost-partition search find.
#include <algorithm>
#include <limits>

#include "common/endian.h"
#include "common/func.h"
#include "common/log.h"
#include "common/text.h"
#include "common/error_codes.h"
#include "filesystems/ext/superblock.h"
#include "filesystems/volume_read.h"
#include "filesystems/ntfs/ntfs.h"
#include "filesystems/file_system.h"
#include "volumes/partitions/volume_probe.h"
#include "volumes/partitions/gpt.h"
#include "volumes/partitions/mbr.h"
#include "volumes/partitions/partition_types.h"
#include "volumes/partitions/partition_recovery.h"
#include "storage/hard_drive.h"
#include "platform/errors.h"
#include "storage/hdd_manager.h"

namespace vandrel {

namespace {

constexpr std::size_t kMbrEntries = 446;
constexpr std::size_t kMbrEntrySize = 16;
// Tables an extended chain may hold before the walk refuses to go on.
constexpr int kMaxTables = 32;
// Free space shorter than this is alignment padding, not a place for data.
constexpr std::int64_t kSmallFreeSpace = 16384;

// Whether sector 0 looks like a partition table: every boot indicator is
// 0x00 or 0x80, and consecutive used entries are adjacent, or no pair was
// tested and not all entries are empty.
bool PlausibleMbr(ByteSpan sector) {
  auto start = [&](int i) { return Le32(sector, kMbrEntries + 16 * i + 8); };
  auto size = [&](int i) { return Le32(sector, kMbrEntries + 16 * i + 12); };
  bool tested = false;
  bool allEmpty = true;
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t bootIndicator = Le8(sector, kMbrEntries + 16 * i);
    if (bootIndicator != 0x00 && bootIndicator != 0x80) return false;
    if (start(i) != 0 || size(i) != 0) allEmpty = false;
  }
  for (int i = 0; i < 3; ++i) {
    if (start(i) == 0 || size(i) == 0 || start(i + 1) == 0 || size(i + 1) == 0) break;
    tested = true;
    const std::uint8_t chsSector = Le8(sector, kMbrEntries + 16 * (i + 1) + 2) & 0x3F;
    if (std::int64_t{start(i + 1)} - chsSector + 1 != std::int64_t{start(i)} + size(i)) return false;
  }
  return tested || !allEmpty;
}

// Whether a file system found at sector 0 is the disk's one volume. NTFS
// and exFAT boot sectors and the ext superblock carry signatures no table
// has; a FAT boot sector is the volume only when its bytes do not also
// read as a table. Disks and image files follow the same rule: a stick
// formatted whole and its image list the same volume.
bool VolumeAtSectorZero(std::uint8_t type, ByteSpan sector0) {
  if (type == 0) return false;
  return type == 0x07 || type == 0x83 || type == 0xFA || !PlausibleMbr(sector0);
}

bool IsExtendedType(std::uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

// The MBR and the chain of extended boot records behind it.
class MbrWalk {
 public:
  explicit MbrWalk(TStorageWithPartitions& device)
      : device_(device), sector_(static_cast<std::size_t>(std::max(device.SectorSize, 2048))) {}

  // `base` is the first extended table of the chain: links found in later
  // extended tables are relative to it.
  bool Walk(std::int64_t table, std::int64_t base, bool isMbr) {
    ++tablesRead_;
    if (!device_.ReadSectors(sector_.data(), 1, table)) {
      LogEvent(kSenderIo, kErrRead, platform::LastOsError(),
               Sprintf("Disk: %d  Sector: %lld  Size: %d bytes", device_.Address[0], static_cast<long long>(table),
                       device_.SectorSize),
               3);
      return false;
    }
    const ByteSpan bytes(sector_);
    const std::uint16_t magic = Le16(bytes, 510);
    if (magic != 0xAA55) {
      LogEvent(kSenderIo, kErrBlockSignature, 0, Sprintf("Magic: %x", magic), 0);
      return false;
    }
    // Copied: walking a link reuses the sector buffer.
    std::array<std::array<std::uint8_t, kMbrEntrySize>, 4> entries{};
    for (std::size_t i = 0; i < 4; ++i)
      std::copy_n(sector_.begin() + static_cast<std::ptrdiff_t>(kMbrEntries + i * kMbrEntrySize), kMbrEntrySize,
                  entries[i].begin());
    bool any = false;
    for (auto& raw : entries) {
      const std::uint8_t type = raw[4];
      const std::uint32_t start = Le32(raw, 8);
      const std::uint32_t size = Le32(raw, 12);
      if (size == 0) continue;
      any = true;
      if (IsExtendedType(type)) {
        if (isMbr) ++ordinal_;
        if (tablesRead_ > kMaxTables) {
          LogEvent(kSenderIo, kErrTooManyPartitions, 0, "", 3);
        } else if (isMbr) {
          Walk(table + start, table + start, false);
        } else {
          Walk(base + start, base, false);
        }
        continue;
      }
      // Entries of a table count from that table's own sector.
      const std::int64_t absolute = table + start;
      const auto stored = static_cast<std::uint32_t>(absolute);
      for (int b = 0; b < 4; ++b) raw[8 + b] = static_cast<std::uint8_t>(stored >> (8 * b));
      ++ordinal_;
      if (type == 0xEE) continue;  // GPT protective entry
      TPartitionInformation entry;
      entry.Kind = pkMbr;
      entry.Start = absolute;
      entry.Count = size;
      entry.Type = type;
      entry.MbrEntry = raw;
      entry.Ordinal = ordinal_;
      device_.AddPartitionEntry(std::move(entry));
    }
    return any;
  }

 private:
  TStorageWithPartitions& device_;
  std::vector<std::uint8_t> sector_;
  int tablesRead_ = 0;
  std::int32_t ordinal_ = 0;
};

// The text that names the device in its free-space labels.
std::string FreeSpaceDeviceText(TStorageWithPartitions& device) {
  if (auto* drive = dynamic_cast<THardDrive*>(&device); drive != nullptr && !drive->Vendor.empty())
    return Sprintf("%s_%lldGb", drive->Vendor.c_str(), static_cast<long long>(device.Size >> 30));
  return device.GetName(false);
}

// Sector ranges of the device that no entry uses (ends inclusive).
struct FreeRange {
  std::int64_t start;
  std::int64_t end;
};

std::vector<FreeRange> FreeRanges(const std::vector<TPartitionInformation>& entries, std::int64_t sectorCount) {
  std::vector<FreeRange> free = {{0, sectorCount - 1}};
  for (const TPartitionInformation& entry : entries) {
    if (entry.Start < 0 || entry.Start >= sectorCount || entry.Count <= 0) continue;
    const std::int64_t usedStart = entry.Start;
    const std::int64_t usedEnd = entry.Start + std::min(entry.Count, sectorCount - entry.Start) - 1;
    std::vector<FreeRange> next;
    for (const FreeRange& range : free) {
      if (usedEnd < range.start || usedStart > range.end) {
        next.push_back(range);
        continue;
      }
      if (usedStart > range.start) next.push_back({range.start, usedStart - 1});
      if (usedEnd < range.end) next.push_back({usedEnd + 1, range.end});
    }
    free = std::move(next);
  }
  std::sort(free.begin(), free.end(), [](const FreeRange& a, const FreeRange& b) { return a.start < b.start; });
  return free;
}

// The Windows volume table names a partition by the mount path of the same
// volume; here that is the kernel partition with the same disk and start.
std::string SystemMountPath(TStorageWithPartitions& device, const TPartitionInformation& entry) {
  auto* drive = dynamic_cast<THardDrive*>(&device);
  if (drive == nullptr || !drive->OsPath().starts_with("/dev/") || entry.Start < 0) return {};
  const std::string disk = drive->OsPath().substr(5);
  if (disk.find('/') != std::string::npos) return {};
  const auto startBytes = static_cast<std::uint64_t>(entry.Start) * static_cast<std::uint64_t>(device.SectorSize);
  return FindMountPath(THddManager::SystemVolumes(), disk, startBytes);
}

// "C:\Data\" style paths become "C__Data_"; a path of the Linux tree keeps
// its shape.
std::string NameFromPath(std::string path) {
  if (path.starts_with("/")) return path;
  std::string name;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] == ':' && i + 1 < path.size() && path[i + 1] == '\\') {
      name.push_back('_');
      ++i;
    } else {
      name.push_back(path[i] == '\\' ? '_' : path[i]);
    }
  }
  return name;
}

// The first 112 bytes of the volume an iPod hides: seven lines of a
// stop sign, each led by "{{~~".
bool IsHiddenIpodSignature(ByteSpan sector) {
  static const char* const kLines[] = {"{{~~  /-----\\   ", "{{~~ /       \\  ", "{{~~|         | ",
                                       "{{~~| S T O P | ", "{{~~|         | ", "{{~~ \\       /  ",
                                       "{{~~  \\-----/   "};
  for (std::size_t i = 0; i < 7; ++i)
    if (!BytesEqual(sector, i * 16, std::string_view(kLines[i], 16))) return false;
  return true;
}

// Long name cut before its first " (" when that comes after the first
// character: "Intel RAID (2 disks)" -> "Intel RAID".
std::string ShortDeviceName(TStorageWithPartitions& device) {
  std::string name = device.GetName(false);
  const auto cut = name.find(" (");
  if (cut != std::string::npos && cut > 0) name.resize(cut);
  return name;
}

}  // namespace

void TStorageWithPartitions::EnumerateVolumes() {
  LogText("Enumerating volumes: " + GetName(false));
  if (SectorSize <= 0 || SectorCount <= 0) return;

  std::vector<std::uint8_t> sector0(static_cast<std::size_t>(std::max(SectorSize, 2048)));
  const bool read0 = ReadSectors(sector0.data(), 1, 0);

  std::vector<std::uint8_t> probe(sector0.size());
  const bool gpt = (SectorCount > 1 && ReadSectors(probe.data(), 1, 1) && BytesEqual(probe, 0, "EFI PART")) ||
                   (ReadSectors(probe.data(), 1, SectorCount - 1) && BytesEqual(probe, 0, "EFI PART"));

  if (!gpt && read0) {
    const std::uint8_t type = KindToPartitionType(ProbeBootSector(*this));
    if (VolumeAtSectorZero(type, sector0)) {
      LogEvent(kSenderIo, 0, 0, "Disk without partition table: " + GetName(false), 0);
      if (DiskImage) StorageType = stEmptyHardDriveForPartition;
      TPartitionInformation entry;
      entry.Kind = pkWithoutTable;
      entry.Start = 0;
      entry.Count = SectorCount;
      entry.Type = type;
      entry.DetectedType = type;
      if (DevicePath && Address[1] != 0) {
        entry.Kind = pkDirectDisk;
        entry.Name = std::string(1, static_cast<char>(Address[1])) + ":";
        entry.WindowsPath = entry.Name;
      }
      AppendPartition(std::move(entry));
      return;
    }
  }

  if (gpt) ReadGpt(*this);
  MbrWalk(*this).Walk(0, 0, true);

  TPartitionRecovery recovery(this);
  recovery.Notify = [this](std::uint8_t type, std::int32_t, std::int32_t, std::int64_t size, std::int64_t start) {
    TPartitionInformation entry;
    entry.Kind = pkMbr;
    entry.Start = start;
    entry.Count = size;
    entry.Type = type;
    entry.DetectedType = type;
    AddPartitionEntry(std::move(entry));
  };
  recovery.Scan();

  AddFreeSpaceEntries();
}

void TStorageWithPartitions::AddFreeSpaceEntries() {
  const std::vector<FreeRange> free = FreeRanges(Partitions, SectorCount);
  if (free.empty()) return;
  std::size_t lowest = 0;
  std::size_t highest = 0;
  for (std::size_t i = 0; i < free.size(); ++i) {
    if (free[i].start < free[lowest].start) lowest = i;
    if (free[i].end > free[highest].end) highest = i;
  }
  const std::string deviceText = FreeSpaceDeviceText(*this);
  for (std::size_t i = 0; i < free.size(); ++i) {
    const std::int64_t length = free[i].end - free[i].start + 1;
    if (length <= 1) continue;
    const char* position = i == lowest ? "at start" : i == highest ? "at end" : "in the middle";
    TPartitionInformation entry;
    entry.Kind = pkUnallocated;
    entry.Start = free[i].start;
    entry.Count = length;
    entry.Label = Sprintf("Unallocated space (%s %s)", deviceText.c_str(), position);
    AppendPartition(std::move(entry));
  }
}

bool TStorageWithPartitions::AddPartitionEntry(TPartitionInformation entry) {
  // Tables and boot sectors may say anything: keep every extent within what
  // 64-bit sector and byte arithmetic can hold.
  const std::int64_t limit = std::numeric_limits<std::int64_t>::max() / std::max<std::int64_t>(SectorSize, 1);
  if (entry.Start < 0 || entry.Count <= 0 || entry.Start >= limit) {
    LogText(Sprintf("Partition entry ignored: start %lld, %lld sectors", static_cast<long long>(entry.Start),
                    static_cast<long long>(entry.Count)));
    return false;
  }
  entry.Count = std::min(entry.Count, limit - entry.Start);
  for (auto& existing : Partitions) {
    if (existing.Start != entry.Start) continue;
    const std::int64_t larger = std::max(existing.Count, entry.Count);
    const std::int64_t smaller = std::min(existing.Count, entry.Count);
    const bool similar = larger <= 204800 ? larger == smaller : larger - smaller < 4096;
    if (similar) {
      existing.Count = larger;
      // The partition object reads as far as its entry says.
      if (existing.Partition) {
        existing.Partition->Information.Count = larger;
        existing.Partition->SectorCount = larger;
        existing.Partition->Size = larger * existing.Partition->SectorSize;
      }
      return false;
    }
  }
  AppendPartition(std::move(entry));
  return true;
}

std::int32_t TStorageWithPartitions::AppendPartition(TPartitionInformation entry) {
  entry.Partition = std::make_unique<TPartition>(this, entry);
  TPartition& partition = *entry.Partition;
  if (entry.Kind == pkUnallocated && entry.Count < kSmallFreeSpace) partition.Metadata = true;
  // Free space is no volume: a disk mounted whole starts at sector 0 too.
  if (entry.Name.empty() && entry.Kind != pkRecovered && entry.Kind != pkUnallocated) {
    entry.WindowsPath = SystemMountPath(*this, entry);
    entry.Name = NameFromPath(entry.WindowsPath);
  }
  partition.Information.Name = entry.Name;
  partition.Information.WindowsPath = entry.WindowsPath;
  entry.Type = partition.Information.Type;
  entry.DetectedType = partition.Information.DetectedType;
  entry.Label = partition.Information.Label;
  if (UserAdded()) partition.MarkUserAdded();
  if (entry.Type == 0 && entry.Start >= 0 && entry.Start < SectorCount) {
    std::vector<std::uint8_t> first(static_cast<std::size_t>(std::max(SectorSize, 512)));
    if (ReadSectors(first.data(), 1, entry.Start) && IsHiddenIpodSignature(first)) {
      entry.Label = "Hidden iPod Volume";
      partition.Information.Label = entry.Label;
    }
  }
  LogText(Sprintf("__Partition: %s:\\  %lld %lld", entry.Name.c_str(), static_cast<long long>(entry.Start),
                  static_cast<long long>(entry.Count)));
  Partitions.push_back(std::move(entry));
  return static_cast<std::int32_t>(Partitions.size() - 1);
}

std::string FindMountPath(std::span<const platform::SystemVolume> volumes, std::string_view disk,
                          std::uint64_t startBytes) {
  for (const platform::SystemVolume& volume : volumes) {
    // The kernel counts partition starts in 512-byte units whatever the sector size.
    if (volume.disk != disk || volume.start * 512 != startBytes || volume.mountPoints.empty()) continue;
    std::string path = volume.mountPoints.front();
    if (path.size() > 1 && path.back() == '\\') path.pop_back();
    return path;
  }
  return {};
}

std::string FatVolumeLabel(TStorage& volume) {
  std::vector<std::uint8_t> sector(static_cast<std::size_t>(std::max(volume.SectorSize, 512)));
  if (volume.SectorCount <= 0 || !volume.ReadSectors(sector.data(), 1, 0)) return {};
  // The boot-sector probe applies the same cluster count that tells FAT32
  // (label at 71) from FAT12/16 (label at 43).
  const TFileSystemKind kind = ProbeBootSectorBytes(sector, nullptr);
  if (!IsFat(kind)) return {};
  const std::size_t offset = kind == TFileSystemKind::kFat32 ? 71 : 43;
  const ByteSpan bytes(sector);
  return Trim(Latin1ToUtf8(std::string_view(reinterpret_cast<const char*>(bytes.data()) + offset, 11)));
}

void FinishPartitionCreation(TPartition& partition) {
  TPartitionInformation& info = partition.Information;
  TStorageWithPartitions* device = partition.Parent();
  if (device != nullptr && device->StorageSource == ssRaid) {
    partition.StorageType = stRaidVolume;
    if (info.Kind != pkUnallocated)
      info.Label = Sprintf("%s Volume %d", ShortDeviceName(*device).c_str(), info.Ordinal);
  } else if (device != nullptr && device->StorageSource == ssLdm) {
    partition.StorageType = stDynamicDisk;
    if (info.Kind != pkUnallocated) info.Label = ShortDeviceName(*device);
  }

  std::vector<std::uint8_t> sector(static_cast<std::size_t>(std::max(partition.SectorSize, 512)));
  if (partition.SectorCount > 0 && partition.ReadSectors(sector.data(), 1, 0)) {
    const std::uint8_t type = KindToPartitionType(ProbeBootSector(partition));
    info.Type = type;
    info.DetectedType = type;
    partition.FsType = type;
  }
  partition.FsTypeText = ExtVersionOf(partition);

  if (info.Label.empty()) info.Label = VolumeLabel(partition);
}

std::string ExtVersionOf(TPartition& partition) {
  if (!IsUnixType(partition.FsType)) return {};
  std::vector<std::uint8_t> superblock(1024);
  if (!ReadVolumeBytes(partition, kExt2SuperblockOffset, superblock.data(), superblock.size())) return {};
  return Ext2VersionName(superblock);
}

std::string VolumeLabel(TPartition& partition) {
  const std::uint8_t type = partition.Information.Type;
  // NTFS keeps its label in the $Volume file.
  const TFileSystemKind kind = PartitionTypeKind(type);
  if (kind == TFileSystemKind::kNtfs) return ReadVolumeLabel(partition);
  if (IsFat(kind)) return FatVolumeLabel(partition);
  if (IsUnixType(type)) {
    std::vector<std::uint8_t> superblock(1024);
    if (!ReadVolumeBytes(partition, kExt2SuperblockOffset, superblock.data(), superblock.size())) return {};
    return Ext2VolumeLabel(superblock);
  }
  return {};
}

}  // namespace vandrel
