// The partition list of a device: reading the tables and merging what they
// and the lost-partition search find.
#include <algorithm>

#include "common/endian.h"
#include "common/func.h"
#include "common/log.h"
#include "filesystems/uFileSystem.h"
#include "storage/uHardDrive.h"

namespace vandrel {

namespace {

constexpr std::size_t kMbrEntries = 446;

// Whether sector 0 looks like a partition table: consecutive used entries
// must be adjacent, or no pair was tested and not all entries are empty.
bool PlausibleMbr(ByteSpan sector) {
  auto start = [&](int i) { return Le32(sector, kMbrEntries + 16 * i + 8); };
  auto size = [&](int i) { return Le32(sector, kMbrEntries + 16 * i + 12); };
  bool tested = false;
  bool allEmpty = true;
  for (int i = 0; i < 4; ++i)
    if (start(i) != 0 || size(i) != 0) allEmpty = false;
  for (int i = 0; i < 3; ++i) {
    if (start(i) == 0 || size(i) == 0 || start(i + 1) == 0 || size(i + 1) == 0) break;
    tested = true;
    const std::uint8_t chsSector = Le8(sector, kMbrEntries + 16 * (i + 1) + 2) & 0x3F;
    if (std::int64_t{start(i + 1)} - chsSector + 1 != std::int64_t{start(i)} + size(i)) return false;
  }
  return tested || !allEmpty;
}

}  // namespace

void TStorageWithPartitions::EnumerateVolumes() {
  LogText("Enumerating volumes: " + GetName(false));
  struct RestoreSkip {
    bool& flag;
    bool saved;
    ~RestoreSkip() { flag = saved; }
  } restore{AllowSkipBadSector, AllowSkipBadSector};
  AllowSkipBadSector = false;
  if (SectorSize <= 0 || SectorCount <= 0) return;

  std::vector<std::uint8_t> sector0(static_cast<std::size_t>(std::max(SectorSize, 2048)));
  const bool read0 = ReadSectors(sector0.data(), 1, 0);
  const std::uint8_t flag0 = sector0[kMbrEntries];
  const std::uint8_t flag1 = sector0[kMbrEntries + 16];
  const bool badBootFlags = read0 && ((flag0 != 0x00 && flag0 != 0x80) || (flag1 != 0x00 && flag1 != 0x80));

  std::vector<std::uint8_t> probe(sector0.size());
  const bool gpt = (SectorCount > 1 && ReadSectors(probe.data(), 1, 1) && BytesEqual(probe, 0, "EFI PART")) ||
                   (ReadSectors(probe.data(), 1, SectorCount - 1) && BytesEqual(probe, 0, "EFI PART"));

  if (!gpt && (Removable || DiskImage || badBootFlags) && read0) {
    const std::uint8_t type = KindToPartitionType(ProbeBootSector(*this));
    if (type != 0 && (type == 0x07 || type == 0x83 || !PlausibleMbr(sector0))) {
      LogEvent(kSenderIo, 0, 0, "Removeable disk without MBR: " + GetName(false), 0);
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
  // The GPT reader, the MBR walk, the lost-partition search and the
  // free-space entries fill the list from here on.
}

bool TStorageWithPartitions::AddPartitionEntry(TPartitionInformation entry) {
  for (auto& existing : Partitions) {
    if (existing.Start != entry.Start) continue;
    const std::int64_t larger = std::max(existing.Count, entry.Count);
    const std::int64_t smaller = std::min(existing.Count, entry.Count);
    const bool similar = larger <= 204800 ? larger == smaller : larger - smaller < 4096;
    if (similar) {
      existing.Count = larger;
      return false;
    }
  }
  AppendPartition(std::move(entry));
  return true;
}

std::int32_t TStorageWithPartitions::AppendPartition(TPartitionInformation entry) {
  entry.Partition = std::make_unique<TPartition>(this, entry);
  TPartition& partition = *entry.Partition;
  if (entry.Kind == pkUnallocated && entry.Count < 16384) partition.Metadata = true;
  partition.Information.Name = entry.Name;
  partition.Information.WindowsPath = entry.WindowsPath;
  entry.Type = partition.Information.Type;
  entry.DetectedType = partition.Information.DetectedType;
  if (UserAdded()) partition.MarkUserAdded();
  LogText(Sprintf("__Partition: %s:\\  %lld %lld", entry.Name.c_str(), static_cast<long long>(entry.Start),
                  static_cast<long long>(entry.Count)));
  Partitions.push_back(std::move(entry));
  return static_cast<std::int32_t>(Partitions.size() - 1);
}

void FinishPartitionCreation(TPartition& partition) {
  std::vector<std::uint8_t> sector(static_cast<std::size_t>(std::max(partition.SectorSize, 512)));
  if (partition.SectorCount > 0 && partition.ReadSectors(sector.data(), 1, 0)) {
    const std::uint8_t type = KindToPartitionType(ProbeBootSector(partition));
    partition.Information.Type = type;
    partition.Information.DetectedType = type;
    partition.FsType = type;
  }
}

}  // namespace vandrel
