// The FAT12/16/32 reader: boot sector and first FAT in memory, directories
// from their raw 32-byte entries (long names included, deleted entries
// listed for recovery), files by their cluster chains.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/endian.h"
#include "filesystems/fat/directory.h"
#include "filesystems/file_system.h"

namespace vandrel {

// The FAT widths are file-system kinds.
inline constexpr TFileSystemKind kFat12 = TFileSystemKind::kFat12;
inline constexpr TFileSystemKind kFat16 = TFileSystemKind::kFat16;
inline constexpr TFileSystemKind kFat32 = TFileSystemKind::kFat32;

// How a file's clusters are found: by its chain, as consecutive clusters
// from the first one (a deleted file has no chain left), or as the free
// clusters from the first one on (a deleted file whose neighbours were
// written since).
enum class TFatReadMode { kChain, kContiguous, kFreeClusters };

class TFAT : public FileSystem {
 public:
  explicit TFAT(TStorage* storage);
  ~TFAT() override;

  // A reader whose boot sector gave no width still reads FAT.
  TFileSystemKind GetKind() override { return IsFat(fatType_) ? fatType_ : kFat32; }
  bool Open() override;
  void Prepare() override { prepared_ = true; }
  bool IsSectorInUse(std::int64_t sector) override;
  std::int64_t GetDataStartSector(const TFileEntry& entry) override;
  FsHandle FindFirstByPath(std::string_view directoryPath, TFileEntry& out) override;
  FsHandle FindFirst(const TFileEntry& directory, TFileEntry& out) override;
  bool FindNext(FsHandle handle, TFileEntry& out) override;
  void FindClose(FsHandle handle) override;
  TDamage FindDamage(const TFileEntry& directory, FsHandle handle) override;
  // By the chain; a deleted entry's clusters are read consecutively.
  FsHandle OpenFile(const TFileEntry& entry) override;
  FsHandle OpenFile(const TFileEntry& entry, TFatReadMode mode);
  std::int32_t ReadAt(FsHandle handle, std::int64_t offset, void* buffer, std::int32_t count) override;
  bool CloseFile(FsHandle& handle) override;
  TDamage ReadDamage(FsHandle handle) override;
  std::int64_t Seek(FsHandle handle, int origin, std::int64_t offset) override;
  bool IsEof(FsHandle handle) override;
  std::int64_t GetFileSize(FsHandle handle) override;
  std::string GetSectorList(const TFileEntry&) override { return {}; }

  TFileSystemKind FatType() const { return fatType_; }
  std::int64_t ClusterCount() const { return clusterCount_; }
  std::uint32_t BytesPerSector() const { return bytesPerSector_; }

  // -1 without a FAT or beyond it; FAT32 entries keep their low 28 bits.
  std::int64_t FatEntry(std::int64_t cluster) const;
  bool IsEndOfChain(std::int64_t value) const;
  // First sector (of the boot sector's size) of a cluster; 0 below 2.
  std::int64_t ClusterToSector(std::int64_t cluster) const;
  std::int64_t SectorToCluster(std::int64_t sector) const;
  // Clusters of the chain from `cluster`, stopping at its end, a free
  // entry or a loop.
  std::int64_t ChainLength(std::int64_t cluster) const;
  // First free cluster after `cluster`; cluster + 1 when there is none.
  std::int64_t NextFreeCluster(std::int64_t cluster) const;
  // Share of a deleted file's clusters that are in use again, 0..100.
  std::uint8_t InUsePercent(std::int64_t size, std::int64_t cluster) const;

 private:
  struct Run {
    std::uint32_t first = 0;
    std::uint32_t count = 0;
  };
  struct TFatFindHandle {
    std::vector<std::uint8_t> data;
    std::size_t cursor = 0;
    std::int64_t dirCluster = 0;
    std::int64_t parentCluster = 0;
    bool deleted = false;
    bool root = false;
    bool damaged = false;  // part or all of the folder could not be read
    std::vector<std::uint16_t> longName;  // collected long-name units
    int longNameChecksum = -1;
  };
  struct TFatFileHandle {
    std::uint32_t firstCluster = 0;
    std::int64_t position = 0;
    std::int64_t size = 0;
    TFatReadMode mode = TFatReadMode::kChain;
    std::vector<Run> runs;
    std::vector<std::uint64_t> runStart;  // cluster index where each run begins
    std::uint64_t mappedClusters = 0;
    std::atomic<bool> shortLogged = false;  // the short chain is logged once, whichever thread meets it
  };

  bool LoadFatCopy(int copy);
  bool IsValidCluster(std::int64_t cluster) const { return cluster >= 2 && cluster < clusterCount_ + 2; }
  std::uint64_t ClusterOffset(std::int64_t cluster) const;
  std::uint64_t FatSectorOffset(std::int64_t sector) const {
    return static_cast<std::uint64_t>(sector) * bytesPerSector_;
  }
  // Clusters of a chain as runs, at most `maxClusters`. A free entry
  // either ends the chain (directories) or continues with the next
  // cluster (files); a cluster met twice ends it.
  void ChainRuns(std::int64_t cluster, std::uint64_t maxClusters, bool freeEnds, std::vector<Run>& runs) const;
  bool ReadRuns(const std::vector<Run>& runs, std::vector<std::uint8_t>& out) const;
  bool IsValidDirCluster(std::int64_t cluster) const;
  std::vector<std::int64_t> FindCandidateClusters(std::int64_t cluster) const;
  bool IsRootCluster(std::int64_t cluster) const {
    return cluster == 0 || (fatType_ == kFat32 && cluster == rootCluster_);
  }
  bool IsValidFolder(TFatFindHandle& find) const;
  FsHandle FindFirstChecked(const TFileEntry& directory, TFileEntry& out, bool folderCheck);
  bool ReadDirectory(TFatFindHandle& find, std::int64_t cluster);
  void FillEntry(const TFatFindHandle& find, const TFatDirEntry& raw, TFileEntry& out);
  std::int64_t EntryCluster(ByteSpan raw) const;
  void MapFile(TFatFileHandle& file) const;
  // Free clusters among the first `index` clusters of the data area.
  std::int64_t FreeBefore(std::int64_t index) const;

  bool prepared_ = false;
  bool opened_ = false;
  TFileSystemKind fatType_ = TFileSystemKind::kNone;
  std::vector<std::uint8_t> boot_;
  std::uint32_t bytesPerSector_ = 512;
  std::uint32_t sectorsPerCluster_ = 0;
  std::uint32_t reservedSectors_ = 0;
  std::uint32_t numberOfFats_ = 0;
  std::uint32_t rootEntries_ = 0;
  std::int64_t rootDirSectors_ = 0;
  std::int64_t totalSectors_ = 0;
  std::int64_t sectorsPerFat_ = 0;
  std::int64_t dataSectors_ = 0;
  std::int64_t dataStartSector_ = 0;
  std::int64_t clusterCount_ = 0;
  std::int64_t rootCluster_ = 0;
  std::uint64_t fatBytes_ = 0;
  std::vector<std::uint8_t> fat_;
  // Free clusters before each block of kFreeCountBlock clusters, counted
  // on first use.
  static constexpr std::int64_t kFreeCountBlock = 4096;
  mutable std::mutex freeCountMutex_;  // guards freeBefore_
  mutable std::vector<std::int64_t> freeBefore_;
  HandleTable<TFatFindHandle> finds_;
  HandleTable<TFatFileHandle> files_;
};

}  // namespace vandrel
