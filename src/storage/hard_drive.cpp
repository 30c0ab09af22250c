#include "storage/hard_drive.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/func.h"
#include "common/log.h"
#include "platform/disks.h"
#include "platform/errors.h"
#include "storage/hdd_manager.h"
#include "storage/volume_services.h"

namespace vandrel {

std::string BusTypeName(std::uint8_t code) {
  static const char* const kNames[] = {"Unknown", "Scsi",  "Atapi", "Ata",  "1394", "Ssa", "Fibre", "Usb",
                                       "RAID",    "iScsi", "Sas",   "Sata", "Sd",   "Mmc", "Max"};
  return code < 15 ? kNames[code] : "unknow but type";
}

std::string FilterSerial(const std::string& serial) {
  const std::string trimmed = Trim(serial);
  for (char c : trimmed) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' ||
                         c == '-' || c == '_';
    if (!allowed) return {};
  }
  return trimmed;
}

// -------------------------------------------------------------- TPartition

namespace {

// Long name cut before its first " (" when that comes after the first
// character: "Intel RAID (2 disks)" -> "Intel RAID".
std::string ShortDeviceName(TStorageWithPartitions& device) {
  std::string name = device.GetName(false);
  const auto cut = name.find(" (");
  if (cut != std::string::npos && cut > 0) name.resize(cut);
  return name;
}

}  // namespace

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

  TVolumeServices* services = partition.Services();
  if (services == nullptr) return;
  std::vector<std::uint8_t> sector(static_cast<std::size_t>(std::max(partition.SectorSize, 512)));
  if (partition.SectorCount > 0 && partition.ReadSectors(sector.data(), 1, 0)) {
    const std::uint8_t type = KindToPartitionType(services->ProbeFileSystem(partition));
    info.Type = type;
    info.DetectedType = type;
    partition.FsType = type;
  }
  partition.FsTypeText = services->VersionText(partition, partition.FsType);

  if (info.Label.empty()) info.Label = services->VolumeLabel(partition, info.Type);
}


TPartition::TPartition(TStorageWithPartitions* device, const TPartitionInformation& entry)
    : TVolume(device->Manager), Information(entry.CopyDescription()), parent_(device) {
  SectorSize = device->SectorSize;
  SectorCount = entry.Count;
  Size = entry.Count * SectorSize;
  if (Information.Kind == pkWithoutTable) Information.Type = Information.DetectedType;
  FsType = Information.Type;
  StorageType = Information.Kind == pkFloppy ? stFloppy : stPartition;
  CacheSize = device->CacheSize;
  StorageSource = device->StorageSource;
  Progress = device->Progress;
  Metadata = Information.Metadata;
  Flags = device->Flags & kStorageUserAdded;
  FinishPartitionCreation(*this);
}

TVolumeServices* TPartition::Services() { return parent_ != nullptr ? parent_->Services() : nullptr; }

bool TPartition::Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) {
  return parent_->ReadSectors(buffer, count, Information.Start + sector);
}

bool TPartition::Open(bool read, bool write, bool exclusive) { return parent_->Open(read, write, exclusive); }

void TPartition::Close(bool releaseReader) {
  TStorage::Close(releaseReader);
  parent_->Close(false);
}

void TPartition::Flush() { parent_->Flush(); }

bool TPartition::UnmountStorage(TStorage* storage) {
  if (storage == this) Gone = true;
  return parent_->UnmountStorage(storage);
}

std::string TPartition::GetName(bool shortName) {
  const std::string& label = Information.Label;
  if (!Information.Name.empty()) {
    if (!shortName && !label.empty()) return Information.Name + " (" + label + ")";
    return Information.Name;
  }
  std::string fallback;
  try {
    if (Manager != nullptr) fallback = Manager->GetVolumeName(this);
  } catch (...) {
    fallback.clear();
  }
  if (!label.empty() && !fallback.empty()) return label + " (" + fallback + ")";
  if (!label.empty()) return label;
  return fallback;
}

// -------------------------------------------------------------- THardDrive

THardDrive::THardDrive(TBusManager* manager, const std::string& path, std::int32_t reserved,
                       std::int32_t subtype, std::int32_t letter, std::int32_t number, const std::string& osPath)
    : TStorageWithPartitions(manager, path, reserved, subtype, letter, number),
      driveNumber_(number),
      devicePath_(path),
      osPath_(osPath.empty() ? path : osPath) {
  DiskImage = number == kAddressByPath;
  // The Linux device namespace plays the part of "\\.\" paths.
  DevicePath = path.starts_with("/dev/");
  if (Path.empty()) Path = osPath_;

  ValidDevice = Open(true, false, false);
  if (ValidDevice) {
    DetectSize();
    ValidDevice = SectorCount > 0;
  }
  if (!ValidDevice) {
    if (openCount_ > 0) Close(false);
    return;
  }
  GetDeviceProperties();
  StorageType = stHardDrive;
  if (BusTypeNameText == "Usb") LogText(Sprintf("USB DISK: %s", GetName(false).c_str()));
  if (subtype == kSubtypeFloppy) {
    StorageSource = ssRemovable;
    StorageType = stFloppy;
  } else if (DevicePath) {
    StorageSource = ssPhysical;
  } else if (DiskImage) {
    StorageSource = ssImageFile;
  } else if (Removable) {
    StorageSource = ssRemovable;
  } else {
    StorageSource = ssPhysical;
  }
  if (subtype == kSubtypeFloppy) {
    TPartitionInformation entry;
    entry.Kind = pkFloppy;
    entry.Start = 0;
    entry.Count = SectorCount;
    entry.Type = 1;
    const std::string letterName = std::string(1, static_cast<char>(letter)) + ":";
    entry.Name = letterName;
    entry.WindowsPath = letterName;
    AppendPartition(std::move(entry));
  } else {
    EnumerateVolumes();
  }
  Close(false);
}

