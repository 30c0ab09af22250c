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
  SeekFileOp(handle_, kSeekBegin, 0);
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

std::int32_t TBlockFileStreamStorage::ReadFileOp(FsHandle handle, void* buffer, std::int32_t count) {
  return reader_ == nullptr ? 0 : reader_->Read(handle, buffer, count);
}

std::int64_t TBlockFileStreamStorage::SeekFileOp(FsHandle handle, int origin, std::int64_t offset) {
  return reader_ == nullptr ? 0 : reader_->Seek(handle, origin, offset);
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
  SeekFileOp(handle_, kSeekBegin, blockStart);
  // The file ends inside the last block: its bytes are all there is to get.
  const std::int64_t needed = std::min(length, size_ - blockStart);
  std::int64_t got = 0;
  while (got < needed) {
    const auto ask = static_cast<std::int32_t>(std::min(length - got, kMaxChunk));
    std::int64_t n = ReadFileOp(handle_, out + got, ask);
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

std::int64_t TBlockFileStreamStorage::Read(void* buffer, std::int64_t count) {
  lastReadFailed_ = false;
  const std::int64_t n = std::max<std::int64_t>(0, std::min(count, size_ - position_));
  if (n == 0 || !opened_) return 0;
  auto* out = static_cast<std::uint8_t*>(buffer);
  const std::int64_t b = blockSize_;
  std::int64_t delivered = 0;
  try {
    if (cachedStart_ >= 0 && cachedStart_ / b == position_ / b) {
      const std::int64_t offset = position_ % b;
      const std::int64_t k = std::min(b - offset, n);
      std::memcpy(out, block_.get() + offset, static_cast<std::size_t>(k));
      delivered = k;
      position_ += k;
    }
    while (delivered < n) {
      const std::int64_t offset = position_ % b;
      const std::int64_t blockStart = position_ - offset;
      const std::int64_t want = n - delivered;
      if (offset == 0 && want >= b) {
        // Whole blocks land in the caller's buffer without a detour.
        const std::int64_t whole = std::min(want / b * b, kMaxChunk / b * b);
        const std::int64_t expected = std::min(whole, size_ - blockStart);
        if (ReadBlocks(blockStart, out + delivered, whole) < expected) lastReadFailed_ = true;
        delivered += whole;
        position_ += whole;
        continue;
      }
      if (!block_) block_ = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(b));
      cachedStart_ = -1;
      const std::int64_t expected = std::min(b, size_ - blockStart);
      if (ReadBlocks(blockStart, block_.get(), b) < expected) {
        lastReadFailed_ = true;
      } else {
        cachedStart_ = blockStart;
      }
      const std::int64_t k = std::min(b - offset, want);
      std::memcpy(out + delivered, block_.get() + offset, static_cast<std::size_t>(k));
      delivered += k;
      position_ += k;
    }
  } catch (const std::exception& e) {
    LogEvent(kSenderIo, kErrException, 0, std::string("Exception TBlockFileStreamStorage.Read: ") + e.what(), 3);
    lastReadFailed_ = true;
    cachedStart_ = -1;
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
