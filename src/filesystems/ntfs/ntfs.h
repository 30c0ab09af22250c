// The NTFS reader: the volume and its master file table, file data through
// runlists (sparse, compressed, named streams) and directories from their
// $I30 index. The scanning variant is in salvage.h.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "filesystems/file_system.h"
#include "filesystems/file_system_tree.h"
#include "filesystems/ntfs/attribute.h"
#include "filesystems/ntfs/boot_sector.h"
#include "filesystems/ntfs/efs.h"
#include "filesystems/ntfs/index.h"
#include "filesystems/ntfs/label.h"
#include "filesystems/ntfs/lznt1.h"
#include "filesystems/ntfs/record.h"
#include "filesystems/ntfs/runlist.h"

namespace vandrel {

// One attribute (or extent of one) in a record's attribute directory.
struct TNtfs_File_Stream {
  std::string Name;
  std::uint32_t Type = 0;
  std::uint16_t AttrId = 0;
  std::uint16_t Flags = 0;
  std::int64_t MftNumber = 0;  // record that holds the attribute
  bool FromList = false;
  bool Resident = false;
  std::int64_t StartVcn = 0;
  std::int32_t HeaderIndex = -1;  // into Headers, for the record's own attributes
};

// The attribute directory of one base record: its own attributes in record
// order, then the entries of its attribute list that live elsewhere.
struct TNtfs_File_Streams {
  std::int64_t Number = -1;
  TNtfsRecordInfo Info;
  std::vector<std::uint8_t> Record;
  std::vector<TNtfsAttrHeader> Headers;
  std::vector<TNtfs_File_Stream> Entries;
  bool Torn = false;  // the record's update sequence did not match

  std::int32_t IndexOf(std::uint32_t type) const;
};

// An open attribute.
struct TNtfsFileHandle {
  std::int64_t Position = 0;
  std::int64_t Size = 0;
  std::int64_t MftNumber = 0;
  TNtfsAttrDesc Desc;
  // Guards UnitIndex and Unit, the last compression unit decompressed,
  // kept for the next read of the handle on whichever thread. Units are
  // read and unpacked outside it.
  std::mutex UnitLock;
  std::int64_t UnitIndex = -1;
  std::vector<std::uint8_t> Unit;
  // An encrypted file's unnamed data, served as its raw export.
  std::unique_ptr<TEncryptedFileRaw> Efs;
  TDamage Damage = TDamage::None;
};

// An enumeration: a shared, immutable listing and the next index.
struct TNtfsFindHandle {
  std::shared_ptr<const std::vector<TFileEntry>> List;
  std::size_t Next = 0;
};

class TNTFS : public FileSystem {
 public:
  TNTFS(TStorage* storage, bool listingMode);
  ~TNTFS() override;

  TFileSystemKind GetKind() override { return TFileSystemKind::kNtfs; }
  bool Open() override;
  void Prepare() override;
  bool IsSectorInUse(std::int64_t sector) override;
  std::int64_t GetDataStartSector(const TFileEntry& entry) override;
  FsHandle FindFirstByPath(std::string_view directoryPath, TFileEntry& out) override;
  FsHandle FindFirst(const TFileEntry& directory, TFileEntry& out) override;
  bool FindNext(FsHandle handle, TFileEntry& out) override;
  void FindClose(FsHandle handle) override;
  TDamage FindDamage(const TFileEntry& directory, FsHandle handle) override;
  FsHandle OpenFile(const TFileEntry& entry) override;
  FsHandle OpenStream(const TFileEntry& entry, const TStreamId& stream) override;
  std::int32_t ReadAt(FsHandle handle, std::int64_t offset, void* buffer, std::int32_t count) override;
  TDamage ReadDamage(FsHandle handle) override;
  bool CloseFile(FsHandle& handle) override;
  std::int64_t Seek(FsHandle handle, int origin, std::int64_t offset) override;
  bool IsEof(FsHandle handle) override;
  std::int64_t GetFileSize(FsHandle handle) override;
  std::int32_t GetTransferSize(FsHandle handle) override;
  std::int32_t GetBlockSize() override { return 65536; }
  // One entry per attribute: Name the attribute's name, Size its size,
  // ParentId its type, Mark 1 when it is a data stream a user would see.
  bool ListStreams(const TFileEntry& entry, TDirListEx& list) override;
  bool HasStreams() override { return true; }
  bool GetFreeSpace(std::int64_t& bytes) override;
  void SaveFreeSpace(const std::string& fileName) override;
  std::string GetSectorList(const TFileEntry& entry) override;
  // Names match as Windows matches them: through the volume's own $UpCase
  // table (simple case folding when the table cannot be read).
  bool NamesMatch(std::string_view stored, std::string_view typed) override;
  bool ReadLinkTarget(const TFileEntry& entry, std::string& target) override;
  bool ReadSpecialInfo(const TFileEntry& entry, TSpecialInfo& info) override;

  // Volume facts for diagnostics.
  bool Usable() const { return !mftRuns_.empty(); }
  const TNtfsBoot& Boot() const { return boot_; }
  std::int64_t ClusterCount() const { return clusterCount_; }
  std::int64_t MftRecordCount() const;

