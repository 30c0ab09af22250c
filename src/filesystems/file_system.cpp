#include "filesystems/file_system.h"

#include <algorithm>
#include <cstring>

#include "common/endian.h"
#include "common/log.h"
#include "common/text.h"
#include "filesystems/dir_list_ex.h"
#include "filesystems/folder_listing.h"
#include "volumes/raid/raid_detect_linux.h"

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
  }
  return "damaged";
}

TDamage FileSystem::FindDamage(const TFileEntry& directory, FsHandle handle) {
  const bool root = directory.ObjectId == rootEntry_.ObjectId && directory.Name == rootEntry_.Name;
  return handle == kNoHandle && root ? TDamage::FolderUnreadable : TDamage::None;
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

FsHandle FileSystem::OpenStream(const TFileEntry&, std::uint32_t, int, std::string_view) { return kNoHandle; }
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
  FsHandle handle = OpenFile(entry, 0x80);
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

int ProbeBootSectorBytes(std::span<const std::uint8_t> s, const std::function<bool(std::vector<std::uint8_t>&)>& readExtra,
                         const std::function<bool()>& isRaidMember) {
  if (BytesEqual(s, 3, "NTFS    ")) return kProbeNtfs;
  const bool exfat = BytesEqual(s, 3, "EXFAT   ");
  int kind = kProbeNone;
  if (!exfat) {
    const std::int64_t bytesPerSector = Le16(s, 11);
    const std::int64_t sectorsPerCluster = Le8(s, 13);
    if ((bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048) && sectorsPerCluster != 0) {
      const std::int64_t rootSectors = (std::int64_t{Le16(s, 17)} * 32 + bytesPerSector - 1) / bytesPerSector;
      std::int64_t total = Le16(s, 19);
      if (total == 0) total = Le32(s, 32);
      const std::int64_t clusters =
          (total - rootSectors - std::int64_t{Le8(s, 16)} * Le16(s, 22) - std::int64_t{Le16(s, 14)}) / sectorsPerCluster;
      kind = clusters < 4085 ? kProbeFat12 : clusters < 65525 ? kProbeFat16 : kProbeFat32;
    }
  }
  if (kind == kProbeNone && readExtra) {
    std::vector<std::uint8_t> extra;
    if (readExtra(extra)) {
      if (Le8(extra, 56) == 0x53 && Le8(extra, 57) == 0xEF) {
        if (!(isRaidMember && isRaidMember())) kind = kProbeExt2;
      } else if (BytesEqual(extra, 0, "H+") || BytesEqual(extra, 0, "HX") || BytesEqual(extra, 0, "BD")) {
        kind = kProbeHfs;
      }
    }
  }
  if (exfat) kind = kProbeExFat;
  return kind;
}

int ProbeBootSector(TStorage& volume) {
  if (volume.SectorSize <= 0 || volume.SectorCount <= 0) return kProbeNone;
  std::vector<std::uint8_t> sector(static_cast<std::size_t>(volume.SectorSize));
  if (!volume.ReadSectors(sector.data(), 1, 0)) return kProbeNone;
  auto readExtra = [&volume](std::vector<std::uint8_t>& extra) {
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
  return ProbeBootSectorBytes(sector, readExtra, [&volume] { return IsLinuxRaidMember(&volume); });
}

std::uint8_t KindToPartitionType(int kind) {
  switch (kind & 0x7F) {
    case kProbeFat12: return 0x01;
    case kProbeFat16: return 0x04;
    case kProbeFat32: return 0x0B;
    case kProbeNtfs: return 0x07;
    case kProbeExt2: return 0x83;
    case kProbeHfs: return 0xAF;
    case kProbeExFat: return 0xFA;
    case 13: return 0xF9;
    default: return 0x00;
  }
}

int PartitionTypeFamily(std::uint8_t type) {
  switch (type) {
    case 0x01: case 0x04: case 0x06: case 0x0B: case 0x0C: case 0x0E: case 0x11: case 0x14:
    case 0x16: case 0x1B: case 0x1C: case 0x1E: case 0x86: case 0x8B: case 0x8C: return 1;
    case 0x07: case 0x17: case 0x87: return 5;
    case 0x63: case 0x82: case 0x83: case 0x85: return 10;
    case 0xA8: case 0xAB: case 0xAF: return 11;
    case 0xFA: return 12;
    case 0xF9: return 13;
    case 0xFE: case 0xFF: return 6;
    default: return 0;
  }
}

}  // namespace vandrel
