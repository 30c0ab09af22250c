// Directory junctions on NTFS: both readers list a junction as the folder it
// names on the same volume, compared with what ntfs-3g shows through the
// symbolic link it makes of the junction; loops end, damaged reparse data
// leads nowhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

#include "common/log.h"
#include "filesystems/NTFS.h"
#include "support/fixtures.h"
#include "support/ntfs_image.h"
#include "support/ntfs3g_mount.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;

using Opened = test::NtfsImage;
using test::OpenNtfsImage;

// Names a listing yields ("." and ".." left out); nullopt-like {"<none>"}
// when the enumeration does not start.
std::set<std::string> Names(FileSystem& fs, FsHandle handle, TFileEntry first) {
  std::set<std::string> names;
  if (handle == kNoHandle) return names;
  do {
    if (first.Name != ".." && first.Name != ".") names.insert(first.Name);
    first.Clear();
  } while (fs.FindNext(handle, first));
  fs.FindClose(handle);
  return names;
}

std::set<std::string> ListByPath(FileSystem& fs, const std::string& path) {
  TFileEntry first;
  const FsHandle handle = fs.FindFirstByPath(path, first);
  return Names(fs, handle, first);
}

std::set<std::string> ListEntry(FileSystem& fs, const std::string& path) {
  TFileEntry entry;
  if (!fs.LookupPath(path, entry, false, nullptr)) return {"<not found>"};
  TFileEntry first;
  const FsHandle handle = fs.FindFirst(entry, first);
  return Names(fs, handle, first);
}

std::set<std::string> Ntfs3gNames(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& item : fs::directory_iterator(folder, ec)) names.insert(item.path().filename().string());
  return names;
}

std::vector<std::uint8_t> FileBytes(FileSystem& fs, const std::string& path) {
  TFileEntry entry;
  std::vector<std::uint8_t> data;
  if (!fs.LookupPath(path, entry, true, nullptr)) return data;
  FsHandle h = fs.OpenFile(entry, 0x80);
  if (h == kNoHandle) return data;
  std::vector<std::uint8_t> block(65536);
  for (std::int32_t n; (n = fs.Read(h, block.data(), static_cast<std::int32_t>(block.size()))) > 0;)
    data.insert(data.end(), block.begin(), block.begin() + n);
  fs.CloseFile(h);
  return data;
}

class NtfsJunctions : public test::Ntfs3gImageTest {
 protected:
  void SetUp() override { Load("ntfs_junctions"); }
  ScopedLogSink quiet_{[](const std::string&, int) {}};
};

// Where ntfs-3g's link leads is the folder the junction lists; a junction
// back to a folder above it lists nothing in the scanning tree, whose
// listing knows the junction's place; a symbolic link is not a junction.
TEST_F(NtfsJunctions, ListTheFolderTheyName) {
  test::Ntfs3gMount mount(image_);
  ASSERT_TRUE(mount.Mounted());
  const std::string m = mount.Dir();
  struct Case {
    std::string path;
    std::string ntfs3g;  // the folder ntfs-3g shows the same names in; "" for none
    bool scanFollows;
  };
  const std::vector<Case> cases = {
      {"/junc", "/target", true},
      {"/junc/sub", "/target/sub", true},
      {"/p/j1", "/r", true},
      {"/p/j1/j2", "/p", true},
      {"/p/j1/j2/j1/j2/j1", "/r", true},
      {"/a/b/up", "/a", false},
      {"/a/b/up/b/up/b", "/a/b", false},
      {"/missing", "", true},
  };
  for (bool salvager : {false, true}) {
    Opened v = OpenNtfsImage(bytes_, salvager);
    ASSERT_TRUE(v.reader->Usable());
    for (const Case& c : cases) {
      SCOPED_TRACE((salvager ? "scan " : "index ") + c.path);
      std::set<std::string> expected;
      if (!c.ntfs3g.empty()) {
        expected = Ntfs3gNames(m + c.ntfs3g);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(Ntfs3gNames(m + c.path), expected) << "ntfs-3g follows its link";
      }
      if (salvager && !c.scanFollows) {
        // The walk stops at the junction that leads back: deeper paths do
        // not exist there.
        if (std::count(c.path.begin(), c.path.end(), '/') > 3) {
          EXPECT_TRUE(ListByPath(*v.reader, c.path).empty());
          continue;
        }
        expected.clear();
      }
      EXPECT_EQ(ListByPath(*v.reader, c.path), expected);
      EXPECT_EQ(ListEntry(*v.reader, c.path), expected);
    }
    // Files are read through a junction as through their own folder.
    EXPECT_EQ(FileBytes(*v.reader, "/junc/big.bin"), test::ReadFileBytes(m + "/target/big.bin"));
    EXPECT_EQ(FileBytes(*v.reader, "/p/j1/j2/p.txt"), test::ReadFileBytes(m + "/p/p.txt"));
    // A symbolic link to a folder is a link, with the target text it stores
    // (the scanning tree does not tell links yet).
    if (salvager) continue;
    TFileEntry link;
    ASSERT_TRUE(v.reader->LookupPath("/symdir", link, true, nullptr));
    EXPECT_NE(link.Attributes & kAttrSymlink, 0u);
    EXPECT_FALSE(link.IsDirectory());
    std::string target;
    EXPECT_TRUE(v.reader->ReadLinkTarget(link, target));
    EXPECT_EQ(target, "C:/target");
  }
}

