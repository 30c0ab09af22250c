#include "devices/device_manager.h"

#include "common/func.h"
#include "devices/task_bar_progress.h"
#include "devices/thread_window.h"
#include "devices/volume_services.h"
#include "common/log.h"
#include "common/error_codes.h"
#include "common/user_prompt.h"
#include "platform/errors.h"
#include "volumes/ldm/ldm_manager.h"
#include "volumes/raid/raid_manager.h"
#include "storage/hard_drive.h"
#include "storage/hdd_manager.h"

namespace vandrel {

TDeviceManager::TDeviceManager(ApplicationCallback callback, void* userData, DeviceManagerOptions options)
    : callback_(std::move(callback)), userData_(userData) {
  auto disks = std::make_unique<THddManager>();
  disks->FloppyScan = options.scanPhysical;
  disks->PhysicalScan = options.scanPhysical;
  THddManager* diskManager = disks.get();
  Install(kSlotDisks, std::move(disks));
  auto raid = std::make_unique<TRaidManager>(diskManager);
  TRaidManager* raidManager = raid.get();
  Install(kSlotRaid, std::move(raid));
  Install(kSlotLdm, std::make_unique<TLdmManager>(diskManager, raidManager));
  LogText("DISK_RECOVERY_PROGRESS_TIME: " + std::to_string(300));
}

TDeviceManager::~TDeviceManager() {
  // Arrays and dynamic volumes read through the disks of the lower slots
  // (a reader left open closes its storage as it goes): the upper slots go first.
  for (auto manager = managers_.rbegin(); manager != managers_.rend(); ++manager) manager->reset();
  // Volumes this manager does not hold keep living: they forget the readers.
  std::map<TStorage*, std::unique_ptr<FileSystem>> left;
  {
    std::lock_guard lock(readersMutex_);
    left.swap(readers_);
  }
  for (auto& [volume, reader] : left) {
    volume->Reader = nullptr;
    volume->OnReleaseReader = nullptr;
    reader.reset();
  }
}

void TDeviceManager::AttachReader(TStorage* volume, std::unique_ptr<FileSystem> reader) {
  if (volume == nullptr) return;
  if (volume->Reader != nullptr) DropReader(*volume);
  FileSystem* attached = reader.get();
  {
    std::lock_guard lock(readersMutex_);
    readers_[volume] = std::move(reader);
  }
  volume->Reader = attached;
  volume->OnReleaseReader = [this](TStorage& gone) { DropReader(gone); };
}

void TDeviceManager::DropReader(TStorage& volume) {
  std::unique_ptr<FileSystem> reader;
  {
    std::lock_guard lock(readersMutex_);
    auto found = readers_.find(&volume);
    if (found == readers_.end()) return;
    reader = std::move(found->second);
    readers_.erase(found);
  }
  // As a reset of an owning pointer would: the volume forgets it first.
  volume.Reader = nullptr;
  reader.reset();
}

void TDeviceManager::Install(int slot, std::unique_ptr<TBusManager> manager) {
  manager->Progress = [this](int percent, const std::string& text) { return ProgressRelay(percent, text); };
  manager->SetOnStatusText([this](const std::string& text) { return StatusRelay(text); });
  manager->VolumeServices = &DeviceVolumeServices();
  managers_[static_cast<std::size_t>(slot)] = std::move(manager);
}

TBusManager* TDeviceManager::Manager(int slot) const {
  if (slot < 0 || slot >= kSlotCount) return nullptr;
  return managers_[static_cast<std::size_t>(slot)].get();
}

THddManager* TDeviceManager::Disks() const { return static_cast<THddManager*>(Manager(kSlotDisks)); }

std::int32_t TDeviceManager::RefreshManager(TBusManager* manager) {
  if (manager != nullptr && manager->Refresh()) return manager->DeviceCount();
  return 0;
}

void TDeviceManager::RefreshAll() {
  for (auto& manager : managers_) RefreshManager(manager.get());
}

void TDeviceManager::ScanWithProgress(void* owner) {
  if (scanning_) return;
  scanning_ = true;
  TDeviceEnumWindow window("Searching disks available for scan", owner);
  scanWindow_ = &window;
  TTaskBarProgress* taskBar = MainTaskBarProgress();
  if (taskBar != nullptr) taskBar->SetBusy();
  auto finish = [&] {
    if (taskBar != nullptr) taskBar->Reset();
    {
      std::lock_guard<std::recursive_mutex> guard(lock_);
      scanWindow_ = nullptr;
    }
    window.Close();
    scanning_ = false;
  };
  try {
    RefreshAll();
  } catch (...) {
    finish();
    throw;
  }
  finish();
}

std::int32_t TDeviceManager::StorageCount() {
  std::int32_t total = 0;
  for (auto& manager : managers_)
    if (manager) total += manager->DeviceCount();
  return total;
}

TStorage* TDeviceManager::GetStorage(std::int32_t index) {
  if (index < 0) return nullptr;
  for (auto& manager : managers_) {
    if (!manager) continue;
    const std::int32_t count = manager->DeviceCount();
    if (index < count) return manager->GetDevice(index);
    index -= count;
  }
  return nullptr;
}

std::int32_t TDeviceManager::IndexOf(const TStorage* storage) {
  const std::int32_t count = StorageCount();
  for (std::int32_t i = 0; i < count; ++i)
    if (GetStorage(i) == storage) return i;
  return -1;
}

TStorage* TDeviceManager::AddByPath(const std::string& path, std::int32_t slot) {
  std::string target = path;
  if (slot < 0) slot = kSlotDisks;
  if (target.starts_with("@@")) {
    target.erase(0, 2);
    slot = kSlotExtra;
  }
  TBusManager* manager = Manager(slot);
  if (manager == nullptr) return nullptr;
  TStorage* storage = manager->OpenByPath(target);
  if (storage == nullptr) return nullptr;
  storage->MarkUserAdded();
  if (auto* device = dynamic_cast<TDevice*>(storage)) {
    for (std::int32_t i = 0; i < device->PartitionCount(); ++i)
      if (TPartition* partition = device->GetPartition(i)) partition->MarkUserAdded();
  }
  return storage;
}

std::string TDeviceManager::DisplayName(TStorage* volume, bool shortName) {
  return volume == nullptr ? std::string("\\") : volume->GetName(shortName);
}

std::string TDeviceManager::SizeText(const TStorage* volume) {
  if (volume == nullptr || volume->Size == 0) return "(empty)";
  return FormatSize(static_cast<std::uint64_t>(volume->Size));
}

TStorage* TDeviceManager::HoldingDevice(TStorage* storage) {
  TStorage* top = storage;
  // Partitions of partitions (extended tables) are few levels deep.
  for (int up = 0; up < 16; ++up) {
    auto* partition = dynamic_cast<TPartition*>(top);
    if (partition == nullptr || partition->Parent() == nullptr) break;
    top = partition->Parent();
  }
  return top;
}

bool TDeviceManager::ReadsFrom(TStorage* storage, const TStorage* image) {
  // Arrays of arrays are few levels deep; the bound only stops a cycle.
  std::vector<std::pair<TStorage*, int>> pending{{storage, 0}};
  while (!pending.empty()) {
    auto [next, depth] = pending.back();
    pending.pop_back();
    TStorage* top = HoldingDevice(next);
    if (top == nullptr) continue;
    if (top == image) return true;
    if (auto* raid = dynamic_cast<TRaidDevice*>(top); raid != nullptr && depth < 8)
      for (const TRaidMember& member : raid->Information().Members)
        if (member.Disk != nullptr) pending.emplace_back(member.Disk, depth + 1);
  }
  return false;
}

TStorage* TDeviceManager::AddedImageOf(TStorage* storage) const {
  TStorage* top = HoldingDevice(storage);
  if (top == nullptr || !top->UserAdded()) return nullptr;
  return top->Manager == Manager(kSlotDisks) || top->Manager == Manager(kSlotExtra) ? top : nullptr;
}

bool TDeviceManager::RemoveImage(TStorage* image) {
  auto* device = dynamic_cast<TDevice*>(image);
  if (device == nullptr || !device->UserAdded()) return false;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::lock_guard files(fileLock_);
  // Upper slots first: their devices read through the lower ones, so they
  // go before what they read from.
  std::vector<std::unique_ptr<TDevice>> gone;
  bool found = false;
  for (int slot = kSlotCount - 1; slot >= 0; --slot) {
    TBusManager* manager = Manager(slot);
    if (manager == nullptr) continue;
    for (std::int32_t i = manager->DeviceCount() - 1; i >= 0; --i) {
      TDevice* candidate = manager->GetDevice(i);
      if (candidate == nullptr || !ReadsFrom(candidate, image)) continue;
      found = found || candidate == image;
      gone.push_back(manager->TakeDevice(candidate));
    }
  }
  for (auto& taken : gone) taken.reset();
  // The other members of a removed array are listed by themselves again.
  RefreshManager(Manager(kSlotRaid));
  RefreshManager(Manager(kSlotLdm));
  return found;
}

bool TDeviceManager::CreateReader(TStorage* volume, bool replace, TReaderChoice choice) {
  if (volume == nullptr) return false;
  if (volume->Reader != nullptr) {
    if (!replace) return true;
    volume->Close(true);
  }
  volume->Flush();
  if (!volume->Open(true, false, false)) {
    LogText("Can't open storage: " + volume->GetName(false));
    return false;
  }
  if (volume->StorageSource == ssRaid || volume->StorageSource == ssLdm) {
    if (TRaidDevice* raid = RaidDeviceOf(volume)) {
      if (raid->RaidState == rsBroken)
        CurrentPrompt().Show(PromptKind::kWarning, "Warning",
                             raid->GetName(false) + ": RAID is damaged. Recovery is possible, but some data may be lost.");
      else if (raid->RaidState == rsRecoverable)
        CurrentPrompt().Show(PromptKind::kWarning, "Warning", raid->GetName(false) + ": RAID is damaged. Recovery is possible.");
    }
  }
  if (!volume->Progress)
    volume->Progress = [this](int percent, const std::string& text) { return ProgressRelay(percent, text); };
  try {
    std::unique_ptr<FileSystem> reader = MakeReader(*volume, choice);
    if (!reader) {
      volume->Close(false);
      return false;
    }
    // A reader that could not open its volume stays attached and lists
    // nothing: the volume keeps its row and says so when browsed.
    if (!reader->Open()) LogText("No usable file system on " + volume->GetName(false));
    reader->SetProgressCallback([this](int percent, const std::string& text) { return ProgressRelay(percent, text); });
    reader->Prepare();
    AttachReader(volume, std::move(reader));
    return true;
  } catch (const std::exception& e) {
    LogEvent(kSenderIo, kErrException, 0, e.what(), 3);
    return false;
  } catch (...) {
    return false;
  }
}

int TDeviceManager::ProgressRelay(int percent, const std::string& text) {
  return callback_ ? callback_(userData_, percent, text) : 0;
}

bool TDeviceManager::StatusRelay(const std::string& text) {
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (scanWindow_ != nullptr) scanWindow_->StatusText(text);
  }
  if (statusSink_) statusSink_(text);
  return true;
}

