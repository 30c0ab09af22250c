#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

#include "common/func.h"
#include "common/log.h"
#include "devices/device_manager.h"
#include "filesystems/file_system.h"
#include "volumes/ldm/ldm_builder.h"
#include "volumes/ldm/ldmtool_view.h"
#include "volumes/ldm/ldm_manager.h"
#include "storage/hard_drive.h"
#include "support/fixtures.h"
#include "support/memory_disk.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;

// A device manager that sees the given images only, scanned as the
// command-line tool scans them.
std::unique_ptr<TDeviceManager> OpenImages(const std::string& dir, const std::vector<std::string>& images) {
  DeviceManagerOptions options;
  options.scanPhysical = false;
  auto devices = std::make_unique<TDeviceManager>([](void*, int, const std::string&) { return 1; }, nullptr, options);
  devices->RefreshAll();
  for (const auto& image : images) EXPECT_NE(devices->AddByPath(dir + "/" + image, -1), nullptr) << image;
  for (int slot = 1; slot < kSlotCount; ++slot) devices->RefreshManager(devices->Manager(slot));
  return devices;
}

std::vector<TRaidVolume*> LdmVolumes(TDeviceManager& devices) {
  std::vector<TRaidVolume*> volumes;
  TBusManager* ldm = devices.Manager(kSlotLdm);
  for (std::int32_t i = 0; ldm != nullptr && i < ldm->DeviceCount(); ++i)
    if (auto* volume = dynamic_cast<TRaidVolume*>(ldm->GetDevice(i))) volumes.push_back(volume);
  return volumes;
}

TRaidVolume* VolumeNamed(TDeviceManager& devices, const std::string& name) {
  for (TRaidVolume* volume : LdmVolumes(devices))
    if (volume->Information().Name == name) return volume;
  return nullptr;
}

// Reads the whole volume into `path`; false on the first failed read.
bool DumpVolume(TStorage& volume, const std::string& path) {
  if (!volume.Open(true, false, false)) return false;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<std::uint8_t> buffer(256 * 512);
  bool ok = true;
  for (std::int64_t sector = 0; ok && sector < volume.SectorCount; sector += 256) {
    const auto count = static_cast<std::int32_t>(std::min<std::int64_t>(256, volume.SectorCount - sector));
    ok = volume.ReadSectors(buffer.data(), count, sector);
    out.write(reinterpret_cast<const char*>(buffer.data()), count * 512);
  }
  volume.Close(false);
  return ok;
}

std::string Sha256(const std::string& path) {
  std::string output;
  if (!test::RunCommand("sha256sum '" + path + "'", output)) return {};
  return output.substr(0, 64);
}

// Sectors whose self-description does not name their own place.
std::int64_t MisplacedSectors(const std::string& path, const std::string& name) {
  const auto bytes = test::ReadFileBytes(path);
  std::int64_t bad = 0;
  for (std::size_t s = 0; s * 512 < bytes.size(); ++s) {
    const std::string expected = "VOLUME " + name + " LBA " + std::to_string(s) + "\n";
    if (!BytesEqual(ByteSpan(bytes).subspan(s * 512), 0, expected)) ++bad;
  }
  return bad;
}

std::string ScratchPath(const std::string& name) {
  const fs::path dir = fs::path(VANDREL_FIXTURE_CACHE) / "ldm-scratch";
  fs::create_directories(dir);
  return (dir / name).string();
}

nlohmann::json GeneratedManifest() {
  std::ifstream in(std::string(VANDREL_SHARED_FIXTURES) + "/ldm/generated-mbr.manifest.json");
  return nlohmann::json::parse(in);
}

