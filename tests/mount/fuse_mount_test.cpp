// The component's FUSE session end to end: a service over a small reader,
// mounted in a temporary folder and used through the kernel.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "devices/device_manager.h"
#include "mount/mount2_system.h"
#include "mount/fake_reader.h"
#include "platform/mount_points.h"
#include "support/fixtures.h"
#include "support/memory_disk.h"

namespace vandrel {
namespace {

using test::FakeItem;
using test::FakeReader;
using test::MemoryDisk;

bool FuseUsable() {
  bool installed = false;
  std::uint32_t high = 0, low = 0;
  TCallbackFileSystem::QueryDriverState(kProductId, installed, high, low);
  return installed && ::geteuid() == 0;
}

std::vector<std::uint8_t> ReadWhole(const std::string& path, std::size_t chunk = 1 << 20) {
  std::vector<std::uint8_t> bytes;
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return bytes;
  std::vector<std::uint8_t> buffer(chunk);
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n <= 0) break;
    bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + n);
  }
  ::close(fd);
  return bytes;
}

std::vector<std::string> ListWithDots(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

class FuseMountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!FuseUsable()) GTEST_SKIP() << "needs root and a usable /dev/fuse";
    auto reader = std::make_unique<FakeReader>(&disk_);
    reader_ = reader.get();
    reader_->Add("/", FakeItem{"docs", kAttrDirectory, {}});
    reader_->Add("/", FakeItem{"twice", kAttrArchive, {1}});
    reader_->Add("/", FakeItem{"twice", kAttrArchive, {2}});  // a damaged directory lists a name twice
    reader_->Add("/", FakeItem{".", kAttrDirectory, {}});
    for (int i = 0; i < 8; ++i)
      reader_->Add("/docs", FakeItem{"f" + std::to_string(i), kAttrArchive,
                                     FakeReader::Pattern(static_cast<std::size_t>(300000 + i * 77777), static_cast<std::uint32_t>(i))});
    reader_->Add("/docs", FakeItem{"empty", kAttrArchive, {}});
    devices_.AttachReader(&disk_, std::move(reader));
    folder_ = ::testing::TempDir() + "/vandrel_fuse_" + std::to_string(::getpid());
    std::filesystem::create_directories(folder_);
    service_ = std::make_unique<TMountStorage2System>(&disk_, &devices_);
    std::string error;
    ASSERT_TRUE(service_->Init(folder_, error)) << error;
    ASSERT_TRUE(service_->Mounted());
  }
  void TearDown() override {
    if (service_) {
      EXPECT_TRUE(service_->Finish());
      service_.reset();
      EXPECT_FALSE(platform::IsMountPoint(folder_));
    }
    if (!folder_.empty()) std::filesystem::remove(folder_);
  }

  MemoryDisk disk_{FakeReader::Pattern(2048 * 512, 5), 512, false, "Fake disk"};
  TDeviceManager devices_{nullptr, nullptr, DeviceManagerOptions{false}};
  FakeReader* reader_ = nullptr;
  std::string folder_;
  std::unique_ptr<TMountStorage2System> service_;
};

