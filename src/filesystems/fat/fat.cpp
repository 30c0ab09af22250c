#include "filesystems/fat/fat.h"

#include <algorithm>
#include <cstring>

#include "common/endian.h"
#include "common/func.h"
#include "common/log.h"
#include "common/text.h"
#include "common/error_codes.h"
#include "filesystems/fat/boot_sector.h"
#include "filesystems/fat/directory.h"
#include "filesystems/fat/fat_table.h"
#include "filesystems/volume_read.h"

namespace vandrel {

TFAT::TFAT(TStorage* storage) : FileSystem(storage) {}

TFAT::~TFAT() = default;

bool TFAT::Open() {
  opened_ = false;
  if (storage_ == nullptr || sectorSize_ <= 0) return false;
  boot_.assign(static_cast<std::size_t>(sectorSize_), 0);
  if (!storage_->ReadSectors(boot_.data(), 1, 0, TReadPolicy::Fail)) return false;

  const TFatBpb bpb = ParseFatBpb(boot_);
  std::uint32_t bps = bpb.BytesPerSector;
  if (bps != 512 && bps != 1024 && bps != 2048 && bps != 4096) bps = 512;
  // The storage keeps its own sector size: a partition is addressed in the
  // device's sectors, so FAT sectors are turned into byte offsets instead.
  bytesPerSector_ = bps;
  sectorsPerCluster_ = bpb.SectorsPerCluster;
  reservedSectors_ = bpb.ReservedSectors;
  numberOfFats_ = bpb.FatCount;
  rootEntries_ = bpb.RootEntries;
  if (sectorsPerCluster_ == 0 || numberOfFats_ == 0) return false;
  rootDirSectors_ = (std::int64_t{rootEntries_} * std::int64_t{kFatDirEntrySize} + bps - 1) / bps;
  clusterSize_ = bps * sectorsPerCluster_;
  sectorsPerFat_ = bpb.SectorsPerFat;
  totalSectors_ = bpb.TotalSectors;
  dataStartSector_ = std::int64_t{reservedSectors_} + std::int64_t{numberOfFats_} * sectorsPerFat_ + rootDirSectors_;
  dataSectors_ = totalSectors_ - dataStartSector_;
  clusterCount_ = dataSectors_ / sectorsPerCluster_;
  if (clusterCount_ <= 0 || sectorsPerFat_ == 0) return false;
  fatType_ = FatWidthForClusters(clusterCount_);
  rootCluster_ = fatType_ == kFat32 ? std::int64_t{bpb.RootCluster & kFat32EntryMask} : 0;
  fatBytes_ = static_cast<std::uint64_t>(sectorsPerFat_) * bps;
  opened_ = LoadFatCopy(0);
  return opened_;
}

std::int64_t TFAT::ClusterToSector(std::int64_t cluster) const {
  if (cluster < 2) return 0;
  return (cluster - 2) * sectorsPerCluster_ + dataStartSector_;
}

std::int64_t TFAT::SectorToCluster(std::int64_t sector) const {
  if (sectorsPerCluster_ == 0) return 0;
  return (sector - dataStartSector_) / sectorsPerCluster_ + 2;
}

std::uint64_t TFAT::ClusterOffset(std::int64_t cluster) const { return FatSectorOffset(ClusterToSector(cluster)); }

bool TFAT::IsSectorInUse(std::int64_t sector) {
  // `sector` counts the storage's sectors.
  if (bytesPerSector_ == 0) return false;
  const std::int64_t fatSector = sector * sectorSize_ / static_cast<std::int64_t>(bytesPerSector_);
  const std::int64_t value = FatEntry(SectorToCluster(fatSector));
  return value != 0 && value != -1;
}

std::int64_t TFAT::GetDataStartSector(const TFileEntry& entry) {
  if (sectorSize_ <= 0) return 0;
  return static_cast<std::int64_t>(ClusterOffset(entry.ObjectId) / static_cast<std::uint64_t>(sectorSize_));
}

bool TFAT::ReadRuns(const std::vector<Run>& runs, std::vector<std::uint8_t>& out) const {
  std::uint64_t total = 0;
  for (const Run& run : runs) total += run.count;
  out.assign(static_cast<std::size_t>(total * clusterSize_), 0);
  bool ok = true;
  std::size_t at = 0;
  for (const Run& run : runs) {
    const std::size_t length = static_cast<std::size_t>(run.count) * clusterSize_;
    if (!ReadVolumeBytes(*storage_, ClusterOffset(run.first), out.data() + at, length)) {
      LogEvent(kSenderFat, kErrRead, 0,
               Sprintf("Cluster: %u; Sector:  %lld", run.first, static_cast<long long>(ClusterToSector(run.first))), 3);
      ok = false;
    }
    at += length;
  }
  return ok;
}

// ------------------------------------------------------------ directories

bool TFAT::IsValidDirCluster(std::int64_t cluster) const {
  if (IsRootCluster(cluster)) return true;
  if (!IsValidCluster(cluster)) return false;
  std::vector<std::uint8_t> sector(bytesPerSector_);
  if (!ReadVolumeBytes(*storage_, ClusterOffset(cluster), sector.data(), sector.size())) return false;
  // A subfolder starts with "." and "..".
  return sector.size() > kFatDirEntrySize && sector[kFatDirName] == '.' && sector[kFatDirEntrySize + kFatDirName] == '.';
}

std::vector<std::int64_t> TFAT::FindCandidateClusters(std::int64_t cluster) const {
  std::vector<std::int64_t> candidates;
  const std::int64_t last = clusterCount_ + 1;
  for (std::int64_t x = cluster + 1; x <= last && candidates.size() < 512; ++x)
    if (FatEntry(x) == kFatFreeCluster && (x & 0xFFFF) == (cluster & 0xFFFF)) candidates.push_back(x);
  return candidates;
}

std::int64_t TFAT::EntryCluster(ByteSpan raw) const { return ParseFatDirEntry(raw).FirstCluster(fatType_ == kFat32); }

bool TFAT::ReadDirectory(TFatFindHandle& find, std::int64_t cluster) {
  const std::uint64_t maxClusters = (kFatMaxDirEntries * kFatDirEntrySize + clusterSize_ - 1) / clusterSize_;
  std::vector<Run> runs;
  if (find.root && fatType_ != kFat32) {
    const std::uint64_t start = FatSectorOffset(std::int64_t{reservedSectors_} + std::int64_t{numberOfFats_} * sectorsPerFat_);
    find.data.assign(static_cast<std::size_t>(rootDirSectors_ * bytesPerSector_), 0);
    if (!ReadVolumeBytes(*storage_, start, find.data.data(), find.data.size())) {
      LogEvent(kSenderFat, kErrRead, 0, "Root directory", 3);
      find.data.clear();
      return false;
    }
    return true;
  }
  if (find.root) {
    ChainRuns(rootCluster_, maxClusters, true, runs);
    if (!ReadRuns(runs, find.data)) find.damaged = true;
    find.dirCluster = 0;
    return true;
  }
  if (IsValidDirCluster(cluster)) {
    ChainRuns(cluster, maxClusters, true, runs);
    if (!ReadRuns(runs, find.data)) find.damaged = true;
    return true;
  }
  // The recorded cluster holds no directory any more (a deleted FAT32
  // directory often keeps only the low word of its cluster): look for it
  // among free clusters.
  for (std::int64_t candidate : FindCandidateClusters(cluster)) {
    if (!IsValidDirCluster(candidate)) continue;
    LogText("Length:" + std::to_string(ChainLength(candidate)));
    std::vector<std::uint8_t> one;
    for (std::int64_t c = candidate; c < candidate + 100 && IsValidCluster(c); ++c) {
      ReadRuns({Run{static_cast<std::uint32_t>(c), 1}}, one);
      find.data.insert(find.data.end(), one.begin(), one.end());
      bool last = false;
      for (std::size_t at = 0; at + kFatDirEntrySize <= one.size(); at += kFatDirEntrySize) {
        const TFatDirEntry entry = ParseFatDirEntry(ByteSpan(one).subspan(at, kFatDirEntrySize));
        const std::int64_t first = entry.FirstCluster(fatType_ == kFat32);
        if (entry.IsEnd() || first <= 0 || first > clusterCount_) last = true;
      }
      if (last) break;
    }
    LogText("Found valid dir at:" + std::to_string(candidate));
    find.dirCluster = candidate;
    return true;
  }
  return false;
}

bool TFAT::IsValidFolder(TFatFindHandle& find) const {
  if (find.root) return true;
  if (find.data.empty()) return false;
  auto slotCluster = [&](std::size_t slot, const char* name) -> std::int64_t {
    const std::size_t at = slot * kFatDirEntrySize;
    if (at + kFatDirEntrySize > find.data.size() || std::memcmp(find.data.data() + at, name, kFatDirNameLength) != 0)
      return -1;
    return EntryCluster(ByteSpan(find.data).subspan(at, kFatDirEntrySize));
  };
  std::int64_t self = slotCluster(0, ".          ");
  if (self == -1) self = slotCluster(1, ".          ");
  std::int64_t parent = slotCluster(1, "..         ");
  if (parent == -1) parent = slotCluster(0, "..         ");
  const bool parentMatches = find.parentCluster == -1 || parent == find.parentCluster ||
                             (IsRootCluster(parent) && IsRootCluster(find.parentCluster));
  return self == find.dirCluster && parentMatches;
}

FsHandle TFAT::FindFirst(const TFileEntry& directory, TFileEntry& out) {
  return FindFirstChecked(directory, out, true);
}

FsHandle TFAT::FindFirstChecked(const TFileEntry& directory, TFileEntry& out, bool folderCheck) {
  if (!opened_) return kNoHandle;
  const std::int64_t cluster = directory.ObjectId;
  if (cluster == -1) return kNoHandle;
  // Cluster 0 stands for the root only in the root entry and in "..";
  // a named entry without a cluster is an empty file.
  const bool root = (cluster == 0 && (directory.Name.empty() || directory.Name == "..")) ||
                    (cluster != 0 && IsRootCluster(cluster));
  if (cluster == 0 && !root) return kNoHandle;
  auto find = std::make_unique<TFatFindHandle>();
  find->root = root;
  find->dirCluster = root ? 0 : cluster;
  find->parentCluster = root ? -1 : directory.ParentId;
  try {
    ReadDirectory(*find, cluster);
  } catch (const std::exception& error) {
    LogEvent(kSenderFat, kErrException, 0, error.what(), 3);
    find->data.clear();
  }
  find->deleted = !root && FatEntry(find->dirCluster) == 0;
  if (folderCheck && !IsValidFolder(*find)) find->data.clear();
  // Every folder holds "." and ".." at least: a live one that yields
  // nothing has a first cluster out of range or unreadable.
  if (find->data.empty() && !find->deleted && (directory.Attributes & kAttrDeleted) == 0) find->damaged = true;

  out.Clear();
  out.Name = "..";
  out.Attributes = kAttrDirectory | kAttrParentLink;
  // ".." leads to the parent: the one the caller came from, else the one
  // the directory itself records.
  std::int64_t parent = find->parentCluster;
  if (parent == -1 && find->data.size() >= 2 * kFatDirEntrySize) {
    const TFatDirEntry second = ParseFatDirEntry(ByteSpan(find->data).subspan(kFatDirEntrySize, kFatDirEntrySize));
    if (second.IsDotEntry()) parent = second.FirstCluster(fatType_ == kFat32);
  }
  out.ObjectId = root ? 0 : std::max<std::int64_t>(parent, 0);
  out.ParentId = -1;
  out.Storage = storage_;
  out.Fs = this;
  return finds_.Add(std::move(find));
}

FsHandle TFAT::FindFirstByPath(std::string_view directoryPath, TFileEntry& out) {
  if (!opened_) return kNoHandle;
  // A path through ".." reaches directories by their recorded parent,
  // whose own check would not match.
  const bool folderCheck = directoryPath.find("/..") == std::string_view::npos;
  TFileEntry directory;
  if (!LookupPath(directoryPath, directory, false, nullptr)) {
    LogEvent(kSenderFat, kErrFatNotFound, 0, directoryPath, 3);
    return kNoHandle;
  }
  if (!directory.Name.empty() && directory.Name != "..") directory.ParentId = -1;
  return FindFirstChecked(directory, out, folderCheck);
}

void TFAT::FillEntry(const TFatFindHandle& find, const TFatDirEntry& raw, TFileEntry& out) {
  out.Clear();
  const bool erased = raw.IsErased();
  const bool deleted = erased || find.deleted;
  out.Attributes = raw.Attributes | (deleted ? kAttrDeleted : 0);
  out.CreationTime = FatTimeToFileTime(raw.CreationDate, raw.CreationTime);
  out.LastWriteTime = FatTimeToFileTime(raw.WriteDate, raw.WriteTime);
  out.LastAccessTime = out.LastWriteTime;
  out.Size = (raw.Attributes & kAttrDirectory) != 0 ? 0 : std::int64_t{raw.FileSize};
  out.ObjectId = raw.FirstCluster(fatType_ == kFat32);
  out.ParentId = find.dirCluster;
  out.Storage = storage_;
  out.Fs = this;

  // A name whose first byte is 0xE5 stores it as 0x05.
  const std::uint8_t first = raw.Name[0] == kFatDirEscapedE5 ? kFatDirErased : raw.Name[0];
  // The long name counts only when its checksum matches this short name;
  // the first byte of an erased name is unknown, so any value may match.
  bool useLong = false;
  if (!find.longName.empty() && find.longNameChecksum >= 0) {
    std::array<std::uint8_t, kFatDirNameLength> name11 = raw.Name;
    if (!erased) {
      name11[0] = first;
      useLong = FatShortNameChecksum(name11.data()) == find.longNameChecksum;
    } else {
      for (int candidate = 0; candidate < 256 && !useLong; ++candidate) {
        name11[0] = static_cast<std::uint8_t>(candidate);
        useLong = FatShortNameChecksum(name11.data()) == find.longNameChecksum;
      }
    }
  }
  std::string name = Latin1ToUtf8(FatShortName(raw, erased ? std::uint8_t{'x'} : first));
  if (useLong) {
    std::vector<std::uint16_t> units = find.longName;
    const auto end = std::find(units.begin(), units.end(), std::uint16_t{0});
    units.erase(end, units.end());
    // Lookups take the short name too, as FAT does.
    out.ShortName = std::move(name);
    name = Utf16ToUtf8(units);
    if (erased && !name.empty()) {
      std::size_t pos = 0;
      NextCodePoint(name, pos);
      name.replace(0, pos, "x");
    }
  }
  if (name.empty()) name = Sprintf("RECOVERED_FOLDER_%lld", static_cast<long long>(out.ObjectId));
  out.Name = std::move(name);
  if (deleted) out.Mark = InUsePercent(out.Size, out.ObjectId);
  // A live file's chain must reach its size; the bytes past it fail to read.
  if (!deleted && !out.IsDirectory() && out.Size > 0) {
    const std::uint64_t needed = (static_cast<std::uint64_t>(out.Size) + clusterSize_ - 1) / clusterSize_;
    std::vector<Run> runs;
    ChainRuns(out.ObjectId, needed, false, runs);
    std::uint64_t mapped = 0;
    for (const Run& run : runs) mapped += run.count;
    if (mapped < needed) out.MarkDamaged(TDamage::SizeBeyondMap);
  }
}

bool TFAT::FindNext(FsHandle handle, TFileEntry& out) {
  TFatFindHandle* find = IsInvalidHandle(handle) ? nullptr : finds_.Get(handle);
  if (find == nullptr) return false;
  while (find->cursor + kFatDirEntrySize <= find->data.size()) {
    const ByteSpan bytes = ByteSpan(find->data).subspan(find->cursor, kFatDirEntrySize);
    find->cursor += kFatDirEntrySize;
    const TFatDirEntry raw = ParseFatDirEntry(bytes);
    if (raw.IsEnd() && raw.ClusterLow == 0) {
      // End of the directory: what follows is left over from deleted entries.
      find->deleted = true;
      find->longName.clear();
      continue;
    }
    if (IsFatLfnEntry(bytes)) {
      const TFatLfnPart part = ParseFatLfnPart(bytes);
      // The last part of a name comes first; an erased part has lost its
      // order byte, so only the checksum tells where its name begins.
      if (part.IsLastPart() || part.Checksum != find->longNameChecksum) find->longName.clear();
      find->longNameChecksum = part.Checksum;
      find->longName.insert(find->longName.begin(), part.Units.begin(), part.Units.end());
      // A chain of long-name entries longer than a name can be is damage.
      if (find->longName.size() > kFatLfnMaxParts * kFatLfnUnits) find->longName.clear();
      continue;
    }
    // "." and ".." (".." is the listing's first entry already) and the
    // volume label are not files of the directory.
    const bool label = (raw.Attributes & kAttrVolumeLabel) != 0 && (raw.Attributes & kAttrDirectory) == 0;
    if (label || raw.IsDotEntry()) {
      find->longName.clear();
      find->longNameChecksum = -1;
      continue;
    }
    FillEntry(*find, raw, out);
    find->longName.clear();
    find->longNameChecksum = -1;
    return true;
  }
  return false;
}

TDamage TFAT::FindDamage(const TFileEntry&, FsHandle handle) {
  const TFatFindHandle* find = IsInvalidHandle(handle) ? nullptr : finds_.Get(handle);
  return find != nullptr && find->damaged ? TDamage::FolderUnreadable : TDamage::None;
}

void TFAT::FindClose(FsHandle handle) {
  if (!IsInvalidHandle(handle)) finds_.Remove(handle);
}

}  // namespace vandrel
