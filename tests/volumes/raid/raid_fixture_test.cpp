// The reference arrays written by real RAID implementations: every set
// assembles from its member images, added as a user adds them, and reads
// back sector for sector; every survivable missing member is rebuilt.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <thread>

#include "common/log.h"
#include "devices/device_manager.h"
#include "volumes/raid/raid_detect.h"
#include "volumes/raid/raid_manager.h"
#include "support/fixtures.h"
#include "support/memory_disk.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;

struct SetCase {
  const char* archive;
};

void PrintTo(const SetCase& c, std::ostream* out) { *out << c.archive; }

struct Member {
  std::string image;   // path of the unpacked member image
  std::string serial;  // drive serial the manifest records ("" if none)
};

struct ArraySet {
  std::string name;  // the name in every sector's text
  std::int64_t sectors = 0;
  std::vector<Member> members;
  std::vector<std::set<std::string>> survivable;  // image file names that may be missing
};

ArraySet LoadSet(const std::string& archive, const std::string& folder) {
  ArraySet set;
  const std::string stem = archive.substr(0, archive.find(".tar"));
  const fs::path manifestPath = fs::path(VANDREL_SHARED_FIXTURES) / "raid" / (stem + ".manifest.json");
  std::ifstream in(manifestPath);
  const nlohmann::json manifest = nlohmann::json::parse(in);
  if (manifest.contains("arrays")) {
    const auto& array = manifest["arrays"][0];
    set.name = array["name"];
    set.sectors = array["size_sectors"];
    for (const auto& member : manifest["members"])
      set.members.push_back({(fs::path(folder) / stem / member["image"].get<std::string>()).string(),
                             member.value("serial", "")});
    for (const auto& missing : array["redundancy"]["survivable_missing_member_sets"]) {
      std::set<std::string> names;
      for (const auto& image : missing["missing_images"]) names.insert(image.get<std::string>());
      set.survivable.push_back(names);
    }
  } else {
    set.name = manifest["set"];
    set.sectors = manifest["array_size_sectors"];
    for (const auto& member : manifest["members"])
      set.members.push_back({(fs::path(folder) / member["file"].get<std::string>()).string(), ""});
    if (manifest["level"] == "raid1")
      for (const auto& member : set.members) set.survivable.push_back({fs::path(member.image).filename().string()});
  }
  return set;
}

// Member images as a user names them: Intel members named after their
// disk's serial.
std::vector<std::string> UserImages(const ArraySet& set, const std::string& archive, bool bySerial) {
  std::vector<std::string> paths;
  const fs::path renamed = fs::path(VANDREL_FIXTURE_CACHE) / "shared" / "by-serial" / archive;
  fs::create_directories(renamed);
  for (const Member& member : set.members) {
    if (!bySerial || member.serial.empty()) {
      paths.push_back(member.image);
      continue;
    }
    const fs::path link = renamed / (member.serial + ".img");
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(member.image, link);
    paths.push_back(link.string());
  }
  return paths;
}

// Reads the whole array and checks every sector's own text; the number of
// sectors that read back wrong or failed.
std::int64_t CheckArray(TStorage& array, const std::string& name, std::int64_t sectors, std::string& first) {
  constexpr std::int32_t kBlock = 256;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(kBlock) * 512);
  std::int64_t wrong = 0;
  for (std::int64_t at = 0; at < sectors; at += kBlock) {
    const auto count = static_cast<std::int32_t>(std::min<std::int64_t>(kBlock, sectors - at));
    const bool ok = array.ReadSectors(buffer.data(), count, at);
    for (std::int32_t i = 0; i < count; ++i) {
      const std::string expected = "ARRAY " + name + " LBA " + std::to_string(at + i) + "\n";
      const char* text = reinterpret_cast<const char*>(buffer.data()) + static_cast<std::size_t>(i) * 512;
      if (!ok || std::string(text, std::min<std::size_t>(expected.size(), 512)) != expected) {
        if (wrong++ == 0) first = "sector " + std::to_string(at + i) + ": " + std::string(text, 40);
      }
    }
  }
  return wrong;
}