TEST_F(FuseMountTest, ListingsAndContent) {
  EXPECT_EQ(ListWithDots(folder_), (std::vector<std::string>{".", "..", "FileSystem", "Storage"}));
  EXPECT_EQ(ListWithDots(folder_ + "/FileSystem"), (std::vector<std::string>{"%2E", ".", "..", "docs", "twice", "twice (2)"}));
  // Each of the two keeps its own bytes.
  EXPECT_EQ(ReadWhole(folder_ + "/FileSystem/twice"), std::vector<std::uint8_t>{1});
  EXPECT_EQ(ReadWhole(folder_ + "/FileSystem/twice (2)"), std::vector<std::uint8_t>{2});
  EXPECT_EQ(ReadWhole(folder_ + "/Storage"), disk_.Bytes());
  for (int i = 0; i < 8; ++i) {
    const std::string path = folder_ + "/FileSystem/docs/f" + std::to_string(i);
    EXPECT_EQ(ReadWhole(path, 4096 + static_cast<std::size_t>(i) * 1000),
              FakeReader::Pattern(static_cast<std::size_t>(300000 + i * 77777), static_cast<std::uint32_t>(i)));
  }
  struct stat st {};
  ASSERT_EQ(::stat((folder_ + "/FileSystem/docs/f1").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 377777);
  EXPECT_EQ(st.st_blocks, (377777 + 511) / 512);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(::stat((folder_ + "/FileSystem/docs/missing").c_str(), &st), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(::stat((folder_ + "/storage").c_str(), &st), -1);
  EXPECT_TRUE(ReadWhole(folder_ + "/FileSystem/docs/empty").empty());
  struct statvfs vfs {};
  ASSERT_EQ(::statvfs(folder_.c_str(), &vfs), 0);
  EXPECT_EQ(vfs.f_blocks, 4096u);
  EXPECT_EQ(vfs.f_bavail, 2048u);
  EXPECT_TRUE((vfs.f_flag & ST_RDONLY) != 0);
}

TEST_F(FuseMountTest, EveryChangeIsRefused) {
  const std::string file = folder_ + "/FileSystem/docs/f0";
  const std::string storage = folder_ + "/Storage";
  errno = 0;
  EXPECT_EQ(::open(storage.c_str(), O_WRONLY), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(::open(file.c_str(), O_RDWR), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(::open((folder_ + "/FileSystem/new").c_str(), O_WRONLY | O_CREAT, 0644), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(::mkdir((folder_ + "/FileSystem/dir").c_str(), 0755), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(::unlink(file.c_str()), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(::rename(file.c_str(), (folder_ + "/FileSystem/docs/g").c_str()), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(::truncate(file.c_str(), 0), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(::chmod(file.c_str(), 0777), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(ReadWhole(folder_ + "/Storage"), disk_.Bytes());
}

TEST_F(FuseMountTest, EightReadersAtOnce) {
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      const auto expected =
          FakeReader::Pattern(static_cast<std::size_t>(300000 + i * 77777), static_cast<std::uint32_t>(i));
      bool ok = true;
      for (int round = 0; round < 5; ++round) {
        // Read each file with odd chunk sizes so the requests interleave.
        ok = ok && ReadWhole(folder_ + "/FileSystem/docs/f" + std::to_string(i), 1000 + static_cast<std::size_t>(i) * 333) == expected;
        ::posix_fadvise(-1, 0, 0, POSIX_FADV_DONTNEED);
      }
      if (ok) ++good;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 8);
  // The kernel sends the release of a closed file after close() returned.
  for (int wait = 0; wait < 500 && reader_->OpenFiles() != 0; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(reader_->OpenFiles(), 0u);
}

// Unmounting a volume whose files and folders are still open ends the
// session without their releases: the files are closed all the same.
TEST_F(FuseMountTest, UnmountWithOpenFilesClosesThem) {
  const int file = ::open((folder_ + "/FileSystem/docs/f1").c_str(), O_RDONLY);
  ASSERT_GE(file, 0);
  char byte = 0;
  EXPECT_EQ(::read(file, &byte, 1), 1);
  DIR* folder = ::opendir((folder_ + "/FileSystem/docs").c_str());
  ASSERT_NE(folder, nullptr);
  EXPECT_NE(::readdir(folder), nullptr);
  EXPECT_EQ(reader_->OpenFiles(), 1u);

  EXPECT_TRUE(service_->Finish());
  EXPECT_FALSE(platform::IsMountPoint(folder_));
  EXPECT_EQ(reader_->OpenFiles(), 0u);
  EXPECT_EQ(reader_->OpenFinds(), 0u);
  ::close(file);
  ::closedir(folder);
  service_.reset();
}

// A serving process that dies leaves a dead mount (ENOTCONN); the next
// mount at that folder cleans it up.
TEST(FuseStaleMount, KilledServerLeavesNothingBehind) {
  VANDREL_REQUIRE(FuseUsable(), "needs root and a usable /dev/fuse");
  const std::string dir = ::testing::TempDir() + "/vandrel_stale_" + std::to_string(::getpid());
  std::filesystem::create_directories(dir + "/mnt");
  const std::string image = dir + "/disk.img";
  {
    std::ofstream out(image, std::ios::binary);
    const auto bytes = FakeReader::Pattern(1 << 20, 11);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  const std::string cli = std::string(VANDREL_CLI_PATH) + " --images-only --image " + image;
  std::string output;
  ASSERT_TRUE(test::RunCommand(cli + " mount 0 " + dir + "/mnt --background 2>&1", output)) << output;
  const auto at = output.find("(process ");
  ASSERT_NE(at, std::string::npos) << output;
  const pid_t server = static_cast<pid_t>(std::stol(output.substr(at + 9)));
  EXPECT_EQ(test::ReadFileBytes(dir + "/mnt/Storage"), FakeReader::Pattern(1 << 20, 11));
  ASSERT_EQ(::kill(server, SIGKILL), 0);
  for (int i = 0; i < 100 && platform::InspectMountFolder(dir + "/mnt") != platform::MountFolderState::kDeadMount; ++i)
    ::usleep(20000);
  EXPECT_EQ(platform::InspectMountFolder(dir + "/mnt"), platform::MountFolderState::kDeadMount);

  ASSERT_TRUE(test::RunCommand(cli + " mount 0 " + dir + "/mnt --background 2>&1", output)) << output;
  EXPECT_EQ(test::ReadFileBytes(dir + "/mnt/Storage"), FakeReader::Pattern(1 << 20, 11));
  ASSERT_TRUE(test::RunCommand(std::string(VANDREL_CLI_PATH) + " umount " + dir + "/mnt 2>&1", output)) << output;
  EXPECT_EQ(platform::InspectMountFolder(dir + "/mnt"), platform::MountFolderState::kEmpty);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vandrel
