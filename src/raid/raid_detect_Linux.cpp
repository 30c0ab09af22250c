#include "raid/raid_detect_Linux.h"

#include <vector>

#include "common/endian.h"
#include "common/func.h"
#include "common/log.h"
#include "storage/uBusManager.h"

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
