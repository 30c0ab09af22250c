// The mount service: shows one storage as a read-only volume through the
// callback file-system component, and the module-level driver operations.
//
// The volume holds:
//   /Storage      the raw storage as one read-only file
//   /FileSystem   the tree of the storage's file-system reader, present
//                 only while the storage has a reader attached
//
// Use from a program (the desktop window, the command-line tool):
//   MountUnitStartup(settingsFile);           // once, at program start
//   devices.CreateReader(storage, true, TReaderChoice::kByKind);
//   auto service = std::make_unique<TMountStorage2System>(storage, &devices);
//   std::string error;
//   if (!service->Init("E:", error)) { show error; service.reset(); }
//   ... service->Mounted(), service->MountFolder(), service->MountPoint() ...
//   service->Finish(); service.reset();      // dismount
//   MountUnitShutdown();                      // once, at program end
// "E:" is the folder <mount root>/E (settings "main"/"mount_root", else
// ~/Vandrel); any other mount point is taken as a folder path. Init,
// Finish and destruction run on one thread (the user-interface thread);
// the component calls the handlers on its own worker threads.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/read_write_lock.h"
#include "filesystems/file_system.h"
#include "mount/callback_file_system.h"

namespace vandrel {

class TDeviceManager;

// The program's fixed product id, named in every driver call.
inline constexpr const char* kProductId = "{5E8A2C41-7B3D-4F96-A0C2-9D6E1B47F358}";

// Two halves as the driver's version resource gives them: high = major
// (upper 16 bits) and minor, low = release (upper) and build.
struct TDriverVersion {
  std::uint32_t High = 0;
  std::uint32_t Low = 0;
};

// Reads the architecture tag from the settings file (section "main", key
// "windows_type", lower-cased); later installs and the mount root use the
// same file.
void MountUnitStartup(const std::string& settingsFile);
// Writes a non-empty architecture tag back.
void MountUnitShutdown();
const std::string& MountSettingsFile();
std::string ArchitectureTag();
void SetArchitectureTag(const std::string& tag);
// The one lock of all mounted volumes: reads share it (they are positional
// and need no lock of their own), while listings, lookups, opens and closes
// hold it alone.
ReadWriteLock& ProgramReadLock();
// The shared driver version (both halves 0 when not installed).
TDriverVersion SharedDriverVersion();

TDriverVersion QueryDriverVersion();
bool DriverStatusText(std::string& text);
bool InstallDriverFile(bool& restartNeeded, std::string& errorText);
bool UninstallDriverFile(bool& restartNeeded, std::string& errorText);
std::string ProbeArchitecture();

// One open directory listing of the service.
struct TMountEnumContext {
  std::uint8_t Kind = 0;       // 0 the volume root, 1 any other directory
  std::int32_t Position = 0;   // next index (root items or Entries)
  bool Listed = false;         // Entries holds the folder's listing
  std::vector<TFileEntry> Entries;
};

class TMount2System {
 public:
  explicit TMount2System(TDeviceManager* devices);
  virtual ~TMount2System();
  TMount2System(const TMount2System&) = delete;
  TMount2System& operator=(const TMount2System&) = delete;

  // The component's handlers, in this order.
  virtual void GetVolumeSize(std::int64_t& totalAllocationUnits, std::int64_t& availableAllocationUnits,
                             std::uint32_t& sectorsPerAllocationUnit, std::uint32_t& bytesPerSector) = 0;
  virtual void GetVolumeLabel(std::string& label) = 0;
  virtual void EnumerateDirectory(const TCbFsFileInfo& directoryInfo, void*& enumerationContext,
                                  const std::string& mask, int index, bool restart, bool& fileFound,
                                  TCbFsEntryInfo& info);
  virtual void GetFileInfo(const std::string& fileName, bool& fileExists, TCbFsEntryInfo& info);
  virtual void OpenFile(const std::string& fileName, std::uint32_t desiredAccess, std::uint32_t shareMode,
                        void*& fileHandleContext);
  // `path` is a reader path ("/docs/a.txt").
  virtual bool FindFile(const std::string& path, TFileEntry& entry) = 0;

  // Creates, mounts and letters the virtual volume; false with the reason.
  bool Init(const std::string& mountPoint, std::string& errorText);
  // Removes the mount point, unmounts and deletes the virtual volume.
  bool Finish();

  const std::string& MountPoint() const { return mountPoint_; }
  // The folder the volume is shown in ("" when not mounted).
  std::string MountFolder() const;
  // Mounted and still answering (false once unmounted from outside).
  bool Mounted() const;
  // UTC FILETIME of Init.
  std::uint64_t MountTime() const { return mountTime_; }
  TCallbackFileSystem& Component() { return *component_; }

 protected:
  void ReadFile(const TCbFsFileInfo& fileInfo, void* fileHandleContext, std::int64_t position, void* buffer,
                std::int32_t bytesToRead, std::int32_t& bytesRead);
  void CloseEnumeration(const TCbFsFileInfo& directoryInfo, void* enumerationContext);
  void CloseFile(const TCbFsFileInfo& fileInfo, void* fileHandleContext);
  // Stops the component (before the storage it reads goes back to normal).
  void ReleaseComponent() { component_.reset(); }

  std::unique_ptr<TCallbackFileSystem> component_;
  TDeviceManager* devices_ = nullptr;
  std::uint64_t mountTime_ = 0;
  std::string mountPoint_;
};

class TMountStorage2System : public TMount2System {
 public:
  TMountStorage2System(TStorage* storage, TDeviceManager* devices);
  ~TMountStorage2System() override;

  void GetVolumeSize(std::int64_t& totalAllocationUnits, std::int64_t& availableAllocationUnits,
                     std::uint32_t& sectorsPerAllocationUnit, std::uint32_t& bytesPerSector) override;
  void GetVolumeLabel(std::string& label) override;
  void EnumerateDirectory(const TCbFsFileInfo& directoryInfo, void*& enumerationContext, const std::string& mask,
                          int index, bool restart, bool& fileFound, TCbFsEntryInfo& info) override;
  void GetFileInfo(const std::string& fileName, bool& fileExists, TCbFsEntryInfo& info) override;
  void OpenFile(const std::string& fileName, std::uint32_t desiredAccess, std::uint32_t shareMode,
                void*& fileHandleContext) override;
  bool FindFile(const std::string& path, TFileEntry& entry) override;

  TStorage* Storage() const { return storage_; }

 private:
  // FindFile under a lock the caller holds; throws ENAMETOOLONG past the
  // longest path a lookup takes.
  bool FindEntry(const std::string& path, TFileEntry& entry);
  void EntryInfo(const TFileEntry& entry, TCbFsEntryInfo& info);
  void RootItemInfo(bool fileSystem, TCbFsEntryInfo& info) const;
  TStorage* storage_ = nullptr;
  // The entries of the folders looked in last, with an index of their
  // shown names (unique in a listing), so that opening every file of a
  // large folder lists it once and finds each name at once, even while the
  // kernel also looks up the folder itself in its parent. Guarded by the
  // program lock; the volume is read-only, so nothing goes stale.
  struct CachedFolder {
    std::string Path;
    std::vector<TFileEntry> Entries;
    std::unordered_map<std::string, std::size_t> ByName;
  };
  static constexpr std::size_t kCachedFolders = 4;
  // The listing of `folder`, listed now unless cached; nullptr when it
  // cannot be listed whole.
  const CachedFolder* CachedListing(FileSystem& reader, const std::string& folder);
  std::list<CachedFolder> lookupCache_;  // most recent first
};

}  // namespace vandrel
