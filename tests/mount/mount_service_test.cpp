// The mount service's handlers, called as the component calls them.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "common/log.h"
#include "devices/device_manager.h"
#include "mount/mount2_system.h"
#include "mount/fake_reader.h"
#include "platform/settings.h"
#include "support/fixtures.h"
#include "support/memory_disk.h"

namespace vandrel {
namespace {

using test::FakeItem;
using test::FakeReader;
using test::MemoryDisk;

class MountServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto reader = std::make_unique<FakeReader>(&disk_);
    reader_ = reader.get();
    reader_->Add("/", FakeItem{"..", kAttrDirectory | kAttrParentLink, {}});
    reader_->Add("/", FakeItem{"docs", kAttrDirectory, {}});
    reader_->Add("/", FakeItem{"Recovered files", kAttrDirectory, {}});
    reader_->Add("/", FakeItem{"secret.sys", kAttrArchive | kAttrHidden | kAttrSystem | 0x78000, {1, 2, 3}});
    reader_->Add("/docs", FakeItem{"a.txt", kAttrArchive, FakeReader::Pattern(513, 1), -1, 132000000000000000ULL});
    reader_->Add("/docs", FakeItem{"one", kAttrArchive, {7}});
    reader_->Add("/docs", FakeItem{"half", kAttrArchive, FakeReader::Pattern(512, 2)});
    reader_->Add("/docs", FakeItem{"empty", kAttrArchive, {}});
    reader_->Add("/docs", FakeItem{"future", kAttrArchive, {}, -1, ~0ULL});
    reader_->Add("/Recovered files", FakeItem{"lost.bin", kAttrArchive, {9}});
    devices_.AttachReader(&disk_, std::move(reader));
    service_ = std::make_unique<TMountStorage2System>(&disk_, &devices_);
  }

  std::vector<std::string> List(const std::string& directory) {
    std::vector<std::string> names;
    void* context = nullptr;
    TCbFsFileInfo info{directory};
    for (int i = 0; i < 100; ++i) {
      bool found = false;
      TCbFsEntryInfo entry;
      service_->Component().OnEnumerateDirectory(info, context, "*", i, i == 0, found, entry);
      if (!found) break;
      names.push_back(entry.Name);
    }
    service_->Component().OnCloseEnumeration(info, context);
    return names;
  }
  bool Info(const std::string& name, TCbFsEntryInfo& info) {
    bool exists = false;
    service_->Component().OnGetFileInfo(name, exists, info);
    return exists;
  }

  MemoryDisk disk_{FakeReader::Pattern(64 * 512, 9), 512, false, "Memory disk"};
  TDeviceManager devices_{nullptr, nullptr, DeviceManagerOptions{false}};
  FakeReader* reader_ = nullptr;
  std::unique_ptr<TMountStorage2System> service_;
};

TEST_F(MountServiceTest, RootAndListings) {
  EXPECT_EQ(List("/"), (std::vector<std::string>{"Storage", "FileSystem"}));
  // ".." never, and the root's "Recovered files" is reached by path only.
  EXPECT_EQ(List("/FileSystem"), (std::vector<std::string>{"docs", "secret.sys"}));
  EXPECT_EQ(List("/FileSystem/docs"), (std::vector<std::string>{"a.txt", "one", "half", "empty", "future"}));
  EXPECT_EQ(List("/FileSystem/Recovered files"), (std::vector<std::string>{"lost.bin"}));
  EXPECT_EQ(List("/FileSystemX"), std::vector<std::string>{});
  EXPECT_EQ(List("/Other"), std::vector<std::string>{});
  EXPECT_EQ(reader_->askedPaths.front(), "/");
  EXPECT_NE(std::find(reader_->askedPaths.begin(), reader_->askedPaths.end(), "/docs"), reader_->askedPaths.end());
  EXPECT_NE(std::find(reader_->askedPaths.begin(), reader_->askedPaths.end(), "/Recovered files"),
            reader_->askedPaths.end());
  EXPECT_EQ(reader_->OpenFinds(), 0u);

  devices_.DropReader(disk_);
  EXPECT_EQ(List("/"), std::vector<std::string>{"Storage"});
  TCbFsEntryInfo info;
  EXPECT_FALSE(Info("/FileSystem", info));
  EXPECT_TRUE(Info("/Storage", info));
}

