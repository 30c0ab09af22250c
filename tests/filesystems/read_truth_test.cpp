// Images made by the real tools, their metadata damaged at random (a fixed
// seed): whatever a reader lists, a read that succeeds hands out bytes the
// image holds, never zeros or garbage passed off as data. The same check
// runs in the fuzz targets.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>

#include "common/endian.h"
#include "common/log.h"
#include "filesystems/fat/fat.h"
#include "fuzz/read_truth.h"
#include "support/fixtures.h"
#include "support/memory_disk.h"

namespace vandrel::test {
namespace {

// Protects a fixed-up "FILE" record again, so that a damaged field is read
// as the field and not as a torn record.
void Protect(std::uint8_t* record, std::size_t size) {
  const std::size_t offset = Le16(ByteSpan(record, size), 4);
  const std::size_t count = Le16(ByteSpan(record, size), 6);
  if (count < 2 || offset + 2 * count > size || (count - 1) * 512 > size) return;
  for (std::size_t i = 1; i < count; ++i) {
    const std::size_t end = i * 512 - 2;
    record[offset + 2 * i] = record[end];
    record[offset + 2 * i + 1] = record[end + 1];
    record[end] = record[offset];
    record[end + 1] = record[offset + 1];
  }
}

struct MutationCase {
  const char* fixture;
  std::function<std::unique_ptr<FileSystem>(TStorage*)> make;
  fuzz::TransformedData transformed;
  // Where the metadata lies: [begin, end) bytes of the clean image.
  std::function<std::pair<std::size_t, std::size_t>(const std::vector<std::uint8_t>&)> region;
  bool records;  // the region holds 1024-byte "FILE" records
};

TEST(ReadTruth, DamagedRealImagesReadOnlyTheirOwnBytes) {
  ScopedLogSink quiet{[](const std::string&, int) {}};
  const MutationCase cases[] = {
      {"ext4_damage", [](TStorage* s) { return std::make_unique<TExt2_Reader>(s); }, fuzz::ExtTransformed,
       // Superblock, descriptors, bitmaps and the inode table of its one group.
       [](const std::vector<std::uint8_t>&) { return std::pair<std::size_t, std::size_t>{1024, 1024 * 1024}; }, false},
      {"fat12_full", [](TStorage* s) { return std::make_unique<TFAT>(s); }, nullptr,
       // Boot sector, both FATs, the root folder and the first folders.
       [](const std::vector<std::uint8_t>&) { return std::pair<std::size_t, std::size_t>{0, 64 * 1024}; }, false},
      {"ntfs_plain", [](TStorage* s) { return std::make_unique<TNTFS_Reader>(s); }, fuzz::NtfsTransformed,
       // The first records of $MFT.
       [](const std::vector<std::uint8_t>& b) {
         const std::size_t cluster = std::size_t{Le16(b, 11)} * Le8(b, 13);
         const auto mft = static_cast<std::size_t>(Le64(b, 48)) * cluster;
         return std::pair<std::size_t, std::size_t>{mft, mft + 64 * 1024};
       },
       true},
  };
  std::mt19937 random(1313);
  for (const MutationCase& c : cases) {
    SCOPED_TRACE(c.fixture);
    VANDREL_FIXTURE(image, c.fixture);
    const std::vector<std::uint8_t> clean = ReadFileBytes(image);
    const auto [begin, end] = c.region(clean);
    ASSERT_LT(begin, end);
    ASSERT_LE(end, clean.size());
    int walked = 0;
    for (int round = 0; round < 40; ++round) {
      std::vector<std::uint8_t> bytes = clean;
      std::uniform_int_distribution<std::size_t> where(begin, end - 1);
      for (int flips = 0; flips < 12; ++flips) {
        const std::size_t at = where(random);
        std::size_t recordStart = 0;
        if (c.records) {
          recordStart = begin + (at - begin) / 1024 * 1024;
          if (!ApplyFixup(MutableByteSpan(bytes.data() + recordStart, 1024))) continue;
        }
        static constexpr std::uint8_t kValues[] = {0x00, 0xFF, 0x7F, 0x80, 0x01};
        bytes[at] = (random() & 1) != 0 ? kValues[random() % 5] : static_cast<std::uint8_t>(random());
        if (c.records) Protect(bytes.data() + recordStart, 1024);
      }
      // The truth is the damaged image's own bytes: data moved by damage
      // may point anywhere inside it, but never outside.
      const fuzz::ImageTruth damaged(bytes);
      MemoryDisk disk(std::move(bytes));
      disk.Open(true, false, false);
      std::unique_ptr<FileSystem> reader = c.make(&disk);
      if (!reader->Open()) continue;
      reader->Prepare();
      fuzz::WalkCheck check{&damaged, c.transformed, {}};
      fuzz::WalkAndRead(*reader, nullptr, &check);
      ++walked;
      for (const std::string& name : check.wrong) ADD_FAILURE() << "round " << round << ": " << name;
    }
    // Most rounds leave a volume that opens.
    EXPECT_GT(walked, 20);
  }
}

}  // namespace
}  // namespace vandrel::test
