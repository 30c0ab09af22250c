// VIA metadata: the last sector of every member.
#include <algorithm>

#include "common/endian.h"
#include "common/func.h"
#include "common/log.h"
#include "volumes/raid/raid_detect.h"

namespace vandrel {

bool detect_VIA(RaidTail tail, TStorage* storage, TRaidInfoArray& list) {
  const auto sector = TailSector(tail, storage, 1);
  if (sector.empty() || Le16(sector, 0) != 0xAA55) return false;
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < 50; ++i) sum = static_cast<std::uint8_t>(sum + sector[i]);
  if (sum == 0 || sum != sector[50]) {
    LogText("Via detect. CheckSum Error");
    return false;
  }
  const std::uint8_t arrayType = Le8(sector, 3) & 0x7E;
  const std::uint8_t shape = Le8(sector, 5);
  const std::uint64_t rawCapacity = Le64(sector, 6);
  const std::int64_t capacity = rawCapacity > static_cast<std::uint64_t>(INT64_MAX / 16) ? 0 : static_cast<std::int64_t>(rawCapacity);
  const std::uint32_t arraySerial = Le32(sector, 14);

  std::array<std::uint8_t, 32> key{};
  for (std::size_t b = 0; b < 32; ++b) key[b] = sector[18 + b];
  std::int32_t index = FindRaidRecord(list, key);
  if (index < 0) {
    TRaidInfo info;
    info.Name = Sprintf("Via device %d", static_cast<int>(list.size() + 1));
    info.Vendor = "Via Raid";
    info.Base = TRaidFamily::Via;
    info.DiskCount = shape & 0x07;
    info.SectorSize = 512;
    info.StripeSize = 8 << (shape >> 4);
    info.Id = key;
    // The capacity field is the array's size, whatever the level; the
    // layout cuts it to what the members hold.
    info.SizeInSector = capacity;
    switch (arrayType) {
      case 0x04: info.Type = TRaidType::Stripe; break;
      case 0x0C:
        info.Type = TRaidType::Mirror;
        info.DiskCount = 2;
        break;
      case 0x2C:
        info.Type = TRaidType::Raid5;
        info.DiskCount = std::max(info.DiskCount, 3);
        break;
      case 0x44: info.Type = TRaidType::Span; break;
      case 0x4C: info.Type = TRaidType::Raid01; break;
      default:
        info.Type = TRaidType::Unknown;
        LogText("Unknown Via raid types");
    }
    info.Members.resize(static_cast<std::size_t>(info.DiskCount));
    list.push_back(std::move(info));
    index = static_cast<std::int32_t>(list.size() - 1);
  }
  TRaidInfo& info = list[static_cast<std::size_t>(index)];
  // The metadata sector is not part of the member's data area.
  const std::int64_t dataArea = std::max<std::int64_t>(0, storage->SectorCount - 1);
  for (std::int32_t i = 0; i < info.DiskCount && static_cast<std::size_t>(i) < info.Members.size() && i < 8; ++i) {
    if (Le32(sector, 18 + 4 * static_cast<std::size_t>(i)) != arraySerial) continue;
    TRaidMember& member = info.Members[static_cast<std::size_t>(i)];
    member = TRaidMember{};
    member.Disk = storage;
    member.Size = std::min(capacity, dataArea);
    member.Index = static_cast<std::uint8_t>(i);
  }
  return true;
}

}  // namespace vandrel