TEST_F(MountServiceTest, FileInformation) {
  struct Case {
    std::string name;
    bool exists;
    std::int64_t size;
    std::int64_t allocation;
    std::uint32_t attributes;
  };
  const Case cases[] = {
      {"/Storage", true, 64 * 512, 64 * 512, 0x81},
      {"/FileSystem", true, 0, 0, 0x11},
      {"/FileSystem/docs", true, 0, 0, kAttrDirectory},
      {"/FileSystem/docs/one", true, 1, 512, kAttrArchive},
      {"/FileSystem/docs/half", true, 512, 512, kAttrArchive},
      {"/FileSystem/docs/a.txt", true, 513, 1024, kAttrArchive},
      {"/FileSystem/docs/empty", true, 0, 0, kAttrArchive},
      {"/FileSystem/secret.sys", true, 3, 512, kAttrArchive},  // hidden, system and reader marks cleared
      {"/storage", false, 0, 0, 0},                            // the service's paths are exact
      {"/Storage/", false, 0, 0, 0},
      {"/FileSystem/DOCS/one", true, 1, 512, kAttrArchive},    // names below it by the reader's rule (FAT: any case)
      {"/FileSystemdocs", false, 0, 0, 0},
      {"/FileSystem/docs/missing", false, 0, 0, 0},
      {"/FileSystem/docs/", false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    TCbFsEntryInfo info;
    EXPECT_EQ(Info(c.name, info), c.exists) << c.name;
    EXPECT_EQ(info.EndOfFile, c.size) << c.name;
    EXPECT_EQ(info.AllocationSize, c.allocation) << c.name;
    EXPECT_EQ(info.FileAttributes, c.attributes) << c.name;
    EXPECT_EQ(info.FileId, 0);
  }
  TCbFsEntryInfo info;
  ASSERT_TRUE(Info("/FileSystem/docs/a.txt", info));
  EXPECT_EQ(info.LastWriteTime, 132000000000000000ULL);
  // A time without a date-time form becomes the current time.
  ASSERT_TRUE(Info("/FileSystem/docs/future", info));
  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  EXPECT_NEAR(static_cast<double>(FileTimeToUnix(info.LastWriteTime)), static_cast<double>(now), 5.0);
}

TEST_F(MountServiceTest, VolumeAnswers) {
  auto& c = service_->Component();
  std::int64_t total = 0, available = 0;
  std::uint32_t sectorsPerUnit = 0, bytesPerSector = 0;
  c.OnGetVolumeSize(total, available, sectorsPerUnit, bytesPerSector);
  EXPECT_EQ(total, 128);
  EXPECT_EQ(available, 64);
  EXPECT_EQ(sectorsPerUnit, 1u);
  EXPECT_EQ(bytesPerSector, 512u);
  std::string label;
  c.OnGetVolumeLabel(label);
  EXPECT_EQ(label, "Tarnwick_Memory disk");
  std::uint32_t id = 0;
  c.OnGetVolumeId(id);
  EXPECT_EQ(id, 0x12345678u);
  std::int32_t written = 7;
  c.OnWriteFile(TCbFsFileInfo{"/Storage"}, nullptr, 0, "x", 1, written);
  EXPECT_EQ(written, 0);
  bool canDelete = true;
  c.OnCanFileBeDeleted(TCbFsFileInfo{"/Storage"}, canDelete);
  EXPECT_FALSE(canDelete);
}

TEST_F(MountServiceTest, OpenAndRead) {
  auto& c = service_->Component();
  const auto read = [&](void* context, std::int64_t position, std::int32_t count, std::vector<std::uint8_t>& out) {
    out.assign(static_cast<std::size_t>(count), 0xEE);
    std::int32_t done = -1;
    c.OnReadFile(TCbFsFileInfo{}, context, position, out.data(), count, done);
    out.resize(static_cast<std::size_t>(std::max(done, 0)));
    return done;
  };
  std::vector<std::uint8_t> out;
  disk_.SetCaching(true);

  void* storage = nullptr;
  c.OnOpenFile("/Storage", 0, 0, storage);
  ASSERT_NE(storage, nullptr);
  EXPECT_FALSE(disk_.CacheEnabled);  // the read window is off while files are open
  EXPECT_EQ(read(storage, 100, 1000, out), 1000);
  EXPECT_EQ(out, std::vector<std::uint8_t>(disk_.Bytes().begin() + 100, disk_.Bytes().begin() + 1100));
  EXPECT_EQ(read(storage, 64 * 512 - 10, 100, out), 10);
  c.OnCloseFile(TCbFsFileInfo{}, storage);

  void* file = nullptr;
  c.OnOpenFile("/FileSystem/docs/a.txt", 0, 0, file);
  ASSERT_NE(file, nullptr);
  const std::vector<std::uint8_t> content = FakeReader::Pattern(513, 1);
  // Adjacent reads, then one elsewhere.
  EXPECT_EQ(read(file, 0, 200, out), 200);
  EXPECT_EQ(read(file, 200, 400, out), 313);
  EXPECT_EQ(out, std::vector<std::uint8_t>(content.begin() + 200, content.end()));
  EXPECT_EQ(read(file, 7, 3, out), 3);
  EXPECT_EQ(out, std::vector<std::uint8_t>(content.begin() + 7, content.begin() + 10));
  EXPECT_EQ(reader_->OpenFiles(), 1u);
  c.OnCloseFile(TCbFsFileInfo{}, file);
  EXPECT_EQ(reader_->OpenFiles(), 0u);

  // A directory and an unknown name open without a stream and read nothing.
  for (const char* name : {"/FileSystem/docs", "/FileSystem/nothing", "/elsewhere"}) {
    void* none = reinterpret_cast<void*>(1);
    c.OnOpenFile(name, 0, 0, none);
    EXPECT_EQ(none, nullptr) << name;
    EXPECT_EQ(read(none, 0, 10, out), 0);
    c.OnCloseFile(TCbFsFileInfo{}, none);
  }

  // A file the reader cannot open, or cannot read, fails instead of
  // passing for an empty or zero-filled file.
  reader_->failOpen = true;
  void* broken = nullptr;
  EXPECT_THROW(c.OnOpenFile("/FileSystem/docs/a.txt", 0, 0, broken), ECbFsError);
  reader_->failOpen = false;
  c.OnOpenFile("/FileSystem/docs/a.txt", 0, 0, broken);
  reader_->failReads = true;
  std::int32_t done = 0;
  std::vector<std::uint8_t> buffer(100);
  EXPECT_THROW(c.OnReadFile(TCbFsFileInfo{}, broken, 0, buffer.data(), 100, done), ECbFsError);
  c.OnCloseFile(TCbFsFileInfo{}, broken);

  // The read window comes back with the end of the service.
  service_.reset();
  EXPECT_TRUE(disk_.CacheEnabled);
}

TEST(MountUnit, ArchitectureTagAndDriverTexts) {
  const std::string ini = ::testing::TempDir() + "/mount_unit_rvk.ini";
  std::remove(ini.c_str());
  platform::TIniFile(ini).WriteString("Main", "Windows_Type", "X64");
  MountUnitStartup(ini);
  EXPECT_EQ(ArchitectureTag(), "x64");
  SetArchitectureTag("");
  EXPECT_EQ(ProbeArchitecture(), sizeof(void*) == 8 ? "x64" : "x32");

  std::vector<std::string> lines;
  ScopedLogSink sink([&](const std::string& line, int) { lines.push_back(line); });
  std::string text;
  const bool installed = DriverStatusText(text);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("Mount2System.Driver install: ", 0), 0u);
  if (installed) {
    EXPECT_EQ(text.rfind("Driver (ver 3.", 0), 0u);
    EXPECT_NE(text.find(" installed\r\n"), std::string::npos);
  } else {
    EXPECT_EQ(text, "Driver not installed");
  }
  bool restart = true;
  std::string error;
  EXPECT_FALSE(UninstallDriverFile(restart, error));
  EXPECT_FALSE(restart);
  EXPECT_NE(error.find("fuse3"), std::string::npos);

  SetArchitectureTag("x64");
  MountUnitShutdown();
  EXPECT_EQ(platform::TIniFile(ini).ReadString("MAIN", "windows_type", ""), "x64");
}

