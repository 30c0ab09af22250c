// The Ext2/Ext3/Ext4 reader: superblock and group descriptors, inodes,
// file data through block maps (direct to triple indirect, holes read as
// zeros) or extent trees or inside the inode (inline data), directory
// records, and a tree of everything listed so far.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "filesystems/ext/ext2_tree.h"
#include "filesystems/ext/inode.h"
#include "filesystems/ext/superblock.h"
#include "filesystems/file_system.h"

namespace vandrel {

class TExt2 : public FileSystem {
 public:
  TExt2(TStorage* storage, bool scan);
  ~TExt2() override;

  TFileSystemKind GetKind() override { return TFileSystemKind::kExt; }
  bool Open() override;
  void Prepare() override;
  bool IsSectorInUse(std::int64_t) override { return false; }
  std::int64_t GetDataStartSector(const TFileEntry& entry) override;
  FsHandle FindFirstByPath(std::string_view directoryPath, TFileEntry& out) override;
  FsHandle FindFirst(const TFileEntry& directory, TFileEntry& out) override;
  // Ext names are bytes: only an exact match finds an entry.
  bool NamesMatch(std::string_view, std::string_view) override { return false; }
  bool FindNext(FsHandle handle, TFileEntry& out) override;
  void FindClose(FsHandle handle) override;
  TDamage FindDamage(const TFileEntry& directory, FsHandle handle) override;
  FsHandle OpenFile(const TFileEntry& entry) override;
  std::int32_t ReadAt(FsHandle handle, std::int64_t offset, void* buffer, std::int32_t count) override;
  bool CloseFile(FsHandle& handle) override;
  TDamage ReadDamage(FsHandle handle) override;
  std::int64_t Seek(FsHandle handle, int origin, std::int64_t offset) override;
  bool IsEof(FsHandle handle) override;
  std::int64_t GetFileSize(FsHandle handle) override;
  std::string GetSectorList(const TFileEntry&) override { return {}; }
  std::int32_t GetTag(const TFileEntry& entry) override;
  bool ReadSpecialInfo(const TFileEntry& entry, TSpecialInfo& info) override;
  void SetTag(const TFileEntry& entry, std::int32_t value) override;

  const Ext2Superblock& Superblock() const { return sb_; }
  // `record`, when given, receives the inode's whole on-disk record.
  bool ReadInode(std::uint32_t number, Ext2Inode& out, std::vector<std::uint8_t>* record = nullptr);
  // Byte offset of an inode's record in the volume; false when the
  // descriptors cannot place it.
  bool InodeLocation(std::uint32_t number, std::uint64_t& offset) const;

  // Where a file's logical block lies: physical 0 is a hole; `count`
  // blocks from `logical` on continue the same way. False when the
  // mapping cannot be read (damage) or is of a kind this reader lacks.
  class BlockMap;

 private:
  struct TExt2FileData;
  struct TExt2FindHandle;

  bool ReadGroupDescriptors();
  // The inode's size, bounded by what its map can address (damage beyond
  // that is logged and flagged in `damaged`).
  std::uint64_t DataSize(std::uint32_t number, const Ext2Inode& inode, bool* damaged);
  bool ReadBlock(std::uint64_t block, std::vector<std::uint8_t>& out);
  std::unique_ptr<TExt2FileData> OpenInodeData(std::uint32_t number, const Ext2Inode& inode, ByteSpan record,
                                               std::string& why);
  bool LoadDirBlock(TExt2FindHandle& find);
  // Whether the directory's first block begins with a readable record.
  bool FirstRecordSound(TExt2FindHandle& find);
  bool NextDirEntry(TExt2FindHandle& find, TFileEntry& out);
  void FillFromInode(std::uint32_t number, std::uint8_t recordType, TFileEntry& out);
  TExt2Node* NodeOf(const TFileEntry& entry) const;

  bool scan_;
  bool opened_ = false;
  Ext2Superblock sb_;
  std::vector<std::uint8_t> descriptors_;
  Ext2Inode rootInode_;
  std::unique_ptr<TExt2FileTree> tree_;
  std::recursive_mutex treeLock_;
  HandleTable<TExt2FileData> files_;
  HandleTable<TExt2FindHandle> finds_;
};

// Mounting: deleted records are not listed.
class TExt2_Reader : public TExt2 {
 public:
  explicit TExt2_Reader(TStorage* storage) : TExt2(storage, false) {}
};

// Recovery: records found in the slack of directory blocks are listed too,
// marked deleted.
class TExt2_Salvage : public TExt2 {
 public:
  explicit TExt2_Salvage(TStorage* storage) : TExt2(storage, true) {}
};

}  // namespace vandrel
