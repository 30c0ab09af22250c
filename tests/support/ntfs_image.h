// An NTFS image held in memory and opened by one of the two NTFS readers.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "filesystems/NTFS.h"
#include "support/memory_disk.h"

namespace vandrel::test {

struct NtfsImage {
  std::unique_ptr<MemoryDisk> disk;
  std::unique_ptr<TNTFS> reader;
};

// The index-listing reader, or with `salvager` the scanning one, opened and
// prepared over a disk of `sectorSize`-byte sectors.
inline NtfsImage OpenNtfsImage(std::vector<std::uint8_t> bytes, bool salvager = false, std::int32_t sectorSize = 512) {
  NtfsImage o;
  o.disk = std::make_unique<MemoryDisk>(std::move(bytes), sectorSize);
  if (salvager)
    o.reader = std::make_unique<TNTFS_Salvager>(o.disk.get());
  else
    o.reader = std::make_unique<TNTFS_Reader>(o.disk.get());
  o.reader->Open();
  o.reader->Prepare();
  return o;
}

}  // namespace vandrel::test
