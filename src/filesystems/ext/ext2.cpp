#include "filesystems/ext/ext2.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <mutex>

#include "common/func.h"
#include "common/log.h"
#include "common/error_codes.h"
#include "filesystems/ext/directory.h"
#include "filesystems/ext/extents.h"
#include "filesystems/ext/group_descriptor.h"
#include "filesystems/ext/inline_data.h"
#include "filesystems/volume_read.h"

namespace vandrel {

// ------------------------------------------------------------ block maps

class TExt2::BlockMap : public Ext2MapBlocks {
 public:
  BlockMap(TExt2& fs, const Ext2Inode& inode) : fs_(fs), inode_(inode) {}

  bool Map(std::uint64_t logical, std::uint64_t& physical, std::uint64_t& count) {
    return Extents() ? MapExt2Extents(inode_, fs_.sb_, *this, logical, physical, count, failure_)
                     : MapExt2BlockPointers(inode_, fs_.sb_, *this, logical, physical, count, failure_);
  }

  // Logical blocks up to the end of the last one the map places: a few
  // map blocks along the last branch, whatever the size says.
  std::uint64_t MappedEnd() { return Extents() ? Ext2ExtentsEnd(inode_, *this) : Ext2BlockPointersEnd(inode_, fs_.sb_, *this); }

  // Why the last Map that failed did.
  TDamage Failure() const { return failure_; }

  // Most blocks the map can address.
  static std::uint64_t Reach(const Ext2Inode& inode, std::uint64_t blockSize) {
    if ((inode.flags & kExt2FlagExtents) != 0) return std::uint64_t{1} << 32;
    return Ext2BlockPointersReach(blockSize);
  }

  const std::vector<std::uint8_t>* Load(std::size_t slot, std::uint64_t block) override {
    Cached& cached = cache_[slot];
    if (cached.block == block && !cached.bytes.empty()) return &cached.bytes;
    cached.block = 0;
    if (!fs_.ReadBlock(block, cached.bytes)) return nullptr;
    cached.block = block;
    return &cached.bytes;
  }

 private:
  struct Cached {
    std::uint64_t block = 0;
    std::vector<std::uint8_t> bytes;
  };

  bool Extents() const { return (inode_.flags & kExt2FlagExtents) != 0; }

