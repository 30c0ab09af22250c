// Linux software RAID (md, version 0.90 superblocks).
#pragma once

#include <cstdint>
#include <span>

namespace vandrel {

class TStorage;

// Bytes of a 0.90 superblock and where it sits: the last 64 KiB-aligned
// 64 KiB of the member.
inline constexpr std::uint32_t kMd090SuperblockBytes = 4096;

// The superblock checksum test (either summing convention is accepted).
bool LinuxSuperblockChecksumOk(std::span<const std::uint8_t> superblock, bool logFailure);

// Whether the volume carries a 0.90 member superblock near its end.
bool IsLinuxRaidMember(TStorage* volume);

}  // namespace vandrel
