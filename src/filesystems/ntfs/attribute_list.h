// The attribute list: where the attributes of a file too large for one
// record live.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/endian.h"

namespace vandrel {

// Attribute lists and index bitmaps larger than this are damage.
inline constexpr std::size_t kMaxListBytes = 20u << 20;

// Attribute list entry fields.
inline constexpr std::uint64_t kNtfsListType = 0;
inline constexpr std::uint64_t kNtfsListLength = 4;
inline constexpr std::uint64_t kNtfsListNameLength = 6;  // in UTF-16 units
inline constexpr std::uint64_t kNtfsListNameOffset = 7;  // from the entry's start
inline constexpr std::uint64_t kNtfsListStartVcn = 8;
inline constexpr std::uint64_t kNtfsListBaseReference = 16;  // the record holding it
inline constexpr std::uint64_t kNtfsListId = 24;
inline constexpr std::uint64_t kNtfsListHeaderLength = 26;

// One entry of an attribute list.
struct TNtfsListEntry {
  std::uint32_t Type = 0;
  std::int64_t StartVcn = 0;
  std::uint64_t Record = 0;  // record number, sequence stripped
  std::uint16_t Id = 0;
  std::string Name;
};
void ParseAttributeList(ByteSpan list, std::vector<TNtfsListEntry>& out);

}  // namespace vandrel
