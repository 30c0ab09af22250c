#include "filesystems/file_system.h"

#include <algorithm>
#include <cstring>

#include "common/endian.h"
#include "common/log.h"
#include "platform/locale.h"
#include "filesystems/dir_list_ex.h"
#include "filesystems/fat/boot_sector.h"
#include "filesystems/folder_listing.h"

namespace vandrel {

std::int64_t FileTimeToUnix(std::uint64_t fileTime) {
  return (static_cast<std::int64_t>(fileTime) - static_cast<std::int64_t>(kFileTimeUnixEpoch)) / 10000000;
}

std::uint64_t UnixToFileTime(std::int64_t seconds, std::uint32_t nanoseconds) {
  return static_cast<std::uint64_t>(seconds * 10000000 + static_cast<std::int64_t>(kFileTimeUnixEpoch)) +
         nanoseconds / 100;
}

FileSystem::FileSystem(TStorage* storage) : storage_(storage) {
  if (storage_ != nullptr) {
    sectorSize_ = storage_->SectorSize;
    progress_ = storage_->Progress;
  }
}

FileSystem::~FileSystem() {
  if (storage_ != nullptr) storage_->Close(false);
}

bool FileSystem::SetProgressCallback(ProgressCallback callback) {
  progress_ = callback;
  if (storage_ != nullptr) storage_->Progress = std::move(callback);
  return true;
}

int FileSystem::ReportProgress(int percent, const std::string& text) const {
  return progress_ ? progress_(percent, text) : 1;
}

bool SplitPath(std::string_view path, std::vector<std::string_view>& components, bool& absolute) {
  components.clear();
  absolute = false;
  if (path.size() > kMaxPathLength) return false;
  if (path.size() == 1 && path[0] == kPathDelimiter) {
    absolute = true;
    return true;
  }
  if (!path.empty() && path.back() == kPathDelimiter) path.remove_suffix(1);
  if (path.empty() || path[0] != kPathDelimiter) {
    // A relative path is one name in the starting directory.
    if (!path.empty()) components.push_back(path);
    return true;
  }
  absolute = true;
  path.remove_prefix(1);
  while (true) {
    const auto cut = path.find(kPathDelimiter);
    components.push_back(path.substr(0, cut));
    if (cut == std::string_view::npos) break;
    path.remove_prefix(cut + 1);
  }
  return true;
}

bool FileSystem::LookupPath(std::string_view path, TFileEntry& out, bool includeFiles, const TFileEntry* base) {
  std::vector<std::string_view> components;
  bool absolute = false;
  if (!SplitPath(path, components, absolute)) return false;
  TFileEntry current = base != nullptr ? *base : rootEntry_;
  if (current.Storage == nullptr) current.Storage = storage_;
  if (current.Fs == nullptr) current.Fs = this;
  for (std::string_view name : components) {
    TFileEntry next;
    if (!FindChild(current, name, includeFiles, next)) return false;
    current = std::move(next);
  }
  out = std::move(current);
  return true;
}

const char* DamageText(TDamage damage) {
  switch (damage) {
    case TDamage::None: return "";
    case TDamage::SizeBeyondMap: return "size beyond map";
    case TDamage::RunOutsideVolume: return "run outside volume";
    case TDamage::TornRecord: return "torn record";
    case TDamage::ExtentLoop: return "extent loop";
    case TDamage::FolderUnreadable: return "folder unreadable";
    case TDamage::Unreadable: return "unreadable";
    case TDamage::PastBytesInUse: return "past bytes in use";
    case TDamage::AttributeOrder: return "attributes out of order";
    case TDamage::RunlistShort: return "runlist shorter than attribute";
    case TDamage::RunlistLong: return "runlist longer than attribute";
    case TDamage::ExtentHeaderDamaged: return "extent header damaged";
    case TDamage::ExtentTreeTooDeep: return "extent tree too deep";
  }
  return "damaged";
}

TDamage FileSystem::FindDamage(const TFileEntry& directory, FsHandle handle) {
  const bool root = directory.ObjectId == rootEntry_.ObjectId && directory.Name == rootEntry_.Name;
  return handle == kNoHandle && root ? TDamage::FolderUnreadable : TDamage::None;
}

std::int32_t FileSystem::Read(FsHandle handle, void* buffer, std::int32_t count) {
  const std::int64_t position = Seek(handle, kSeekCurrent, 0);
  const std::int32_t n = ReadAt(handle, position, buffer, count);
  if (n > 0) Seek(handle, kSeekBegin, position + n);
  return n;
}

TDamage FileSystem::ReadDamage(FsHandle) { return TDamage::None; }

TFolderListing FileSystem::ListFolder(const TFileEntry& directory) {
  TFolderListing listing;
  try {
    TFileEntry entry;
    const FsHandle handle = FindFirst(directory, entry);
    if (handle != kNoHandle) {
      for (bool more = true; more; more = FindNext(handle, entry)) {
        if ((entry.Attributes & kAttrParentLink) == 0) {
          if (listing.Entries.size() == kMaxFolderEntries) {
            listing.Truncated = true;
            break;
          }
          if (entry.Storage == nullptr) entry.Storage = storage_;
          if (entry.Fs == nullptr) entry.Fs = this;
          listing.Entries.push_back(std::move(entry));
        }
        entry.Clear();
      }
    }
    // Readers answer "no entries" for an empty folder too: only the reader
    // tells whether the folder's own data failed.
    listing.Damage = FindDamage(directory, handle);
    // A deleted folder whose blocks were given to others is expected.
    if ((directory.Attributes & kAttrDeleted) != 0) listing.Damage = TDamage::None;
    if (handle != kNoHandle) FindClose(handle);
    if (listing.Damage != TDamage::None && listing.Entries.empty()) listing.Readable = false;
  } catch (...) {
    listing.Readable = false;
    listing.Damage = TDamage::FolderUnreadable;
  }
  PresentNames(listing.Entries);
  return listing;
}

bool FileSystem::NamesMatch(std::string_view stored, std::string_view typed) { return EqualNoCase(stored, typed); }

bool FileSystem::FindChild(const TFileEntry& directory, std::string_view name, bool includeFiles, TFileEntry& out) {
  TFolderListing listing = ListFolder(directory);
  const std::size_t at = FindInListing(listing.Entries, name);
  // The entry the name stands for decides, whatever its kind.
  if (at == std::string::npos || !(includeFiles || listing.Entries[at].IsDirectory())) return false;
  out = std::move(listing.Entries[at]);
  return true;
}

std::size_t FileSystem::FindInListing(const std::vector<TFileEntry>& entries, std::string_view name) {
  auto it = std::find_if(entries.begin(), entries.end(), [&](const TFileEntry& e) { return e.Name == name; });
  if (it == entries.end())
    it = std::find_if(entries.begin(), entries.end(), [&](const TFileEntry& e) {
      return NamesMatch(e.Name, name) || (!e.ShortName.empty() && NamesMatch(e.ShortName, name));
    });
  return it == entries.end() ? std::string::npos : static_cast<std::size_t>(it - entries.begin());
}

FsHandle FileSystem::OpenStream(const TFileEntry&, const TStreamId&) { return kNoHandle; }
std::int32_t FileSystem::GetTransferSize(FsHandle) { return static_cast<std::int32_t>(clusterSize_); }
std::int32_t FileSystem::GetBlockSize() { return static_cast<std::int32_t>(clusterSize_); }
bool FileSystem::ListStreams(const TFileEntry&, TDirListEx&) { return false; }
bool FileSystem::HasStreams() { return false; }
bool FileSystem::GetFreeSpace(std::int64_t& bytes) {
  bytes = 0;
  return false;
}
void FileSystem::SaveFreeSpace(const std::string&) {}
std::int32_t FileSystem::GetTag(const TFileEntry&) { return 0; }

bool FileSystem::ReadLinkTarget(const TFileEntry& entry, std::string& target) {
  target.clear();
  // Linux volumes keep the target as the link's data.
  if ((entry.Attributes & kAttrSymlink) == 0 || entry.Size <= 0 || entry.Size > kMaxLinkTarget) return false;
  FsHandle handle = OpenFile(entry);
  if (handle == kNoHandle) return false;
  target.resize(static_cast<std::size_t>(entry.Size));
  const std::int32_t got = Read(handle, target.data(), static_cast<std::int32_t>(target.size()));
  CloseFile(handle);
  if (got != static_cast<std::int32_t>(target.size())) target.clear();
  // A NUL would cut the text wherever it is used.
  if (target.find('\0') != std::string::npos) target.clear();
  return !target.empty();
}

bool FileSystem::ReadSpecialInfo(const TFileEntry&, TSpecialInfo& info) {
  info = TSpecialInfo{};
  return false;
}
void FileSystem::SetTag(const TFileEntry&, std::int32_t) {}
std::int32_t FileSystem::ListEncryptedFiles(std::vector<TFsTreeNode*>&) { return 0; }
bool FileSystem::EntryFromNode(TFsTreeNode*, TFileEntry& out) {
  out.Clear();
  return false;
}
std::int32_t FileSystem::GetScanCount() { return 0; }

// ------------------------------------------------------------------ probe

namespace {

// What the recognisers look at: the first sector, and the 4096 bytes from
// byte 1024 on (Ext superblock, HFS+ volume header), read once when asked.
class TProbeSectors {
 public:
  TProbeSectors(std::span<const std::uint8_t> first, const std::function<bool(std::vector<std::uint8_t>&)>& readExtra)
      : first_(first), readExtra_(readExtra) {}

