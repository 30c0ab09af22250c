#include "mount/mount2_system.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <exception>

#include "common/func.h"
#include "common/log.h"
#include "devices/device_manager.h"
#include "platform/settings.h"
#include "devices/block_file_stream.h"

namespace vandrel {
namespace {

constexpr std::uint32_t kVolumeId = 0x12345678;
constexpr std::uint32_t kStorageAttributes = 0x81;     // read-only and normal
constexpr std::uint32_t kFileSystemAttributes = 0x11;  // directory and read-only
// Bits of a reader's entry the volume does not show: hidden, system, and
// the reader's own marks above the Windows attributes.
constexpr std::uint32_t kHiddenBits = 0x2 | 0x4 | 0x8000 | 0x10000 | 0x20000 | 0x40000;
constexpr std::string_view kStoragePath = "/Storage";
constexpr std::string_view kFileSystemPath = "/FileSystem";
constexpr std::string_view kRecoveredFiles = "Recovered files";
// 10000-01-01: beyond it a time has no date-time form.
constexpr std::int64_t kLastValidUnixSecond = 253402300800LL;

// An open file of a volume: the stream that serves it. The kernel reads one
// file on several threads at once; the stream's reads are positional.
struct TMountFile {
  explicit TMountFile(std::unique_ptr<TStream> s) : stream(std::move(s)) {}
  std::unique_ptr<TStream> stream;
};

struct ModuleState {
  std::mutex mutex;
  std::string settingsFile;
  std::string architectureTag;
  TDriverVersion driverVersion;
};

ModuleState& Module() {
  static ModuleState state;
  return state;
}

std::uint64_t NowFileTime() { return UnixToFileTime(static_cast<std::int64_t>(std::time(nullptr))); }

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The reader path of a volume path below "/FileSystem": "" for the folder
// itself. Only the folder and what lies below it count; "/FileSystemX"
// is another name.
bool ReaderPathOf(std::string_view name, std::string& readerPath) {
  if (name.substr(0, kFileSystemPath.size()) != kFileSystemPath) return false;
  if (name.size() != kFileSystemPath.size() && name[kFileSystemPath.size()] != kPathDelimiter) return false;
  readerPath.assign(name.substr(kFileSystemPath.size()));
  return true;
}

std::int64_t RoundUp512(std::int64_t size) {
  if (size <= 0) return 0;
  if (size > INT64_MAX - 511) return size;
  return (size + 511) / 512 * 512;
}

// A time that has no valid date-time form becomes the current time.
std::uint64_t ValidTime(std::uint64_t fileTime) {
  return fileTime >= UnixToFileTime(kLastValidUnixSecond) ? NowFileTime() : fileTime;
}

}  // namespace

// ------------------------------------------------------------- driver state

void MountUnitStartup(const std::string& settingsFile) {
  ModuleState& m = Module();
  std::lock_guard lock(m.mutex);
  m.settingsFile = settingsFile;
  m.architectureTag = Lower(platform::TIniFile(settingsFile).ReadString("main", "windows_type", ""));
  ProgramReadLock();
}

void MountUnitShutdown() {
  ModuleState& m = Module();
  std::lock_guard lock(m.mutex);
  if (!m.architectureTag.empty() && !m.settingsFile.empty())
    platform::TIniFile(m.settingsFile).WriteString("main", "windows_type", m.architectureTag);
}

const std::string& MountSettingsFile() {
  ModuleState& m = Module();
  std::lock_guard lock(m.mutex);
  if (m.settingsFile.empty()) m.settingsFile = platform::SettingsFilePath();
  return m.settingsFile;
}

std::string ArchitectureTag() {
  ModuleState& m = Module();
  std::lock_guard lock(m.mutex);
  return m.architectureTag;
}

void SetArchitectureTag(const std::string& tag) {
  ModuleState& m = Module();
  std::lock_guard lock(m.mutex);
  m.architectureTag = tag;
}

ReadWriteLock& ProgramReadLock() {
  static ReadWriteLock lock;
  return lock;
}

TDriverVersion SharedDriverVersion() {
  ModuleState& m = Module();
  std::lock_guard lock(m.mutex);
  return m.driverVersion;
}

namespace {

void StoreDriverVersion(TDriverVersion version) {
  ModuleState& m = Module();
  std::lock_guard lock(m.mutex);
  m.driverVersion = version;
}

}  // namespace

TDriverVersion QueryDriverVersion() {
  bool installed = false;
  TDriverVersion version;
  TCallbackFileSystem::QueryDriverState(kProductId, installed, version.High, version.Low);
  if (!installed) version = TDriverVersion{};
  StoreDriverVersion(version);
  LogText(Sprintf("Mount2System.Driver install: %d, version: %d.%d.%d.%d", installed ? 1 : 0,
                  static_cast<int>(version.High >> 16), static_cast<int>(version.High & 0xFFFF),
                  static_cast<int>(version.Low >> 16), static_cast<int>(version.Low & 0xFFFF)));
  return version;
}

bool DriverStatusText(std::string& text) {
  const TDriverVersion version = QueryDriverVersion();
  if (version.High == 0 && version.Low == 0) {
    text = "Driver not installed";
    return false;
  }
  text = Sprintf("Driver (ver %d.%d.%d.%d) installed\r\n", static_cast<int>(version.High >> 16),
                 static_cast<int>(version.High & 0xFFFF), static_cast<int>(version.Low >> 16),
                 static_cast<int>(version.Low & 0xFFFF)) +
         ArchitectureTag();
  return true;
}

bool InstallDriverFile(bool& restartNeeded, std::string& errorText) {
  restartNeeded = false;
  errorText.clear();
  if (ArchitectureTag().empty()) SetArchitectureTag(ProbeArchitecture());
  const std::string path = TCallbackFileSystem::DriverFileName(ArchitectureTag());
  LogText("Try load driver: " + path);
  if (!TCallbackFileSystem::DriverFilePresent(path)) {
    errorText = path + " not found. Reinstall the product";
    LogText("Driver: " + errorText);
    return false;
  }
  try {
    TCallbackFileSystem::InstallDriver(path, kProductId, restartNeeded);
    return true;
  } catch (const std::exception& e) {
    errorText = e.what();
    LogText(std::string("Install driver: ") + e.what());
    return false;
  }
}

bool UninstallDriverFile(bool& restartNeeded, std::string& errorText) {
  restartNeeded = false;
  errorText.clear();
  try {
    TCallbackFileSystem::UninstallDriver(kProductId, restartNeeded);
    return true;
  } catch (const std::exception& e) {
    errorText = e.what();
    return false;
  }
}

std::string ProbeArchitecture() {
#if defined(__x86_64__) || defined(_M_X64)
  return "x64";
#elif defined(__i386__) || defined(_M_IX86)
  return "x32";
#elif defined(__ia64__)
  return "ia64";
#elif defined(__aarch64__)
  return "arm64";
#elif defined(__arm__)
  return "arm";
#elif defined(__riscv) && __riscv_xlen == 64
  return "riscv64";
#else
  return "x32";
#endif
}

// ------------------------------------------------------------ TMount2System

TMount2System::TMount2System(TDeviceManager* devices)
    : component_(std::make_unique<TCallbackFileSystem>()), devices_(devices) {
  TCallbackFileSystem& c = *component_;
  c.OnGetVolumeSize = [this](std::int64_t& total, std::int64_t& available, std::uint32_t& sectorsPerUnit,
                             std::uint32_t& bytesPerSector) {
    GetVolumeSize(total, available, sectorsPerUnit, bytesPerSector);
  };
  c.OnGetVolumeLabel = [this](std::string& label) { GetVolumeLabel(label); };
  c.OnEnumerateDirectory = [this](const TCbFsFileInfo& directory, void*& context, const std::string& mask, int index,
                                  bool restart, bool& found, TCbFsEntryInfo& info) {
    EnumerateDirectory(directory, context, mask, index, restart, found, info);
  };
  c.OnGetFileInfo = [this](const std::string& name, bool& exists, TCbFsEntryInfo& info) {
    GetFileInfo(name, exists, info);
  };
  c.OnOpenFile = [this](const std::string& name, std::uint32_t access, std::uint32_t share, void*& context) {
    OpenFile(name, access, share, context);
  };
  c.OnReadFile = [this](const TCbFsFileInfo& file, void* context, std::int64_t position, void* buffer,
                        std::int32_t count, std::int32_t& done) {
    ReadFile(file, context, position, buffer, count, done);
  };
  c.OnCloseEnumeration = [this](const TCbFsFileInfo& directory, void* context) {
    CloseEnumeration(directory, context);
  };
  c.OnCloseFile = [this](const TCbFsFileInfo& file, void* context) { CloseFile(file, context); };
  // The fixed answers of a read-only volume.
  c.OnMount = [] {};
  c.OnUnmount = [] {};
  c.OnOpenVolume = [] {};
  c.OnCloseVolume = [] {};
  c.OnGetVolumeId = [](std::uint32_t& id) { id = kVolumeId; };
  c.OnWriteFile = [](const TCbFsFileInfo&, void*, std::int64_t, const void*, std::int32_t, std::int32_t& written) {
    written = 0;
  };
  c.OnCanFileBeDeleted = [](const TCbFsFileInfo&, bool& canBeDeleted) { canBeDeleted = false; };
}

TMount2System::~TMount2System() = default;

void TMount2System::EnumerateDirectory(const TCbFsFileInfo&, void*&, const std::string&, int, bool, bool&,
                                       TCbFsEntryInfo&) {}
void TMount2System::GetFileInfo(const std::string&, bool&, TCbFsEntryInfo&) {}
void TMount2System::OpenFile(const std::string&, std::uint32_t, std::uint32_t, void*&) {}

bool TMount2System::Init(const std::string& mountPoint, std::string& errorText) {
  mountTime_ = NowFileTime();
  mountPoint_ = mountPoint;
  LogText(Sprintf("Mount2System.Init(%s): StartInit", mountPoint.c_str()));
  bool restartNeeded = false;
  bool result = false;
  try {
    bool installed = false;
    TDriverVersion version;
    TCallbackFileSystem::QueryDriverState(kProductId, installed, version.High, version.Low);
    StoreDriverVersion(version);
    LogText(Sprintf("Mount2System.Driver version: %d.%d.%d.%d", static_cast<int>(version.High >> 16),
                    static_cast<int>(version.High & 0xFFFF), static_cast<int>(version.Low >> 16),
                    static_cast<int>(version.Low & 0xFFFF)));
    if (!installed) {
      LogText("Mount2System.Init: Driver not installed");
      std::string installError;
      if (!InstallDriverFile(restartNeeded, installError)) LogText("Mount2System.Init: Driver not installing");
    }
    component_->SetSettingsFile(MountSettingsFile());
    LogText("Mount2System.Init: CreateStorage start");
    component_->CreateStorage();
    LogText("Mount2System.Init: end CreateStorage, MountMedia start");
    component_->MountMedia(5000);
    LogText("Mount2System.Init: end MountMedia, AddMountingPoint start");
    component_->AddMountingPoint(mountPoint);
    LogText("Mount2System.Init: end AddMountingPoint");
    result = true;
  } catch (const std::exception& e) {
    LogText(std::string("Mount2System.Init: Error: ") + e.what());
    errorText = e.what();
  }
  LogText(Sprintf("Mount2System.Init: EndInit, Reboot: %d", restartNeeded ? 1 : 0));
  return result;
}

bool TMount2System::Finish() {
  LogText("Mount2System.Finish(): Start");
  bool result = false;
  try {
    LogText("Mount2System.Finish: DeleteMountingPoint start");
    if (component_->MediaMounted()) {
      while (component_->CountMountingPoints() > 0) component_->DeleteMountingPoint(component_->CountMountingPoints() - 1);
    }
    LogText("Mount2System.Finish: end DeleteMountingPoint, UnmountMedia start");
    if (component_->MediaMounted()) component_->UnmountMedia(true);
    LogText("Mount2System.Finish: end UnmountMedia, DeleteStorage start");
    if (component_->HasStorage()) component_->DeleteStorage(true);
    LogText("Mount2System.Finish: end DeleteStorage");
    result = true;
  } catch (const std::exception& e) {
    LogText(std::string("Mount2System.Finish(), Error: ") + e.what());
  }
  LogText("Mount2System.Finish(): End");
  return result;
}

std::string TMount2System::MountFolder() const {
  return component_ && component_->CountMountingPoints() > 0 ? component_->MountingPointFolder(0) : std::string();
}

bool TMount2System::Mounted() const { return component_ && component_->MediaMounted() && component_->Serving(); }

void TMount2System::ReadFile(const TCbFsFileInfo&, void* fileHandleContext, std::int64_t position, void* buffer,
                             std::int32_t bytesToRead, std::int32_t& bytesRead) {
  bytesRead = 0;
  auto* file = static_cast<TMountFile*>(fileHandleContext);
  if (file == nullptr || !file->stream || bytesToRead <= 0) return;
  bool failed = false;
  {
    // Positional: FUSE's workers read one open file at once, each at its own offset.
    std::shared_lock shared(ProgramReadLock());
    bytesRead = static_cast<std::int32_t>(file->stream->ReadAt(position, buffer, bytesToRead, &failed));
  }
  // Zeros standing in for unreadable data must not pass for the file's
  // content: the reading program gets an I/O error instead.
  if (failed) throw ECbFsError("read failed", 5 /* EIO */);
}

void TMount2System::CloseEnumeration(const TCbFsFileInfo&, void* enumerationContext) {
  std::unique_ptr<TMountEnumContext> context(static_cast<TMountEnumContext*>(enumerationContext));
}

void TMount2System::CloseFile(const TCbFsFileInfo&, void* fileHandleContext) {
  std::lock_guard lock(ProgramReadLock());
  std::unique_ptr<TMountFile> file(static_cast<TMountFile*>(fileHandleContext));
}

// ----------------------------------------------------- TMountStorage2System

TMountStorage2System::TMountStorage2System(TStorage* storage, TDeviceManager* devices)
    : TMount2System(devices), storage_(storage) {}

TMountStorage2System::~TMountStorage2System() {
  // The session ends first: its threads may still read through the storage.
  ReleaseComponent();
  if (storage_ != nullptr) {
    std::lock_guard lock(ProgramReadLock());
    storage_->SetCaching(true);
  }
}

void TMountStorage2System::GetVolumeSize(std::int64_t& totalAllocationUnits, std::int64_t& availableAllocationUnits,
                                         std::uint32_t& sectorsPerAllocationUnit, std::uint32_t& bytesPerSector) {
  sectorsPerAllocationUnit = 1;
  bytesPerSector = static_cast<std::uint32_t>(storage_->SectorSize);
  availableAllocationUnits = storage_->SectorCount;
  totalAllocationUnits = storage_->SectorCount > INT64_MAX / 2 ? INT64_MAX : 2 * storage_->SectorCount;
}

void TMountStorage2System::GetVolumeLabel(std::string& label) { label = "Tarnwick_" + storage_->GetName(true); }

void TMountStorage2System::RootItemInfo(bool fileSystem, TCbFsEntryInfo& info) const {
  info.CreationTime = info.LastAccessTime = info.LastWriteTime = mountTime_;
  info.FileId = 0;
  if (fileSystem) {
    info.Name = std::string(kFileSystemPath.substr(1));
    info.FileAttributes = kFileSystemAttributes;
    info.EndOfFile = info.AllocationSize = 0;
  } else {
    info.Name = std::string(kStoragePath.substr(1));
    info.FileAttributes = kStorageAttributes;
    info.EndOfFile = info.AllocationSize = storage_->Size;
  }
}

void TMountStorage2System::EntryInfo(const TFileEntry& entry, TCbFsEntryInfo& info) {
  info.Name = entry.Name;
  info.FileAttributes = entry.Attributes & ~kHiddenBits;
  info.EndOfFile = entry.IsDirectory() ? 0 : std::max<std::int64_t>(0, entry.Size);
  info.AllocationSize = RoundUp512(info.EndOfFile);
  info.CreationTime = ValidTime(entry.CreationTime);
  info.LastAccessTime = ValidTime(entry.LastAccessTime);
  info.LastWriteTime = ValidTime(entry.LastWriteTime);
  if (FileSystem* owner = entry.Fs != nullptr ? entry.Fs : storage_->GetReader(); owner != nullptr) {
    if ((entry.Attributes & kAttrSymlink) != 0 && !owner->ReadLinkTarget(entry, info.LinkTarget)) info.LinkTarget.clear();
    TSpecialInfo special;
    if ((entry.Attributes & kAttrSpecial) != 0 && owner->ReadSpecialInfo(entry, special)) {
      info.SpecialKind = static_cast<std::uint8_t>(special.Kind);
      info.DeviceMajor = special.Major;
      info.DeviceMinor = special.Minor;
    }
  }
  // NTFS record numbers name files for good (hard links share one), so the
  // system sees a junction's listing as the folder it shows and a walk
  // through the mount can tell it was there before. Other readers' ids are
  // not unique (a FAT file's first cluster).
  FileSystem* reader = entry.Fs != nullptr ? entry.Fs : storage_->GetReader();
  const bool stableIds = reader != nullptr && reader->GetKind() == TFileSystemKind::kNtfs;
  info.FileId = stableIds && entry.ObjectId > 0 ? entry.ObjectId : 0;
}

void TMountStorage2System::EnumerateDirectory(const TCbFsFileInfo& directoryInfo, void*& enumerationContext,
                                              const std::string& /*mask*/, int /*index*/, bool /*restart*/,
                                              bool& fileFound, TCbFsEntryInfo& info) {
  fileFound = false;
  const std::string& d = directoryInfo.FileName;
  if (enumerationContext == nullptr) {
    auto context = std::make_unique<TMountEnumContext>();
    context->Kind = d == "/" ? 0 : 1;
    enumerationContext = context.release();
  }
  auto* context = static_cast<TMountEnumContext*>(enumerationContext);
  if (context->Kind == 0) {
    if (context->Position == 0) {
      RootItemInfo(false, info);
      fileFound = true;
    } else if (context->Position == 1 && storage_->GetReader() != nullptr) {
      RootItemInfo(true, info);
      fileFound = true;
    }
    if (context->Position < 2) ++context->Position;
    return;
  }
  std::string r;
  if (!ReaderPathOf(d, r) || devices_ == nullptr) return;
  if (!context->Listed) {
    std::lock_guard lock(ProgramReadLock());
    FileSystem* reader = storage_->GetReader();
    TFileEntry directory;
    if (reader == nullptr) return;
    if (r.empty() || r == "/") {
      directory = reader->RootEntry();
      directory.Storage = storage_;
      directory.Fs = reader;
    } else if (!FindEntry(r, directory)) {
      return;
    }
    TFolderListing listing = reader->ListFolder(directory);
    // A listing cut short would pass for the whole folder.
    if (listing.Truncated) throw ECbFsError("too many entries in " + d, 5 /* EIO */);
    // An unreadable folder is not an empty one.
    if (!listing.Readable) throw ECbFsError("cannot list " + d, 5 /* EIO */);
    context->Entries = std::move(listing.Entries);
    context->Listed = true;
  }
  // The salvage readers' "Recovered files" folder of the root is reached by
  // its path, not listed; at any other place the name is an ordinary one.
  const auto hidden = [&](const TFileEntry& e) { return (r.empty() || r == "/") && e.Name == kRecoveredFiles; };
  while (context->Position < static_cast<std::int32_t>(context->Entries.size()) &&
         hidden(context->Entries[static_cast<std::size_t>(context->Position)]))
    ++context->Position;
  if (context->Position >= static_cast<std::int32_t>(context->Entries.size())) return;
  fileFound = true;
  EntryInfo(context->Entries[static_cast<std::size_t>(context->Position++)], info);
}

void TMountStorage2System::GetFileInfo(const std::string& fileName, bool& fileExists, TCbFsEntryInfo& info) {
  fileExists = false;
  info = TCbFsEntryInfo{};
  if (fileName == kStoragePath) {
    RootItemInfo(false, info);
    fileExists = true;
    return;
  }
  std::string path;
  if (!ReaderPathOf(fileName, path) || storage_->GetReader() == nullptr) return;
  if (path.empty()) {
    RootItemInfo(true, info);
    fileExists = true;
    return;
  }
  TFileEntry entry;
  if (!FindFile(path, entry)) return;
  fileExists = true;
  EntryInfo(entry, info);
  info.Name.clear();
}

bool TMountStorage2System::FindFile(const std::string& path, TFileEntry& entry) {
  std::lock_guard lock(ProgramReadLock());
  return FindEntry(path, entry);
}

const TMountStorage2System::CachedFolder* TMountStorage2System::CachedListing(FileSystem& reader,
                                                                             const std::string& folder) {
  for (auto it = lookupCache_.begin(); it != lookupCache_.end(); ++it) {
    if (it->Path != folder) continue;
    lookupCache_.splice(lookupCache_.begin(), lookupCache_, it);
    return &lookupCache_.front();
  }
  TFileEntry directory;
  if (!reader.LookupPath(folder.empty() ? std::string(1, kPathDelimiter) : folder, directory, true, nullptr) ||
      !(folder.empty() || directory.IsDirectory()))
    return nullptr;
  TFolderListing listing = reader.ListFolder(directory);
  if (!listing.Readable || listing.Truncated) return nullptr;
  CachedFolder cached{folder, std::move(listing.Entries), {}};
  cached.ByName.reserve(cached.Entries.size());
  for (std::size_t i = 0; i < cached.Entries.size(); ++i) cached.ByName.emplace(cached.Entries[i].Name, i);
  lookupCache_.push_front(std::move(cached));
  if (lookupCache_.size() > kCachedFolders) lookupCache_.pop_back();
  return &lookupCache_.front();
}

bool TMountStorage2System::FindEntry(const std::string& path, TFileEntry& entry) {
  FileSystem* reader = storage_->GetReader();
  if (reader == nullptr) return false;
  if (path.size() > kMaxPathLength) throw ECbFsError("path too long", 36 /* ENAMETOOLONG */);
  if (path.empty() || path.back() == kPathDelimiter) return false;
  // The kernel looks names up as readdir showed them: the exact shown name
  // is found in the cached listing of its folder, another spelling by the
  // reader's own rule over that listing.
  const std::size_t cut = path.rfind(kPathDelimiter);
  if (cut != std::string::npos) {
    if (const CachedFolder* cached = CachedListing(*reader, path.substr(0, cut))) {
      const std::string leaf = path.substr(cut + 1);
      const auto exact = cached->ByName.find(leaf);
      const std::size_t at = exact != cached->ByName.end() ? exact->second : reader->FindInListing(cached->Entries, leaf);
      if (at == std::string::npos) return false;
      entry = cached->Entries[at];
      if (entry.Storage == nullptr) entry.Storage = storage_;
      if (entry.Fs == nullptr) entry.Fs = reader;
      return true;
    }
  }
  if (!reader->LookupPath(path, entry, true, nullptr)) return false;
  if (entry.Storage == nullptr) entry.Storage = storage_;
  if (entry.Fs == nullptr) entry.Fs = reader;
  return true;
}

void TMountStorage2System::OpenFile(const std::string& fileName, std::uint32_t /*desiredAccess*/,
                                    std::uint32_t /*shareMode*/, void*& fileHandleContext) {
  fileHandleContext = nullptr;
  std::lock_guard lock(ProgramReadLock());
  storage_->SetCaching(false);
  if (fileName == kStoragePath) {
    fileHandleContext = new TMountFile(std::make_unique<TRawDiskStream>(storage_));
    return;
  }
  std::string path;
  if (!ReaderPathOf(fileName, path)) return;
  TFileEntry entry;
  if (!FindEntry(path, entry) || entry.IsDirectory()) return;
  auto stream = std::make_unique<TBlockFileStream>(entry, devices_);
  // A file with content that the reader cannot open would read as empty:
  // the open fails instead, so no copy passes it off as the file.
  if (!stream->Opened()) {
    if (entry.Size > 0) throw ECbFsError("can't open " + fileName, 5 /* EIO */);
    return;
  }
  fileHandleContext = new TMountFile(std::move(stream));
}

}  // namespace vandrel
