#include "filesystems/ntfs/reparse.h"

#include <algorithm>

#include "common/text.h"

namespace vandrel {
namespace {

// An Interix device file: magic, then 64-bit major and minor numbers.
constexpr std::uint64_t kInterixDeviceMajor = 8;
constexpr std::uint64_t kInterixDeviceMinor = 16;
constexpr std::size_t kInterixDeviceLength = 24;

// An $EA entry: offset of the next, flags, name length, value length, then
// the name, its NUL and the value.
constexpr std::uint64_t kEaNextOffset = 0;
constexpr std::uint64_t kEaNameLength = 5;
constexpr std::uint64_t kEaValueLength = 6;
constexpr std::uint64_t kEaName = 8;

// The end of a reparse buffer's data: the header's data length bounds it.
std::uint64_t ReparseEnd(ByteSpan r) {
  return std::min<std::uint64_t>(r.size(), kNtfsReparseData + std::uint64_t{Le16(r, kNtfsReparseDataLength)});
}

// One name of a reparse buffer: its offset and length fields at `offsetField`
// and `lengthField`, counted from the path buffer at `buffer`.
bool ReparseName(ByteSpan r, std::uint64_t buffer, std::uint64_t offsetField, std::uint64_t lengthField,
                 std::string& out) {
  out.clear();
  if (!Fits(r, 0, buffer)) return false;
  const std::uint64_t end = ReparseEnd(r);
  const std::uint64_t offset = buffer + std::uint64_t{Le16(r, offsetField)};
  const std::uint64_t length = Le16(r, lengthField);
  if (length == 0 || (length & 1) != 0 || offset > end || length > end - offset) return false;
  out = Utf16LeBytesToUtf8(r.subspan(offset, length));
  return !out.empty();
}

}  // namespace

bool ParseMountPointTarget(ByteSpan r, std::string& substitute) {
  substitute.clear();
  if (!Fits(r, 0, kNtfsMountPointPathBuffer) || ReparseTag(r) != kNtfsReparseMountPoint) return false;
  return ReparseName(r, kNtfsMountPointPathBuffer, kNtfsReparseSubstituteOffset, kNtfsReparseSubstituteLength,
                     substitute);
}

bool ParseSymlinkTarget(ByteSpan r, std::string& target) {
  target.clear();
  if (!Fits(r, 0, kNtfsSymlinkPathBuffer) || ReparseTag(r) != kNtfsReparseSymlink) return false;
  const bool relative = (Le32(r, kNtfsSymlinkFlags) & kNtfsSymlinkRelative) != 0;
  // The printed name is what the user typed ("C:\x"); the substitute name
  // of an absolute link carries the "\??\" object-manager prefix.
  if (relative ||
      !ReparseName(r, kNtfsSymlinkPathBuffer, kNtfsReparsePrintOffset, kNtfsReparsePrintLength, target)) {
    if (!ReparseName(r, kNtfsSymlinkPathBuffer, kNtfsReparseSubstituteOffset, kNtfsReparseSubstituteLength, target))
      return false;
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
  else if (data.size() != kInterixDeviceLength) return TSpecialKind::Unknown;
  else if (std::equal(kChr.begin(), kChr.end(), data.begin())) info.Kind = TSpecialKind::CharDevice;
  else if (std::equal(kBlk.begin(), kBlk.end(), data.begin())) info.Kind = TSpecialKind::BlockDevice;
  else return TSpecialKind::Unknown;
  if (data.size() == kInterixDeviceLength) {
    // Linux device numbers are 32 bits each.
    const std::uint64_t major = Le64(data, kInterixDeviceMajor), minor = Le64(data, kInterixDeviceMinor);
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
  if (!Fits(r, 0, kNtfsLxSymlinkTarget) || ReparseTag(r) != kNtfsReparseLxSymlink) return false;
  const std::uint64_t end = ReparseEnd(r);
  if (end <= kNtfsLxSymlinkTarget) return false;
  target.assign(r.begin() + kNtfsLxSymlinkTarget, r.begin() + static_cast<std::ptrdiff_t>(end));
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
  // Each step moves forward (a zero offset ends the walk), so it ends.
  for (std::uint64_t at = 0; Fits(ea, at, kEaName);) {
    const std::uint64_t next = Le32(ea, at + kEaNextOffset);
    const std::uint64_t nameLength = Le8(ea, at + kEaNameLength);
    const std::uint64_t valueLength = Le16(ea, at + kEaValueLength);
    if (!Fits(ea, at + kEaName, nameLength + 1 + valueLength)) return false;
    const ByteSpan entryName = ea.subspan(at + kEaName, nameLength);
    if (std::equal(entryName.begin(), entryName.end(), name.begin(), name.end())) {
      value = ea.subspan(at + kEaName + nameLength + 1, valueLength);
      return true;
    }
    if (next == 0) return false;
    at += next;
  }
  return false;
}

}  // namespace vandrel
