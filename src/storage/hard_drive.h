// Disks, floppies and image files (THardDrive) and the partitions inside
// any device (TPartition).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/files.h"
#include "storage/bus_manager.h"

namespace vandrel {

// Bus address parts of devices that are not addressed by disk number.
inline constexpr std::int32_t kAddressByPath = -256;
inline constexpr std::int32_t kSubtypeFloppy = -254;
inline constexpr std::int32_t kSubtypeVolumePath = -255;

// "Unknown", "Scsi", ... ; codes 15 and above give "unknow but type".
std::string BusTypeName(std::uint8_t code);

// A drive serial is kept only when every character is a letter, a digit,
// a blank, "-" or "_"; otherwise it is dropped.
std::string FilterSerial(const std::string& serial);

// Probes the new partition's boot sector and finds its label through the
// volume services; a partition without them keeps its table's type.
void FinishPartitionCreation(TPartition& partition);

// A volume inside a device: reads through the device at its start sector.
class TPartition : public TVolume {
 public:
  TPartition(TStorageWithPartitions* device, const TPartitionInformation& entry);

  bool Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) override;
  bool Open(bool read, bool write, bool exclusive) override;
  void Close(bool releaseReader) override;
  std::string GetName(bool shortName) override;
  void Flush() override;
  bool UnmountStorage(TStorage* storage) override;
  TVolumeServices* Services() override;
  std::string GetWindowsName() override { return Information.Name; }

  TStorageWithPartitions* Parent() const { return parent_; }

  std::array<std::uint8_t, 2048> SectorBuffer{};
  TPartitionInformation Information;

 protected:
  // The device's bounded read guards itself and fills the whole buffer.
  bool ParallelReads() const override { return true; }
  bool ReadZeroFills() const override { return true; }

 private:
  TStorageWithPartitions* parent_;
};

// A disk, the floppy, or an image file, read with the OS file functions.
class THardDrive : public TStorageWithPartitions {
 public:
  // `osPath` is where the OS finds a disk addressed by number (empty for
  // devices opened by `path`). Reads the partition table when valid.
  THardDrive(TBusManager* manager, const std::string& path, std::int32_t reserved, std::int32_t subtype,
             std::int32_t letter, std::int32_t number, const std::string& osPath = {});
  ~THardDrive() override;

  bool Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) override;
  bool Open(bool read, bool write, bool exclusive) override;
  void Close(bool releaseReader) override;
  std::string GetName(bool shortName) override;
  void Flush() override;
  bool UnmountStorage(TStorage* storage) override;

  bool GetDeviceProperties();

  std::int32_t OpenCount() const { return openCount_; }
  std::int32_t DriveNumber() const { return driveNumber_; }
  const std::string& DevicePathText() const { return devicePath_; }
  // Where the OS opens this drive ("/dev/sda" or the image path).
  const std::string& OsPath() const { return osPath_; }

  std::string Vendor;
  std::string Product;
  std::string Serial;
  std::string Revision;
  std::uint8_t BusType = 0;
  std::string BusTypeNameText;

 protected:
  // Positioned reads of one descriptor: nothing shared moves.
  bool ParallelReads() const override { return true; }
  bool ReadZeroFills() const override { return true; }

 private:
  void DetectSize();

  std::int32_t openCount_ = 0;
  platform::BlockFile file_;
  std::int32_t driveNumber_;
  std::string devicePath_;
  std::string osPath_;
};

}  // namespace vandrel
