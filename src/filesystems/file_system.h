// The read-only file-system reader interface, the directory-entry record
// every reader fills, the boot-sector probe and reader selection.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/bus_manager.h"
#include "storage/file_system_kind.h"
#include "storage/stream.h"

namespace vandrel {

class TDirListEx;
struct TFsTreeNode;

// Windows file-attribute bits as the volumes store them, plus our own.
inline constexpr std::uint32_t kAttrReadOnly = 0x01;
inline constexpr std::uint32_t kAttrHidden = 0x02;
inline constexpr std::uint32_t kAttrSystem = 0x04;
inline constexpr std::uint32_t kAttrVolumeLabel = 0x08;
inline constexpr std::uint32_t kAttrDirectory = 0x10;
inline constexpr std::uint32_t kAttrArchive = 0x20;
inline constexpr std::uint32_t kAttrDevice = 0x40;
inline constexpr std::uint32_t kAttrNormal = 0x80;
inline constexpr std::uint32_t kAttrSparse = 0x200;
inline constexpr std::uint32_t kAttrReparsePoint = 0x400;
inline constexpr std::uint32_t kAttrCompressed = 0x800;
inline constexpr std::uint32_t kAttrEncrypted = 0x4000;
inline constexpr std::uint32_t kAttrDeleted = 0x8000;      // a deleted object, listed for recovery
inline constexpr std::uint32_t kAttrOpenRaw = 1u << 20;    // open the named stream raw
// Type of the object beyond what Windows attributes say (Linux volumes):
// set by readers whose volumes know symbolic links and special files.
inline constexpr std::uint32_t kAttrSymlink = 1u << 24;
inline constexpr std::uint32_t kAttrSpecial = 1u << 25;    // FIFO, socket, device
// The link to the parent a reader's listing begins with, not a name on disk.
inline constexpr std::uint32_t kAttrParentLink = 1u << 26;
// An NTFS junction (mount-point reparse point): listed as the folder it names.
inline constexpr std::uint32_t kAttrJunction = 1u << 27;
// Size, data map or record found damaged; TFileEntry::Damage says why.
inline constexpr std::uint32_t kAttrDamaged = 1u << 28;

// Why an entry, a read or a listing is damaged: one set for every reader,
// so that front ends name the same fault the same way.
enum class TDamage : std::uint8_t {
  None,
  SizeBeyondMap,     // the stored size is more than the map covers or can address
  RunOutsideVolume,  // a run, extent, cluster or block pointer lies outside the volume
  TornRecord,        // a record's update sequence does not match its sectors
  ExtentLoop,        // an extent tree or cluster chain leads back into itself
  FolderUnreadable,  // a folder's entries (all or some) cannot be read
  Unreadable,        // the storage failed to give the bytes
  PastBytesInUse,    // a record's attributes reach past the bytes it says are in use
  AttributeOrder,    // a record's attributes are not in ascending type order
  RunlistShort,      // the runlist ends before the attribute's last cluster
  RunlistLong,       // the runlist goes on past the attribute's last cluster
  ExtentHeaderDamaged,  // an extent tree node's header is not one (magic, counts beyond the node)
  ExtentTreeTooDeep,    // an extent tree claims more levels than the format allows
};
// The reason as front ends print it ("size beyond map", ...).
const char* DamageText(TDamage damage);

// What a kAttrSpecial entry is, with its device numbers.
enum class TSpecialKind : std::uint8_t { Unknown, Fifo, CharDevice, BlockDevice, Socket };
struct TSpecialInfo {
  TSpecialKind Kind = TSpecialKind::Unknown;
  std::uint32_t Major = 0;
  std::uint32_t Minor = 0;
};

// The directory separator of paths handed to readers. Names on disk may
// hold any other byte, the Windows separator included.
inline constexpr char kPathDelimiter = '/';
// Longest path a lookup accepts, in bytes.
inline constexpr std::size_t kMaxPathLength = 4095;
// Longest link target text accepted (Linux: one page less its NUL).
inline constexpr std::int64_t kMaxLinkTarget = 4095;

// FILETIME: 100 ns units since 1601-01-01 UTC.
inline constexpr std::uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;
std::int64_t FileTimeToUnix(std::uint64_t fileTime);
std::uint64_t UnixToFileTime(std::int64_t seconds, std::uint32_t nanoseconds = 0);

class FileSystem;

// One directory entry. Copied by value; cleared before it is filled.
struct TFileEntry {
  std::uint32_t Attributes = 0;
  std::uint64_t CreationTime = 0;
  std::uint64_t LastAccessTime = 0;
  std::uint64_t LastWriteTime = 0;
  std::int64_t Size = 0;
  std::string Name;           // UTF-8, any length the volume allows
  std::string ShortName;      // FAT: the 8.3 name beside a long one
  std::int64_t ObjectId = 0;  // NTFS record number, FAT first cluster, Ext inode
  std::int64_t ParentId = 0;
  TStorage* Storage = nullptr;
  FileSystem* Fs = nullptr;
  std::uint8_t Mark = 0;
  TFsTreeNode* Node = nullptr;
  TFsTreeNode* ParentNode = nullptr;
  TDamage Damage = TDamage::None;  // set with kAttrDamaged

