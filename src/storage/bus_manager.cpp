#include "storage/bus_manager.h"

#include <algorithm>
#include <cstring>

#include "common/func.h"
#include "common/log.h"
#include "platform/errors.h"
#include "storage/hard_drive.h"

namespace vandrel {

const char* StorageSourceName(TStorageSource source) {
  static const char* const kNames[] = {"ssPhysical", "ssRemovable", "ssCD",  "ssFolder", "ssImageFile",
                                       "ssNetwork",  "ssRaid",      "ssLdm", "ssMyComp"};
  return source <= ssMyComp ? kNames[source] : "";
}

const char* StorageTypeName(TStorageType type) {
  static const char* const kNames[] = {"stEmpty", "stHardDrive", "stPartition", "stFloppy", "stCD",
                                       "stEmptyHardDriveForPartition", "stRaidVolume", "stDynamicDisk",
                                       "stContainer"};
  return type <= stContainer ? kNames[type] : "";
}

// ---------------------------------------------------------------- TStorage

TStorage::TStorage(TBusManager* manager) : Manager(manager) {}

TStorage::~TStorage() { ReleaseReader(); }

TVolumeServices* TStorage::Services() { return Manager != nullptr ? Manager->VolumeServices : nullptr; }

void TStorage::Close(bool releaseReader) {
  if (releaseReader) ReleaseReader();
}

void TStorage::ReleaseReader() {
  if (Reader == nullptr) return;
  std::function<void(TStorage&)> release = std::move(OnReleaseReader);
  OnReleaseReader = nullptr;
  if (release) release(*this);
  Reader = nullptr;
}

bool TStorage::UnmountStorage(TStorage* /*storage*/) { return false; }

bool TStorage::ReadSectors(void* buffer, std::int32_t count, std::int64_t sector, TReadPolicy policy) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  const std::size_t bytes =
      count > 0 && SectorSize > 0 ? static_cast<std::size_t>(count) * static_cast<std::size_t>(SectorSize) : 0;
  // Past the end there is nothing to stand in for: that fails either way.
  if (sector < 0 || count <= 0 || sector > SectorCount || count > SectorCount - sector) {
    std::memset(out, 0, bytes);
    platform::SetLastOsError(platform::kErrorSectorNotFound);
    return false;
  }
  if (ReadRange(out, count, sector, true)) return true;
  if (policy == TReadPolicy::Fail) return false;
  // Sector by sector and past the window (whose fill would meet the bad
  // sector again), so that a bad one costs only itself; one that fails again
  // is left as the zeros the failed read put there.
  const auto sectorBytes = static_cast<std::size_t>(SectorSize);
  for (std::int32_t i = 0; i < count; ++i)
    ReadRange(out + static_cast<std::size_t>(i) * sectorBytes, 1, sector + i, false);
  return true;
}

bool TStorage::ReadRange(std::uint8_t* out, std::int32_t count, std::int64_t sector, bool window) {
  const std::size_t bytes = static_cast<std::size_t>(count) * static_cast<std::size_t>(SectorSize);
  const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(count, SectorCount - sector));
  const bool throughWindow = window && CacheEnabled;
  bool cleared = false;
  if (throughWindow || !ReadZeroFills()) {
    std::memset(out, 0, bytes);
    cleared = true;
  }
  if (!throughWindow && ParallelReads()) return Read(out, n, sector);
  std::lock_guard lock(readMutex_);
  // A concrete Read that reaches this storage again from inside the window
  // reads directly.
  if (throughWindow && CacheEnabled && !inWindow_) {
    if (!cleared) std::memset(out, 0, bytes);
    return ReadThroughWindow(out, n, sector);
  }
  return Read(out, n, sector);
}

void TStorage::DropWindow() {
  window_.reset();
  windowLength_ = 0;
  windowStart_ = 0;
}

