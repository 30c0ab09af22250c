// The one object through which the windows, the command-line tool and the
// mount service reach storage: it owns the bus managers, numbers their
// devices as one list, attaches readers and serialises file reads.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "common/read_write_lock.h"
#include "filesystems/file_system.h"
#include "storage/bus_manager.h"

namespace vandrel {

class THddManager;
class TDeviceEnumWindow;

// Bus manager slots, visited in this order by every walk.
inline constexpr int kSlotCount = 10;
inline constexpr int kSlotDisks = 0;
inline constexpr int kSlotRaid = 2;
inline constexpr int kSlotLdm = 3;
inline constexpr int kSlotExtra = 4;

// (user data, percent, text) -> answer; 0 asks the caller to stop.
using ApplicationCallback = std::function<int(void* userData, int percent, const std::string& text)>;

struct DeviceManagerOptions {
  // Probe the machine's disks and floppy; off, only images added by path
  // (and arrays built from them) are listed.
  bool scanPhysical = true;
};

class TDeviceManager {
 public:
  TDeviceManager(ApplicationCallback callback, void* userData, DeviceManagerOptions options = {});
  ~TDeviceManager();
  TDeviceManager(const TDeviceManager&) = delete;
  TDeviceManager& operator=(const TDeviceManager&) = delete;

  std::int32_t RefreshManager(TBusManager* manager);
  void RefreshAll();
  // RefreshAll under the scan progress window, centred over `owner` (the
  // program's window handle, or nothing); returns at once while one scan
  // is running.
  void ScanWithProgress(void* owner = nullptr);

  std::int32_t StorageCount();
  TStorage* GetStorage(std::int32_t index);
  // Index of a storage in the global list, or -1.
  std::int32_t IndexOf(const TStorage* storage);
  // slot -1 means the disk manager; "@@" selects slot 4.
  TStorage* AddByPath(const std::string& path, std::int32_t slot = -1);

  static std::string DisplayName(TStorage* volume, bool shortName);
  static std::string SizeText(const TStorage* volume);

  bool CreateReader(TStorage* volume, bool replace, TReaderChoice choice);
  // Attaches `reader` to `volume` and keeps it until the volume is closed
  // with releaseReader, goes away, or this manager does.
  void AttachReader(TStorage* volume, std::unique_ptr<FileSystem> reader);
  // Drops the reader this manager attached to `volume`, if any.
  void DropReader(TStorage& volume);

  // The disk, image or array a volume lies on (the storage itself when it
  // is no partition).
  static TStorage* HoldingDevice(TStorage* storage);
  // Whether reading `storage` reads `image`: it is the image, one of its
  // partitions, or an array or dynamic volume with a member on it.
  static bool ReadsFrom(TStorage* storage, const TStorage* image);
  // The image or disk the user added that `storage` lies on, or none.
  TStorage* AddedImageOf(TStorage* storage) const;
  // Takes an image the user added out of the list with the arrays and
  // dynamic volumes that read from it, and forms again what the other
  // disks still hold. Nothing of it may be mounted or open. False when
  // `image` is not an added image.
  bool RemoveImage(TStorage* image);

  int ProgressRelay(int percent, const std::string& text);
  bool StatusRelay(const std::string& text);

  // Enumerations and file access through the attached readers. Reads of
  // different handles run side by side; an open waits for them and holds
  // them off. One handle is read by one thread at a time.
  FsHandle FindFirstFile(TStorage* storage, std::string_view path, TFileEntry& entry);
  bool FindNextFile(FsHandle handle, TFileEntry& entry);
  void FindCloseFile(FsHandle handle);
  FsHandle OpenEntry(const TFileEntry& entry);
  FsHandle OpenEntryStream(const TFileEntry& entry, const TStreamId& stream);
  // Bytes of the open file at `offset`, as the reader's ReadAt: safe from
  // several threads on one handle.
  std::int32_t ReadEntryAt(FsHandle file, std::int64_t offset, void* buffer, std::int32_t count);
  std::int64_t EntrySize(FsHandle file);
  // Why reads of the file failed or fell short, as far as its reader knows.
  TDamage EntryDamage(FsHandle file);
  bool CloseEntry(FsHandle file);

  TBusManager* Manager(int slot) const;
  // Puts a bus manager into a slot (replacing what was there), wired to the
  // progress and status relays.
  void Install(int slot, std::unique_ptr<TBusManager> manager);
  THddManager* Disks() const;
  // Status lines of the running scan go here (the progress window).
  void SetStatusSink(std::function<void(const std::string&)> sink) { statusSink_ = std::move(sink); }

 private:
  struct FindRecord {
    FileSystem* reader = nullptr;
    FsHandle handle = kNoHandle;
  };
  struct FileRecord {
    FileSystem* reader = nullptr;
    FsHandle handle = kNoHandle;
  };

  ApplicationCallback callback_;
  void* userData_;
  std::array<std::unique_ptr<TBusManager>, kSlotCount> managers_;
  bool scanning_ = false;
  TDeviceEnumWindow* scanWindow_ = nullptr;
  std::recursive_mutex lock_;
  // Opens (alone) against reads (together).
  ReadWriteLock fileLock_;
  std::function<void(const std::string&)> statusSink_;
  HandleTable<FindRecord> finds_;
  HandleTable<FileRecord> files_;
  // The readers this manager attached, by volume. Its own lock: a reader is
  // dropped from within destructors and closes that hold the others.
  std::mutex readersMutex_;
  std::map<TStorage*, std::unique_ptr<FileSystem>> readers_;
};

}  // namespace vandrel
