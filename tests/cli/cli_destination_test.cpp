// `cp` at a destination that already holds something: only regular files
// are ever replaced (the named target, or any with --force), and nothing is
// written through a link, into a device or into a FIFO.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "filesystems/reader_walk.h"
#include "support/fixtures.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;
using test::ShellQuote;

bool Cp(const std::string& image, const std::string& arguments) {
  std::string out;
  return test::RunCommand("timeout 60 " + std::string(VANDREL_CLI_PATH) + " --images-only --image " +
                              ShellQuote(image) + " cp " + arguments + " 2>/dev/null",
                          out);
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class CliDestination : public ::testing::Test {
 protected:
  void SetUp() override {
    VANDREL_REQUIRE(test::IsRoot(), "mknod needs root");
    std::string why;
    image_ = test::FixtureImage("ext2_full", why);
    VANDREL_REQUIRE(!image_.empty(), why);
    dir_ = fs::temp_directory_path() / ("vandrel-dest-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "out");
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string image_;
  fs::path dir_;
};

TEST_F(CliDestination, NothingButARegularFileIsReplaced) {
  const fs::path out = dir_ / "out";
  const fs::path elsewhere = dir_ / "elsewhere";
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> make;  // puts the object at the path
    std::string extra;                          // cp options
    bool copies;                                // exit 0 with the file's bytes in place
    std::function<void(const fs::path&)> check; // what must hold afterwards
  };
  const auto isKind = [](mode_t kind) {
    return [kind](const fs::path& p) {
      struct stat st {};
      ASSERT_EQ(::lstat(p.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & S_IFMT, kind);
    };
  };
  const Case cases[] = {
      {"FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, "", false, isKind(S_IFIFO)},
      {"FIFO with --force", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, "-f", false,
       isKind(S_IFIFO)},
      {"character device",
       [](const fs::path& p) { ASSERT_EQ(::mknod(p.c_str(), S_IFCHR | 0600, ::makedev(1, 7)), 0); }, "-f", false,
       isKind(S_IFCHR)},
      {"block device",
       [](const fs::path& p) { ASSERT_EQ(::mknod(p.c_str(), S_IFBLK | 0600, ::makedev(7, 200)), 0); }, "-f", false,
       isKind(S_IFBLK)},
      {"link to a missing file",
       [&](const fs::path& p) { fs::create_symlink(elsewhere, p); }, "-f", false,
       [&](const fs::path& p) {
         EXPECT_TRUE(fs::is_symlink(p));
         EXPECT_FALSE(fs::exists(fs::symlink_status(elsewhere)));
       }},
      {"link to a regular file",
       [&](const fs::path& p) {
         std::ofstream(elsewhere) << "keep";
         fs::create_symlink(elsewhere, p);
       },
       "-f", false,
       [&](const fs::path& p) {
         EXPECT_TRUE(fs::is_symlink(p));
         EXPECT_EQ(Slurp(elsewhere), "keep");
       }},
      {"regular file named by the user", [](const fs::path& p) { std::ofstream(p) << "old"; }, "", true, nullptr},
  };
  // The bytes a plain copy gives.
  ASSERT_TRUE(Cp(image_, "0 /a.txt " + ShellQuote((dir_ / "reference").string())));
  const std::string bytes = Slurp(dir_ / "reference");
  ASSERT_EQ(bytes.size(), 5000u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(out);
    fs::remove(elsewhere);
    fs::create_directories(out);
    const fs::path target = out / "target";
    c.make(target);
    EXPECT_EQ(Cp(image_, c.extra + " 0 /a.txt " + ShellQuote(target.string())), c.copies);
    if (c.check) c.check(target);
    if (c.copies) {
      EXPECT_EQ(Slurp(target), bytes);
    }
    // Nothing of ours is left beside it.
    for (const auto& item : fs::directory_iterator(out)) EXPECT_EQ(item.path(), target);
  }
}

TEST_F(CliDestination, InsideAFolderOnlyForceReplacesAndOnlyRegularFiles) {
  const fs::path out = dir_ / "out";
  std::ofstream(out / "a.txt") << "old";
  ASSERT_EQ(::mkfifo((out / "empty").c_str(), 0600), 0);
  fs::create_symlink(dir_ / "elsewhere", out / "fast_link_59");
  EXPECT_FALSE(Cp(image_, "0 /a.txt " + ShellQuote(out.string())));
  EXPECT_EQ(Slurp(out / "a.txt"), "old");
  EXPECT_TRUE(Cp(image_, "-f 0 /a.txt " + ShellQuote(out.string())));
  EXPECT_EQ(fs::file_size(out / "a.txt"), 5000u);

  // A tree copied over one that holds a FIFO and a link where files go.
  fs::create_directories(out / "root");
  ASSERT_EQ(::mkfifo((out / "root" / "empty").c_str(), 0600), 0);
  fs::create_symlink(dir_ / "elsewhere", out / "root" / "a.txt");
  fs::create_symlink(dir_, out / "root" / "d1");
  EXPECT_FALSE(Cp(image_, "-r -f 0 / " + ShellQuote(out.string())));
  EXPECT_TRUE(fs::is_fifo(fs::symlink_status(out / "root" / "empty")));
  EXPECT_TRUE(fs::is_symlink(out / "root" / "a.txt"));
  EXPECT_TRUE(fs::is_symlink(out / "root" / "d1"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "elsewhere")));
  EXPECT_FALSE(fs::exists(dir_ / "d2"));
  // The rest of the tree is still rescued.
  EXPECT_EQ(fs::file_size(out / "root" / "Long name with spaces and more words.txt"), 12345u);
}

}  // namespace
}  // namespace vandrel
