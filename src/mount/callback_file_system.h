// TCallbackFileSystem: the callback file-system component as the program
// sees it. It shows a virtual read-only volume to the operating system and
// turns every request on it into one of the events below, called on the
// component's worker threads (one per processor unless told otherwise),
// several at once.
//
// Calling order: assign every required handler; CreateStorage; MountMedia;
// AddMountingPoint ("E:" or a folder). Teardown: DeleteMountingPoint for
// each point, UnmountMedia, DeleteStorage; destruction does whatever of it
// is still left. Failures raise ECbFsError with a message.
//
// Paths handed to the events run from the volume root and use '/' as the
// separator ("/FileSystem/docs/a.txt"); names are UTF-8. Times are UTC
// FILETIME values (100 ns since 1601). The component itself supplies the
// entries "." and ".." of every listing and lists each name at most once.
// The volume is read-only: requests that would change it are refused with
// a read-only error before they reach any handler. Items whose attributes
// carry kAttrSymlink are shown as symbolic links to LinkTarget; items with
// kAttrSpecial are shown as the device, FIFO or socket SpecialKind names
// (the volume is mounted nodev: none of them can be opened).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace vandrel {

// A failure of the component; `Code` is an errno-style value for the
// operating system's answer when a handler raises it (0: I/O error).
class ECbFsError : public std::runtime_error {
 public:
  explicit ECbFsError(const std::string& message, int code = 0) : std::runtime_error(message), Code(code) {}
  int Code;
};

enum TCbFsStorageType : std::uint8_t { stDisk = 0, stCDROM = 1 };
enum TCbFsStorageCharacteristic : std::uint32_t { scRemovableMedia = 1, scFloppyDiskette = 2, scReadOnlyDevice = 4 };

struct TCbFsFileInfo {
  std::string FileName;  // path from the volume root
};

// What a listing step or a file-information request answers for one item.
struct TCbFsEntryInfo {
  std::string Name;  // listing only: the item's own name
  std::uint64_t CreationTime = 0;
  std::uint64_t LastAccessTime = 0;
  std::uint64_t LastWriteTime = 0;
  std::int64_t EndOfFile = 0;
  std::int64_t AllocationSize = 0;
  std::int64_t FileId = 0;
  std::uint32_t FileAttributes = 0;
  std::string LinkTarget;  // kAttrSymlink items
  // kAttrSpecial items: 1 FIFO, 2 character device, 3 block device, 4 socket.
  std::uint8_t SpecialKind = 0;
  std::uint32_t DeviceMajor = 0;
  std::uint32_t DeviceMinor = 0;
};

class CbFsMount;

class TCallbackFileSystem {
 public:
  TCallbackFileSystem();
  ~TCallbackFileSystem();
  TCallbackFileSystem(const TCallbackFileSystem&) = delete;
  TCallbackFileSystem& operator=(const TCallbackFileSystem&) = delete;

  // Properties; setting one after CreateStorage raises.
  TCbFsStorageType StorageType() const { return storageType_; }
  void SetStorageType(TCbFsStorageType value);
  std::uint32_t StorageCharacteristics() const { return storageCharacteristics_; }
  void SetStorageCharacteristics(std::uint32_t value);
  unsigned ThreadPoolSize() const { return threadPoolSize_; }
  void SetThreadPoolSize(unsigned value);
  bool SerializeCallbacks() const { return serializeCallbacks_; }
  void SetSerializeCallbacks(bool value);
  // The kernel's page cache serves repeated reads whatever this says: the
  // volume is read-only and cannot change beneath the cache.
  bool UseSystemCache() const { return useSystemCache_; }
  void SetUseSystemCache(bool value);
  bool CallAllOpenCloseCallbacks() const { return callAllOpenCloseCallbacks_; }
  void SetCallAllOpenCloseCallbacks(bool value);
  bool ProcessRestrictionsEnabled() const { return processRestrictionsEnabled_; }
  void SetProcessRestrictionsEnabled(bool value);

