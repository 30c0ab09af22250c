// The RAID manager turns the RAID metadata found on the machine's disks
// (and image files) into RAID devices: one TRaidDevice per array, or a
// TRaidVolume for a Linux software RAID array, which carries a file system
// directly. A device builds its layout on its first open.
#pragma once

#include <memory>
#include <string>

#include "volumes/raid/raid_storage.h"
#include "storage/bus_manager.h"
#include "storage/hard_drive.h"

namespace vandrel {

class THddManager;

class TRaidDevice : public TStorageWithPartitions {
 public:
  // The address becomes (addressNumber, arrayIndex, presentMembers, 0).
  TRaidDevice(TBusManager* manager, const std::string& path, const TRaidInfo& info, std::int32_t presentMembers,
              std::int32_t arrayIndex, std::int32_t addressNumber);
  ~TRaidDevice() override;

  bool Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) override;
  bool Open(bool read, bool write, bool exclusive) override;
  void Close(bool releaseReader) override;
  std::string GetName(bool shortName) override;
  bool UnmountStorage(TStorage* storage) override;
  std::string GetWindowsName() override { return {}; }

  const TRaidInfo& Information() const { return Info; }
  // The layout while the device is open, else none.
  TAbstractRaid* Layout() const { return layout_.get(); }
  std::int32_t OpenCount() const { return openCount_; }

  std::uint8_t RaidState = 0;

 protected:
  // Geometry, partition table and damage report of a new device.
  void Construct();
  // The layout serves reads of several threads at once (see TAbstractRaid).
  bool ParallelReads() const override { return true; }

  TRaidInfo Info;

 private:
  std::unique_ptr<TAbstractRaid> layout_;
  std::int32_t openCount_ = 0;
};

class TRaidVolume : public TRaidDevice {
 public:
  TRaidVolume(TBusManager* manager, const std::string& path, const TRaidInfo& info, std::int32_t presentMembers,
              std::int32_t arrayIndex, std::int32_t addressNumber);
  ~TRaidVolume() override;

  std::string GetName(bool shortName) override;
  std::int32_t PartitionCount() override { return 1; }
  TPartition* GetPartition(std::int32_t index) override;

 private:
  std::unique_ptr<TPartition> volume_;
  TPartitionInformation volumeEntry_;
};

class TRaidManager : public TBusManager {
 public:
  explicit TRaidManager(THddManager* disks);
  ~TRaidManager() override;

  bool Enumerate() override;
  bool Refresh() override;
  void BeginScan() override;
  void EndScan() override;
  std::int32_t DeviceCount() override { return static_cast<std::int32_t>(devices_.size()); }
  TDevice* GetDevice(std::int32_t index) override;
  TStorage* OpenByPath(const std::string& /*path*/) override { return nullptr; }
  std::string GetVolumeName(TPartition* partition) override;

  const TRaidInfoArray& Candidates() const { return candidates_; }

 protected:
  // Registers candidate `index` (as a TRaidVolume when `volume`) and answers
  // the device now in the list: a device kept from the last scan stays.
  TRaidDevice* RegisterCandidate(std::int32_t index, const TRaidInfo& candidate, bool volume);
  // Partitions of `against`'s devices that repeat a partition of one of
  // these devices (same size and first sector) become metadata.
  void HideDuplicates(TBusManager* against);

 private:
  // Reads the tail of `storage` and runs the detectors over it. A `drive`
  // (the storage itself, when it is a drive) may take its serial from its
  // image name first, as Intel metadata names its members by serial.
  bool ScanTail(TStorage* storage, std::vector<std::uint8_t>& tail, THardDrive* drive = nullptr);
  void HideCoveredParts();

  THddManager* disks_;
  TRaidInfoArray candidates_;
};

// Array names as the lists show them: blanks trimmed and collapsed; an
// empty name becomes "Raid Array %d", counting the unnamed arrays.
void NormalizeRaidNames(TRaidInfoArray& candidates);

// The RAID device behind a storage (the device itself or the device of one
// of its partitions), or none.
TRaidDevice* RaidDeviceOf(TStorage* storage);

}  // namespace vandrel
