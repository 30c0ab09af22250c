// A folder's $I30 index: the entries of its root and of its index blocks.
#pragma once

#include <cstdint>
#include <vector>

#include "common/endian.h"
#include "filesystems/ntfs/file_name.h"

namespace vandrel {

// An entry of a $I30 index node.
struct TNtfsIndexEntry {
  std::uint64_t Record = 0;
  TNtfsFileName Key;
};
// Entries of one node: `entries` is the node's entry area. Stops at the
// last-entry mark or at the first entry that does not fit.
void ParseIndexEntries(ByteSpan entries, std::vector<TNtfsIndexEntry>& out);
// The entry area of an index root value (resident $INDEX_ROOT); false when
// the root does not index file names. `large` tells whether blocks exist.
bool IndexRootEntries(ByteSpan value, ByteSpan& entries, bool& large);
// The entry area of a fixed-up "INDX" block.
bool IndexBlockEntries(ByteSpan block, ByteSpan& entries);

}  // namespace vandrel
