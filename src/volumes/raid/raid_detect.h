// RAID metadata detection: each detector reads one storage's metadata from
// the tail of the storage and adds to, or completes, the candidate arrays.
// The first member of an array creates its record; later members find it by
// its Id and fill in their own entry.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "volumes/raid/raid_storage.h"

namespace vandrel {

// Bytes at the end of every storage that the detectors look at.
inline constexpr std::size_t kRaidTailBytes = 131072;

// The tail buffer: the last kRaidTailBytes of `storage`.
using RaidTail = std::span<const std::uint8_t>;

// Runs every detector (Intel, nVidia, VIA, Linux, DDF) in this order; true
// when any of them recognised metadata on `storage`. `serial` is the disk's
// drive serial, by which Intel metadata names its members ("" if none).
bool DetectRaid(RaidTail tail, TStorage* storage, TRaidInfoArray& list, const std::string& serial = {});

bool detect_Intel(RaidTail tail, TStorage* storage, TRaidInfoArray& list, const std::string& serial);
bool detect_nVidia(RaidTail tail, TStorage* storage, TRaidInfoArray& list);
bool detect_VIA(RaidTail tail, TStorage* storage, TRaidInfoArray& list);
bool detect_Linux(RaidTail tail, TStorage* storage, TRaidInfoArray& list);
bool detect_DDF(RaidTail tail, TStorage* storage, TRaidInfoArray& list);

// The drive serials of the member disks that Intel metadata on `storage`
// lists, in its own order; nothing when it holds no valid Intel metadata.
std::optional<std::vector<std::string>> IntelMemberSerials(RaidTail tail, const TStorage* storage);

// Shared by the detectors: the first record whose Id begins with `key`, or -1.
std::int32_t FindRaidRecord(const TRaidInfoArray& list, std::span<const std::uint8_t> key);
// Sector `fromEnd` sectors before the end of the tail (1 = last sector);
// empty when the tail cannot hold it.
std::span<const std::uint8_t> TailSector(RaidTail tail, const TStorage* storage, std::int32_t fromEnd);

}  // namespace vandrel
