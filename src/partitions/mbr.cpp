// The partition list of a device: reading the tables and merging what they
// and the lost-partition search find.
#include <algorithm>

#include "common/func.h"
#include "common/log.h"
#include "filesystems/uFileSystem.h"
#include "storage/uHardDrive.h"

namespace vandrel {

void TStorageWithPartitions::EnumerateVolumes() {
  LogText("Enumerating volumes: " + GetName(false));
  // The MBR walk, GPT and the lost-partition search fill the list here.
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
