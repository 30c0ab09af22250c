#include "filesystems/ntfs/record.h"

#include <algorithm>
#include <bit>

#include "common/text.h"

namespace vandrel {
namespace {

// Header of a protected ("FILE" or "INDX") buffer.
constexpr std::uint64_t kUpdateSequenceOffset = 4;
constexpr std::uint64_t kUpdateSequenceCount = 6;
// MFT record header.
constexpr std::uint64_t kMftRecordLinkCount = 18;
constexpr std::uint64_t kMftRecordFirstAttribute = 20;
constexpr std::uint64_t kMftRecordFlags = 22;
constexpr std::uint64_t kMftRecordBytesInUse = 24;
constexpr std::uint64_t kMftRecordBaseRecord = 32;
constexpr std::uint16_t kMftRecordInUse = 0x0001;
constexpr std::uint16_t kMftRecordIsDirectory = 0x0002;
// Attribute header, common part.
constexpr std::uint64_t kAttrType = 0;
constexpr std::uint64_t kAttrLength = 4;
constexpr std::uint64_t kAttrNonResident = 8;
constexpr std::uint64_t kAttrNameLength = 9;
constexpr std::uint64_t kAttrNameOffset = 10;
constexpr std::uint64_t kAttrFlags = 12;
constexpr std::uint64_t kAttrId = 14;
// Resident part.
constexpr std::uint64_t kAttrValueLength = 16;
constexpr std::uint64_t kAttrValueOffset = 20;
constexpr std::uint32_t kResidentHeaderLength = 24;
// Non-resident part.
constexpr std::uint64_t kAttrStartVcn = 16;
constexpr std::uint64_t kAttrLastVcn = 24;
constexpr std::uint64_t kAttrRunlistOffset = 32;
constexpr std::uint64_t kAttrCompressionUnit = 34;
constexpr std::uint64_t kAttrAllocatedSize = 40;
constexpr std::uint64_t kAttrDataSize = 48;
constexpr std::uint64_t kAttrInitializedSize = 56;
constexpr std::uint32_t kNonResidentHeaderLength = 64;

}  // namespace

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
  const std::uint32_t offset = Le16(b, kUpdateSequenceOffset);
  const std::uint32_t count = Le16(b, kUpdateSequenceCount);
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
  const std::uint16_t flags = Le16(r, kMftRecordFlags);
  info.InUse = (flags & kMftRecordInUse) != 0;
  info.Directory = (flags & kMftRecordIsDirectory) != 0;
  info.LinkCount = Le16(r, kMftRecordLinkCount);
  info.BytesInUse = Le32(r, kMftRecordBytesInUse);
  info.BaseRecord = Le64(r, kMftRecordBaseRecord) & kNtfsRecordMask;
  // Attributes lie inside the bytes the record says are in use; what lies
  // beyond is left over from an older record and not read.
  if (info.BytesInUse > r.size()) info.Damage = TDamage::PastBytesInUse;
  const ByteSpan used = r.first(std::min<std::size_t>(info.BytesInUse, r.size()));
  const auto stop = [&info](TDamage why) {
    if (info.Damage == TDamage::None) info.Damage = why;
  };
  std::uint64_t off = Le16(r, kMftRecordFirstAttribute);
  std::uint32_t previousType = 0;
  while (Fits(r, off, 16)) {
    TNtfsAttrHeader a;
    a.Type = Le32(r, off + kAttrType);
    if (a.Type == kNtfsAttrEnd) break;
    a.Length = Le32(r, off + kAttrLength);
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
    a.NonResident = Le8(r, off + kAttrNonResident) != 0;
    a.Name = NtfsNameAt(r, off + Le16(r, off + kAttrNameOffset), Le8(r, off + kAttrNameLength), end);
    a.Flags = Le16(r, off + kAttrFlags);
    a.Id = Le16(r, off + kAttrId);
    if (!a.NonResident) {
      const std::uint64_t valueOffset = off + Le16(r, off + kAttrValueOffset);
      std::uint64_t valueLength = Le32(r, off + kAttrValueLength);
      if (a.Length < kResidentHeaderLength || valueOffset > end) {
        valueLength = 0;
      } else if (valueLength > end - valueOffset) {
        valueLength = end - valueOffset;
      }
      a.ValueOffset = static_cast<std::uint32_t>(std::min(valueOffset, end));
      a.ValueLength = static_cast<std::uint32_t>(valueLength);
    } else {
      if (a.Length < kNonResidentHeaderLength) {
        off = end;
        continue;  // too short to describe runs: left out
      }
      a.StartVcn = LeS64(r, off + kAttrStartVcn);
      a.LastVcn = LeS64(r, off + kAttrLastVcn);
      const std::uint64_t runlist = off + Le16(r, off + kAttrRunlistOffset);
      a.CompressionUnit = Le8(r, off + kAttrCompressionUnit);
      a.AllocatedSize = LeS64(r, off + kAttrAllocatedSize);
      a.DataSize = LeS64(r, off + kAttrDataSize);
      a.InitializedSize = LeS64(r, off + kAttrInitializedSize);
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
