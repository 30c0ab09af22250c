// An NTFS image held in memory and opened by one of the two NTFS readers.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "filesystems/ntfs/salvage.h"
#include "support/memory_disk.h"

namespace vandrel::test {

struct NtfsImage {
  std::unique_ptr<MemoryDisk> disk;
  std::unique_ptr<TNTFS> reader;
  bool opened = false;  // what Open answered
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
  o.opened = o.reader->Open();
  o.reader->Prepare();
  return o;
}

// The first non-resident attribute `type` of the record at byte `at` of the
// image, parsed from the record as it lies on disk (its runlist comes before
// the first position the update sequence protects, so it can be patched there).
inline bool NonResidentAttribute(const std::vector<std::uint8_t>& image, std::int64_t at, std::uint32_t recordSize,
                                 std::uint32_t type, TNtfsAttrHeader& out) {
  if (at < 0 || static_cast<std::uint64_t>(at) + recordSize > image.size()) return false;
  const std::vector<std::uint8_t> record(image.begin() + at, image.begin() + at + recordSize);
  TNtfsRecordInfo info;
  std::vector<TNtfsAttrHeader> headers;
  if (!ParseRecordAttributes(record, info, headers)) return false;
  for (const TNtfsAttrHeader& h : headers) {
    if (h.Type == type && h.NonResident) {
      out = h;
      return true;
    }
  }
  return false;
}

inline bool NonResidentData(const std::vector<std::uint8_t>& image, std::int64_t at, std::uint32_t recordSize,
                            TNtfsAttrHeader& out) {
  return NonResidentAttribute(image, at, recordSize, kNtfsAttrData, out);
}

}  // namespace vandrel::test
