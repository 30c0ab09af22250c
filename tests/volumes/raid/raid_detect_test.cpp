// Detectors on damaged metadata: real members from the reference sets,
// altered byte by byte, must give sane records or none, never a crash.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "common/endian.h"
#include "common/log.h"
#include "volumes/raid/raid_detect.h"
#include "volumes/raid/raid_manager.h"
#include "support/fixtures.h"
#include "support/memory_disk.h"

namespace vandrel {
namespace {

using test::MemoryDisk;

std::vector<std::uint8_t> MemberBytes(const std::string& archive, const std::string& image, std::string& why) {
  const std::string folder = test::SharedFixtureDir("raid/" + archive, why);
  if (folder.empty()) return {};
  const std::string stem = archive.substr(0, archive.find(".tar"));
  std::filesystem::path path = std::filesystem::path(folder) / stem / image;
  if (!std::filesystem::exists(path)) path = std::filesystem::path(folder) / image;
  return test::ReadFileBytes(path.string());
}

TRaidInfoArray Detect(MemoryDisk& disk, bool* found = nullptr) {
  std::vector<std::uint8_t> tail(kRaidTailBytes);
  const std::int64_t n = static_cast<std::int64_t>(kRaidTailBytes) / disk.SectorSize;
  EXPECT_TRUE(disk.ReadSectors(tail.data(), static_cast<std::int32_t>(n), disk.SectorCount - n));
  TRaidInfoArray list;
  const bool any = DetectRaid(tail, &disk, list);
  if (found != nullptr) *found = any;
  return list;
}

void Put32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (int b = 0; b < 4; ++b) bytes[at + static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(value >> (8 * b));
}

std::uint32_t Get32(const std::vector<std::uint8_t>& bytes, std::size_t at) { return Le32(bytes, at); }

class RaidDetect : public ::testing::Test {
 protected:
  std::vector<std::string> lines;
  ScopedLogSink sink{[this](const std::string& line, int) { lines.push_back(line); }};
};

// ---------------------------------------------------------------- md 0.90

struct MdMember {
  std::vector<std::uint8_t> bytes;
  std::size_t sb = 0;
  std::uint32_t Word(std::size_t w) const { return Get32(bytes, sb + 4 * w); }
  void SetWord(std::size_t w, std::uint32_t v) { Put32(bytes, sb + 4 * w, v); }
  // The stored checksum that makes the plain sum twice the stored value.
  void Reseal() {
    std::uint32_t sum = 0;
    for (std::size_t w = 0; w < 1024; ++w)
      if (w != 38) sum += Word(w);
    SetWord(38, sum);
  }
};

MdMember LoadMd(const std::string& archive, std::string& why) {
  MdMember m;
  m.bytes = MemberBytes(archive, "m0.img", why);
  if (!m.bytes.empty()) m.sb = (m.bytes.size() / 512 / 128 * 128 - 128) * 512;
  return m;
}

TEST_F(RaidDetect, LinuxChecksumMargins) {
  std::string why;
  MdMember m = LoadMd("md090-raid5-ls3.tar.zst", why);
  VANDREL_REQUIRE(!m.bytes.empty(), why);
  struct Case {
    std::uint32_t delta;
    bool accepted;
  };
  // The kernel's sum (with carries) matches twice the stored value exactly
  // on this member, the plain sum is 3 below it.
  for (const Case& c : {Case{3, true}, Case{0xFFFFFFFD, true}, Case{8, false}, Case{0x1000, false}}) {
    MdMember altered = m;
    altered.SetWord(20, altered.Word(20) + c.delta);  // a reserved word, outside the array's key
    MemoryDisk disk(altered.bytes);
    lines.clear();
    bool found = false;
    const TRaidInfoArray list = Detect(disk, &found);
    EXPECT_EQ(found, c.accepted) << c.delta;
    EXPECT_EQ(list.size(), c.accepted ? 1u : 0u);
    if (!c.accepted) {
      ASSERT_EQ(lines.size(), 3u);
      EXPECT_EQ(lines[0], "Linux detect. CheckSum Error");
      EXPECT_TRUE(lines[1].starts_with("Linux.Detect.CheckSum linux: "));
      EXPECT_TRUE(lines[2].starts_with("Linux.Detect.CheckSum default: "));
    }
  }
}

TEST_F(RaidDetect, LinuxOddFieldsGiveSaneRecords) {
  std::string why;
  MdMember m = LoadMd("md090-raid5-ls3.tar.zst", why);
  VANDREL_REQUIRE(!m.bytes.empty(), why);
  struct Case {
    std::int32_t level;
    std::uint32_t disks;
    std::uint32_t layout;
    std::uint32_t sizeKib;
    TRaidType type;
    std::int32_t diskCount;
    TRaidLayout placement = TRaidLayout::ByFamily;
    const char* logged = nullptr;  // the line that says why a layout is refused
  };
  const Case cases[] = {
      {5, 255, 2, 8128, TRaidType::Raid5, 16, TRaidLayout::LeftSymmetric},   // huge member count: clamped
      {5, 0, 2, 8128, TRaidType::Raid5, 3, TRaidLayout::LeftSymmetric},      // zero member count
      {5, 3, 0, 8128, TRaidType::Raid5, 3, TRaidLayout::LeftAsymmetric},     // the md parity algorithms 0 to 3
      {5, 3, 1, 8128, TRaidType::Raid5, 3, TRaidLayout::RightAsymmetric},
      {5, 3, 3, 8128, TRaidType::Raid5, 3, TRaidLayout::RightSymmetric},
      {1, 3, 0, 8128, TRaidType::Mirror, 2},                                 // three-way mirror read as two
      {10, 4, 0x201, 8128, TRaidType::Unknown, 4, TRaidLayout::ByFamily,     // far copies: refused
       "Linux raid 10 layout 0x201 (far or offset copies) is not supported"},
      {10, 4, 0x10102, 8128, TRaidType::Unknown, 4, TRaidLayout::ByFamily,   // offset copies: refused
       "Linux raid 10 layout 0x10102 (far or offset copies) is not supported"},
      {10, 3, 0x102, 8128, TRaidType::Raid1E, 3, TRaidLayout::Interleaved},  // near copies on an odd count
      {5, 3, 7, 8128, TRaidType::Unknown, 3, TRaidLayout::ByFamily, "Linux raid 5 layout 7 is not supported"},
      {5, 3, 2, 0xFFFFFFFF, TRaidType::Raid5, 3, TRaidLayout::LeftSymmetric},  // size past the member
      {9, 3, 0, 8128, TRaidType::Unknown, 3},
  };
  for (const Case& c : cases) {
    MdMember altered = m;
    altered.SetWord(7, static_cast<std::uint32_t>(c.level));
    altered.SetWord(10, c.disks);
    altered.SetWord(64, c.layout);
    altered.SetWord(8, c.sizeKib);
    altered.Reseal();
    MemoryDisk disk(altered.bytes);
    lines.clear();
    const TRaidInfoArray list = Detect(disk);
    ASSERT_EQ(list.size(), 1u) << c.level << "/" << c.disks;
    if (c.logged != nullptr) {
      EXPECT_NE(std::find(lines.begin(), lines.end(), c.logged), lines.end()) << c.logged;
    }
    const TRaidInfo& info = list[0];
    EXPECT_EQ(info.Type, c.type) << c.level << "/" << c.disks;
    EXPECT_EQ(info.DiskCount, c.diskCount) << c.level << "/" << c.disks;
    EXPECT_EQ(info.Layout, c.placement) << c.level << "/" << c.layout;
    EXPECT_EQ(static_cast<std::int32_t>(info.Members.size()), info.DiskCount);
    // Nothing claims member sectors beyond the superblock.
    for (const TRaidMember& member : info.Members) EXPECT_LE(member.Size, static_cast<std::int64_t>(m.sb / 512));
    // Whatever came out builds a layout that reads inside its members, or none.
    if (auto layout = CreateRaidStorage(info)) {
      layout->Open(true, false, false);
      std::vector<std::uint8_t> buffer(512);
      for (std::int64_t s : {std::int64_t{0}, layout->SectorCount / 2, layout->SectorCount - 1})
        if (s >= 0) layout->ReadSectors(buffer.data(), 1, s);
      EXPECT_LE(layout->SectorCount, static_cast<std::int64_t>(m.sb / 512) * info.DiskCount);
    }
  }
}

// ------------------------------------------------------------------ Intel

struct ImsmMember {
  std::vector<std::uint8_t> bytes;
  std::size_t SectorOf(std::size_t at) const {
    const std::size_t n = bytes.size() / 512;
    return (at < 512 ? (n - 2) * 512 + at : (n - 3) * 512 + at - 512);
  }
  std::uint8_t& Byte(std::size_t at) { return bytes[SectorOf(at)]; }
  std::uint32_t Get(std::size_t at) const { return Get32(bytes, SectorOf(at)); }
  void Set(std::size_t at, std::uint32_t v) {
    for (int b = 0; b < 4; ++b) Byte(at + static_cast<std::size_t>(b)) = static_cast<std::uint8_t>(v >> (8 * b));
  }
  void Reseal() {
    std::uint32_t sum = 0;
    for (std::size_t w = 0; w < std::min<std::uint32_t>(Get(36), 1024) / 4; ++w)
      if (w != 8) sum += Get(4 * w);
    Set(32, sum);
  }
};

TEST_F(RaidDetect, IntelDamageAndSerials) {
  std::string why;
  ImsmMember m{MemberBytes("imsm-raid0.tar.zst", "m0.img", why)};
  VANDREL_REQUIRE(!m.bytes.empty(), why);
  const std::size_t volume = 216 + 48 * 2;
  {
    // Checksum off: refused with its line.
    ImsmMember altered = m;
    altered.Set(32, altered.Get(32) + 1);
    MemoryDisk disk(altered.bytes);
    EXPECT_TRUE(Detect(disk).empty());
    EXPECT_EQ(lines.back(), "Intel.CheckSum Error");
  }
  {
    // A member count of 255, a size past every member, a start past the end.
    ImsmMember altered = m;
    altered.Byte(volume + 128) = 255;
    altered.Set(volume + 16, 0xFFFFFFF0);
    altered.Set(volume + 20, 0x7FFFFFFF);
    altered.Set(volume + 112, 0xFFFFFF00);
    altered.Reseal();
    MemoryDisk disk(altered.bytes);
    const TRaidInfoArray list = Detect(disk);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].DiskCount, 16);
    EXPECT_EQ(list[0].Members.size(), 16u);
    TRaidInfo info = list[0];
    info.Members[0].Disk = &disk;
    auto layout = CreateRaidStorage(info);
    ASSERT_NE(layout, nullptr);
    // No member holds data: nothing to cut against, but the size stays one
    // that 64-bit sector arithmetic can serve.
    EXPECT_GT(layout->SectorCount, 0);
    EXPECT_LE(layout->SectorCount, INT64_MAX / 4);
    layout->Open(true, false, false);
    std::vector<std::uint8_t> buffer(512);
    // Sector 0 lies on a member without data: the read fails, nothing is
    // made up.
    EXPECT_FALSE(layout->ReadSectors(buffer.data(), 1, 0));
  }
}

