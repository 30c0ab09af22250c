// Damaged FAT volumes: boot sector, FAT and directory parsing, chain reads.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/log.h"
#include "filesystems/FAT.h"
#include "fuzz/fs_walk.h"
#include "support/memory_disk.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = (vandrel::SetLogEnabled(false), true);
  (void)quiet;
  if (size < 512) return 0;
  // The input is the start of a small volume; the rest reads as zeros.
  std::vector<std::uint8_t> bytes(data, data + size);
  bytes.resize(std::max<std::size_t>(size, 256 * 1024));
  vandrel::test::MemoryDisk disk(std::move(bytes));
  disk.Open(true, false, false);
  vandrel::TFAT fat(&disk);
  if (fat.Open()) {
    fat.Prepare();
    vandrel::fuzz::WalkAndRead(fat);
  }
  return 0;
}
