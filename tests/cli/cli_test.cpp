// vandrel-cli as a script sees it: exit codes, JSON and raw reads.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
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

Result Cli(const std::string& arguments) {
  Result r;
  const std::string command = std::string(VANDREL_CLI_PATH) + " " + arguments + " 2>/dev/null";
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

}  // namespace
}  // namespace vandrel
