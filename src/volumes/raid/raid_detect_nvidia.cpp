// nVidia metadata: one sector, the second-to-last of every member.
#include <algorithm>

#include "common/endian.h"
#include "common/func.h"
#include "common/log.h"
#include "volumes/raid/raid_detect.h"

namespace vandrel {

namespace {

// The metadata occupies the last two sectors of a member; the data area
// ends before them.
constexpr std::int64_t kNvidiaMetadataSectors = 2;

TRaidType TypeFromName(const std::string& name) {
  if (name.starts_with("JBOD")) return TRaidType::Span;
  if (name.starts_with("STRIPE")) return TRaidType::Stripe;
  if (name.starts_with("MIRROR")) return TRaidType::Mirror;
  if (name.starts_with("RAID5")) return TRaidType::Raid5;
  if (name.starts_with("RAID 0+1")) return TRaidType::Raid01;
  return TRaidType::Unknown;
}

}  // namespace

bool detect_nVidia(RaidTail tail, TStorage* storage, TRaidInfoArray& list) {
  const auto sector = TailSector(tail, storage, 2);
  if (sector.empty()) return false;
  if (!BytesEqual(sector, 0, "NVIDIA  ") || Le32(sector, 52) != 0x00640044) return false;

  // The size field counts 32-bit words; the checksum word makes their sum
  // zero. Sums read over size/4 words and compared with twice the checksum
  // are accepted as well.
  const std::uint32_t maxWords = static_cast<std::uint32_t>(sector.size() / 4);
  const std::uint32_t size = Le32(sector, 8);
  std::uint32_t wordSum = 0;
  for (std::uint32_t i = 0; i < std::min(size, maxWords); ++i) wordSum += Le32(sector, 4 * i);
  std::uint32_t byteSum = 0;
  const std::uint32_t bytes = std::min(size, 2 * static_cast<std::uint32_t>(sector.size()));
  for (std::uint32_t i = 0; i < bytes / 4; ++i) byteSum += Le32(sector, 4 * i);
  const bool wordsOk = size > 0 && size <= maxWords && wordSum == 0;
  const bool bytesOk = byteSum != 0 && byteSum == 2 * Le32(sector, 12);
  if (!wordsOk && !bytesOk) {
    LogText("nVidia detect. CheckSum Error");
    return false;
  }

  try {
    const std::uint8_t memberIndex = Le8(sector, 18);
    std::array<std::uint8_t, 32> key{};
    for (std::size_t b = 0; b < 16; ++b) {
      key[b] = Le8(sector, 56 + b);
      key[16 + b] = Le8(sector, 28 + b);
    }
    std::int32_t index = FindRaidRecord(list, key);
    if (index < 0) {
      TRaidInfo info;
      info.Name = LoadText(sector, 28, 16);
      info.Vendor = "nVidia Raid";
      info.Base = TRaidFamily::Nvidia;
      switch (Le16(sector, 76)) {
        case 0x80: info.Type = TRaidType::Stripe; break;
        case 0x81: info.Type = TRaidType::Mirror; break;
        case 0x85:
        case 0x95: info.Type = TRaidType::Raid5; break;
        case 0xFF: info.Type = TRaidType::Span; break;
        case 0x8180: info.Type = TRaidType::Raid01; break;
        default: info.Type = TypeFromName(info.Name);
      }
      info.DiskCount = std::min<std::int32_t>(Le8(sector, 74), 16);
      std::uint32_t sectorSize = std::min<std::uint32_t>(Le32(sector, 24), 65536);
      if (sectorSize == 0 || sectorSize % 512 != 0) sectorSize = 512;
      info.SectorSize = static_cast<std::int32_t>(sectorSize);
      info.StripeSize = static_cast<std::int32_t>(std::min<std::uint32_t>(Le32(sector, 80), 4096));
      info.SizeInSector = Le32(sector, 20);
      info.Id = key;
      info.Members.resize(static_cast<std::size_t>(info.DiskCount));
      list.push_back(std::move(info));
      index = static_cast<std::int32_t>(list.size() - 1);
    }
    TRaidInfo& info = list[static_cast<std::size_t>(index)];
    if (memberIndex < info.DiskCount && static_cast<std::size_t>(memberIndex) < info.Members.size()) {
      TRaidMember& member = info.Members[memberIndex];
      member = TRaidMember{};
      member.Disk = storage;
      member.Size = std::max<std::int64_t>(0, storage->SectorCount - kNvidiaMetadataSectors);
      member.Index = memberIndex;
    }
  } catch (...) {
  }
  return true;
}

}  // namespace vandrel
