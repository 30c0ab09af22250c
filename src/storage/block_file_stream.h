// Byte streams over storage: a whole storage (TRawDiskStream) and one file
// or named stream of a file-system reader (TBlockFileStreamStorage, and
// TBlockFileStream, which goes through the device manager's locked file
// wrappers). All are read-only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "filesystems/file_system.h"

namespace vandrel {

class TDeviceManager;

// a + b, held at the limits of int64 instead of overflowing (stream seeks).
std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b);

// The abstract read-only byte stream: size, read and seek.
class TStream {
 public:
  TStream() = default;
  virtual ~TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  virtual std::int64_t GetSize() = 0;
  // Bytes delivered into `buffer`, 0 at the end.
  virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
  virtual std::int64_t Seek64(std::int64_t offset, int origin) = 0;

  std::int64_t Position() const { return position_; }
  // Whether the last read met a failure of the layer below: bytes it could
  // not deliver were handed out as zeros. The mount answers an I/O error
  // then, so a copy never passes a hole off as data.
  bool LastReadFailed() const { return lastReadFailed_; }

 protected:
  std::int64_t position_ = 0;
  bool lastReadFailed_ = false;
};

// A whole storage as bytes. Keeps the storage open while it exists.
class TRawDiskStream : public TStream {
 public:
  explicit TRawDiskStream(TStorage* storage);
  ~TRawDiskStream() override;

  std::int64_t GetSize() override;
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Seek64(std::int64_t offset, int origin) override;

 private:
  std::int32_t sectorSize_ = 512;
  TStorage* storage_ = nullptr;
  std::int64_t startOffset_ = 0;  // sectors
  bool opened_ = false;
  std::vector<std::uint8_t> scratch_;
};

// One file (or named stream) of a reader, read in whole blocks of the
// reader's block size; the last block read stays cached.
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
  std::int64_t Read(void* buffer, std::int64_t count) override;
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
  virtual std::int32_t ReadFileOp(FsHandle handle, void* buffer, std::int32_t count);
  virtual std::int64_t SeekFileOp(FsHandle handle, int origin, std::int64_t offset);
  virtual bool CloseFileOp(FsHandle handle);
  virtual std::int64_t FileSizeOp(FsHandle handle);

  // Closes the file; subclasses call it from their destructor so that
  // their own close operation runs.
  void CloseHandle();

 private:
  void Prepare(const TFileEntry& entry);
  void AfterOpen();
  // Reads whole blocks from `blockStart` into `out` (`length` bytes, a
  // multiple of the block size) through repeated read calls until the
  // file's bytes in it are covered; the bytes the file delivered.
  std::int64_t ReadBlocks(std::int64_t blockStart, std::uint8_t* out, std::int64_t length);

  FsHandle handle_ = kNoHandle;
  FileSystem* reader_ = nullptr;
  std::unique_ptr<std::uint8_t[]> block_;
  std::int32_t blockSize_ = 65536;
  std::int64_t cachedStart_ = -1;
  std::int64_t size_ = 0;
  std::int32_t sectorSize_ = 512;
  bool sectorRounding_ = false;
  bool opened_ = false;
  TFileEntry entry_;
};

// The same stream through the device manager's wrappers and their lock.
class TBlockFileStream : public TBlockFileStreamStorage {
 public:
  TBlockFileStream(const TFileEntry& entry, TDeviceManager* devices);
  ~TBlockFileStream() override;
  TStorage* Storage() const { return storage_; }

 protected:
  FsHandle OpenFileOp(const TFileEntry& entry) override;
  FsHandle OpenStreamOp(const TFileEntry& entry, const TStreamId& stream) override;
  std::int32_t ReadFileOp(FsHandle handle, void* buffer, std::int32_t count) override;
  std::int64_t SeekFileOp(FsHandle handle, int origin, std::int64_t offset) override;
  bool CloseFileOp(FsHandle handle) override;
  std::int64_t FileSizeOp(FsHandle handle) override;

 private:
  TDeviceManager* devices_ = nullptr;
  TStorage* storage_ = nullptr;
};

}  // namespace vandrel
