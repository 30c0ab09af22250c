// Reads that run at once through a vandrel-cli mount: several files end to
// end, random ranges of one file from two threads on one descriptor, the
// raw storage, and listings in between; then processes reading one file at
// once. Every byte is compared with the
// system's own view of the image (the kernel, ntfs-3g, mtools).
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "mount/system_view.h"
#include "support/fixtures.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct Case {
  const char* fixture;
  const char* kind;  // how the reference view is made
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.fixture; }

// Every regular file below `folder` by its relative path.
std::map<std::string, Bytes> ReadTree(const std::string& folder) {
  std::map<std::string, Bytes> files;
  for (const auto& item : fs::recursive_directory_iterator(folder)) {
    if (!item.is_regular_file()) continue;
    files[fs::relative(item.path(), folder).string()] = test::ReadFileBytes(item.path().string());
  }
  return files;
}

// Drops the kernel's cached pages of a file, so its next reads reach the
// mount again.
void DropCached(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

// The first difference found by any thread.
class Findings {
 public:
  void Add(const std::string& what) {
    std::lock_guard lock(mutex_);
    if (first_.empty()) first_ = what;
    ++count_;
  }
  int Count() const { return count_.load(); }
  std::string First() {
    std::lock_guard lock(mutex_);
    return first_;
  }

 private:
  std::mutex mutex_;
  std::string first_;
  std::atomic<int> count_{0};
};

// `count` bytes at `offset` of an open file, as many reads as it takes.
Bytes ReadRange(int fd, std::size_t offset, std::size_t count) {
  Bytes out(count);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(fd, out.data() + done, count - done, static_cast<off_t>(offset + done));
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  out.resize(done);
  return out;
}

class ParallelReadTest : public ::testing::TestWithParam<Case> {};

TEST_P(ParallelReadTest, EveryByteAsTheSystemReadsIt) {
  const Case& c = GetParam();
  VANDREL_FIXTURE(image, c.fixture);
  const std::string missing = test::MissingForMountTest(c.kind);
  VANDREL_REQUIRE(missing.empty(), missing);

  const std::string dir = ::testing::TempDir() + "/vandrel_parallel_" + std::to_string(::getpid()) + "_" + c.fixture;
  fs::remove_all(dir);
  fs::create_directories(dir + "/ours");
  fs::create_directories(dir + "/ref");
  std::string out;
  ASSERT_TRUE(test::MakeSystemView(c.kind, image, dir + "/ref", out)) << out;
  std::map<std::string, Bytes> reference = ReadTree(dir + "/ref");
  test::ReleaseSystemView(c.kind, dir + "/ref");
  std::vector<std::string> large;
  for (const auto& [path, bytes] : reference)
    if (bytes.size() >= (1u << 20)) large.push_back(path);
  ASSERT_GE(large.size(), 4u) << "the fixture holds too few large files";
  const Bytes whole = test::ReadFileBytes(image);

  ASSERT_TRUE(test::MountWithCli(image, dir + "/ours", out)) << out;
  const std::string ours = dir + "/ours";
  const std::string tree = ours + "/FileSystem/";
  ASSERT_TRUE(fs::exists(tree)) << "no FileSystem folder";

  Findings findings;
  std::vector<std::thread> threads;
  constexpr int kRounds = 3;
  // Each large file end to end, in reads of an odd size.
  for (std::size_t i = 0; i < large.size(); ++i) {
    threads.emplace_back([&, i] {
      const std::string& path = large[i];
      for (int round = 0; round < kRounds; ++round) {
        DropCached(tree + path);
        const int fd = ::open((tree + path).c_str(), O_RDONLY);
        if (fd < 0) {
          findings.Add("cannot open " + path);
          return;
        }
        const Bytes got = ReadRange(fd, 0, reference[path].size() + 1);
        ::close(fd);
        if (got != reference[path]) findings.Add(path + " differs, round " + std::to_string(round));
      }
    });
  }
  // Two threads on one descriptor of the first file, random ranges: the
  // kernel sends their requests for the same open file at once.
  const int shared = ::open((tree + large[0]).c_str(), O_RDONLY);
  ASSERT_GE(shared, 0);
  for (unsigned seed = 1; seed <= 2; ++seed) {
    threads.emplace_back([&, seed] {
      const Bytes& expected = reference[large[0]];
      std::mt19937 random(seed);
      for (int n = 0; n < 200; ++n) {
        if (n % 50 == 0) ::posix_fadvise(shared, 0, 0, POSIX_FADV_DONTNEED);
        const std::size_t offset = random() % expected.size();
        const std::size_t count = std::min<std::size_t>(1 + random() % 300000, expected.size() - offset);
        const Bytes got = ReadRange(shared, offset, count);
        if (!std::equal(got.begin(), got.end(), expected.begin() + static_cast<std::ptrdiff_t>(offset)) ||
            got.size() != count)
          findings.Add(large[0] + " differs at " + std::to_string(offset) + "+" + std::to_string(count));
      }
    });
  }
  // The raw storage, against the image itself.
  threads.emplace_back([&] {
    std::mt19937 random(7);
    const int fd = ::open((ours + "/Storage").c_str(), O_RDONLY);
    if (fd < 0) {
      findings.Add("cannot open Storage");
      return;
    }
    for (int n = 0; n < 100; ++n) {
      if (n % 25 == 0) ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
      const std::size_t offset = random() % whole.size();
      const std::size_t count = std::min<std::size_t>(1 + random() % 1000000, whole.size() - offset);
      const Bytes got = ReadRange(fd, offset, count);
      if (got.size() != count ||
          !std::equal(got.begin(), got.end(), whole.begin() + static_cast<std::ptrdiff_t>(offset)))
        findings.Add("Storage differs at " + std::to_string(offset));
    }
    ::close(fd);
  });
  // Listings and sizes while the reads go on. The mount may show more
  // (metadata files, deleted entries) than the reference tools do.
  threads.emplace_back([&] {
    for (int n = 0; n < 20; ++n) {
      std::size_t seen = 0;
      for (const auto& item : fs::recursive_directory_iterator(tree)) {
        const auto it = reference.find(fs::relative(item.path(), tree).string());
        if (it == reference.end()) continue;
        if (!item.is_regular_file() || item.file_size() != it->second.size()) findings.Add("listing differs at " + it->first);
        ++seen;
      }
      if (seen != reference.size()) findings.Add("a listing shows " + std::to_string(seen) + " of the files");
    }
  });
  for (auto& t : threads) t.join();
  ::close(shared);
  EXPECT_EQ(findings.Count(), 0) << findings.First();

  // Several processes, each with its own descriptor of one file, read
  // random ranges at once; on NTFS the compressed text as well.
  std::vector<std::string> targets{large[1]};
  if (reference.count("packed/text.txt") != 0) targets.push_back("packed/text.txt");
  for (const std::string& target : targets) {
    const Bytes& expected = reference[target];
    DropCached(tree + target);
    std::vector<pid_t> children;
    for (unsigned seed = 11; seed <= 14; ++seed) {
      const pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        const int fd = ::open((tree + target).c_str(), O_RDONLY);
        if (fd < 0) ::_exit(2);
        std::mt19937 random(seed);
        for (int n = 0; n < 150; ++n) {
          const std::size_t offset = random() % expected.size();
          const std::size_t count = std::min<std::size_t>(1 + random() % 200000, expected.size() - offset);
          const Bytes got = ReadRange(fd, offset, count);
          if (got.size() != count ||
              !std::equal(got.begin(), got.end(), expected.begin() + static_cast<std::ptrdiff_t>(offset)))
            ::_exit(1);
          if (n % 40 == 0) ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        }
        ::_exit(0);
      }
      children.push_back(pid);
    }
    for (const pid_t pid : children) {
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << target << ": a reading process saw other bytes";
    }
  }

  // Everything else, once more after all that.
  for (const auto& [path, bytes] : reference) EXPECT_EQ(test::ReadFileBytes(tree + path), bytes) << path;

  ASSERT_TRUE(test::UnmountWithCli(ours, out)) << out;
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Images, ParallelReadTest,
                         ::testing::Values(Case{"ext4_parallel", "ext"}, Case{"ntfs_parallel", "ntfs"},
                                           Case{"fat32_parallel", "fat"}),
                         [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.fixture); });

}  // namespace
}  // namespace vandrel
