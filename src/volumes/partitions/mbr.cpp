// The MBR and the chain of extended boot records behind it.
#include "volumes/partitions/mbr.h"

#include <algorithm>
#include <array>

#include "common/endian.h"
#include "common/func.h"
#include "common/log.h"
#include "common/error_codes.h"
#include "platform/errors.h"
#include "storage/bus_manager.h"

namespace vandrel {

namespace {

constexpr std::size_t kMbrEntries = 446;
constexpr std::size_t kMbrEntrySize = 16;
// Tables an extended chain may hold before the walk refuses to go on.
constexpr int kMaxTables = 32;

// Whether sector 0 looks like a partition table: every boot indicator is
// 0x00 or 0x80, and consecutive used entries are adjacent, or no pair was
// tested and not all entries are empty.
bool PlausibleMbr(ByteSpan sector) {
  auto start = [&](int i) { return Le32(sector, kMbrEntries + 16 * i + 8); };
  auto size = [&](int i) { return Le32(sector, kMbrEntries + 16 * i + 12); };
  bool tested = false;
  bool allEmpty = true;
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t bootIndicator = Le8(sector, kMbrEntries + 16 * i);
    if (bootIndicator != 0x00 && bootIndicator != 0x80) return false;
    if (start(i) != 0 || size(i) != 0) allEmpty = false;
  }
  for (int i = 0; i < 3; ++i) {
    if (start(i) == 0 || size(i) == 0 || start(i + 1) == 0 || size(i + 1) == 0) break;
    tested = true;
    const std::uint8_t chsSector = Le8(sector, kMbrEntries + 16 * (i + 1) + 2) & 0x3F;
    if (std::int64_t{start(i + 1)} - chsSector + 1 != std::int64_t{start(i)} + size(i)) return false;
  }
  return tested || !allEmpty;
}

bool IsExtendedType(std::uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

class MbrWalk {
 public:
  explicit MbrWalk(TStorageWithPartitions& device)
      : device_(device), sector_(static_cast<std::size_t>(std::max(device.SectorSize, 2048))) {}

  // `base` is the first extended table of the chain: links found in later
  // extended tables are relative to it.
  bool Walk(std::int64_t table, std::int64_t base, bool isMbr) {
    ++tablesRead_;
    if (!device_.ReadSectors(sector_.data(), 1, table)) {
      LogEvent(kSenderIo, kErrRead, platform::LastOsError(),
               Sprintf("Disk: %d  Sector: %lld  Size: %d bytes", device_.Address[0], static_cast<long long>(table),
                       device_.SectorSize),
               3);
      return false;
    }
    const ByteSpan bytes(sector_);
    const std::uint16_t magic = Le16(bytes, 510);
    if (magic != 0xAA55) {
      LogEvent(kSenderIo, kErrBlockSignature, 0, Sprintf("Magic: %x", magic), 0);
      return false;
    }
    // Copied: walking a link reuses the sector buffer.
    std::array<std::array<std::uint8_t, kMbrEntrySize>, 4> entries{};
    for (std::size_t i = 0; i < 4; ++i)
      std::copy_n(sector_.begin() + static_cast<std::ptrdiff_t>(kMbrEntries + i * kMbrEntrySize), kMbrEntrySize,
                  entries[i].begin());
    bool any = false;
    for (auto& raw : entries) {
      const std::uint8_t type = raw[4];
      const std::uint32_t start = Le32(raw, 8);
      const std::uint32_t size = Le32(raw, 12);
      if (size == 0) continue;
      any = true;
      if (IsExtendedType(type)) {
        if (isMbr) ++ordinal_;
        if (tablesRead_ > kMaxTables) {
          LogEvent(kSenderIo, kErrTooManyPartitions, 0, "", 3);
        } else if (isMbr) {
          Walk(table + start, table + start, false);
        } else {
          Walk(base + start, base, false);
        }
        continue;
      }
      // Entries of a table count from that table's own sector.
      const std::int64_t absolute = table + start;
      const auto stored = static_cast<std::uint32_t>(absolute);
      for (int b = 0; b < 4; ++b) raw[8 + b] = static_cast<std::uint8_t>(stored >> (8 * b));
      ++ordinal_;
      if (type == 0xEE) continue;  // GPT protective entry
      TPartitionInformation entry;
      entry.Kind = pkMbr;
      entry.Start = absolute;
      entry.Count = size;
      entry.Type = type;
      entry.MbrEntry = raw;
      entry.Ordinal = ordinal_;
      device_.AddPartitionEntry(std::move(entry));
    }
    return any;
  }

 private:
  TStorageWithPartitions& device_;
  std::vector<std::uint8_t> sector_;
  int tablesRead_ = 0;
  std::int32_t ordinal_ = 0;
};

}  // namespace

bool VolumeAtSectorZero(std::uint8_t type, ByteSpan sector0) {
  if (type == 0) return false;
  return type == 0x07 || type == 0x83 || type == 0xFA || !PlausibleMbr(sector0);
}

bool ReadMbr(TStorageWithPartitions& disk) { return MbrWalk(disk).Walk(0, 0, true); }

}  // namespace vandrel