// ------------------------------------------------------------------- DDF

TEST_F(RaidDetect, DdfSectionsPastTheEndAreNotRead) {
  std::string why;
  std::vector<std::uint8_t> bytes = MemberBytes("ddf-raid5.tar.zst", "m0.img", why);
  VANDREL_REQUIRE(!bytes.empty(), why);
  const std::size_t anchor = bytes.size() - 512;
  const auto setBe32 = [&](std::size_t at, std::uint32_t v) {
    for (int b = 0; b < 4; ++b) bytes[anchor + at + static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(v >> (24 - 8 * b));
  };
  {
    MemoryDisk disk(bytes);
    const TRaidInfoArray list = Detect(disk);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].Name, "ddf-r5");
    EXPECT_EQ(list[0].Layout, TRaidLayout::LeftSymmetric);
  }
  {
    // The RAID level qualifier of the configuration record places the parity.
    std::vector<std::size_t> configs;  // the primary and the secondary copy
    for (std::size_t at = 0; at + 512 <= bytes.size(); at += 512)
      if (Be32(bytes, at) == 0xEEEEEEEE && bytes[at + 67] == 5) configs.push_back(at);
    ASSERT_FALSE(configs.empty());
    struct Case {
      std::uint8_t qualifier;
      TRaidLayout placement;
    };
    for (const Case& c : {Case{0, TRaidLayout::RightAsymmetric}, Case{2, TRaidLayout::LeftAsymmetric},
                          Case{3, TRaidLayout::LeftSymmetric}, Case{1, TRaidLayout::ByFamily}}) {
      std::vector<std::uint8_t> altered = bytes;
      for (std::size_t config : configs) altered[config + 68] = c.qualifier;
      MemoryDisk disk(altered);
      const TRaidInfoArray list = Detect(disk);
      ASSERT_EQ(list.size(), 1u);
      EXPECT_EQ(list[0].Layout, c.placement) << int(c.qualifier);
    }
  }
  for (std::size_t field : {std::size_t{0xC8}, std::size_t{0xCC}, std::size_t{0xD8}, std::size_t{0xE0}}) {
    std::vector<std::uint8_t> saved = bytes;
    setBe32(field, 0xFFFFFFF0);
    MemoryDisk disk(bytes);
    bool found = true;
    EXPECT_TRUE(Detect(disk, &found).empty()) << field;
    EXPECT_FALSE(found);
    bytes = saved;
  }
}

// ---------------------------------------------------------------- Names

TEST(RaidNames, BlanksTrimmedCollapsedAndEmptyNamesNumbered) {
  TRaidInfoArray list(4);
  list[0].Name = "   ";
  list[1].Name = "  my   big\tarray  ";
  list[2].Name = "";
  list[3].Name = "ok";
  NormalizeRaidNames(list);
  EXPECT_EQ(list[0].Name, "Raid Array 1");
  EXPECT_EQ(list[1].Name, "my big\tarray");
  EXPECT_EQ(list[2].Name, "Raid Array 2");
  EXPECT_EQ(list[3].Name, "ok");
}

}  // namespace
}  // namespace vandrel
