// A disk formatted whole (no partition table) as the machine's disk scan
// finds it: a loop device over a bare ext4, FAT32 or NTFS image lists its
// one volume with its label, and the volume's files read back, by `cat` and
// through the mount, as the kernel, ntfs-3g or mtools read them.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "filesystems/reader_walk.h"
#include "mount/system_view.h"
#include "storage/partition_info.h"
#include "support/fixtures.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;
using test::RunCommand;
using test::ShellQuote;

// A loop device attached read-only over an image, detached on every way out.
class LoopDevice {
 public:
  explicit LoopDevice(const std::string& image) {
    std::string out;
    if (RunCommand("losetup -r -f --show " + ShellQuote(image) + " 2>/dev/null", out))
      path_ = out.substr(0, out.find('\n'));
  }
  ~LoopDevice() {
    std::string ignored;
    if (!path_.empty()) RunCommand("losetup -d " + ShellQuote(path_) + " 2>&1", ignored);
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

std::string Cli(const std::string& arguments, bool* ok = nullptr) {
  std::string out;
  const bool done = RunCommand("timeout 120 " + std::string(VANDREL_CLI_PATH) + " " + arguments + " 2>/dev/null", out);
  if (ok != nullptr) *ok = done;
  return out;
}

// The rows `list --json` gives the device at `path` and its volumes.
struct DeviceRows {
  std::string addr;
  std::vector<nlohmann::json> volumes;
};
DeviceRows FindDevice(const std::string& path) {
  DeviceRows found;
  bool ok = false;
  const std::string text = Cli("list --json", &ok);
  if (!ok) return found;
  const nlohmann::json rows = nlohmann::json::parse(text, nullptr, false);
  if (!rows.is_array()) return found;
  for (const auto& row : rows)
    if (row.value("path", "") == path && row["kind"].is_null()) found.addr = row["addr"];
  if (found.addr.empty()) return found;
  for (const auto& row : rows) {
    const std::string addr = row["addr"];
    if (addr.starts_with(found.addr + ":")) found.volumes.push_back(row);
  }
  return found;
}

// Disk numbers follow the machine's disks, which other programs attach and
// detach at any time (a loop device released a moment ago goes away late):
// a command's answer counts only when the number it was given named the
// same device before and after it.
template <typename Command>
bool WithStableAddress(const std::string& path, Command command) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    const std::string addr = FindDevice(path).addr;
    if (addr.empty()) continue;
    command(addr);
    if (FindDevice(path).addr == addr) return true;
  }
  return false;
}

// What a case set up is taken down on every way out, the loop device last.
struct SystemView {
  std::string kind;
  std::string folder;
  ~SystemView() {
    test::ReleaseSystemView(kind, folder);
    std::error_code ignored;
    fs::remove_all(fs::path(folder).parent_path(), ignored);
  }
};
struct MountedFolder {
  std::string folder;
  ~MountedFolder() {
    std::string ignored;
    test::UnmountWithCli(folder, ignored);
  }
};

struct Case {
  const char* fixture;
  const char* kind;  // whose view of the image is the reference
  const char* typeName;
  const char* label;
  std::vector<std::string> files;
};

std::string FileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(LoopDeviceVolume, BareVolumeListsWithLabelAndReadsBack) {
  VANDREL_REQUIRE(test::IsRoot() && test::HaveTool("losetup"), "needs root and losetup to attach a loop device");
  const Case cases[] = {
      {"ext4_small", "ext", "ext4", "extfull",
       {"/a.txt", "/Zürich ñ 日本語 ☃.txt", "/d1/d2/d3/d4/d5/d6/d7/d8/deep.txt", "/many_extents", "/dense_double"}},
      {"fat32_full", "fat", "FAT 32", "FULL32", {"/a.txt", "/Zürich ñ.txt", "/d1/d2/d3/d4/d5/d6/d7/d8/d9/d10/deep file.txt", "/frag/big.bin"}},
      {"ntfs_files", "ntfs", "NTFS", "FILES", {"/small.txt", "/Zürich ñ.txt", "/d1/d2/d3/d4/deep file.txt", "/big.bin", "/sparse.bin"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fixture);
    const std::string missing = test::MissingForMountTest(c.kind);
    VANDREL_REQUIRE(missing.empty(), missing);
    VANDREL_FIXTURE(image, c.fixture);
    const fs::path work = fs::temp_directory_path() / ("vandrel-loopvol-" + std::to_string(::getpid()) + "-" + c.kind);
    fs::remove_all(work);
    fs::create_directories(work / "system");
    fs::create_directories(work / "mounted");
    std::string error;
    ASSERT_TRUE(test::MakeSystemView(c.kind, image, (work / "system").string(), error)) << error;
    const SystemView view{c.kind, (work / "system").string()};
    {
      const LoopDevice loop(image);
      ASSERT_FALSE(loop.Path().empty()) << "losetup failed";

      const DeviceRows device = FindDevice(loop.Path());
      ASSERT_FALSE(device.addr.empty()) << loop.Path() << " is not in the list";
      ASSERT_EQ(device.volumes.size(), 1u) << loop.Path();
      const nlohmann::json& volume = device.volumes[0];
      EXPECT_EQ(volume["addr"], device.addr + ":0");
      EXPECT_EQ(volume["kind"], pkWithoutTable);
      EXPECT_EQ(volume["type_name"], c.typeName);
      EXPECT_EQ(volume["label"], c.label);
      EXPECT_EQ(volume["start"], 0);
      EXPECT_EQ(volume["size"], static_cast<std::int64_t>(fs::file_size(image)));

      // Addressed as the volume and as the disk it fills.
      for (const std::string volumeSuffix : {":0", ""}) {
        for (const std::string& file : c.files) {
          std::string bytes;
          bool ok = false;
          ASSERT_TRUE(WithStableAddress(loop.Path(), [&](const std::string& disk) {
            bytes = Cli("cat " + disk + volumeSuffix + " " + ShellQuote(file), &ok);
          }));
          EXPECT_TRUE(ok) << volumeSuffix << " " << file;
          EXPECT_TRUE(bytes == FileText(work / "system" / file.substr(1))) << volumeSuffix << " " << file;
        }
      }

      // The mount serves the same bytes in its FileSystem folder.
      const std::string folder = (work / "mounted").string();
      bool mounted = false;
      const MountedFolder unmount{folder};
      ASSERT_TRUE(WithStableAddress(loop.Path(), [&](const std::string& disk) {
        if (mounted) test::UnmountWithCli(folder, error);
        mounted = RunCommand(std::string(VANDREL_CLI_PATH) + " mount " + disk + ":0 " + ShellQuote(folder) +
                                 " --background 2>&1",
                             error);
      }));
      ASSERT_TRUE(mounted) << error;
      for (const std::string& file : c.files)
        EXPECT_TRUE(FileText(work / "mounted" / "FileSystem" / file.substr(1)) == FileText(work / "system" / file.substr(1)))
            << file;
    }
  }
}

}  // namespace
}  // namespace vandrel
