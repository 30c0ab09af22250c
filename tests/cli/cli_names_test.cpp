// Names from disk that no host can hold, or holds twice, patched into
// real-tool images: `cp -r` writes nothing outside its destination, every
// name shows its visible substitute, duplicates get distinct names, and the
// mount shows the same names and bytes. Lookups follow each file system's
// own rule for case.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "common/endian.h"
#include "filesystems/reader_walk.h"
#include "mount/system_view.h"
#include "support/fixtures.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;
using test::ShellQuote;
using Bytes = std::vector<std::uint8_t>;

struct CliRun {
  int code = -1;
  std::string out;
  std::string err;
};

// vandrel-cli with a hang guard; the exit code as the shell saw it.
CliRun Cli(const std::string& image, const std::string& arguments, const fs::path& scratch) {
  CliRun r;
  const std::string errors = (scratch / "stderr").string();
  const std::string command = "timeout 300 " + std::string(VANDREL_CLI_PATH) + " --images-only --image " +
                              ShellQuote(image) + " " + arguments + " 2>" + ShellQuote(errors) + "; echo \"rc=$?\"";
  test::RunCommand(command, r.out);
  const auto at = r.out.rfind("rc=");
  if (at != std::string::npos) {
    r.code = std::stoi(r.out.substr(at + 3));
    r.out.erase(at);
  }
  std::ifstream in(errors);
  r.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return r;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Utf16(const std::u16string& text) {
  Bytes out;
  for (char16_t c : text) {
    out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return out;
}

Bytes Raw(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Replaces every occurrence of `from` in [begin, end) with `to` (same size).
int ReplaceAll(Bytes& image, std::size_t begin, std::size_t end, const Bytes& from, const Bytes& to) {
  int count = 0;
  for (auto it = image.begin() + static_cast<std::ptrdiff_t>(begin);;) {
    it = std::search(it, image.begin() + static_cast<std::ptrdiff_t>(end), from.begin(), from.end());
    if (it == image.begin() + static_cast<std::ptrdiff_t>(end)) break;
    std::copy(to.begin(), to.end(), it);
    it += static_cast<std::ptrdiff_t>(to.size());
    ++count;
  }
  return count;
}

// Renames in every MFT record ($FILE_NAME) and index block (the index
// entry's copy of it): each multi-sector record's update-sequence fix-ups
// are undone, the name replaced and the fix-ups made again.
int PatchNtfsName(Bytes& image, const Bytes& from, const Bytes& to) {
  int count = 0;
  for (std::size_t at = 0; at + 512 <= image.size(); at += 512) {
    const bool file = std::equal(image.begin() + static_cast<std::ptrdiff_t>(at), image.begin() + static_cast<std::ptrdiff_t>(at) + 4, "FILE");
    const bool indx = std::equal(image.begin() + static_cast<std::ptrdiff_t>(at), image.begin() + static_cast<std::ptrdiff_t>(at) + 4, "INDX");
    if (!file && !indx) continue;
    const std::span<std::uint8_t> record(image.data() + at, image.size() - at);
    const std::size_t usa = Le16(record, 4);
    const std::size_t sectors = Le16(record, 6);
    if (sectors < 2 || usa + 2 * sectors > 512 || at + (sectors - 1) * 512 > image.size()) continue;
    const std::size_t size = (sectors - 1) * 512;
    for (std::size_t i = 1; i < sectors; ++i) {
      record[i * 512 - 2] = record[usa + 2 * i];
      record[i * 512 - 1] = record[usa + 2 * i + 1];
    }
    count += ReplaceAll(image, at, at + size, from, to);
    for (std::size_t i = 1; i < sectors; ++i) {
      record[usa + 2 * i] = record[i * 512 - 2];
      record[usa + 2 * i + 1] = record[i * 512 - 1];
      record[i * 512 - 2] = record[usa];
      record[i * 512 - 1] = record[usa + 1];
    }
  }
  return count;
}

void WriteImage(const Bytes& image, const fs::path& path) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
}

// Regular files under `root`, relative path -> content.
std::map<std::string, std::string> FilesUnder(const fs::path& root) {
  std::map<std::string, std::string> files;
  if (!fs::exists(root)) return files;
  for (const auto& item : fs::recursive_directory_iterator(root))
    if (item.is_regular_file()) files[item.path().lexically_relative(root).string()] = ReadText(item.path());
  return files;
}

// What the fixtures write into a hostile file: its name reversed.
std::string Reversed(std::string text) {
  std::reverse(text.begin(), text.end());
  return text;
}

struct Rename {
  std::u16string placeholder;  // the name the fixture wrote
  std::u16string hostile;      // what the test patches in (same length)
};

struct HostileCase {
  const char* fixture;
  const char* kind;  // "ntfs", "ext" or "fat": how names are patched
  const char* folder;
  std::vector<Rename> renames;
  // Presented path -> the placeholder (the fixture's path) whose file it
  // shows ("" for either of the two duplicates).
  std::map<std::string, std::string> expected;
};

void PrintTo(const HostileCase& c, std::ostream* out) { *out << c.fixture; }

std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string Utf8(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

const std::u16string kLongPlaceholder = U16(std::string(196, 'L') + ".txt");
const std::u16string kLongHostile = std::u16string(196, u'\u00E9') + u".txt";
// 125 two-byte letters, the mark and the extension: 255 bytes.
std::string LongPresented() {
  std::string out;
  for (int i = 0; i < 125; ++i) out += "\xC3\xA9";
  return out + "~.txt";
}

const std::vector<Rename> kCommonRenames = {
    {u"ph01_aaaaaaaaa", u"../../escaped1"}, {u"p03", u"a/b"},
    {u"p04", u"c\\d"},                       {std::u16string(u"p05_abc.txt"), std::u16string(u"nul\0mid.txt", 11)},
    {u"p06_abcdefg", u"esc\x1b[31mred"},    {u"p13x", u"/abs"},
    {u"dupb.txt", u"dupa.txt"},              {u"p12dd", u"../up"}};

std::map<std::string, std::string> CommonExpected() {
  return {{"..%2F..%2Fescaped1", "ph01_aaaaaaaaa"}, {"a%2Fb", "p03"},
          {"c%5Cd", "p04"},                          {"nul%00mid.txt", "p05_abc.txt"},
          {"esc%1B[31mred", "p06_abcdefg"},          {"%2Fabs", "p13x"},
          {"dupa.txt", ""},                          {"dupa (2).txt", ""},
          {"..%2Fup/inner.txt", "p12dd/inner.txt"}};
}

HostileCase NtfsCase() {
  HostileCase c{"ntfs_names", "ntfs", "/hostile", kCommonRenames, CommonExpected()};
  c.renames.push_back({u"p7", u".."});
  c.renames.push_back({u"p14", u"a\u009Bb"});  // a C1 control: a valid name, escaped on the terminal only
  c.renames.push_back({kLongPlaceholder, kLongHostile});
  c.expected["%2E%2E"] = "p7";
  c.expected["a\xC2\x9B" "b"] = "p14";
  c.expected[LongPresented()] = Utf8(kLongPlaceholder);
  return c;
}

HostileCase ExtCase() { return {"ext2_names", "ext", "/hostile", kCommonRenames, CommonExpected()}; }

HostileCase FatCase() {
  return {"fat32_names",
          "fat",
          "/HOSTILE",
          {{u"AXB     TXT", u"A/B     TXT"}, {u"CXD     TXT", u"C\x01" u"D     TXT"}, {u"DUPB    TXT", u"DUPA    TXT"}},
          {{"A%2FB.TXT", "AXB.TXT"}, {"C%01D.TXT", "CXD.TXT"}, {"DUPA.TXT", ""}, {"DUPA (2).TXT", ""}}};
}

// A scratch folder for images, copies and mount points.
class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vandrel-names-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

class HostileNames : public ScratchTest, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileNames, CopyStaysInsideAndShowsSubstitutes) {
  const HostileCase& c = GetParam();
  VANDREL_FIXTURE(fixture, c.fixture);
  Bytes image = test::ReadFileBytes(fixture);
  for (const Rename& r : c.renames) {
    const std::string kind = c.kind;
    const int patched = kind == "ntfs" ? PatchNtfsName(image, Utf16(r.placeholder), Utf16(r.hostile))
                        : kind == "ext" ? ReplaceAll(image, 0, image.size(), Raw(Utf8(r.placeholder)), Raw(Utf8(r.hostile)))
                                        : ReplaceAll(image, 0, image.size(), Raw(Utf8(r.placeholder)), Raw(Utf8(r.hostile)));
    ASSERT_GE(patched, 1) << Utf8(r.placeholder);
  }
  const fs::path imagePath = dir_ / "hostile.img";
  WriteImage(image, imagePath);

  // The destination sits in a guard folder deep enough for every "../".
  const fs::path guard = dir_ / "guard";
  const fs::path destination = guard / "g1" / "g2" / "g3" / "dest";
  fs::create_directories(destination);
  const CliRun copy = Cli(imagePath.string(), std::string("cp -r 0 ") + c.folder + " " + ShellQuote(destination.string()), dir_);
  EXPECT_EQ(copy.code, 0) << copy.err;
  std::set<std::string> outside;
  for (const auto& item : fs::recursive_directory_iterator(guard)) {
    const std::string relative = item.path().lexically_relative(guard).string();
    if (relative.rfind("g1/g2/g3/dest", 0) != 0 && relative != "g1" && relative != "g1/g2" && relative != "g1/g2/g3")
      outside.insert(relative);
  }
  EXPECT_TRUE(outside.empty()) << *outside.begin();
  EXPECT_FALSE(fs::exists("/abs"));

  const fs::path copied = destination / fs::path(c.folder).filename();
  const auto files = FilesUnder(copied);
  std::set<std::string> names, duplicates;
  for (const auto& [path, content] : files) names.insert(path);
  for (const auto& [path, from] : c.expected) {
    ASSERT_EQ(files.count(path), 1u) << path;
    if (from.empty())
      duplicates.insert(files.at(path));
    else
      EXPECT_EQ(files.at(path), Reversed(from) + "\n") << path;
  }
  EXPECT_EQ(files.size(), c.expected.size());
  // The two entries of one name keep their own bytes.
  if (std::string(c.kind) == "fat")
    EXPECT_EQ(duplicates, (std::set<std::string>{"TXT.APUD\n", "TXT.BPUD\n"}));
  else
    EXPECT_EQ(duplicates, (std::set<std::string>{"txt.apud\n", "txt.bpud\n"}));

  // ls shows the same names, nothing raw reaches the terminal.
  const CliRun listing = Cli(imagePath.string(), std::string("ls -R 0 ") + c.folder, dir_);
  EXPECT_EQ(listing.code, 0) << listing.err;
  EXPECT_EQ(listing.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(listing.out.find("\xC2\x9B"), std::string::npos);
  for (const auto& [shown, from] : c.expected) {
    std::string path = shown;
    for (auto at = path.find("\xC2\x9B"); at != std::string::npos; at = path.find("\xC2\x9B"))
      path.replace(at, 2, "\\u009B");
    EXPECT_NE(listing.out.find(std::string(c.folder) + "/" + path + "\n"), std::string::npos) << path << "\n" << listing.out;
  }

  // The mount shows what the copy wrote.
  const std::string missing = test::MissingForMountTest("ext");
  if (!missing.empty()) return;
  const fs::path mountPoint = dir_ / "mnt";
  fs::create_directories(mountPoint);
  std::string out;
  ASSERT_TRUE(test::MountWithCli(imagePath.string(), mountPoint.string(), out)) << out;
  const auto mounted = FilesUnder(mountPoint / "FileSystem" / fs::path(c.folder).relative_path());
  test::UnmountWithCli(mountPoint.string(), out);
  EXPECT_EQ(mounted, files);
}

INSTANTIATE_TEST_SUITE_P(Images, HostileNames, ::testing::Values(NtfsCase(), ExtCase(), FatCase()),
                         [](const ::testing::TestParamInfo<HostileCase>& p) { return std::string(p.param.kind); });

struct LookupCase {
  const char* fixture;
  const char* path;     // as the user types it
  const char* content;  // nullptr: the lookup must fail
};

// Each file system's own rule: Ext names are bytes, FAT matches long and
// short names without case, NTFS finds an exact POSIX name first and any
// other case through its upper-case table.
const LookupCase kLookups[] = {
    {"ext2_names", "/names/UPPER.TXT", "UPPER.TXT\n"},
    {"ext2_names", "/names/upper.txt", "upper.txt\n"},
    {"ext2_names", "/names/Upper.txt", nullptr},
    {"ext2_names", "/NAMES/upper.txt", nullptr},
    {"fat32_names", "/mixed/mixed case name.TXT", "Mixed Case Name.txt\n"},
    {"fat32_names", "/MIXED/MIXEDC~1.TXT", "Mixed Case Name.txt\n"},
    {"fat32_names", "/Mixed/mixedc~1.txt", "Mixed Case Name.txt\n"},
    {"fat32_names", "/MIXED/Mixed Case Nam.txt", nullptr},
    {"ntfs_names", "/cases/Case.txt", "Case.txt\n"},
    {"ntfs_names", "/cases/case.txt", "case.txt\n"},
    {"ntfs_names", "/CASES/ONLY.TXT", "Only.txt\n"},
    {"ntfs_names", "/cases/Only.tx", nullptr},
};

class NameLookup : public ScratchTest {};

TEST_F(NameLookup, EachFileSystemsOwnRuleInCliAndMount) {
  const bool mountable = test::MissingForMountTest("ext").empty();
  for (const char* fixtureName : {"ext2_names", "fat32_names", "ntfs_names"}) {
    VANDREL_FIXTURE(image, fixtureName);
    const fs::path mountPoint = dir_ / fixtureName;
    fs::create_directories(mountPoint);
    std::string out;
    const bool mounted = mountable && test::MountWithCli(image, mountPoint.string(), out);
    EXPECT_EQ(mounted, mountable) << out;
    for (const LookupCase& c : kLookups) {
      if (std::string(c.fixture) != fixtureName) continue;
      const CliRun cat = Cli(image, std::string("cat 0 ") + ShellQuote(c.path), dir_);
      if (c.content == nullptr) {
        EXPECT_NE(cat.code, 0) << c.fixture << " " << c.path << ": " << cat.out;
      } else {
        EXPECT_EQ(cat.code, 0) << c.fixture << " " << c.path << ": " << cat.err;
        EXPECT_EQ(cat.out, c.content) << c.fixture << " " << c.path;
      }
      if (!mounted) continue;
      const fs::path file = mountPoint / ("FileSystem" + std::string(c.path));
      if (c.content == nullptr)
        EXPECT_FALSE(fs::exists(file)) << c.fixture << " " << c.path;
      else
        EXPECT_EQ(ReadText(file), c.content) << c.fixture << " " << c.path;
    }
    if (mounted) test::UnmountWithCli(mountPoint.string(), out);
  }
}

// A folder whose clusters hold garbage: ~2 400 entries that claim to be
// folders at random clusters. Listing and copying walk it by its entries
// and end (the timeout in Cli guards against a hang, it measures nothing).
class GarbageFolder : public ScratchTest {};

TEST_F(GarbageFolder, ListsAndCopiesToTheEnd) {
  VANDREL_FIXTURE(fixture, "fat32_names");
  Bytes image = test::ReadFileBytes(fixture);
  const std::span<const std::uint8_t> boot(image.data(), 512);
  const std::size_t sector = Le16(boot, 11);
  const std::size_t cluster = sector * Le8(boot, 13);
  const std::size_t fatAt = sector * Le16(boot, 14);
  const std::size_t dataAt = fatAt + sector * Le8(boot, 16) * Le32(boot, 36);
  const std::uint32_t clusters = static_cast<std::uint32_t>((image.size() - dataAt) / cluster);
  const auto clusterAt = [&](std::uint32_t n) { return dataAt + (n - 2) * cluster; };
  // GARBAGE's entry in the root folder.
  const std::size_t root = clusterAt(Le32(boot, 44));
  const Bytes key = Raw("GARBAGE    ");
  const auto entry = std::search(image.begin() + static_cast<std::ptrdiff_t>(root),
                                 image.begin() + static_cast<std::ptrdiff_t>(root + cluster), key.begin(), key.end());
  ASSERT_NE(entry, image.begin() + static_cast<std::ptrdiff_t>(root + cluster));
  const std::span<const std::uint8_t> raw(&*entry, 32);
  std::uint32_t next = (std::uint32_t{Le16(raw, 20)} << 16) | Le16(raw, 26);
  std::mt19937 random(7);
  int written = 0;
  for (int hops = 0; next >= 2 && next < clusters + 2 && hops < 100000; ++hops) {
    const std::size_t at = clusterAt(next);
    for (std::size_t e = hops == 0 ? 64 : 0; e + 32 <= cluster; e += 32, ++written) {
      std::uint8_t* d = image.data() + at + e;
      for (int i = 0; i < 11; ++i) d[i] = static_cast<std::uint8_t>('A' + random() % 26);
      d[11] = 0x10;
      std::fill(d + 12, d + 32, std::uint8_t{0});
      const std::uint32_t target = 3 + random() % (clusters - 1);
      d[20] = static_cast<std::uint8_t>(target >> 16);
      d[21] = static_cast<std::uint8_t>(target >> 24);
      d[26] = static_cast<std::uint8_t>(target);
      d[27] = static_cast<std::uint8_t>(target >> 8);
    }
    next = Le32(std::span<const std::uint8_t>(image.data() + fatAt, image.size() - fatAt), next * 4) & 0x0FFFFFFF;
  }
  ASSERT_GT(written, 1000);
  const fs::path& dir = dir_;
  fs::create_directories(dir / "copy");
  WriteImage(image, dir / "garbage.img");
  const CliRun listing = Cli((dir / "garbage.img").string(), "ls -R 0 /GARBAGE", dir);
  EXPECT_NE(listing.code, 124) << "ls -R did not end";
  EXPECT_GT(std::count(listing.out.begin(), listing.out.end(), '\n'), 1000);
  const CliRun copy = Cli((dir / "garbage.img").string(), "cp -r 0 /GARBAGE " + ShellQuote((dir / "copy").string()), dir);
  EXPECT_NE(copy.code, 124) << "cp -r did not end";
  EXPECT_TRUE(fs::is_directory(dir / "copy" / "GARBAGE"));
}

// Past the longest path the mount takes, a folder is an error, not empty.
TEST_F(ScratchTest, MountReportsPathsPastItsLimit) {
  VANDREL_FIXTURE(image, "ext2_names");
  const std::string missing = test::MissingForMountTest("ext");
  VANDREL_REQUIRE(missing.empty(), missing);
  const fs::path mountPoint = dir_ / "mnt";
  fs::create_directories(mountPoint);
  std::string out;
  ASSERT_TRUE(test::MountWithCli(image, mountPoint.string(), out)) << out;
  const std::string root = (mountPoint / "FileSystem").string();
  std::string found;
  const bool clean = test::RunCommand("cd " + ShellQuote(root) + " && find . -name bottom.txt 2>&1", found);
  test::UnmountWithCli(mountPoint.string(), out);
  EXPECT_FALSE(clean);
  EXPECT_NE(found.find("File name too long"), std::string::npos) << found;
}

}  // namespace
}  // namespace vandrel
