#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "common/log.h"
#include "volumes/ldm/ldm_parse.h"
#include "volumes/ldm/ldm_builder.h"
#include "volumes/ldm/ldmtool_view.h"
#include "support/fixtures.h"
#include "support/memory_disk.h"

namespace vandrel {
namespace {

using test::ComponentFields;
using test::DiskFields;
using test::LdmArea;
using test::PartitionFields;
using test::VblkSlots;
using test::VolumeFields;

// The last 1 MiB of an image: where an MBR-style disk keeps its database.
std::vector<std::uint8_t> ImageTail(const std::string& path, std::int64_t& firstSector) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const std::int64_t size = in.tellg();
  std::vector<std::uint8_t> bytes(kLdmAreaBytes);
  in.seekg(size - static_cast<std::int64_t>(kLdmAreaBytes));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  firstSector = (size - static_cast<std::int64_t>(kLdmAreaBytes)) / 512;
  return bytes;
}

struct ParsedDisk {
  TPrivHead head;
  TLdmTree tree;
};

// Parses an image's database the way detection does.
bool ParseImage(const std::string& path, ParsedDisk& out) {
  std::int64_t first = 0;
  const auto bytes = ImageTail(path, first);
  const ByteSpan buffer(bytes);
  if (!ParsePrivHead(buffer.last(512), out.head)) return false;
  LdmVblkArea area;
  if (LocateVblkArea(buffer, first, 512, out.head, area) != LdmAreaStatus::kOk) return false;
  out.tree.BuildLdmTree(buffer.subspan(area.Offset), area.Length);
  return true;
}

const TNode* ByName(const TArrayTNode& nodes, const std::string& name) {
  for (const auto& node : nodes)
    if (node.Vblk.Name == name) return &node;
  return nullptr;
}

// Names of a volume's partitions in child-list order.
std::vector<std::string> PartitionNames(const TLdmTree& tree, const TNode& volume) {
  std::vector<std::string> names;
  for (std::int32_t c = volume.FirstChild; c >= 0; c = tree.Components[static_cast<std::size_t>(c)].Next)
    for (std::int32_t p = tree.Components[static_cast<std::size_t>(c)].FirstChild; p >= 0;
         p = tree.Partitions[static_cast<std::size_t>(p)].Next)
      names.push_back(tree.Partitions[static_cast<std::size_t>(p)].Vblk.Name);
  return names;
}

TEST(LdmParse, GeneratedGroupDatabase) {
  std::string why;
  const std::string dir = test::SharedFixtureDir("ldm/generated-mbr.tar.xz", why);
  VANDREL_REQUIRE(!dir.empty(), why);
  ParsedDisk disk;
  ASSERT_TRUE(ParseImage(dir + "/ldm-mbr-disk1.img", disk));
  EXPECT_EQ(disk.head.DiskId, "962fc6ae-597a-59fc-8ceb-00bcd7a6c80e");
  EXPECT_EQ(disk.head.DiskGroupName, "FIXTURE-Dg0");
  EXPECT_EQ(disk.head.LogicalDiskStart, 63u);
  EXPECT_EQ(disk.head.ConfigStart, 129024u);
  const TLdmTree& tree = disk.tree;
  EXPECT_EQ(tree.Volumes.size(), 5u);
  EXPECT_EQ(tree.Components.size(), 6u);
  EXPECT_EQ(tree.Partitions.size(), 10u);
  EXPECT_EQ(tree.Disks.size(), 3u);

  // The record split into three fragments.
  const TNode* simple = ByName(tree.Volumes, "Volume1");
  ASSERT_NE(simple, nullptr);
  EXPECT_EQ(simple->Vblk.RecordCount, 3);
  EXPECT_EQ(simple->Vblk.Volume.DriveHint,
            "C:\\Mount Points\\Reference Fixtures\\LDM\\Simple volume with a deliberately long mount point path so "
            "that its VBLK record must be split into three fragments\\");
  EXPECT_EQ(simple->Vblk.Volume.Size, 16384u);

  const TNode* striped = ByName(tree.Volumes, "Volume3");
  ASSERT_NE(striped, nullptr);
  EXPECT_EQ(PartitionNames(tree, *striped), (std::vector<std::string>{"Disk3-01", "Disk2-02"}));
  const TNode& stripeComponent = tree.Components[static_cast<std::size_t>(striped->FirstChild)];
  EXPECT_EQ(stripeComponent.Vblk.Component.ComponentType, kLdmComponentStripe);
  EXPECT_EQ(stripeComponent.Vblk.Component.StripeSize, 128u);
  EXPECT_EQ(stripeComponent.Vblk.Component.ColumnCount, 2u);

  const TNode* part = ByName(tree.Partitions, "Disk3-01");
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->Vblk.Partition.Start, 0u);
  EXPECT_EQ(part->Vblk.Partition.Size, 16384u);
  EXPECT_EQ(part->Vblk.Partition.Index, 1u);
  ASSERT_NE(tree.DiskOf(*part), nullptr);
  EXPECT_EQ(VblkDiskIdent(tree.DiskOf(*part)->Vblk), "541e5b9d-3a33-5f5a-97dc-e4d3172fb2d4");