TEST_F(NtfsJunctions, LogsTheTargetAsItIsWorkedOut) {
  for (bool salvager : {false, true}) {
    Opened v = OpenNtfsImage(bytes_, salvager);
    std::mutex mutex;
    std::vector<std::string> lines;
    ScopedLogSink sink([&](const std::string& line, int) {
      std::lock_guard lock(mutex);
      lines.push_back(line);
    });
    TFileEntry junction;
    ASSERT_TRUE(v.reader->LookupPath("/a/b/up", junction, false, nullptr));
    EXPECT_EQ(v.reader->ResolveLinkTarget(junction), salvager ? "" : "/a");
    const std::vector<std::string> expected = {"Link: C:\\a", "Local_Link: \\a",
                                               salvager ? "iFileName: /a/b/up" : "iFileName: up"};
    for (const std::string& line : expected)
      EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
  }
}

// Damage to a junction's reparse data in the image: the junction then lists
// its own (empty) index, and nothing reads outside the data.
TEST_F(NtfsJunctions, DamagedReparseDataLeadsNowhere) {
  Opened clean = OpenNtfsImage(bytes_, false);
  TFileEntry junction;
  ASSERT_TRUE(clean.reader->LookupPath("/junc", junction, false, nullptr));
  const std::int64_t at = clean.reader->RecordOffset(junction.ObjectId);
  ASSERT_GT(at, 0);
  const std::uint32_t recordSize = clean.reader->Boot().RecordSize;
  std::vector<std::uint8_t> record(bytes_.begin() + at, bytes_.begin() + at + recordSize);
  TNtfsRecordInfo info;
  std::vector<TNtfsAttrHeader> headers;
  ASSERT_TRUE(ParseRecordAttributes(record, info, headers));
  const auto reparse = std::find_if(headers.begin(), headers.end(), [](const TNtfsAttrHeader& h) {
    return h.Type == kNtfsAttrReparsePoint && !h.NonResident;
  });
  ASSERT_NE(reparse, headers.end());
  const std::size_t value = static_cast<std::size_t>(at) + reparse->ValueOffset;
  struct Patch {
    const char* what;
    std::size_t offset;  // within the reparse data
    std::vector<std::uint8_t> bytes;
  };
  const std::vector<Patch> patches = {
      {"symbolic-link tag", 0, {0x0C, 0x00, 0x00, 0xA0}},
      {"unknown tag", 0, {0x17, 0x00, 0x00, 0x80}},
      {"name longer than the data", 10, {0xF0, 0xFF}},
      {"name offset past the data", 8, {0x00, 0x7F}},
      {"data length shorter than the name", 4, {0x06, 0x00}},
      {"odd name length", 10, {0x19, 0x00}},
      {"empty name", 10, {0x00, 0x00}},
      {"name without the \\??\\ prefix", 16, {'C', 0, ':', 0, '\\', 0, 't', 0}},
  };
  for (const Patch& p : patches) {
    SCOPED_TRACE(p.what);
    // The record's protected last bytes of each sector stay untouched.
    ASSERT_LT((value + p.offset) % 512 + p.bytes.size(), 511u);
    std::vector<std::uint8_t> damaged = bytes_;
    std::copy(p.bytes.begin(), p.bytes.end(), damaged.begin() + static_cast<std::ptrdiff_t>(value + p.offset));
    for (bool salvager : {false, true}) {
      Opened v = OpenNtfsImage(damaged, salvager);
      EXPECT_TRUE(ListByPath(*v.reader, "/junc").empty());
      EXPECT_EQ(ListByPath(*v.reader, "/target").size(), 3u);
    }
  }
}

TEST(NtfsReparseData, MountPointTargets) {
  // A mount-point buffer: substitute name at 0, print name after it.
  auto build = [](std::uint32_t tag, const std::u16string& substitute, std::uint16_t dataLengthDelta = 0) {
    std::vector<std::uint8_t> name;
    for (char16_t c : substitute) {
      name.push_back(static_cast<std::uint8_t>(c & 0xFF));
      name.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    const auto length = static_cast<std::uint16_t>(name.size());
    const auto dataLength = static_cast<std::uint16_t>(8 + name.size() + 2 - dataLengthDelta);
    std::vector<std::uint8_t> b = {static_cast<std::uint8_t>(tag), static_cast<std::uint8_t>(tag >> 8),
                                   static_cast<std::uint8_t>(tag >> 16), static_cast<std::uint8_t>(tag >> 24),
                                   static_cast<std::uint8_t>(dataLength), static_cast<std::uint8_t>(dataLength >> 8),
                                   0, 0, 0, 0,
                                   static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
                                   static_cast<std::uint8_t>(length + 2), 0, 0, 0};
    b.insert(b.end(), name.begin(), name.end());
    b.push_back(0);
    b.push_back(0);
    return b;
  };
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    std::string target;  // "" when refused
  };
  std::vector<std::uint8_t> truncated = build(kNtfsReparseMountPoint, u"\\??\\C:\\x");
  truncated.resize(20);
  const std::vector<Case> cases = {
      {"junction", build(kNtfsReparseMountPoint, u"\\??\\C:\\x"), "\\??\\C:\\x"},
      {"symbolic link", build(kNtfsReparseSymlink, u"\\??\\C:\\x"), ""},
      {"declared data ends inside the name", build(kNtfsReparseMountPoint, u"\\??\\C:\\x", 8), ""},
      {"buffer ends inside the name", truncated, ""},
      {"header only", std::vector<std::uint8_t>(truncated.begin(), truncated.begin() + 12), ""},
      {"empty", {}, ""},
  };
  for (const Case& c : cases) {
    std::string target;
    EXPECT_EQ(ParseMountPointTarget(c.bytes, target), !c.target.empty()) << c.what;
    EXPECT_EQ(target, c.target) << c.what;
  }
}

}  // namespace
}  // namespace vandrel