// Every volume of the generated group, read through the layouts, is the
// volume the manifest describes, sector for sector; with one disk missing
// the RAID-5 volume still reads and the volumes without any disk are
// metadata.
TEST(LdmManager, GeneratedGroupReadsBack) {
  ScopedLogSink quiet([](const std::string&, int) {});
  std::string why;
  const std::string dir = test::SharedFixtureDir("ldm/generated-mbr.tar.xz", why);
  VANDREL_REQUIRE(!dir.empty(), why);
  VANDREL_REQUIRE(test::HaveTool("sha256sum"), "sha256sum is missing");
  const nlohmann::json manifest = GeneratedManifest();
  struct Case {
    std::vector<std::string> images;
    std::vector<std::string> readable;  // volumes that must read back whole
    std::vector<std::string> metadata;  // volumes none of whose disks is there
  };
  const Case cases[] = {
      {{"ldm-mbr-disk1.img", "ldm-mbr-disk2.img", "ldm-mbr-disk3.img"},
       {"Volume1", "Volume2", "Volume3", "Volume4", "Volume5"},
       {}},
      {{"ldm-mbr-disk3.img", "ldm-mbr-disk1.img"}, {"Volume1", "Volume4", "Volume5"}, {}},
      {{"ldm-mbr-disk1.img"}, {"Volume1", "Volume5"}, {"Volume3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.images.size());
    auto devices = OpenImages(dir, c.images);
    ASSERT_EQ(LdmVolumes(*devices).size(), manifest.at("volumes").size());
    for (const auto& expected : manifest.at("volumes")) {
      const std::string name = expected.at("name");
      SCOPED_TRACE(name);
      TRaidVolume* volume = VolumeNamed(*devices, expected.at("hint"));
      ASSERT_NE(volume, nullptr);
      EXPECT_EQ(volume->SectorCount, expected.at("size_sectors").get<std::int64_t>());
      EXPECT_EQ(volume->StorageSource, ssLdm);
      const bool metadata = std::find(c.metadata.begin(), c.metadata.end(), name) != c.metadata.end();
      EXPECT_EQ(volume->Metadata, metadata);
      ASSERT_NE(volume->GetPartition(0), nullptr);
      EXPECT_EQ(volume->GetPartition(0)->Metadata, metadata);
      if (std::find(c.readable.begin(), c.readable.end(), name) == c.readable.end()) continue;
      const std::string path = ScratchPath(name + ".img");
      ASSERT_TRUE(DumpVolume(*volume, path));
      EXPECT_EQ(MisplacedSectors(path, name), 0);
      EXPECT_EQ(Sha256(path), expected.at("sha256_of_volume").get<std::string>());
    }
  }
}

// The Windows volumes: listed with ldmtool's type, size and members, the
// ones without any disk as metadata, and each readable one holds the NTFS
// file system that ntfs-3g's tools can list (its size and member order are
// then right to the last sector).
TEST(LdmManager, Windows2003Volumes) {
  ScopedLogSink quiet([](const std::string&, int) {});
  std::string why;
  const std::string dir = test::SharedFixtureDir("ldm/windows-2003r2.tar.xz", why);
  VANDREL_REQUIRE(!dir.empty(), why);
  VANDREL_REQUIRE(test::HaveTool("ntfsinfo"), "ntfs-3g's ntfsinfo is missing");
  for (const char* set : {"simple", "spanned", "striped", "mirrored", "raid5"}) {
    SCOPED_TRACE(set);
    const test::LdmtoolView view = test::LoadLdmtoolView(std::string(VANDREL_SHARED_FIXTURES) +
                                                         "/ldm/windows-2003r2-" + set + ".ldmtool.json");
    auto devices = OpenImages(dir, view.images);
    ASSERT_EQ(LdmVolumes(*devices).size(), view.volumes.size());
    for (const auto& expected : view.volumes) {
      SCOPED_TRACE(expected.name);
      TRaidVolume* volume = VolumeNamed(*devices, expected.hint);
      ASSERT_NE(volume, nullptr);
      const TRaidInfo& info = volume->Information();
      EXPECT_EQ(info.Type, test::LdmtoolType(expected.type));
      EXPECT_EQ(volume->SectorCount, expected.size);
      ASSERT_EQ(info.Members.size(), expected.partitions.size());
      bool all = true;
      bool any = false;
      for (const auto& partitionName : expected.partitions) {
        const auto& disk = view.disks.at(view.partitions.at(partitionName).disk);
        all = all && disk.present;
        any = any || disk.present;
      }
      EXPECT_EQ(volume->Metadata, !any);
      // Every member there (RAID-5: all but one) makes the volume readable.
      if (!all) continue;
      const std::string path = ScratchPath(std::string(set) + "-" + expected.name + ".img");
      ASSERT_TRUE(DumpVolume(*volume, path));
      std::string output;
      EXPECT_TRUE(test::RunCommand("ntfsinfo -m '" + path + "' 2>&1", output)) << output;
      EXPECT_NE(output.find("Volume Size in Clusters"), std::string::npos) << output;
      // Our own reader on the volume reads the file ntfs-3g reads; it stays
      // open while the device manager goes away with the disks under it.
      std::string theirs;
      ASSERT_TRUE(test::RunCommand("ntfscat '" + path + "' test.txt", theirs));
      ASSERT_TRUE(devices->CreateReader(volume, false, TReaderChoice::kByKind));
      ASSERT_NE(volume->Reader, nullptr);
      TFileEntry entry;
      ASSERT_TRUE(volume->Reader->LookupPath("/test.txt", entry, true, nullptr));
      FsHandle file = volume->Reader->OpenFile(entry);
      ASSERT_NE(file, kNoHandle);
      std::string ours(64, '\0');
      ours.resize(static_cast<std::size_t>(volume->Reader->Read(file, ours.data(), 64)));
      volume->Reader->CloseFile(file);
      EXPECT_EQ(ours, theirs);
    }
  }
}

// Windows' RAID-5 volume with any one of its three disks missing reads the
// same bytes as with all three.
TEST(LdmManager, Windows2003Raid5WithOneDiskMissing) {
  ScopedLogSink quiet([](const std::string&, int) {});
  std::string why;
  const std::string dir = test::SharedFixtureDir("ldm/windows-2003r2.tar.xz", why);
  VANDREL_REQUIRE(!dir.empty(), why);
  VANDREL_REQUIRE(test::HaveTool("sha256sum"), "sha256sum is missing");
  const std::vector<std::string> images = {"ldm-2003r2-raid5-1.img", "ldm-2003r2-raid5-2.img", "ldm-2003r2-raid5-3.img"};
  std::string whole;
  {
    auto devices = OpenImages(dir, images);
    TRaidVolume* volume = VolumeNamed(*devices, "I:");
    ASSERT_NE(volume, nullptr);
    ASSERT_TRUE(DumpVolume(*volume, ScratchPath("raid5-whole.img")));
    whole = Sha256(ScratchPath("raid5-whole.img"));
  }
  for (std::size_t missing = 0; missing < images.size(); ++missing) {
    SCOPED_TRACE(images[missing]);
    std::vector<std::string> present = images;
    present.erase(present.begin() + static_cast<std::ptrdiff_t>(missing));
    auto devices = OpenImages(dir, present);
    TRaidVolume* volume = VolumeNamed(*devices, "I:");
    ASSERT_NE(volume, nullptr);
    EXPECT_FALSE(volume->Metadata);
    EXPECT_EQ(volume->RaidState, rsRecoverable);
    ASSERT_TRUE(DumpVolume(*volume, ScratchPath("raid5-degraded.img")));
    EXPECT_EQ(Sha256(ScratchPath("raid5-degraded.img")), whole);
  }
}

// A database with one spanned volume "K:" of one partition (100 sectors
// from sector 10 of the data area) on disk "disk-a".
test::LdmArea OneVolumeDatabase(std::uint64_t dataStart, std::uint64_t configStart) {
  test::LdmArea area;
  area.PrivHead("disk-a", "Group", dataStart, configStart);
  area.Toc();
  area.Vmdb(100);
  area.Slot(test::VblkSlots(1, 1, kVblkVolume, 0x02, test::VolumeFields(1, "Volume1", 1, 100, "K:"))[0]);
  area.Slot(test::VblkSlots(2, 2, kVblkComponent, 0,
                            test::ComponentFields(2, "Volume1-01", kLdmComponentSpanned, 1, 1, 0, 0))[0]);
  area.Slot(test::VblkSlots(3, 3, kVblkPartition, 0, test::PartitionFields(3, "Disk1-01", 10, 0, 100, 2, 4, 0))[0]);
  area.Slot(test::VblkSlots(4, 4, kVblkDisk, 0, test::DiskFields(4, "Disk1", "disk-a"))[0]);
  return area;
}

// A GPT disk keeps its database in the LDM metadata partition, which need
// not be the first partition.
TEST(LdmManager, GptDiskSearchedPartitionByPartition) {
  ScopedLogSink quiet([](const std::string&, int) {});
  VANDREL_REQUIRE(test::HaveTool("sgdisk"), "sgdisk is missing");
  const std::string path = ScratchPath("gpt-ldm.img");
  std::string output;
  ASSERT_TRUE(test::RunCommand("rm -f '" + path + "' && truncate -s 8M '" + path + "' && sgdisk -n1:2048:+1M -t1:0700 " +
                                   "-n2:4096:+1M -t2:4201 -n3:6144:+1M -t3:4200 '" + path + "' 2>&1",
                               output))
      << output;
  std::vector<std::uint8_t> bytes = test::ReadFileBytes(path);
  const test::LdmArea area = OneVolumeDatabase(6144, 4096);
  std::copy(area.bytes.begin(), area.bytes.end(), bytes.begin() + 4096 * 512);
  test::MemoryDisk disk(bytes, 512, true);
  ASSERT_GE(disk.Partitions.size(), 3u);
  TLdmManager manager(nullptr, nullptr);
  EXPECT_TRUE(manager.DetectLdm(&disk));
  ASSERT_EQ(manager.LdmCandidates().size(), 1u);
  const TRaidInfo& info = manager.LdmCandidates()[0];
  EXPECT_EQ(info.Name, "K:");
  EXPECT_EQ(info.Type, TRaidType::Simple);
  EXPECT_EQ(info.Vendor, "Group (Dynamic Disk)");
  ASSERT_EQ(info.Members.size(), 1u);
  EXPECT_EQ(info.Members[0].Disk, &disk);
  EXPECT_EQ(MemberBase(info.Members[0]), 6144 + 10);
}

// Damaged databases on an MBR-style disk: the log names what is wrong and
// no volume comes out of it.
TEST(LdmManager, DamagedDatabaseLogsAndYieldsNothing) {
  struct Case {
    const char* what;
    std::function<void(test::LdmArea&)> damage;
    const char* line;
  };
  const Case cases[] = {
      {"configuration outside", [](test::LdmArea& a) { a.PrivHead("disk-a", "Group", 63, 9); },
       "uLdmManager.Detect: TocBlock не попадает в буфер, Storage: Memory disk"},
      {"no TOCBLOCK", [](test::LdmArea& a) { a.bytes[512] = 0; }, "uLdmManager.Detect: TocBlock<>MAGIC, Storage: Memory disk"},
      {"VMDB outside", [](test::LdmArea& a) { a.Toc(1, 4096); },
       "uLdmManager.Detect: VMDB не попадает в буфер, Storage: Memory disk"},
      {"no VMDB", [](test::LdmArea& a) { a.Toc(1, 3); }, "uLdmManager.Detect: VMDB<>MAGIC, Storage: Memory disk"},
      {"VBLKs outside", [](test::LdmArea& a) { a.Vmdb(100, 0x7FFFFFFF); },
       "uLdmManager.Detect: начало VBLK не попадает в буфер, Storage: Memory disk"},
  };
  for (const Case& c : cases) {
    test::LdmArea area = OneVolumeDatabase(63, 2048);
    c.damage(area);
    std::vector<std::uint8_t> bytes(2048 * 512);
    bytes.insert(bytes.end(), area.bytes.begin(), area.bytes.end());
    test::MemoryDisk disk(bytes);
    std::vector<std::string> lines;
    ScopedLogSink sink([&](const std::string& line, int) { lines.push_back(line); });
    TLdmManager manager(nullptr, nullptr);
    EXPECT_FALSE(manager.DetectLdm(&disk)) << c.what;
    EXPECT_TRUE(manager.LdmCandidates().empty()) << c.what;
    EXPECT_EQ(lines, std::vector<std::string>{c.line}) << c.what;
    EXPECT_EQ(disk.openCount, 0) << c.what;
  }
  // The intact database, for contrast.
  test::LdmArea area = OneVolumeDatabase(63, 2048);
  std::vector<std::uint8_t> bytes(2048 * 512);
  bytes.insert(bytes.end(), area.bytes.begin(), area.bytes.end());
  test::MemoryDisk disk(bytes);
  TLdmManager manager(nullptr, nullptr);
  EXPECT_TRUE(manager.DetectLdm(&disk));
  ASSERT_EQ(manager.LdmCandidates().size(), 1u);
  EXPECT_EQ(MemberBase(manager.LdmCandidates()[0].Members[0]), 63 + 10);
}

}  // namespace
}  // namespace vandrel
