// Where the chunks of a parity array (RAID 4 and RAID 5) lie: one pure
// function over every placement the metadata families use.
#pragma once

#include <cstdint>
#include <optional>

namespace vandrel {

// Placement of data and parity (or of the copies of RAID 1E) that a
// record's metadata names. The RAID 5 names are the md driver's: "left"
// starts parity on the last member and moves it down row by row, "right"
// starts it on member 0 and moves it up; "asymmetric" fills the data
// members of every row from member 0, "symmetric" goes on after the parity
// member and wraps around.
enum class TRaidLayout : std::uint8_t {
  ByFamily = 0,  // nothing in the metadata: the family's usual placement
  LeftAsymmetric = 1,
  RightAsymmetric = 2,
  LeftSymmetric = 3,
  RightSymmetric = 4,
  Interleaved = 5,  // RAID 1E copies following each other across the members
  ParityFirst = 6,  // RAID 4 with parity on member 0
  ParityLast = 7,   // RAID 4 with parity on the last member
};

// Where one data chunk of a parity array lies.
struct TParityChunk {
  std::int32_t DataMember = 0;
  std::int32_t ParityMember = 0;
  std::int64_t Row = 0;  // the chunk-sized row of every member holding it
};

// Data chunk `chunk` (counted from the array's start) of an array of
// `members` members laid out as `layout`; nothing for a layout without
// parity, fewer than two members or a negative chunk.
std::optional<TParityChunk> MapParityChunk(TRaidLayout layout, std::int32_t members, std::int64_t chunk);

}  // namespace vandrel
