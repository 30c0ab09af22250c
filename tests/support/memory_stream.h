// A read-only byte stream over bytes held in memory, for tests and fuzz
// targets of the code that reads streams.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "storage/stream.h"

namespace vandrel::test {

class MemoryStream : public TStream {
 public:
  explicit MemoryStream(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  std::int64_t GetSize() override { return static_cast<std::int64_t>(bytes_.size()); }
  std::int64_t Seek64(std::int64_t offset, int origin) override {
    std::int64_t p = offset;
    if (origin == kSeekCurrent) p = SaturatingAdd(position_, offset);
    if (origin == kSeekEnd) p = offset < 0 ? GetSize() : GetSize() - std::min(offset, GetSize());
    position_ = std::clamp<std::int64_t>(p, 0, GetSize());
    return position_;
  }

 protected:
  std::int64_t DoReadAt(std::int64_t offset, void* buffer, std::int64_t count, bool&) override {
    const std::int64_t n = std::clamp<std::int64_t>(GetSize() - offset, 0, count);
    if (n > 0) std::memcpy(buffer, bytes_.data() + offset, static_cast<std::size_t>(n));
    return n;
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace vandrel::test
