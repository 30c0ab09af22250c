#include "volumes/raid/raid_manager.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/func.h"
#include "common/log.h"
#include "storage/volume_services.h"
#include "volumes/raid/raid_detect.h"
#include "storage/hard_drive.h"
#include "storage/hdd_manager.h"

namespace vandrel {

namespace {

constexpr std::size_t kPathField = 260;
// Partition types that may hold a member of a software RAID.
constexpr std::uint8_t kMemberPartitionTypes[] = {0x63, 0x82, 0x83, 0x85, 0xC2, 0xC3, 0xFD};

bool SameMembers(const TRaidInfo& a, const TRaidInfo& b) {
  if (a.Members.size() != b.Members.size()) return false;
  for (std::size_t i = 0; i < a.Members.size(); ++i)
    if (a.Members[i].Disk != b.Members[i].Disk) return false;
  return true;
}

// An image carries no drive serial; a user names each member image after
// its disk's serial, so a file name holding one of the serials the Intel
// metadata lists stands for it.
void TakeSerialFromImageName(THardDrive& drive, const std::vector<std::string>& serials) {
  if (!drive.DiskImage || !drive.Serial.empty()) return;
  const std::string fileName = std::filesystem::path(drive.OsPath()).filename().string();
  std::string best;
  std::string listed;
  for (std::size_t j = 0; j < serials.size(); ++j) {
    const std::string& serial = serials[j];
    listed += (j == 0 ? "" : ", ") + serial;
    if (serial.size() >= 2 && serial.size() > best.size() && Contains(fileName, serial)) best = serial;
  }
  if (best.empty()) {
    // Without a serial the member is never found: say which names would do.
    LogText(Sprintf("Intel: image %s names none of the member serials (%s); name each image after its disk's serial",
                    fileName.c_str(), listed.c_str()));
    return;
  }
  drive.Serial = best;
  LogText(Sprintf("Intel: image %s taken as the disk with serial %s", fileName.c_str(), best.c_str()));
}

// Sector 0 of a storage, opened for the read and closed again.
bool ReadFirstSector(TStorage* storage, std::vector<std::uint8_t>& sector) {
  sector.assign(static_cast<std::size_t>(std::max(storage->SectorSize, 1)), 0);
  if (!storage->Open(true, false, false)) return false;
  const bool ok = storage->ReadSectors(sector.data(), 1, 0);
  storage->Close(false);
  return ok;
}

}  // namespace

TRaidDevice* RaidDeviceOf(TStorage* storage) {
  if (auto* device = dynamic_cast<TRaidDevice*>(storage)) return device;
  if (auto* partition = dynamic_cast<TPartition*>(storage)) return dynamic_cast<TRaidDevice*>(partition->Parent());
  return nullptr;
}

// ------------------------------------------------------------- TRaidDevice

TRaidDevice::TRaidDevice(TBusManager* manager, const std::string& path, const TRaidInfo& info,
                         std::int32_t presentMembers, std::int32_t arrayIndex, std::int32_t addressNumber)
    : TStorageWithPartitions(manager, path, 0, presentMembers, arrayIndex, addressNumber), Info(info) {
  StorageSource = ssRaid;
  StorageType = stHardDrive;
  Construct();
}

TRaidDevice::~TRaidDevice() {
  ReleaseReader();
  Partitions.clear();
  layout_.reset();
}

void TRaidDevice::Construct() {
  SectorSize = Info.SectorSize > 0 ? Info.SectorSize : 512;
  // Sizes come from metadata: one that overflows in bytes is no size.
  SectorCount = Info.SizeInSector > 0 && Info.SizeInSector <= INT64_MAX / SectorSize ? Info.SizeInSector : 0;
  Size = SectorCount * SectorSize;
  ValidDevice = Open(true, false, false);
  if (ValidDevice) {
    // The members may hold less than the metadata claims.
    if (layout_ && layout_->SectorCount < SectorCount) {
      SectorCount = layout_->SectorCount;
      Size = SectorCount * SectorSize;
    }
    EnumerateVolumes();
    Close(false);
  }
  RaidState = ComputeRaidState(Info);
  if (RaidState == rsBroken)
    LogEvent(11, 0, 0, Info.Name + ": RAID is damaged. Recovery is possible, but some data may be lost.", 3);
  else if (RaidState == rsRecoverable)
    LogEvent(11, 0, 0, Info.Name + ": RAID is damaged. Recovery is possible.", 3);
  else
    LogText(Info.Name + ": raid_storage.TRaidDevice.Open: norm!");
}

bool TRaidDevice::Open(bool read, bool write, bool exclusive) {
  ++openCount_;
  if (layout_) {
    LogText("RaidDevice.Open: Storage already open");
    return true;
  }
  try {
    layout_ = CreateRaidStorage(Info);
    if (layout_ && layout_->Open(read, write, exclusive)) return true;
  } catch (...) {
    LogText("RaidDevice.Open: failed");
  }
  // A failed open leaves nothing to close.
  layout_.reset();
  --openCount_;
  return false;
}

bool TRaidDevice::Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) {
  if (!layout_) {
    LogText("RaidDevice.Read: failed, volume not open");
    return false;
  }
  try {
    return layout_->ReadSectors(buffer, count, sector);
  } catch (...) {
    LogText(Sprintf("RaidDevice.Read: failed, offset: %lld, count: %d", static_cast<long long>(sector), count));
    return false;
  }
}

