// vandrel-cli over the member images of an md RAID 1: the array is listed
// after its members with its state, `info` shows its members and `cat`
// writes the assembled array.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "support/fixtures.h"

namespace vandrel {
namespace {

std::string RunCli(const std::string& arguments) {
  std::string out;
  const std::string command = std::string(VANDREL_CLI_PATH) + " " + arguments;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

TEST(CliRaid, ListInfoAndCatOfAnAssembledMirror) {
  std::string why;
  const std::string folder = test::SharedFixtureDir("raid/md090-raid1.tar.zst", why);
  VANDREL_REQUIRE(!folder.empty(), why);
  VANDREL_REQUIRE(test::HaveTool("sha256sum"), "sha256sum missing");
  const std::string m0 = folder + "/md090-raid1/m0.img";
  const std::string m1 = folder + "/md090-raid1/m1.img";

  // One member: listed, Recoverable, its one partition spans the array.
  const auto rows = nlohmann::json::parse(RunCli("--images-only --image '" + m0 + "' --json list 2>/dev/null"));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1]["addr"], "1");
  EXPECT_EQ(rows[1]["raid_state_name"], "Recoverable");
  EXPECT_EQ(rows[1]["sectors"], 16256);
  EXPECT_EQ(rows[2]["addr"], "1:0");
  EXPECT_EQ(rows[2]["sectors"], 16256);

  const auto info = nlohmann::json::parse(RunCli("--images-only --image '" + m0 + "' --json info 1 2>/dev/null"));
  ASSERT_TRUE(info.contains("Raid"));
  EXPECT_EQ(info["Raid"]["Status"], "Recoverable");
  EXPECT_EQ(info["Raid"]["Type"], "Linux Raid");
  EXPECT_EQ(info["Raid"]["Total disks"], "2");
  ASSERT_EQ(info["Raid"]["rows"].size(), 2u);

  // Both members: the raw array is the one the kernel assembled.
  const std::string sum =
      RunCli("--images-only --image '" + m0 + "' --image '" + m1 + "' cat 2 2>/dev/null | sha256sum");
  std::ifstream in(std::string(VANDREL_SHARED_FIXTURES) + "/raid/md090-raid1.manifest.json");
  const auto manifest = nlohmann::json::parse(in);
  EXPECT_EQ(sum.substr(0, 64), manifest["arrays"][0]["sha256_guest"].get<std::string>());
}

}  // namespace
}  // namespace vandrel