class RaidFixture : public ::testing::TestWithParam<SetCase> {};

TEST_P(RaidFixture, AssemblesAndReadsBackWithEverySurvivableMemberMissing) {
  const std::string archive = GetParam().archive;
  std::string why;
  const std::string folder = test::SharedFixtureDir("raid/" + archive, why);
  VANDREL_REQUIRE(!folder.empty(), why);
  const ArraySet set = LoadSet(archive, folder);
  const std::vector<std::string> images = UserImages(set, archive.substr(0, archive.find(".tar")), true);
  ScopedLogSink quiet([](const std::string&, int) {});

  std::vector<std::set<std::string>> variants{{}};
  variants.insert(variants.end(), set.survivable.begin(), set.survivable.end());
  for (const auto& missing : variants) {
    std::string label = "missing:";
    for (const auto& m : missing) label += " " + m;
    SCOPED_TRACE(label);
    TDeviceManager manager(nullptr, nullptr, DeviceManagerOptions{false});
    for (std::size_t i = 0; i < images.size(); ++i) {
      if (missing.count(fs::path(set.members[i].image).filename().string()) != 0) continue;
      ASSERT_NE(manager.AddByPath(images[i]), nullptr) << images[i];
    }
    TBusManager* raid = manager.Manager(kSlotRaid);
    ASSERT_NE(raid, nullptr);
    manager.RefreshManager(raid);
    ASSERT_EQ(raid->DeviceCount(), 1);
    auto* device = dynamic_cast<TRaidDevice*>(raid->GetDevice(0));
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->RaidState, missing.empty() ? rsOk : rsRecoverable);
    EXPECT_EQ(device->SectorCount, set.sectors);
    ASSERT_TRUE(device->Open(true, false, false));
    std::string first;
    EXPECT_EQ(CheckArray(*device, set.name, std::min(device->SectorCount, set.sectors), first), 0) << first;
    device->Close(false);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sets, RaidFixture,
    ::testing::Values(SetCase{"md090-linear.tar.zst"}, SetCase{"md090-raid0.tar.zst"}, SetCase{"md090-raid1.tar.zst"},
                      SetCase{"md090-raid4.tar.zst"}, SetCase{"md090-raid5-ls3.tar.zst"},
                      SetCase{"md090-raid10-n2.tar.zst"}, SetCase{"imsm-raid0.tar.zst"}, SetCase{"imsm-raid1.tar.zst"},
                      SetCase{"imsm-raid5.tar.zst"}, SetCase{"ddf-raid0.tar.zst"}, SetCase{"ddf-raid1.tar.zst"},
                      SetCase{"ddf-raid5.tar.zst"}, SetCase{"nv-jbod.tar.xz"}, SetCase{"nv-raid0.tar.xz"},
                      SetCase{"nv-raid1.tar.xz"}, SetCase{"via-raid0.tar.xz"}, SetCase{"via-raid1.tar.xz"}),
    [](const ::testing::TestParamInfo<SetCase>& param) {
      std::string name = param.param.archive;
      name = name.substr(0, name.find(".tar"));
      for (char& c : name)
        if (c == '-') c = '_';
      return name;
    });

}  // namespace
}  // namespace vandrel

