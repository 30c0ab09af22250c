// The boot-sector probe and the whole-device check over arbitrary bytes.
#include <cstdint>
#include <vector>

#include "common/log.h"
#include "filesystems/file_system.h"
#include "support/memory_disk.h"
#include "devices/volume_services.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    vandrel::SetLogSink([](const std::string&, int) {});
    return true;
  }();
  (void)quiet;
  std::vector<std::uint8_t> bytes(data, data + size);
  const std::int32_t sectorSize = size > 0 && (data[0] & 1) ? 4096 : 512;
  vandrel::test::MemoryDisk disk(bytes, sectorSize, true);
  (void)vandrel::ProbeBootSector(disk);
  return 0;
}