  void Clear() { *this = TFileEntry{}; }
  bool IsDirectory() const { return (Attributes & kAttrDirectory) != 0; }
  // Flags the entry damaged; the first reason found is kept.
  void MarkDamaged(TDamage why) {
    Attributes |= kAttrDamaged;
    if (Damage == TDamage::None) Damage = why;
  }
};

// One folder's entries as every front end shows them.
struct TFolderListing {
  std::vector<TFileEntry> Entries;
  bool Readable = true;    // false: the folder could not be listed at all
  bool Truncated = false;  // more entries than a listing takes
  // Damage met while listing: with Readable, some entries are missing.
  TDamage Damage = TDamage::None;
};

// Entries one listing takes: a folder claiming more is damage, or one no
// walk should hold whole.
inline constexpr std::size_t kMaxFolderEntries = std::size_t{1} << 20;

// Opaque handles of enumerations and open files; kNoHandle for none.
using FsHandle = std::int32_t;
inline constexpr FsHandle kNoHandle = -1;
// Handle values the readers never hand out and treat as invalid.
constexpr bool IsInvalidHandle(FsHandle h) { return h == 0 || h == 18 || h == -1; }

// Thread-safe table of a reader's open objects behind 32-bit handles.
template <typename T>
class HandleTable {
 public:
  FsHandle Add(std::unique_ptr<T> object) {
    std::lock_guard lock(mutex_);
    do {
      next_ = next_ >= 0x7FFFFFF0 ? 1 : next_ + 1;
    } while (IsInvalidHandle(next_) || objects_.count(next_) != 0);
    objects_.emplace(next_, std::move(object));
    return next_;
  }
  T* Get(FsHandle handle) const {
    std::lock_guard lock(mutex_);
    const auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : it->second.get();
  }
  bool Remove(FsHandle handle) {
    std::unique_ptr<T> doomed;
    std::lock_guard lock(mutex_);
    const auto it = objects_.find(handle);
    if (it == objects_.end()) return false;
    doomed = std::move(it->second);
    objects_.erase(it);
    return true;
  }
  std::size_t Count() const {
    std::lock_guard lock(mutex_);
    return objects_.size();
  }
  // Frees every object outside the lock, so that objects whose destruction
  // closes further handles of the same table find them gone.
  void Clear() {
    std::map<FsHandle, std::unique_ptr<T>> doomed;
    std::lock_guard lock(mutex_);
    doomed.swap(objects_);
  }

 private:
  mutable std::mutex mutex_;
  std::map<FsHandle, std::unique_ptr<T>> objects_;
  FsHandle next_ = 0;
};

// Which stream of a file OpenStream opens: the attribute of a type with a
// name (the data stream by default), or the record's attribute at an index.
struct TStreamId {
  std::uint32_t AttributeType = 0x80;
  // >= 0: the index-th attribute of the record, whatever its type and name.
  int AttributeIndex = -1;
  std::string_view Name;

  // The data stream of that name.
  static TStreamId Named(std::string_view name) { return TStreamId{0x80, -1, name}; }
};

class FileSystem {
 public:
  explicit FileSystem(TStorage* storage);
  virtual ~FileSystem();
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;

