// vandrel-cli mount of images made by the real tools, compared with what
// the system's own readers show of the same image: the kernel (ext),
// ntfs-3g (NTFS) and mtools (FAT).
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#include "mount/system_view.h"
#include "support/fixtures.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;
using test::RunCommand;

struct Case {
  const char* fixture;
  const char* kind;  // how the reference view is made
  // Deleted entries the reader lists for recovery; the reference tools
  // do not show them.
  std::vector<std::string> recovered = {};
};

// Names the case by its fixture in test output.
void PrintTo(const Case& c, std::ostream* out) { *out << c.fixture; }

std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Every path with its type and (files) size, then every file's sha256,
// hashed by eight readers at once.
std::string Describe(const std::string& folder, const std::vector<std::string>& leaveOut = {}) {
  std::string listing, hashes;
  const std::string cd = "cd " + Quote(folder) + " && ";
  // Devices, FIFOs and sockets carry no data; the mount leaves them out.
  EXPECT_TRUE(RunCommand(cd + "find . -mindepth 1 \\( -type b -o -type c -o -type p -o -type s \\) -prune -o "
                              "\\( -type f -printf '%y %s %p\\n' \\) -o -printf '%y %p\\n' | LC_ALL=C sort",
                         listing));
  EXPECT_TRUE(RunCommand(cd + "find . -type f -print0 | xargs -0 -r -P8 -n4 sha256sum | LC_ALL=C sort -k2", hashes));
  std::string kept;
  std::istringstream lines(listing + hashes);
  for (std::string line; std::getline(lines, line);) {
    const bool left = std::any_of(leaveOut.begin(), leaveOut.end(), [&](const std::string& path) {
      return line.size() >= path.size() + 1 && line.compare(line.size() - path.size() - 1, std::string::npos, " " + path) == 0;
    });
    if (!left) kept += line + "\n";
  }
  return kept;
}

// The reference view with names as the mount shows them ("\\" is %5C;
// sha256sum marks a line whose name it escaped with a leading "\\"), its
// lines sorted again.
std::string WithShownNames(const std::string& view) {
  std::vector<std::string> lines;
  std::istringstream in(view);
  for (std::string line; std::getline(in, line);) {
    const bool escaped = !line.empty() && line[0] == '\\';
    if (escaped) line.erase(0, 1);
    std::string shown;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line[i] != '\\') {
        shown += line[i];
        continue;
      }
      shown += "%5C";
      if (escaped && i + 1 < line.size() && line[i + 1] == '\\') ++i;
    }
    lines.push_back(shown);
  }
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

// The differences as diff shows them, so a failure names the paths.
void ExpectSameView(const std::string& oursView, const std::string& referenceView, const std::string& dir) {
  const std::string ours = WithShownNames(oursView);
  const std::string reference = WithShownNames(referenceView);
  if (ours == reference) return;
  std::ofstream(dir + "/ours.txt") << ours;
  std::ofstream(dir + "/reference.txt") << reference;
  std::string diff;
  RunCommand("diff " + Quote(dir + "/reference.txt") + " " + Quote(dir + "/ours.txt") + " | head -40", diff);
  ADD_FAILURE() << "the mount's view differs from the reference:\n" << diff;
}

std::string Sha256(const std::string& path) {
  std::string out;
  RunCommand("sha256sum " + Quote(path), out);
  return out.substr(0, 64);
}

const std::vector<std::string> kFatRecovered = {"./del/xone.txt", "./del/xeleted long name.txt"};

// The reader shows the NTFS metadata files; ntfs-3g hides them.
const std::vector<std::string> kNtfsSystemFiles = {
    "./$AttrDef", "./$BadClus", "./$Bitmap", "./$Boot", "./$Extend", "./$Extend/$ObjId", "./$Extend/$Quota",
    "./$Extend/$Reparse", "./$LogFile", "./$MFT", "./$MFTMirr", "./$Secure", "./$UpCase", "./$Volume"};

class MountImageTest : public ::testing::TestWithParam<Case> {};

TEST_P(MountImageTest, SameViewAsTheSystemsReaders) {
  const Case& c = GetParam();
  VANDREL_FIXTURE(image, c.fixture);
  const std::string missing = test::MissingForMountTest(c.kind);
  VANDREL_REQUIRE(missing.empty(), missing);
  const std::string kind = c.kind;

  const std::string dir = ::testing::TempDir() + "/vandrel_e2e_" + std::to_string(::getpid()) + "_" + c.fixture;
  fs::remove_all(dir);
  fs::create_directories(dir + "/ours");
  fs::create_directories(dir + "/ref");
  const std::string before = Sha256(image);

  // The reference view.
  std::string out;
  ASSERT_TRUE(test::MakeSystemView(kind, image, dir + "/ref", out)) << out;
  const std::string reference = Describe(dir + "/ref");
  test::ReleaseSystemView(kind, dir + "/ref");

  ASSERT_TRUE(test::MountWithCli(image, dir + "/ours", out)) << out;
  const std::string ours = dir + "/ours";
  if (!fs::exists(ours + "/FileSystem")) {
    test::UnmountWithCli(ours, out);
    // The reader of this kind joins later; the rest of the view is checked then.
    if (kind == "ntfs") GTEST_SKIP() << "no NTFS reader attached";
    FAIL() << "no FileSystem folder";
  }
  ExpectSameView(Describe(ours + "/FileSystem", c.recovered), reference, dir);
  EXPECT_EQ(Sha256(ours + "/Storage"), before);

  // Nothing changes the volume.
  const std::string target = ours + "/FileSystem";
  for (const std::string& command : {
           "touch " + Quote(target + "/new-file"),
           "mkdir " + Quote(target + "/new-dir"),
           "sh -c 'echo x >> " + target + "/$(ls " + Quote(target) + " | head -1)'",
           "rm -rf " + Quote(target) + "/*",
           "sh -c 'for f in " + target + "/*; do mv \"$f\" \"$f.moved\"; done'",
       }) {
    EXPECT_FALSE(RunCommand(command + " 2>/dev/null", out)) << command;
  }
  EXPECT_FALSE(RunCommand("sh -c 'echo x > " + Quote(ours + "/Storage") + "' 2>&1", out));
  EXPECT_NE(out.find("Read-only file system"), std::string::npos) << out;
  ExpectSameView(Describe(ours + "/FileSystem", c.recovered), reference, dir);

  ASSERT_TRUE(test::UnmountWithCli(ours, out)) << out;
  EXPECT_EQ(Sha256(image), before);
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Images, MountImageTest,
                         ::testing::Values(Case{"ext4_full", "ext"}, Case{"ext3_small", "ext"},
                                           Case{"fat32_full", "fat", kFatRecovered}, Case{"fat16_full", "fat", kFatRecovered},
                                           Case{"ntfs_files", "ntfs", kNtfsSystemFiles}),
                         [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.fixture); });

}  // namespace
}  // namespace vandrel