bool TStorage::ReadThroughWindow(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) {
  if (CacheSize <= 0) CacheSize = SectorSize * kWindowSectors;
  std::int64_t remaining = std::min<std::int64_t>(count, SectorCount - sector);
  if (remaining < 0) return false;

  struct Inside {
    bool& flag;
    ~Inside() { flag = false; }
  } inside{inWindow_};
  inWindow_ = true;

  const std::int32_t sectorsPerWindow = std::max<std::int32_t>(1, CacheSize / SectorSize);
  if (outsideCount_ > 2 * static_cast<std::int64_t>(sectorsPerWindow)) {
    DropWindow();
    outsideCount_ = 0;
  }
  const auto bytes = [this](std::int64_t sectors) { return static_cast<std::size_t>(sectors) * static_cast<std::size_t>(SectorSize); };

  if (!window_) {
    window_ = std::make_unique<std::uint8_t[]>(bytes(sectorsPerWindow));
    windowStart_ = sector;
    windowLength_ = sectorsPerWindow;
    const auto fill = static_cast<std::int32_t>(std::min<std::int64_t>(windowLength_, SectorCount - sector));
    ++windowFills_;
    if (!Read(window_.get(), fill, sector)) {
      DropWindow();
      return false;
    }
  }

  std::int64_t position = sector;
  std::uint8_t* out = buffer;
  if (windowStart_ > position) {
    const std::int64_t k = std::min(windowStart_ - position, remaining);
    if (!Read(out, static_cast<std::int32_t>(k), position)) return false;
    outsideCount_ += k;
    position += k;
    out += bytes(k);
    remaining -= k;
    if (remaining == 0) return true;
  }
  if (position >= windowStart_ && position < windowStart_ + windowLength_) {
    const std::int64_t k = std::min(windowStart_ + windowLength_ - position, remaining);
    std::memcpy(out, window_.get() + bytes(position - windowStart_), bytes(k));
    outsideCount_ = 0;
    position += k;
    out += bytes(k);
    remaining -= k;
    if (remaining == 0) return true;
  }
  while (remaining > 0 && position >= windowStart_ + windowLength_) {
    const std::int64_t m = std::min<std::int64_t>(windowLength_, SectorCount - position);
    ++windowFills_;
    if (m <= 0 || !Read(window_.get(), static_cast<std::int32_t>(m), position)) {
      DropWindow();
      return false;
    }
    outsideCount_ += m;
    windowStart_ = position;
    const std::int64_t k = std::min<std::int64_t>(windowLength_, remaining);
    std::memcpy(out, window_.get(), bytes(k));
    position += k;
    out += bytes(k);
    remaining -= k;
  }
  return true;
}

bool TStorage::ReadBytes(void* buffer, std::uint32_t byteCount, std::int64_t sector, TReadPolicy policy) {
  if (SectorSize <= 0) return false;
  const auto sectorSize = static_cast<std::uint32_t>(SectorSize);
  auto* out = static_cast<std::uint8_t*>(buffer);
  if (byteCount % sectorSize == 0)
    return ReadSectors(out, static_cast<std::int32_t>(byteCount / sectorSize), sector, policy);
  // The scratch sector is one per storage.
  std::lock_guard lock(readMutex_);
  if (!scratch_ || scratchSize_ != SectorSize) {
    scratch_ = std::make_unique<std::uint8_t[]>(sectorSize);
    scratchSize_ = SectorSize;
  }
  if (byteCount < sectorSize) {
    if (!ReadSectors(scratch_.get(), 1, sector, policy)) {
      std::memset(out, 0, byteCount);
      return false;
    }
    std::memcpy(out, scratch_.get(), byteCount);
    return true;
  }
  const std::uint32_t whole = byteCount / sectorSize;
  if (!ReadSectors(out, static_cast<std::int32_t>(whole), sector, policy)) {
    std::memset(out + static_cast<std::size_t>(whole) * sectorSize, 0, byteCount % sectorSize);
    return false;
  }
  const bool ok = ReadSectors(scratch_.get(), 1, sector + whole, policy);
  std::memcpy(out + static_cast<std::size_t>(whole) * sectorSize, scratch_.get(), byteCount % sectorSize);
  return ok;
}

