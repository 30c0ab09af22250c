#include "filesystems/fat/fat.h"

#include <algorithm>
#include <cstring>

#include "common/endian.h"
#include "common/func.h"
#include "common/log.h"
#include "common/text.h"
#include "common/error_codes.h"
#include "filesystems/fat/boot_sector.h"
#include "filesystems/volume_read.h"

namespace vandrel {
namespace {

constexpr std::size_t kDirEntrySize = 32;
constexpr std::uint8_t kAttrLongName = 0x0F;

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool IsDotName(const std::uint8_t* raw) {
  static constexpr char kDot[] = ".          ";
  static constexpr char kDotDot[] = "..         ";
  return std::memcmp(raw, kDot, 11) == 0 || std::memcmp(raw, kDotDot, 11) == 0;
}

// An 8.3 field up to its first blank (the first character always counts),
// lower-cased when the entry's case bit says so.
std::string ShortPart(const std::uint8_t* field, std::size_t length, bool lower) {
  std::string part;
  for (std::size_t i = 0; i < length; ++i) {
    char c = static_cast<char>(field[i]);
    if (c == ' ' && i > 0) break;
    if (lower && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    part.push_back(c);
  }
  // Trailing blanks of a name whose first character is a blank.
  while (!part.empty() && part.back() == ' ') part.pop_back();
  return part;
}

}  // namespace

std::uint64_t FatTimeToFileTime(std::uint16_t date, std::uint16_t time) {
  const unsigned day = date & 0x1F;
  const unsigned month = (date >> 5) & 0x0F;
  const std::int64_t year = (date >> 9) + 1980;
  const unsigned seconds = (time & 0x1F) * 2;
  const unsigned minutes = (time >> 5) & 0x3F;
  const unsigned hours = time >> 11;
  if (day == 0 || month == 0 || month > 12 || hours > 23 || minutes > 59 || seconds > 59) return 0;
  const std::int64_t unixSeconds = DaysFromCivil(year, month, day) * 86400 + hours * 3600 + minutes * 60 + seconds;
  return UnixToFileTime(unixSeconds);
}

std::uint8_t FatShortNameChecksum(const std::uint8_t* name11) {
  std::uint8_t sum = 0;
  for (int i = 0; i < 11; ++i) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + name11[i]);
  return sum;
}

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
  rootDirSectors_ = (std::int64_t{rootEntries_} * 32 + bps - 1) / bps;
  clusterSize_ = bps * sectorsPerCluster_;
  sectorsPerFat_ = bpb.SectorsPerFat;
  totalSectors_ = bpb.TotalSectors;
  dataStartSector_ = std::int64_t{reservedSectors_} + std::int64_t{numberOfFats_} * sectorsPerFat_ + rootDirSectors_;
  dataSectors_ = totalSectors_ - dataStartSector_;
  clusterCount_ = dataSectors_ / sectorsPerCluster_;
  if (clusterCount_ <= 0 || sectorsPerFat_ == 0) return false;
  fatType_ = clusterCount_ < 4085 ? kFat12 : clusterCount_ < 65525 ? kFat16 : kFat32;
  rootCluster_ = fatType_ == kFat32 ? std::int64_t{bpb.RootCluster & 0x0FFFFFFF} : 0;
  fatBytes_ = static_cast<std::uint64_t>(sectorsPerFat_) * bps;
  opened_ = LoadFatCopy(0);
  return opened_;
}

bool TFAT::LoadFatCopy(int copy) {
  fat_.clear();
  fat_.shrink_to_fit();
  if (boot_.empty()) {
    LogEvent(kSenderFat, 32, 0, Sprintf("No Fat Copy %d", copy), 3);
    return false;
  }
  if (copy < 0 || static_cast<std::uint32_t>(copy) >= numberOfFats_) return false;
  // Only the part that describes clusters of the volume is loaded: a
  // damaged boot sector cannot make us allocate more than the volume needs.
  const std::uint64_t entries = static_cast<std::uint64_t>(clusterCount_) + 2;
  const std::uint64_t needed = fatType_ == kFat12 ? (entries * 3 + 1) / 2 : entries * (fatType_ == kFat16 ? 2 : 4);
  const std::uint64_t length = std::min(fatBytes_, needed);
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
  const auto c = static_cast<std::uint64_t>(cluster);
  switch (fatType_) {
    case kFat32:
      if (!Fits(fat_, c * 4, 4)) return -1;
      return Le32(fat_, c * 4) & 0x0FFFFFFF;
    case kFat16:
      if (!Fits(fat_, c * 2, 2)) return -1;
      return Le16(fat_, c * 2);
    default: {
      const std::uint64_t offset = c + c / 2;
      if (!Fits(fat_, offset, 2)) return -1;
      const std::uint16_t word = Le16(fat_, offset);
      return (c & 1) != 0 ? word >> 4 : word & 0x0FFF;
    }
  }
}

