// The NTFS boot sector: the volume's geometry and where $MFT and its
// mirror start.
#pragma once

#include <cstdint>

#include "common/endian.h"

namespace vandrel {

inline constexpr std::uint64_t kNtfsBootOemId = 3;  // "NTFS    "
inline constexpr std::uint64_t kNtfsBootBytesPerSector = 11;
inline constexpr std::uint64_t kNtfsBootSectorsPerCluster = 13;
// Unused by NTFS; the formatters write 0x80 0x00 0x80 0x00 here.
inline constexpr std::uint64_t kNtfsBootDriveSignature = 36;
inline constexpr std::uint64_t kNtfsBootTotalSectors = 40;
inline constexpr std::uint64_t kNtfsBootMftLcn = 48;
inline constexpr std::uint64_t kNtfsBootMirrLcn = 56;
inline constexpr std::uint64_t kNtfsBootClustersPerRecord = 0x40;
inline constexpr std::uint64_t kNtfsBootClustersPerIndexBlock = 0x44;

// Geometry read from the boot sector.
struct TNtfsBoot {
  std::uint32_t BytesPerSector = 512;
  std::uint32_t ClusterSize = 4096;
  std::uint32_t RecordSize = 1024;      // MFT record
  std::uint32_t IndexBlockSize = 4096;  // $I30 index block
  std::int64_t TotalSectors = 0;
  std::int64_t MftLcn = 0;
  std::int64_t MirrLcn = 0;
};

// Reads the boot sector; false when it is not an NTFS boot sector or its
// geometry is out of range (the fields accepted so far stay in `out`).
bool ParseNtfsBoot(ByteSpan sector, TNtfsBoot& out);

}  // namespace vandrel
