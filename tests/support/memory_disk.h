// A disk held in memory, for tests and fuzz targets: it reads like a hard
// drive, counts the reads that reach it and can be given any sector size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/bus_manager.h"

namespace vandrel::test {

// A bus manager with the program's volume services and no devices of its
// own, for drives a test builds itself: they list their volumes as the
// program's drives do.
TBusManager* ListingManager();

class MemoryDisk : public TStorageWithPartitions {
 public:
  // With `enumerate` the partition table is read as a real drive does.
  MemoryDisk(std::vector<std::uint8_t> bytes, std::int32_t sectorSize = 512, bool enumerate = false,
             std::string name = "Memory disk", TBusManager* manager = nullptr);

  bool Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) override;
  bool Open(bool read, bool write, bool exclusive) override;
  void Close(bool releaseReader) override;
  std::string GetName(bool /*shortName*/) override { return name_; }
  // Its manager's services, else the program's own: a disk in memory lists
  // its volumes as a real one does.
  TVolumeServices* Services() override;
  // Like a drive: a notice about itself marks it gone.
  bool UnmountStorage(TStorage* storage) override {
    if (storage == this) Gone = true;
    return true;
  }

  std::vector<std::uint8_t>& Bytes() { return bytes_; }
  // Raw reads that reached the disk: (sector, count).
  std::vector<std::pair<std::int64_t, std::int32_t>> reads;
  std::int32_t openCount = 0;
  bool failReads = false;
  // Sectors [first, first + count) cannot be read: a read that reaches them
  // gets the sectors before them and zeros from there on, and fails, as a
  // drive's read does at a bad sector.
  std::int64_t unreadableFirst = 0;
  std::int64_t unreadableCount = 0;

 private:
  std::vector<std::uint8_t> bytes_;
  std::string name_;
};

}  // namespace vandrel::test