  void CreateStorage();
  // Checks the handlers and readies the media; `timeoutMs` bounds the wait
  // for the volume to answer once its mounting point is added.
  void MountMedia(int timeoutMs);
  // A drive letter with its colon (its folder below the mount root) or a
  // folder path. A dead mount left in the folder by a crash is cleaned up
  // first; returns once the volume answers requests.
  void AddMountingPoint(const std::string& point);
  void DeleteMountingPoint(int index);
  void UnmountMedia(bool force);
  void DeleteStorage(bool force);

  bool HasStorage() const { return hasStorage_; }
  bool MediaMounted() const { return mediaMounted_; }
  int CountMountingPoints() const;
  // The folder that a mounting point occupies.
  std::string MountingPointFolder(int index) const;
  // Whether the volume still answers at its folder (false once it was
  // unmounted from outside).
  bool Serving() const;
  // Where the settings come from (the mount root); defaults to the
  // program's settings file.
  void SetSettingsFile(std::string path) { settingsFile_ = std::move(path); }

  // Class operations: the state of the component's driver (FUSE support).
  static void QueryDriverState(const std::string& productId, bool& installed, std::uint32_t& versionHigh,
                               std::uint32_t& versionLow);
  static void InstallDriver(const std::string& driverFile, const std::string& productId, bool& rebootNeeded);
  static void UninstallDriver(const std::string& productId, bool& rebootNeeded);
  // What InstallDriver loads, and whether it is present on this system.
  static std::string DriverFileName(const std::string& architectureTag);
  static bool DriverFilePresent(const std::string& driverFile);

  // Events.
  std::function<void()> OnMount, OnUnmount, OnOpenVolume, OnCloseVolume;
  std::function<void(std::int64_t& totalAllocationUnits, std::int64_t& availableAllocationUnits,
                     std::uint32_t& sectorsPerAllocationUnit, std::uint32_t& bytesPerSector)>
      OnGetVolumeSize;
  std::function<void(std::string& label)> OnGetVolumeLabel;
  std::function<void(std::uint32_t& volumeId)> OnGetVolumeId;
  std::function<void(const std::string& fileName, std::uint32_t desiredAccess, std::uint32_t shareMode,
                     void*& fileHandleContext)>
      OnOpenFile;
  std::function<void(const TCbFsFileInfo& fileInfo, void* fileHandleContext)> OnCloseFile;
  std::function<void(const std::string& fileName, bool& fileExists, TCbFsEntryInfo& info)> OnGetFileInfo;
  // One entry per call; FileFound false ends the listing.
  std::function<void(const TCbFsFileInfo& directoryInfo, void*& enumerationContext, const std::string& mask,
                     int index, bool restart, bool& fileFound, TCbFsEntryInfo& info)>
      OnEnumerateDirectory;
  std::function<void(const TCbFsFileInfo& directoryInfo, void* enumerationContext)> OnCloseEnumeration;
  std::function<void(const TCbFsFileInfo& fileInfo, void* fileHandleContext, std::int64_t position, void* buffer,
                     std::int32_t bytesToRead, std::int32_t& bytesRead)>
      OnReadFile;
  // Optional events. The FUSE backend refuses writes itself; the two write
  // answers are kept for a backend that asks.
  std::function<void(const TCbFsFileInfo& fileInfo, void* fileHandleContext, std::int64_t position,
                     const void* buffer, std::int32_t bytesToWrite, std::int32_t& bytesWritten)>
      OnWriteFile;
  std::function<void(const TCbFsFileInfo& fileInfo, bool& canBeDeleted)> OnCanFileBeDeleted;
  std::function<void(const TCbFsFileInfo& directoryInfo, bool& isEmpty)> OnIsDirectoryEmpty;

 private:
  void CheckNotCreated(const char* property) const;
  void CheckHandlers() const;

  TCbFsStorageType storageType_ = stDisk;
  std::uint32_t storageCharacteristics_ = scRemovableMedia;
  unsigned threadPoolSize_;
  bool serializeCallbacks_ = false;
  bool useSystemCache_ = false;
  bool callAllOpenCloseCallbacks_ = false;
  bool processRestrictionsEnabled_ = false;
  bool hasStorage_ = false;
  bool mediaMounted_ = false;
  int mountTimeoutMs_ = 5000;
  std::string settingsFile_;
  std::vector<std::unique_ptr<CbFsMount>> mounts_;
};

}  // namespace vandrel
