// Bounds-checked loads of on-disk integers. A load that does not fit in the
// buffer yields 0, so a truncated or damaged structure decodes to harmless
// values instead of reading past the end; callers that must tell the
// difference check `Fits` first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <span>
#include <string>

namespace vandrel {

using ByteSpan = std::span<const std::uint8_t>;
using MutableByteSpan = std::span<std::uint8_t>;

constexpr bool Fits(ByteSpan bytes, std::uint64_t offset, std::uint64_t length) {
  return offset <= bytes.size() && length <= bytes.size() - offset;
}

template <typename T>
constexpr T LoadLE(ByteSpan bytes, std::uint64_t offset) {
  if (!Fits(bytes, offset, sizeof(T))) return 0;
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i)
    v |= static_cast<std::uint64_t>(bytes[offset + i]) << (8 * i);
  return static_cast<T>(v);
}

template <typename T>
constexpr T LoadBE(ByteSpan bytes, std::uint64_t offset) {
  if (!Fits(bytes, offset, sizeof(T))) return 0;
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) v = (v << 8) | bytes[offset + i];
  return static_cast<T>(v);
}

constexpr std::uint8_t Le8(ByteSpan b, std::uint64_t off) { return LoadLE<std::uint8_t>(b, off); }
constexpr std::uint16_t Le16(ByteSpan b, std::uint64_t off) { return LoadLE<std::uint16_t>(b, off); }
constexpr std::uint32_t Le32(ByteSpan b, std::uint64_t off) { return LoadLE<std::uint32_t>(b, off); }
constexpr std::uint64_t Le64(ByteSpan b, std::uint64_t off) { return LoadLE<std::uint64_t>(b, off); }
constexpr std::int8_t LeS8(ByteSpan b, std::uint64_t off) { return LoadLE<std::int8_t>(b, off); }
constexpr std::int16_t LeS16(ByteSpan b, std::uint64_t off) { return LoadLE<std::int16_t>(b, off); }
constexpr std::int32_t LeS32(ByteSpan b, std::uint64_t off) { return LoadLE<std::int32_t>(b, off); }
constexpr std::int64_t LeS64(ByteSpan b, std::uint64_t off) { return LoadLE<std::int64_t>(b, off); }
constexpr std::uint16_t Be16(ByteSpan b, std::uint64_t off) { return LoadBE<std::uint16_t>(b, off); }
constexpr std::uint32_t Be32(ByteSpan b, std::uint64_t off) { return LoadBE<std::uint32_t>(b, off); }
constexpr std::uint64_t Be64(ByteSpan b, std::uint64_t off) { return LoadBE<std::uint64_t>(b, off); }

// Variable-width little-endian integer of 1..8 bytes (NTFS runlists).
constexpr std::uint64_t LeN(ByteSpan bytes, std::uint64_t offset, unsigned width) {
  if (width == 0 || width > 8 || !Fits(bytes, offset, width)) return 0;
  std::uint64_t v = 0;
  for (unsigned i = 0; i < width; ++i) v |= static_cast<std::uint64_t>(bytes[offset + i]) << (8 * i);
  return v;
}

// Same, sign-extended from the top byte.
constexpr std::int64_t LeSN(ByteSpan bytes, std::uint64_t offset, unsigned width) {
  std::uint64_t v = LeN(bytes, offset, width);
  if (width > 0 && width < 8 && (v >> (8 * width - 1)) & 1) v |= ~std::uint64_t{0} << (8 * width);
  return static_cast<std::int64_t>(v);
}

// Whether `bytes` holds `text` at `offset` (no terminating zero compared).
inline bool BytesEqual(ByteSpan bytes, std::uint64_t offset, std::string_view text) {
  return Fits(bytes, offset, text.size()) &&
         (text.empty() || std::memcmp(bytes.data() + offset, text.data(), text.size()) == 0);
}

// Copies up to `length` bytes at `offset` as text, stopping at the first NUL.
inline std::string LoadText(ByteSpan bytes, std::uint64_t offset, std::size_t length) {
  std::string out;
  if (offset >= bytes.size()) return out;
  length = std::min<std::uint64_t>(length, bytes.size() - offset);
  for (std::size_t i = 0; i < length && bytes[offset + i] != 0; ++i)
    out.push_back(static_cast<char>(bytes[offset + i]));
  return out;
}

}  // namespace vandrel
