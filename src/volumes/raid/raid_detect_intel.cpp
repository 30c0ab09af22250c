// Intel Matrix Storage metadata: a block in the second- and third-to-last
// sectors that lists the member disks by serial number and the volumes
// built on them.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "common/endian.h"
#include "common/func.h"
#include "common/log.h"
#include "volumes/raid/raid_detect.h"

namespace vandrel {

namespace {

constexpr std::string_view kIntelSignature = "Intel Raid ISM Cfg Sig. ";
constexpr std::size_t kDiskRecords = 216;
constexpr std::size_t kDiskRecordBytes = 48;
constexpr std::size_t kMapHeaderBytes = 48;
constexpr std::size_t kVolumeMapOffset = 112;

std::string DiskSerial(ByteSpan block, std::size_t record) {
  return Trim(LoadText(block, kDiskRecords + kDiskRecordBytes * record, 16));
}

// The metadata block of the second- and third-to-last sectors when its
// signature and checksum hold; `report` logs a checksum that does not.
std::optional<std::vector<std::uint8_t>> IntelBlock(RaidTail tail, const TStorage* storage, bool report) {
  if (storage == nullptr) return std::nullopt;
  const auto second = TailSector(tail, storage, 2);
  const auto third = TailSector(tail, storage, 3);
  if (second.empty() || third.empty()) return std::nullopt;
  std::vector<std::uint8_t> block(second.begin(), second.end());
  block.insert(block.end(), third.begin(), third.end());
  if (!BytesEqual(block, 1, kIntelSignature.substr(1))) return std::nullopt;

  const std::uint32_t length = std::min<std::uint32_t>(Le32(block, 36), static_cast<std::uint32_t>(block.size()));
  std::uint32_t sum = 0;
  for (std::uint32_t i = 0; i < length / 4; ++i) sum += Le32(block, 4 * i);
  if (sum == 0 || sum != 2 * Le32(block, 32)) {
    if (report) LogText("Intel.CheckSum Error");
    return std::nullopt;
  }
  return block;
}

std::size_t DiskCount(ByteSpan block) { return std::min<std::size_t>(Le8(block, 56), 16); }

}  // namespace

std::optional<std::vector<std::string>> IntelMemberSerials(RaidTail tail, const TStorage* storage) {
  const auto block = IntelBlock(tail, storage, false);
  if (!block) return std::nullopt;
  std::vector<std::string> serials;
  for (std::size_t j = 0; j < DiskCount(*block); ++j) serials.push_back(DiskSerial(*block, j));
  return serials;
}

bool detect_Intel(RaidTail tail, TStorage* storage, TRaidInfoArray& list, const std::string& serial) {
  const auto found = IntelBlock(tail, storage, true);
  if (!found) return false;
  const std::vector<std::uint8_t>& block = *found;

  const std::uint32_t family = Le32(block, 40);
  const std::size_t disks = DiskCount(block);
  const std::size_t volumes = std::min<std::size_t>(Le8(block, 57), 4);

  std::size_t volume = kDiskRecords + kDiskRecordBytes * disks;
  for (std::size_t v = 0; v < volumes && volume < block.size(); ++v) {
    const std::size_t map = volume + kVolumeMapOffset;
    const std::uint8_t members = Le8(block, map + 16);
    std::array<std::uint8_t, 21> key{};
    for (int b = 0; b < 4; ++b) key[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(family >> (8 * b));
    key[4] = members;
    for (std::size_t b = 0; b < 16; ++b) {
      key[5 + b] = Le8(block, volume + b);
    }
    // The name ends at its first zero byte; the key is zero-filled after it.
    bool ended = false;
    for (std::size_t b = 0; b < 16; ++b) {
      if (key[5 + b] == 0) ended = true;
      if (ended) key[5 + b] = 0;
    }
    std::int32_t index = FindRaidRecord(list, key);
    if (index < 0) {
      TRaidInfo info;
      info.Name = LoadText(block, volume, 16);
      info.Vendor = "Intel Matrix Storage";
      info.Base = TRaidFamily::Intel;
      info.DiskCount = std::min<std::int32_t>(members, 16);
      info.SizeInSector = static_cast<std::int64_t>((std::uint64_t{Le32(block, volume + 20)} << 32) |
                                                    Le32(block, volume + 16));
      if (info.SizeInSector < 0) info.SizeInSector = 0;
      info.SectorSize = storage->SectorSize;
      const std::int16_t chunk = LeS16(block, map + 12);
      info.StripeSize = chunk > 4096 ? 4096 : (chunk < 0 ? 0 : chunk);
      std::copy(key.begin(), key.end(), info.Id.begin());
      const std::uint8_t level = Le8(block, map + 15);
      if (level == 0)
        info.Type = TRaidType::Stripe;
      else if (level == 1)
        info.Type = members == 2 ? TRaidType::Mirror : TRaidType::Raid01;
      else if (level == 5)
        info.Type = TRaidType::Raid5;
      else
        info.Type = TRaidType::Unknown;
      // The first data sector, with the high half newer metadata keeps.
      const std::uint64_t start = (std::uint64_t{Le32(block, map + 20)} << 32) | Le32(block, map);
      info.Members.resize(static_cast<std::size_t>(info.DiskCount));
      for (std::int32_t i = 0; i < info.DiskCount; ++i) {
        // The top byte of an ordinal holds state flags (rebuilding).
        const std::uint32_t ordinal = Le32(block, map + kMapHeaderBytes + 4 * static_cast<std::size_t>(i)) & 0xFFFFFF;
        std::int64_t record = -1;
        if (ordinal < disks) {
          record = ordinal;
        } else {
          for (std::size_t j = 0; j < disks; ++j)
            if ((Le32(block, kDiskRecords + kDiskRecordBytes * j + 20) >> 8) == ordinal) {
              record = static_cast<std::int64_t>(j);
              break;
            }
        }
        if (record < 0) continue;
        const std::size_t at = kDiskRecords + kDiskRecordBytes * static_cast<std::size_t>(record);
        TRaidMember& member = info.Members[static_cast<std::size_t>(i)];
        member.Start = start > static_cast<std::uint64_t>(INT64_MAX) ? 0 : static_cast<std::int64_t>(start);
        member.Size = static_cast<std::int64_t>((std::uint64_t{Le32(block, at + 32)} << 32) | Le32(block, at + 16));
        if (member.Size < 0) member.Size = 0;
        member.Index = static_cast<std::uint8_t>(i);
        const std::size_t from = Le8(block, at + 14) == ':' ? 0 : 1;
        for (std::size_t b = 0; b < 14; ++b) member.Ident[b] = Le8(block, at + from + b);
      }
      list.push_back(std::move(info));
      index = static_cast<std::int32_t>(list.size() - 1);
    }
    if (serial.size() > 1) {
      std::array<std::uint8_t, 14> mine{};
      for (std::size_t b = 0; b < 14 && b + 1 < serial.size(); ++b) mine[b] = static_cast<std::uint8_t>(serial[b + 1]);
      for (TRaidMember& member : list[static_cast<std::size_t>(index)].Members)
        if (std::equal(mine.begin(), mine.end(), member.Ident.begin())) member.Disk = storage;
    }
    // A volume in the middle of a migration carries a second map.
    const std::size_t mapBytes = kMapHeaderBytes + 4 * static_cast<std::size_t>(members);
    volume = map + mapBytes * (Le8(block, volume + 64) != 0 ? 2 : 1);
  }
  return true;
}

}  // namespace vandrel
