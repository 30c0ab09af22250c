#include "mount/callback_file_system.h"

#include "mount/callback_backend.h"
#include "platform/mount_points.h"
#include "platform/settings.h"

namespace vandrel {

TCallbackFileSystem::TCallbackFileSystem() : threadPoolSize_(platform::ProcessorCount()) {}

TCallbackFileSystem::~TCallbackFileSystem() {
  // The component's own teardown: whatever is still mounted goes.
  try {
    if (mediaMounted_) {
      while (CountMountingPoints() > 0) DeleteMountingPoint(CountMountingPoints() - 1);
      UnmountMedia(true);
    }
    if (hasStorage_) DeleteStorage(true);
  } catch (...) {
    // A destructor has nobody to tell; the forced steps leave nothing live.
  }
}

void TCallbackFileSystem::CheckNotCreated(const char* property) const {
  if (hasStorage_) throw ECbFsError(std::string("Property ") + property + " can't be changed after CreateStorage");
}

void TCallbackFileSystem::SetStorageType(TCbFsStorageType value) {
  CheckNotCreated("StorageType");
  storageType_ = value;
}
void TCallbackFileSystem::SetStorageCharacteristics(std::uint32_t value) {
  CheckNotCreated("StorageCharacteristics");
  storageCharacteristics_ = value;
}
void TCallbackFileSystem::SetThreadPoolSize(unsigned value) {
  CheckNotCreated("ThreadPoolSize");
  threadPoolSize_ = value == 0 ? platform::ProcessorCount() : value;
}
void TCallbackFileSystem::SetSerializeCallbacks(bool value) {
  CheckNotCreated("SerializeCallbacks");
  serializeCallbacks_ = value;
}
void TCallbackFileSystem::SetUseSystemCache(bool value) {
  CheckNotCreated("UseSystemCache");
  useSystemCache_ = value;
}
void TCallbackFileSystem::SetCallAllOpenCloseCallbacks(bool value) {
  CheckNotCreated("CallAllOpenCloseCallbacks");
  callAllOpenCloseCallbacks_ = value;
}
void TCallbackFileSystem::SetProcessRestrictionsEnabled(bool value) {
  CheckNotCreated("ProcessRestrictionsEnabled");
  processRestrictionsEnabled_ = value;
}

void TCallbackFileSystem::CreateStorage() {
  if (hasStorage_) throw ECbFsError("Storage already created");
  bool installed = false;
  std::uint32_t high = 0, low = 0;
  QueryBackendState(installed, high, low);
  if (!installed)
    throw ECbFsError("Volumes are mounted through FUSE, which is not usable here: " + BackendProblem());
  hasStorage_ = true;
}

void TCallbackFileSystem::CheckHandlers() const {
  struct Required {
    const char* name;
    bool set;
  };
  const Required required[] = {
      {"OnMount", static_cast<bool>(OnMount)},
      {"OnUnmount", static_cast<bool>(OnUnmount)},
      {"OnGetVolumeSize", static_cast<bool>(OnGetVolumeSize)},
      {"OnGetVolumeLabel", static_cast<bool>(OnGetVolumeLabel)},
      {"OnGetVolumeId", static_cast<bool>(OnGetVolumeId)},
      {"OnOpenFile", static_cast<bool>(OnOpenFile)},
      {"OnCloseFile", static_cast<bool>(OnCloseFile)},
      {"OnGetFileInfo", static_cast<bool>(OnGetFileInfo)},
      {"OnEnumerateDirectory", static_cast<bool>(OnEnumerateDirectory)},
      {"OnCloseEnumeration", static_cast<bool>(OnCloseEnumeration)},
      {"OnReadFile", static_cast<bool>(OnReadFile)},
      {"OnOpenVolume", static_cast<bool>(OnOpenVolume)},
      {"OnCloseVolume", static_cast<bool>(OnCloseVolume)},
  };
  for (const Required& r : required) {
    if (!r.set) throw ECbFsError(std::string("Event '") + r.name + "' not handled. \r\n You must handle all events");
  }
}

void TCallbackFileSystem::MountMedia(int timeoutMs) {
  if (!hasStorage_) throw ECbFsError("Storage not created");
  if (mediaMounted_) throw ECbFsError("Media already mounted");
  CheckHandlers();
  mountTimeoutMs_ = timeoutMs > 0 ? timeoutMs : 5000;
  mediaMounted_ = true;
  OnMount();
}

void TCallbackFileSystem::AddMountingPoint(const std::string& point) {
  if (!mediaMounted_) throw ECbFsError("Media not mounted");
  const std::string settings = settingsFile_.empty() ? platform::SettingsFilePath() : settingsFile_;
  const std::string folder = platform::MountFolderFor(point, platform::MountRoot(settings));
  std::string error;
  switch (platform::InspectMountFolder(folder)) {
    case platform::MountFolderState::kDeadMount:
      if (!platform::CleanDeadMount(folder, error)) throw ECbFsError("Can't clean the dead mount at " + folder + ": " + error);
      break;
    case platform::MountFolderState::kMissing:
      if (!platform::EnsureFolder(folder, error))
        throw ECbFsError("The folder " + folder + " could not be made (" + error +
                         "). Set a mount root you may write to (\"mount_root\" in section [main] of " + settings +
                         "), or run Vandrel as a user who may write there.");
      break;
    case platform::MountFolderState::kEmpty: break;
    case platform::MountFolderState::kLiveMount:
      throw ECbFsError("The folder " + folder + " is in use: another volume is mounted there. Choose another letter, "
                       "or dismount what is mounted there first.");
    case platform::MountFolderState::kNotEmpty:
      throw ECbFsError("The folder " + folder + " is not empty, and a volume is only mounted on an empty folder. "
                       "Choose another letter, or move the files out of that folder.");
    case platform::MountFolderState::kNotFolder:
      throw ECbFsError(folder + " is a file, not a folder. Choose another letter, or move that file away.");
  }
  CbFsMountOptions options;
  OnGetVolumeLabel(options.label);
  options.threads = serializeCallbacks_ ? 1 : threadPoolSize_;
  options.serialize = serializeCallbacks_;
  options.timeoutMs = mountTimeoutMs_;
  mounts_.push_back(StartCbFsMount(*this, folder, options));
}

void TCallbackFileSystem::DeleteMountingPoint(int index) {
  if (index < 0 || index >= CountMountingPoints()) throw ECbFsError("Mounting point index out of range");
  const auto at = mounts_.begin() + index;
  std::unique_ptr<CbFsMount> mount = std::move(*at);
  mounts_.erase(at);
  mount->Stop(false);
}

void TCallbackFileSystem::UnmountMedia(bool force) {
  if (!mediaMounted_) return;
  // Points the caller left are taken down with the media.
  while (!mounts_.empty()) {
    std::unique_ptr<CbFsMount> mount = std::move(mounts_.back());
    mounts_.pop_back();
    mount->Stop(force);
  }
  mediaMounted_ = false;
  OnUnmount();
}

void TCallbackFileSystem::DeleteStorage(bool force) {
  if (mediaMounted_) {
    if (!force) throw ECbFsError("Media is still mounted");
    UnmountMedia(true);
  }
  hasStorage_ = false;
}

int TCallbackFileSystem::CountMountingPoints() const { return static_cast<int>(mounts_.size()); }

std::string TCallbackFileSystem::MountingPointFolder(int index) const {
  if (index < 0 || index >= CountMountingPoints()) return {};
  return mounts_[static_cast<std::size_t>(index)]->Folder();
}

bool TCallbackFileSystem::Serving() const {
  for (const auto& mount : mounts_)
    if (mount->Serving()) return true;
  return false;
}

void TCallbackFileSystem::QueryDriverState(const std::string& /*productId*/, bool& installed,
                                           std::uint32_t& versionHigh, std::uint32_t& versionLow) {
  QueryBackendState(installed, versionHigh, versionLow);
}

void TCallbackFileSystem::InstallDriver(const std::string& driverFile, const std::string& /*productId*/,
                                        bool& rebootNeeded) {
  rebootNeeded = false;
  InstallBackend(driverFile);
}

void TCallbackFileSystem::UninstallDriver(const std::string& /*productId*/, bool& rebootNeeded) {
  rebootNeeded = false;
  throw ECbFsError("FUSE support belongs to the system: remove the fuse3 package to uninstall it");
}

std::string TCallbackFileSystem::DriverFileName(const std::string& /*architectureTag*/) { return BackendDriverName(); }

bool TCallbackFileSystem::DriverFilePresent(const std::string& driverFile) { return BackendDriverPresent(driverFile); }

}  // namespace vandrel