  const TNode* spanPart = ByName(tree.Partitions, "Disk1-02");
  ASSERT_NE(spanPart, nullptr);
  EXPECT_EQ(spanPart->Vblk.Partition.Start, 16384u);
  EXPECT_EQ(spanPart->Vblk.Partition.VolumeOffset, 12288u);

  const TNode* mirror = ByName(tree.Volumes, "Volume5");
  ASSERT_NE(mirror, nullptr);
  EXPECT_EQ(mirror->Vblk.Volume.ComponentCount, 2u);
  EXPECT_EQ(PartitionNames(tree, *mirror), (std::vector<std::string>{"Disk1-04", "Disk3-03"}));
}

TEST(LdmParse, Windows2003Database) {
  std::string why;
  const std::string dir = test::SharedFixtureDir("ldm/windows-2003r2.tar.xz", why);
  VANDREL_REQUIRE(!dir.empty(), why);
  ParsedDisk disk;
  ASSERT_TRUE(ParseImage(dir + "/ldm-2003r2-simple-1.img", disk));
  EXPECT_EQ(disk.head.DiskId, "d17c2c04-6afc-46c3-84b7-cdc2f3956c5c");
  EXPECT_EQ(disk.head.DiskGroupName, "Red-nzv8x6obywgDg0");
  const TLdmTree& tree = disk.tree;
  EXPECT_EQ(tree.Volumes.size(), 6u);
  EXPECT_EQ(tree.Components.size(), 7u);
  EXPECT_EQ(tree.Partitions.size(), 12u);
  EXPECT_EQ(tree.Disks.size(), 10u);  // two-fragment records each

  // Volume sizes and hints as ldmtool shows them.
  const std::map<std::string, std::pair<std::uint64_t, std::string>> volumes = {
      {"Volume1", {96256, "E:"}},  {"Volume2", {192512, "F:"}}, {"Stripe1", {122880, "G:"}},
      {"Volume3", {96256, "H:"}},  {"Raid1", {192512, "I:"}},   {"Volume4", {69632, "J:"}},
  };
  for (const auto& [name, expected] : volumes) {
    const TNode* volume = ByName(tree.Volumes, name);
    ASSERT_NE(volume, nullptr) << name;
    EXPECT_EQ(volume->Vblk.Volume.Size, expected.first) << name;
    EXPECT_EQ(volume->Vblk.Volume.DriveHint, expected.second) << name;
  }
  const TNode* raid = ByName(tree.Volumes, "Raid1");
  EXPECT_EQ(raid->Vblk.Volume.VolumeType, "raid5");
  const TNode& raidComponent = tree.Components[static_cast<std::size_t>(raid->FirstChild)];
  EXPECT_EQ(raidComponent.Vblk.Component.ComponentType, kLdmComponentRaid5);
  EXPECT_EQ(raidComponent.Vblk.Component.ColumnCount, 3u);
  EXPECT_EQ(PartitionNames(tree, *raid), (std::vector<std::string>{"Disk10-01", "Disk9-01", "Disk8-01"}));
  EXPECT_EQ(ByName(tree.Partitions, "Disk8-01")->Vblk.Partition.Index, 2u);
  EXPECT_EQ(PartitionNames(tree, *ByName(tree.Volumes, "Volume3")),
            (std::vector<std::string>{"Disk6-01", "Disk7-01"}));
  const TNode* span = ByName(tree.Partitions, "Disk5-02");
  EXPECT_EQ(span->Vblk.Partition.Start, 61440u);
  EXPECT_EQ(span->Vblk.Partition.VolumeOffset, 34816u);
  EXPECT_EQ(VblkDiskIdent(tree.DiskOf(*span)->Vblk), "ce97d979-fabb-4e9b-b44c-7d9580ae1f53");
}

