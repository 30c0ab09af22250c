// Layout mapping, reading around absent members, nested layouts, damage
// states and the factory, on members held in memory whose every sector
// names its member and its sector.
#include <gtest/gtest.h>

#include <memory>

#include "common/log.h"
#include "volumes/raid/raid_storage.h"
#include "support/memory_disk.h"

namespace vandrel {
namespace {

using test::MemoryDisk;

// Sector j of member m starts with the bytes m, then j as 32 bits.
std::unique_ptr<MemoryDisk> TaggedMember(std::uint8_t member, std::int64_t sectors) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(sectors) * 512);
  for (std::int64_t j = 0; j < sectors; ++j) {
    std::uint8_t* s = bytes.data() + j * 512;
    s[0] = member;
    for (int b = 0; b < 4; ++b) s[1 + b] = static_cast<std::uint8_t>(j >> (8 * b));
  }
  return std::make_unique<MemoryDisk>(std::move(bytes));
}

struct Tag {
  int member;
  std::int64_t sector;
  bool operator==(const Tag&) const = default;
};

Tag TagOf(const std::uint8_t* s) {
  std::int64_t j = 0;
  for (int b = 0; b < 4; ++b) j |= std::int64_t{s[1 + b]} << (8 * b);
  return {s[0], j};
}

struct Array {
  std::vector<std::unique_ptr<MemoryDisk>> disks;
  TRaidInfo info;
};

Array MakeArray(TRaidType type, std::int32_t members, std::int32_t stripe, std::int64_t memberSectors,
                std::int64_t size, TRaidFamily base = TRaidFamily::Linux, TRaidLayout layout = TRaidLayout::ByFamily) {
  Array a;
  a.info.Name = "test";
  a.info.Type = type;
  a.info.Base = base;
  a.info.Layout = layout;
  a.info.DiskCount = members;
  a.info.StripeSize = stripe;
  a.info.SizeInSector = size;
  for (std::int32_t i = 0; i < members; ++i) {
    a.disks.push_back(TaggedMember(static_cast<std::uint8_t>(i), memberSectors));
    TRaidMember member;
    member.Disk = a.disks.back().get();
    member.Size = memberSectors;
    member.Index = static_cast<std::uint8_t>(i);
    a.info.Members.push_back(member);
  }
  return a;
}

class QuietLog : public ::testing::Test {
 protected:
  std::vector<std::string> lines;
  ScopedLogSink sink{[this](const std::string& line, int) { lines.push_back(line); }};
};

using RaidLayout = QuietLog;

TEST_F(RaidLayout, ParityPlacementsPutEachChunkOnItsMember) {
  // N = 4, one-sector chunks: the data member of chunks 0..11.
  struct Case {
    TRaidFamily base;
    TRaidLayout layout;
    int members[12];
  };
  const Case cases[] = {
      {TRaidFamily::Intel, TRaidLayout::ByFamily, {0, 1, 2, 0, 1, 3, 0, 2, 3, 1, 2, 3}},  // left-asymmetric
      {TRaidFamily::Linux, TRaidLayout::ByFamily, {0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3}},  // left-symmetric
      // The metadata's placement over the family's usual one.
      {TRaidFamily::Intel, TRaidLayout::RightAsymmetric, {1, 2, 3, 0, 2, 3, 0, 1, 3, 0, 1, 2}},
      {TRaidFamily::Linux, TRaidLayout::RightAsymmetric, {1, 2, 3, 0, 2, 3, 0, 1, 3, 0, 1, 2}},
      {TRaidFamily::Linux, TRaidLayout::LeftAsymmetric, {0, 1, 2, 0, 1, 3, 0, 2, 3, 1, 2, 3}},
      {TRaidFamily::Linux, TRaidLayout::RightSymmetric, {1, 2, 3, 2, 3, 0, 3, 0, 1, 0, 1, 2}},
  };
  for (const Case& c : cases) {
    Array a = MakeArray(TRaidType::Raid5, 4, 1, 8, 12, c.base, c.layout);
    auto layout = CreateRaidStorage(a.info);
    ASSERT_NE(layout, nullptr);
    ASSERT_TRUE(layout->Open(true, false, false));
    std::vector<std::uint8_t> buffer(12 * 512);
    ASSERT_TRUE(layout->ReadSectors(buffer.data(), 12, 0));
    for (int chunk = 0; chunk < 12; ++chunk)
      EXPECT_EQ(TagOf(buffer.data() + chunk * 512), (Tag{c.members[chunk], chunk / 3}))
          << "base " << int(c.base) << " layout " << int(c.layout) << " chunk " << chunk;
    layout->Close(false);
  }
}

