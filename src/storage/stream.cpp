#include "storage/stream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "storage/bus_manager.h"

namespace vandrel {

std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) {
  if (b > 0 && a > std::numeric_limits<std::int64_t>::max() - b) return std::numeric_limits<std::int64_t>::max();
  if (b < 0 && a < std::numeric_limits<std::int64_t>::min() - b) return std::numeric_limits<std::int64_t>::min();
  return a + b;
}

// ------------------------------------------------------------ TRawDiskStream

TRawDiskStream::TRawDiskStream(TStorage* storage) : storage_(storage) {
  if (storage_ == nullptr) return;
  sectorSize_ = storage_->SectorSize > 0 ? storage_->SectorSize : 512;
  opened_ = storage_->Open(true, false, false);
}

TRawDiskStream::~TRawDiskStream() {
  if (storage_ != nullptr && opened_) storage_->Close(false);
}

std::int64_t TRawDiskStream::GetSize() { return storage_ == nullptr ? 0 : storage_->Size; }

std::int64_t TRawDiskStream::Read(void* buffer, std::int64_t count) {
  lastReadFailed_ = false;
  if (count <= 0 || storage_ == nullptr) return 0;
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::memset(out, 0, static_cast<std::size_t>(count));
  const std::int64_t s = sectorSize_;
  std::int64_t delivered = 0;
  // Pieces keep each sector count within 32 bits and the scratch bounded.
  const std::int64_t pieceSectors = std::max<std::int64_t>(1, (8 * 1024 * 1024) / s);
  while (delivered < count) {
    const std::int64_t p = position_;
    const std::int64_t first = startOffset_ + p / s;
    const std::int64_t offset = p % s;
    const std::int64_t want = count - delivered;
    std::int64_t sectors = (offset + want + s - 1) / s;
    sectors = std::min(sectors, pieceSectors);
    if (first >= storage_->SectorCount) break;
    sectors = std::min(sectors, storage_->SectorCount - first);
    if (sectors <= 0) break;
    const std::int64_t take = std::min(want, sectors * s - offset);
    bool ok;
    if (offset == 0 && take == sectors * s) {
      // Whole sectors go straight into the caller's buffer.
      ok = storage_->ReadSectors(out + delivered, static_cast<std::int32_t>(sectors), first);
    } else {
      if (scratch_.size() < static_cast<std::size_t>(sectors * s)) scratch_.resize(static_cast<std::size_t>(sectors * s));
      ok = storage_->ReadSectors(scratch_.data(), static_cast<std::int32_t>(sectors), first);
      std::memcpy(out + delivered, scratch_.data() + offset, static_cast<std::size_t>(take));
    }
    // Unreadable sectors arrive as zeros; the caller learns of it.
    if (!ok) lastReadFailed_ = true;
    delivered += take;
    position_ += take;
  }
  return delivered;
}

std::int64_t TRawDiskStream::Seek64(std::int64_t offset, int origin) {
  switch (origin) {
    case kSeekBegin: position_ = offset; break;
    case kSeekCurrent: position_ = SaturatingAdd(position_, offset); break;
    case kSeekEnd: position_ = SaturatingAdd(GetSize(), offset == std::numeric_limits<std::int64_t>::min() ? std::numeric_limits<std::int64_t>::max() : -offset); break;
    default: break;
  }
  if (position_ < 0) position_ = 0;
  return position_;
}

}  // namespace vandrel