  TExt2& fs_;
  Ext2Inode inode_;
  std::array<Cached, kExt2PointerSlots + kExtentSlots> cache_;
  TDamage failure_ = TDamage::None;
};

struct TExt2::TExt2FileData {
  std::uint32_t inodeNumber = 0;
  Ext2Inode inode;
  std::int64_t size = 0;
  std::int64_t position = 0;
  bool inlineData = false;
  std::vector<std::uint8_t> inlineBytes;
  // Guards map (its per-level block cache and last failure) and damage:
  // several threads may read one open file. Taken only around those, never
  // across a read of file data.
  std::mutex lock;
  std::unique_ptr<BlockMap> map;
  TDamage damage = TDamage::None;  // the first a read or the size met
};

struct TExt2::TExt2FindHandle {
  static constexpr int kTree = 1;
  static constexpr int kDeleted = 2;
  static constexpr int kEmpty = 4;
  int flags = 0;
  FsHandle treeHandle = kNoHandle;
  TExt2Node* dirNode = nullptr;
  std::uint32_t dirInode = 0;
  std::unique_ptr<TExt2FileData> data;
  std::uint64_t blockIndex = 0;  // next block of the directory to load
  std::uint64_t blockCount = 0;
  std::vector<std::uint8_t> block;
  std::uint64_t offset = 0;  // next record in the loaded block
  bool loaded = false;
  bool damaged = false;
  std::size_t index = 0;  // entries handed out
  std::vector<TFileEntry> pending;  // deleted records found in slack
};

// ------------------------------------------------------------ volume

TExt2::TExt2(TStorage* storage, bool scan) : FileSystem(storage), scan_(scan) {}

TExt2::~TExt2() = default;

bool TExt2::ReadBlock(std::uint64_t block, std::vector<std::uint8_t>& out) {
  out.assign(sb_.blockSize, 0);
  if (block == 0 || block >= sb_.blocksCount) return false;
  return ReadVolumeBytes(*storage_, block * sb_.blockSize, out.data(), out.size());
}

bool TExt2::Open() {
  opened_ = false;
  if (storage_ == nullptr) return false;
  std::vector<std::uint8_t> super(kExt2SuperblockSize);
  if (!ReadVolumeBytes(*storage_, kExt2SuperblockOffset, super.data(), super.size())) return false;
  if (const Ext2SuperblockFault fault = ParseExt2Superblock(super, sb_); fault != Ext2SuperblockFault::kNone) {
    // Without the magic this is simply no Ext volume; anything else is damage.
    if (fault != Ext2SuperblockFault::kBadMagic)
      LogEvent(kSenderGeneral, kErrImageCorrupted, 0, Sprintf("Ext2: superblock: %s", Ext2SuperblockFaultText(fault)), 3);
    return false;
  }
  clusterSize_ = sb_.blockSize;
  if (!ReadGroupDescriptors()) return false;
  opened_ = ReadInode(kExt2RootInode, rootInode_);
  return opened_;
}

bool TExt2::ReadGroupDescriptors() {
  descriptors_.clear();
  const std::uint64_t volumeBytes =
      static_cast<std::uint64_t>(std::max<std::int64_t>(storage_->SectorCount, 0)) * static_cast<std::uint64_t>(sectorSize_);
  const std::uint64_t tableBytes = sb_.groupCount * sb_.descSize;
  if (sb_.groupCount > std::numeric_limits<std::uint32_t>::max() || tableBytes > volumeBytes) {
    LogEvent(kSenderGeneral, kErrImageCorrupted, 0, "Ext2: the group descriptor table is larger than the volume", 3);
    return false;
  }
  const std::uint64_t perBlock = sb_.blockSize / sb_.descSize;
  const std::uint64_t blocks = (sb_.groupCount + perBlock - 1) / perBlock;
  descriptors_.assign(static_cast<std::size_t>(blocks * sb_.blockSize), 0);
  bool any = false;
  std::vector<std::uint8_t> one;
  for (std::uint64_t b = 0; b < blocks; ++b) {
    const std::uint64_t location = Ext2DescriptorBlock(sb_, b);
    if (ReadBlock(location, one)) any = true;
    else LogText("Ext2.TExt2.GetDescriptorGroup() error");
    std::memcpy(descriptors_.data() + b * sb_.blockSize, one.data(), sb_.blockSize);
  }
  descriptors_.resize(static_cast<std::size_t>(tableBytes));
  return any;
}

bool TExt2::InodeLocation(std::uint32_t number, std::uint64_t& offset) const {
  offset = 0;
  if (number == 0 || number > sb_.inodesCount || sb_.inodesPerGroup == 0) return false;
  const std::uint64_t group = (number - 1) / sb_.inodesPerGroup;
  const std::uint64_t index = (number - 1) % sb_.inodesPerGroup;
  if (group >= sb_.groupCount || (group + 1) * sb_.descSize > descriptors_.size()) return false;
  const ByteSpan descriptor = ByteSpan(descriptors_).subspan(static_cast<std::size_t>(group * sb_.descSize), sb_.descSize);
  const std::uint64_t table = Ext2InodeTableBlock(descriptor, sb_);
  if (table == 0 || table >= sb_.blocksCount) return false;
  offset = table * sb_.blockSize + index * sb_.inodeSize;
  return true;
}

bool TExt2::ReadInode(std::uint32_t number, Ext2Inode& out, std::vector<std::uint8_t>* record) {
  out = Ext2Inode{};
  std::vector<std::uint8_t> local;
  std::vector<std::uint8_t>& bytes = record != nullptr ? *record : local;
  bytes.clear();
  std::uint64_t offset = 0;
  if (!InodeLocation(number, offset)) return false;
  bytes.assign(sb_.inodeSize, 0);
  if (!ReadVolumeBytes(*storage_, offset, bytes.data(), bytes.size())) {
    bytes.clear();
    return false;
  }
  out = ParseExt2Inode(bytes, sb_);
  return true;
}

void TExt2::Prepare() {
  if (!tree_) tree_ = std::make_unique<TExt2FileTree>(this);
}

std::int64_t TExt2::GetDataStartSector(const TFileEntry& entry) {
  Ext2Inode inode;
  if (entry.ObjectId <= 0 || entry.ObjectId > UINT32_MAX || !ReadInode(static_cast<std::uint32_t>(entry.ObjectId), inode))
    return 0;
  if (sectorSize_ <= 0) return 0;
  std::uint64_t at = 0;  // byte position of the data
  if ((inode.flags & kExt2FlagInlineData) != 0) {
    // Data stored inside the inode: its record.
    if (!InodeLocation(static_cast<std::uint32_t>(entry.ObjectId), at)) return 0;
  } else {
    BlockMap map(*this, inode);
    std::uint64_t physical = 0;
    std::uint64_t count = 0;
    if (!map.Map(0, physical, count)) return 0;
    at = physical * sb_.blockSize;
  }
  const std::int64_t sector = static_cast<std::int64_t>(at / static_cast<std::uint64_t>(sectorSize_));
  return std::clamp<std::int64_t>(sector, 0, std::max<std::int64_t>(storage_->SectorCount - 1, 0));
}

// ------------------------------------------------------------ files

std::uint64_t TExt2::DataSize(std::uint32_t number, const Ext2Inode& inode, bool* damaged) {
  if ((inode.flags & kExt2FlagInlineData) != 0) return inode.size;
  const std::uint64_t blockSize = sb_.blockSize;
  const std::uint64_t reach = BlockMap::Reach(inode, blockSize);
  if (inode.size <= reach * blockSize) return inode.size;
  // More than the map can address: damage. The file is what its map covers,
  // so that a flipped high size word cannot make a read go on for ever.
  BlockMap map(*this, inode);
  const std::uint64_t covered = std::min(map.MappedEnd(), reach) * blockSize;
  LogEvent(kSenderGeneral, kErrImageCorrupted, 0,
           Sprintf("Ext2: inode %u: size %llu is more than the block map can address; read as the %llu bytes it maps",
                   number, static_cast<unsigned long long>(inode.size), static_cast<unsigned long long>(covered)),
           3);
  if (damaged != nullptr) *damaged = true;
  return covered;
}

std::unique_ptr<TExt2::TExt2FileData> TExt2::OpenInodeData(std::uint32_t number, const Ext2Inode& inode,
                                                            ByteSpan record, std::string& why) {
  if ((inode.flags & kExt2FlagEncrypted) != 0) {
    why = "encrypted data";
    return nullptr;
  }
  auto data = std::make_unique<TExt2FileData>();
  data->inodeNumber = number;
  data->inode = inode;
  bool sizeDamaged = false;
  data->size = static_cast<std::int64_t>(std::min<std::uint64_t>(DataSize(number, inode, &sizeDamaged), std::numeric_limits<std::int64_t>::max()));
  if (sizeDamaged) data->damage = TDamage::SizeBeyondMap;
  if ((inode.flags & kExt2FlagInlineData) != 0) {
    // The block area, then the rest from the inode's "system.data"
    // attribute; what lies beyond the stored bytes up to the size reads as
    // zeros.
    data->inlineData = true;
    data->inlineBytes.assign(inode.blockArea.begin(), inode.blockArea.end());
    ByteSpan rest;
    if (FindExt2InodeXattr(record, kExt2XattrIndexSystem, kExt2InlineDataName, rest) == Ext2XattrLookup::kFound)
      data->inlineBytes.insert(data->inlineBytes.end(), rest.begin(), rest.end());
    else
      LogText(Sprintf("Ext2: inode %u: the inline data beyond the first %zu bytes is missing or damaged", number,
                      inode.blockArea.size()));
    return data;
  }
  // A fast symbolic link keeps its target where the block map would be.
  const std::uint64_t aclBlocks = inode.fileAcl != 0 ? sb_.blockSize / kExt2InodeBlocksUnit : 0;
  if (inode.Type() == kExt2TypeSymlink && inode.size <= inode.blockArea.size() &&
      (inode.flags & kExt2FlagExtents) == 0 && inode.blocks <= aclBlocks) {
    data->inlineData = true;
    data->inlineBytes.assign(inode.blockArea.begin(), inode.blockArea.begin() + static_cast<std::ptrdiff_t>(inode.size));
    return data;
  }
  data->map = std::make_unique<BlockMap>(*this, inode);
  return data;
}

FsHandle TExt2::OpenFile(const TFileEntry& entry) {
  if (!opened_) return kNoHandle;
  std::int64_t number = entry.ObjectId == 0 ? kExt2RootInode : entry.ObjectId;
  Ext2Inode inode;
  std::vector<std::uint8_t> record;
  if (number <= 0 || number > UINT32_MAX || !ReadInode(static_cast<std::uint32_t>(number), inode, &record)) {
    LogText(Sprintf("Except in ResetFileEx. tmpInode = nil. Inode #%lld", static_cast<long long>(number)));
    return kNoHandle;
  }
  std::string why;
  auto data = OpenInodeData(static_cast<std::uint32_t>(number), inode, record, why);
  if (!data) {
    LogText(Sprintf("Ext2: inode %lld holds %s, which this reader cannot read", static_cast<long long>(number),
                    why.c_str()));
    return kNoHandle;
  }
  return files_.Add(std::move(data));
}

std::int32_t TExt2::ReadAt(FsHandle handle, std::int64_t offset, void* buffer, std::int32_t count) {
  TExt2FileData* data = handle == kNoHandle ? nullptr : files_.Get(handle);
  if (data == nullptr || count <= 0 || offset < 0 || offset >= data->size) return 0;
  auto* out = static_cast<std::uint8_t*>(buffer);
  const std::uint64_t wanted =
      std::min<std::uint64_t>(static_cast<std::uint64_t>(count), static_cast<std::uint64_t>(data->size - offset));
  if (data->inlineData) {
    const std::uint64_t available = data->inlineBytes.size() > static_cast<std::uint64_t>(offset)
                                        ? data->inlineBytes.size() - static_cast<std::uint64_t>(offset)
                                        : 0;
    const std::uint64_t n = std::min(wanted, available);
    if (n > 0) std::memcpy(out, data->inlineBytes.data() + offset, n);
    std::memset(out + n, 0, wanted - n);
    return static_cast<std::int32_t>(wanted);
  }
  const std::uint64_t blockSize = sb_.blockSize;
  std::uint64_t done = 0;
  while (done < wanted) {
    const std::uint64_t position = static_cast<std::uint64_t>(offset) + done;
    const std::uint64_t logical = position / blockSize;
    const std::uint64_t within = position % blockSize;
    std::uint64_t physical = 0;
    std::uint64_t blocks = 0;
    const std::uint64_t left = wanted - done;
    const std::uint64_t needBlocks = (within + left + blockSize - 1) / blockSize;
    bool failed = false;
    TDamage why = TDamage::Unreadable;
    bool mapped = false;
    {
      std::lock_guard lock(data->lock);
      mapped = data->map->Map(logical, physical, blocks);
      if (!mapped) why = data->map->Failure();
    }
    if (!mapped) {
      LogText(Sprintf("Except in Read Inode Data. Inode #%u, block %llu: unreadable block map", data->inodeNumber,
                      static_cast<unsigned long long>(logical)));
      failed = true;
    }
    blocks = std::max<std::uint64_t>(std::min(blocks, needBlocks), 1);
    // Blocks past the volume's end are damage, not data: only those inside are read.
    if (!failed && physical != 0) {
      if (physical >= sb_.blocksCount) {
        failed = true;
        why = TDamage::RunOutsideVolume;
      } else {
        blocks = std::min(blocks, sb_.blocksCount - physical);
      }
    }
    const std::uint64_t take = std::min(blocks * blockSize - within, left);
    if (!failed && physical == 0) {
      std::memset(out + done, 0, take);
    } else if (failed ||
               !ReadVolumeBytes(*storage_, physical * blockSize + within, out + done, static_cast<std::size_t>(take))) {
      LogEvent(kSenderGeneral, kErrRead, 0,
               Sprintf("Ext2: inode %u: block %llu of the file cannot be read", data->inodeNumber,
                       static_cast<unsigned long long>(logical)),
               3);
      {
        std::lock_guard lock(data->lock);
        if (data->damage == TDamage::None) data->damage = why;
      }
      // The bytes before the failure are the answer; a failure at the
      // position itself is -1, and the position stays.
      if (done == 0) return -1;
      break;
    }
    done += take;
  }
  return static_cast<std::int32_t>(done);
}

std::int64_t TExt2::Seek(FsHandle handle, int origin, std::int64_t offset) {
  TExt2FileData* data = handle == kNoHandle ? nullptr : files_.Get(handle);
  if (data == nullptr) return offset;
  std::int64_t position = data->position;
  switch (origin) {
    case kSeekBegin: position = offset; break;
    case kSeekCurrent: position = data->position + offset; break;
    case kSeekEnd: position = data->size - offset; break;
    default: break;
  }
  data->position = std::clamp<std::int64_t>(position, 0, data->size);
  return data->position;
}

bool TExt2::IsEof(FsHandle handle) {
  TExt2FileData* data = handle == kNoHandle ? nullptr : files_.Get(handle);
  return data != nullptr && data->position >= data->size;
}

std::int64_t TExt2::GetFileSize(FsHandle handle) {
  TExt2FileData* data = handle == kNoHandle ? nullptr : files_.Get(handle);
  return data == nullptr ? 0 : data->size;
}

TDamage TExt2::ReadDamage(FsHandle handle) {
  TExt2FileData* data = handle == kNoHandle ? nullptr : files_.Get(handle);
  if (data == nullptr) return TDamage::None;
  std::lock_guard lock(data->lock);
  return data->damage;
}

bool TExt2::CloseFile(FsHandle& handle) {
  const bool removed = handle != kNoHandle && files_.Remove(handle);
  handle = kNoHandle;
  return removed;
}

// ------------------------------------------------------------ directories

TExt2Node* TExt2::NodeOf(const TFileEntry& entry) const {
  if (!tree_) return nullptr;
  if (entry.Node != nullptr && entry.Fs == this) return dynamic_cast<TExt2Node*>(entry.Node);
  if (entry.ObjectId == 0 || entry.ObjectId == kExt2RootInode) return tree_->RootNode();
  return nullptr;
}

void TExt2::FillFromInode(std::uint32_t number, std::uint8_t recordType, TFileEntry& out) {
  Ext2Inode inode;
  const bool haveInode = ReadInode(number, inode);
  // The inode says what the object is; the record's type byte (absent
  // without the filetype feature) stands in when the inode is unreadable.
  std::uint8_t type = haveInode ? inode.Type() : std::uint8_t{kExt2TypeUnknown};
  if (type == kExt2TypeUnknown) type = recordType;
  switch (type) {
    case kExt2TypeDirectory: out.Attributes = kAttrDirectory; break;
    case kExt2TypeSymlink: out.Attributes = kAttrSystem | kAttrSymlink; break;
    case kExt2TypeCharDevice:
    case kExt2TypeBlockDevice:
    case kExt2TypeFifo:
    case kExt2TypeSocket: out.Attributes = kAttrNormal | kAttrSpecial; break;
    default: out.Attributes = kAttrNormal; break;
  }
  if (haveInode) {
    bool damaged = false;
    out.Size = type == kExt2TypeDirectory
                   ? 0
                   : static_cast<std::int64_t>(std::min<std::uint64_t>(DataSize(number, inode, &damaged), std::numeric_limits<std::int64_t>::max()));
    if (damaged) out.MarkDamaged(TDamage::SizeBeyondMap);
    // A broken extent root fails every read of the file: known from the inode alone.
    ExtentHeader root;
    if ((inode.flags & (kExt2FlagExtents | kExt2FlagInlineData)) == kExt2FlagExtents)
      if (const TDamage why = CheckExtentHeader(inode.blockArea, root); why != TDamage::None) out.MarkDamaged(why);
    out.CreationTime = UnixToFileTime(inode.ctime);
    out.LastAccessTime = UnixToFileTime(inode.atime);
    out.LastWriteTime = UnixToFileTime(inode.mtime);
  }
  out.ObjectId = number;
}

bool TExt2::ReadSpecialInfo(const TFileEntry& entry, TSpecialInfo& info) {
  info = TSpecialInfo{};
  Ext2Inode inode;
  if (entry.ObjectId <= 0 || entry.ObjectId > UINT32_MAX || !ReadInode(static_cast<std::uint32_t>(entry.ObjectId), inode))
    return false;
  switch (inode.Type()) {
    case kExt2TypeFifo: info.Kind = TSpecialKind::Fifo; return true;
    case kExt2TypeSocket: info.Kind = TSpecialKind::Socket; return true;
    case kExt2TypeCharDevice: info.Kind = TSpecialKind::CharDevice; break;
    case kExt2TypeBlockDevice: info.Kind = TSpecialKind::BlockDevice; break;
    default: return false;
  }
  // The device number: the old 8+8-bit form in the first block slot, else
  // the 12+20-bit form in the second.
  if (const std::uint32_t old = inode.Block(0); old != 0) {
    info.Major = (old >> 8) & 0xFF;
    info.Minor = old & 0xFF;
  } else {
    const std::uint32_t dev = inode.Block(1);
    info.Major = (dev & 0xFFF00) >> 8;
    info.Minor = (dev & 0xFF) | ((dev >> 12) & 0xFFF00);
  }
  return true;
}

bool TExt2::LoadDirBlock(TExt2FindHandle& find) {
  if (find.data->inlineData) {
    // Piece 0: the block area after the parent's number; piece 1: the rest.
    find.loaded = find.blockIndex < find.blockCount;
    if (!find.loaded) return false;
    // (inline bytes always begin with the whole block area)
    const ByteSpan bytes(find.data->inlineBytes);
    const ByteSpan piece = find.blockIndex == 0
                               ? bytes.subspan(kExt2InlineDirParentSize, kExt2BlockAreaSize - kExt2InlineDirParentSize)
                               : bytes.subspan(kExt2BlockAreaSize);
    ++find.blockIndex;
    find.block.assign(piece.begin(), piece.end());
    find.offset = 0;
    return true;
  }
  // A directory whose map keeps failing is given up after a while rather
  // than walked block by block to a damaged size.
  int failures = 0;
  while (find.blockIndex < find.blockCount && failures < 256) {
    std::uint64_t physical = 0;
    std::uint64_t count = 0;
    if (!find.data->map->Map(find.blockIndex, physical, count)) {
      find.damaged = true;
      ++find.blockIndex;
      ++failures;
      continue;
    }
    if (physical == 0) {
      find.blockIndex += std::max<std::uint64_t>(count, 1);
      continue;
    }
    ++find.blockIndex;
    if (!ReadBlock(physical, find.block)) {
      ++failures;
      LogText(Sprintf("Except in Find Next. Block addr %llu. Inode #%u. Read Error",
                      static_cast<unsigned long long>(physical), find.dirInode));
      find.damaged = true;
      continue;
    }
    find.offset = 0;
    find.loaded = true;
    return true;
  }
  find.loaded = false;
  return false;
}

bool TExt2::FirstRecordSound(TExt2FindHandle& find) {
  if (find.blockCount == 0) return false;
  std::uint64_t physical = 0;
  std::uint64_t count = 0;
  std::vector<std::uint8_t> block;
  if (!find.data->map->Map(0, physical, count) || physical == 0 || !ReadBlock(physical, block)) return false;
  const Ext2DirRecord record = ParseExt2DirRecord(block, 0, sb_);
  return record.recLen >= Ext2DirRecordLength(1) && record.recLen % 4 == 0 && record.recLen <= block.size();
}

bool TExt2::NextDirEntry(TExt2FindHandle& find, TFileEntry& out) {
  while (true) {
    if (!find.pending.empty()) {
      out = std::move(find.pending.front());
      find.pending.erase(find.pending.begin());
      return true;
    }
    if (!find.loaded || find.offset + kExt2DirRecordHeaderSize > find.block.size()) {
      if (!LoadDirBlock(find)) return false;
      continue;  // the piece loaded may be too short for a record
    }
    // A block, or a piece of an inline directory.
    const std::uint64_t blockSize = find.block.size();
    const std::uint64_t at = find.offset;
    const Ext2DirRecord record = ParseExt2DirRecord(find.block, at, sb_);
    if (record.recLen < kExt2DirRecordHeaderSize || record.recLen % 4 != 0 || record.recLen > blockSize - at) {
      // A broken record length hides the rest of the block; the next
      // block is read as usual.
      find.damaged = true;
      find.offset = blockSize;
      continue;
    }
    find.offset += record.recLen;
    const bool nameFits = record.nameLen > 0 && kExt2DirRecordHeaderSize + record.nameLen <= record.recLen;
    if (scan_ && nameFits) {
      // Records that an erase merged into this one may still stand in its slack.
      std::uint64_t slack = at + Ext2DirRecordLength(record.nameLen);
      const std::uint64_t end = at + record.recLen;
      while (slack + Ext2DirRecordLength(1) <= end) {
        const Ext2DirRecord old = ParseExt2DirRecord(find.block, slack, sb_);
        const std::uint64_t real = Ext2DirRecordLength(old.nameLen);
        if (old.inode == 0 || old.inode > sb_.inodesCount || old.nameLen == 0 || slack + real > end ||
            old.recLen < real) {
          slack += 4;
          continue;
        }
        TFileEntry found;
        std::string name = Ext2DirRecordName(find.block, slack, old);
        if (name != "." && name != ".." && name.find('\0') == std::string::npos && name.find('/') == std::string::npos) {
          FillFromInode(old.inode, old.fileType, found);
          found.Name = std::move(name);
          found.Attributes |= kAttrDeleted;
          found.ParentId = find.dirInode;
          found.Storage = storage_;
          found.Fs = this;
          find.pending.push_back(std::move(found));
        }
        slack += real;
      }
    }
    if (record.inode == 0 || !nameFits || record.inode > sb_.inodesCount) continue;
    std::string name = Ext2DirRecordName(find.block, at, record);
    if (name == "." || name == "..") continue;
    out.Clear();
    FillFromInode(record.inode, record.fileType, out);
    out.Name = std::move(name);
    out.ParentId = find.dirInode;
    out.Storage = storage_;
    out.Fs = this;
    return true;
  }
}

FsHandle TExt2::FindFirst(const TFileEntry& directory, TFileEntry& out) {
  std::lock_guard lock(treeLock_);
  if (!opened_) return kNoHandle;
  Prepare();
  const std::int64_t number = directory.ObjectId == 0 ? kExt2RootInode : directory.ObjectId;
  if (number <= 0 || number > UINT32_MAX) return kNoHandle;
  TExt2Node* node = NodeOf(directory);
  auto find = std::make_unique<TExt2FindHandle>();
  find->dirNode = node;
  find->dirInode = static_cast<std::uint32_t>(number);

  out.Clear();
  out.Name = "..";
  out.Attributes = kAttrDirectory | kAttrParentLink;
  out.Node = node != nullptr ? node->Parent : nullptr;
  out.ParentNode = out.Node;
  const auto* parent = node != nullptr ? dynamic_cast<const TExt2Node*>(node->Parent) : nullptr;
  out.ObjectId = parent != nullptr ? parent->ObjectId : kExt2RootInode;
  out.Storage = storage_;
  out.Fs = this;

  if ((directory.Attributes & kAttrDeleted) != 0) find->flags |= TExt2FindHandle::kDeleted;
  if (node != nullptr && node->Complete) {
    TFileEntry ignored;
    find->treeHandle = tree_->FindFirstInNode(node, ignored);
    find->flags |= TExt2FindHandle::kTree;
  } else if (node != nullptr && tree_->IsDirectoryLoop(node)) {
    find->flags |= TExt2FindHandle::kEmpty;
  } else {
    Ext2Inode inode;
    std::vector<std::uint8_t> record;
    std::string why;
    if (!ReadInode(find->dirInode, inode, &record)) {
      LogEvent(kSenderGeneral, kErrRead, 0, Sprintf("Ext2: directory inode %u cannot be read", find->dirInode), 3);
      return kNoHandle;
    } else if (inode.Type() != kExt2TypeDirectory) {
      find->flags |= TExt2FindHandle::kEmpty;
    } else if (!(find->data = OpenInodeData(find->dirInode, inode, record, why))) {
      LogText(Sprintf("Ext2: directory inode %u holds %s, which this reader cannot list", find->dirInode, why.c_str()));
      find->flags |= TExt2FindHandle::kEmpty;
    } else if (find->data->inlineData) {
      // The parent's number, then records to the end of the block area;
      // the attribute's value holds more records.
      find->blockCount = 2;
    } else {
      const std::uint64_t bytes = std::min<std::uint64_t>(inode.size, sb_.blocksCount * std::uint64_t{sb_.blockSize});
      find->blockCount = (bytes + sb_.blockSize - 1) / sb_.blockSize;
      // A directory of one block (every new one) whose first record is
      // broken has nothing to list: that is damage, not an empty folder.
      if (find->blockCount <= 1 && !FirstRecordSound(*find)) {
        LogEvent(kSenderGeneral, kErrImageCorrupted, 0,
                 Sprintf("Ext2: directory inode %u: its block holds no valid record", find->dirInode), 3);
        return kNoHandle;
      }
    }
  }
  return finds_.Add(std::move(find));
}

bool TExt2::FindNext(FsHandle handle, TFileEntry& out) {
  std::lock_guard lock(treeLock_);
  TExt2FindHandle* find = handle == kNoHandle ? nullptr : finds_.Get(handle);
  if (find == nullptr || (find->flags & TExt2FindHandle::kEmpty) != 0) return false;
  if ((find->flags & TExt2FindHandle::kTree) != 0) {
    if (!tree_->FindNext(find->treeHandle, out)) return false;
    if ((find->flags & TExt2FindHandle::kDeleted) != 0) out.Attributes |= kAttrDeleted;
    return true;
  }
  if (!find->data) return false;
  out.Clear();
  if (!NextDirEntry(*find, out)) {
    // Only a listing that read the whole directory may answer for it later.
    if (find->dirNode != nullptr && !find->damaged) find->dirNode->Complete = true;
    return false;
  }
  if ((find->flags & TExt2FindHandle::kDeleted) != 0) out.Attributes |= kAttrDeleted;
  if (find->dirNode != nullptr) {
    TExt2Node* node = tree_->AddEntryNode(find->dirNode, find->index, out);
    out.Node = node;
    out.ParentNode = find->dirNode;
  }
  ++find->index;
  return true;
}

TDamage TExt2::FindDamage(const TFileEntry&, FsHandle handle) {
  std::lock_guard lock(treeLock_);
  // FindFirst gives a handle for every folder it can begin to read.
  if (handle == kNoHandle) return opened_ ? TDamage::FolderUnreadable : TDamage::None;
  const TExt2FindHandle* find = finds_.Get(handle);
  return find != nullptr && find->damaged ? TDamage::FolderUnreadable : TDamage::None;
}

void TExt2::FindClose(FsHandle handle) {
  std::lock_guard lock(treeLock_);
  TExt2FindHandle* find = handle == kNoHandle ? nullptr : finds_.Get(handle);
  if (find == nullptr) return;
  if ((find->flags & TExt2FindHandle::kTree) != 0 && tree_) tree_->FindClose(find->treeHandle);
  finds_.Remove(handle);
}

FsHandle TExt2::FindFirstByPath(std::string_view directoryPath, TFileEntry& out) {
  std::lock_guard lock(treeLock_);
  if (!opened_) return kNoHandle;
  TFileEntry directory;
  if (!LookupPath(directoryPath, directory, false, nullptr)) return kNoHandle;
  return FindFirst(directory, out);
}

std::int32_t TExt2::GetTag(const TFileEntry& entry) {
  std::lock_guard lock(treeLock_);
  const TExt2Node* node = NodeOf(entry);
  return node != nullptr ? node->Tag : 0;
}

void TExt2::SetTag(const TFileEntry& entry, std::int32_t value) {
  std::lock_guard lock(treeLock_);
  if (TExt2Node* node = NodeOf(entry)) node->Tag = value;
}

}  // namespace vandrel