TEST_F(RaidLayout, StripeReadAcrossAChunkBoundaryIsSplitBetweenMembers) {
  Array a = MakeArray(TRaidType::Stripe, 3, 128, 1024, 3072);
  auto layout = CreateRaidStorage(a.info);
  ASSERT_NE(layout, nullptr);
  layout->Open(true, false, false);
  std::vector<std::uint8_t> buffer(16 * 512);
  ASSERT_TRUE(layout->ReadSectors(buffer.data(), 16, 120));
  for (int i = 0; i < 16; ++i)
    EXPECT_EQ(TagOf(buffer.data() + i * 512), (i < 8 ? Tag{0, 120 + i} : Tag{1, i - 8})) << i;
  EXPECT_EQ(a.disks[0]->reads.back(), (std::pair<std::int64_t, std::int32_t>{120, 8}));
}

TEST_F(RaidLayout, AbsentMembers) {
  std::vector<std::uint8_t> buffer(4 * 512);
  // A stripe fails what touches an absent member's chunks, reads the rest.
  Array stripe = MakeArray(TRaidType::Stripe, 2, 4, 64, 128);
  stripe.info.Members[1].Disk = nullptr;
  auto layout = CreateRaidStorage(stripe.info);
  layout->Open(true, false, false);
  EXPECT_FALSE(layout->ReadSectors(buffer.data(), 4, 4));
  EXPECT_FALSE(layout->ReadSectors(buffer.data(), 4, 2));
  ASSERT_TRUE(layout->ReadSectors(buffer.data(), 4, 8));
  EXPECT_EQ(TagOf(buffer.data()), (Tag{0, 4}));

  // RAID 5 with two absent members fails what touches them, reads the rest.
  Array raid5 = MakeArray(TRaidType::Raid5, 4, 4, 64, 192, TRaidFamily::Intel);
  raid5.info.Members[1].Disk = nullptr;
  raid5.info.Members[2].Disk = nullptr;
  layout = CreateRaidStorage(raid5.info);
  layout->Open(true, false, false);
  EXPECT_TRUE(layout->ReadSectors(buffer.data(), 4, 0));   // chunk 0 on member 0
  EXPECT_FALSE(layout->ReadSectors(buffer.data(), 4, 4));  // chunk 1 on member 1

  // A mirror falls back to the next copy when the first read fails.
  Array mirror = MakeArray(TRaidType::Mirror, 2, 0, 64, 64);
  mirror.disks[0]->failReads = true;
  layout = CreateRaidStorage(mirror.info);
  layout->Open(true, false, false);
  ASSERT_TRUE(layout->ReadSectors(buffer.data(), 1, 5));
  EXPECT_EQ(TagOf(buffer.data()), (Tag{1, 5}));
}

TEST_F(RaidLayout, Raid5RebuildsAMissingMemberFromTheOthers) {
  Array a = MakeArray(TRaidType::Raid5, 3, 2, 16, 32, TRaidFamily::Intel);
  // Make member 2's first row the XOR of members 0 and 1, as parity is.
  for (std::size_t b = 0; b < 1024; ++b) a.disks[2]->Bytes()[b] = a.disks[0]->Bytes()[b] ^ a.disks[1]->Bytes()[b];
  const std::vector<std::uint8_t> original(a.disks[1]->Bytes().begin(), a.disks[1]->Bytes().begin() + 1024);
  a.info.Members[1].Disk = nullptr;
  auto layout = CreateRaidStorage(a.info);
  layout->Open(true, false, false);
  std::vector<std::uint8_t> buffer(2 * 512);
  ASSERT_TRUE(layout->ReadSectors(buffer.data(), 2, 2));  // chunk 1 lives on member 1, row 0
  EXPECT_EQ(buffer, original);
}

