#include "filesystems/ext/extents.h"

#include <algorithm>
#include <limits>

namespace vandrel {
namespace {

// Extent header fields.
constexpr std::uint64_t kExtentHeaderMagic = 0x00;    // eh_magic
constexpr std::uint64_t kExtentHeaderEntries = 0x02;  // eh_entries
constexpr std::uint64_t kExtentHeaderMax = 0x04;      // eh_max
constexpr std::uint64_t kExtentHeaderDepth = 0x06;    // eh_depth
constexpr std::uint64_t kExtentHeaderSize = 12;
// Leaf and index entries, 12 bytes each after the header.
constexpr std::uint64_t kExtentEntrySize = 12;
constexpr std::uint64_t kExtentBlock = 0x00;    // ee_block
constexpr std::uint64_t kExtentLen = 0x04;      // ee_len
constexpr std::uint64_t kExtentStartHi = 0x06;  // ee_start_hi
constexpr std::uint64_t kExtentStartLo = 0x08;  // ee_start_lo
constexpr std::uint64_t kIndexBlock = 0x00;     // ei_block
constexpr std::uint64_t kIndexLeafLo = 0x04;    // ei_leaf_lo
constexpr std::uint64_t kIndexLeafHi = 0x08;    // ei_leaf_hi
// An ee_len above this marks an unwritten extent of ee_len - this blocks.
constexpr std::uint32_t kExtentInitMaxLen = 32768;

constexpr std::uint64_t EntryAt(std::uint32_t index) { return kExtentHeaderSize + std::uint64_t{index} * kExtentEntrySize; }

// Number of a node's entries (sorted by first block) that start at or
// before `logical`: the one that may hold it is the last of them.
template <typename FirstBlock>
std::uint32_t EntriesFrom(std::uint32_t entries, std::uint64_t logical, FirstBlock firstBlock) {
  std::uint32_t lo = 0;
  std::uint32_t hi = entries;
  while (lo < hi) {
    const std::uint32_t mid = (lo + hi) / 2;
    if (firstBlock(mid) <= logical) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

// A child node must be one level below its parent: a node of the same
// depth or above is the parent again or one of its ancestors, and
// following it would go round.
TDamage CheckChild(ByteSpan child, const ExtentHeader& parent, ExtentHeader& out) {
  const TDamage damage = CheckExtentHeader(child, out);
  if (damage != TDamage::None) return damage;
  return out.depth + 1 == parent.depth ? TDamage::None : TDamage::ExtentLoop;
}

}  // namespace

TDamage CheckExtentHeader(ByteSpan node, ExtentHeader& out) {
  out = ExtentHeader{};
  if (!Fits(node, 0, kExtentHeaderSize) || Le16(node, kExtentHeaderMagic) != kExtentMagic)
    return TDamage::ExtentHeaderDamaged;
  out.entries = Le16(node, kExtentHeaderEntries);
  out.max = Le16(node, kExtentHeaderMax);
  out.depth = Le16(node, kExtentHeaderDepth);
  const std::uint64_t room = (node.size() - kExtentHeaderSize) / kExtentEntrySize;
  if (out.entries > out.max || out.max > room) return TDamage::ExtentHeaderDamaged;
  if (out.depth > kExtentMaxDepth) return TDamage::ExtentTreeTooDeep;
  return TDamage::None;
}

ExtentLeaf ParseExtentLeaf(ByteSpan node, std::uint32_t index) {
  const std::uint64_t at = EntryAt(index);
  ExtentLeaf leaf;
  leaf.logical = Le32(node, at + kExtentBlock);
  std::uint32_t length = Le16(node, at + kExtentLen);
  if (length > kExtentInitMaxLen) {
    leaf.unwritten = true;
    length -= kExtentInitMaxLen;
  }
  leaf.length = length;
  leaf.physical = (std::uint64_t{Le16(node, at + kExtentStartHi)} << 32) | Le32(node, at + kExtentStartLo);
  return leaf;
}

ExtentIndex ParseExtentIndex(ByteSpan node, std::uint32_t index) {
  const std::uint64_t at = EntryAt(index);
  ExtentIndex entry;
  entry.logical = Le32(node, at + kIndexBlock);
  entry.child = Le32(node, at + kIndexLeafLo) | (std::uint64_t{Le16(node, at + kIndexLeafHi)} << 32);
  return entry;
}

bool MapExt2Extents(const Ext2Inode& inode, const Ext2Superblock& sb, Ext2MapBlocks& blocks, std::uint64_t logical,
                    std::uint64_t& physical, std::uint64_t& count, TDamage& failure) {
  physical = 0;
  count = 1;
  ByteSpan node(inode.blockArea);
  ExtentHeader header;
  if (const TDamage damage = CheckExtentHeader(node, header); damage != TDamage::None) {
    failure = damage;
    return false;
  }
  std::uint64_t upper = std::numeric_limits<std::uint32_t>::max() + std::uint64_t{1};
  // Each level goes one depth down, so the walk ends within the depth bound.
  for (std::size_t level = 0; level <= kExtentMaxDepth; ++level) {
    if (header.entries == 0) {
      count = upper > logical ? upper - logical : 1;
      return true;
    }
    if (header.depth == 0) {
      const std::uint32_t lo =
          EntriesFrom(header.entries, logical, [&](std::uint32_t i) { return ParseExtentLeaf(node, i).logical; });
      if (lo > 0) {
        const ExtentLeaf leaf = ParseExtentLeaf(node, lo - 1);
        if (logical < std::uint64_t{leaf.logical} + leaf.length) {
          // Unwritten extents are allocated but read as zeros.
          physical = leaf.unwritten ? 0 : leaf.physical + (logical - leaf.logical);
          count = std::uint64_t{leaf.logical} + leaf.length - logical;
          return true;
        }
      }
      const std::uint64_t next = lo < header.entries ? ParseExtentLeaf(node, lo).logical : upper;
      count = next > logical ? next - logical : 1;
      return true;
    }
    const std::uint32_t lo =
        EntriesFrom(header.entries, logical, [&](std::uint32_t i) { return ParseExtentIndex(node, i).logical; });
    if (lo == 0) {
      const std::uint64_t next = ParseExtentIndex(node, 0).logical;
      count = next > logical ? next - logical : 1;
      return true;
    }
    if (lo < header.entries) upper = std::min<std::uint64_t>(upper, ParseExtentIndex(node, lo).logical);
    const ExtentIndex index = ParseExtentIndex(node, lo - 1);
    const auto* child = blocks.Load(kExt2PointerSlots + level, index.child);
    if (child == nullptr) {
      failure = Ext2MapBlockFailure(index.child, sb);
      return false;
    }
    ExtentHeader below;
    if (const TDamage damage = CheckChild(*child, header, below); damage != TDamage::None) {
      failure = damage;
      return false;
    }
    node = ByteSpan(*child);
    header = below;
  }
  failure = TDamage::ExtentLoop;
  return false;
}

std::uint64_t Ext2ExtentsEnd(const Ext2Inode& inode, Ext2MapBlocks& blocks) {
  ByteSpan node(inode.blockArea);
  ExtentHeader header;
  if (!ParseExtentHeader(node, header)) return 0;
  std::uint64_t start = 0;
  for (std::size_t level = 0; level <= kExtentMaxDepth; ++level) {
    if (header.entries == 0) return start;
    if (header.depth == 0) {
      const ExtentLeaf leaf = ParseExtentLeaf(node, header.entries - 1u);
      return std::uint64_t{leaf.logical} + leaf.length;
    }
    const ExtentIndex index = ParseExtentIndex(node, header.entries - 1u);
    start = index.logical;
    const auto* child = blocks.Load(kExt2PointerSlots + level, index.child);
    ExtentHeader below;
    if (child == nullptr || CheckChild(*child, header, below) != TDamage::None) return start;
    node = ByteSpan(*child);
    header = below;
  }
  return start;
}

}  // namespace vandrel