void TRaidDevice::Close(bool releaseReader) {
  try {
    TStorage::Close(releaseReader);
    if (openCount_ <= 0) return;
    --openCount_;
    if (openCount_ == 0 && layout_) {
      // The members' own readers stay: only this device is closing.
      layout_->Close(false);
      layout_.reset();
    }
  } catch (...) {
    LogText("RaidDevice.Close: failed");
  }
}

std::string TRaidDevice::GetName(bool shortName) {
  if (shortName) return Info.Name;
  return Sprintf("%s (%s)", Info.Name.c_str(), RaidTypeName(Info.Type, false).c_str());
}

bool TRaidDevice::UnmountStorage(TStorage* storage) {
  if (storage == this) {
    LogText("raid_storage.TRaidDevice.UnmountStorage: Storage=Self");
    return false;
  }
  for (TRaidMember& member : Info.Members)
    if (member.Disk == storage) member.Disk = nullptr;
  if (layout_) layout_->UnmountStorage(storage);
  return true;
}

// ------------------------------------------------------------- TRaidVolume

TRaidVolume::TRaidVolume(TBusManager* manager, const std::string& path, const TRaidInfo& info,
                         std::int32_t presentMembers, std::int32_t arrayIndex, std::int32_t addressNumber)
    : TRaidDevice(manager, path, info, presentMembers, arrayIndex, addressNumber) {
  StorageSource = ssLdm;
  StorageType = stEmptyHardDriveForPartition;
  std::uint8_t type = 0;
  // Open for the probe and for the partition, which reads its boot sector
  // and label as it is created.
  const bool opened = Open(true, false, false);
  if (opened) type = KindToPartitionType(ProbeVolume(*this));
  FsType = type;
  TPartitionInformation entry;
  entry.Kind = Info.Base == TRaidFamily::Linux ? pkLinuxRaid : pkDynamicDisk;
  entry.Start = 0;
  entry.Count = SectorCount;
  entry.Type = type;
  entry.DetectedType = type;
  volume_ = std::make_unique<TPartition>(this, entry);
  volume_->Metadata = Metadata;
  if (opened) Close(false);
}

TRaidVolume::~TRaidVolume() { volume_.reset(); }

TPartition* TRaidVolume::GetPartition(std::int32_t index) { return index == 0 ? volume_.get() : nullptr; }

