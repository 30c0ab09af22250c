// vandrel-cli as a script sees it: exit codes, JSON and raw reads.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/fixtures.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;

struct Result {
  int exitCode = -1;
  std::string out;
};

// `errors`: where stderr goes. A hang guard ends a command that blocks (exit
// code 124), so a hang fails the test instead of stopping the suite.
Result Cli(const std::string& arguments, const std::string& errors = "/dev/null") {
  Result r;
  const std::string command =
      "timeout 120 " + std::string(VANDREL_CLI_PATH) + " " + arguments + " 2>'" + errors + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return r;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.out.append(buffer, n);
  const int status = ::pclose(pipe);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vandrel-cli-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    image_ = (dir_ / "k1000.img").string();
    std::string bytes(1000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + 1);
    std::ofstream(image_, std::ios::binary) << bytes;
    imageBytes_ = bytes;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
  std::string image_;
  std::string imageBytes_;
};

TEST_F(CliTest, ListJsonDescribesTheImage) {
  const Result r = Cli("--images-only --image '" + image_ + "' --json list");
  ASSERT_EQ(r.exitCode, 0);
  const auto rows = nlohmann::json::parse(r.out);
  ASSERT_EQ(rows.size(), 1u);
  const auto& row = rows[0];
  EXPECT_EQ(row["addr"], "0");
  EXPECT_EQ(row["size"], 1000);
  EXPECT_EQ(row["sectors"], 2);
  EXPECT_EQ(row["source"], "ssImageFile");
  EXPECT_EQ(row["type"], "stHardDrive");
  for (const char* key : {"name", "size_text", "fs_type", "type_name", "kind", "start", "metadata"})
    EXPECT_TRUE(row.contains(key)) << key;
}

TEST_F(CliTest, RawCatReturnsTheImageBytes) {
  const Result r = Cli("--images-only --image '" + image_ + "' cat 0");
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, imageBytes_);
}

TEST_F(CliTest, ErrorsAndExitCodes) {
  struct Case {
    std::string arguments;
    int exitCode;
  };
  const Case cases[] = {
      {"", 2},
      {"no-such-command", 2},
      {"--images-only --image '" + image_ + "' info 7", 1},
      {"--images-only --image '" + image_ + "' info 0:3", 1},
      {"--images-only --image '" + image_ + "' info x:y", 2},
      {"--images-only --image '" + (dir_ / "missing.img").string() + "' list", 1},
      {"--images-only --image '" + image_ + "' ls 0", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(Cli(c.arguments).exitCode, c.exitCode) << c.arguments;
}

// Fresh volumes made without a partition table: addressed as the disk or as
// its one volume, the root lists (FAT: empty; ext2: lost+found) and copies.
TEST_F(CliTest, VolumeWithoutTableListsByEitherAddress) {
  for (const char* fixture : {"fat12_plain", "fat16_plain", "fat32_plain", "ext2_plain"}) {
    VANDREL_FIXTURE(image, fixture);
    for (const char* address : {"0", "0:0"}) {
      const std::string volume = "--images-only --image '" + image + "' ";
      const Result ls = Cli(volume + "ls " + address);
      EXPECT_EQ(ls.exitCode, 0) << fixture << " " << address;
      const bool ext = std::string(fixture) == "ext2_plain";
      EXPECT_EQ(ls.out.find("/lost+found") != std::string::npos, ext) << fixture << " " << address << "\n" << ls.out;
      if (!ext) {
        EXPECT_EQ(ls.out, "") << fixture << " " << address;
      }
      const fs::path copy = dir_ / (std::string(fixture) + "-" + address);
      EXPECT_EQ(Cli(volume + "cp -r " + address + " / '" + copy.string() + "'").exitCode, 0) << fixture << " " << address;
      EXPECT_TRUE(fs::is_directory(copy)) << fixture << " " << address;
    }
  }
}

// Global options stand before the command or anywhere among its arguments,
// with the same result; --image is taken in order wherever it stands.
TEST_F(CliTest, GlobalOptionsBeforeOrAfterTheCommand) {
  VANDREL_FIXTURE(fat, "fat16_full");
  VANDREL_FIXTURE(ext, "ext2_plain");
  const std::string a = "--image '" + fat + "'";
  const std::string b = "--image '" + ext + "'";
  const std::vector<std::vector<std::string>> sameOutput = {
      {"--images-only " + a + " --json ls -R 0:0 /", "ls -R --json 0:0 / --images-only " + a,
       "ls --images-only -R " + a + " --json 0:0 /", "ls -R 0:0 --json / " + a + " --images-only"},
      {"--images-only " + a + " " + b + " --json list", "list --json --images-only " + a + " " + b,
       "--images-only " + a + " list " + b + " --json", a + " list --images-only --json " + b},
      {"--images-only " + a + " cat 0:0 /a.txt", "cat 0:0 /a.txt --images-only " + a,
       "cat --images-only 0:0 " + a + " /a.txt"},
      {"--images-only " + a + " --verbose info 0:0", "info 0:0 --verbose --images-only " + a},
  };
  for (const auto& group : sameOutput) {
    const Result first = Cli(group[0]);
    ASSERT_EQ(first.exitCode, 0) << group[0];
    ASSERT_FALSE(first.out.empty()) << group[0];
    for (const std::string& arguments : group) {
      const Result r = Cli(arguments);
      EXPECT_EQ(r.exitCode, 0) << arguments;
      EXPECT_EQ(r.out, first.out) << arguments;
    }
  }
  // Both images in the order given, the second named after the command.
  const auto rows = nlohmann::json::parse(Cli("--images-only " + a + " list --json " + b).out);
  std::vector<std::string> paths;
  for (const auto& row : rows)
    if (row.contains("path")) paths.push_back(row["path"]);
  EXPECT_EQ(paths, (std::vector<std::string>{fat, ext}));
  // --verbose after the command still turns the log on.
  const std::string log = (dir_ / "log").string();
  ASSERT_EQ(Cli("list --images-only " + a + " --verbose", log).exitCode, 0);
  EXPECT_GT(fs::file_size(log), 0u);
}

// --image takes files and block devices only: a FIFO (which would block the
// open until a writer comes), a character device and a folder are refused
// at once, naming the path and what it is.
TEST_F(CliTest, ImageRefusesWhatIsNoDiskOrFile) {
  const fs::path fifo = dir_ / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path folder = dir_ / "folder";
  fs::create_directories(folder);
  struct Case {
    std::string path;
    std::string what;
  };
  const Case cases[] = {
      {fifo.string(), "FIFO"},
      {"/dev/null", "character device"},
      {folder.string(), "directory"},
  };
  const std::string errors = (dir_ / "errors").string();
  for (const Case& c : cases) {
    const Result r = Cli("--images-only --image '" + c.path + "' list", errors);
    EXPECT_EQ(r.exitCode, 1) << c.path;
    std::ifstream in(errors);
    const std::string message((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(message.find(c.path), std::string::npos) << message;
    EXPECT_NE(message.find(c.what), std::string::npos) << message;
  }
}

}  // namespace
}  // namespace vandrel