  // Volume byte offset of record `number`; -1 when it is not mapped.
  std::int64_t RecordOffset(std::int64_t number) const;
  // Record `number`, fixed up; false when it cannot be located or read.
  // `torn` tells whether its update sequence matched.
  bool ReadMftRecord(std::int64_t number, std::vector<std::uint8_t>& record, bool* torn = nullptr);
  // Reads and parses a base record with its attribute list.
  bool LoadRecord(std::int64_t number, TNtfs_File_Streams& streams);
  // Joins every extent of the attribute `type` named `name` (kNtfsAnyStream
  // for any name). False when none could be fetched.
  bool CollectAttribute(const TNtfs_File_Streams& streams, std::uint32_t type, std::string_view name,
                        TNtfsAttrDesc& out);
  // The directory's entries from its index (cached: the volume never changes).
  std::shared_ptr<const std::vector<TFileEntry>> ListDirectory(std::int64_t record);
  // Record number of a path, -1 when a component is missing. Junctions on
  // the way lead to their targets.
  std::int64_t ResolvePath(std::string_view path, TFileEntry& out);
  // The raw export of an encrypted file; nullptr when the file has no
  // $EFS stream (or too many streams to be real).
  std::unique_ptr<TEncryptedFileRaw> OpenEncryptedRaw(const TFileEntry& entry);
  // The size that export will have, computed from the record alone; -1
  // when there is none.
  std::int64_t EncryptedRawSize(const TFileEntry& entry);
  // The volume path ("/a/b") a junction directory leads to; "" when the
  // entry is no junction, its target is not on this volume, or the entry's
  // own path lies inside the target.
  std::string ResolveLinkTarget(const TFileEntry& entry);

 protected:
  // Reads `length` bytes at volume byte `offset`; false on any failure
  // (the buffer then holds zeros where nothing was read).
  bool ReadVolume(std::int64_t offset, void* out, std::size_t length);
  // Bytes of an attribute's data through its runs; sparse and unreadable
  // ranges give zeros.
  bool ReadRuns(const std::vector<TRunNode>& runs, std::int64_t offset, std::uint8_t* out, std::size_t length);
  // An attribute's value, at most `cap` bytes of it.
  bool ReadAttributeValue(const TNtfsAttrDesc& desc, std::vector<std::uint8_t>& out, std::size_t cap);
  // The path a junction's target is checked against (the index listing
  // knows an entry's name only).
  virtual std::string LinkCheckPath(const TFileEntry& entry) { return entry.Name; }
  // ResolveLinkTarget, worked out once per junction: paths through one are
  // resolved over and over.
  std::string CachedLinkTarget(const TFileEntry& link);
  // Symbolic links (reparse points, Interix and WSL links) become
  // kAttrSymlink entries sized as their target text; junctions get
  // kAttrJunction; FIFOs, sockets and devices kAttrSpecial.
  void ClassifyLink(TFileEntry& entry);
  // `raw`: a non-resident data stream reads on to the end of its last
  // sector, where encrypted data keeps the rest of its last cipher block.
  FsHandle MakeHandle(TNtfsAttrDesc desc, std::int64_t mftNumber, bool raw);
  // A data stream's size rounded up to whole sectors, as a raw open gives it.
  std::int64_t RawStreamSize(std::int64_t size) const;
  FsHandle MakeFindHandle(std::shared_ptr<const std::vector<TFileEntry>> list, TFileEntry& out);
  void HandOut(TFileEntry& entry);

  bool listingMode_;
  TNtfsBoot boot_;
  std::int64_t clusterCount_ = 0;
  std::vector<TRunNode> mftRuns_;
  std::int64_t mftDataSize_ = 0;
  std::vector<std::uint8_t> bitmap_;
  std::int64_t freeSpace_ = -1;

 private:
  // $UpCase: the upper-case unit of every UTF-16 unit, read once.
  const std::vector<std::uint16_t>& UpCaseTable();
  std::once_flag upCaseOnce_;
  std::vector<std::uint16_t> upCase_;
  bool BuildMft(std::int64_t recordByteOffset, std::vector<TRunNode>& runs, std::int64_t& dataSize);
  // Looks in the middle of the volume, where formatters put the $MFTMirr
  // copy of the first records, for record 0 and 1 when no boot sector
  // points at a usable $MFT; record 1 also gives the cluster size. Byte
  // offsets, -1 when not found.
  bool FindMftDirect(std::int64_t& mftOffset, std::int64_t& mirrorOffset);
  void SetClusterSize(std::uint32_t clusterSize);
  std::int64_t ResolvePath(std::string_view path, TFileEntry& out, int& hops);
  // The record a junction directory leads to; its own when it leads nowhere.
  std::int64_t FollowLink(const TFileEntry& link, int& hops);
  bool ReadCompressed(TNtfsFileHandle& h, std::int64_t position, std::uint8_t* out, std::size_t length);
  void LoadBitmap();
  // Size, times and the encrypted flag from the file's record; true when
  // that record holds sparse or compressed data.
  bool RefreshFromRecord(TFileEntry& entry);
  enum class LinkKind { None, Symlink, Junction, Special };
  // What a reparse point or a small system file is; the target of a link,
  // the kind and device numbers of a special file.
  LinkKind ReadLinkText(const TFileEntry& entry, std::string& target, TSpecialInfo* special);

  HandleTable<TNtfsFileHandle> files_;
  HandleTable<TNtfsFindHandle> finds_;
  std::mutex cacheMutex_;
  std::map<std::int64_t, std::shared_ptr<const std::vector<TFileEntry>>> dirCache_;
  std::map<std::int64_t, TDamage> dirDamage_;  // what the cached listings met
  std::size_t cachedEntries_ = 0;
  std::map<std::int64_t, std::string> linkCache_;  // junction record -> its target
};

// Lists directories from their index; the reader the mount path uses.
class TNTFS_Reader : public TNTFS {
 public:
  explicit TNTFS_Reader(TStorage* storage) : TNTFS(storage, false) {}
};

}  // namespace vandrel