std::string MemberIdent(const TRaidMember& member) {
  return LoadText(ByteSpan(member.Ident), 0, member.Ident.size());
}

// Every volume of a reference set as ldmtool reports it: type, size, chunk
// and members (disk, start, and with the disk attached, the member's first
// sector on it).
TEST(LdmCandidates, MatchLdmtoolView) {
  struct Set {
    const char* archive;
    const char* view;
  };
  const Set sets[] = {
      {"ldm/generated-mbr.tar.xz", "generated-mbr"},
      {"ldm/windows-2003r2.tar.xz", "windows-2003r2-simple"},
      {"ldm/windows-2003r2.tar.xz", "windows-2003r2-spanned"},
      {"ldm/windows-2003r2.tar.xz", "windows-2003r2-striped"},
      {"ldm/windows-2003r2.tar.xz", "windows-2003r2-mirrored"},
      {"ldm/windows-2003r2.tar.xz", "windows-2003r2-raid5"},
  };
  for (const Set& set : sets) {
    SCOPED_TRACE(set.view);
    std::string why;
    const std::string dir = test::SharedFixtureDir(set.archive, why);
    VANDREL_REQUIRE(!dir.empty(), why);
    const test::LdmtoolView view =
        test::LoadLdmtoolView(std::string(VANDREL_SHARED_FIXTURES) + "/ldm/" + set.view + ".ldmtool.json");
    TRaidInfoArray list;
    // Stand-ins for the devices.
    std::vector<std::unique_ptr<test::MemoryDisk>> devices;
    std::string group;
    for (std::size_t i = 0; i < view.images.size(); ++i) {
      ParsedDisk disk;
      ASSERT_TRUE(ParseImage(dir + "/" + view.images[i], disk));
      devices.push_back(std::make_unique<test::MemoryDisk>(std::vector<std::uint8_t>{}));
      TStorage* device = devices.back().get();
      group = disk.head.DiskGroupName;
      if (MatchLdmDisk(list, device, disk.head.DiskId, disk.head.DiskGroupName, disk.head.LogicalDiskStart))
        continue;
      disk.tree.BuildLdmCandidates(list);
      EXPECT_TRUE(MatchLdmDisk(list, device, disk.head.DiskId, disk.head.DiskGroupName, disk.head.LogicalDiskStart));
    }
    ASSERT_EQ(list.size(), view.volumes.size());
    for (const auto& volume : view.volumes) {
      SCOPED_TRACE(volume.name);
      const auto found = std::find_if(list.begin(), list.end(), [&](const TRaidInfo& c) { return c.Name == volume.hint; });
      ASSERT_NE(found, list.end());
      const TRaidInfo& info = *found;
      EXPECT_EQ(info.Type, test::LdmtoolType(volume.type));
      EXPECT_EQ(info.Base, TRaidFamily::Ldm);
      EXPECT_EQ(info.SizeInSector, volume.size);
      if (info.Type == TRaidType::Stripe || info.Type == TRaidType::Raid5) {
        EXPECT_EQ(info.StripeSize, volume.chunk);
      }
      ASSERT_EQ(info.DiskCount, static_cast<std::int32_t>(volume.partitions.size()));
      std::vector<std::string> expected, actual;
      for (std::size_t m = 0; m < volume.partitions.size(); ++m) {
        const auto& part = view.partitions.at(volume.partitions[m]);
        const auto& disk = view.disks.at(part.disk);
        expected.push_back(disk.guid + "@" + std::to_string(part.start) + "+" + std::to_string(part.size));
        const TRaidMember& member = info.Members[m];
        actual.push_back(MemberIdent(member) + "@" + std::to_string(member.Start) + "+" + std::to_string(member.Size));
        // Present disks are attached; the member begins in the disk's data area.
        const TRaidMember* own = nullptr;
        for (const auto& candidate : info.Members)
          if (MemberIdent(candidate) == disk.guid && candidate.Start == part.start) own = &candidate;
        ASSERT_NE(own, nullptr);
        EXPECT_EQ(own->Disk != nullptr, disk.present);
        if (disk.present) {
          EXPECT_EQ(own->Offset + own->Start, disk.dataStart + part.start);
        }
      }
      // ldmtool lists spanned parts in database order; they are read in volume order.
      if (info.Type == TRaidType::Span) {
        std::sort(expected.begin(), expected.end());
        std::sort(actual.begin(), actual.end());
        for (std::size_t m = 1; m < info.Members.size(); ++m)
          EXPECT_EQ(info.Members[m].VolumeStart, info.Members[m - 1].VolumeStart + info.Members[m - 1].Size);
      }
      EXPECT_EQ(actual, expected);
      // The group's name once, for volumes of which some disk was seen.
      const bool anyPresent =
          std::any_of(info.Members.begin(), info.Members.end(), [](const TRaidMember& m) { return m.Disk != nullptr; });
      EXPECT_EQ(info.Vendor, anyPresent ? group + " (Dynamic Disk)" : std::string("Dynamic Disk"));
    }
  }
}

