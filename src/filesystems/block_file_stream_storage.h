// One file or named stream of a file-system reader as a byte stream,
// read in whole blocks.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "filesystems/file_system.h"
#include "storage/stream.h"

namespace vandrel {

// One file (or named stream) of a reader, read in whole blocks of the
// reader's block size; the last partial block read stays cached. ReadAt
// may be called from several threads at once.
class TBlockFileStreamStorage : public TStream {
 public:
  // The entry's file.
  explicit TBlockFileStreamStorage(const TFileEntry& entry);
  // The named stream `name` of the entry; with `flagged` the entry's
  // attribute word gets kAttrOpenRaw first; with `sectorRounded` as well,
  // and counts and size are rounded up to whole sectors.
  TBlockFileStreamStorage(const TFileEntry& entry, std::uint32_t kind, std::string_view name, int flags,
                          bool flagged = false, bool sectorRounded = false);
  ~TBlockFileStreamStorage() override;

  std::int64_t GetSize() override { return size_; }
  std::int64_t Seek64(std::int64_t offset, int origin) override;

  bool Opened() const { return opened_; }
  std::int32_t BlockSize() const { return blockSize_; }
  const TFileEntry& Entry() const { return entry_; }

 protected:
  // Where the constructors of a subclass take over the file operations.
  struct DeferOpen {};
  TBlockFileStreamStorage(const TFileEntry& entry, DeferOpen);
  void OpenAsFile();

  virtual FsHandle OpenFileOp(const TFileEntry& entry);
  virtual FsHandle OpenStreamOp(const TFileEntry& entry, const TStreamId& stream);
  virtual std::int32_t ReadFileAtOp(FsHandle handle, std::int64_t offset, void* buffer, std::int32_t count);
  virtual bool CloseFileOp(FsHandle handle);
  virtual std::int64_t FileSizeOp(FsHandle handle);

  // Closes the file; subclasses call it from their destructor so that
  // their own close operation runs.
  void CloseHandle();

  std::int64_t DoReadAt(std::int64_t offset, void* buffer, std::int64_t count, bool& failed) override;

 private:
  using Block = std::shared_ptr<const std::vector<std::uint8_t>>;

  void Prepare(const TFileEntry& entry);
  void AfterOpen();
  // Reads whole blocks from `blockStart` into `out` (`length` bytes, a
  // multiple of the block size) through repeated read calls until the
  // file's bytes in it are covered; the bytes the file delivered.
  std::int64_t ReadBlocks(std::int64_t blockStart, std::uint8_t* out, std::int64_t length);

  // The cached block, if it is the one at `blockStart`.
  Block CachedBlock(std::int64_t blockStart) const;
  void KeepBlock(std::int64_t blockStart, Block block);

  FsHandle handle_ = kNoHandle;
  FileSystem* reader_ = nullptr;
  // Guards only cached_ and cachedStart_: a reader takes its own reference
  // to the block and copies from it outside the lock, and a block once
  // cached is never written again.
  mutable std::mutex cacheLock_;
  Block cached_;
  std::int64_t cachedStart_ = -1;
  std::int32_t blockSize_ = 65536;
  std::int64_t size_ = 0;
  std::int32_t sectorSize_ = 512;
  bool sectorRounding_ = false;
  bool opened_ = false;
  TFileEntry entry_;
};

}  // namespace vandrel
