// The bounded read and its read window, observed through the reads that
// reach a memory disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

#include "platform/errors.h"
#include "support/memory_disk.h"

namespace vandrel {
namespace {

using test::MemoryDisk;

// Every sector holds its own number in its first 8 bytes.
std::vector<std::uint8_t> NumberedSectors(std::int64_t sectors, std::int32_t sectorSize = 512) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(sectors * sectorSize));
  for (std::int64_t s = 0; s < sectors; ++s)
    for (int i = 0; i < 8; ++i) bytes[static_cast<std::size_t>(s * sectorSize + i)] = static_cast<std::uint8_t>(s >> (8 * i));
  return bytes;
}

std::int64_t SectorNumberAt(const std::vector<std::uint8_t>& buffer, std::size_t index, std::int32_t sectorSize = 512) {
  std::int64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | buffer[index * static_cast<std::size_t>(sectorSize) + static_cast<std::size_t>(i)];
  return v;
}

using Read = std::pair<std::int64_t, std::int32_t>;

TEST(ReadSectors, BoundsAndZeroedBufferOnFailure) {
  MemoryDisk disk(NumberedSectors(100));
  std::vector<std::uint8_t> buffer(2 * 512, 0xCC);
  EXPECT_TRUE(disk.ReadSectors(buffer.data(), 1, 99));
  EXPECT_EQ(SectorNumberAt(buffer, 0), 99);

  struct Case {
    std::int32_t count;
    std::int64_t sector;
  };
  for (const Case c : {Case{2, 99}, Case{0, 0}, Case{-1, 0}, Case{1, -1}, Case{1, 100}, Case{1, INT64_MAX}}) {
    std::fill(buffer.begin(), buffer.end(), 0xCC);
    platform::SetLastOsError(0);
    EXPECT_FALSE(disk.ReadSectors(buffer.data(), c.count, c.sector)) << c.count << "@" << c.sector;
    EXPECT_EQ(platform::LastOsError(), platform::kErrorSectorNotFound);
    if (c.count == 2) {
      EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0; }));
    }
  }
  EXPECT_EQ(disk.reads.size(), 1u) << "failed requests must not reach the device";
}

TEST(ReadWindow, AdjacentSmallReadsCauseOneDeviceRead) {
  MemoryDisk disk(NumberedSectors(1000));
  disk.CacheSize = 64 * 512;
  disk.SetCaching(true);
  std::vector<std::uint8_t> buffer(4 * 512);
  ASSERT_TRUE(disk.ReadSectors(buffer.data(), 2, 10));
  ASSERT_TRUE(disk.ReadSectors(buffer.data(), 4, 12));
  EXPECT_EQ(SectorNumberAt(buffer, 3), 15);
  ASSERT_EQ(disk.reads.size(), 1u);
  EXPECT_EQ(disk.reads[0], (Read{10, 64}));
}

TEST(ReadWindow, HeadBeforeWindowThenWindowInOrder) {
  MemoryDisk disk(NumberedSectors(1000));
  disk.CacheSize = 64 * 512;
  disk.SetCaching(true);
  std::vector<std::uint8_t> buffer(10 * 512);
  ASSERT_TRUE(disk.ReadSectors(buffer.data(), 1, 100));  // window at 100..163
  disk.reads.clear();
  ASSERT_TRUE(disk.ReadSectors(buffer.data(), 10, 95));
  for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(SectorNumberAt(buffer, i), 95 + static_cast<std::int64_t>(i));
  ASSERT_EQ(disk.reads.size(), 1u);  // only the head came from the device
  EXPECT_EQ(disk.reads[0], (Read{95, 5}));
}

TEST(ReadWindow, FillShortenedAtEndAndLongReadsStayInside) {
  MemoryDisk disk(NumberedSectors(100));
  disk.CacheSize = 64 * 512;
  disk.SetCaching(true);
  std::vector<std::uint8_t> buffer(70 * 512);
  ASSERT_TRUE(disk.ReadSectors(buffer.data(), 1, 90));
  EXPECT_EQ(disk.reads.back(), (Read{90, 10}));
  ASSERT_TRUE(disk.ReadSectors(buffer.data(), 70, 30));
  for (std::size_t i = 0; i < 70; ++i) ASSERT_EQ(SectorNumberAt(buffer, i), 30 + static_cast<std::int64_t>(i));
  for (const auto& [sector, count] : disk.reads) EXPECT_LE(sector + count, 100);
}

TEST(ReadWindow, ForwardScanBeyondWindowRefills) {
  MemoryDisk disk(NumberedSectors(1000));
  disk.CacheSize = 16 * 512;
  disk.SetCaching(true);
  std::vector<std::uint8_t> buffer(40 * 512);
  ASSERT_TRUE(disk.ReadSectors(buffer.data(), 40, 0));
  for (std::size_t i = 0; i < 40; ++i) ASSERT_EQ(SectorNumberAt(buffer, i), static_cast<std::int64_t>(i));
}

TEST(ReadWindow, DroppedWhenNotPayingOff) {
  MemoryDisk disk(NumberedSectors(10000));
  disk.CacheSize = 8 * 512;
  disk.SetCaching(true);
  std::vector<std::uint8_t> buffer(512);
  ASSERT_TRUE(disk.ReadSectors(buffer.data(), 1, 5000));  // window at 5000
  // Reads before the window count as outside reads; after more than twice
  // the window length the window is dropped and the next read refills it.
  for (int i = 0; i < 17; ++i) ASSERT_TRUE(disk.ReadSectors(buffer.data(), 1, i));
  disk.reads.clear();
  ASSERT_TRUE(disk.ReadSectors(buffer.data(), 1, 5001));
  ASSERT_EQ(disk.reads.size(), 1u);
  EXPECT_EQ(disk.reads[0], (Read{5001, 8}));
  EXPECT_EQ(SectorNumberAt(buffer, 0), 5001);
}

