// The partition list of a disk: entries merged as the tables and the
// lost-volume search report them, free space, and the names the system
// gives the volumes.
#include <algorithm>
#include <limits>

#include "common/endian.h"
#include "common/func.h"
#include "common/log.h"
#include "storage/bus_manager.h"
#include "storage/hard_drive.h"
#include "storage/hdd_manager.h"
#include "storage/volume_services.h"

namespace vandrel {

namespace {

// Free space shorter than this is alignment padding, not a place for data.
constexpr std::int64_t kSmallFreeSpace = 16384;

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

}  // namespace

TStorageWithPartitions::~TStorageWithPartitions() {
  // Partitions read through this device; they go before it does.
  Partitions.clear();
}

TPartition* TStorageWithPartitions::GetPartition(std::int32_t index) {
  if (index < 0 || index >= PartitionCount()) return nullptr;
  return Partitions[static_cast<std::size_t>(index)].Partition.get();
}

TFileSystemKind ProbeVolume(TStorage& volume) {
  TVolumeServices* services = volume.Services();
  return services != nullptr ? services->ProbeFileSystem(volume) : TFileSystemKind::kNone;
}

void TStorageWithPartitions::EnumerateVolumes() {
  if (TVolumeServices* services = Services()) {
    services->EnumerateVolumes(*this);
  } else {
    LogText("No volume services to list the volumes of " + GetName(false));
  }
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

}  // namespace vandrel
