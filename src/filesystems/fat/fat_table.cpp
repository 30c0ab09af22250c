// The FAT itself and the chains through it.
#include "filesystems/fat/fat_table.h"

#include <algorithm>
#include <map>

#include "common/error_codes.h"
#include "common/func.h"
#include "common/log.h"
#include "filesystems/fat/fat.h"
#include "filesystems/volume_read.h"

namespace vandrel {

TFileSystemKind FatWidthForClusters(std::int64_t clusterCount) {
  return clusterCount <= kFat12MaxClusters ? TFileSystemKind::kFat12
         : clusterCount <= kFat16MaxClusters ? TFileSystemKind::kFat16
                                              : TFileSystemKind::kFat32;
}

std::int64_t FatEntry(ByteSpan table, std::uint64_t index, TFileSystemKind width) {
  switch (width) {
    case TFileSystemKind::kFat32:
      if (index > UINT64_MAX / 4 || !Fits(table, index * 4, 4)) return -1;
      return Le32(table, index * 4) & kFat32EntryMask;
    case TFileSystemKind::kFat16:
      if (index > UINT64_MAX / 2 || !Fits(table, index * 2, 2)) return -1;
      return Le16(table, index * 2);
    default: {
      // Two entries share three bytes: the odd one takes the high 12 bits.
      if (index > UINT64_MAX / 2) return -1;
      const std::uint64_t offset = index + index / 2;
      if (!Fits(table, offset, 2)) return -1;
      const std::uint16_t word = Le16(table, offset);
      return (index & 1) != 0 ? word >> 4 : word & kFat12EntryMask;
    }
  }
}

bool IsFatEndOfChain(std::int64_t value, TFileSystemKind width) {
  if (value < 0) return true;
  switch (width) {
    case TFileSystemKind::kFat12: return value > kFat12LastCluster;
    case TFileSystemKind::kFat16: return value > kFat16LastCluster;
    default: return value > kFat32LastCluster;
  }
}

std::uint64_t FatTableBytes(std::uint64_t entries, TFileSystemKind width) {
  switch (width) {
    case TFileSystemKind::kFat12: return (entries * 3 + 1) / 2;
    case TFileSystemKind::kFat16: return entries * 2;
    default: return entries * 4;
  }
}

bool TFAT::LoadFatCopy(int copy) {
  fat_.clear();
  fat_.shrink_to_fit();
  {
    std::lock_guard lock(freeCountMutex_);
    freeBefore_.clear();
  }
  if (boot_.empty()) {
    LogEvent(kSenderFat, 32, 0, Sprintf("No Fat Copy %d", copy), 3);
    return false;
  }
  if (copy < 0 || static_cast<std::uint32_t>(copy) >= numberOfFats_) return false;
  // Only the part that describes clusters of the volume is loaded: a
  // damaged boot sector cannot make us allocate more than the volume needs.
  const std::uint64_t entries = static_cast<std::uint64_t>(clusterCount_) + 2;
  const std::uint64_t length = std::min(fatBytes_, FatTableBytes(entries, fatType_));
  const std::uint64_t start = FatSectorOffset(std::int64_t{reservedSectors_} + std::int64_t{copy} * sectorsPerFat_);
  const std::uint64_t volumeBytes = static_cast<std::uint64_t>(std::max<std::int64_t>(storage_->SectorCount, 0)) *
                                    static_cast<std::uint64_t>(sectorSize_);
  if (start >= volumeBytes || length > volumeBytes - start) return false;
  LogEvent(kSenderFat, 0, 0, Sprintf("Fat size: %llu bytes", static_cast<unsigned long long>(fatBytes_)), 0);
  fat_.resize(static_cast<std::size_t>(length));
  // A FAT sector that cannot be read leaves zeros: those clusters look free.
  ReadVolumeBytes(*storage_, start, fat_.data(), fat_.size());
  return true;
}

std::int64_t TFAT::FatEntry(std::int64_t cluster) const {
  if (fat_.empty() || cluster < 0) return -1;
  return vandrel::FatEntry(fat_, static_cast<std::uint64_t>(cluster), fatType_);
}

bool TFAT::IsEndOfChain(std::int64_t value) const { return IsFatEndOfChain(value, fatType_); }

std::int64_t TFAT::NextFreeCluster(std::int64_t cluster) const {
  const std::int64_t last = clusterCount_ + 1;
  for (std::int64_t x = std::max<std::int64_t>(cluster + 1, 2); x <= last; ++x)
    if (FatEntry(x) == kFatFreeCluster) return x;
  return cluster + 1;
}

void TFAT::ChainRuns(std::int64_t cluster, std::uint64_t maxClusters, bool freeEnds, std::vector<Run>& runs) const {
  runs.clear();
  // Closed runs by first cluster, to notice a chain that comes back.
  std::map<std::uint32_t, std::uint32_t> seen;
  auto visited = [&](std::int64_t c) {
    const auto key = static_cast<std::uint32_t>(c);
    auto it = seen.upper_bound(key);
    if (it == seen.begin()) return false;
    --it;
    return key < it->first + it->second;
  };
  std::uint64_t total = 0;
  std::int64_t c = cluster;
  // Bounded by `maxClusters` and by the loop check: a chain visits each
  // cluster of the volume at most once.
  while (total < maxClusters && IsValidCluster(c)) {
    if (!runs.empty() && runs.back().first + runs.back().count == c) {
      if (visited(c)) break;
      ++runs.back().count;
    } else {
      if (!runs.empty()) {
        const Run& last = runs.back();
        if (c >= last.first && c < std::int64_t{last.first} + last.count) break;
        seen.emplace(last.first, last.count);
      }
      if (visited(c)) break;
      runs.push_back(Run{static_cast<std::uint32_t>(c), 1});
    }
    ++total;
    std::int64_t next = FatEntry(c);
    if (next == kFatFreeCluster) {
      if (freeEnds) break;
      next = c + 1;  // a cleared entry inside a file: assume the next cluster
    }
    if (IsEndOfChain(next)) break;
    c = next;
  }
}

std::int64_t TFAT::ChainLength(std::int64_t cluster) const {
  std::vector<Run> runs;
  ChainRuns(cluster, static_cast<std::uint64_t>(clusterCount_), true, runs);
  std::int64_t length = 0;
  for (const Run& run : runs) length += run.count;
  return std::max<std::int64_t>(length, 1);
}

std::int64_t TFAT::FreeBefore(std::int64_t index) const {
  // Free entries are counted per block once; a count then walks at most one
  // block. A folder of garbage entries with huge sizes asks for many long
  // ranges, which walked one by one would make its listing endless.
  std::lock_guard lock(freeCountMutex_);
  if (freeBefore_.empty()) {
    const std::int64_t blocks = clusterCount_ / kFreeCountBlock + 1;
    freeBefore_.assign(static_cast<std::size_t>(blocks), 0);
    std::int64_t free = 0;
    for (std::int64_t i = 0; i < clusterCount_; ++i) {
      if (i % kFreeCountBlock == 0) freeBefore_[static_cast<std::size_t>(i / kFreeCountBlock)] = free;
      if (FatEntry(i + 2) == kFatFreeCluster) ++free;
    }
    if (clusterCount_ % kFreeCountBlock == 0) freeBefore_.back() = free;
  }
  const std::int64_t block = index / kFreeCountBlock;
  std::int64_t free = freeBefore_[static_cast<std::size_t>(block)];
  for (std::int64_t i = block * kFreeCountBlock; i < index; ++i)
    if (FatEntry(i + 2) == kFatFreeCluster) ++free;
  return free;
}

std::uint8_t TFAT::InUsePercent(std::int64_t size, std::int64_t cluster) const {
  if (clusterSize_ == 0 || !IsValidCluster(cluster)) return 0;
  const std::int64_t last = std::min<std::int64_t>(cluster + std::max<std::int64_t>(size, 0) / clusterSize_,
                                                   clusterCount_ + 1);
  const std::int64_t examined = last - cluster + 1;
  // Clusters count from 2 in the FAT, from 0 in the block counts.
  const std::int64_t free = FreeBefore(last - 1) - FreeBefore(cluster - 2);
  return static_cast<std::uint8_t>((100 * (examined - free) + examined / 2) / examined);
}

}  // namespace vandrel