  std::span<const std::uint8_t> First() const { return first_; }
  // Empty when there is nothing to read or the read failed.
  std::span<const std::uint8_t> Extra() {
    if (!extraTried_) {
      extraTried_ = true;
      if (!readExtra_ || !readExtra_(extra_)) extra_.clear();
    }
    return extra_;
  }

 private:
  std::span<const std::uint8_t> first_;
  const std::function<bool(std::vector<std::uint8_t>&)>& readExtra_;
  std::vector<std::uint8_t> extra_;
  bool extraTried_ = false;
};

TFileSystemKind RecogniseNtfs(TProbeSectors& s) {
  return BytesEqual(s.First(), 3, "NTFS    ") ? TFileSystemKind::kNtfs : TFileSystemKind::kNone;
}

TFileSystemKind RecogniseExFat(TProbeSectors& s) {
  return BytesEqual(s.First(), 3, "EXFAT   ") ? TFileSystemKind::kExFat : TFileSystemKind::kNone;
}

// Loose on purpose: a damaged FAT boot sector still counts, its width
// taken from whatever cluster count its fields give.
TFileSystemKind RecogniseFat(TProbeSectors& probe) {
  const std::span<const std::uint8_t> s = probe.First();
  if (RecogniseNtfs(probe) != TFileSystemKind::kNone || RecogniseExFat(probe) != TFileSystemKind::kNone)
    return TFileSystemKind::kNone;
  const TFatBpb bpb = ParseFatBpb(s);
  const std::int64_t bytesPerSector = bpb.BytesPerSector;
  const std::int64_t sectorsPerCluster = bpb.SectorsPerCluster;
  if ((bytesPerSector != 512 && bytesPerSector != 1024 && bytesPerSector != 2048) || sectorsPerCluster == 0)
    return TFileSystemKind::kNone;
  const std::int64_t rootSectors = (std::int64_t{bpb.RootEntries} * 32 + bytesPerSector - 1) / bytesPerSector;
  const std::int64_t total = bpb.TotalSectors;
  // Counted with the 16-bit FAT size, 0 on FAT32, as the probe always has:
  // small FAT32 volumes stay FAT32.
  const std::int64_t clusters =
      (total - rootSectors - std::int64_t{bpb.FatCount} * bpb.SectorsPerFat16 - std::int64_t{bpb.ReservedSectors}) /
      sectorsPerCluster;
  return clusters < 4085 ? TFileSystemKind::kFat12 : clusters < 65525 ? TFileSystemKind::kFat16 : TFileSystemKind::kFat32;
}

TFileSystemKind RecogniseExt(TProbeSectors& s) {
  const std::span<const std::uint8_t> extra = s.Extra();
  if (Le8(extra, 56) != 0x53 || Le8(extra, 57) != 0xEF) return TFileSystemKind::kNone;
  return TFileSystemKind::kExt;
}

TFileSystemKind RecogniseHfs(TProbeSectors& s) {
  const std::span<const std::uint8_t> extra = s.Extra();
  // Only where no Ext superblock claims the same bytes.
  if (Le8(extra, 56) == 0x53 && Le8(extra, 57) == 0xEF) return TFileSystemKind::kNone;
  const bool header = BytesEqual(extra, 0, "H+") || BytesEqual(extra, 0, "HX") || BytesEqual(extra, 0, "BD");
  return header ? TFileSystemKind::kHfs : TFileSystemKind::kNone;
}

// Every recogniser is asked; the first in this order wins, and a volume
// two of them claim is reported.
constexpr TFileSystemKind (*kRecognisers[])(TProbeSectors&) = {RecogniseNtfs, RecogniseExFat, RecogniseFat, RecogniseExt,
                                                                RecogniseHfs};

}  // namespace

TFileSystemKind ProbeBootSectorBytes(std::span<const std::uint8_t> sector0,
                                     const std::function<bool(std::vector<std::uint8_t>&)>& readExtra) {
  TProbeSectors sectors(sector0, readExtra);
  TFileSystemKind found = TFileSystemKind::kNone;
  for (const auto recognise : kRecognisers) {
    const TFileSystemKind kind = recognise(sectors);
    if (kind == TFileSystemKind::kNone) continue;
    if (found == TFileSystemKind::kNone)
      found = kind;
    else
      LogText("The volume carries the marks of two file systems (" + std::string(FileSystemKindName(found)) + " and " +
              std::string(FileSystemKindName(kind)) + "); it is read as " + std::string(FileSystemKindName(found)) + ".");
  }
  return found;
}

TFileSystemKind ProbeFileSystem(TStorage& volume) {
  if (volume.SectorSize <= 0 || volume.SectorCount <= 0) return TFileSystemKind::kNone;
  std::vector<std::uint8_t> sector(static_cast<std::size_t>(volume.SectorSize));
  if (!volume.ReadSectors(sector.data(), 1, 0)) return TFileSystemKind::kNone;
  std::function<bool(std::vector<std::uint8_t>&)> readExtra = [&volume](std::vector<std::uint8_t>& extra) {
    // 4096 bytes from byte 1024 on, whatever the sector size.
    const std::int64_t firstSector = 1024 / volume.SectorSize;
    extra.assign(4096 + static_cast<std::size_t>(volume.SectorSize), 0);
    const auto sectors = static_cast<std::int32_t>((4096 + volume.SectorSize - 1) / volume.SectorSize);
    const std::int64_t available = std::max<std::int64_t>(0, volume.SectorCount - firstSector);
    const auto count = static_cast<std::int32_t>(std::min<std::int64_t>(sectors, available));
    if (count <= 0 || !volume.ReadSectors(extra.data(), count, firstSector)) return false;
    const std::size_t skip = static_cast<std::size_t>(1024 % volume.SectorSize);
    extra.erase(extra.begin(), extra.begin() + static_cast<std::ptrdiff_t>(skip));
    extra.resize(4096);
    return true;
  };
  return ProbeBootSectorBytes(sector, readExtra);
}

}  // namespace vandrel
