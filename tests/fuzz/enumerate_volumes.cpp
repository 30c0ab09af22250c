// EnumerateVolumes over any bytes: MBR chains, GPT copies and the search
// for lost volumes must end, stay inside the disk and never crash.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/log.h"
#include "support/memory_disk.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    vandrel::SetLogEnabled(false);
    return true;
  }();
  (void)quiet;
  if (size < 2) return 0;
  // The first byte chooses the sector size; the rest is the disk.
  static const std::int32_t kSectorSizes[] = {512, 1024, 2048, 4096};
  const std::int32_t sectorSize = kSectorSizes[data[0] & 3];
  std::vector<std::uint8_t> bytes(data + 1, data + size);
  vandrel::test::MemoryDisk disk(std::move(bytes), sectorSize, true);
  for (const auto& entry : disk.Partitions) {
    if (entry.Partition == nullptr || entry.Count <= 0 || entry.Start < 0) __builtin_trap();
  }
  return 0;
}
