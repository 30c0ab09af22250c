#include "volumes/raid/raid_detect_linux.h"

#include <algorithm>
#include <vector>

#include "common/endian.h"
#include "common/func.h"
#include "common/log.h"
#include "volumes/raid/raid_detect.h"
#include "storage/bus_manager.h"

namespace vandrel {

bool LinuxSuperblockChecksumOk(std::span<const std::uint8_t> superblock, bool logFailure) {
  if (superblock.size() < kMd090SuperblockBytes) return false;
  std::uint32_t withCarry = 0;
  std::uint32_t plain = 0;
  std::uint32_t carry = 0;
  for (std::size_t i = 0; i < 1024; ++i) {
    const std::uint32_t word = Le32(superblock, i * 4);
    const std::uint64_t sum = std::uint64_t{withCarry} + word + carry;
    withCarry = static_cast<std::uint32_t>(sum);
    carry = static_cast<std::uint32_t>(sum >> 32);
    plain += word;
  }
  withCarry += carry;
  const std::uint32_t stored = Le32(superblock, 152);
  const auto near = [stored](std::uint32_t value) {
    const auto diff = static_cast<std::int32_t>(value - 2 * stored);
    return diff >= -4 && diff <= 4;
  };
  if (withCarry != 0 && plain != 0 && (near(plain) || near(withCarry))) return true;
  if (logFailure) {
    LogText("Linux detect. CheckSum Error");
    LogText(Sprintf("Linux.Detect.CheckSum linux: %u, diff: %2d", withCarry,
                    static_cast<std::int32_t>(2 * stored - withCarry)));
    LogText(Sprintf("Linux.Detect.CheckSum default: %u, diff: %2d", plain, static_cast<std::int32_t>(2 * stored - plain)));
  }
  return false;
}

bool IsLinuxRaidMember(TStorage* volume) {
  if (volume == nullptr || volume->SectorCount <= 0 || volume->SectorSize <= 0) return false;
  // Positions in 512-byte units, converted to this storage's sectors.
  const std::int64_t units = volume->Size / 512;
  const std::int64_t startUnit = std::max<std::int64_t>(0, (units / 128) * 128 - 128);
  const std::int64_t startByte = startUnit * 512;
  if (startByte % volume->SectorSize != 0) return false;
  const std::int64_t sector = startByte / volume->SectorSize;
  const std::int64_t wanted = (kMd090SuperblockBytes + volume->SectorSize - 1) / volume->SectorSize;
  if (sector + wanted > volume->SectorCount) return false;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(wanted * volume->SectorSize));
  if (!volume->Open(true, false, false)) return false;
  const bool read = volume->ReadSectors(buffer.data(), static_cast<std::int32_t>(wanted), sector);
  volume->Close(false);
  return read && LinuxSuperblockChecksumOk(buffer, false);
}

}  // namespace vandrel

// ------------------------------------------------------------ detect_Linux

