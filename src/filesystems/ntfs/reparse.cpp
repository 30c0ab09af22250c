#include "filesystems/ntfs/reparse.h"

#include <algorithm>

#include "common/text.h"

namespace vandrel {
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