TEST_F(RaidLayout, NestedLayoutsTakeTheirHalvesAndPairs) {
  struct Case {
    TRaidType type;
    TRaidFamily base;
    Tag chunks[4];  // who serves chunks 0..3 (2-sector chunks, 4 members)
  };
  const Case cases[] = {
      // RAID 0+1 reads the second half first: Intel halves {0,2}, {1,3}.
      {TRaidType::Raid01, TRaidFamily::Intel, {{1, 0}, {3, 0}, {1, 2}, {3, 2}}},
      {TRaidType::Raid01, TRaidFamily::Via, {{2, 0}, {3, 0}, {2, 2}, {3, 2}}},
      // RAID 1+0 stripes over the pairs {0,1}, {2,3}.
      {TRaidType::Raid10, TRaidFamily::Linux, {{0, 0}, {2, 0}, {0, 2}, {2, 2}}},
  };
  for (const Case& c : cases) {
    Array a = MakeArray(c.type, 4, 2, 32, 16, c.base);
    auto layout = CreateRaidStorage(a.info);
    ASSERT_NE(layout, nullptr);
    layout->Open(true, false, false);
    std::vector<std::uint8_t> buffer(8 * 512);
    ASSERT_TRUE(layout->ReadSectors(buffer.data(), 8, 0));
    for (int chunk = 0; chunk < 4; ++chunk)
      EXPECT_EQ(TagOf(buffer.data() + chunk * 1024), c.chunks[chunk]) << int(c.type) << " chunk " << chunk;
    layout->Close(false);
  }
}

// A nested layout that lost a member still has every chunk in its other
// copy: a recoverable RAID 0+1 or 1+0 reads the same bytes as a whole one.
TEST_F(RaidLayout, NestedLayoutsReadAroundAnAbsentMember) {
  struct Case {
    TRaidType type;
    TRaidFamily base;
    int absent;
    Tag chunks[4];
  };
  const Case cases[] = {
      // Member 1 belongs to the half read first (Intel halves {0,2}, {1,3}).
      {TRaidType::Raid01, TRaidFamily::Intel, 1, {{0, 0}, {3, 0}, {0, 2}, {3, 2}}},
      {TRaidType::Raid01, TRaidFamily::Via, 3, {{2, 0}, {1, 0}, {2, 2}, {1, 2}}},
      {TRaidType::Raid10, TRaidFamily::Linux, 0, {{1, 0}, {2, 0}, {1, 2}, {2, 2}}},
  };
  for (const Case& c : cases) {
    Array a = MakeArray(c.type, 4, 2, 32, 16, c.base);
    a.info.Members[static_cast<std::size_t>(c.absent)].Disk = nullptr;
    auto layout = CreateRaidStorage(a.info);
    ASSERT_NE(layout, nullptr);
    layout->Open(true, false, false);
    std::vector<std::uint8_t> buffer(8 * 512);
    ASSERT_TRUE(layout->ReadSectors(buffer.data(), 8, 0)) << int(c.type);
    for (int chunk = 0; chunk < 4; ++chunk)
      EXPECT_EQ(TagOf(buffer.data() + chunk * 1024), c.chunks[chunk]) << int(c.type) << " chunk " << chunk;
    layout->Close(false);
  }
}

TEST_F(RaidLayout, SizesAndStartsFromMetadataAreHeldToTheMembers) {
  // Claimed size beyond the members: cut to what they hold.
  Array big = MakeArray(TRaidType::Stripe, 2, 4, 64, 1'000'000);
  auto layout = CreateRaidStorage(big.info);
  ASSERT_NE(layout, nullptr);
  EXPECT_EQ(layout->SectorCount, 128);
  // A member whose data would start past its end is left out.
  Array late = MakeArray(TRaidType::Mirror, 2, 0, 64, 64);
  late.info.Members[0].Start = 1'000'000;
  layout = CreateRaidStorage(late.info);
  layout->Open(true, false, false);
  std::vector<std::uint8_t> buffer(512);
  ASSERT_TRUE(layout->ReadSectors(buffer.data(), 1, 3));
  EXPECT_EQ(TagOf(buffer.data()), (Tag{1, 3}));
  EXPECT_FALSE(layout->ReadSectors(buffer.data(), 1, 64));
  // A span whose members all start at 0 follows the sizes; a member of
  // unknown size hides the ones after it.
  Array span = MakeArray(TRaidType::Span, 3, 0, 16, 48);
  span.info.Members[1].Size = 0;
  span.info.Members[1].Disk = nullptr;
  layout = CreateRaidStorage(span.info);
  layout->Open(true, false, false);
  EXPECT_TRUE(layout->ReadSectors(buffer.data(), 1, 15));
  EXPECT_FALSE(layout->ReadSectors(buffer.data(), 1, 16));
  EXPECT_FALSE(layout->ReadSectors(buffer.data(), 1, 40));
}

