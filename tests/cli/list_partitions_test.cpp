// `vandrel-cli list` on a partitioned image: partition rows with their
// labels, free space only with --all.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <sstream>

#include "storage/partition_info.h"
#include "support/fixtures.h"

namespace vandrel {
namespace {

nlohmann::json ListJson(const std::string& image, bool all) {
  std::string out;
  const std::string command = std::string(VANDREL_CLI_PATH) + " --images-only --json --image '" + image + "' list" +
                              (all ? " --all" : "");
  EXPECT_TRUE(test::RunCommand(command, out)) << command;
  return nlohmann::json::parse(out);
}

TEST(CliList, PartitionRowsAndFreeSpaceWithAll) {
  VANDREL_FIXTURE(image, "mbr_extended");
  const nlohmann::json plain = ListJson(image, false);
  const nlohmann::json all = ListJson(image, true);
  auto rows = [](const nlohmann::json& list, int kind) {
    std::vector<nlohmann::json> out;
    for (const auto& row : list)
      if (row["kind"] == kind) out.push_back(row);
    return out;
  };
  ASSERT_EQ(rows(plain, pkMbr).size(), 4u);
  EXPECT_EQ(rows(plain, pkMbr)[0]["label"], "PRIMARYFAT");
  EXPECT_EQ(rows(plain, pkMbr)[0]["start"], 2048);
  EXPECT_EQ(rows(plain, pkMbr)[0]["sectors"], 20480);
  EXPECT_EQ(rows(plain, pkMbr)[0]["type_name"], "FAT 16");
  EXPECT_TRUE(rows(plain, pkUnallocated).empty());
  EXPECT_EQ(rows(all, pkUnallocated).size(), 5u);
}

// Long names (free space on an image deep in a folder) widen the name column
// instead of pushing the other columns out of line.
TEST(CliList, TextColumnsStayAligned) {
  VANDREL_FIXTURE(image, "mbr_extended");
  std::string out;
  ASSERT_TRUE(test::RunCommand(std::string(VANDREL_CLI_PATH) + " --images-only --image '" + image + "' list --all", out));
  std::istringstream lines(out);
  std::string header;
  ASSERT_TRUE(std::getline(lines, header));
  const std::size_t sectorsEnd = header.find("SECTORS") + 7;
  int rows = 0;
  for (std::string line; std::getline(lines, line); ++rows) {
    ASSERT_GT(line.size(), sectorsEnd) << line;
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(line[sectorsEnd - 1])) && line[sectorsEnd] == ' ') << line;
  }
  EXPECT_EQ(rows, 10);
}

// Ext volumes are named by what they are, as blkid decides it from the
// same superblock, wherever the volume sits.
TEST(CliList, ExtVolumesNamedAsBlkidNamesThem) {
  VANDREL_REQUIRE(test::HaveTool("blkid"), "blkid is needed as the reference");
  struct Case {
    const char* fixture;
    const char* expected;
  };
  const Case cases[] = {
      {"ext2_plain", "ext2"}, {"ext3_small", "ext3"}, {"ext4_small", "ext4"},
      {"ext4_nojournal", "ext4"}, {"mbr_fat_ext2", "ext2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fixture);
    VANDREL_FIXTURE(image, c.fixture);
    int extRows = 0;
    for (const auto& row : ListJson(image, false)) {
      if (!row.contains("start") || row["kind"] == pkUnallocated || row["addr"].get<std::string>().find(':') == std::string::npos)
        continue;
      std::string blkid;
      const std::string command = "blkid -p -o value -s TYPE -O " + std::to_string(row["start"].get<std::int64_t>() * 512) +
                                  " '" + image + "'";
      test::RunCommand(command, blkid);
      while (!blkid.empty() && std::isspace(static_cast<unsigned char>(blkid.back()))) blkid.pop_back();
      const std::string ours = row["type_name"];
      if (blkid.rfind("ext", 0) != 0 && ours.rfind("ext", 0) != 0) continue;
      EXPECT_EQ(ours, blkid) << row["addr"];
      EXPECT_EQ(ours, c.expected) << row["addr"];
      EXPECT_EQ(row["name"].get<std::string>().find("Linux native"), std::string::npos) << row["name"];
      ++extRows;
    }
    EXPECT_EQ(extRows, 1);
  }
}

}  // namespace
}  // namespace vandrel
