#include "storage/stream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "storage/bus_manager.h"

namespace vandrel {

std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) {
  if (b > 0 && a > std::numeric_limits<std::int64_t>::max() - b) return std::numeric_limits<std::int64_t>::max();
  if (b < 0 && a < std::numeric_limits<std::int64_t>::min() - b) return std::numeric_limits<std::int64_t>::min();
  return a + b;
}

// ------------------------------------------------------------------- TStream

std::int64_t TStream::ReadAt(std::int64_t offset, void* buffer, std::int64_t count, bool* failed) {
  bool lost = false;
  const std::int64_t n = offset < 0 || count <= 0 ? 0 : DoReadAt(offset, buffer, count, lost);
  if (failed != nullptr) *failed = lost;
  return n;
}

std::int64_t TStream::Read(void* buffer, std::int64_t count) {
  const std::int64_t n = ReadAt(position_, buffer, count, &lastReadFailed_);
  if (n > 0) position_ += n;
  return n;
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

std::int64_t TRawDiskStream::DoReadAt(std::int64_t offset, void* buffer, std::int64_t count, bool& failed) {
  if (storage_ == nullptr) return 0;
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::memset(out, 0, static_cast<std::size_t>(count));
  const std::int64_t s = sectorSize_;
  std::int64_t delivered = 0;
  std::vector<std::uint8_t> scratch;  // per call: other threads read the same stream
  // Pieces keep each sector count within 32 bits and the scratch bounded.
  const std::int64_t pieceSectors = std::max<std::int64_t>(1, (8 * 1024 * 1024) / s);
  while (delivered < count) {
    const std::int64_t p = offset + delivered;
    const std::int64_t first = startOffset_ + p / s;
    const std::int64_t within = p % s;
    const std::int64_t want = count - delivered;
    std::int64_t sectors = (within + want + s - 1) / s;
    sectors = std::min(sectors, pieceSectors);
    if (first >= storage_->SectorCount) break;
    sectors = std::min(sectors, storage_->SectorCount - first);
    if (sectors <= 0) break;
    const std::int64_t take = std::min(want, sectors * s - within);
    bool ok;
    if (within == 0 && take == sectors * s) {
      // Whole sectors go straight into the caller's buffer.
      ok = storage_->ReadSectors(out + delivered, static_cast<std::int32_t>(sectors), first);
    } else {
      if (scratch.size() < static_cast<std::size_t>(sectors * s)) scratch.resize(static_cast<std::size_t>(sectors * s));
      ok = storage_->ReadSectors(scratch.data(), static_cast<std::int32_t>(sectors), first);
      std::memcpy(out + delivered, scratch.data() + within, static_cast<std::size_t>(take));
    }
    // Unreadable sectors arrive as zeros; the caller learns of it.
    if (!ok) failed = true;
    delivered += take;
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
