// The byte streams over a storage and over a reader's file.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "devices/device_manager.h"
#include "mount/fake_reader.h"
#include "devices/block_file_stream.h"
#include "support/memory_disk.h"

namespace vandrel {
namespace {

using test::FakeItem;
using test::FakeReader;
using test::MemoryDisk;

TEST(RawDiskStream, ReadsTheSectorsThatCoverTheRange) {
  MemoryDisk disk(FakeReader::Pattern(1000 * 512, 1));
  struct Case {
    std::int64_t position;
    std::int64_t count;
    std::int64_t delivered;
    std::int32_t sectorsRead;  // sectors that reached the disk
  };
  const Case cases[] = {
      {511 * 512 + 100, 1024, 1024, 3},
      {999 * 512, 4096, 512, 1},
      {1000 * 512, 10, 0, 0},        // at the end
      {5000 * 512, 10, 0, 0},        // far beyond: seeks have no upper bound
      {0, 512 * 40, 512 * 40, 40},   // whole sectors
  };
  for (const Case& c : cases) {
    TRawDiskStream stream(&disk);
    EXPECT_EQ(stream.GetSize(), 1000 * 512);
    disk.reads.clear();
    EXPECT_EQ(stream.Seek64(c.position, kSeekBegin), c.position);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(c.count), 0xEE);
    EXPECT_EQ(stream.Read(out.data(), c.count), c.delivered) << c.position;
    std::int32_t sectors = 0;
    for (const auto& r : disk.reads) sectors += r.second;
    EXPECT_EQ(sectors, c.sectorsRead) << c.position;
    EXPECT_EQ(0, std::memcmp(out.data(), disk.Bytes().data() + c.position, static_cast<std::size_t>(c.delivered)));
    EXPECT_EQ(stream.Position(), c.position + c.delivered);
    EXPECT_FALSE(stream.LastReadFailed());
  }
}

TEST(RawDiskStream, SeekOriginsAndFailedReads) {
  MemoryDisk disk(FakeReader::Pattern(100 * 512, 2));
  {
    TRawDiskStream stream(&disk);
    EXPECT_EQ(disk.openCount, 1);
    EXPECT_EQ(stream.Seek64(100, kSeekEnd), 100 * 512 - 100);
    EXPECT_EQ(stream.Seek64(-200, kSeekCurrent), 100 * 512 - 300);
    EXPECT_EQ(stream.Seek64(-1, kSeekBegin), 0);
    disk.failReads = true;
    std::vector<std::uint8_t> out(1000, 0xEE);
    // Unreadable sectors come back as zeros and the failure is told.
    EXPECT_EQ(stream.Read(out.data(), 1000), 1000);
    EXPECT_TRUE(stream.LastReadFailed());
    EXPECT_EQ(out, std::vector<std::uint8_t>(1000, 0));
  }
  EXPECT_EQ(disk.openCount, 0);
}

class BlockStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto reader = std::make_unique<FakeReader>(&disk_);
    reader_ = reader.get();
    reader_->Add("/", FakeItem{"file.bin", kAttrArchive, FakeReader::Pattern(100000, 3)});
    reader_->Add("/", FakeItem{"big.bin", kAttrArchive, FakeReader::Pattern(1000000, 4)});
    disk_.Reader = reader_;
    ownedReader_ = std::move(reader);
  }
  TFileEntry Entry(const std::string& name) {
    TFileEntry entry;
    FsHandle h = reader_->FindFirstByPath("/", entry);
    while (entry.Name != name && reader_->FindNext(h, entry)) {
    }
    reader_->FindClose(h);
    return entry;
  }
  const std::vector<std::uint8_t>& Data(int index) { return data_[index]; }

  MemoryDisk disk_{std::vector<std::uint8_t>(4096)};
  FakeReader* reader_ = nullptr;
  std::unique_ptr<FakeReader> ownedReader_;
  std::vector<std::uint8_t> data_[2] = {FakeReader::Pattern(100000, 3), FakeReader::Pattern(1000000, 4)};
};

TEST_F(BlockStreamTest, SmallSequentialReadsCostOneReaderCallPerBlock) {
  TBlockFileStreamStorage stream(Entry("file.bin"));
  ASSERT_TRUE(stream.Opened());
  EXPECT_EQ(stream.GetSize(), 100000);
  reader_->reads.clear();
  std::vector<std::uint8_t> out(4096);
  for (int i = 0; i < 16; ++i) {
    ASSERT_EQ(stream.Read(out.data(), 4096), 4096);
    EXPECT_EQ(0, std::memcmp(out.data(), Data(0).data() + i * 4096, 4096));
  }
  EXPECT_EQ(reader_->reads, (std::vector<std::int32_t>{65536}));
  ASSERT_EQ(stream.Read(out.data(), 4096), 4096);  // the 17th: the second block
  EXPECT_EQ(0, std::memcmp(out.data(), Data(0).data() + 16 * 4096, 4096));
  EXPECT_EQ(reader_->reads.size(), 2u);
  EXPECT_EQ(reader_->reads[1], 65536);
  EXPECT_FALSE(stream.LastReadFailed());
}

