// The search for lost NTFS and FAT volumes by their boot sectors: forward
// from sector 63 along volumes that follow each other, backward from the
// last sector along volumes whose backup boot sector ends them.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace vandrel {

class TStorageWithPartitions;

struct TFoundVolume {
  std::int64_t Start = 0;
  std::int64_t Size = 0;
  std::int64_t BootPosition = -1;    // primary boot sector that proved it
  std::int64_t BackupPosition = -1;  // backup boot sector that proved it
  bool Proven = false;
  std::uint8_t Type = 0;  // 0x07, 0x01, 0x04, 0x0B; 0 when two findings disagreed
};

class TPartitionRecovery {
 public:
  // (type byte, index in the found list, sector size, size, start)
  using NotifyFn = std::function<void(std::uint8_t type, std::int32_t index, std::int32_t sectorSize,
                                      std::int64_t size, std::int64_t start)>;

  explicit TPartitionRecovery(TStorageWithPartitions* device);

  void Scan();

  NotifyFn Notify;
  const std::vector<TFoundVolume>& Found() const { return found_; }

  // Finds are bounded: the forward pass stops after this many, the backward
  // pass after this many steps.
  static constexpr int kMaxFinds = 100;
  static constexpr std::int64_t kForwardStart = 63;
  static constexpr std::int64_t kBackwardRetry = 5103;

 private:
  bool Probe(std::int64_t position, TFoundVolume& volume);
  bool ProbeNtfs(std::int64_t position, TFoundVolume& volume);
  bool ProbeFat(std::int64_t position, TFoundVolume& volume);
  bool ReadSector(std::int64_t sector);
  bool SectorBeginsWith(std::int64_t sector, std::span<const std::uint8_t> bytes);
  void Record(const TFoundVolume& volume);

  TStorageWithPartitions* device_;
  std::vector<TFoundVolume> found_;
  std::vector<std::uint8_t> scratch_;
  std::vector<std::uint8_t> boot_;
};

}  // namespace vandrel
