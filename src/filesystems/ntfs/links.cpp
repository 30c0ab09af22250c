// Links as the NTFS reader sees them: symbolic links, junctions and the
// special files ntfs-3g writes, and following junctions inside the volume.
#include <algorithm>

#include "common/error_codes.h"
#include "common/log.h"
#include "common/text.h"
#include "filesystems/ntfs/ntfs.h"
#include "filesystems/ntfs/reparse.h"
#include "platform/locale.h"

namespace vandrel {
namespace {

// Reparse data this long or longer is damage.
constexpr std::int64_t kMaxReparseBytes = 64000;
// The $LXDEV extended attribute of a WSL device file.
constexpr std::uint64_t kLxDevMajor = 0;
constexpr std::uint64_t kLxDevMinor = 4;
constexpr std::size_t kLxDevLength = 8;
// Junction targets kept.
constexpr std::size_t kMaxCachedLinks = 65536;

// Whether `path` lies inside `target` (or is it), comparing whole names
// without case. A relative path is inside no absolute target.
bool PathWithin(std::string_view path, std::string_view target) {
  std::vector<std::string_view> inner, outer;
  bool innerAbsolute = false, outerAbsolute = false;
  if (!SplitPath(path, inner, innerAbsolute) || !SplitPath(target, outer, outerAbsolute)) return false;
  if (innerAbsolute != outerAbsolute || outer.size() > inner.size()) return false;
  for (std::size_t i = 0; i < outer.size(); ++i)
    if (!EqualNoCase(inner[i], outer[i])) return false;
  return true;
}

// Characters (not bytes) of UTF-8 text before byte `end`.
std::size_t CharactersBefore(std::string_view text, std::size_t end) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < end && i < text.size(); ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++n;
  return n;
}

}  // namespace

TNTFS::LinkKind TNTFS::ReadLinkText(const TFileEntry& entry, std::string& target, TSpecialInfo* special) {
  target.clear();
  TSpecialInfo ignored;
  TSpecialInfo& info = special != nullptr ? *special : ignored;
  info = TSpecialInfo{};
  const bool reparse = (entry.Attributes & kAttrReparsePoint) != 0;
  // ntfs-3g's Interix links and special files are small system files past
  // the metafiles; anything else is not read.
  const std::int64_t longestLink = static_cast<std::int64_t>(kNtfsInterixLinkMagic.size()) + 2 * kMaxLinkTarget;
  const bool interix = !reparse && (entry.Attributes & kAttrSystem) != 0 && !entry.IsDirectory() &&
                       entry.ObjectId >= kNtfsFirstUserRecord && entry.Size >= 0 && entry.Size <= longestLink;
  if (!reparse && !interix) return LinkKind::None;
  try {
    TNtfs_File_Streams s;
    TNtfsAttrDesc d;
    if (!LoadRecord(entry.ObjectId, s) || !CollectAttribute(s, reparse ? kNtfsAttrReparsePoint : kNtfsAttrData, "", d))
      return LinkKind::None;
    std::vector<std::uint8_t> data;
    const std::int64_t cap = reparse ? kMaxReparseBytes : longestLink;
    if (EffectiveSize(d, clusterSize_) > cap || !ReadAttributeValue(d, data, static_cast<std::size_t>(cap)))
      return LinkKind::None;
    if (!reparse) {
      if (ParseInterixLink(data, target)) return LinkKind::Symlink;
      return ParseInterixSpecial(data, info) != TSpecialKind::Unknown ? LinkKind::Special : LinkKind::None;
    }
    if (ParseSymlinkTarget(data, target) || ParseLxSymlink(data, target)) return LinkKind::Symlink;
    if (!Fits(data, kNtfsReparseTag, 4)) return LinkKind::None;
    if (ReparseTag(data) == kNtfsReparseMountPoint) return LinkKind::Junction;
    info.Kind = entry.IsDirectory() ? TSpecialKind::Unknown : LxSpecialKind(ReparseTag(data));
    if (info.Kind == TSpecialKind::Unknown) return LinkKind::None;
    if (info.Kind == TSpecialKind::CharDevice || info.Kind == TSpecialKind::BlockDevice) {
      // The device numbers: 32-bit major, then minor, in the extended attribute.
      TNtfsAttrDesc ea;
      std::vector<std::uint8_t> eaBytes;
      ByteSpan dev;
      if (CollectAttribute(s, kNtfsAttrEa, kNtfsAnyStream, ea) && EffectiveSize(ea, clusterSize_) <= kMaxReparseBytes &&
          ReadAttributeValue(ea, eaBytes, kMaxReparseBytes) && FindEaValue(eaBytes, "$LXDEV", dev) && dev.size() >= kLxDevLength) {
        info.Major = Le32(dev, kLxDevMajor);
        info.Minor = Le32(dev, kLxDevMinor);
      }
    }
    return LinkKind::Special;
  } catch (...) {
    target.clear();
    info = TSpecialInfo{};
  }
  return LinkKind::None;
}