// A database with one volume of one component and two partitions, the
// volume record long enough for three fragments.
LdmArea SmallDatabase(std::vector<std::size_t> fragmentOrder) {
  LdmArea area;
  area.PrivHead("disk-a", "Group", 63, 0);
  area.Toc();
  area.Vmdb(200);
  const std::string hint(200, 'h');
  const auto volume = VblkSlots(10, 7, kVblkVolume, 0x02, VolumeFields(1, "Volume1", 1, 300, hint));
  EXPECT_EQ(volume.size(), 3u);
  area.Slot(VblkSlots(1, 1, kVblkComponent, 0, ComponentFields(2, "Volume1-01", kLdmComponentSpanned, 2, 1, 0, 0))[0]);
  for (std::size_t k : fragmentOrder) {
    area.Slot(volume[k]);
    area.Slot(VblkSlots(20 + static_cast<std::uint32_t>(k), 30 + static_cast<std::uint32_t>(k), kVblkPartition, 0,
                        PartitionFields(3 + k, "P" + std::to_string(k), 0, 0, 100, 2, 9, 0))[0]);
  }
  area.Slot(VblkSlots(40, 40, kVblkDisk, 0, DiskFields(9, "Disk1", "disk-a"))[0]);
  return area;
}

TEST(LdmParse, FragmentsJoinInAnyOrder) {
  for (const auto& order : std::vector<std::vector<std::size_t>>{{0, 1, 2}, {2, 0, 1}, {1, 2, 0}, {2, 1, 0}}) {
    LdmArea area = SmallDatabase(order);
    TLdmTree tree;
    tree.BuildLdmTree(ByteSpan(area.bytes).subspan(18 * 512), 64 * 128);
    ASSERT_EQ(tree.Volumes.size(), 1u) << order[0] << order[1] << order[2];
    EXPECT_EQ(tree.Volumes[0].Vblk.Volume.DriveHint, std::string(200, 'h'));
    EXPECT_EQ(tree.Volumes[0].Vblk.Volume.Size, 300u);
    EXPECT_EQ(PartitionNames(tree, tree.Volumes[0]).size(), 3u);
  }
}

