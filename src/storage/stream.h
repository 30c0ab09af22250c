// Byte streams: the abstract read-only stream every file copy and mount
// read goes through, and a whole storage as bytes (TRawDiskStream). The
// streams over a reader's files are in filesystems/ and devices/.
#pragma once

#include <cstdint>

namespace vandrel {

class TStorage;

// Seek origins.
inline constexpr int kSeekBegin = 0;
inline constexpr int kSeekCurrent = 1;
inline constexpr int kSeekEnd = 2;

// a + b, held at the limits of int64 instead of overflowing (stream seeks).
std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b);

// The abstract read-only byte stream: size and positional reads, with a
// position for callers that read one piece after the other.
class TStream {
 public:
  TStream() = default;
  virtual ~TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  virtual std::int64_t GetSize() = 0;
  // Bytes delivered into `buffer` from `offset`, 0 at the end. Uses no
  // position, so several threads may read one stream at once. `failed`
  // (when given) tells whether the layer below failed: bytes it could not
  // deliver were handed out as zeros. The mount answers an I/O error then,
  // so a copy never passes a hole off as data.
  std::int64_t ReadAt(std::int64_t offset, void* buffer, std::int64_t count, bool* failed = nullptr);
  // ReadAt at Position(), which advances; for one reader at a time.
  std::int64_t Read(void* buffer, std::int64_t count);
  virtual std::int64_t Seek64(std::int64_t offset, int origin) = 0;

  std::int64_t Position() const { return position_; }
  // Whether the last Read met a failure of the layer below.
  bool LastReadFailed() const { return lastReadFailed_; }

 protected:
  // ReadAt for an offset >= 0 and a count > 0; sets `failed` as ReadAt says.
  virtual std::int64_t DoReadAt(std::int64_t offset, void* buffer, std::int64_t count, bool& failed) = 0;

  std::int64_t position_ = 0;

 private:
  bool lastReadFailed_ = false;
};

// A whole storage as bytes. Keeps the storage open while it exists.
class TRawDiskStream : public TStream {
 public:
  explicit TRawDiskStream(TStorage* storage);
  ~TRawDiskStream() override;

  std::int64_t GetSize() override;
  std::int64_t Seek64(std::int64_t offset, int origin) override;

 protected:
  std::int64_t DoReadAt(std::int64_t offset, void* buffer, std::int64_t count, bool& failed) override;

 private:
  std::int32_t sectorSize_ = 512;
  TStorage* storage_ = nullptr;
  std::int64_t startOffset_ = 0;  // sectors
  bool opened_ = false;
};

}  // namespace vandrel
