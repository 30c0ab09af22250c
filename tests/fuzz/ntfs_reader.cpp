// Damaged NTFS volumes through both readers: boot sector, $MFT and its
// mirror, records, attribute lists, index blocks and file data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/log.h"
#include "filesystems/ntfs/salvage.h"
#include "fuzz/read_truth.h"
#include "support/memory_disk.h"

namespace {

// Every file once more as if it were flagged encrypted: a file with an $EFS
// stream then reads as its raw export, its stream list taken from the record.
void ReadAsEncrypted(vandrel::FileSystem& fs, const vandrel::TFileEntry& file) {
  vandrel::TFileEntry entry = file;
  entry.Attributes |= vandrel::kAttrEncrypted;
  vandrel::FsHandle handle = fs.OpenFile(entry);
  if (handle == vandrel::kNoHandle) return;
  std::vector<std::uint8_t> buffer(65536);
  const std::int64_t size = fs.GetFileSize(handle);
  for (const std::int64_t at : {std::int64_t{0}, size / 3, size - 700}) {
    fs.Seek(handle, vandrel::kSeekBegin, at);
    fs.Read(handle, buffer.data(), static_cast<std::int32_t>(buffer.size()));
  }
  fs.CloseFile(handle);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = (vandrel::SetLogEnabled(false), true);
  (void)quiet;
  if (size < 512) return 0;
  // The input is the start of a small volume; the rest reads as zeros.
  std::vector<std::uint8_t> bytes(data, data + size);
  bytes.resize(std::max<std::size_t>(size, 1024 * 1024));
  const vandrel::fuzz::ImageTruth truth(bytes);
  for (bool salvage : {false, true}) {
    vandrel::test::MemoryDisk disk(bytes);
    disk.Open(true, false, false);
    std::unique_ptr<vandrel::TNTFS> reader;
    if (salvage)
      reader = std::make_unique<vandrel::TNTFS_Salvager>(&disk);
    else
      reader = std::make_unique<vandrel::TNTFS_Reader>(&disk);
    reader->Open();
    reader->Prepare();
    // A read that succeeds hands out the image's bytes, never made-up ones.
    vandrel::fuzz::WalkCheck check{&truth, vandrel::fuzz::NtfsTransformed, {}};
    vandrel::fuzz::WalkAndRead(*reader, ReadAsEncrypted, &check);
    if (!check.wrong.empty()) __builtin_trap();
  }
  return 0;
}
