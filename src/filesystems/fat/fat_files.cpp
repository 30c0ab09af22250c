// File access of the FAT reader: the clusters of a file are mapped into
// runs when it is opened, so reads and seeks need no chain walk.
#include <algorithm>
#include <cstring>

#include "common/func.h"
#include "common/log.h"
#include "filesystems/fat/fat.h"
#include "filesystems/fat/fat_table.h"
#include "common/error_codes.h"
#include "filesystems/volume_read.h"

namespace vandrel {

void TFAT::MapFile(TFatFileHandle& file) const {
  file.runs.clear();
  const std::uint64_t clusters = (static_cast<std::uint64_t>(file.size) + clusterSize_ - 1) / clusterSize_;
  const std::int64_t first = file.firstCluster;
  switch (file.mode) {
    case TFatReadMode::kChain:
      ChainRuns(first, clusters, false, file.runs);
      break;
    case TFatReadMode::kContiguous:
      if (IsValidCluster(first)) {
        const std::uint64_t available = static_cast<std::uint64_t>(clusterCount_ + 2 - first);
        file.runs.push_back(Run{file.firstCluster, static_cast<std::uint32_t>(std::min(clusters, available))});
      }
      break;
    case TFatReadMode::kFreeClusters: {
      std::int64_t c = first;
      if (FatEntry(c) != 0) c = NextFreeCluster(c);
      for (std::uint64_t i = 0; i < clusters && IsValidCluster(c) && FatEntry(c) == 0; ++i) {
        if (!file.runs.empty() && file.runs.back().first + file.runs.back().count == c)
          ++file.runs.back().count;
        else
          file.runs.push_back(Run{static_cast<std::uint32_t>(c), 1});
        c = NextFreeCluster(c);
      }
      break;
    }
  }
  file.runStart.clear();
  std::uint64_t at = 0;
  for (const Run& run : file.runs) {
    file.runStart.push_back(at);
    at += run.count;
  }
  file.mappedClusters = at;
}

FsHandle TFAT::OpenFile(const TFileEntry& entry) {
  // Deleted files have no chain left: their clusters are read in a row.
  return OpenFile(entry, (entry.Attributes & kAttrDeleted) != 0 ? TFatReadMode::kContiguous : TFatReadMode::kChain);
}

FsHandle TFAT::OpenFile(const TFileEntry& entry, TFatReadMode mode) {
  if (!opened_ || clusterSize_ == 0) return kNoHandle;
  auto file = std::make_unique<TFatFileHandle>();
  file->firstCluster = static_cast<std::uint32_t>(entry.ObjectId & kFat32EntryMask);
  file->size = std::max<std::int64_t>(entry.Size, 0);
  file->mode = mode;
  MapFile(*file);
  return files_.Add(std::move(file));
}

std::int32_t TFAT::ReadAt(FsHandle handle, std::int64_t offset, void* buffer, std::int32_t count) {
  TFatFileHandle* file = IsInvalidHandle(handle) ? nullptr : files_.Get(handle);
  if (file == nullptr) return -1;
  if (count <= 0 || offset < 0 || offset >= file->size) return 0;
  auto* out = static_cast<std::uint8_t*>(buffer);
  const std::uint64_t wanted = std::min<std::uint64_t>(static_cast<std::uint64_t>(count),
                                                       static_cast<std::uint64_t>(file->size - offset));
  std::uint64_t done = 0;
  while (done < wanted) {
    const std::uint64_t position = static_cast<std::uint64_t>(offset) + done;
    const std::uint64_t index = position / clusterSize_;
    if (index >= file->mappedClusters) {
      if (!file->shortLogged.exchange(true))
        LogEvent(kSenderFat, kErrClusterList, 0,
                 Sprintf("Cluster chain of %u ends before the file's size", file->firstCluster), 3);
      // Past the chain there is nothing of the file: a failure, not its end.
      if (done == 0) return -1;
      break;
    }
    const auto it = std::upper_bound(file->runStart.begin(), file->runStart.end(), index) - 1;
    const Run& run = file->runs[static_cast<std::size_t>(it - file->runStart.begin())];
    const std::uint64_t inRun = index - *it;
    const std::uint64_t within = position % clusterSize_;
    const std::uint64_t contiguous = (run.count - inRun) * clusterSize_ - within;
    const std::uint64_t take = std::min(contiguous, wanted - done);
    const std::int64_t cluster = std::int64_t{run.first} + static_cast<std::int64_t>(inRun);
    if (!ReadVolumeBytes(*storage_, ClusterOffset(cluster) + within, out + done, static_cast<std::size_t>(take))) {
      LogEvent(kSenderFat, kErrRead, 0,
               Sprintf("Cluster: %lld; Sector:  %lld", static_cast<long long>(cluster),
                       static_cast<long long>(ClusterToSector(cluster))),
               3);
      // Unreadable clusters are not data: the bytes before them are the
      // answer, -1 when the position itself cannot be read.
      if (done == 0) return -1;
      break;
    }
    done += take;
  }
  return static_cast<std::int32_t>(done);
}

std::int64_t TFAT::Seek(FsHandle handle, int origin, std::int64_t offset) {
  TFatFileHandle* file = IsInvalidHandle(handle) ? nullptr : files_.Get(handle);
  if (file == nullptr) return 0;
  std::int64_t position = 0;
  switch (origin) {
    case kSeekBegin: position = offset; break;
    case kSeekCurrent: position = file->position + offset; break;
    case kSeekEnd: position = file->size - offset; break;
    default:
      LogText("Error: FAT_FUNC.TFAT.Seek().Origin =" + std::to_string(origin));
      return 0;
  }
  file->position = std::max<std::int64_t>(position, 0);
  return file->position;
}

bool TFAT::IsEof(FsHandle handle) {
  TFatFileHandle* file = IsInvalidHandle(handle) ? nullptr : files_.Get(handle);
  return file == nullptr || file->position >= file->size;
}

std::int64_t TFAT::GetFileSize(FsHandle handle) {
  TFatFileHandle* file = IsInvalidHandle(handle) ? nullptr : files_.Get(handle);
  return file == nullptr ? -1 : file->size;
}

TDamage TFAT::ReadDamage(FsHandle handle) {
  const TFatFileHandle* file = IsInvalidHandle(handle) ? nullptr : files_.Get(handle);
  if (file == nullptr || file->mode != TFatReadMode::kChain) return TDamage::None;
  const std::uint64_t needed = (static_cast<std::uint64_t>(file->size) + clusterSize_ - 1) / clusterSize_;
  return file->mappedClusters < needed ? TDamage::SizeBeyondMap : TDamage::None;
}

bool TFAT::CloseFile(FsHandle& handle) {
  const bool removed = !IsInvalidHandle(handle) && files_.Remove(handle);
  handle = kNoHandle;
  return removed;
}

}  // namespace vandrel
