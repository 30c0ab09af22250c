// DDF metadata: an anchor header in the last sector points at a metadata
// area (physical-disk records, virtual-disk records, configuration records
// and this disk's own data). Controllers that follow the published format
// store it big-endian; a little-endian variant exists as well, told apart
// by the byte order of the anchor's signature.
#include <algorithm>
#include <exception>
#include <vector>

#include "common/endian.h"
#include "common/func.h"
#include "common/log.h"
#include "volumes/raid/raid_detect.h"

namespace vandrel {

namespace {

constexpr std::uint32_t kAnchorSignature = 0xDE11DE11;
constexpr std::uint32_t kPhysicalSignature = 0x22222222;
constexpr std::uint32_t kVirtualSignature = 0xDDDDDDDD;
constexpr std::uint32_t kConfigSignature = 0xEEEEEEEE;
constexpr std::uint32_t kDataSignature = 0x33333333;
constexpr std::int64_t kMaxSectionSectors = 32;
constexpr int kMaxConfigRecords = 16;

struct Order {
  bool big = false;
  std::uint16_t U16(ByteSpan b, std::size_t at) const { return big ? Be16(b, at) : Le16(b, at); }
  std::uint32_t U32(ByteSpan b, std::size_t at) const { return big ? Be32(b, at) : Le32(b, at); }
  std::uint64_t U64(ByteSpan b, std::size_t at) const { return big ? Be64(b, at) : Le64(b, at); }
};

// Reads a section that lies wholly inside the storage; empty otherwise.
std::vector<std::uint8_t> ReadSection(TStorage* storage, std::uint64_t base, std::uint32_t offset,
                                      std::uint32_t length, bool oneSector) {
  const auto size = static_cast<std::uint64_t>(storage->SectorCount);
  if (base >= size || offset >= size - base || length >= size - base - offset) return {};
  const std::uint64_t start = base + offset;
  const std::int64_t count = oneSector ? 1
                                       : std::min<std::int64_t>({static_cast<std::int64_t>(length), kMaxSectionSectors,
                                                                 static_cast<std::int64_t>(size - start)});
  if (count <= 0) return {};
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(count) * static_cast<std::size_t>(storage->SectorSize));
  if (!storage->ReadSectors(buffer.data(), static_cast<std::int32_t>(count), static_cast<std::int64_t>(start)))
    return {};
  return buffer;
}

TRaidType TypeFromLevel(std::uint8_t level) {
  const std::uint8_t low = level & 0x0F;
  const std::uint8_t high = level >> 4;
  switch (low) {
    case 0: return TRaidType::Stripe;
    case 1: return level < 16 ? TRaidType::Mirror : (high == 1 ? TRaidType::Raid1E : TRaidType::Unknown);
    case 4: return TRaidType::Raid4;
    case 5: return level <= 15 ? TRaidType::Raid5 : TRaidType::Unknown;
    case 6: return TRaidType::Raid6;
    case 15: return level < 16 ? TRaidType::Simple : (high == 1 ? TRaidType::Span : TRaidType::Unknown);
    default: return TRaidType::Unknown;
  }
}

// The RAID level qualifier of a RAID 5 configuration.
TRaidLayout Raid5Layout(std::uint8_t qualifier) {
  switch (qualifier) {
    case 0: return TRaidLayout::RightAsymmetric;  // parity from member 0, data restarts
    case 2: return TRaidLayout::LeftAsymmetric;   // parity from the last member, data restarts
    case 3: return TRaidLayout::LeftSymmetric;    // parity from the last member, data continues
    default: return TRaidLayout::ByFamily;
  }
}

bool DetectDdf(RaidTail tail, TStorage* storage, TRaidInfoArray& list) {
  const auto anchor = TailSector(tail, storage, 1);
  if (anchor.empty()) return false;
  Order order;
  if (Le32(anchor, 0) == kAnchorSignature)
    order.big = false;
  else if (Be32(anchor, 0) == kAnchorSignature)
    order.big = true;
  else
    return false;

  const std::uint64_t base = order.U64(anchor, 0x60);
  const auto section = [&](std::size_t at, std::uint32_t signature, bool oneSector) {
    std::vector<std::uint8_t> bytes =
        ReadSection(storage, base, order.U32(anchor, at), order.U32(anchor, at + 4), oneSector);
    if (bytes.size() < 4 || order.U32(bytes, 0) != signature) bytes.clear();
    return bytes;
  };
  const std::vector<std::uint8_t> physical = section(0xC8, kPhysicalSignature, false);
  if (physical.empty()) return false;
  const std::vector<std::uint8_t> virtuals = section(0xD0, kVirtualSignature, false);
  if (virtuals.empty()) return false;
  const std::vector<std::uint8_t> config = section(0xD8, kConfigSignature, false);
  if (config.empty()) return false;
  const std::vector<std::uint8_t> data = section(0xE0, kDataSignature, true);
  if (data.empty()) return false;

  const std::uint32_t myReference = order.U32(data, 32);
  const auto sectorSize = static_cast<std::size_t>(storage->SectorSize);
  // Member capacity of a configuration record: the published format keeps it
  // beside the record length; the per-disk capacity stands in when those
  // two do not agree.
  std::size_t members = order.U16(anchor, 0x80);
  std::size_t recordBytes = (512 + 12 * members + sectorSize - 1) / sectorSize * sectorSize;
  const std::size_t elements = order.U16(anchor, 0x88);
  const std::size_t recordSectors = order.U16(anchor, 0x86);
  if (elements > 0 && elements <= 4096 && recordSectors > 0 && 512 + 12 * elements <= recordSectors * sectorSize) {
    members = elements;
    recordBytes = recordSectors * sectorSize;
  }
  const std::size_t physicalCount = std::min<std::size_t>(order.U16(physical, 8), (physical.size() - 64) / 64);
  const std::size_t virtualCount = virtuals.size() < 64 ? 0 : std::min<std::size_t>(order.U16(virtuals, 8), (virtuals.size() - 64) / 64);
  const std::int64_t storageSize = storage->SectorCount;

  bool recognised = false;
  int processed = 0;
  for (std::size_t at = 0; at + recordBytes <= config.size() && processed < kMaxConfigRecords; at += recordBytes) {
    const ByteSpan record = ByteSpan(config).subspan(at, recordBytes);
    // Unused slots and spare records sit between configurations.
    if (order.U32(record, 0) != kConfigSignature) continue;
    ++processed;
    recognised = true;
    std::array<std::uint8_t, 24> key{};
    std::copy_n(record.begin() + 8, 24, key.begin());
    std::int32_t index = FindRaidRecord(list, key);
    bool created = false;
    if (index < 0) {
      created = true;
      TRaidInfo info;
      info.Vendor = "Adaptec raid";
      info.Base = TRaidFamily::Ddf;
      info.DiskCount = std::min<std::int32_t>(order.U16(record, 64), 16);
      const auto size = static_cast<std::int64_t>(order.U64(record, 80));
      info.SizeInSector = size > 0 ? size : 0;
      info.SectorSize = storage->SectorSize;
      const std::uint8_t level = record[67];
      info.Type = TypeFromLevel(level);
      if (info.Type == TRaidType::Raid5) {
        info.Layout = Raid5Layout(record[68]);
        if (info.Layout == TRaidLayout::ByFamily)
          LogText(Sprintf("DDF: RAID 5 qualifier %d unknown, parity placed as left-asymmetric", record[68]));
      }
      const std::int64_t stripe = std::int64_t{1} << (record[66] & 31);
      const bool striped = info.Type == TRaidType::Stripe ||
                           (info.Type >= TRaidType::Raid1E && info.Type <= TRaidType::Raid10);
      info.StripeSize = striped ? static_cast<std::int32_t>(std::min<std::int64_t>(stripe, 4096)) : 0;
      std::copy(key.begin(), key.end(), info.Id.begin());
      info.Members.resize(static_cast<std::size_t>(info.DiskCount));
      for (std::int32_t i = 0; i < info.DiskCount; ++i) {
        TRaidMember& member = info.Members[static_cast<std::size_t>(i)];
        const std::size_t refAt = 512 + 4 * static_cast<std::size_t>(i);
        const std::uint32_t reference = i < static_cast<std::int32_t>(members) ? order.U32(record, refAt) : 0xFFFFFFFF;
        for (int b = 0; b < 4; ++b) member.Ident[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(reference >> (8 * b));
        for (std::size_t p = 0; p < physicalCount; ++p) {
          const std::size_t entry = 64 + 64 * p;
          if (order.U32(physical, entry + 24) != reference) continue;
          std::copy_n(physical.begin() + static_cast<std::ptrdiff_t>(entry), 24, member.Ident.begin() + 4);
          std::uint64_t configured = order.U64(physical, entry + 32);
          if ((configured >> 32) == 0xFFFFFFFF) configured &= 0xFFFFFFFF;
          member.Size = static_cast<std::int64_t>(configured);
        }
        if (member.Size < 0 || member.Size > storageSize) member.Size = storageSize;
        const std::size_t startAt = 512 + 4 * members + 8 * static_cast<std::size_t>(i);
        const auto start = i < static_cast<std::int32_t>(members) && Fits(record, startAt, 8)
                               ? static_cast<std::int64_t>(order.U64(record, startAt))
                               : 0;
        member.Start = start < 0 || start > member.Size ? 0 : start;
        member.Index = static_cast<std::uint8_t>(i);
      }
      for (std::size_t v = 0; v < virtualCount; ++v) {
        const std::size_t entry = 64 + 64 * v;
        if (std::equal(key.begin(), key.end(), virtuals.begin() + static_cast<std::ptrdiff_t>(entry))) {
          info.Name = LoadText(virtuals, entry + 48, 16);
          break;
        }
      }
      list.push_back(std::move(info));
      index = static_cast<std::int32_t>(list.size() - 1);
    }
    TRaidInfo& info = list[static_cast<std::size_t>(index)];
    for (TRaidMember& member : info.Members) {
      const std::uint32_t reference = Le32(member.Ident, 0);
      if (reference == myReference) member.Disk = storage;
    }
    if (info.Type == TRaidType::Raid6 && created) list.pop_back();
  }
  return recognised;
}

}  // namespace

bool detect_DDF(RaidTail tail, TStorage* storage, TRaidInfoArray& list) {
  if (storage == nullptr) return false;
  if (TailSector(tail, storage, 1).empty()) return false;
  const auto anchor = TailSector(tail, storage, 1);
  if (Le32(anchor, 0) != kAnchorSignature && Be32(anchor, 0) != kAnchorSignature) return false;
  if (!storage->Open(true, false, false)) return false;
  bool recognised = false;
  try {
    recognised = DetectDdf(tail, storage, list);
  } catch (const std::exception& e) {
    LogText(std::string("Except in raid_detect_DDF.detect_DDF: ") + e.what());
  }
  storage->Close(false);
  return recognised;
}

}  // namespace vandrel
