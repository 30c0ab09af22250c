#include "filesystems/ntfs/record.h"

#include <algorithm>
#include <bit>

#include "common/text.h"

namespace vandrel {

std::string NtfsNameAt(ByteSpan bytes, std::uint64_t offset, std::uint64_t units, std::uint64_t limit) {
  if (offset >= limit) return {};
  const std::uint64_t room = (limit - offset) / 2;
  if (units > room) units = room;
  if (!Fits(bytes, offset, units * 2)) return {};
  return Utf16LeBytesToUtf8(bytes.subspan(offset, units * 2));
}

bool ApplyFixup(MutableByteSpan buffer) {
  const ByteSpan b(buffer.data(), buffer.size());
  if (!BytesEqual(b, 0, "FILE") && !BytesEqual(b, 0, "INDX")) return true;
  const std::uint32_t offset = Le16(b, 4);
  const std::uint32_t count = Le16(b, 6);
  if (count < 2 || !Fits(b, offset, std::uint64_t{count} * 2)) return false;
  const std::size_t blocks = count - 1;
  // Writers protect every 512 bytes whatever the sector size; a stride
  // other than that is accepted only when the count says so exactly.
  std::size_t stride = 512;
  if (blocks * stride != buffer.size() && buffer.size() % blocks == 0 &&
      std::has_single_bit(buffer.size() / blocks) && buffer.size() / blocks > 512) {
    stride = buffer.size() / blocks;
  }
  if (blocks * stride > buffer.size()) return false;
  const std::uint16_t check = Le16(b, offset);
  bool ok = true;
  for (std::size_t i = 1; i <= blocks; ++i) {
    const std::size_t end = i * stride - 2;
    if (Le16(b, end) != check) ok = false;
    buffer[end] = buffer[offset + 2 * i];
    buffer[end + 1] = buffer[offset + 2 * i + 1];
  }
  return ok;
}

bool ParseRecordAttributes(ByteSpan r, TNtfsRecordInfo& info, std::vector<TNtfsAttrHeader>& attributes) {
  attributes.clear();
  info = {};
  if (!BytesEqual(r, 0, "FILE")) return false;
  const std::uint16_t flags = Le16(r, 22);
  info.InUse = (flags & 1) != 0;
  info.Directory = (flags & 2) != 0;
  info.LinkCount = Le16(r, 18);
  info.BytesInUse = Le32(r, 24);
  info.BaseRecord = Le64(r, 32) & kNtfsRecordMask;
  // Attributes lie inside the bytes the record says are in use; what lies
  // beyond is left over from an older record and not read.
  if (info.BytesInUse > r.size()) info.Damage = TDamage::PastBytesInUse;
  const ByteSpan used = r.first(std::min<std::size_t>(info.BytesInUse, r.size()));
  const auto stop = [&info](TDamage why) {
    if (info.Damage == TDamage::None) info.Damage = why;
  };
  std::uint64_t off = Le16(r, 20);
  std::uint32_t previousType = 0;
  while (Fits(r, off, 16)) {
    TNtfsAttrHeader a;
    a.Type = Le32(r, off);
    if (a.Type == kNtfsAttrEnd) break;
    a.Length = Le32(r, off + 4);
    if (a.Length < 16 || !Fits(r, off, a.Length)) break;
    if (!Fits(used, off, a.Length)) {
      stop(TDamage::PastBytesInUse);
      break;
    }
    // Writers keep attributes sorted by type: one out of order is damage,
    // and what follows it is not trusted.
    if (a.Type < previousType) {
      stop(TDamage::AttributeOrder);
      break;
    }
    previousType = a.Type;
    const std::uint64_t end = off + a.Length;
    a.Offset = static_cast<std::uint32_t>(off);
    a.NonResident = Le8(r, off + 8) != 0;
    a.Name = NtfsNameAt(r, off + Le16(r, off + 10), Le8(r, off + 9), end);
    a.Flags = Le16(r, off + 12);
    a.Id = Le16(r, off + 14);
    if (!a.NonResident) {
      const std::uint64_t valueOffset = off + Le16(r, off + 20);
      std::uint64_t valueLength = Le32(r, off + 16);
      if (a.Length < 24 || valueOffset > end) {
        valueLength = 0;
      } else if (valueLength > end - valueOffset) {
        valueLength = end - valueOffset;
      }
      a.ValueOffset = static_cast<std::uint32_t>(std::min(valueOffset, end));
      a.ValueLength = static_cast<std::uint32_t>(valueLength);
    } else {
      if (a.Length < 64) {
        off = end;
        continue;  // too short to describe runs: left out
      }
      a.StartVcn = LeS64(r, off + 16);
      a.LastVcn = LeS64(r, off + 24);
      const std::uint64_t runlist = off + Le16(r, off + 32);
      a.CompressionUnit = Le8(r, off + 34);
      a.AllocatedSize = LeS64(r, off + 40);
      a.DataSize = LeS64(r, off + 48);
      a.InitializedSize = LeS64(r, off + 56);
      if (runlist < end) {
        a.RunlistOffset = static_cast<std::uint32_t>(runlist);
        a.RunlistLength = static_cast<std::uint32_t>(end - runlist);
      }
    }
    attributes.push_back(std::move(a));
    off = end;
  }
  return true;
}

}  // namespace vandrel
