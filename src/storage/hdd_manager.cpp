#include "storage/hdd_manager.h"

#include <algorithm>
#include <cerrno>

#include "common/func.h"
#include "common/log.h"
#include "storage/partition_types.h"
#include "platform/clock.h"
#include "platform/disks.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "storage/hard_drive.h"

namespace vandrel {
namespace {

struct SharedTables {
  std::mutex mutex;
  std::vector<platform::SystemVolume> volumes;
  std::vector<std::string> accessFailures;
};

SharedTables& Shared() {
  static SharedTables tables;
  return tables;
}

}  // namespace

THddManager::THddManager() { Name = "Hard Disk Manager"; }

THddManager::~THddManager() {
  ClearDevices();
  std::lock_guard lock(Shared().mutex);
  Shared().volumes.clear();
}

std::vector<platform::SystemVolume> THddManager::SystemVolumes() {
  std::lock_guard lock(Shared().mutex);
  return Shared().volumes;
}

void THddManager::RebuildSystemVolumes() {
  auto volumes = platform::ReadSystemVolumes();
  std::lock_guard lock(Shared().mutex);
  Shared().volumes = std::move(volumes);
}

std::vector<std::string> THddManager::AccessFailures() {
  std::lock_guard lock(Shared().mutex);
  return Shared().accessFailures;
}

void THddManager::NoteAccessFailure(const std::string& path, int error) {
  if (error != EACCES && error != EPERM) return;
  std::lock_guard lock(Shared().mutex);
  auto& list = Shared().accessFailures;
  if (std::find(list.begin(), list.end(), path) == list.end()) list.push_back(path);
}

bool THddManager::Refresh() {
  BeginScan();
  const bool found = Enumerate();
  EndScan();
  return found;
}

bool THddManager::Enumerate() { return ScanDisks(); }

TDevice* THddManager::GetDevice(std::int32_t index) {
  if (index < 0 || index >= DeviceCount()) return nullptr;
  return devices_[static_cast<std::size_t>(index)].Device.get();
}

bool THddManager::ScanDisks() {
  RebuildSystemVolumes();
  {
    std::lock_guard lock(Shared().mutex);
    Shared().accessFailures.clear();
  }
  int added = 0;
  if (FloppyScan) {
    const std::string floppy = platform::FloppyPath();
    StatusText("A:\\");
    if (!floppy.empty() && OpenLetterDevice('A', floppy)) ++added;
  }
  if (!PhysicalScan) return added > 0;
  const std::vector<std::string> disks = platform::ListPhysicalDisks();
  const std::size_t limit = std::min<std::size_t>(disks.size(), 256);
  for (std::size_t n = 0; n < limit; ++n) {
    const std::string& osPath = disks[n];
    platform::BlockFile probe;
    if (!probe.Open(osPath, true, false, false)) {
      NoteAccessFailure(osPath, platform::LastOsError());
      continue;
    }
    const std::int64_t bytes = probe.Size();
    probe.Close();
    if (bytes <= 0) continue;
    const int number = static_cast<int>(n);
    StatusText(Sprintf("Disk %d, Size %s", number, FormatSize(static_cast<std::uint64_t>(bytes)).c_str()));
    auto drive = std::make_unique<THardDrive>(this, "", 0, 0, 0, number, osPath);
    StatusText(Sprintf("%s, Size %s", drive->GetName(false).c_str(),
                       FormatSize(static_cast<std::uint64_t>(drive->Size)).c_str()));
    TBusDeviceRec record;
    record.Address = {number, 0, 0, 0};
    record.Device = std::move(drive);
    record.Rescannable = true;
    AddDevice(std::move(record));
    ++added;
  }
  return added > 0;
}

bool THddManager::OpenLetterDevice(char letter, const std::string& path) {
  const std::int32_t subtype = letter == 'A' ? kSubtypeFloppy : kSubtypeVolumePath;
  auto drive = std::make_unique<THardDrive>(this, path, 0, subtype, letter, kAddressByPath);
  if (!drive->ValidDevice) return false;
  TBusDeviceRec record;
  record.Address = {kAddressByPath, letter, subtype, 0};
  record.Path = path;
  record.Device = std::move(drive);
  record.Rescannable = true;
  AddDevice(std::move(record));
  return true;
}

TStorage* THddManager::OpenSinglePath(const std::string& path) {
  auto drive = std::make_unique<THardDrive>(this, path, 0, 0, 0, kAddressByPath);
  drive->MarkUserAdded();
  for (std::int32_t i = 0; i < drive->PartitionCount(); ++i)
    if (TPartition* partition = drive->GetPartition(i)) partition->MarkUserAdded();
  if (!drive->ValidDevice) return nullptr;
  TStorage* result = drive.get();
  TBusDeviceRec record;
  record.Address = {kAddressByPath, 0, 0, 0};
  record.Path = path;
  record.Device = std::move(drive);
  record.Rescannable = false;
  AddDevice(std::move(record));
  return result;
}

TStorage* THddManager::OpenByPath(const std::string& path) {
  if (path.find(kImageListSeparator) != std::string::npos && path.starts_with(kImageListPrefix)) {
    TStorage* last = nullptr;
    std::size_t begin = 0;
    bool first = true;
    while (begin <= path.size()) {
      std::size_t end = path.find(kImageListSeparator, begin);
      if (end == std::string::npos) end = path.size();
      const std::string line = path.substr(begin, end - begin);
      if (!first && !line.empty())
        if (TStorage* opened = OpenSinglePath(line)) last = opened;
      first = false;
      begin = end + 1;
    }
    return last;
  }
  return OpenSinglePath(path);
}

std::string THddManager::GetVolumeName(TPartition* partition) {
  if (partition == nullptr || partition->Information.Kind == pkUnallocated) return {};
  const std::string typeName = VolumeTypeName(*partition);
  int count = 0;
  for (std::int32_t d = 0; d < DeviceCount(); ++d) {
    TDevice* device = GetDevice(d);
    if (device == nullptr) continue;
    for (std::int32_t p = 0; p < device->PartitionCount(); ++p) {
      TPartition* other = device->GetPartition(p);
      if (other == nullptr || !other->Information.Name.empty() ||
          other->Information.Type != partition->Information.Type || VolumeTypeName(*other) != typeName)
        continue;
      ++count;
      if (other == partition) return Sprintf("%s %s %d", typeName.c_str(), "Volume", count);
    }
  }
  return Sprintf("%s %s", typeName.c_str(), "Volume");
}

}  // namespace vandrel
