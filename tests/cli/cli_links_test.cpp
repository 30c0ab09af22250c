// Symbolic links and special files as the volume stores them: every entry's
// kind, size and link target through `ls --json`, `cat` and the mount,
// against the kernel's view of the same image; and `cp -r` recreating links
// as links without writing anything outside its destination.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "filesystems/reader_walk.h"
#include "support/fixtures.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;
using test::ShellQuote;

struct Seen {
  std::string type;
  std::int64_t size = 0;
  std::string target;
  std::uint64_t rdev = 0;
  bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Seen& s) {
  return os << s.type << " " << s.size << " '" << s.target << "' rdev " << s.rdev;
}

// What lstat says of every entry under `root`, keyed "/a/b".
std::map<std::string, Seen> HostView(const fs::path& root, bool withDevices) {
  std::map<std::string, Seen> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    // (fs::relative would resolve the links)
    const std::string rel = it->path().string().substr(root.string().size());
    if (rel.rfind("/lost+found", 0) == 0) continue;
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) != 0) continue;
    Seen s;
    if (S_ISDIR(st.st_mode)) s.type = "dir";
    else if (S_ISREG(st.st_mode)) s.type = "file";
    else if (S_ISLNK(st.st_mode)) s.type = "symlink";
    else s.type = "other";
    s.size = S_ISDIR(st.st_mode) || s.type == "other" ? 0 : st.st_size;
    if (S_ISLNK(st.st_mode)) s.target = fs::read_symlink(it->path()).string();
    if (withDevices && (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))) s.rdev = st.st_rdev;
    out[rel] = s;
  }
  return out;
}

struct Case {
  const char* fixture;
  const char* cat;       // a file read through a link with --follow
  const char* expected;  // its bytes
};

// Add a case per image made by a real tool; the kernel's mount is the truth.
const Case kCases[] = {
    {"ext4_links", "/up", "inside\n"},
};

class CliLinks : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    VANDREL_REQUIRE(test::IsRoot(), "loop mounts need root");
    dir_ = fs::temp_directory_path() / ("vandrel-links-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "kernel");
  }
  void TearDown() override {
    std::string out;
    test::RunCommand("umount " + ShellQuote((dir_ / "kernel").string()) + " 2>/dev/null", out);
    test::RunCommand(std::string(VANDREL_CLI_PATH) + " umount " + ShellQuote((dir_ / "ours").string()) + " 2>/dev/null", out);
    fs::remove_all(dir_);
  }
  std::string Cli(const std::string& image, const std::string& arguments, bool* ok = nullptr) {
    std::string out;
    const bool good = test::RunCommand("timeout 60 " + std::string(VANDREL_CLI_PATH) + " --images-only --image " +
                                           ShellQuote(image) + " " + arguments + " 2>/dev/null",
                                       out);
    if (ok != nullptr) *ok = good;
    return out;
  }
  fs::path dir_;
};

TEST_P(CliLinks, KindsSizesAndTargetsAsTheKernelShowsThem) {
  const Case& c = GetParam();
  VANDREL_FIXTURE(image, c.fixture);
  const fs::path kernel = dir_ / "kernel";
  std::string out;
  ASSERT_TRUE(test::RunCommand("mount -o loop,ro " + ShellQuote(image) + " " + ShellQuote(kernel.string()), out));
  const auto truth = HostView(kernel, true);
  ASSERT_FALSE(truth.empty());

  std::map<std::string, Seen> listed;
  std::istringstream lines(Cli(image, "--json ls -R 0 /"));
  for (std::string line; std::getline(lines, line);) {
    const auto j = nlohmann::json::parse(line);
    const std::string path = j["path"];
    if (path.rfind("/lost+found", 0) == 0) continue;
    Seen s{j["type"], j["size"], j.value("target", ""), 0};
    if (s.type == "other") s.size = 0;
    listed[path] = s;
  }
  auto withoutDevices = truth;
  for (auto& [path, s] : withoutDevices) s.rdev = 0;
  EXPECT_EQ(listed, withoutDevices);

  // cat refuses a link unless asked, and then stays inside the volume.
  bool ok = true;
  Cli(image, std::string("cat 0 ") + c.cat, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(Cli(image, std::string("cat --follow 0 ") + c.cat, &ok), c.expected);
  EXPECT_TRUE(ok);
  for (const auto& [path, s] : truth) {
    if (s.type != "symlink" || path == c.cat) continue;
    Cli(image, "cat --follow 0 " + ShellQuote(path), &ok);
    std::error_code ec;
    const bool inside = s.target.front() != '/' && s.target.find("..") == std::string::npos &&
                        fs::is_regular_file(kernel / path.substr(1), ec);
    EXPECT_EQ(ok, inside) << path;
  }

  // The mount: the same kinds, sizes, targets and device numbers.
  fs::create_directories(dir_ / "ours");
  ASSERT_TRUE(test::RunCommand(std::string(VANDREL_CLI_PATH) + " --images-only --image " + ShellQuote(image) +
                                   " mount 0 " + ShellQuote((dir_ / "ours").string()) + " --background 2>&1",
                               out))
      << out;
  EXPECT_EQ(HostView(dir_ / "ours" / "FileSystem", true), truth);
}

INSTANTIATE_TEST_SUITE_P(Images, CliLinks, ::testing::ValuesIn(kCases),
                         [](const auto& param) { return std::string(param.param.fixture); });

// Links that point outside the volume are made again as links: a guard
// folder around the destination holds nothing else afterwards.
TEST(CliLinkCopy, NothingIsWrittenOutsideTheDestination) {
  VANDREL_FIXTURE(image, "ext4_links");
  const fs::path guard = fs::temp_directory_path() / ("vandrel-guard-" + std::to_string(::getpid()));
  fs::remove_all(guard);
  const fs::path destination = guard / "a" / "b" / "c";
  fs::create_directories(destination);
  std::string out;
  test::RunCommand("timeout 60 " + std::string(VANDREL_CLI_PATH) + " --images-only --image " + ShellQuote(image) +
                       " cp -r 0 / " + ShellQuote(destination.string()) + " 2>/dev/null",
                   out);
  std::string found;
  ASSERT_TRUE(test::RunCommand("find " + ShellQuote(guard.string()) + " -printf '%y %P %l\\n' | LC_ALL=C sort", found));
  EXPECT_EQ(found,
            "d  \nd a \nd a/b \nd a/b/c \nd a/b/c/root \nd a/b/c/root/dir \nd a/b/c/root/lost+found \n"
            "f a/b/c/root/dir/file.txt \nl a/b/c/root/dir/rel file.txt\nl a/b/c/root/dir/slow " +
                std::string(200, 'n') +
                "\nl a/b/c/root/escape ../../..\nl a/b/c/root/etc /etc\nl a/b/c/root/loop loop\nl a/b/c/root/up "
                "dir/file.txt\n");
  fs::remove_all(guard);
}

}  // namespace
}  // namespace vandrel
