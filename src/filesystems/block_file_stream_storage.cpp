#include "filesystems/block_file_stream_storage.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>

#include "common/log.h"
#include "common/error_codes.h"
#include "storage/bus_manager.h"

namespace vandrel {
namespace {

constexpr std::int32_t kDefaultBlockSize = 65536;
// A reader that answers an absurd block size still gets bounded buffers.
constexpr std::int32_t kMaxBlockSize = 16 * 1024 * 1024;
// Largest piece handed to one 32-bit read call.
constexpr std::int64_t kMaxChunk = 1 << 30;

}  // namespace

// --------------------------------------------------- TBlockFileStreamStorage

TBlockFileStreamStorage::TBlockFileStreamStorage(const TFileEntry& entry, DeferOpen) { Prepare(entry); }

TBlockFileStreamStorage::TBlockFileStreamStorage(const TFileEntry& entry) {
  Prepare(entry);
  reader_ = entry.Fs != nullptr ? entry.Fs : (entry.Storage != nullptr ? entry.Storage->GetReader() : nullptr);
  OpenAsFile();
}

TBlockFileStreamStorage::TBlockFileStreamStorage(const TFileEntry& entry, std::uint32_t kind, std::string_view name,
                                                 int flags, bool flagged, bool sectorRounded) {
  TFileEntry copy = entry;
  if (flagged || sectorRounded) copy.Attributes |= kAttrOpenRaw;
  Prepare(copy);
  reader_ = entry.Fs != nullptr ? entry.Fs : (entry.Storage != nullptr ? entry.Storage->GetReader() : nullptr);
  handle_ = OpenStreamOp(entry_, TStreamId{kind, flags, name});
  if (handle_ == kNoHandle) return;
  AfterOpen();
  if (sectorRounded) {
    sectorRounding_ = true;
    const std::int64_t s = sectorSize_;
    if (size_ > 0 && size_ <= std::numeric_limits<std::int64_t>::max() - s) size_ = (size_ + s - 1) / s * s;
  }
}

TBlockFileStreamStorage::~TBlockFileStreamStorage() { CloseHandle(); }

void TBlockFileStreamStorage::Prepare(const TFileEntry& entry) {
  entry_ = entry;
  FileSystem* reader = entry.Fs != nullptr ? entry.Fs : (entry.Storage != nullptr ? entry.Storage->GetReader() : nullptr);
  if (reader != nullptr) {
    const std::int32_t block = reader->GetBlockSize();
    if (block > 0) blockSize_ = std::min(block, kMaxBlockSize);
    if (reader->SectorSize() > 0) sectorSize_ = reader->SectorSize();
  }
  if (blockSize_ <= 0) blockSize_ = kDefaultBlockSize;
}

void TBlockFileStreamStorage::OpenAsFile() {
  handle_ = OpenFileOp(entry_);
  if (handle_ == kNoHandle) return;
  AfterOpen();
}

void TBlockFileStreamStorage::AfterOpen() {
  size_ = std::max<std::int64_t>(0, FileSizeOp(handle_));
  opened_ = true;
  if (entry_.Storage != nullptr) entry_.Storage->SetCaching(false);
}

void TBlockFileStreamStorage::CloseHandle() {
  if (handle_ == kNoHandle) return;
  const FsHandle handle = handle_;
  handle_ = kNoHandle;
  try {
    CloseFileOp(handle);
  } catch (const std::exception& e) {
    LogEvent(kSenderIo, kErrException, 0, std::string("Exception TBlockFileStreamStorage.Close: ") + e.what(), 3);
  }
}

FsHandle TBlockFileStreamStorage::OpenFileOp(const TFileEntry& entry) {
  return reader_ == nullptr ? kNoHandle : reader_->OpenFile(entry);
}

FsHandle TBlockFileStreamStorage::OpenStreamOp(const TFileEntry& entry, const TStreamId& stream) {
  return reader_ == nullptr ? kNoHandle : reader_->OpenStream(entry, stream);
}

std::int32_t TBlockFileStreamStorage::ReadFileAtOp(FsHandle handle, std::int64_t offset, void* buffer,
                                                   std::int32_t count) {
  return reader_ == nullptr ? 0 : reader_->ReadAt(handle, offset, buffer, count);
}

bool TBlockFileStreamStorage::CloseFileOp(FsHandle handle) {
  if (reader_ == nullptr) return true;
  FsHandle h = handle;
  return reader_->CloseFile(h);
}

std::int64_t TBlockFileStreamStorage::FileSizeOp(FsHandle handle) {
  return reader_ == nullptr ? 0 : reader_->GetFileSize(handle);
}

std::int64_t TBlockFileStreamStorage::ReadBlocks(std::int64_t blockStart, std::uint8_t* out, std::int64_t length) {
  // The file ends inside the last block: its bytes are all there is to get.
  const std::int64_t needed = std::min(length, size_ - blockStart);
  std::int64_t got = 0;
  while (got < needed) {
    const auto ask = static_cast<std::int32_t>(std::min(length - got, kMaxChunk));
    std::int64_t n = ReadFileAtOp(handle_, blockStart + got, out + got, ask);
    if (n < 1) break;
    n = std::min<std::int64_t>(n, ask);
    if (sectorRounding_) {
      // The rest of the sector is counted as read, but the reader did not
      // write it: zeros, not what the buffer held before.
      const std::int64_t rounded = std::min<std::int64_t>((n + sectorSize_ - 1) / sectorSize_ * sectorSize_, length - got);
      std::memset(out + got + n, 0, static_cast<std::size_t>(std::max<std::int64_t>(rounded - n, 0)));
      n = std::max(n, rounded);
    }
    got += n;
  }
  if (got < length) std::memset(out + got, 0, static_cast<std::size_t>(length - got));
  return got;
}

TBlockFileStreamStorage::Block TBlockFileStreamStorage::CachedBlock(std::int64_t blockStart) const {
  std::lock_guard lock(cacheLock_);
  return cachedStart_ == blockStart ? cached_ : Block();
}

void TBlockFileStreamStorage::KeepBlock(std::int64_t blockStart, Block block) {
  std::lock_guard lock(cacheLock_);
  cached_ = std::move(block);
  cachedStart_ = blockStart;
}

std::int64_t TBlockFileStreamStorage::DoReadAt(std::int64_t offset, void* buffer, std::int64_t count, bool& failed) {
  const std::int64_t n = std::max<std::int64_t>(0, std::min(count, size_ - offset));
  if (n == 0 || !opened_) return 0;
  auto* out = static_cast<std::uint8_t*>(buffer);
  const std::int64_t b = blockSize_;
  std::int64_t delivered = 0;
  try {
    while (delivered < n) {
      const std::int64_t at = offset + delivered;
      const std::int64_t within = at % b;
      const std::int64_t blockStart = at - within;
      const std::int64_t want = n - delivered;
      Block block = CachedBlock(blockStart);
      if (!block && within == 0 && want >= b) {
        // Whole blocks land in the caller's buffer without a detour.
        const std::int64_t whole = std::min(want / b * b, kMaxChunk / b * b);
        const std::int64_t expected = std::min(whole, size_ - blockStart);
        if (ReadBlocks(blockStart, out + delivered, whole) < expected) failed = true;
        delivered += whole;
        continue;
      }
      if (!block) {
        // Read into a block of this call's own: another thread may be
        // copying out of the cached one.
        auto fresh = std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(b));
        const std::int64_t expected = std::min(b, size_ - blockStart);
        // A block that fell short is not kept: the next read tries again.
        if (ReadBlocks(blockStart, fresh->data(), b) < expected) {
          failed = true;
        } else {
          KeepBlock(blockStart, fresh);
        }
        block = std::move(fresh);
      }
      const std::int64_t k = std::min(b - within, want);
      std::memcpy(out + delivered, block->data() + within, static_cast<std::size_t>(k));
      delivered += k;
    }
  } catch (const std::exception& e) {
    LogEvent(kSenderIo, kErrException, 0, std::string("Exception TBlockFileStreamStorage.Read: ") + e.what(), 3);
    failed = true;
  }
  return delivered;
}

std::int64_t TBlockFileStreamStorage::Seek64(std::int64_t offset, int origin) {
  switch (origin) {
    case kSeekBegin: position_ = offset; break;
    case kSeekCurrent: position_ = SaturatingAdd(position_, offset); break;
    case kSeekEnd:
      position_ = size_ - (offset == std::numeric_limits<std::int64_t>::min() ? size_ : std::min(size_, offset < 0 ? -offset : offset));
      break;
    default: break;
  }
  if (position_ < 0 || position_ > size_) position_ = size_;
  return position_;
}

}  // namespace vandrel
