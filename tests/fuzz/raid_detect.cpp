// Fuzz target for the five RAID metadata detectors: the input is the end of
// a member (its last 128 KiB and whatever comes before), scanned twice as
// two members so that records are both created and completed; every record
// that comes out is built into a layout and read at a few places.
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/log.h"
#include "volumes/raid/raid_detect.h"
#include "support/memory_disk.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vandrel;
  static const bool quiet = [] {
    SetLogSink([](const std::string&, int) {});
    return true;
  }();
  (void)quiet;
  // At least the tail; at most a few MiB so that section reads stay cheap.
  const std::size_t bytes = std::max<std::size_t>(kRaidTailBytes, (std::min<std::size_t>(size, 4u << 20) + 511) / 512 * 512);
  std::vector<std::uint8_t> image(bytes, 0);
  if (size > 0) std::memcpy(image.data() + (bytes - std::min(size, bytes)), data, std::min(size, bytes));
  test::MemoryDisk first(image);
  test::MemoryDisk second(image);
  TRaidInfoArray list;
  for (test::MemoryDisk* disk : {&first, &second}) {
    std::vector<std::uint8_t> tail(kRaidTailBytes);
    const std::int64_t n = static_cast<std::int64_t>(kRaidTailBytes) / 512;
    if (!disk->ReadSectors(tail.data(), static_cast<std::int32_t>(n), disk->SectorCount - n)) continue;
    DetectRaid(tail, disk, list);
  }
  std::vector<std::uint8_t> buffer(8 * 512);
  for (const TRaidInfo& info : list) {
    auto layout = CreateRaidStorage(info);
    if (!layout) continue;
    layout->Open(true, false, false);
    for (std::int64_t at : {std::int64_t{0}, layout->SectorCount / 3, layout->SectorCount - 8})
      if (at >= 0) layout->ReadSectors(buffer.data(), 8, at);
    layout->Close(false);
  }
  return 0;
}