std::string TRaidVolume::GetName(bool shortName) {
  const std::string name = TRaidDevice::GetName(shortName);
  // The first partition of the volume's table; a free-space entry's label
  // names the volume itself and would nest its name inside its name.
  const auto first = std::find_if(Partitions.begin(), Partitions.end(),
                                  [](const TPartitionInformation& entry) { return entry.Kind != pkUnallocated; });
  if (Info.Base != TRaidFamily::Linux && first != Partitions.end() && !first->Label.empty())
    return Info.Name + " (" + first->Label + ", " + RaidTypeName(Info.Type, false) + ")";
  return name;
}

// ------------------------------------------------------------ TRaidManager

TRaidManager::TRaidManager(THddManager* disks) : disks_(disks) { Name = "Raid Manager"; }

TRaidManager::~TRaidManager() {
  candidates_.clear();
  ClearDevices();
}

TDevice* TRaidManager::GetDevice(std::int32_t index) {
  if (index < 0 || index >= DeviceCount()) return nullptr;
  return devices_[static_cast<std::size_t>(index)].Device.get();
}

std::string TRaidManager::GetVolumeName(TPartition* partition) {
  if (partition == nullptr || partition->Information.Kind == pkUnallocated) return {};
  return "raid";
}

bool TRaidManager::Refresh() {
  BeginScan();
  const bool found = Enumerate();
  EndScan();
  return found;
}

void TRaidManager::BeginScan() { TBusManager::BeginScan(); }

bool TRaidManager::ScanTail(TStorage* storage, std::vector<std::uint8_t>& tail, THardDrive* drive) {
  if (storage == nullptr || storage->SectorSize <= 0) return false;
  const std::int64_t n = static_cast<std::int64_t>(kRaidTailBytes) / storage->SectorSize;
  if (n <= 0 || storage->SectorCount < n) return false;
  tail.assign(static_cast<std::size_t>(n) * static_cast<std::size_t>(storage->SectorSize), 0);
  if (!storage->Open(true, false, false)) return false;
  bool read = false;
  try {
    read = storage->ReadSectors(tail.data(), static_cast<std::int32_t>(n), storage->SectorCount - n);
  } catch (...) {
    read = false;
  }
  storage->Close(false);
  if (!read) return false;
  if (drive == nullptr) return DetectRaid(tail, storage, candidates_);
  if (const auto serials = IntelMemberSerials(tail, storage)) TakeSerialFromImageName(*drive, *serials);
  return DetectRaid(tail, storage, candidates_, drive->Serial);
}

void NormalizeRaidNames(TRaidInfoArray& candidates) {
  int unnamed = 0;
  try {
    for (TRaidInfo& info : candidates) {
      std::string name;
      bool blank = false;
      for (char c : Trim(info.Name)) {
        if (c == ' ') {
          blank = true;
          continue;
        }
        if (blank && !name.empty()) name.push_back(' ');
        blank = false;
        name.push_back(c);
      }
      if (name.empty()) name = Sprintf("Raid Array %d", ++unnamed);
      info.Name = name;
    }
  } catch (...) {
  }
}

bool TRaidManager::Enumerate() {
  if (disks_ == nullptr) return false;
  StatusText("Detecting Raid Arrays ...");
  candidates_.clear();
  std::vector<std::uint8_t> tail;
  tail.reserve(kRaidTailBytes);
  for (std::int32_t d = 0; d < disks_->DeviceCount(); ++d) {
    TDevice* device = disks_->GetDevice(d);
    if (device == nullptr || device->StorageType == stFloppy) continue;
    if (ScanTail(device, tail, dynamic_cast<THardDrive*>(device))) continue;
    for (std::int32_t p = 0; p < device->PartitionCount(); ++p) {
      TPartition* partition = device->GetPartition(p);
      if (partition == nullptr) continue;
      const std::uint8_t type = partition->Information.Type;
      if (std::find(std::begin(kMemberPartitionTypes), std::end(kMemberPartitionTypes), type) !=
          std::end(kMemberPartitionTypes))
        ScanTail(partition, tail);
    }
  }
  tail.clear();
  tail.shrink_to_fit();
  NormalizeRaidNames(candidates_);

  for (std::size_t i = 0; i < candidates_.size(); ++i)
    RegisterCandidate(static_cast<std::int32_t>(i), candidates_[i], candidates_[i].Base == TRaidFamily::Linux);
  return !devices_.empty();
}