bool TFAT::IsEndOfChain(std::int64_t value) const {
  if (value < 0) return true;
  switch (fatType_) {
    case kFat12: return value > 4087;
    case kFat16: return value > 65527;
    default: return value > 0x0FFFFFF7;
  }
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

std::int64_t TFAT::NextFreeCluster(std::int64_t cluster) const {
  const std::int64_t last = clusterCount_ + 1;
  for (std::int64_t x = std::max<std::int64_t>(cluster + 1, 2); x <= last; ++x)
    if (FatEntry(x) == 0) return x;
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
    if (next == 0) {
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

std::uint8_t TFAT::InUsePercent(std::int64_t size, std::int64_t cluster) const {
  if (clusterSize_ == 0 || !IsValidCluster(cluster)) return 0;
  const std::int64_t last = std::min<std::int64_t>(cluster + std::max<std::int64_t>(size, 0) / clusterSize_,
                                                   clusterCount_ + 1);
  std::int64_t examined = 0;
  std::int64_t free = 0;
  for (std::int64_t c = cluster; c <= last; ++c) {
    ++examined;
    if (FatEntry(c) == 0) ++free;
  }
  return static_cast<std::uint8_t>((100 * (examined - free) + examined / 2) / examined);
}

// ------------------------------------------------------------ directories

bool TFAT::IsValidDirCluster(std::int64_t cluster) const {
  if (IsRootCluster(cluster)) return true;
  if (!IsValidCluster(cluster)) return false;
  std::vector<std::uint8_t> sector(bytesPerSector_);
  if (!ReadVolumeBytes(*storage_, ClusterOffset(cluster), sector.data(), sector.size())) return false;
  return sector.size() > 32 && sector[0] == '.' && sector[32] == '.';
}

std::vector<std::int64_t> TFAT::FindCandidateClusters(std::int64_t cluster) const {
  std::vector<std::int64_t> candidates;
  const std::int64_t last = clusterCount_ + 1;
  for (std::int64_t x = cluster + 1; x <= last && candidates.size() < 512; ++x)
    if (FatEntry(x) == 0 && (x & 0xFFFF) == (cluster & 0xFFFF)) candidates.push_back(x);
  return candidates;
}

std::int64_t TFAT::EntryCluster(const std::uint8_t* raw) const {
  std::int64_t cluster = Le16(ByteSpan(raw, kDirEntrySize), 26);
  // The high word means something else outside FAT32.
  if (fatType_ == kFat32) cluster |= std::int64_t{Le16(ByteSpan(raw, kDirEntrySize), 20)} << 16;
  return cluster & 0x0FFFFFFF;
}

bool TFAT::ReadDirectory(TFatFindHandle& find, std::int64_t cluster) {
  const std::uint64_t maxClusters = (kFatMaxDirEntries * kDirEntrySize + clusterSize_ - 1) / clusterSize_;
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
      for (std::size_t at = 0; at + kDirEntrySize <= one.size(); at += kDirEntrySize) {
        const std::int64_t first = EntryCluster(one.data() + at);
        if (one[at] == 0 || first <= 0 || first > clusterCount_) last = true;
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
    const std::size_t at = slot * kDirEntrySize;
    if (at + kDirEntrySize > find.data.size() || std::memcmp(find.data.data() + at, name, 11) != 0) return -1;
    return EntryCluster(find.data.data() + at);
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
  if (parent == -1 && find->data.size() >= 2 * kDirEntrySize && IsDotName(find->data.data() + kDirEntrySize))
    parent = EntryCluster(find->data.data() + kDirEntrySize);
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

void TFAT::FillEntry(const TFatFindHandle& find, const std::uint8_t* raw, TFileEntry& out) {
  const ByteSpan entry(raw, kDirEntrySize);
  out.Clear();
  const std::uint8_t attributes = raw[11];
  const bool erased = raw[0] == 0xE5;
  const bool deleted = erased || find.deleted;
  out.Attributes = attributes | (deleted ? kAttrDeleted : 0);
  out.CreationTime = FatTimeToFileTime(Le16(entry, 16), Le16(entry, 14));
  out.LastWriteTime = FatTimeToFileTime(Le16(entry, 24), Le16(entry, 22));
  out.LastAccessTime = out.LastWriteTime;
  out.Size = (attributes & kAttrDirectory) != 0 ? 0 : std::int64_t{Le32(entry, 28)};
  out.ObjectId = EntryCluster(raw);
  out.ParentId = find.dirCluster;
  out.Storage = storage_;
  out.Fs = this;

  // The long name counts only when its checksum matches this short name;
  // the first byte of an erased name is unknown, so any value may match.
  bool useLong = false;
  if (!find.longName.empty() && find.longNameChecksum >= 0) {
    std::uint8_t name11[11];
    std::memcpy(name11, raw, 11);
    if (!erased) {
      if (name11[0] == 0x05) name11[0] = 0xE5;
      useLong = FatShortNameChecksum(name11) == find.longNameChecksum;
    } else {
      for (int first = 0; first < 256 && !useLong; ++first) {
        name11[0] = static_cast<std::uint8_t>(first);
        useLong = FatShortNameChecksum(name11) == find.longNameChecksum;
      }
    }
  }
  std::uint8_t base[8];
  std::memcpy(base, raw, 8);
  if (base[0] == 0x05) base[0] = 0xE5;
  if (erased) base[0] = 'x';
  const std::string stem = ShortPart(base, 8, (raw[12] & 0x08) != 0);
  const std::string extension = ShortPart(raw + 8, 3, (raw[12] & 0x10) != 0);
  std::string oem = stem;
  if (!extension.empty() && extension[0] != ' ') oem += "." + extension;
  // Short names are in the OEM code page; stop at a NUL byte.
  oem = oem.substr(0, oem.find('\0'));
  std::string name = Latin1ToUtf8(oem);
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
  while (find->cursor + kDirEntrySize <= find->data.size()) {
    const std::uint8_t* raw = find->data.data() + find->cursor;
    find->cursor += kDirEntrySize;
    const ByteSpan entry(raw, kDirEntrySize);
    if (raw[0] == 0 && Le16(entry, 26) == 0) {
      // End of the directory: what follows is left over from deleted entries.
      find->deleted = true;
      find->longName.clear();
      continue;
    }
    if ((raw[11] & 0x3F) == kAttrLongName && raw[12] == 0) {
      const int checksum = raw[13];
      // 0x40 marks the last part of a name; an erased part has lost its
      // sequence byte, so only the checksum tells where its name begins.
      const bool startsName = raw[0] != 0xE5 && (raw[0] & 0x40) != 0;
      if (startsName || checksum != find->longNameChecksum) find->longName.clear();
      find->longNameChecksum = checksum;
      std::uint16_t units[13];
      int n = 0;
      for (int i = 0; i < 5; ++i) units[n++] = Le16(entry, 1 + 2 * i);
      for (int i = 0; i < 6; ++i) units[n++] = Le16(entry, 14 + 2 * i);
      for (int i = 0; i < 2; ++i) units[n++] = Le16(entry, 28 + 2 * i);
      find->longName.insert(find->longName.begin(), units, units + 13);
      // A chain of long-name entries longer than a name can be is damage.
      if (find->longName.size() > 20 * 13) find->longName.clear();
      continue;
    }
    // "." and ".." (".." is the listing's first entry already) and the
    // volume label are not files of the directory.
    const bool label = (raw[11] & kAttrVolumeLabel) != 0 && (raw[11] & kAttrDirectory) == 0;
    if (label || IsDotName(raw)) {
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