  virtual TFileSystemKind GetKind() = 0;
  // True only when the volume can be read: its geometry and its file
  // table or root were found. A reader that answers false may still be
  // kept attached and lists nothing.
  virtual bool Open() = 0;
  virtual bool SetProgressCallback(ProgressCallback callback);
  virtual void Prepare() = 0;
  virtual bool IsSectorInUse(std::int64_t sector) = 0;
  virtual std::int64_t GetDataStartSector(const TFileEntry& entry) = 0;
  // Resolves `path` component by component; `base` nullptr means the root.
  virtual bool LookupPath(std::string_view path, TFileEntry& out, bool includeFiles, const TFileEntry* base);
  // The entry of `directory` that `name` (a name as ListFolder shows it)
  // stands for: an exact match first, then one by NamesMatch. Never a near
  // match otherwise.
  virtual bool FindChild(const TFileEntry& directory, std::string_view name, bool includeFiles, TFileEntry& out);
  // The same rule over a listing already made: the position of the entry
  // `name` stands for, or npos.
  std::size_t FindInListing(const std::vector<TFileEntry>& entries, std::string_view name);
  // The entries of `directory` with their names made safe and unique
  // (filesystems/folder_listing.h); the reader's link to the parent is
  // left out. Every front end lists and looks up through this.
  TFolderListing ListFolder(const TFileEntry& directory);
  // Whether a typed name names a stored one by this file system's rule
  // beyond exact bytes (case-insensitive readers fold case here).
  virtual bool NamesMatch(std::string_view stored, std::string_view typed);
  virtual FsHandle FindFirstByPath(std::string_view directoryPath, TFileEntry& out) = 0;
  virtual FsHandle FindFirst(const TFileEntry& directory, TFileEntry& out) = 0;
  virtual bool FindNext(FsHandle handle, TFileEntry& out) = 0;
  virtual void FindClose(FsHandle handle) = 0;
  // Damage the listing of `directory` met so far, asked before FindClose;
  // `handle` is kNoHandle when FindFirst gave none. The default takes a
  // root without entries for an unreadable one.
  virtual TDamage FindDamage(const TFileEntry& directory, FsHandle handle);
  // The file's contents (NTFS: its unnamed data stream).
  virtual FsHandle OpenFile(const TFileEntry& entry) = 0;
  // NTFS: one attribute or named stream; kNoHandle elsewhere.
  virtual FsHandle OpenStream(const TFileEntry& entry, const TStreamId& stream);
  // Bytes of the open file at `offset`; -1 when the bytes at `offset`
  // cannot be read. Neither uses nor moves the handle's position: several
  // threads may read one handle at once.
  virtual std::int32_t ReadAt(FsHandle handle, std::int64_t offset, void* buffer, std::int32_t count) = 0;
  // ReadAt at the handle's position, which advances; for one reader at a time.
  std::int32_t Read(FsHandle handle, void* buffer, std::int32_t count);
  // Why reads of an open file fail or fall short of its stored size, as
  // far as the reader knows.
  virtual TDamage ReadDamage(FsHandle handle);
  virtual bool CloseFile(FsHandle& handle) = 0;
  virtual std::int64_t Seek(FsHandle handle, int origin, std::int64_t offset) = 0;
  virtual bool IsEof(FsHandle handle) = 0;
  virtual std::int64_t GetFileSize(FsHandle handle) = 0;
  virtual std::int32_t GetTransferSize(FsHandle handle);
  virtual std::int32_t GetBlockSize();
  virtual bool ListStreams(const TFileEntry& entry, TDirListEx& list);
  virtual bool HasStreams();
  virtual bool GetFreeSpace(std::int64_t& bytes);
  virtual void SaveFreeSpace(const std::string& fileName);
  virtual std::string GetSectorList(const TFileEntry& entry) = 0;
  virtual std::int32_t GetTag(const TFileEntry& entry);
  virtual void SetTag(const TFileEntry& entry, std::int32_t value);
  virtual std::int32_t ListEncryptedFiles(std::vector<TFsTreeNode*>& list);
  virtual bool EntryFromNode(TFsTreeNode* node, TFileEntry& out);
  virtual std::int32_t GetScanCount();
  // The target text of a kAttrSymlink entry as the volume stores it, with
  // '/' separators; false when the entry is no link or the text is unreadable.
  virtual bool ReadLinkTarget(const TFileEntry& entry, std::string& target);
  // Kind and device numbers of a kAttrSpecial entry.
  virtual bool ReadSpecialInfo(const TFileEntry& entry, TSpecialInfo& info);

  TStorage* Storage() const { return storage_; }
  const TFileEntry& RootEntry() const { return rootEntry_; }
  std::uint32_t ClusterSize() const { return clusterSize_; }
  std::int32_t SectorSize() const { return sectorSize_; }
  // Calls the progress callback when one is set; 1 (go on) otherwise.
  int ReportProgress(int percent, const std::string& text) const;

 protected:
  std::uint32_t clusterSize_ = 0;
  std::int32_t sectorSize_ = 512;
  TStorage* storage_ = nullptr;
  TFileEntry rootEntry_;
  ProgressCallback progress_;
};

// The components of a path. `absolute` tells whether it began at the root;
// "/" alone gives no components and absolute = true. False when the path is
// too long to be looked up.
bool SplitPath(std::string_view path, std::vector<std::string_view>& components, bool& absolute);

// What the volume's first sectors hold, by the file systems' own signatures
// alone: whether the volume is a RAID member is its caller's question.
TFileSystemKind ProbeFileSystem(TStorage& volume);
// The probe on a boot sector already read; `readExtra` reads the 4096
// bytes at volume sector 2 when needed (nullptr: none available).
TFileSystemKind ProbeBootSectorBytes(std::span<const std::uint8_t> sector0,
                                     const std::function<bool(std::vector<std::uint8_t>&)>& readExtra);

// Which reader CreateReader makes: one named here, or the one for the
// volume's kind (its normal reader or its salvaging one).
enum class TReaderChoice {
  kFat,
  kNtfsReader,
  kNtfsSalvager,
  kExt2Reader,
  kExt2Salvage,
  kByKind,
  kSalvageByKind,
};

// Constructs the chosen reader (nullptr for none), without opening it. A
// choice outside the list salvages by the volume's kind, NTFS included
// only where the volume says NTFS.
std::unique_ptr<FileSystem> MakeReader(TStorage& volume, TReaderChoice choice);

}  // namespace vandrel