TEST(LdmParse, IncompleteAndStrayFragmentsAreDropped) {
  LdmArea area = SmallDatabase({0, 2});  // fragment 1 never arrives
  // A fragment numbered past its record's count, and a repeated fragment.
  auto stray = VblkSlots(50, 51, kVblkDisk, 0, DiskFields(8, "Disk2", std::string(150, 'x')));
  ASSERT_EQ(stray.size(), 2u);
  test::PutBe(stray[1], 12, 5, 2);
  area.Slot(stray[0]);
  area.Slot(stray[0]);
  area.Slot(stray[1]);
  TLdmTree tree;
  tree.BuildLdmTree(ByteSpan(area.bytes).subspan(18 * 512), 64 * 128);
  EXPECT_TRUE(tree.Volumes.empty());
  EXPECT_EQ(tree.Disks.size(), 1u);  // only the whole disk record
  EXPECT_EQ(tree.Partitions.size(), 2u);
}

TEST(LdmParse, FieldEncodings) {
  // A size above 2^32 sectors needs five bytes.
  auto slots = VblkSlots(1, 1, kVblkPartition, 0, PartitionFields(5, "Big", 1, 2, 0x123456789AULL, 6, 7, 3));
  TVBLK record;
  ASSERT_TRUE(ParseVblk(slots[0], record));
  EXPECT_EQ(record.Partition.Size, 0x123456789AULL);
  EXPECT_EQ(record.Partition.ParentComponentId, 6u);
  EXPECT_EQ(record.Partition.DiskId, 7u);
  EXPECT_EQ(record.Partition.Index, 3u);

  // An empty alternate name still consumes its length byte.
  test::LdmFields disk = DiskFields(4, "Disk1", "id-text", "");
  ASSERT_TRUE(ParseVblk(VblkSlots(1, 1, kVblkDisk, 0, disk)[0], record));
  EXPECT_EQ(record.Disk.DiskId, "id-text");
  EXPECT_TRUE(record.Disk.AltName.empty());

  // A record cut short: the fields past its data length read as zero.
  slots = VblkSlots(1, 1, kVblkPartition, 0, PartitionFields(5, "Cut", 1, 2, 3, 6, 7, 3));
  test::PutBe(slots[0], 20, 2 + 4 + 4 + 8 + 8 + 8, 4);  // ends after the volume offset
  ASSERT_TRUE(ParseVblk(slots[0], record));
  EXPECT_EQ(record.Partition.VolumeOffset, 2u);
  EXPECT_EQ(record.Partition.Size, 0u);
  EXPECT_EQ(record.Partition.DiskId, 0u);

  // A data length past the slot stops at the slot's end.
  test::PutBe(slots[0], 20, 0xFFFFFFFFu, 4);
  ASSERT_TRUE(ParseVblk(slots[0], record));
  EXPECT_EQ(record.Partition.Size, 3u);

  // GUID-form disk records match PRIVHEAD's text form.
  test::LdmFields guidDisk;
  guidDisk.VarInt(4).VarString("Disk1");
  for (int i = 0; i < 16; ++i) guidDisk.Fixed(static_cast<std::uint64_t>(0xA0 + i), 1);
  ASSERT_TRUE(ParseVblk(VblkSlots(1, 1, kVblkDiskGuid, 0, guidDisk)[0], record));
  EXPECT_EQ(VblkDiskIdent(record), "a0a1a2a3-a4a5-a6a7-a8a9-aaabacadaeaf");

  std::vector<std::string> lines;
  ScopedLogSink sink([&](const std::string& line, int) { lines.push_back(line); });
  ASSERT_TRUE(ParseVblk(VblkSlots(1, 1, 0x99, 0, DiskFields(1, "x", "y"))[0], record));
  EXPECT_EQ(lines, std::vector<std::string>{"Unknown record type: 153"});
}

