// An NTFS volume with junctions through vandrel-cli mount: a junction lists
// the folder it names, and the folders it shows carry that folder's inode
// number, so `find` and `cp -r` over the mount notice the loops and end.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "filesystems/reader_walk.h"
#include "mount/callback_file_system.h"
#include "mount/mount2_system.h"
#include "support/fixtures.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;
using test::RunCommand;
using test::ShellQuote;

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& item : fs::directory_iterator(folder, ec)) names.insert(item.path().filename().string());
  return names;
}

ino_t Inode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(MountJunctions, LoopsEndWhereTheyComeBack) {
  VANDREL_FIXTURE(image, "ntfs_junctions");
  bool installed = false;
  std::uint32_t high = 0, low = 0;
  TCallbackFileSystem::QueryDriverState(kProductId, installed, high, low);
  VANDREL_REQUIRE(test::IsRoot() && installed, "needs root and a usable /dev/fuse");
  const std::string dir = ::testing::TempDir() + "/vandrel_junctions_" + std::to_string(::getpid());
  fs::remove_all(dir);
  fs::create_directories(dir + "/ours");
  const std::string cli = std::string(VANDREL_CLI_PATH) + " --images-only --image " + ShellQuote(image);
  std::string out;
  ASSERT_TRUE(RunCommand(cli + " mount 0:0 " + ShellQuote(dir + "/ours") + " --background 2>&1", out)) << out;
  const std::string m = dir + "/ours/FileSystem";
  ASSERT_TRUE(fs::exists(m)) << "no FileSystem folder";

  EXPECT_EQ(Names(m + "/junc"), Names(m + "/target"));
  EXPECT_EQ(Names(m + "/p/j1/j2"), Names(m + "/p"));
  EXPECT_EQ(Names(m + "/missing"), std::set<std::string>{});
  // The same folder, reached two ways, is one folder.
  EXPECT_EQ(Inode(m + "/junc/sub"), Inode(m + "/target/sub"));
  EXPECT_EQ(Inode(m + "/a/b/up/b"), Inode(m + "/a/b"));
  EXPECT_NE(Inode(m + "/a/b/up"), Inode(m + "/a/b"));

  // find reports each loop once and goes no deeper.
  std::string found;
  RunCommand("cd " + ShellQuote(m) + " && LC_ALL=C timeout 120 find . 2>&1", found);
  for (const char* loop : {"./a/b/up/b", "./p/j1/j2/j1", "./r/j2/j1/j2"})
    EXPECT_NE(found.find(std::string("File system loop detected; '") + loop + "'"), std::string::npos)
        << loop << "\n" << found;
  EXPECT_NE(found.find("./junc/sub/b.txt"), std::string::npos) << found;
  EXPECT_EQ(found.find("./a/b/up/b/"), std::string::npos) << found;

  // cp -r copies what the junctions show, cut at the loops.
  std::string copied;
  RunCommand("LC_ALL=C timeout 120 cp -r " + ShellQuote(m + "/p") + " " + ShellQuote(dir + "/copy") + " 2>&1", copied);
  EXPECT_NE(copied.find("cyclic"), std::string::npos) << copied;
  EXPECT_TRUE(fs::exists(dir + "/copy/j1/r.txt"));
  EXPECT_TRUE(fs::exists(dir + "/copy/j1/j2/p.txt"));
  EXPECT_FALSE(fs::exists(dir + "/copy/j1/j2/j1/r.txt"));

  ASSERT_TRUE(RunCommand(std::string(VANDREL_CLI_PATH) + " umount " + ShellQuote(dir + "/ours") + " 2>&1", out)) << out;
  fs::remove_all(dir);
}

}  // namespace
}  // namespace vandrel
