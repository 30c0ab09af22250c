// A folder's $I30 index: the entries of its root and of its index blocks.
#pragma once

#include <cstdint>
#include <vector>

#include "common/endian.h"
#include "filesystems/ntfs/file_name.h"

namespace vandrel {

// The index root value: what it indexes, then a node header.
inline constexpr std::uint64_t kNtfsIndexRootType = 0;  // attribute type of the keys
inline constexpr std::uint64_t kNtfsIndexRootNode = 16;
// An "INDX" block: fix-up header, its own VCN, then a node header.
inline constexpr std::uint64_t kNtfsIndexBlockVcn = 16;
inline constexpr std::uint64_t kNtfsIndexBlockNode = 24;

// A node header; entry offsets count from the header's own start.
inline constexpr std::uint64_t kNtfsNodeEntriesOffset = 0;
inline constexpr std::uint64_t kNtfsNodeEntriesEnd = 4;  // bytes in use
inline constexpr std::uint64_t kNtfsNodeAllocated = 8;
inline constexpr std::uint64_t kNtfsNodeFlags = 12;
inline constexpr std::uint64_t kNtfsNodeHeaderLength = 16;
inline constexpr std::uint8_t kNtfsNodeHasChildren = 0x01;  // blocks exist below

// An index entry: file reference, lengths, flags, the key, and for an
// entry with a child node that node's VCN in its last 8 bytes.
inline constexpr std::uint64_t kNtfsIndexEntryReference = 0;
inline constexpr std::uint64_t kNtfsIndexEntryLength = 8;
inline constexpr std::uint64_t kNtfsIndexEntryKeyLength = 10;
inline constexpr std::uint64_t kNtfsIndexEntryFlags = 12;
inline constexpr std::uint64_t kNtfsIndexEntryKey = 16;
inline constexpr std::uint64_t kNtfsIndexEntryHeaderLength = 16;
inline constexpr std::uint16_t kNtfsIndexEntrySubnode = 0x01;
inline constexpr std::uint16_t kNtfsIndexEntryLast = 0x02;

// The node header of an index root or block, offsets made absolute in the
// buffer it was read from.
struct TNtfsIndexNode {
  std::uint64_t EntriesStart = 0;
  std::uint64_t EntriesEnd = 0;
  bool HasChildren = false;
};
TNtfsIndexNode ParseNtfsIndexNode(ByteSpan buffer, std::uint64_t header);

// The fixed part of an index entry at `offset`.
struct TNtfsIndexEntryHeader {
  std::uint64_t Reference = 0;
  std::uint16_t Length = 0;
  std::uint16_t KeyLength = 0;
  std::uint16_t Flags = 0;
  std::int64_t SubnodeVcn = -1;  // -1 without a child node
};
TNtfsIndexEntryHeader ParseNtfsIndexEntryHeader(ByteSpan entries, std::uint64_t offset);

// An entry of a $I30 index node.
struct TNtfsIndexEntry {
  std::uint64_t Record = 0;
  TNtfsFileName Key;
};
// Entries of one node: `entries` is the node's entry area. Stops at the
// last-entry mark (true) or at the first entry that does not fit (false:
// the entries after it are lost).
bool ParseIndexEntries(ByteSpan entries, std::vector<TNtfsIndexEntry>& out);
// The entry area of an index root value (resident $INDEX_ROOT); false when
// the root does not index file names. `large` tells whether blocks exist.
bool IndexRootEntries(ByteSpan value, ByteSpan& entries, bool& large);
// The entry area of a fixed-up "INDX" block.
bool IndexBlockEntries(ByteSpan block, ByteSpan& entries);

}  // namespace vandrel