TRaidDevice* TRaidManager::RegisterCandidate(std::int32_t index, const TRaidInfo& candidate, bool volume) {
  const std::int32_t present = PresentMemberCount(candidate);
  TBusDeviceRec record;
  record.Address = {0, index, present, 0};
  record.Path = candidate.Name.substr(0, kPathField);
  record.Rescannable = true;
  // A kept device must still read from the very member storages found now.
  for (std::size_t r = 0; r < devices_.size(); ++r) {
    auto* old = dynamic_cast<TRaidDevice*>(devices_[r].Device.get());
    if (old == nullptr || devices_[r].Address != record.Address || devices_[r].Path != record.Path) continue;
    if (!SameMembers(old->Information(), candidate)) devices_.erase(devices_.begin() + static_cast<std::ptrdiff_t>(r));
    break;
  }
  std::unique_ptr<TRaidDevice> device;
  if (volume)
    device = std::make_unique<TRaidVolume>(this, "", candidate, present, index, 0);
  else
    device = std::make_unique<TRaidDevice>(this, "", candidate, present, index, 0);
  device->Metadata = present == 0;
  record.Device = std::move(device);
  // A device kept from the last scan stays in place of the new one.
  return dynamic_cast<TRaidDevice*>(GetDevice(AddDevice(std::move(record))));
}

void TRaidManager::EndScan() {
  TBusManager::EndScan();
  HideCoveredParts();
}

void TRaidManager::HideCoveredParts() {
  if (disks_ == nullptr) return;
  for (auto& record : devices_) {
    auto* raid = dynamic_cast<TRaidDevice*>(record.Device.get());
    if (raid == nullptr) continue;
    for (const TRaidMember& member : raid->Information().Members) {
      auto* disk = dynamic_cast<THardDrive*>(member.Disk);
      if (disk == nullptr) continue;
      for (TPartitionInformation& entry : disk->Partitions) {
        if (entry.Kind != pkUnallocated) continue;
        entry.Metadata = true;
        if (entry.Partition) entry.Partition->Metadata = true;
      }
    }
  }
  HideDuplicates(disks_);
}

void TRaidManager::HideDuplicates(TBusManager* against) {
  if (against == nullptr) return;
  std::vector<std::uint8_t> mine;
  std::vector<std::uint8_t> theirs;
  for (auto& record : devices_) {
    TDevice* raid = record.Device.get();
    if (raid == nullptr) continue;
    for (std::int32_t p = 0; p < raid->PartitionCount(); ++p) {
      TPartition* ours = raid->GetPartition(p);
      if (ours == nullptr) continue;
      for (std::int32_t d = 0; d < against->DeviceCount(); ++d) {
        TDevice* disk = against->GetDevice(d);
        if (disk == nullptr) continue;
        for (std::int32_t q = 0; q < disk->PartitionCount(); ++q) {
          TPartition* other = disk->GetPartition(q);
          if (other == nullptr || other->Metadata || other->Size != ours->Size ||
              other->SectorSize != ours->SectorSize)
            continue;
          if (!ReadFirstSector(ours, mine) || !ReadFirstSector(other, theirs)) continue;
          other->Metadata = mine == theirs;
          if (auto* owner = dynamic_cast<TStorageWithPartitions*>(disk);
              owner != nullptr && static_cast<std::size_t>(q) < owner->Partitions.size())
            owner->Partitions[static_cast<std::size_t>(q)].Metadata = other->Metadata;
        }
      }
    }
  }
}

}  // namespace vandrel
