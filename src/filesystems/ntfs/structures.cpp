#include "filesystems/ntfs/structures.h"

#include <algorithm>
#include <bit>

#include "common/text.h"

namespace vandrel {
namespace {

bool PowerOfTwoIn(std::uint64_t value, std::uint64_t low, std::uint64_t high) {
  return value >= low && value <= high && std::has_single_bit(value);
}

// Bytes of a record or index block: clusters when positive, 2^-n bytes when
// negative.
std::uint64_t SizeFromClusters(std::int8_t raw, std::uint32_t clusterSize) {
  if (raw > 0) return static_cast<std::uint64_t>(raw) * clusterSize;
  if (raw < 0 && raw >= -31) return std::uint64_t{1} << (-raw);
  return 0;
}

std::string NameAt(ByteSpan bytes, std::uint64_t offset, std::uint64_t units, std::uint64_t limit) {
  if (offset >= limit) return {};
  const std::uint64_t room = (limit - offset) / 2;
  if (units > room) units = room;
  if (!Fits(bytes, offset, units * 2)) return {};
  return Utf16LeBytesToUtf8(bytes.subspan(offset, units * 2));
}

}  // namespace

bool ParseNtfsBoot(ByteSpan s, TNtfsBoot& out) {
  if (!BytesEqual(s, 3, "NTFS    ")) return false;
  bool ok = true;
  const std::uint32_t bytesPerSector = Le16(s, 11);
  if (PowerOfTwoIn(bytesPerSector, 256, 4096)) {
    out.BytesPerSector = bytesPerSector;
  } else {
    ok = false;
  }
  const std::uint8_t rawSpc = Le8(s, 13);
  std::uint64_t clusterSize = 0;
  if (rawSpc <= 0x80) {
    clusterSize = std::uint64_t{rawSpc} * out.BytesPerSector;
  } else if (256 - rawSpc <= 31) {
    clusterSize = std::uint64_t{1} << (256 - rawSpc);
  }
  if (PowerOfTwoIn(clusterSize, 256, 2u << 20)) {
    out.ClusterSize = static_cast<std::uint32_t>(clusterSize);
  } else {
    ok = false;
  }
  const std::uint64_t recordSize = SizeFromClusters(LeS8(s, 0x40), out.ClusterSize);
  if (PowerOfTwoIn(recordSize, 256, 65536)) {
    out.RecordSize = static_cast<std::uint32_t>(recordSize);
  } else {
    ok = false;
  }
  const std::uint64_t blockSize = SizeFromClusters(LeS8(s, 0x44), out.ClusterSize);
  if (PowerOfTwoIn(blockSize, 256, 65536)) {
    out.IndexBlockSize = static_cast<std::uint32_t>(blockSize);
  } else {
    ok = false;
  }
  out.TotalSectors = LeS64(s, 40);
  out.MftLcn = LeS64(s, 48);
  out.MirrLcn = LeS64(s, 56);
  return ok;
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

bool DecodeRunlist(ByteSpan runlist, std::int64_t startVcn, std::int64_t clusterCount, std::vector<TRunNode>& out) {
  // Keeps VCN x cluster size (at most 2 MiB) inside 64 bits.
  constexpr std::int64_t kMaxVcn = std::int64_t{1} << 40;
  if (startVcn < 0 || startVcn >= kMaxVcn) return false;
  std::size_t p = 0;
  std::int64_t lcn = 0;
  std::int64_t vcn = startVcn;
  bool any = false;
  while (p < runlist.size()) {
    const std::uint8_t header = runlist[p];
    const unsigned lengthSize = header & 0x0F;
    const unsigned offsetSize = header >> 4;
    if (header == 0 || lengthSize == 0 || lengthSize > 8 || offsetSize > 8) break;
    if (!Fits(runlist, p + 1, lengthSize + offsetSize)) break;
    const std::uint64_t length = LeN(runlist, p + 1, lengthSize);
    if (length == 0 || length > static_cast<std::uint64_t>(kMaxVcn - vcn)) break;
    TRunNode run;
    run.Vcn = vcn;
    run.Length = static_cast<std::int64_t>(length);
    if (offsetSize == 0) {
      run.Lcn = kLcnSparse;
    } else {
      const std::int64_t delta = LeSN(runlist, p + 1 + lengthSize, offsetSize);
      // Wrapping arithmetic: a damaged delta must not be undefined behaviour.
      lcn = static_cast<std::int64_t>(static_cast<std::uint64_t>(lcn) + static_cast<std::uint64_t>(delta));
      const std::int64_t limit = clusterCount > 0 ? clusterCount : kMaxVcn;
      const bool inside = lcn >= 0 && lcn < limit && run.Length <= limit - lcn;
      run.Lcn = inside ? lcn : kLcnOutside;
    }
    out.push_back(run);
    any = true;
    vcn += run.Length;
    p += 1 + lengthSize + offsetSize;
  }
  return any;
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
  std::uint64_t off = Le16(r, 20);
  while (Fits(r, off, 16)) {
    TNtfsAttrHeader a;
    a.Type = Le32(r, off);
    if (a.Type == kNtfsAttrEnd) break;
    a.Length = Le32(r, off + 4);
    if (a.Length < 16 || !Fits(r, off, a.Length)) break;
    const std::uint64_t end = off + a.Length;
    a.Offset = static_cast<std::uint32_t>(off);
    a.NonResident = Le8(r, off + 8) != 0;
    a.Name = NameAt(r, off + Le16(r, off + 10), Le8(r, off + 9), end);
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

void ParseAttributeList(ByteSpan list, std::vector<TNtfsListEntry>& out) {
  std::uint64_t off = 0;
  while (Fits(list, off, 26)) {
    const std::uint16_t length = Le16(list, off + 4);
    if (length < 26 || !Fits(list, off, length)) break;
    TNtfsListEntry e;
    e.Type = Le32(list, off);
    e.StartVcn = LeS64(list, off + 8);
    e.Record = Le64(list, off + 16) & kNtfsRecordMask;
    e.Id = Le16(list, off + 24);
    e.Name = NameAt(list, off + Le8(list, off + 7), Le8(list, off + 6), off + length);
    if (e.Type == kNtfsAttrEnd) break;
    out.push_back(std::move(e));
    off += length;
  }
}

bool ParseFileName(ByteSpan v, TNtfsFileName& out) {
  if (!Fits(v, 0, 66)) return false;
  out.Parent = Le64(v, 0) & kNtfsRecordMask;
  out.CreationTime = Le64(v, 8);
  out.WriteTime = Le64(v, 16);
  out.ChangeTime = Le64(v, 24);
  out.AccessTime = Le64(v, 32);
  out.AllocatedSize = LeS64(v, 40);
  out.RealSize = LeS64(v, 48);
  out.Flags = Le32(v, 56);
  out.Namespace = Le8(v, 65);
  out.Name = NameAt(v, 66, Le8(v, 64), v.size());
  return true;
}

void ParseIndexEntries(ByteSpan area, std::vector<TNtfsIndexEntry>& out) {
  std::uint64_t off = 0;
  while (Fits(area, off, 16)) {
    const std::uint16_t length = Le16(area, off + 8);
    const std::uint16_t keyLength = Le16(area, off + 10);
    const std::uint16_t flags = Le16(area, off + 12);
    if ((flags & 2) != 0) break;
    if (length < 16 || !Fits(area, off, length)) break;
    if (keyLength >= 66 && 16u + keyLength <= length) {
      TNtfsIndexEntry e;
      e.Record = Le64(area, off) & kNtfsRecordMask;
      if (ParseFileName(area.subspan(off + 16, keyLength), e.Key)) out.push_back(std::move(e));
    }
    off += length;
  }
}

bool IndexRootEntries(ByteSpan v, ByteSpan& entries, bool& large) {
  entries = {};
  large = false;
  if (!Fits(v, 0, 32) || Le32(v, 0) != kNtfsAttrFileName) return false;
  const std::uint64_t first = 16 + std::uint64_t{Le32(v, 16)};
  std::uint64_t end = 16 + std::uint64_t{Le32(v, 20)};
  large = (Le8(v, 28) & 1) != 0;
  if (end > v.size()) end = v.size();
  if (first < 32 || first >= end) return true;
  entries = v.subspan(first, end - first);
  return true;
}

bool IndexBlockEntries(ByteSpan b, ByteSpan& entries) {
  entries = {};
  if (!BytesEqual(b, 0, "INDX")) return false;
  const std::uint64_t first = 24 + std::uint64_t{Le32(b, 24)};
  std::uint64_t end = 24 + std::uint64_t{Le32(b, 28)};
  if (end > b.size()) end = b.size();
  if (first < 40 || first >= end) return false;
  entries = b.subspan(first, end - first);
  return true;
}

void TNtfsNameChoice::Offer(const TNtfsFileName& name) {
  if (name.Namespace == 1 || name.Namespace == 3) {
    primary_ = name;
  } else if (name.Namespace == 0) {
    if (primary_.Name.empty()) primary_ = name;
  } else if (name.Namespace == kNtfsNamespaceDos && !hasFallback_) {
    fallback_ = name;
    hasFallback_ = true;
  }
}

void TNtfsNameChoice::Offer(const TNtfsNameChoice& later) {
  // Its primary is the name that wins among its own, so offering it wins
  // or loses here as the whole sequence would; its fallback is its first
  // DOS name.
  if (!later.primary_.Name.empty()) Offer(later.primary_);
  if (later.hasFallback_) Offer(later.fallback_);
}

bool DescribeRecord(ByteSpan record, std::int64_t clusterCount, TNtfsRecordDescription& out) {
  out = {};
  std::vector<TNtfsAttrHeader> headers;
  if (!ParseRecordAttributes(record, out.Info, headers)) return false;
  for (const TNtfsAttrHeader& h : headers) {
    const ByteSpan value = h.NonResident ? ByteSpan() : record.subspan(h.ValueOffset, h.ValueLength);
    switch (h.Type) {
      case kNtfsAttrFileName: {
        TNtfsFileName name;
        if (!h.NonResident && ParseFileName(value, name)) out.Names.Offer(name);
        break;
      }
      case kNtfsAttrStandardInfo:
        if (h.NonResident) break;
        out.CreationTime = Le64(value, 0);
        out.WriteTime = Le64(value, 8);
        out.ChangeTime = Le64(value, 16);
        out.FileAttributes |= Le32(value, 32);
        break;
      case kNtfsAttrAttributeList:
        out.HasAttributeList = true;
        break;
      case kNtfsAttrData: {
        if (!h.Name.empty()) break;
        if (!h.NonResident) {
          out.HasData = true;
          out.DataSize = h.ValueLength;
          break;
        }
        if (h.StartVcn == 0) {
          out.HasData = true;
          out.DataSize = h.DataSize;
        }
        if (out.FirstLcn >= 0 || h.RunlistLength == 0) break;
        std::vector<TRunNode> runs;
        DecodeRunlist(record.subspan(h.RunlistOffset, h.RunlistLength), h.StartVcn, clusterCount, runs);
        for (const TRunNode& r : runs)
          if (r.Lcn >= 0) {
            out.FirstLcn = r.Lcn;
            break;
          }
        break;
      }
      default:
        break;
    }
  }
  return true;
}

namespace {
// One name of a reparse buffer: offset and length at `field` and
// `field` + 2, counted from the path buffer at `buffer`; the header's data
// length bounds it.
bool ReparseName(ByteSpan r, std::uint64_t buffer, std::uint64_t field, std::string& out) {
  out.clear();
  if (!Fits(r, 0, buffer)) return false;
  const std::uint64_t end = std::min<std::uint64_t>(r.size(), 8 + std::uint64_t{Le16(r, 4)});
  const std::uint64_t offset = buffer + std::uint64_t{Le16(r, field)};
  const std::uint64_t length = Le16(r, field + 2);
  if (length == 0 || (length & 1) != 0 || offset > end || length > end - offset) return false;
  out = Utf16LeBytesToUtf8(r.subspan(offset, length));
  return !out.empty();
}
}  // namespace

bool ParseMountPointTarget(ByteSpan r, std::string& substitute) {
  substitute.clear();
  // Header: tag, data length, reserved; then the name offsets and lengths,
  // both counted from the path buffer at 16.
  if (!Fits(r, 0, 16) || Le32(r, 0) != kNtfsReparseMountPoint) return false;
  return ReparseName(r, 16, 8, substitute);
}

bool ParseSymlinkTarget(ByteSpan r, std::string& target) {
  target.clear();
  // As a mount point, with 32 bits of flags before the path buffer at 20.
  if (!Fits(r, 0, 20) || Le32(r, 0) != kNtfsReparseSymlink) return false;
  const bool relative = (Le32(r, 16) & kNtfsSymlinkRelative) != 0;
  // The printed name is what the user typed ("C:\x"); the substitute name
  // of an absolute link carries the "\??\" object-manager prefix.
  if (relative || !ReparseName(r, 20, 12, target)) {
    if (!ReparseName(r, 20, 8, target)) return false;
    if (!relative && target.compare(0, 4, "\\??\\") == 0) target.erase(0, 4);
  }
  std::replace(target.begin(), target.end(), '\\', '/');
  return !target.empty();
}

bool ParseInterixLink(ByteSpan data, std::string& target) {
  target.clear();
  if (data.size() < kNtfsInterixLinkMagic.size() + 2 ||
      !std::equal(kNtfsInterixLinkMagic.begin(), kNtfsInterixLinkMagic.end(), data.begin()))
    return false;
  const ByteSpan text = data.subspan(kNtfsInterixLinkMagic.size(), (data.size() - kNtfsInterixLinkMagic.size()) & ~std::size_t{1});
  target = Utf16LeBytesToUtf8(text);
  // ntfs-3g writes no terminator; tolerate one.
  if (const auto nul = target.find('\0'); nul != std::string::npos) target.resize(nul);
  return !target.empty();
}

TSpecialKind ParseInterixSpecial(ByteSpan data, TSpecialInfo& info) {
  info = TSpecialInfo{};
  static constexpr std::array<std::uint8_t, 8> kChr = {'I', 'n', 't', 'x', 'C', 'H', 'R', 0};
  static constexpr std::array<std::uint8_t, 8> kBlk = {'I', 'n', 't', 'x', 'B', 'L', 'K', 0};
  if (data.empty()) info.Kind = TSpecialKind::Fifo;
  else if (data.size() == 1) info.Kind = TSpecialKind::Socket;
  else if (data.size() != 24) return TSpecialKind::Unknown;
  else if (std::equal(kChr.begin(), kChr.end(), data.begin())) info.Kind = TSpecialKind::CharDevice;
  else if (std::equal(kBlk.begin(), kBlk.end(), data.begin())) info.Kind = TSpecialKind::BlockDevice;
  else return TSpecialKind::Unknown;
  if (data.size() == 24) {
    // Linux device numbers are 32 bits each.
    const std::uint64_t major = Le64(data, 8), minor = Le64(data, 16);
    if (major > UINT32_MAX || minor > UINT32_MAX) {
      info = TSpecialInfo{};
      return TSpecialKind::Unknown;
    }
    info.Major = static_cast<std::uint32_t>(major);
    info.Minor = static_cast<std::uint32_t>(minor);
  }
  return info.Kind;
}

bool ParseLxSymlink(ByteSpan r, std::string& target) {
  target.clear();
  // Header, then a 32-bit version before the text; the header's data
  // length bounds it.
  if (!Fits(r, 0, 12) || Le32(r, 0) != kNtfsReparseLxSymlink) return false;
  const std::uint64_t end = std::min<std::uint64_t>(r.size(), 8 + std::uint64_t{Le16(r, 4)});
  if (end <= 12) return false;
  target.assign(r.begin() + 12, r.begin() + static_cast<std::ptrdiff_t>(end));
  if (target.find('\0') != std::string::npos) target.clear();
  return !target.empty();
}

TSpecialKind LxSpecialKind(std::uint32_t tag) {
  switch (tag) {
    case 0x80000023: return TSpecialKind::Socket;
    case 0x80000024: return TSpecialKind::Fifo;
    case 0x80000025: return TSpecialKind::CharDevice;
    case 0x80000026: return TSpecialKind::BlockDevice;
    default: return TSpecialKind::Unknown;
  }
}

bool FindEaValue(ByteSpan ea, std::string_view name, ByteSpan& value) {
  // Entries: offset of the next, flags, name length, value length, the
  // name and its NUL, the value.
  for (std::uint64_t at = 0; Fits(ea, at, 8);) {
    const std::uint64_t next = Le32(ea, at);
    const std::uint64_t nameLength = ea[at + 5];
    const std::uint64_t valueLength = Le16(ea, at + 6);
    if (!Fits(ea, at + 8, nameLength + 1 + valueLength)) return false;
    const ByteSpan entryName = ea.subspan(at + 8, nameLength);
    if (std::equal(entryName.begin(), entryName.end(), name.begin(), name.end())) {
      value = ea.subspan(at + 8 + nameLength + 1, valueLength);
      return true;
    }
    if (next == 0) return false;
    at += next;
  }
  return false;
}

}  // namespace vandrel
