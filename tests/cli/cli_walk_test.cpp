// `ls -R` and `cp -r` over a volume with junctions: the junctions are
// followed, the loops they make are cut where they come back, and the walk
// ends.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "filesystems/reader_walk.h"
#include "support/cli_run.h"
#include "support/fixtures.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;
using test::ShellQuote;

using test::CliRun;

CliRun Cli(const std::string& arguments, const fs::path& errors) { return test::RunCli(arguments, errors); }

std::set<std::string> PathsListed(const std::string& text) {
  std::set<std::string> paths;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    // A link's line ends in " -> target".
    if (const auto arrow = line.find(" -> "); arrow != std::string::npos) line.resize(arrow);
    const auto cut = line.rfind(" /");
    if (cut != std::string::npos) paths.insert(line.substr(cut + 1));
  }
  return paths;
}

class CliWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    image_ = test::FixtureImage("ntfs_junctions", why);
    VANDREL_REQUIRE(!image_.empty(), why);
    dir_ = fs::temp_directory_path() / ("vandrel-walk-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Volume() const { return "--images-only --image " + ShellQuote(image_); }
  std::string image_;
  fs::path dir_;
};

TEST_F(CliWalk, ListingFollowsJunctionsAndCutsTheirLoops) {
  const CliRun all = Cli(Volume() + " ls -R 0", dir_ / "err");
  const std::set<std::string> paths = PathsListed(all.out);
  for (const char* path : {"/junc/a.txt", "/junc/sub/b.txt", "/target/sub/b.txt", "/a/b/up/b", "/p/j1/r.txt",
                           "/p/j1/j2/p.txt", "/p/j1/j2/j1", "/r/j2/j1/j2", "/missing", "/symdir"})
    EXPECT_EQ(paths.count(path), 1u) << path;
  // Each loop is entered once and cut where it comes back.
  for (const char* path : {"/a/b/up/b/c.txt", "/p/j1/j2/j1/r.txt", "/r/j2/j1/j2/r.txt"})
    EXPECT_EQ(paths.count(path), 0u) << path;
  for (const char* path : {"/a/b/up/b", "/p/j1/j2/j1", "/r/j2/j1/j2"})
    EXPECT_NE(all.err.find("not descending into " + std::string(path) + " (a junction leads back"), std::string::npos)
        << all.err;
  // Neither a loop through a junction nor an empty folder is a failure to
  // read the volume.
  EXPECT_TRUE(all.ok) << all.err;
  for (const char* folder : {"/a", "/p", "/junc"}) {
    const CliRun r = Cli(Volume() + " ls -R 0 " + folder, dir_ / "err");
    EXPECT_TRUE(r.ok) << folder << ": " << r.err;
  }
}

TEST_F(CliWalk, CopyFollowsJunctionsAndCutsTheirLoops) {
  fs::create_directories(dir_ / "copy");
  for (const char* folder : {"/a", "/p", "/junc", "/target"}) {
    const CliRun r = Cli(Volume() + " cp -r 0 " + folder + " " + ShellQuote((dir_ / "copy").string()), dir_ / "err");
    EXPECT_TRUE(r.ok) << folder << ": " << r.err;
  }
  const fs::path copy = dir_ / "copy";
  std::set<std::string> files;
  for (const auto& item : fs::recursive_directory_iterator(copy))
    if (item.is_regular_file()) files.insert(item.path().string().substr(copy.string().size()));
  const std::set<std::string> expected = {"/a/b/c.txt",    "/p/p.txt",       "/p/j1/r.txt",   "/p/j1/j2/p.txt",
                                          "/junc/a.txt",   "/junc/big.bin",  "/junc/sub/b.txt", "/target/a.txt",
                                          "/target/big.bin", "/target/sub/b.txt"};
  EXPECT_EQ(files, expected);
  EXPECT_EQ(test::ReadFileBytes((copy / "junc/big.bin").string()), test::ReadFileBytes((copy / "target/big.bin").string()));
  // An empty folder (the junction to a missing path lists its own, empty
  // one) copies without a failure.
  const CliRun empty = Cli(Volume() + " cp -r 0 /missing " + ShellQuote((dir_ / "empty").string()), dir_ / "err");
  EXPECT_TRUE(empty.ok) << empty.err;
  EXPECT_TRUE(fs::is_directory(dir_ / "empty"));
}

}  // namespace
}  // namespace vandrel
