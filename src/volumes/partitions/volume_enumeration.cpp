#include "volumes/partitions/volume_enumeration.h"

#include <algorithm>
#include <vector>

#include "common/endian.h"
#include "common/error_codes.h"
#include "common/log.h"
#include "storage/bus_manager.h"
#include "storage/partition_info.h"
#include "storage/volume_services.h"
#include "volumes/partitions/gpt.h"
#include "volumes/partitions/mbr.h"

namespace vandrel {

void EnumerateVolumes(TStorageWithPartitions& disk, TVolumeServices& services) {
  LogText("Enumerating volumes: " + disk.GetName(false));
  if (disk.SectorSize <= 0 || disk.SectorCount <= 0) return;

  std::vector<std::uint8_t> sector0(static_cast<std::size_t>(std::max(disk.SectorSize, 2048)));
  const bool read0 = disk.ReadSectors(sector0.data(), 1, 0);

  std::vector<std::uint8_t> probe(sector0.size());
  const bool gpt =
      (disk.SectorCount > 1 && disk.ReadSectors(probe.data(), 1, 1) && BytesEqual(probe, 0, "EFI PART")) ||
      (disk.ReadSectors(probe.data(), 1, disk.SectorCount - 1) && BytesEqual(probe, 0, "EFI PART"));

  if (!gpt && read0) {
    const std::uint8_t type = KindToPartitionType(services.ProbeFileSystem(disk));
    if (VolumeAtSectorZero(type, sector0)) {
      LogEvent(kSenderIo, 0, 0, "Disk without partition table: " + disk.GetName(false), 0);
      if (disk.DiskImage) disk.StorageType = stEmptyHardDriveForPartition;
      TPartitionInformation entry;
      entry.Kind = pkWithoutTable;
      entry.Start = 0;
      entry.Count = disk.SectorCount;
      entry.Type = type;
      entry.DetectedType = type;
      if (disk.DevicePath && disk.Address[1] != 0) {
        entry.Kind = pkDirectDisk;
        entry.Name = std::string(1, static_cast<char>(disk.Address[1])) + ":";
        entry.WindowsPath = entry.Name;
      }
      disk.AppendPartition(std::move(entry));
      return;
    }
  }

  if (gpt) ReadGpt(disk);
  ReadMbr(disk);

  services.FindLostVolumes(disk, [&disk](std::uint8_t type, std::int64_t count, std::int64_t start) {
    TPartitionInformation entry;
    entry.Kind = pkMbr;
    entry.Start = start;
    entry.Count = count;
    entry.Type = type;
    entry.DetectedType = type;
    disk.AddPartitionEntry(std::move(entry));
  });

  disk.AddFreeSpaceEntries();
}

}  // namespace vandrel
