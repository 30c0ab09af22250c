#include "volumes/raid/raid_detect.h"

#include <algorithm>
#include <cstring>

#include "volumes/raid/raid_detect_linux.h"

namespace vandrel {

std::int32_t FindRaidRecord(const TRaidInfoArray& list, std::span<const std::uint8_t> key) {
  if (key.size() > 32) key = key.first(32);
  for (std::size_t i = 0; i < list.size(); ++i)
    if (std::equal(key.begin(), key.end(), list[i].Id.begin())) return static_cast<std::int32_t>(i);
  return -1;
}

std::span<const std::uint8_t> TailSector(RaidTail tail, const TStorage* storage, std::int32_t fromEnd) {
  if (storage == nullptr || storage->SectorSize <= 0 || fromEnd <= 0) return {};
  const auto size = static_cast<std::size_t>(storage->SectorSize);
  const std::size_t back = size * static_cast<std::size_t>(fromEnd);
  if (back > tail.size() || storage->SectorCount < fromEnd) return {};
  return tail.subspan(tail.size() - back, size);
}

bool DetectRaid(RaidTail tail, TStorage* storage, TRaidInfoArray& list, const std::string& serial) {
  if (storage == nullptr) return false;
  bool found = false;
  // Every detector runs: one disk can carry several kinds of metadata.
  found |= detect_Intel(tail, storage, list, serial);
  found |= detect_nVidia(tail, storage, list);
  found |= detect_VIA(tail, storage, list);
  found |= detect_Linux(tail, storage, list);
  found |= detect_DDF(tail, storage, list);
  return found;
}

}  // namespace vandrel