namespace vandrel {
namespace {

// A mirror whose members carry the array's partition table at the same
// place: the members' copies of each partition are hidden, the array's
// stay; opening the array twice builds one layout.
TEST(RaidManager, HidesMemberCopiesOfTheArraysPartitions) {
  std::string why;
  const std::string folder = test::SharedFixtureDir("raid/imsm-raid1.tar.zst", why);
  VANDREL_REQUIRE(!folder.empty(), why);
  const ArraySet set = LoadSet("imsm-raid1.tar.zst", folder);
  const fs::path work = fs::path(VANDREL_FIXTURE_CACHE) / "raid-hiding";
  fs::remove_all(work);
  fs::create_directories(work);
  std::vector<std::string> images;
  for (const Member& member : set.members) {
    const fs::path copy = work / ("disk-" + member.serial + ".img");
    fs::copy_file(member.image, copy);
    // One Linux partition at sector 64, 1000 sectors, in sector 0 of both
    // mirror halves (the array's data starts at member sector 0).
    std::fstream io(copy, std::ios::in | std::ios::out | std::ios::binary);
    std::uint8_t mbr[512] = {};
    mbr[446 + 4] = 0x83;
    const std::uint32_t start = 64;
    const std::uint32_t count = 1000;
    for (int b = 0; b < 4; ++b) {
      mbr[446 + 8 + b] = static_cast<std::uint8_t>(start >> (8 * b));
      mbr[446 + 12 + b] = static_cast<std::uint8_t>(count >> (8 * b));
    }
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    io.write(reinterpret_cast<const char*>(mbr), sizeof mbr);
    images.push_back(copy.string());
  }
  std::vector<std::string> lines;
  ScopedLogSink capture([&lines](const std::string& line, int) { lines.push_back(line); });
  TDeviceManager manager(nullptr, nullptr, DeviceManagerOptions{false});
  for (const std::string& image : images) ASSERT_NE(manager.AddByPath(image), nullptr);
  TBusManager* raid = manager.Manager(kSlotRaid);
  manager.RefreshManager(raid);
  ASSERT_EQ(raid->DeviceCount(), 1);
  auto* array = dynamic_cast<TRaidDevice*>(raid->GetDevice(0));
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array->GetName(false), "imsm-r1 (Mirror)");
  EXPECT_EQ(array->RaidState, rsOk);
  EXPECT_FALSE(array->Metadata);
  bool arrayHasIt = false;
  for (const auto& entry : array->Partitions) arrayHasIt |= entry.Start == 64 && entry.Count == 1000 && !entry.Metadata;
  EXPECT_TRUE(arrayHasIt);
  TBusManager* disks = manager.Manager(kSlotDisks);
  ASSERT_EQ(disks->DeviceCount(), 2);
  for (std::int32_t d = 0; d < 2; ++d) {
    auto* disk = dynamic_cast<TStorageWithPartitions*>(disks->GetDevice(d));
    ASSERT_NE(disk, nullptr);
    bool sawCopy = false;
    for (const auto& entry : disk->Partitions) {
      if (entry.Kind == pkUnallocated) {
        EXPECT_TRUE(entry.Metadata) << "free space of member " << d;
      }
      if (entry.Start == 64 && entry.Count == 1000) {
        sawCopy = true;
        ASSERT_NE(entry.Partition, nullptr);
        EXPECT_TRUE(entry.Partition->Metadata) << "member " << d;
      }
    }
    EXPECT_TRUE(sawCopy) << "member " << d;
  }

  ASSERT_TRUE(array->Open(true, false, false));
  TAbstractRaid* layout = array->Layout();
  ASSERT_NE(layout, nullptr);
  ASSERT_TRUE(array->Open(true, false, false));
  EXPECT_EQ(array->Layout(), layout);
  EXPECT_EQ(lines.back(), "RaidDevice.Open: Storage already open");
  array->Close(false);
  EXPECT_NE(array->Layout(), nullptr);
  array->Close(false);
  EXPECT_EQ(array->Layout(), nullptr);
  std::vector<std::uint8_t> sector(512);
  EXPECT_FALSE(array->Read(sector.data(), 1, 0));
  EXPECT_EQ(lines.back(), "RaidDevice.Read: failed, volume not open");
}

// Only some members of an array are given: the array is listed with its
// damage state and reads that need the missing members fail cleanly.
TEST(RaidManager, TooFewMembersListedBrokenAndReadsFail) {
  std::string why;
  const std::string folder = test::SharedFixtureDir("raid/md090-raid5-ls3.tar.zst", why);
  VANDREL_REQUIRE(!folder.empty(), why);
  const ArraySet set = LoadSet("md090-raid5-ls3.tar.zst", folder);
  ScopedLogSink quiet([](const std::string&, int) {});
  TDeviceManager manager(nullptr, nullptr, DeviceManagerOptions{false});
  ASSERT_NE(manager.AddByPath(set.members[0].image), nullptr);
  TBusManager* raid = manager.Manager(kSlotRaid);
  manager.RefreshManager(raid);
  ASSERT_EQ(raid->DeviceCount(), 1);
  auto* array = dynamic_cast<TRaidVolume*>(raid->GetDevice(0));
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array->RaidState, rsBroken);
  EXPECT_EQ(array->PartitionCount(), 1);
  ASSERT_TRUE(array->Open(true, false, false));
  std::vector<std::uint8_t> buffer(256 * 512);
  std::string first;
  EXPECT_GT(CheckArray(*array, set.name, array->SectorCount, first), 0);
  EXPECT_FALSE(array->ReadSectors(buffer.data(), 256, 0));  // spans chunks of the missing members
  array->Close(false);
}