TEST_F(BlockStreamTest, SeeksAndTheEnd) {
  TBlockFileStreamStorage stream(Entry("file.bin"));
  std::uint8_t byte = 0;
  EXPECT_EQ(stream.Seek64(0, kSeekEnd), 100000);
  EXPECT_EQ(stream.Read(&byte, 1), 0);
  EXPECT_EQ(stream.Seek64(-10, kSeekEnd), 100000 - 10);
  EXPECT_EQ(stream.Seek64(10, kSeekEnd), 100000 - 10);
  EXPECT_EQ(stream.Seek64(5, kSeekCurrent), 100000 - 5);
  EXPECT_EQ(stream.Seek64(-1, kSeekBegin), 100000);       // before the start: the end
  EXPECT_EQ(stream.Seek64(200000, kSeekBegin), 100000);   // past the end: the end
  stream.Seek64(100000 - 10, kSeekBegin);
  std::vector<std::uint8_t> out(100);
  EXPECT_EQ(stream.Read(out.data(), 100), 10);
}

// Reads of any size at any position give the file's bytes, whether they
// come from the cached block, straight from whole blocks or both.
TEST_F(BlockStreamTest, RandomReadsMatchTheFile) {
  TBlockFileStreamStorage stream(Entry("big.bin"));
  std::mt19937 random(7);
  std::vector<std::uint8_t> out(300000);
  for (int i = 0; i < 300; ++i) {
    const std::int64_t position = random() % 1000001;
    const std::int64_t count = i % 3 == 0 ? random() % 300000 : random() % 70000;
    stream.Seek64(position, kSeekBegin);
    const std::int64_t expected = std::min<std::int64_t>(count, 1000000 - position);
    ASSERT_EQ(stream.Read(out.data(), count), expected);
    ASSERT_EQ(0, std::memcmp(out.data(), Data(1).data() + position, static_cast<std::size_t>(expected)))
        << position << " " << count;
  }
}

TEST_F(BlockStreamTest, FailuresOfTheReader) {
  {
    reader_->failOpen = true;
    TBlockFileStreamStorage stream(Entry("file.bin"));
    EXPECT_FALSE(stream.Opened());
    EXPECT_EQ(stream.GetSize(), 0);
    std::uint8_t byte = 0;
    EXPECT_EQ(stream.Read(&byte, 1), 0);
    reader_->failOpen = false;
  }
  {
    reader_->shortReadsAt = 70000;  // the file ends early inside the reader
    TBlockFileStreamStorage stream(Entry("file.bin"));
    std::vector<std::uint8_t> out(100000, 0xEE);
    EXPECT_EQ(stream.Read(out.data(), 100000), 100000);
    EXPECT_TRUE(stream.LastReadFailed());
    EXPECT_EQ(0, std::memcmp(out.data(), Data(0).data(), 70000));
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + 70000, out.end()), std::vector<std::uint8_t>(30000, 0));
    // The damaged block is not kept: a later read asks the reader again.
    reader_->shortReadsAt = -1;
    stream.Seek64(80000, kSeekBegin);
    EXPECT_EQ(stream.Read(out.data(), 100), 100);
    EXPECT_FALSE(stream.LastReadFailed());
    EXPECT_EQ(0, std::memcmp(out.data(), Data(0).data() + 80000, 100));
  }
  EXPECT_EQ(reader_->OpenFiles(), 0u);
}

TEST_F(BlockStreamTest, SectorRoundedStreamAndTheDeviceManagerPath) {
  // The device manager's wrappers serve the same bytes, and close the file.
  TDeviceManager devices(nullptr, nullptr, DeviceManagerOptions{false});
  {
    TBlockFileStream stream(Entry("file.bin"), &devices);
    ASSERT_TRUE(stream.Opened());
    EXPECT_EQ(stream.GetSize(), 100000);
    std::vector<std::uint8_t> out(100000);
    EXPECT_EQ(stream.Read(out.data(), 100000), 100000);
    EXPECT_EQ(out, Data(0));
    EXPECT_EQ(reader_->OpenFiles(), 1u);
  }
  EXPECT_EQ(reader_->OpenFiles(), 0u);
  // OpenStream is not offered by this reader: the stream is empty.
  TBlockFileStreamStorage named(Entry("file.bin"), 0x80, "alt", 0, true, true);
  EXPECT_FALSE(named.Opened());
  EXPECT_EQ(named.GetSize(), 0);
}

// A reader that serves named streams as the file itself.
class StreamReader : public FakeReader {
 public:
  using FakeReader::FakeReader;
  FsHandle OpenStream(const TFileEntry& entry, const TStreamId&) override { return OpenFile(entry); }
};

TEST(BlockStreamSectorRounded, RoundsTheSizeAndPadsWithZeros) {
  MemoryDisk disk{std::vector<std::uint8_t>(4096)};
  auto owned = std::make_unique<StreamReader>(&disk);
  StreamReader* reader = owned.get();
  const std::vector<std::uint8_t> data = FakeReader::Pattern(66000, 5);
  reader->Add("/", FakeItem{"f.bin", kAttrArchive, data});
  disk.Reader = reader;
  TFileEntry entry;
  const FsHandle find = reader->FindFirstByPath("/", entry);
  reader->FindClose(find);
  TBlockFileStreamStorage stream(entry, 0x80, "s", -1, true, true);
  ASSERT_TRUE(stream.Opened());
  EXPECT_EQ(stream.GetSize(), 66048);
  // The first block fills the stream's buffer; the second one, 464 bytes
  // of file and the rest of their sector, must not show what it held.
  std::vector<std::uint8_t> out(66048, 0xEE);
  ASSERT_EQ(stream.Read(out.data(), 1000), 1000);
  stream.Seek64(65536, kSeekBegin);
  ASSERT_EQ(stream.Read(out.data() + 65536, 1000), 512);
  EXPECT_EQ(0, std::memcmp(out.data() + 65536, data.data() + 65536, 464));
  EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + 66000, out.end()), std::vector<std::uint8_t>(48, 0));
}

}  // namespace
}  // namespace vandrel