TEST(ReadWindow, FailedFillFailsTheRead) {
  MemoryDisk disk(NumberedSectors(100));
  disk.SetCaching(true);
  disk.failReads = true;
  std::vector<std::uint8_t> buffer(512, 0xCC);
  EXPECT_FALSE(disk.ReadSectors(buffer.data(), 1, 3));
  EXPECT_EQ(buffer[0], 0);
  disk.failReads = false;
  EXPECT_TRUE(disk.ReadSectors(buffer.data(), 1, 3));
  EXPECT_EQ(SectorNumberAt(buffer, 0), 3);
}

// Sectors 10 and 11 cannot be read. A read that must fail does, zeros from
// the bad sector on; a read that skips bad sectors gets every other sector,
// zeros for the two, through the window or not.
TEST(ReadPolicy, UnreadableSectorsFailOrReadAsZeros) {
  struct Case {
    bool caching;
    TReadPolicy policy;
    bool result;
    std::int64_t firstZero, zerosTo;  // sectors 4..19 read; which of them are zeros
  };
  const Case cases[] = {
      {false, TReadPolicy::Fail, false, 10, 20},
      {true, TReadPolicy::Fail, false, 4, 20},
      {false, TReadPolicy::SkipBadSectors, true, 10, 12},
      {true, TReadPolicy::SkipBadSectors, true, 10, 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "caching " << c.caching << " skip "
                                      << (c.policy == TReadPolicy::SkipBadSectors));
    MemoryDisk disk(NumberedSectors(100));
    disk.unreadableFirst = 10;
    disk.unreadableCount = 2;
    disk.SetCaching(c.caching);
    std::vector<std::uint8_t> buffer(16 * 512, 0xCC);
    EXPECT_EQ(disk.ReadSectors(buffer.data(), 16, 4, c.policy), c.result);
    for (std::int64_t s = 4; s < 20; ++s) {
      const bool zero = s >= c.firstZero && s < c.zerosTo;
      const auto at = static_cast<std::size_t>(s - 4);
      EXPECT_EQ(SectorNumberAt(buffer, at), zero ? 0 : s) << "sector " << s;
    }
    // Byte reads take the same policy; past the end fails whatever it is.
    std::vector<std::uint8_t> bytes(700, 0xCC);
    EXPECT_EQ(disk.ReadBytes(bytes.data(), 700, 9, c.policy), c.result);
    EXPECT_EQ(SectorNumberAt(bytes, 0), c.caching && !c.result ? 0 : 9);
    EXPECT_FALSE(disk.ReadSectors(buffer.data(), 2, 99, c.policy));
  }
}

TEST(ReadBytes, PartialSectors) {
  MemoryDisk disk(NumberedSectors(4));
  disk.Bytes()[512 + 100] = 0xAB;
  std::vector<std::uint8_t> buffer(1200, 0xCC);
  ASSERT_TRUE(disk.ReadBytes(buffer.data(), 700, 0));  // one sector and 188 bytes
  EXPECT_EQ(SectorNumberAt(buffer, 0), 0);
  EXPECT_EQ(buffer[512 + 100], 0xAB);
  EXPECT_EQ(buffer[700], 0xCC) << "no byte past the requested count is written";
  ASSERT_TRUE(disk.ReadBytes(buffer.data(), 10, 2));
  EXPECT_EQ(buffer[0], 2);
  EXPECT_FALSE(disk.ReadBytes(buffer.data(), 700, 3));  // runs past the end
}

TEST(ReadSectors, LargeSectorSize) {
  MemoryDisk disk(NumberedSectors(8, 4096), 4096);
  std::vector<std::uint8_t> buffer(2 * 4096);
  disk.SetCaching(true);
  ASSERT_TRUE(disk.ReadSectors(buffer.data(), 2, 6));
  EXPECT_EQ(SectorNumberAt(buffer, 1, 4096), 7);
  EXPECT_FALSE(disk.ReadSectors(buffer.data(), 2, 7));
}

// The mount reads one storage on several threads, and switches the window
// off while others may still read through it.
TEST(ReadWindow, SeveralThreadsAtOnce) {
  MemoryDisk disk(NumberedSectors(4000));
  disk.CacheSize = 64 * 512;
  disk.SetCaching(true);
  std::atomic<int> wrong{0};
  std::atomic<bool> reading{true};
  std::vector<std::thread> threads;
  for (unsigned seed = 1; seed <= 4; ++seed) {
    threads.emplace_back([&, seed] {
      std::mt19937 random(seed);
      std::vector<std::uint8_t> buffer(100 * 512);
      for (int n = 0; n < 3000; ++n) {
        const auto count = static_cast<std::int32_t>(1 + random() % 100);
        const std::int64_t sector = random() % (4000 - count);
        if (n % 3 == 0) {
          // A sector and a part of the next through the scratch sector.
          if (!disk.ReadBytes(buffer.data(), 700, sector) || SectorNumberAt(buffer, 0) != sector ||
              buffer[512] != static_cast<std::uint8_t>(sector + 1))
            ++wrong;
          continue;
        }
        if (!disk.ReadSectors(buffer.data(), count, sector)) ++wrong;
        for (std::int32_t i = 0; i < count; ++i)
          if (SectorNumberAt(buffer, static_cast<std::size_t>(i)) != sector + i) ++wrong;
      }
    });
  }
  threads.emplace_back([&] {
    for (int n = 0; reading && n < 200000; ++n) disk.SetCaching(n % 2 == 0);
  });
  for (std::size_t i = 0; i + 1 < threads.size(); ++i) threads[i].join();
  reading = false;
  threads.back().join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace vandrel