void TStorage::SetCaching(bool enabled) {
  // Not while another thread reads through the window.
  std::lock_guard lock(readMutex_);
  CacheEnabled = enabled;
  if (CacheSize == 0) CacheSize = SectorSize * kWindowSectors;
  if (!enabled) {
    window_.reset();
    windowLength_ = 0;
    windowStart_ = 0;
  }
}

// ----------------------------------------------------------------- TDevice

TDevice::TDevice(TBusManager* manager, std::string path, std::int32_t reserved, std::int32_t subtype,
                 std::int32_t letter, std::int32_t number)
    : TVolume(manager) {
  if (manager != nullptr) Progress = manager->Progress;
  Path = std::move(path);
  Address = {number, letter, subtype, reserved};
}

void TDevice::SetMetadata(bool value) {
  Metadata = value;
  for (std::int32_t i = 0; i < PartitionCount(); ++i)
    if (TPartition* partition = GetPartition(i)) partition->Metadata = value;
}

// ------------------------------------------------------------- TBusManager

TBusManager::TBusManager() = default;

TBusManager::~TBusManager() { ClearDevices(); }

void TBusManager::ClearDevices() { devices_.clear(); }

std::unique_ptr<TDevice> TBusManager::TakeDevice(TDevice* device) {
  for (auto record = devices_.begin(); record != devices_.end(); ++record) {
    if (record->Device.get() != device || device == nullptr) continue;
    std::unique_ptr<TDevice> taken = std::move(record->Device);
    devices_.erase(record);
    return taken;
  }
  return nullptr;
}

bool TBusManager::StatusText(const std::string& text) { return OnStatusText ? OnStatusText(text) : true; }

bool TBusManager::NotifyUnmount(TStorage* storage) {
  for (std::int32_t i = 0; i < DeviceCount(); ++i)
    if (TDevice* device = GetDevice(i)) device->UnmountStorage(storage);
  return true;
}

void TBusManager::BeginScan() {
  Scanning = true;
  for (auto& record : devices_)
    if (record.Rescannable) record.Stale = true;
}

namespace {

bool SameDevice(TDevice* a, TDevice* b) {
  if (a == nullptr || b == nullptr) return true;
  return a->GetName(false) == b->GetName(false) && a->StorageType == b->StorageType &&
         a->StorageSource == b->StorageSource && a->SectorCount == b->SectorCount;
}

}  // namespace

std::int32_t TBusManager::AddDevice(TBusDeviceRec record) {
  if (Scanning) {
    for (std::size_t i = 0; i < devices_.size(); ++i) {
      TBusDeviceRec& existing = devices_[i];
      if (existing.Address != record.Address || existing.Path != record.Path) continue;
      if (SameDevice(existing.Device.get(), record.Device.get())) {
        // Keep the old object: mounted volumes and readers refer to it.
        existing.Stale = false;
        return static_cast<std::int32_t>(i);
      }
      existing.Stale = true;
      break;
    }
  }
  record.Stale = false;
  devices_.push_back(std::move(record));
  return static_cast<std::int32_t>(devices_.size() - 1);
}

void TBusManager::EndScan() {
  Scanning = false;
  for (auto& record : devices_)
    if (record.Device && record.Device->Gone) record.Stale = true;
  std::size_t i = 0;
  while (i < devices_.size()) {
    TBusDeviceRec& record = devices_[i];
    if (!record.Stale) {
      ++i;
      continue;
    }
    if (record.Device) {
      LogText(Sprintf("Device %s with size %lld deleted", record.Device->GetName(false).c_str(),
                      static_cast<long long>(record.Device->Size)));
    } else {
      LogText(Sprintf("Device NULL deleted. Addr %d %d %d %d", record.Address[0], record.Address[1],
                      record.Address[2], record.Address[3]));
    }
    record.Device.reset();
    // The last record takes this place and is examined next.
    if (i + 1 != devices_.size()) record = std::move(devices_.back());
    devices_.pop_back();
  }
}

}  // namespace vandrel
