// Damaged FAT volumes: boot sector, FAT and directory parsing, chain reads.
// The first input byte chooses whether the input overlays the volume from
// its start (boot sector included) or a valid boot sector's FAT, root
// directory and data, so the fuzzer reaches directories and chains at once.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/log.h"
#include "filesystems/fat/fat.h"
#include "fuzz/fs_walk.h"
#include "support/memory_disk.h"

namespace {

// 512-byte sectors and clusters, 1 reserved sector, 2 FATs of 2 sectors,
// 64 root entries, 512 sectors: a small FAT12 volume.
std::vector<std::uint8_t> Skeleton(std::size_t size) {
  std::vector<std::uint8_t> b(size, 0);
  const std::uint8_t boot[] = {0xEB, 0x3C, 0x90, 'M', 'S', 'W', 'I', 'N', '4', '.', '1',
                               0x00, 0x02,  // bytes per sector
                               0x01,        // sectors per cluster
                               0x01, 0x00,  // reserved
                               0x02,        // FATs
                               0x40, 0x00,  // root entries
                               0x00, 0x02,  // total sectors
                               0xF8, 0x02, 0x00};  // media, sectors per FAT
  std::copy(std::begin(boot), std::end(boot), b.begin());
  b[510] = 0x55;
  b[511] = 0xAA;
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = (vandrel::SetLogEnabled(false), true);
  (void)quiet;
  if (size < 2) return 0;
  std::vector<std::uint8_t> bytes = Skeleton(256 * 1024);
  const std::size_t at = (data[0] & 1) != 0 ? 0 : 512;
  std::copy(data + 1, data + std::min(size, bytes.size() - at + 1), bytes.begin() + static_cast<std::ptrdiff_t>(at));
  const vandrel::fuzz::ImageTruth truth(bytes);
  vandrel::test::MemoryDisk disk(std::move(bytes));
  disk.Open(true, false, false);
  vandrel::TFAT fat(&disk);
  if (fat.Open()) {
    fat.Prepare();
    // A read that succeeds hands out the image's bytes, never made-up ones.
    vandrel::fuzz::WalkCheck check{&truth, nullptr, {}};
    vandrel::fuzz::WalkAndRead(fat, nullptr, &check);
    if (!check.wrong.empty()) __builtin_trap();
  }
  return 0;
}