TEST(LdmCandidates, SecondCopyOfADatabaseMerges) {
  LdmArea area = SmallDatabase({0, 1, 2});
  TLdmTree tree;
  tree.BuildLdmTree(ByteSpan(area.bytes).subspan(18 * 512), 64 * 128);
  TRaidInfoArray list;
  tree.BuildLdmCandidates(list);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].Type, TRaidType::Span);
  EXPECT_EQ(list[0].Name, std::string(200, 'h'));
  test::MemoryDisk first(std::vector<std::uint8_t>{});
  EXPECT_FALSE(MatchLdmDisk(list, &first, "", "Group", 63));  // an empty id matches nothing
  EXPECT_TRUE(MatchLdmDisk(list, &first, "DISK-A", "Group", 63));
  EXPECT_FALSE(MatchLdmDisk(list, &first, "disk-b", "Group", 63));
  // A disk of the group that holds none of its volumes reads the database again.
  tree.BuildLdmCandidates(list);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].Vendor, "Group (Dynamic Disk)");
  for (const auto& member : list[0].Members) {
    EXPECT_EQ(member.Disk, &first);
    EXPECT_EQ(member.Offset, 63);
  }
}

TEST(LdmParse, DamagedAreaPointers) {
  struct Case {
    const char* what;
    std::function<void(LdmArea&)> damage;
    std::int64_t firstSector;
    LdmAreaStatus status;
    std::uint64_t length;
  };
  const Case cases[] = {
      {"intact", [](LdmArea&) {}, 0, LdmAreaStatus::kOk, 200 * 128 - 512},
      {"backup TOCBLOCK", [](LdmArea& a) { a.bytes[512] = 0; a.Toc(2); }, 0, LdmAreaStatus::kOk, 200 * 128 - 512},
      {"configuration before the buffer", [](LdmArea&) {}, 5, LdmAreaStatus::kTocOutside, 0},
      {"configuration after the buffer", [](LdmArea& a) { a.PrivHead("d", "g", 63, 4096); }, 0,
       LdmAreaStatus::kTocOutside, 0},
      {"no TOCBLOCK", [](LdmArea& a) { a.bytes[512] = 0; }, 0, LdmAreaStatus::kTocMagic, 0},
      {"VMDB past the buffer", [](LdmArea& a) { a.Toc(1, 5000); }, 0, LdmAreaStatus::kVmdbOutside, 0},
      {"VMDB start wraps", [](LdmArea& a) { a.Toc(1, ~0ULL); }, 0, LdmAreaStatus::kVmdbOutside, 0},
      {"no VMDB", [](LdmArea& a) { a.Toc(1, 16); }, 0, LdmAreaStatus::kVmdbMagic, 0},
      {"first VBLK past the buffer", [](LdmArea& a) { a.Vmdb(200, 0xFFFFFFFF); }, 0, LdmAreaStatus::kVblkOutside, 0},
      {"sequence past the buffer", [](LdmArea& a) { a.Vmdb(0xFFFFFFFF); }, 0, LdmAreaStatus::kOk, (2048 - 18) * 512},
      {"sequence before the first VBLK", [](LdmArea& a) { a.Vmdb(2); }, 0, LdmAreaStatus::kOk, 0},
  };
  for (const auto& c : cases) {
    LdmArea area;
    area.PrivHead("d", "g", 63, 0);
    area.Toc();
    area.Vmdb(200);
    c.damage(area);
    TPrivHead head;
    ASSERT_TRUE(ParsePrivHead(ByteSpan(area.bytes).last(512), head));
    LdmVblkArea found;
    EXPECT_EQ(LocateVblkArea(area.bytes, c.firstSector, 512, head, found), c.status) << c.what;
    EXPECT_EQ(found.Length, c.length) << c.what;
    if (c.status == LdmAreaStatus::kOk) {
      EXPECT_LE(found.Offset + found.Length, area.bytes.size()) << c.what;
    }
  }
}

TEST(LdmParse, LengthPastTheAreaIsClipped) {
  LdmArea area = SmallDatabase({0, 1, 2});
  TLdmTree tree;
  // Two and a half slots: the component, the first volume fragment and half
  // of a partition record.
  tree.BuildLdmTree(ByteSpan(area.bytes).subspan(18 * 512, 2 * 128 + 64), ~0ULL);
  EXPECT_EQ(tree.Components.size(), 1u);
  EXPECT_TRUE(tree.Partitions.empty());
  EXPECT_TRUE(tree.Volumes.empty());
}

}  // namespace
}  // namespace vandrel