namespace vandrel {

namespace {

constexpr std::size_t kDescriptors = 512;
constexpr std::size_t kDescriptorBytes = 128;
constexpr std::size_t kDescriptorCount = 27;
constexpr std::size_t kThisDisk = 3968;
// Ident byte that marks an entry whose descriptor was found (a descriptor
// of all zeros is otherwise indistinguishable from an empty entry).
constexpr std::size_t kIdentFilled = 16;
constexpr std::uint32_t kDescriptorFaulty = 1;

std::uint32_t Word(ByteSpan sb, std::size_t word) { return Le32(sb, 4 * word); }

// The md RAID 5 algorithm numbers.
TRaidLayout ParityLayout(std::uint32_t layout) {
  switch (layout) {
    case 0: return TRaidLayout::LeftAsymmetric;
    case 1: return TRaidLayout::RightAsymmetric;
    case 2: return TRaidLayout::LeftSymmetric;
    case 3: return TRaidLayout::RightSymmetric;
    default: return TRaidLayout::ByFamily;
  }
}

}  // namespace

bool detect_Linux(RaidTail tail, TStorage* storage, TRaidInfoArray& list) {
  if (storage == nullptr || storage->SectorSize <= 0 || storage->Size <= 0) return false;
  // Superblock position in 512-byte units: the last 64 KiB-aligned 64 KiB.
  const std::int64_t units = storage->Size / 512;
  const std::int64_t sbUnit = (units / 128) * 128 - 128;
  if (sbUnit < 0) return false;
  const std::int64_t tailStart = storage->Size - static_cast<std::int64_t>(tail.size());
  const std::int64_t offset = sbUnit * 512 - tailStart;
  if (offset < 0 || offset + static_cast<std::int64_t>(kMd090SuperblockBytes) > static_cast<std::int64_t>(tail.size()))
    return false;
  const ByteSpan sb = tail.subspan(static_cast<std::size_t>(offset), kMd090SuperblockBytes);
  if (Le32(sb, 0) != 0xA92B4EFC) return false;
  if (!LinuxSuperblockChecksumOk(sb, true)) return false;

  const auto level = static_cast<std::int32_t>(Word(sb, 7));
  const std::uint32_t layout = Word(sb, 64);
  // The data area ends where the superblock's 64 KiB begin.
  const std::int64_t storageUnits = units;
  const auto memberSize = [&] {
    std::int64_t m = std::min<std::int64_t>(2 * std::int64_t{Word(sb, 8)}, std::min(storageUnits, sbUnit));
    if (m <= 0) m = sbUnit;
    return m;
  };

  std::array<std::uint8_t, 32> key{};
  const std::size_t keyWords[] = {5, 13, 14, 15, 10, 7, 8, 65};
  for (std::size_t k = 0; k < 8; ++k)
    for (std::size_t b = 0; b < 4; ++b) key[4 * k + b] = sb[4 * keyWords[k] + b];

  std::int32_t index = FindRaidRecord(list, key);
  if (index < 0) {
    TRaidInfo info;
    info.Name = Sprintf("Linux volume %d", static_cast<int>(list.size() + 1));
    info.Vendor = "Linux Raid";
    info.Base = TRaidFamily::Linux;
    info.DiskCount = static_cast<std::int32_t>(std::clamp<std::uint32_t>(Word(sb, 10), 2, 16));
    info.SectorSize = 512;
    info.StripeSize = static_cast<std::int32_t>(std::min<std::uint32_t>(Word(sb, 65) / 512, 4096));
    const std::int64_t m = memberSize();
    switch (level) {
      case -1:
        // Members of a linear array differ in size: each contributes its own
        // data area, summed as the members are found.
        info.Type = TRaidType::Span;
        info.SizeInSector = 0;
        break;
      case 0:
        info.Type = TRaidType::Stripe;
        info.SizeInSector = m * info.DiskCount;
        break;
      case 1:
        info.Type = TRaidType::Mirror;
        info.DiskCount = 2;
        info.SizeInSector = m;
        break;
      case 4:
        info.Type = TRaidType::Raid4;
        info.DiskCount = std::max(info.DiskCount, 3);
        info.SizeInSector = m * (info.DiskCount - 1);
        break;
      case 5:
        info.Type = TRaidType::Raid5;
        info.DiskCount = std::max(info.DiskCount, 3);
        info.SizeInSector = m * (info.DiskCount - 1);
        info.Layout = ParityLayout(layout);
        if (info.Layout == TRaidLayout::ByFamily) {
          LogText(Sprintf("Linux raid 5 layout %u is not supported", layout));
          info.Type = TRaidType::Unknown;
        }
        break;
      case 10: {
        const std::uint32_t nearCopies = layout & 0xFF;
        const std::uint32_t farCopies = (layout >> 8) & 0xFF;
        const bool offsetCopies = (layout & 0x10000) != 0;
        info.SizeInSector = m * (info.DiskCount / 2);
        if (farCopies == 1 && !offsetCopies && nearCopies == 2) {
          // Near copies sit side by side: pairs of members for an even
          // count, copies running on across the members for an odd one.
          if (info.DiskCount % 2 == 0) {
            info.Type = TRaidType::Raid10;
          } else {
            info.Type = TRaidType::Raid1E;
            info.Layout = TRaidLayout::Interleaved;
            info.SizeInSector = m * info.DiskCount / 2 / std::max(info.StripeSize, 1) * std::max(info.StripeSize, 1);
          }
        } else if (farCopies == 1 && !offsetCopies && nearCopies == 1) {
          info.Type = TRaidType::Stripe;
          info.SizeInSector = m * info.DiskCount;
        } else {
          LogText(Sprintf("Linux raid 10 layout %#x (far or offset copies) is not supported", layout));
          info.Type = TRaidType::Unknown;
        }
        break;
      }
      default:
        info.Type = TRaidType::Unknown;
        info.SizeInSector = m;
        LogText("Unknown Linux raid types");
    }
    info.Id = key;
    info.Members.resize(static_cast<std::size_t>(info.DiskCount));
    for (std::size_t g = 0; g < kDescriptorCount; ++g) {
      const std::size_t at = kDescriptors + kDescriptorBytes * g;
      // A descriptor's raid_disk word is the member's role in the array.
      const std::uint32_t role = Le32(sb, at + 12);
      if (role >= static_cast<std::uint32_t>(info.DiskCount) || (Le32(sb, at + 16) & kDescriptorFaulty) != 0) continue;
      TRaidMember& member = info.Members[role];
      if (member.Ident[kIdentFilled] != 0) continue;
      for (std::size_t b = 0; b < 16; ++b) member.Ident[b] = sb[at + b];
      member.Ident[kIdentFilled] = 1;
      member.Size = level == -1 ? 0 : m;
      member.Index = static_cast<std::uint8_t>(role);
    }
    list.push_back(std::move(info));
    index = static_cast<std::int32_t>(list.size() - 1);
  }
  TRaidInfo& info = list[static_cast<std::size_t>(index)];
  for (std::size_t g = 0; g < info.Members.size(); ++g) {
    TRaidMember& member = info.Members[g];
    if (member.Ident[kIdentFilled] == 0 || !std::equal(member.Ident.begin(), member.Ident.begin() + 16, sb.begin() + kThisDisk))
      continue;
    member.Disk = storage;
    member.Offset = 0;
    member.Start = 0;
    member.VolumeStart = 0;
    if (info.Type == TRaidType::Span)
      member.Size = sbUnit;
    else if (member.Size <= 0)
      member.Size = memberSize();
    member.Index = static_cast<std::uint8_t>(g);
  }
  if (info.Type == TRaidType::Span) {
    info.SizeInSector = 0;
    for (const TRaidMember& member : info.Members) info.SizeInSector += member.Size;
  }
  return true;
}

}  // namespace vandrel
