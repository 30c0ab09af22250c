// One attribute decoded for reading: its sizes, flags and runs, or its
// resident value.
#pragma once

#include <cstdint>
#include <vector>

#include "common/endian.h"
#include "filesystems/file_system.h"
#include "filesystems/ntfs/record.h"
#include "filesystems/ntfs/runlist.h"

namespace vandrel {

// One attribute decoded for reading, all extents joined.
struct TNtfsAttrDesc {
  std::uint32_t Type = 0;
  std::uint16_t Flags = 0;
  std::uint8_t CompressionUnit = 0;
  bool Resident = false;
  std::vector<std::uint8_t> Value;  // resident value
  std::int64_t RecordNumber = 0;
  std::int64_t AllocatedSize = 0;
  std::int64_t DataSize = 0;
  std::int64_t InitializedSize = 0;
  std::vector<TRunNode> Runs;  // sorted by VCN, not overlapping
  bool Complete = false;
  bool ExtentFailed = false;
  // What an extent's own header and runs disagreed on, or what its record
  // was found with.
  TDamage Damage = TDamage::None;

  // Bytes the runs reach: the end of the last run.
  std::int64_t CoveredBytes(std::uint32_t clusterSize) const;
};

// Size a reader hands out for an attribute: the data size whenever the
// runs reach it; what they cover when extents are missing.
std::int64_t EffectiveSize(const TNtfsAttrDesc& d, std::uint32_t clusterSize);
// What is wrong with an attribute's map, found without reading its data.
TDamage DescDamage(const TNtfsAttrDesc& d, std::uint32_t clusterSize);
// The attribute `h` of `record` (record number `recordNumber`) with its
// runs decoded against a volume of `clusterCount` clusters.
void DescFromHeader(ByteSpan record, const TNtfsAttrHeader& h, std::int64_t recordNumber, std::int64_t clusterCount,
                    TNtfsAttrDesc& d);

}  // namespace vandrel