TEST_F(RaidLayout, FactoryRefusals) {
  Array a = MakeArray(TRaidType::Raid6, 4, 4, 16, 32, TRaidFamily::Ddf);
  EXPECT_EQ(CreateRaidStorage(a.info), nullptr);
  EXPECT_EQ(lines.back(), "AbstractRaid: Unknown Raid Type=8 Base=1 DiskCount=4");
  a.info.Type = TRaidType::Unknown;
  EXPECT_EQ(CreateRaidStorage(a.info), nullptr);
  a.info.Type = static_cast<TRaidType>(0x80 | static_cast<int>(TRaidType::Stripe));
  EXPECT_EQ(CreateRaidStorage(a.info), nullptr);
  EXPECT_EQ(lines.back(), "AbstractRaid: Unknown Raid Type=3 Base=1 DiskCount=4");
  const std::size_t before = lines.size();
  a.info.Type = TRaidType::Stripe;
  a.info.Name.clear();
  EXPECT_EQ(CreateRaidStorage(a.info), nullptr);
  EXPECT_EQ(lines.size(), before);
  // A striped layout without a stripe size cannot map a sector.
  a.info.Name = "x";
  a.info.StripeSize = 0;
  auto layout = CreateRaidStorage(a.info);
  ASSERT_NE(layout, nullptr);
  std::vector<std::uint8_t> buffer(512);
  EXPECT_FALSE(layout->ReadSectors(buffer.data(), 1, 0));
  // The layout ignores an unmount notice about itself.
  EXPECT_FALSE(layout->UnmountStorage(layout.get()));
  EXPECT_TRUE(layout->UnmountStorage(a.disks[0].get()));
}

TEST(RaidState, FromTheMemberTable) {
  struct Case {
    TRaidType type;
    TRaidFamily base;
    std::vector<bool> present;
    std::uint8_t state;
  };
  const Case cases[] = {
      {TRaidType::Stripe, TRaidFamily::Linux, {true, true}, rsOk},
      {TRaidType::Stripe, TRaidFamily::Linux, {true, false}, rsBroken},
      {TRaidType::Mirror, TRaidFamily::Linux, {false, true}, rsRecoverable},
      {TRaidType::Raid5, TRaidFamily::Linux, {true, false, true}, rsRecoverable},
      {TRaidType::Raid5, TRaidFamily::Linux, {false, false, true}, rsBroken},
      {TRaidType::Raid4, TRaidFamily::Linux, {true, true, false}, rsRecoverable},
      {TRaidType::Raid1E, TRaidFamily::Linux, {false, true, false, true}, rsRecoverable},
      {TRaidType::Raid1E, TRaidFamily::Linux, {true, false, false, true}, rsBroken},
      {TRaidType::Raid01, TRaidFamily::Intel, {false, true, true, true}, rsRecoverable},
      {TRaidType::Raid01, TRaidFamily::Intel, {false, false, true, true}, rsBroken},
      {TRaidType::Raid01, TRaidFamily::Via, {false, false, true, true}, rsRecoverable},
      {TRaidType::Raid10, TRaidFamily::Linux, {false, true, true, false}, rsRecoverable},
      {TRaidType::Raid10, TRaidFamily::Linux, {false, false, true, true}, rsBroken},
  };
  MemoryDisk disk(std::vector<std::uint8_t>(512));
  for (const Case& c : cases) {
    TRaidInfo info;
    info.Type = c.type;
    info.Base = c.base;
    for (bool p : c.present) info.Members.push_back(TRaidMember{p ? &disk : nullptr});
    info.DiskCount = static_cast<std::int32_t>(info.Members.size());
    EXPECT_EQ(ComputeRaidState(info), c.state) << int(c.type) << " " << ::testing::PrintToString(c.present);
  }
  EXPECT_EQ(RaidStateName(rsRecoverable), "Recoverable");
  EXPECT_EQ(RaidTypeName(TRaidType::Raid01, true), "Raid 0+1 (Stripe Mirroring)");
  EXPECT_EQ(RaidTypeName(static_cast<TRaidType>(0x80 | static_cast<int>(TRaidType::Stripe)), false), "Stripe");
  EXPECT_EQ(RaidTypeName(static_cast<TRaidType>(11), false), "");
}

}  // namespace
}  // namespace vandrel
