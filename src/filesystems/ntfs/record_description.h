// What a scan of the MFT takes from one record without reading anything
// else: names, times, the unnamed data's size and first cluster.
#pragma once

#include <cstdint>

#include "common/endian.h"
#include "filesystems/ntfs/file_name.h"
#include "filesystems/ntfs/record.h"

namespace vandrel {

// What a scan of the MFT takes from one record.
struct TNtfsRecordDescription {
  TNtfsRecordInfo Info;
  TNtfsNameChoice Names;
  // $STANDARD_INFORMATION.
  std::uint64_t CreationTime = 0;
  std::uint64_t WriteTime = 0;
  std::uint64_t ChangeTime = 0;
  std::uint32_t FileAttributes = 0;
  // The unnamed $DATA: resident, or its extent from VCN 0.
  bool HasData = false;
  std::int64_t DataSize = 0;
  std::int64_t FirstLcn = -1;  // first allocated cluster of its runs here
  bool HasAttributeList = false;
};
// Describes a fixed-up record; runs reaching past `clusterCount` clusters
// (when > 0) are not taken as its first cluster. False when it is not a
// "FILE" record.
bool DescribeRecord(ByteSpan record, std::int64_t clusterCount, TNtfsRecordDescription& out);

}  // namespace vandrel