// Several threads read one array at once, healthy and with a member to
// rebuild: every sector still carries its own number.
TEST(RaidManager, ReadsOnSeveralThreadsAtOnce) {
  struct Case {
    const char* archive;
    const char* missing;  // image left out, or ""
  };
  for (const Case& c : {Case{"md090-raid5-ls3.tar.zst", "m1.img"}, Case{"md090-raid5-ls3.tar.zst", ""},
                        Case{"md090-raid10-n2.tar.zst", "m2.img"}}) {
    SCOPED_TRACE(std::string(c.archive) + " without " + c.missing);
    std::string why;
    const std::string folder = test::SharedFixtureDir(std::string("raid/") + c.archive, why);
    VANDREL_REQUIRE(!folder.empty(), why);
    const ArraySet set = LoadSet(c.archive, folder);
    ScopedLogSink quiet([](const std::string&, int) {});
    TDeviceManager manager(nullptr, nullptr, DeviceManagerOptions{false});
    for (const Member& member : set.members) {
      if (fs::path(member.image).filename() != c.missing) {
        ASSERT_NE(manager.AddByPath(member.image), nullptr);
      }
    }
    TBusManager* raid = manager.Manager(kSlotRaid);
    manager.RefreshManager(raid);
    ASSERT_EQ(raid->DeviceCount(), 1);
    TStorage* array = raid->GetDevice(0);
    ASSERT_TRUE(array->Open(true, false, false));
    std::atomic<std::int64_t> wrong{0};
    std::vector<std::thread> threads;
    for (unsigned seed = 1; seed <= 4; ++seed)
      threads.emplace_back([&, seed] {
        std::mt19937 random(seed);
        std::vector<std::uint8_t> buffer(300 * 512);
        for (int round = 0; round < 300; ++round) {
          const auto count = static_cast<std::int32_t>(1 + random() % 300);
          const std::int64_t at = static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(set.sectors - count));
          const bool ok = array->ReadSectors(buffer.data(), count, at);
          for (std::int32_t i = 0; i < count; ++i) {
            const std::string expected = "ARRAY " + set.name + " LBA " + std::to_string(at + i) + "\n";
            if (!ok || std::memcmp(buffer.data() + static_cast<std::size_t>(i) * 512, expected.data(), expected.size()) != 0)
              ++wrong;
          }
        }
      });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    array->Close(false);
  }
}

// Intel members given under names without their serials: the array is
// found but none of its members, and the log says which names would do.
TEST(RaidManager, IntelImagesWithoutTheirSerialsAreNamedInTheLog) {
  std::string why;
  const std::string folder = test::SharedFixtureDir("raid/imsm-raid0.tar.zst", why);
  VANDREL_REQUIRE(!folder.empty(), why);
  const ArraySet set = LoadSet("imsm-raid0.tar.zst", folder);
  std::vector<std::string> lines;
  ScopedLogSink capture([&lines](const std::string& line, int) { lines.push_back(line); });
  TDeviceManager manager(nullptr, nullptr, DeviceManagerOptions{false});
  for (const Member& member : set.members) ASSERT_NE(manager.AddByPath(member.image), nullptr);
  TBusManager* raid = manager.Manager(kSlotRaid);
  manager.RefreshManager(raid);
  ASSERT_EQ(raid->DeviceCount(), 1);
  auto* array = dynamic_cast<TRaidDevice*>(raid->GetDevice(0));
  ASSERT_NE(array, nullptr);
  EXPECT_TRUE(array->Metadata);
  EXPECT_EQ(array->RaidState, rsBroken);
  // The metadata's own order of disks, which need not be the members' order.
  const auto hint = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.starts_with("Intel: image m0.img names none of the member serials (") &&
           line.ends_with("); name each image after its disk's serial");
  });
  ASSERT_NE(hint, lines.end()) << ::testing::PrintToString(lines);
  for (const Member& member : set.members) EXPECT_NE(hint->find(member.serial), std::string::npos) << member.serial;
}

