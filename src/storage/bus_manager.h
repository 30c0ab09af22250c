// The storage model: everything that reads sectors is a TStorage, and every
// device is created and owned by a bus manager that keeps it across rescans.
//
//   TStorage
//     TVolume                      can carry a file system
//       TPartition                 a volume inside a device (hard_drive.h)
//       TDevice                    a whole device with a bus address
//         TStorageWithPartitions   a device with a partition table
//           THardDrive             disk, floppy or image file (hard_drive.h)
//           TRaidDevice, TRaidVolume   (volumes/raid/)
//     TAbstractRaid and the RAID layouts  (volumes/raid/)
//   TBusManager                    THddManager, TRaidManager, TLdmManager
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "storage/partition_info.h"

namespace vandrel {

class TBusManager;
class TDevice;
class TVolumeServices;
class TPartition;
class FileSystem;

// (percent, text) -> answer; percent -1 means finished, an answer of 0 asks
// the caller to stop.
using ProgressCallback = std::function<int(int percent, const std::string& text)>;

enum TStorageSource : std::uint8_t {
  ssPhysical = 0, ssRemovable = 1, ssCD = 2, ssFolder = 3, ssImageFile = 4,
  ssNetwork = 5, ssRaid = 6, ssLdm = 7, ssMyComp = 8,
};

enum TStorageType : std::uint8_t {
  stEmpty = 0, stHardDrive = 1, stPartition = 2, stFloppy = 3, stCD = 4,
  stEmptyHardDriveForPartition = 5, stRaidVolume = 6, stDynamicDisk = 7, stContainer = 8,
};

// The value names, as the properties window and the JSON output print them.
const char* StorageSourceName(TStorageSource source);
const char* StorageTypeName(TStorageType type);

// Bits of TStorage::Flags.
inline constexpr std::uint32_t kStorageUserAdded = 2;

// What a read does about a sector the device cannot read.
enum class TReadPolicy : std::uint8_t {
  // The read fails; its buffer holds zeros from the first sector that did
  // not arrive. Boot sectors, tables and RAID members are read so: their
  // damage must show (a member's is rebuilt from the others).
  Fail,
  // Zeros stand in for each sector that cannot be read, the sectors around
  // it are read one by one, and the read succeeds.
  SkipBadSectors,
};

// Sectors the read window holds unless a storage chooses otherwise.
inline constexpr std::int32_t kWindowSectors = 40960;

class TStorage {
 public:
  explicit TStorage(TBusManager* manager);
  virtual ~TStorage();
  TStorage(const TStorage&) = delete;
  TStorage& operator=(const TStorage&) = delete;

  // Raw read of `count` whole sectors: no bounds check, no window.
  virtual bool Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) = 0;
  virtual bool Open(bool read, bool write, bool exclusive) = 0;
  // With `releaseReader` the attached file-system reader is dropped by its
  // owner.
  virtual void Close(bool releaseReader);
  // `shortName` leaves out the bracketed label a partition appends.
  virtual std::string GetName(bool shortName) = 0;
  virtual void Flush() {}
  // Whether this storage dealt with the notice that `storage` goes away.
  virtual bool UnmountStorage(TStorage* storage);
  virtual void SetMetadata(bool value) { Metadata = value; }
  // Who lists and recognises the volumes on this storage: its bus
  // manager's services; a partition asks its disk.
  virtual TVolumeServices* Services();

  // The bounded read every reader uses. The buffer must hold
  // count * SectorSize bytes; on failure it holds zeros where nothing was
  // read and the thread's last error tells why. Safe on several threads at
  // once: the read window and storages whose Read keeps state are taken
  // one thread at a time, the others read side by side. The policy belongs
  // to this one read, so readers with different needs never meet.
  bool ReadSectors(void* buffer, std::int32_t count, std::int64_t sector, TReadPolicy policy = TReadPolicy::Fail);
  // `byteCount` bytes from the beginning of `sector`.
  bool ReadBytes(void* buffer, std::uint32_t byteCount, std::int64_t sector, TReadPolicy policy = TReadPolicy::Fail);
  void SetCaching(bool enabled);

  bool UserAdded() const { return (Flags & kStorageUserAdded) != 0; }
  void MarkUserAdded() { Flags |= kStorageUserAdded; }
  FileSystem* GetReader() const { return Reader; }

  std::int32_t SectorSize = 512;
  std::int64_t Size = 0;
  std::int64_t SectorCount = 0;
  bool Gone = false;
  ProgressCallback Progress;
  std::atomic<bool> CacheEnabled{false};
  std::uint8_t FsType = 0;
  // What the volume is where FsType's name says less ("ext4" for "Linux
  // native"); empty otherwise.
  std::string FsTypeText;
  TStorageType StorageType = stEmpty;
  TStorageSource StorageSource = ssPhysical;
  std::string Path;
  // The file-system reader attached to this volume. It is owned by whoever
  // attached it (the device manager), which sets OnReleaseReader to be told
  // when the reader must go: readers read through their storage, so they go
  // before it.
  FileSystem* Reader = nullptr;
  std::function<void(TStorage&)> OnReleaseReader;
  std::int32_t CacheSize = 0;
  bool Metadata = false;
  std::uint32_t Flags = 0;
  TBusManager* Manager = nullptr;