FsHandle TDeviceManager::FindFirstFile(TStorage* storage, std::string_view path, TFileEntry& entry) {
  if (storage == nullptr || storage->Reader == nullptr) return kNoHandle;
  FileSystem* reader = storage->Reader;
  const FsHandle handle = reader->FindFirstByPath(path, entry);
  entry.Storage = storage;
  entry.Fs = reader;
  if (handle == kNoHandle) return kNoHandle;
  auto record = std::make_unique<FindRecord>();
  record->reader = reader;
  record->handle = handle;
  return finds_.Add(std::move(record));
}

bool TDeviceManager::FindNextFile(FsHandle handle, TFileEntry& entry) {
  if (handle == kNoHandle) return false;
  FindRecord* record = finds_.Get(handle);
  if (record == nullptr || record->reader == nullptr) return false;
  try {
    const bool found = record->reader->FindNext(record->handle, entry);
    entry.Storage = record->reader->Storage();
    entry.Fs = record->reader;
    return found;
  } catch (const std::exception& e) {
    LogEvent(kSenderCdfs, kErrException, platform::LastOsError(), std::string("TSalvage.FindNext ") + e.what(), 3);
    return false;
  }
}

void TDeviceManager::FindCloseFile(FsHandle handle) {
  if (handle == kNoHandle) return;
  FindRecord* record = finds_.Get(handle);
  if (record == nullptr) return;
  if (record->reader != nullptr) record->reader->FindClose(record->handle);
  finds_.Remove(handle);
}