void TNTFS::ClassifyLink(TFileEntry& f) {
  std::string target;
  switch (ReadLinkText(f, target, nullptr)) {
    case LinkKind::Symlink:
      // A link to a folder is a link too: it is not entered.
      f.Attributes = (f.Attributes & ~kAttrDirectory) | kAttrSymlink;
      f.Size = static_cast<std::int64_t>(target.size());
      break;
    case LinkKind::Junction:
      if (f.IsDirectory()) f.Attributes |= kAttrJunction;
      break;
    case LinkKind::Special: f.Attributes |= kAttrSpecial; break;
    case LinkKind::None: break;
  }
}

bool TNTFS::ReadLinkTarget(const TFileEntry& entry, std::string& target) {
  if ((entry.Attributes & kAttrSymlink) == 0) return false;
  TFileEntry probe = entry;
  // Listed entries carry the target's length as their size, not the data's:
  // the data's own size is checked when it is read.
  probe.Attributes &= ~kAttrDirectory;
  probe.Size = 0;
  return ReadLinkText(probe, target, nullptr) == LinkKind::Symlink && target.size() <= static_cast<std::size_t>(kMaxLinkTarget);
}

bool TNTFS::ReadSpecialInfo(const TFileEntry& entry, TSpecialInfo& info) {
  info = TSpecialInfo{};
  std::string target;
  return (entry.Attributes & kAttrSpecial) != 0 && ReadLinkText(entry, target, &info) == LinkKind::Special;
}

std::int64_t TNTFS::FollowLink(const TFileEntry& link, int& hops) {
  // Junctions that lead to each other end here, like any chain too long.
  if (hops <= 0) return link.ObjectId;
  --hops;
  const std::string target = CachedLinkTarget(link);
  if (target.empty()) return link.ObjectId;
  TFileEntry reached;
  const std::int64_t record = ResolvePath(target, reached, hops);
  return record >= 0 && (record == kNtfsRootRecord || reached.IsDirectory()) ? record : link.ObjectId;
}

std::string TNTFS::CachedLinkTarget(const TFileEntry& link) {
  {
    std::lock_guard lock(cacheMutex_);
    const auto it = linkCache_.find(link.ObjectId);
    if (it != linkCache_.end()) return it->second;
  }
  std::string target = ResolveLinkTarget(link);
  std::lock_guard lock(cacheMutex_);
  if (linkCache_.size() < kMaxCachedLinks) linkCache_.emplace(link.ObjectId, target);
  return target;
}

std::string TNTFS::ResolveLinkTarget(const TFileEntry& entry) {
  try {
    TNtfs_File_Streams s;
    TNtfsAttrDesc d;
    if (!LoadRecord(entry.ObjectId, s) || !CollectAttribute(s, kNtfsAttrReparsePoint, "", d)) return {};
    if (EffectiveSize(d, clusterSize_) >= kMaxReparseBytes) return {};
    std::vector<std::uint8_t> data;
    ReadAttributeValue(d, data, kMaxReparseBytes);
    // Only mount points: a symbolic link's buffer is laid out differently
    // and may be relative.
    std::string text;
    if (!ParseMountPointTarget(data, text)) return {};
    if (text.size() <= 4 || text.compare(0, 4, "\\??\\") != 0) return {};
    text.erase(0, 4);
    LogText("Link: " + text);
    // "C:\rest" names this volume's "\rest"; a volume name ("Volume{...}\")
    // is longer and stays, so that its lookup fails.
    const std::size_t slash = text.find('\\');
    if (slash != std::string::npos) {
      const std::size_t at = CharactersBefore(text, slash);
      if (at >= 2 && at <= 15) text.erase(0, slash);
    }
    LogText("Local_Link: " + text);
    std::replace(text.begin(), text.end(), '\\', kPathDelimiter);
    const std::string path = LinkCheckPath(entry);
    LogText("iFileName: " + path);
    // A junction to its own folder or to one above it would list itself.
    if (PathWithin(path, text)) return {};
    return text;
  } catch (...) {
    return {};
  }
}

}  // namespace vandrel