  // Device reads made through `Read` by the window logic (diagnostics).
  std::uint64_t WindowFills() const { return windowFills_; }

 protected:
  // Asks the reader's owner to drop the attached reader; forgets it.
  void ReleaseReader();

  // Whether the concrete Read may run on several threads at once: it keeps
  // no state of its own between calls (positioned reads of a file, or
  // forwarding to a storage that guards itself).
  virtual bool ParallelReads() const { return false; }
  // Whether the concrete Read writes every byte of its buffer, zeros where
  // it could not read: the bounded read then need not clear it first.
  virtual bool ReadZeroFills() const { return false; }

 private:
  // One attempt at an in-bounds read, through the window when `window` and
  // caching are on.
  bool ReadRange(std::uint8_t* buffer, std::int32_t count, std::int64_t sector, bool window);
  bool ReadThroughWindow(std::uint8_t* buffer, std::int32_t count, std::int64_t sector);
  void DropWindow();

  // Guards the window, the scratch sector and, for storages without
  // parallel reads, the concrete Read. Recursive: a Read may come back to
  // this storage.
  std::recursive_mutex readMutex_;
  bool inWindow_ = false;

  std::unique_ptr<std::uint8_t[]> window_;
  std::int64_t windowStart_ = 0;
  std::int64_t outsideCount_ = 0;
  std::int32_t windowLength_ = 0;
  std::unique_ptr<std::uint8_t[]> scratch_;
  std::int32_t scratchSize_ = 0;
  std::uint64_t windowFills_ = 0;
};

class TVolume : public TStorage {
 public:
  using TStorage::TStorage;
  // The name of the volume the operating system mounts for this one.
  virtual std::string GetWindowsName() = 0;
};

class TDevice : public TVolume {
 public:
  // Address in the order number, letter, subtype, reserved.
  using Address4 = std::array<std::int32_t, 4>;

  TDevice(TBusManager* manager, std::string path, std::int32_t reserved, std::int32_t subtype,
          std::int32_t letter, std::int32_t number);

  void SetMetadata(bool value) override;
  virtual std::int32_t PartitionCount() { return 0; }
  virtual TPartition* GetPartition(std::int32_t index) = 0;

  bool DiskImage = false;
  Address4 Address{};
  bool ValidDevice = false;
};

class TStorageWithPartitions : public TDevice {
 public:
  using TDevice::TDevice;
  ~TStorageWithPartitions() override;

  std::string GetWindowsName() override { return {}; }
  std::int32_t PartitionCount() override { return static_cast<std::int32_t>(Partitions.size()); }
  TPartition* GetPartition(std::int32_t index) override;

  // Builds the partition list through the volume services; called once
  // while the device is open, by the concrete class's construction.
  void EnumerateVolumes();
  // Merge-or-append; true when a new entry was appended.
  bool AddPartitionEntry(TPartitionInformation entry);
  // Unconditional append that creates the partition object; its index.
  std::int32_t AppendPartition(TPartitionInformation entry);
  // Kind-7 entries for the stretches of the device that no entry covers.
  void AddFreeSpaceEntries();

  bool Removable = false;
  bool DevicePath = false;
  std::vector<TPartitionInformation> Partitions;
};

// One entry of a bus manager's device list.
struct TBusDeviceRec {
  TDevice::Address4 Address{};
  std::string Path;
  std::unique_ptr<TDevice> Device;
  bool Stale = false;
  bool Rescannable = false;
};

class TBusManager {
 public:
  TBusManager();
  virtual ~TBusManager();
  TBusManager(const TBusManager&) = delete;
  TBusManager& operator=(const TBusManager&) = delete;

  // Takes ownership of the record's device; answers the record's index.
  virtual std::int32_t AddDevice(TBusDeviceRec record);
  virtual bool Enumerate() = 0;
  virtual bool Refresh() = 0;
  virtual void BeginScan();
  virtual void EndScan();
  virtual std::int32_t DeviceCount() = 0;
  virtual TDevice* GetDevice(std::int32_t index) = 0;
  virtual TStorage* OpenByPath(const std::string& path) = 0;
  virtual std::string GetVolumeName(TPartition* partition) = 0;
  virtual bool NotifyUnmount(TStorage* storage);

  // Calls OnStatusText when set; true otherwise.
  bool StatusText(const std::string& text);
  void SetOnStatusText(std::function<bool(const std::string&)> handler) { OnStatusText = std::move(handler); }
  void ClearDevices();
  // Takes `device` out of the list and hands it over; nothing when it is
  // not in this list.
  std::unique_ptr<TDevice> TakeDevice(TDevice* device);

  std::function<bool(const std::string&)> OnStatusText;
  // Handed down by the device layer before the first scan; without it the
  // devices of this manager list no volumes.
  TVolumeServices* VolumeServices = nullptr;
  std::string Name;
  bool Scanning = false;
  ProgressCallback Progress;

 protected:
  std::vector<TBusDeviceRec> devices_;
};

}  // namespace vandrel