// One member of a RAID 5 written by the md driver cannot read a range of
// its sectors. Threads read the array at once, some over that range (to be
// rebuilt from parity), some elsewhere: every read hands out the array's own
// bytes, never the zeros that stand in for the unreadable sectors.
TEST(RaidMemberDamage, UnreadableRangeIsRebuiltFromParityWhileOtherThreadsRead) {
  std::string why;
  const std::string folder = test::SharedFixtureDir("raid/md090-raid5-ls3.tar.zst", why);
  VANDREL_REQUIRE(!folder.empty(), why);
  const ArraySet set = LoadSet("md090-raid5-ls3.tar.zst", folder);
  ScopedLogSink quiet([](const std::string&, int) {});
  std::vector<std::unique_ptr<test::MemoryDisk>> disks;
  TRaidInfoArray found;
  for (const Member& member : set.members) {
    disks.push_back(std::make_unique<test::MemoryDisk>(test::ReadFileBytes(member.image)));
    const std::vector<std::uint8_t>& bytes = disks.back()->Bytes();
    ASSERT_GE(bytes.size(), kRaidTailBytes);
    ASSERT_TRUE(detect_Linux(RaidTail(bytes).last(kRaidTailBytes), disks.back().get(), found));
  }
  ASSERT_EQ(found.size(), 1u);
  // Member sectors 1000..1299 of member 1: rows 7 to 10 of 128-sector chunks,
  // array sectors 1792..2815.
  disks[1]->unreadableFirst = 1000;
  disks[1]->unreadableCount = 300;
  auto array = CreateRaidStorage(found[0]);
  ASSERT_NE(array, nullptr);
  ASSERT_TRUE(array->Open(true, false, false));

  std::atomic<std::int64_t> wrong{0};
  std::atomic<std::int64_t> failed{0};
  std::atomic<bool> reading{true};
  std::vector<std::thread> threads;
  for (unsigned seed = 1; seed <= 4; ++seed)
    threads.emplace_back([&, seed] {
      std::mt19937 random(seed);
      std::vector<std::uint8_t> buffer(256 * 512);
      const bool overBadRange = seed % 2 == 1;
      for (int round = 0; round < 400; ++round) {
        const auto count = static_cast<std::int32_t>(1 + random() % 256);
        const std::int64_t from = overBadRange ? 1700 : 0;
        const std::int64_t span = overBadRange ? 1200 : set.sectors - count;
        const std::int64_t at = from + static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(span));
        if (!array->ReadSectors(buffer.data(), count, at)) {
          ++failed;
          continue;
        }
        for (std::int32_t i = 0; i < count; ++i) {
          const std::string expected = "ARRAY " + set.name + " LBA " + std::to_string(at + i) + "\n";
          if (std::memcmp(buffer.data() + static_cast<std::size_t>(i) * 512, expected.data(), expected.size()) != 0)
            ++wrong;
        }
      }
    });
  // Meanwhile the damaged member itself is read by someone who wants zeros
  // for what cannot be read.
  threads.emplace_back([&] {
    std::vector<std::uint8_t> buffer(400 * 512);
    while (reading) {
      EXPECT_TRUE(disks[1]->ReadSectors(buffer.data(), 400, 950, TReadPolicy::SkipBadSectors));
      EXPECT_EQ(buffer[60 * 512], 0);
    }
  });
  for (std::size_t t = 0; t + 1 < threads.size(); ++t) threads[t].join();
  reading = false;
  threads.back().join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(wrong.load(), 0);
  array->Close(false);
}

}  // namespace
}  // namespace vandrel
