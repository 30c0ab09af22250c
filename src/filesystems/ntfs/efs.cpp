#include "filesystems/ntfs/efs.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>

#include "common/text.h"

namespace vandrel {
namespace {

// Bytes of a block header that are not all zero.
constexpr std::int64_t kBlockHeaderUsed = 48;

void PutLe32(std::uint8_t* at, std::uint64_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void PutUtf16(std::uint8_t* at, std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    at[2 * i] = static_cast<std::uint8_t>(text[i] & 0xFF);
    at[2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
  }
}

std::int64_t RoundUp512(std::int64_t value) { return (value + 511) / 512 * 512; }

std::u16string StreamName(std::string_view name) { return Utf8ToUtf16(":" + std::string(name) + ":$DATA"); }

std::vector<std::uint8_t> StreamHeader(std::string_view name) {
  const std::u16string text = StreamName(name);
  const std::size_t length = 2 * text.size();
  std::vector<std::uint8_t> header(28 + length, 0);
  PutLe32(header.data(), 28 + length);
  PutUtf16(header.data() + 4, u"NTFS");
  PutLe32(header.data() + 24, length);
  PutUtf16(header.data() + 28, text);
  return header;
}

}  // namespace

std::int64_t RawDataSize(std::int64_t size) {
  if (size <= 0) return 0;
  if (size / kEfsBlockData > std::numeric_limits<std::int64_t>::max() / kEfsBlock - 1)
    return std::numeric_limits<std::int64_t>::max();
  const std::int64_t rest = size % kEfsBlockData;
  return size / kEfsBlockData * kEfsBlock + (rest > 0 ? kEfsBlockHeader + RoundUp512(rest) : 0);
}

std::int64_t EfsHeaderLength(std::int64_t efsSize) {
  return kEfsFileHeader + std::clamp<std::int64_t>(efsSize, 0, kEfsMaxMetadata);
}

std::int64_t EfsStreamPartLength(std::string_view name, std::int64_t storedSize) {
  return 28 + 2 * static_cast<std::int64_t>(StreamName(name).size()) + RawDataSize(storedSize);
}

TEncryptedFileRaw::TEncryptedFileRaw(std::unique_ptr<TStream> efs, TAdsStreams streams) {
  if (!efs) return;
  header_.assign(static_cast<std::size_t>(EfsHeaderLength(efs->GetSize())), 0);
  const std::int64_t metadata = static_cast<std::int64_t>(header_.size()) - kEfsFileHeader;
  std::uint8_t* h = header_.data();
  PutLe32(h, 0x100);
  PutUtf16(h + 4, u"ROBS");
  PutLe32(h + 20, 30);
  PutUtf16(h + 24, u"NTFS");
  PutLe32(h + 44, 2);
  h[48] = 0x10;
  h[49] = 0x19;
  PutLe32(h + 50, static_cast<std::uint64_t>(metadata + 16));
  PutUtf16(h + 54, u"GURE");
  if (metadata > 0) {
    // What cannot be read stays zero; the layout does not depend on it.
    efs->ReadAt(0, h + kEfsFileHeader, metadata);
  }
  efs.reset();

  std::int64_t at = static_cast<std::int64_t>(header_.size());
  parts_.reserve(streams.size());
  for (TADS& s : streams) {
    Part p;
    p.Header = StreamHeader(s.Name);
    p.Named = !s.Name.empty();
    p.DataSize = s.Size;
    p.Stored = s.Stream ? std::clamp<std::int64_t>(s.Stream->GetSize(), 0, kEfsMaxStreamSize) : 0;
    p.Start = at;
    p.Length = EfsStreamPartLength(s.Name, p.Stored);
    p.Stream = std::move(s.Stream);
    at += p.Length;
    parts_.push_back(std::move(p));
  }
  total_ = at;
}

void TEncryptedFileRaw::BlockHeader(const Part& part, std::int64_t index, std::uint8_t* out) {
  std::memset(out, 0, kBlockHeaderUsed);
  const std::int64_t piece = std::min(kEfsBlockData, part.Stored - index * kEfsBlockData);
  const bool last = piece < kEfsBlockData;
  // The raw bytes run to the end of a sector; the data size tells where the
  // file's own bytes end inside the last block.
  const std::int64_t bytes = last ? std::clamp<std::int64_t>(part.DataSize - index * kEfsBlockData, 0, piece) : kEfsBlockData;
  const std::int64_t padded = RoundUp512(piece);
  PutLe32(out, static_cast<std::uint64_t>(kEfsBlockHeader + padded));
  PutUtf16(out + 4, u"GURE");
  PutLe32(out + 18, static_cast<std::uint64_t>(index));
  PutLe32(out + 24, 496);
  PutLe32(out + 28, static_cast<std::uint64_t>(bytes));
  PutLe32(out + 32, static_cast<std::uint64_t>(bytes));
  out[38] = out[39] = !last ? 0x10 : (part.Named ? 0x09 : 0x0F);
  out[40] = 0x09;
  out[41] = 0x01;
  out[42] = 0x01;
  PutLe32(out + 44, static_cast<std::uint64_t>(padded));
}

std::int64_t TEncryptedFileRaw::ReadPart(const Part& part, std::int64_t offset, std::uint8_t* out, std::int64_t count,
                                         bool& failed) {
  const auto headerLength = static_cast<std::int64_t>(part.Header.size());
  if (offset < headerLength) {
    const std::int64_t n = std::min(count, headerLength - offset);
    std::memcpy(out, part.Header.data() + offset, static_cast<std::size_t>(n));
    return n;
  }
  const std::int64_t index = (offset - headerLength) / kEfsBlock;
  const std::int64_t at = (offset - headerLength) % kEfsBlock;
  const std::int64_t piece = std::min(kEfsBlockData, part.Stored - index * kEfsBlockData);
  count = std::min(count, kEfsBlockHeader + RoundUp512(piece) - at);
  if (at < kBlockHeaderUsed) {
    std::uint8_t header[kBlockHeaderUsed];
    BlockHeader(part, index, header);
    const std::int64_t n = std::min(count, kBlockHeaderUsed - at);
    std::memcpy(out, header + at, static_cast<std::size_t>(n));
    return n;
  }
  if (at < kEfsBlockHeader) return std::min(count, kEfsBlockHeader - at);  // zeros
  const std::int64_t dataOffset = at - kEfsBlockHeader;
  if (dataOffset >= piece) return count;  // padding of the last block: zeros
  const std::int64_t n = std::min(count, piece - dataOffset);
  if (part.Stream) {
    bool lost = false;
    if (part.Stream->ReadAt(index * kEfsBlockData + dataOffset, out, n, &lost) < n || lost) failed = true;
  }
  return n;
}

std::int64_t TEncryptedFileRaw::DoReadAt(std::int64_t offset, void* buffer, std::int64_t count, bool& failed) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::memset(out, 0, static_cast<std::size_t>(count));
  std::int64_t done = 0;
  const auto headerLength = static_cast<std::int64_t>(header_.size());
  std::int64_t position = offset;
  while (done < count && position < total_) {
    const std::int64_t want = std::min(count - done, total_ - position);
    std::int64_t n = 0;
    if (position < headerLength) {
      n = std::min(want, headerLength - position);
      std::memcpy(out + done, header_.data() + position, static_cast<std::size_t>(n));
    } else {
      // The last part that starts at or before the position holds it.
      const auto it = std::upper_bound(parts_.begin(), parts_.end(), position,
                                       [](std::int64_t p, const Part& part) { return p < part.Start; });
      if (it == parts_.begin()) break;
      const Part& part = *std::prev(it);
      n = ReadPart(part, position - part.Start, out + done, want, failed);
    }
    if (n <= 0) break;
    done += n;
    position += n;
  }
  return done;
}

std::int64_t TEncryptedFileRaw::Seek64(std::int64_t offset, int origin) {
  std::int64_t p = position_;
  switch (origin) {
    case kSeekBegin: p = offset; break;
    case kSeekCurrent: p = SaturatingAdd(position_, offset); break;
    case kSeekEnd: p = offset == std::numeric_limits<std::int64_t>::min() ? -1 : SaturatingAdd(total_, -offset); break;
    default: break;
  }
  position_ = p < 0 || p > total_ ? total_ : p;
  return position_;
}

}  // namespace vandrel