THardDrive::~THardDrive() {
  // Readers and partitions read through this drive: they go first.
  ReleaseReader();
  Partitions.clear();
  file_.Close();
}

void THardDrive::DetectSize() {
  const std::int64_t bytes = file_.Size();
  if (bytes <= 0) {
    SectorCount = 0;
    Size = 0;
    return;
  }
  const std::uint32_t logical = file_.LogicalSectorSize();
  if (file_.Kind() == platform::FileKind::kBlockDevice && logical > 0) {
    // Full 64-bit capacity: disks beyond 2^32 sectors are ordinary.
    SectorSize = static_cast<std::int32_t>(logical);
    SectorCount = bytes / SectorSize;
    Size = SectorCount * SectorSize;
  } else {
    SectorSize = 512;
    Size = bytes;
    SectorCount = (bytes + 511) / 512;
  }
}

bool THardDrive::Open(bool read, bool write, bool exclusive) {
  if (openCount_ > 0) {
    ++openCount_;
    return true;
  }
  if (osPath_.empty()) return false;
  if (!file_.Open(osPath_, read, write, exclusive)) {
    const int error = platform::LastOsError();
    if (!platform::IsFileNotFound(error)) LogEvent(kSenderIo, 0, error, osPath_, 0);
    if (!DiskImage) THddManager::NoteAccessFailure(osPath_, error);
    return false;
  }
  if (file_.Kind() == platform::FileKind::kBlockDevice) {
    const std::uint32_t logical = file_.LogicalSectorSize();
    SectorSize = logical > 0 ? static_cast<std::int32_t>(logical) : 512;
  } else {
    SectorSize = 512;
  }
  openCount_ = 1;
  return true;
}

void THardDrive::Close(bool releaseReader) {
  TStorage::Close(releaseReader);
  if (openCount_ == 1) file_.Close();
  if (openCount_ > 0) --openCount_;
}

bool THardDrive::Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) {
  if (sector < 0 || count < 0 || sector > SectorCount || count > SectorCount - sector) {
    if (count > 0) std::memset(buffer, 0, static_cast<std::size_t>(count) * static_cast<std::size_t>(SectorSize));
    platform::SetLastOsError(platform::kErrorSectorNotFound);
    return false;
  }
  const std::uint64_t length = static_cast<std::uint64_t>(count) * static_cast<std::uint64_t>(SectorSize);
  std::uint64_t arrived = 0;
  const std::int64_t got =
      file_.ReadAt(static_cast<std::uint64_t>(sector) * static_cast<std::uint64_t>(SectorSize), buffer, length, &arrived);
  // What did not arrive reads as zeros.
  if (got < 0) {
    std::memset(buffer + arrived, 0, length - arrived);
    return false;
  }
  if (static_cast<std::uint64_t>(got) == length) return true;
  std::memset(buffer + got, 0, length - static_cast<std::uint64_t>(got));
  // The last sector of an image whose size is not a multiple of the sector.
  if (DiskImage && got > 0 && sector + count == SectorCount) return true;
  platform::SetLastOsError(platform::kErrorSectorNotFound);
  return false;
}

std::string THardDrive::GetName(bool /*shortName*/) { return Product; }

void THardDrive::Flush() {
  if (!Open(true, true, false)) return;
  if (file_.Flush()) {
    LogText("Flush is ok!");
  } else {
    LogEvent(kSenderIdeScsi, 0, platform::LastOsError(), "", 0);
  }
  Close(false);
}

bool THardDrive::UnmountStorage(TStorage* storage) {
  if (storage == this) Gone = true;
  return true;
}

bool THardDrive::GetDeviceProperties() {
  if (DiskImage) {
    Product = devicePath_;
    if (Address[2] == kSubtypeVolumePath) Product = std::string("NT_Mapped_File ") + static_cast<char>(Address[1]);
    return true;
  }
  platform::DiskProperties properties;
  if (!platform::QueryDiskProperties(osPath_, properties)) {
    Product = Sprintf("Physical disk %d", driveNumber_);
    return false;
  }
  Vendor = Trim(properties.vendor);
  Product = Trim(properties.product);
  if (Contains(Product, "SAMSUNG")) Vendor = "SAMSUNG";
  if (Vendor.empty()) {
    const auto blank = Product.find(' ');
    if (blank != std::string::npos && blank >= 2) Vendor = Trim(Product.substr(0, blank));
  }
  Revision = Trim(properties.revision);
  Serial = FilterSerial(properties.serial);
  Removable = properties.removable;
  BusType = properties.busType;
  BusTypeNameText = BusTypeName(BusType);
  LogText("");
  LogText(Sprintf("DEVICE %s: %s - %s, REVISION: %s, SERIAL: %s", BusTypeNameText.c_str(), Vendor.c_str(),
                  Product.c_str(), Revision.c_str(), Serial.c_str()));
  return true;
}

}  // namespace vandrel
