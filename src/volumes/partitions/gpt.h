// GUID partition tables: both header copies feed the device's partition
// list through its merge step, so the copies collapse into one list.
#pragma once

#include <cstdint>

#include "common/endian.h"

namespace vandrel {

class TStorageWithPartitions;

inline constexpr std::string_view kGptSignature = "EFI PART";

struct TGptLayout {
  std::uint32_t EntrySize = 128;
  std::uint32_t EntryCount = 128;
};

// Reads the primary header at sector 1 and the backup at the last sector
// with the entry array behind each; the device is open.
void ReadGpt(TStorageWithPartitions& device);

// Logs the header fields and answers the entry size and count to read with:
// absurd values are replaced by 128.
TGptLayout ParseGptHeader(ByteSpan header);

// Turns every used entry of `entries` into a kind-6 partition entry;
// answers the number of entries that were appended.
std::int32_t ParseGptEntries(TStorageWithPartitions& device, ByteSpan entries, std::uint32_t entrySize,
                             std::uint32_t entryCount);

}  // namespace vandrel