FsHandle TDeviceManager::OpenEntry(const TFileEntry& entry) {
  std::lock_guard lock(fileLock_);
  if (entry.Storage == nullptr || !entry.Storage->Reader) return kNoHandle;
  FileSystem* reader = entry.Storage->Reader;
  const FsHandle handle = reader->OpenFile(entry);
  if (handle == 0 || handle == kNoHandle) return kNoHandle;
  auto record = std::make_unique<FileRecord>();
  record->reader = reader;
  record->handle = handle;
  return files_.Add(std::move(record));
}

FsHandle TDeviceManager::OpenEntryStream(const TFileEntry& entry, const TStreamId& stream) {
  std::lock_guard lock(fileLock_);
  if (entry.Storage == nullptr || !entry.Storage->Reader || entry.Fs == nullptr) return kNoHandle;
  if (entry.Fs->GetKind() != TFileSystemKind::kNtfs) return kNoHandle;
  FileSystem* reader = entry.Storage->Reader;
  const FsHandle handle = reader->OpenStream(entry, stream);
  if (handle == 0 || handle == kNoHandle) return kNoHandle;
  auto record = std::make_unique<FileRecord>();
  record->reader = reader;
  record->handle = handle;
  return files_.Add(std::move(record));
}

std::int32_t TDeviceManager::ReadEntryAt(FsHandle file, std::int64_t offset, void* buffer, std::int32_t count) {
  std::shared_lock lock(fileLock_);
  FileRecord* record = file == kNoHandle ? nullptr : files_.Get(file);
  if (record == nullptr) return 0;
  return record->reader->ReadAt(record->handle, offset, buffer, count);
}

std::int64_t TDeviceManager::EntrySize(FsHandle file) {
  FileRecord* record = file == kNoHandle ? nullptr : files_.Get(file);
  if (record == nullptr) return 0;
  return record->reader->GetFileSize(record->handle);
}

TDamage TDeviceManager::EntryDamage(FsHandle file) {
  FileRecord* record = file == kNoHandle ? nullptr : files_.Get(file);
  return record == nullptr ? TDamage::None : record->reader->ReadDamage(record->handle);
}

bool TDeviceManager::CloseEntry(FsHandle file) {
  FileRecord* record = file == kNoHandle ? nullptr : files_.Get(file);
  if (record == nullptr) return false;
  try {
    FsHandle handle = record->handle;
    const bool closed = record->reader->CloseFile(handle);
    files_.Remove(file);
    return closed;
  } catch (...) {
    files_.Remove(file);
    return false;
  }
}

}  // namespace vandrel
