#include "filesystems/volume_read.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace vandrel {
namespace {

// Sectors per device read: keeps each request within the 32-bit count and
// the buffer size reasonable.
constexpr std::uint64_t kMaxSectorsPerRead = 8192;

}  // namespace

bool ReadVolumeBytes(TStorage& volume, std::uint64_t offset, std::uint8_t* out, std::size_t length,
                     TVolumeReadRule rule) {
  if (length == 0) return true;
  if (volume.SectorSize <= 0) {
    std::memset(out, 0, length);
    return false;
  }
  const auto sectorSize = static_cast<std::uint64_t>(volume.SectorSize);
  const std::uint64_t volumeBytes = static_cast<std::uint64_t>(std::max<std::int64_t>(volume.SectorCount, 0)) * sectorSize;
  bool ok = true;
  if (offset > volumeBytes || length > volumeBytes - offset) {
    const std::size_t inside = offset >= volumeBytes ? 0 : static_cast<std::size_t>(volumeBytes - offset);
    if (rule == TVolumeReadRule::Strict || inside == 0) {
      std::memset(out, 0, length);
      return false;
    }
    std::memset(out + inside, 0, length - inside);
    length = inside;
    ok = false;
  }
  const bool keepWhatArrived = rule == TVolumeReadRule::Lenient;
  std::vector<std::uint8_t> bounce;
  std::size_t done = 0;
  while (done < length) {
    const std::uint64_t position = offset + done;
    const std::uint64_t sector = position / sectorSize;
    const std::uint64_t skip = position % sectorSize;
    const std::size_t left = length - done;
    if (skip == 0 && left >= sectorSize) {
      // Whole sectors straight into the caller's buffer.
      const std::uint64_t sectors = std::min<std::uint64_t>(left / sectorSize, kMaxSectorsPerRead);
      if (!volume.ReadSectors(out + done, static_cast<std::int32_t>(sectors), static_cast<std::int64_t>(sector))) {
        if (!keepWhatArrived) std::memset(out + done, 0, sectors * sectorSize);
        ok = false;
      }
      done += sectors * sectorSize;
      continue;
    }
    // A partial sector at either end goes through a bounce buffer.
    bounce.resize(sectorSize);
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(sectorSize - skip, left));
    if (volume.ReadSectors(bounce.data(), 1, static_cast<std::int64_t>(sector))) {
      std::memcpy(out + done, bounce.data() + skip, take);
    } else {
      if (keepWhatArrived) std::memcpy(out + done, bounce.data() + skip, take);
      else std::memset(out + done, 0, take);
      ok = false;
    }
    done += take;
  }
  return ok;
}

}  // namespace vandrel
