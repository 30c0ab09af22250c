#include "filesystems/ntfs/index.h"

#include <algorithm>

#include "common/error_codes.h"
#include "common/log.h"
#include "common/text.h"
#include "filesystems/ntfs/ntfs.h"
#include "filesystems/ntfs/attribute_list.h"

namespace vandrel {
namespace {

// Listings kept in the directory cache, counted in entries.
constexpr std::size_t kMaxCachedEntries = 1u << 20;

TFileEntry EntryFromIndex(const TNtfsIndexEntry& e) {
  TFileEntry f;
  std::uint32_t attributes = e.Key.Flags;
  if ((attributes & kNtfsFileNameDirectory) != 0) attributes = (attributes & ~kNtfsFileNameDirectory) | kAttrDirectory;
  f.Attributes = attributes;
  f.CreationTime = e.Key.CreationTime;
  f.LastAccessTime = e.Key.AccessTime;
  f.LastWriteTime = e.Key.WriteTime;
  f.Size = e.Key.RealSize;
  f.Name = e.Key.Name;
  f.ObjectId = static_cast<std::int64_t>(e.Record);
  f.ParentId = static_cast<std::int64_t>(e.Key.Parent);
  return f;
}

}  // namespace

TNtfsIndexNode ParseNtfsIndexNode(ByteSpan b, std::uint64_t header) {
  TNtfsIndexNode n;
  n.EntriesStart = header + std::uint64_t{Le32(b, header + kNtfsNodeEntriesOffset)};
  n.EntriesEnd = header + std::uint64_t{Le32(b, header + kNtfsNodeEntriesEnd)};
  n.HasChildren = (Le8(b, header + kNtfsNodeFlags) & kNtfsNodeHasChildren) != 0;
  return n;
}

TNtfsIndexEntryHeader ParseNtfsIndexEntryHeader(ByteSpan area, std::uint64_t off) {
  TNtfsIndexEntryHeader h;
  h.Reference = Le64(area, off + kNtfsIndexEntryReference);
  h.Length = Le16(area, off + kNtfsIndexEntryLength);
  h.KeyLength = Le16(area, off + kNtfsIndexEntryKeyLength);
  h.Flags = Le16(area, off + kNtfsIndexEntryFlags);
  // The child's VCN ends the entry; an entry too short to hold it has none.
  if ((h.Flags & kNtfsIndexEntrySubnode) != 0 && h.Length >= kNtfsIndexEntryHeaderLength + 8 &&
      Fits(area, off, h.Length))
    h.SubnodeVcn = LeS64(area, off + h.Length - 8);
  return h;
}

bool ParseIndexEntries(ByteSpan area, std::vector<TNtfsIndexEntry>& out) {
  std::uint64_t off = 0;
  // Every step moves on by at least a header, so the walk ends.
  while (Fits(area, off, kNtfsIndexEntryHeaderLength)) {
    const TNtfsIndexEntryHeader h = ParseNtfsIndexEntryHeader(area, off);
    if ((h.Flags & kNtfsIndexEntryLast) != 0) return true;
    if (h.Length < kNtfsIndexEntryHeaderLength || !Fits(area, off, h.Length)) return false;
    if (h.KeyLength >= kNtfsFileNameHeaderLength && kNtfsIndexEntryHeaderLength + h.KeyLength <= h.Length) {
      TNtfsIndexEntry e;
      e.Record = h.Reference & kNtfsRecordMask;
      if (ParseFileName(area.subspan(off + kNtfsIndexEntryKey, h.KeyLength), e.Key)) out.push_back(std::move(e));
    }
    off += h.Length;
  }
  return false;
}

bool IndexRootEntries(ByteSpan v, ByteSpan& entries, bool& large) {
  entries = {};
  large = false;
  constexpr std::uint64_t kFirstEntry = kNtfsIndexRootNode + kNtfsNodeHeaderLength;
  if (!Fits(v, 0, kFirstEntry) || Le32(v, kNtfsIndexRootType) != kNtfsAttrFileName) return false;
  const TNtfsIndexNode node = ParseNtfsIndexNode(v, kNtfsIndexRootNode);
  large = node.HasChildren;
  const std::uint64_t end = std::min<std::uint64_t>(node.EntriesEnd, v.size());
  if (node.EntriesStart < kFirstEntry || node.EntriesStart >= end) return true;
  entries = v.subspan(node.EntriesStart, end - node.EntriesStart);
  return true;
}

bool IndexBlockEntries(ByteSpan b, ByteSpan& entries) {
  entries = {};
  constexpr std::uint64_t kFirstEntry = kNtfsIndexBlockNode + kNtfsNodeHeaderLength;
  if (!BytesEqual(b, 0, "INDX")) return false;
  const TNtfsIndexNode node = ParseNtfsIndexNode(b, kNtfsIndexBlockNode);
  const std::uint64_t end = std::min<std::uint64_t>(node.EntriesEnd, b.size());
  if (node.EntriesStart < kFirstEntry || node.EntriesStart >= end) return false;
  entries = b.subspan(node.EntriesStart, end - node.EntriesStart);
  return true;
}

std::shared_ptr<const std::vector<TFileEntry>> TNTFS::ListDirectory(std::int64_t record) {
  {
    std::lock_guard lock(cacheMutex_);
    const auto it = dirCache_.find(record);
    if (it != dirCache_.end()) return it->second;
  }
  auto list = std::make_shared<std::vector<TFileEntry>>();
  std::vector<TNtfsIndexEntry> raw;
  TNtfs_File_Streams s;
  TNtfsAttrDesc root;
  TDamage damage = TDamage::None;
  const auto met = [&damage](TDamage why) {
    if (damage == TDamage::None) damage = why;
  };
  const bool loaded = record >= 0 && LoadRecord(record, s);
  // Attributes a damaged walk left out may be the index's.
  if (s.Info.Damage != TDamage::None) met(s.Info.Damage);
  if (!loaded) met(TDamage::FolderUnreadable);
  if (s.Torn) {
    // The folder's own record: its index root is not trusted.
    met(TDamage::TornRecord);
  } else if (loaded && CollectAttribute(s, kNtfsAttrIndexRoot, "$I30", root) && root.Resident) {
    ByteSpan area;
    bool large = false;
    if (!IndexRootEntries(root.Value, area, large)) {
      LogText("Non _FILE_NAME Indexes");
    } else if (!ParseIndexEntries(area, raw)) {
      // Every node ends with its last-entry mark: entries after a broken
      // one (or a node header out of range) are missing.
      met(TDamage::FolderUnreadable);
    }
    TNtfsAttrDesc alloc;
    if (large && CollectAttribute(s, kNtfsAttrIndexAllocation, "$I30", alloc) && !alloc.Resident) {
      // Blocks past a short runlist are missing from the listing.
      if (alloc.Damage != TDamage::None) met(alloc.Damage);
      // Blocks the index bitmap marks free hold stale entries: skipped.
      TNtfsAttrDesc bitmapDesc;
      std::vector<std::uint8_t> bits;
      const bool haveBits = CollectAttribute(s, kNtfsAttrBitmap, "$I30", bitmapDesc) &&
                            ReadAttributeValue(bitmapDesc, bits, kMaxListBytes);
      const std::int64_t blockSize = boot_.IndexBlockSize;
      const std::int64_t volumeBytes = clusterCount_ * clusterSize_;
      const std::int64_t size = std::min({EffectiveSize(alloc, clusterSize_), volumeBytes});
      std::vector<std::uint8_t> block(static_cast<std::size_t>(blockSize));
      for (std::int64_t i = 0; i < size / blockSize; ++i) {
        if (haveBits && (static_cast<std::uint64_t>(i / 8) >= bits.size() || ((bits[static_cast<std::size_t>(i / 8)] >> (i % 8)) & 1) == 0))
          continue;
        const std::int64_t vcn = i * blockSize / clusterSize_;
        const TRunNode* run = FindRun(alloc.Runs, vcn);
        if (run != nullptr && run->Lcn == kLcnOutside) met(TDamage::RunOutsideVolume);
        if (run == nullptr || run->Lcn < 0) continue;
        if (!ReadRuns(alloc.Runs, i * blockSize, block.data(), block.size())) met(TDamage::Unreadable);
        if (!BytesEqual(block, 0, "INDX")) {
          // A block the bitmap marks in use holds entries.
          if (haveBits) met(TDamage::FolderUnreadable);
          continue;
        }
        // A torn block's entries may be half old, half new: left out.
        if (!ApplyFixup(block)) {
          met(TDamage::TornRecord);
          continue;
        }
        if (!IndexBlockEntries(block, area) || !ParseIndexEntries(area, raw)) met(TDamage::FolderUnreadable);
      }
    }
  }
  const std::int64_t volumeSize = storage_ != nullptr ? storage_->Size : 0;
  for (const TNtfsIndexEntry& e : raw) {
    if (e.Key.Namespace == kNtfsNamespaceDos) continue;
    // The root indexes itself as "."; listing it would make every walk loop.
    if (static_cast<std::int64_t>(e.Record) == record) continue;
    TFileEntry f = EntryFromIndex(e);
    if (f.IsDirectory() && f.Size != 0) continue;
    const bool mayPassVolume = !f.IsDirectory() && RefreshFromRecord(f);
    // A size past the volume marks a garbage entry, unless the file's own
    // record holds sparse or compressed data, which can be that large.
    if (f.Size < 0 || (volumeSize > 0 && f.Size >= volumeSize && !mayPassVolume)) continue;
    ClassifyLink(f);
    f.Storage = storage_;
    f.Fs = this;
    list->push_back(std::move(f));
  }
  std::lock_guard lock(cacheMutex_);
  if (cachedEntries_ + list->size() > kMaxCachedEntries) {
    dirCache_.clear();
    dirDamage_.clear();
    cachedEntries_ = 0;
  }
  cachedEntries_ += list->size();
  dirCache_[record] = list;
  if (damage != TDamage::None) dirDamage_[record] = damage;
  return list;
}

TDamage TNTFS::FindDamage(const TFileEntry& directory, FsHandle handle) {
  const std::int64_t record = directory.ObjectId == 0 ? kNtfsRootRecord : directory.ObjectId;
  std::lock_guard lock(cacheMutex_);
  const auto it = dirDamage_.find(record);
  return it != dirDamage_.end() ? it->second : FileSystem::FindDamage(directory, handle);
}

}  // namespace vandrel
