#include "filesystems/ntfs/lznt1.h"

#include <algorithm>
#include <cstring>

namespace vandrel {

namespace {
constexpr std::size_t kChunkBytes = 4096;
}

std::size_t Lznt1DecompressChunk(ByteSpan body, MutableByteSpan out) {
  std::size_t in = 0;
  std::size_t pos = 0;
  const std::size_t cap = std::min(out.size(), kChunkBytes);
  while (in < body.size() && pos < cap) {
    const std::uint8_t flags = body[in++];
    for (int bit = 0; bit < 8 && in < body.size() && pos < cap; ++bit) {
      if (((flags >> bit) & 1) == 0) {
        out[pos++] = body[in++];
        continue;
      }
      if (in + 2 > body.size()) return pos;
      const std::uint16_t token = Le16(body, in);
      in += 2;
      // The split between displacement and length moves with the position.
      unsigned lengthBits = 12;
      for (std::size_t i = pos - 1; pos > 0 && i >= 0x10; i >>= 1) --lengthBits;
      const std::size_t back = (token >> lengthBits) + 1u;
      std::size_t length = (token & (0xFFFu >> (12 - lengthBits))) + 3u;
      if (back > pos) return pos;
      length = std::min(length, cap - pos);
      for (std::size_t k = 0; k < length; ++k, ++pos) out[pos] = out[pos - back];
    }
  }
  return pos;
}

std::size_t TNTFS_Unpack::DecompressUnit(ByteSpan source, MutableByteSpan out) const {
  std::fill(out.begin(), out.end(), std::uint8_t{0});
  std::size_t src = 0;
  std::size_t dst = 0;
  std::size_t produced = 0;
  while (src + 2 <= source.size() && dst < out.size()) {
    const std::uint16_t header = Le16(source, src);
    if (header == 0) break;
    src += 2;
    std::size_t size = (header & 0x0FFFu) + 1u;
    const bool truncated = size > source.size() - src;
    if (truncated) size = source.size() - src;
    const MutableByteSpan chunk = out.subspan(dst, std::min(kChunkBytes, out.size() - dst));
    std::size_t made = 0;
    if ((header & 0x8000) != 0) {
      made = Lznt1DecompressChunk(source.subspan(src, size), chunk);
    } else {
      made = std::min(size, chunk.size());
      std::memcpy(chunk.data(), source.data() + src, made);
    }
    produced = dst + made;
    src += size;
    dst += kChunkBytes;
    if (truncated) break;
  }
  return produced;
}

}  // namespace vandrel
