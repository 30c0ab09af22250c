#include "volumes/partitions/gpt.h"

#include <algorithm>
#include <vector>

#include "common/crc32.h"
#include "common/func.h"
#include "common/log.h"
#include "common/text.h"
#include "platform/locale.h"
#include "storage/volume_services.h"
#include "volumes/partitions/gpt_guides.h"
#include "volumes/partitions/region_storage.h"
#include "volumes/partitions/system_type_names.h"
#include "storage/bus_manager.h"

namespace vandrel {

namespace {

constexpr std::uint32_t kMinEntrySize = 128;

bool HoldsNoCase(std::string_view text, std::string_view part) {
  for (std::size_t at = 0; at + part.size() <= text.size(); ++at) {
    if (EqualNoCase(text.substr(at, part.size()), part)) return true;
  }
  return false;
}

// The entry's own name, then its type in brackets; the type alone when
// the entry has no name, the name alone when it already says the type (or the type says it).
std::string EntryLabel(const std::string& name, const std::string& typeName) {
  const std::string trimmed = Trim(name);
  if (trimmed.empty()) return typeName;
  if (HoldsNoCase(trimmed, typeName) || HoldsNoCase(typeName, trimmed)) return trimmed;
  return trimmed + " (" + typeName + ")";
}
constexpr std::uint32_t kMaxEntrySize = 512;
constexpr std::uint32_t kMinEntryCount = 128;
constexpr std::uint32_t kMaxEntryCount = 4048;
constexpr std::size_t kNameOffset = 56;
constexpr std::size_t kNameUnits = 36;

struct HeaderFields {
  std::uint32_t headerSize;
  std::uint32_t headerCrc;
  std::uint64_t entryArraySector;
  std::uint32_t entryCount;
  std::uint32_t entrySize;
  std::uint32_t entryArrayCrc;
};

HeaderFields LoadHeader(ByteSpan header) {
  return {Le32(header, 12), Le32(header, 16), Le64(header, 72), Le32(header, 80), Le32(header, 84), Le32(header, 88)};
}

// Checksums reject nothing (a table with a stale checksum still describes
// the volumes best), but a mismatch is worth a line in the log.
void CheckHeaderCrc(ByteSpan header, const HeaderFields& fields) {
  if (fields.headerSize < 92 || fields.headerSize > header.size()) {
    LogEvent(kSenderPTable, 0, 0, Sprintf("GPT header size %u cannot be checked", fields.headerSize), 1);
    return;
  }
  std::vector<std::uint8_t> copy(header.begin(), header.begin() + fields.headerSize);
  std::fill_n(copy.begin() + 16, 4, 0);
  const std::uint32_t crc = Crc32(copy);
  if (crc != fields.headerCrc)
    LogEvent(kSenderPTable, 0, 0, Sprintf("GPT header CRC mismatch: stored %08X, computed %08X", fields.headerCrc, crc),
             1);
}

void CheckEntriesCrc(ByteSpan entries, const HeaderFields& fields) {
  const std::uint64_t bytes = std::uint64_t{fields.entryCount} * fields.entrySize;
  if (bytes == 0 || bytes > entries.size()) return;  // the array read is not the one the header describes
  const std::uint32_t crc = Crc32(entries.first(static_cast<std::size_t>(bytes)));
  if (crc != fields.entryArrayCrc)
    LogEvent(kSenderPTable, 0, 0,
             Sprintf("GPT entry array CRC mismatch: stored %08X, computed %08X", fields.entryArrayCrc, crc), 1);
}

// Reads the entry array of one header copy: at the sector the header names
// when that lies inside the device, else at the fixed place: sector 2 for
// the primary copy, directly before the backup header for the backup.
void ReadEntryArray(TStorageWithPartitions& device, ByteSpan header, bool backup) {
  const HeaderFields fields = LoadHeader(header);
  CheckHeaderCrc(header, fields);
  const TGptLayout layout = ParseGptHeader(header);
  const std::int64_t sectorSize = device.SectorSize;
  const std::int64_t bytes = std::int64_t{layout.EntryCount} * layout.EntrySize;
  const std::int64_t sectors = (bytes + sectorSize - 1) / sectorSize;
  const std::int64_t fallback = backup ? device.SectorCount - 1 - sectors : 2;
  std::int64_t at = fallback;
  if (fields.entryArraySector >= 2 && sectors <= device.SectorCount &&
      fields.entryArraySector <= static_cast<std::uint64_t>(device.SectorCount - sectors)) {
    at = static_cast<std::int64_t>(fields.entryArraySector);
  } else {
    LogText(Sprintf("GPT entry array sector %llu lies outside the device, reading sector %lld",
                    static_cast<unsigned long long>(fields.entryArraySector), static_cast<long long>(fallback)));
  }
  std::vector<std::uint8_t> entries(static_cast<std::size_t>(sectors * sectorSize), 0);
  // A bad sector in the array costs only the entries it holds.
  const bool read =
      device.ReadSectors(entries.data(), static_cast<std::int32_t>(sectors), at, TReadPolicy::SkipBadSectors);
  if (!read) {
    LogText(Sprintf("GPT entry array at sector %lld cannot be read", static_cast<long long>(at)));
    return;  // the buffer is zeroed: no entries from it
  }
  CheckEntriesCrc(entries, fields);
  ParseGptEntries(device, ByteSpan(entries).first(static_cast<std::size_t>(bytes)), layout.EntrySize,
                  layout.EntryCount);
}

}  // namespace

TGptLayout ParseGptHeader(ByteSpan header) {
  static const char* const kFieldNames[] = {"HeaderSize",     "MyLBA",           "AlternateLBA",
                                            "FirstUsableLBA", "LastUsableLBA",   "PartitionEntryLBA",
                                            "NumberOfPartitionEntries", "SizeOfPartitionEntry"};
  const std::uint32_t values[] = {Le32(header, 12), Le32(header, 24), Le32(header, 32), Le32(header, 40),
                                  Le32(header, 48), Le32(header, 72), Le32(header, 80), Le32(header, 84)};
  for (std::size_t i = 0; i < std::size(values); ++i)
    LogText(Sprintf("FirstGPTHeader.%s%u", kFieldNames[i], values[i]));

  TGptLayout layout;
  const std::uint32_t size = Le32(header, 84);
  layout.EntrySize = (size < kMinEntrySize || size % 8 != 0 || size > kMaxEntrySize) ? 128 : size;
  LogText(Sprintf("PartitionEntry_Size %u", layout.EntrySize));
  const std::uint32_t count = Le32(header, 80);
  layout.EntryCount = (count < kMinEntryCount || count > kMaxEntryCount) ? 128 : count;
  LogText(Sprintf("PartitionEntry_Count %u", layout.EntryCount));
  return layout;
}

std::int32_t ParseGptEntries(TStorageWithPartitions& device, ByteSpan entries, std::uint32_t entrySize,
                             std::uint32_t entryCount) {
  std::int32_t added = 0;
  if (entrySize < kMinEntrySize) return 0;
  for (std::uint32_t i = 0; i < entryCount; ++i) {
    const std::uint64_t offset = std::uint64_t{i} * entrySize;
    if (!Fits(entries, offset, entrySize)) break;
    const ByteSpan raw = entries.subspan(static_cast<std::size_t>(offset), kMinEntrySize);
    const TGuid typeGuid = LoadGuid(raw, 0);
    const std::int64_t first = LeS64(raw, 32);
    const std::int64_t last = LeS64(raw, 40);
    // A last sector before the first one describes nothing.
    if (IsZeroGuid(typeGuid) || IsZeroGuid(LoadGuid(raw, 16)) || first <= 0 || last <= 0 || last < first) continue;

    std::size_t units = 0;
    while (units < kNameUnits && Le16(raw, kNameOffset + 2 * units) != 0) ++units;
    const std::string name = Utf16LeBytesToUtf8(raw.subspan(kNameOffset, 2 * units));
    const std::string guidText = GuidText(typeGuid);

    TPartitionInformation entry;
    entry.Kind = pkGpt;
    entry.Start = first;
    entry.Count = last - first + 1;
    entry.Ordinal = added;
    std::copy(raw.begin(), raw.end(), entry.GptEntry.begin());
    const bool reserved = typeGuid == kGuidMicrosoftReserved;
    if (reserved) entry.Metadata = true;

    std::uint8_t detected = 0;
    if (first < device.SectorCount) {
      TRegionStorage region(device, first, entry.Count);
      detected = KindToPartitionType(ProbeVolume(region));
    }
    entry.Type = detected;
    entry.DetectedType = detected;

    if (typeGuid == kGuidBasicData && detected != 0) {
      entry.Label.clear();  // the volume's own label names it better
    } else {
      // The last matching row wins: Basic Data without a file system gets
      // the Linux data text.
      std::string typeName;
      for (const TGPT_Part_Def& row : GptPartitionTypes()) {
        if (row.Guid != typeGuid) continue;
        typeName = Trim(Sprintf("%s %s", row.Os, row.TypeText));
        if (row.Type != 0 && detected == 0) {
          entry.Type = row.Type;
          entry.DetectedType = row.Type;
        }
      }
      // Types newer than the built-in table (Linux filesystem, swap, home,
      // APFS, ...) by util-linux's name; the GUID only when nobody names it.
      if (typeName.empty()) typeName = SystemGptTypeName(guidText);
      if (typeName.empty()) typeName = "{" + guidText + "}";
      entry.Label = EntryLabel(name, typeName);
    }
    if (device.AddPartitionEntry(std::move(entry))) ++added;
    LogText(Sprintf("Partition %u  %s. Start: %lld  Size %lld. Name %s", i, guidText.c_str(),
                    static_cast<long long>(first), static_cast<long long>(last - first), name.c_str()));
  }
  return added;
}

void ReadGpt(TStorageWithPartitions& device) {
  if (device.SectorSize <= 0 || device.SectorCount < 2) return;

  std::vector<std::uint8_t> header(static_cast<std::size_t>(std::max(device.SectorSize, 2048)));
  if (device.ReadSectors(header.data(), 1, 1) && BytesEqual(header, 0, kGptSignature)) {
    ReadEntryArray(device, ByteSpan(header).first(static_cast<std::size_t>(device.SectorSize)), false);
  }
  const std::int64_t last = device.SectorCount - 1;
  if (last > 1 && device.ReadSectors(header.data(), 1, last) && BytesEqual(header, 0, kGptSignature)) {
    ReadEntryArray(device, ByteSpan(header).first(static_cast<std::size_t>(device.SectorSize)), true);
  }
}

}  // namespace vandrel
