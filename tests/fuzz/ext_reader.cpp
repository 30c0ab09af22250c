// Damaged Ext volumes: superblock and descriptor checks, inodes, block
// maps, extent trees and directory records. The first input byte chooses
// whether the input overlays a valid skeleton from its inode table on
// (so the fuzzer reaches extents and directories at once) or from the
// volume's start.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/log.h"
#include "filesystems/ext/ext2.h"
#include "fuzz/read_truth.h"
#include "support/memory_disk.h"

namespace {

constexpr std::size_t kBlock = 1024;
constexpr std::size_t kBlocks = 256;
constexpr std::size_t kInodeTable = 5;

void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// One group of 256 1 KiB blocks, 64 inodes of 128 bytes at block 5.
std::vector<std::uint8_t> Skeleton() {
  std::vector<std::uint8_t> b(kBlock * kBlocks, 0);
  const std::size_t sb = 1024;
  Put32(b, sb + 0, 64);           // inodes
  Put32(b, sb + 4, kBlocks);      // blocks
  Put32(b, sb + 20, 1);           // first data block
  Put32(b, sb + 32, 8192);        // blocks per group
  Put32(b, sb + 40, 64);          // inodes per group
  Put16(b, sb + 56, 0xEF53);
  Put32(b, sb + 76, 1);           // revision 1
  Put16(b, sb + 88, 128);         // inode size
  Put32(b, sb + 96, 0x0002 | 0x0040);  // filetype, extents
  Put32(b, 2 * kBlock + 8, kInodeTable);
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = (vandrel::SetLogEnabled(false), true);
  (void)quiet;
  if (size < 2) return 0;
  std::vector<std::uint8_t> bytes = Skeleton();
  const std::size_t at = (data[0] & 1) != 0 ? 0 : kInodeTable * kBlock;
  std::copy(data + 1, data + std::min(size, bytes.size() - at + 1), bytes.begin() + static_cast<std::ptrdiff_t>(at));
  const vandrel::fuzz::ImageTruth truth(bytes);
  vandrel::test::MemoryDisk disk(std::move(bytes));
  disk.Open(true, false, false);
  for (bool scan : {false, true}) {
    vandrel::TExt2 ext(&disk, scan);
    if (!ext.Open()) continue;
    ext.Prepare();
    // A read that succeeds hands out the image's bytes, never made-up ones.
    vandrel::fuzz::WalkCheck check{&truth, vandrel::fuzz::ExtTransformed, {}};
    vandrel::fuzz::WalkAndRead(ext, nullptr, &check);
    if (!check.wrong.empty()) __builtin_trap();
    disk.Open(true, false, false);  // the reader closes the storage once
  }
  return 0;
}
