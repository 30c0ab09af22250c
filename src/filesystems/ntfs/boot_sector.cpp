#include "filesystems/ntfs/boot_sector.h"

#include <bit>

namespace vandrel {
namespace {

bool PowerOfTwoIn(std::uint64_t value, std::uint64_t low, std::uint64_t high) {
  return value >= low && value <= high && std::has_single_bit(value);
}

// Bytes of a record or index block: clusters when positive, 2^-n bytes when
// negative.
std::uint64_t SizeFromClusters(std::int8_t raw, std::uint32_t clusterSize) {
  if (raw > 0) return static_cast<std::uint64_t>(raw) * clusterSize;
  if (raw < 0 && raw >= -31) return std::uint64_t{1} << (-raw);
  return 0;
}

}  // namespace

bool ParseNtfsBoot(ByteSpan s, TNtfsBoot& out) {
  if (!BytesEqual(s, kNtfsBootOemId, "NTFS    ")) return false;
  bool ok = true;
  const std::uint32_t bytesPerSector = Le16(s, kNtfsBootBytesPerSector);
  if (PowerOfTwoIn(bytesPerSector, 256, 4096)) {
    out.BytesPerSector = bytesPerSector;
  } else {
    ok = false;
  }
  const std::uint8_t rawSpc = Le8(s, kNtfsBootSectorsPerCluster);
  std::uint64_t clusterSize = 0;
  if (rawSpc <= 0x80) {
    clusterSize = std::uint64_t{rawSpc} * out.BytesPerSector;
  } else if (256 - rawSpc <= 31) {
    clusterSize = std::uint64_t{1} << (256 - rawSpc);
  }
  if (PowerOfTwoIn(clusterSize, 256, 2u << 20)) {
    out.ClusterSize = static_cast<std::uint32_t>(clusterSize);
  } else {
    ok = false;
  }
  const std::uint64_t recordSize = SizeFromClusters(LeS8(s, kNtfsBootClustersPerRecord), out.ClusterSize);
  if (PowerOfTwoIn(recordSize, 256, 65536)) {
    out.RecordSize = static_cast<std::uint32_t>(recordSize);
  } else {
    ok = false;
  }
  const std::uint64_t blockSize = SizeFromClusters(LeS8(s, kNtfsBootClustersPerIndexBlock), out.ClusterSize);
  if (PowerOfTwoIn(blockSize, 256, 65536)) {
    out.IndexBlockSize = static_cast<std::uint32_t>(blockSize);
  } else {
    ok = false;
  }
  out.TotalSectors = LeS64(s, kNtfsBootTotalSectors);
  out.MftLcn = LeS64(s, kNtfsBootMftLcn);
  out.MirrLcn = LeS64(s, kNtfsBootMirrLcn);
  return ok;
}

}  // namespace vandrel