// A failing Init reports the component's message, logs its steps word for
// word and leaves nothing mounted; Finish then runs its steps too.
TEST_F(MountServiceTest, InitAndFinishLogTheirSteps) {
  bool installed = false;
  std::uint32_t high = 0, low = 0;
  TCallbackFileSystem::QueryDriverState(kProductId, installed, high, low);
  VANDREL_REQUIRE(installed, "FUSE is not usable here");
  const std::string folder = ::testing::TempDir() + "/mount_busy_folder";
  std::filesystem::create_directories(folder);
  std::ofstream(folder + "/content") << "x";  // a folder that is not empty

  std::vector<std::string> lines;
  ScopedLogSink sink([&](const std::string& line, int) { lines.push_back(line); });
  std::string error;
  EXPECT_FALSE(service_->Init(folder, error));
  EXPECT_NE(error.find("is not empty"), std::string::npos) << error;
  const std::vector<std::string> expected = {
      "Mount2System.Init(" + folder + "): StartInit",
      "Mount2System.Driver version: " + std::to_string(high >> 16) + "." + std::to_string(high & 0xFFFF) + "." +
          std::to_string(low >> 16) + "." + std::to_string(low & 0xFFFF),
      "Mount2System.Init: CreateStorage start",
      "Mount2System.Init: end CreateStorage, MountMedia start",
      "Mount2System.Init: end MountMedia, AddMountingPoint start",
      "Mount2System.Init: Error: " + error,
      "Mount2System.Init: EndInit, Reboot: 0",
  };
  EXPECT_EQ(lines, expected);
  EXPECT_FALSE(service_->Mounted());

  lines.clear();
  EXPECT_TRUE(service_->Finish());
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Mount2System.Finish(): Start",
                       "Mount2System.Finish: DeleteMountingPoint start",
                       "Mount2System.Finish: end DeleteMountingPoint, UnmountMedia start",
                       "Mount2System.Finish: end UnmountMedia, DeleteStorage start",
                       "Mount2System.Finish: end DeleteStorage",
                       "Mount2System.Finish(): End",
                   }));
  EXPECT_FALSE(service_->Component().HasStorage());
}

TEST(CallbackFileSystem, PropertiesAndRequiredEvents) {
  TCallbackFileSystem c;
  EXPECT_GE(c.ThreadPoolSize(), 1u);
  EXPECT_EQ(c.StorageType(), stDisk);
  EXPECT_EQ(c.StorageCharacteristics(), static_cast<std::uint32_t>(scRemovableMedia));
  EXPECT_FALSE(c.SerializeCallbacks());
  bool installed = false;
  std::uint32_t high = 0, low = 0;
  TCallbackFileSystem::QueryDriverState(kProductId, installed, high, low);
  if (!installed) {
    EXPECT_THROW(c.CreateStorage(), ECbFsError);
    return;
  }
  c.CreateStorage();
  EXPECT_THROW(c.SetThreadPoolSize(4), ECbFsError);
  try {
    c.MountMedia(5000);
    ADD_FAILURE() << "MountMedia without handlers";
  } catch (const ECbFsError& e) {
    EXPECT_STREQ(e.what(), "Event 'OnMount' not handled. \r\n You must handle all events");
  }
  c.DeleteStorage(true);
  EXPECT_FALSE(c.HasStorage());
}

}  // namespace
}  // namespace vandrel
