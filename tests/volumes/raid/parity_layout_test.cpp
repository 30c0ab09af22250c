// The parity chunk map of every RAID 4/5 placement: by the placements'
// rules on a small table, and against the arrays the md driver, IMSM and
// DDF metadata wrote (every chunk of each reference set found where the map
// says, the rest of its row holding parity).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>

#include "volumes/raid/parity_layout.h"
#include "support/fixtures.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;

TEST(ParityLayout, EveryPlacementOnFourMembers) {
  struct Case {
    TRaidLayout layout;
    int data[12];   // data member of chunks 0..11 (rows 0..3)
    int parity[4];  // parity member of rows 0..3
  };
  const Case cases[] = {
      {TRaidLayout::LeftAsymmetric, {0, 1, 2, 0, 1, 3, 0, 2, 3, 1, 2, 3}, {3, 2, 1, 0}},
      {TRaidLayout::RightAsymmetric, {1, 2, 3, 0, 2, 3, 0, 1, 3, 0, 1, 2}, {0, 1, 2, 3}},
      {TRaidLayout::LeftSymmetric, {0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3}, {3, 2, 1, 0}},
      {TRaidLayout::RightSymmetric, {1, 2, 3, 2, 3, 0, 3, 0, 1, 0, 1, 2}, {0, 1, 2, 3}},
      {TRaidLayout::ParityFirst, {1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3}, {0, 0, 0, 0}},
      {TRaidLayout::ParityLast, {0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2}, {3, 3, 3, 3}},
  };
  for (const Case& c : cases) {
    for (int chunk = 0; chunk < 16; ++chunk) {
      const auto place = MapParityChunk(c.layout, 4, chunk);
      ASSERT_TRUE(place.has_value());
      // Row 4 starts the rotation over.
      EXPECT_EQ(place->DataMember, c.data[chunk % 12]) << int(c.layout) << " chunk " << chunk;
      EXPECT_EQ(place->ParityMember, c.parity[chunk / 3 % 4]) << int(c.layout) << " chunk " << chunk;
      EXPECT_EQ(place->Row, chunk / 3);
    }
  }
}

TEST(ParityLayout, NothingToMap) {
  EXPECT_FALSE(MapParityChunk(TRaidLayout::ByFamily, 4, 0));
  EXPECT_FALSE(MapParityChunk(TRaidLayout::Interleaved, 4, 0));
  EXPECT_FALSE(MapParityChunk(TRaidLayout::LeftSymmetric, 1, 0));
  EXPECT_FALSE(MapParityChunk(TRaidLayout::LeftSymmetric, 0, 0));
  EXPECT_FALSE(MapParityChunk(TRaidLayout::LeftSymmetric, 3, -1));
  // The last chunk a 64-bit count can name still maps inside the array.
  const auto last = MapParityChunk(TRaidLayout::RightSymmetric, 17, std::numeric_limits<std::int64_t>::max());
  ASSERT_TRUE(last.has_value());
  EXPECT_LT(last->DataMember, 17);
  EXPECT_EQ(last->Row, std::numeric_limits<std::int64_t>::max() / 16);
}

struct ReferenceSet {
  const char* archive;
  TRaidLayout layout;
};

void PrintTo(const ReferenceSet& set, std::ostream* out) { *out << set.archive; }

class ParityLayoutReference : public ::testing::TestWithParam<ReferenceSet> {};

TEST_P(ParityLayoutReference, ChunksLieWhereTheMapSays) {
  const std::string archive = GetParam().archive;
  std::string why;
  const std::string folder = test::SharedFixtureDir("raid/" + archive, why);
  VANDREL_REQUIRE(!folder.empty(), why);
  const std::string stem = archive.substr(0, archive.find(".tar"));
  std::ifstream in(fs::path(VANDREL_SHARED_FIXTURES) / "raid" / (stem + ".manifest.json"));
  const nlohmann::json array = nlohmann::json::parse(in)["arrays"][0];
  const std::string name = array["name"];
  const std::int64_t chunk = array["chunk_sectors"];
  const std::int64_t sectors = array["size_sectors"];
  const auto count = static_cast<std::int32_t>(array["members"].size());
  std::vector<std::vector<std::uint8_t>> members(static_cast<std::size_t>(count));
  std::vector<std::int64_t> offsets(static_cast<std::size_t>(count));
  for (const auto& member : array["members"]) {
    const auto slot = member["slot"].get<std::size_t>();
    ASSERT_LT(slot, members.size());
    members[slot] = test::ReadFileBytes((fs::path(folder) / stem / member["image"].get<std::string>()).string());
    offsets[slot] = member["data_offset_sectors"];
  }
  const auto sectorOf = [&](std::int32_t member, std::int64_t sector) -> const std::uint8_t* {
    const std::vector<std::uint8_t>& bytes = members[static_cast<std::size_t>(member)];
    const auto at = static_cast<std::size_t>((offsets[static_cast<std::size_t>(member)] + sector) * 512);
    return at + 512 <= bytes.size() ? bytes.data() + at : nullptr;
  };
  std::int64_t wrong = 0;
  for (std::int64_t c = 0; c < sectors / chunk; ++c) {
    const auto place = MapParityChunk(GetParam().layout, count, c);
    ASSERT_TRUE(place.has_value());
    ASSERT_NE(place->DataMember, place->ParityMember);
    // Every sector of the chunk where the map puts it.
    for (std::int64_t o = 0; o < chunk; ++o) {
      const std::string expected = "ARRAY " + name + " LBA " + std::to_string(c * chunk + o) + "\n";
      const std::uint8_t* data = sectorOf(place->DataMember, place->Row * chunk + o);
      if (data == nullptr || std::memcmp(data, expected.data(), expected.size()) != 0) ++wrong;
    }
    // The parity member's sector of the row is no data, and is the XOR of the others.
    const std::uint8_t* parity = sectorOf(place->ParityMember, place->Row * chunk);
    ASSERT_NE(parity, nullptr);
    EXPECT_NE(std::memcmp(parity, "ARRAY ", 6), 0) << "chunk " << c;
    std::vector<std::uint8_t> sum(512, 0);
    for (std::int32_t m = 0; m < count; ++m) {
      const std::uint8_t* s = sectorOf(m, place->Row * chunk);
      ASSERT_NE(s, nullptr);
      for (std::size_t b = 0; b < 512; ++b) sum[b] ^= s[b];
    }
    EXPECT_TRUE(std::all_of(sum.begin(), sum.end(), [](std::uint8_t b) { return b == 0; })) << "row " << place->Row;
  }
  EXPECT_EQ(wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(Sets, ParityLayoutReference,
                         ::testing::Values(ReferenceSet{"md090-raid4.tar.zst", TRaidLayout::ParityLast},
                                           ReferenceSet{"md090-raid5-ls3.tar.zst", TRaidLayout::LeftSymmetric},
                                           ReferenceSet{"imsm-raid5.tar.zst", TRaidLayout::LeftAsymmetric},
                                           ReferenceSet{"ddf-raid5.tar.zst", TRaidLayout::LeftSymmetric}),
                         [](const ::testing::TestParamInfo<ReferenceSet>& param) {
                           std::string name = param.param.archive;
                           name = name.substr(0, name.find(".tar"));
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
}  // namespace vandrel
