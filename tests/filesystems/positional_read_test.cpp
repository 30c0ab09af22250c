// Several threads reading one open file at random offsets and lengths, at
// once, through the reader's ReadAt on one handle and through one block
// stream over the file: every byte must be the one the system's own view of
// the image holds (ntfs-3g, the kernel, mtools), and the handle's position
// must stay where it was.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "filesystems/block_file_stream_storage.h"
#include "filesystems/ext/ext2.h"
#include "filesystems/fat/fat.h"
#include "filesystems/ntfs/salvage.h"
#include "mount/system_view.h"
#include "support/fixtures.h"
#include "support/memory_disk.h"

namespace vandrel::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct Case {
  const char* name;
  const char* fixture;
  const char* kind;  // how the reference view is made
  std::function<std::unique_ptr<FileSystem>(TStorage*)> make;
  // Large interleaved files, a sparse one and, on NTFS, an LZNT1-compressed one.
  std::vector<const char*> files;
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

// The first wrong range any thread met.
class Findings {
 public:
  void Add(const std::string& what) {
    std::lock_guard lock(mutex_);
    if (first_.empty()) first_ = what;
    ++count_;
  }
  int Count() {
    std::lock_guard lock(mutex_);
    return count_;
  }
  std::string First() {
    std::lock_guard lock(mutex_);
    return first_;
  }

 private:
  std::mutex mutex_;  // guards first_ and count_
  std::string first_;
  int count_ = 0;
};

// `count` bytes at `offset` by the reader's ReadAt, as many calls as it takes.
Bytes ReadAtReader(FileSystem& reader, FsHandle handle, std::int64_t offset, std::int64_t count) {
  Bytes out(static_cast<std::size_t>(count));
  std::int64_t done = 0;
  while (done < count) {
    const std::int32_t n = reader.ReadAt(handle, offset + done, out.data() + done, static_cast<std::int32_t>(count - done));
    if (n <= 0) break;
    done += n;
  }
  out.resize(static_cast<std::size_t>(done));
  return out;
}

class PositionalReadTest : public ::testing::TestWithParam<Case> {};

TEST_P(PositionalReadTest, ThreadsReadingOneOpenFileGetTheSystemsBytes) {
  const Case& c = GetParam();
  VANDREL_FIXTURE(image, c.fixture);
  const std::string missing = MissingForMountTest(c.kind);
  VANDREL_REQUIRE(missing.empty(), missing);
  ScopedLogSink quiet{[](const std::string&, int) {}};

  const std::string ref = ::testing::TempDir() + "/vandrel_positional_" + std::to_string(::getpid()) + "_" + c.name;
  fs::remove_all(ref);
  fs::create_directories(ref);
  std::string out;
  ASSERT_TRUE(MakeSystemView(c.kind, image, ref, out)) << out;
  std::vector<Bytes> expected;
  for (const char* path : c.files) expected.push_back(ReadFileBytes(ref + "/" + path));
  ReleaseSystemView(c.kind, ref);
  fs::remove_all(ref);

  MemoryDisk disk(ReadFileBytes(image));
  disk.Open(true, false, false);
  std::unique_ptr<FileSystem> reader = c.make(&disk);
  ASSERT_TRUE(reader->Open());
  reader->Prepare();

  for (std::size_t f = 0; f < c.files.size(); ++f) {
    const std::string path = c.files[f];
    SCOPED_TRACE(path);
    const Bytes& truth = expected[f];
    ASSERT_GT(truth.size(), 0u);
    TFileEntry entry;
    ASSERT_TRUE(reader->LookupPath("/" + path, entry, true, nullptr));
    const FsHandle handle = reader->OpenFile(entry);
    ASSERT_NE(handle, kNoHandle);
    TBlockFileStreamStorage stream(entry);
    ASSERT_TRUE(stream.Opened());
    ASSERT_EQ(stream.GetSize(), static_cast<std::int64_t>(truth.size()));
    // Positional reads must neither use nor move it.
    const std::int64_t mark = static_cast<std::int64_t>(truth.size() / 3);
    ASSERT_EQ(reader->Seek(handle, kSeekBegin, mark), mark);

    const auto size = static_cast<std::int64_t>(truth.size());
    Findings findings;
    std::vector<std::thread> threads;
    for (unsigned seed = 1; seed <= 4; ++seed) {
      threads.emplace_back([&, seed] {
        std::mt19937_64 random(seed * 7919 + f);
        for (int n = 0; n < 120; ++n) {
          const std::int64_t offset = static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(size));
          // Small reads inside one block, reads across blocks and runs,
          // and reads that run past the end.
          const std::int64_t limits[] = {700, 200000, size + 4096};
          const std::int64_t count = 1 + static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(limits[n % 3]));
          const bool throughStream = (n / 3) % 2 == 1;
          Bytes got;
          if (throughStream) {
            got.resize(static_cast<std::size_t>(count));
            bool failed = false;
            got.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, stream.ReadAt(offset, got.data(), count, &failed))));
            if (failed) findings.Add("stream read failed at " + std::to_string(offset));
          } else {
            got = ReadAtReader(*reader, handle, offset, count);
          }
          const std::int64_t want = std::min(count, size - offset);
          if (static_cast<std::int64_t>(got.size()) != want ||
              !std::equal(got.begin(), got.end(), truth.begin() + static_cast<std::ptrdiff_t>(offset)))
            findings.Add(std::string(throughStream ? "stream" : "reader") + " differs at " + std::to_string(offset) +
                         "+" + std::to_string(count));
        }
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(findings.Count(), 0) << findings.First();
    EXPECT_EQ(reader->Seek(handle, kSeekCurrent, 0), mark);
    // The sequential read goes on from there.
    Bytes next(4096);
    const auto n = static_cast<std::size_t>(std::max(0, reader->Read(handle, next.data(), 4096)));
    next.resize(n);
    EXPECT_TRUE(n > 0 && std::equal(next.begin(), next.end(), truth.begin() + mark));
    FsHandle closing = handle;
    reader->CloseFile(closing);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Images, PositionalReadTest,
    ::testing::Values(
        Case{"ntfs", "ntfs_parallel", "ntfs", [](TStorage* s) { return std::make_unique<TNTFS_Reader>(s); },
             {"f0.bin", "hole.bin", "packed/text.txt"}},
        Case{"ntfs_salvager", "ntfs_parallel", "ntfs",
             [](TStorage* s) { return std::make_unique<TNTFS_Salvager>(s); }, {"f2.bin", "packed/text.txt"}},
        Case{"fat32", "fat32_parallel", "fat", [](TStorage* s) { return std::make_unique<TFAT>(s); },
             {"f0.bin", "f3.bin"}},
        Case{"ext4", "ext4_parallel", "ext", [](TStorage* s) { return std::make_unique<TExt2_Reader>(s); },
             {"f0.bin", "hole.bin"}},
        Case{"ext4_salvage", "ext4_parallel", "ext", [](TStorage* s) { return std::make_unique<TExt2_Salvage>(s); },
             {"f4.bin"}}),
    [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace vandrel::test
