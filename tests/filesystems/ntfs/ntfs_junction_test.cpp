// Directory junctions on NTFS: both readers list a junction as the folder it
// names on the same volume, compared with what ntfs-3g shows through the
// symbolic link it makes of the junction; loops end, damaged reparse data
// leads nowhere. Links and special files stay what they are in the tree
// the scanning reader builds from the records.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

#include "common/log.h"
#include "filesystems/ntfs/ntfs.h"
#include "filesystems/ntfs/reparse.h"
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
  FsHandle h = fs.OpenFile(entry);
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
    // A symbolic link to a folder is a link, with the target text it stores.
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

// The root folder's index blocks wiped: the index reader loses the root's
// entries, the tree built from the records still has every link as a link
// with its target, the junction marked and leading to its folder, and the
// special files with their kind and device numbers, as the index shows
// them on the undamaged volume.
TEST(NtfsLinkScan, LinksStayLinksWithoutTheRootIndex) {
  VANDREL_FIXTURE(image, "ntfs_links");
  ScopedLogSink quiet([](const std::string&, int) {});
  const std::vector<std::uint8_t> bytes = test::ReadFileBytes(image);
  Opened clean = OpenNtfsImage(bytes, false);
  TNtfs_File_Streams root;
  TNtfsAttrDesc index;
  ASSERT_TRUE(clean.reader->LoadRecord(kNtfsRootRecord, root));
  ASSERT_TRUE(clean.reader->CollectAttribute(root, kNtfsAttrIndexAllocation, kNtfsAnyStream, index));
  ASSERT_FALSE(index.Runs.empty());
  std::vector<std::uint8_t> damaged = bytes;
  const std::int64_t cluster = clean.reader->Boot().ClusterSize;
  for (const TRunNode& run : index.Runs) {
    ASSERT_GE(run.Lcn, 0);
    std::fill_n(damaged.begin() + run.Lcn * cluster, run.Length * cluster, std::uint8_t{0});
  }
  EXPECT_EQ(ListByPath(*OpenNtfsImage(damaged, false).reader, "/").count("rabs"), 0u);

  struct Want {
    const char* path;
    std::uint32_t kind;  // kAttrSymlink, kAttrJunction or kAttrSpecial
    std::string target;
    TSpecialKind special = TSpecialKind::Unknown;
    std::uint32_t major = 0, minor = 0;
  };
  const std::vector<Want> wants = {
      {"/up", kAttrSymlink, "dir/file.txt"},
      {"/dir/rel", kAttrSymlink, "file.txt"},
      {"/escape", kAttrSymlink, "../../.."},
      {"/rabs", kAttrSymlink, "C:/dir/file.txt"},
      {"/rrel", kAttrSymlink, "dir/file.txt"},
      {"/wsl", kAttrSymlink, "dir/file.txt"},
      {"/junc", kAttrJunction, ""},
      {"/fifo", kAttrSpecial, "", TSpecialKind::Fifo},
      {"/sock", kAttrSpecial, "", TSpecialKind::Socket},
      {"/chr", kAttrSpecial, "", TSpecialKind::CharDevice, 1, 3},
      {"/blk", kAttrSpecial, "", TSpecialKind::BlockDevice, 7, 200},
      {"/wslfifo", kAttrSpecial, "", TSpecialKind::Fifo},
      {"/wslchr", kAttrSpecial, "", TSpecialKind::CharDevice, 4, 5},
  };
  for (bool salvager : {false, true}) {
    Opened v = OpenNtfsImage(salvager ? damaged : bytes, salvager);
    for (const Want& w : wants) {
      SCOPED_TRACE((salvager ? "scan " : "index ") + std::string(w.path));
      TFileEntry entry;
      ASSERT_TRUE(v.reader->LookupPath(w.path, entry, true, nullptr));
      EXPECT_EQ(entry.Attributes & (kAttrSymlink | kAttrJunction | kAttrSpecial), w.kind);
      EXPECT_EQ(entry.IsDirectory(), w.kind == kAttrJunction);
      std::string target;
      EXPECT_EQ(v.reader->ReadLinkTarget(entry, target), !w.target.empty());
      EXPECT_EQ(target, w.target);
      TSpecialInfo info;
      EXPECT_EQ(v.reader->ReadSpecialInfo(entry, info), w.special != TSpecialKind::Unknown);
      EXPECT_EQ(info.Kind, w.special);
      EXPECT_EQ(info.Major, w.major);
      EXPECT_EQ(info.Minor, w.minor);
    }
    EXPECT_EQ(ListByPath(*v.reader, "/junc"), (std::set<std::string>{"Case.txt", "case.txt", "file.txt", "rel"}));
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

// ntfs-3g's own conventions for links and special files, and damaged
// copies of them: nothing is read past the bytes given or the length the
// data declares.
TEST(NtfsReparseData, InterixAndWslData) {
  using Bytes = std::vector<std::uint8_t>;
  const auto le = [](Bytes b, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) b.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return b;
  };
  const Bytes chr = le(le({'I', 'n', 't', 'x', 'C', 'H', 'R', 0}, 1, 8), 3, 8);
  const Bytes blk = le(le({'I', 'n', 't', 'x', 'B', 'L', 'K', 0}, 7, 8), 200, 8);
  const Bytes huge = le(le({'I', 'n', 't', 'x', 'B', 'L', 'K', 0}, 1ULL << 32, 8), 0, 8);
  struct Special {
    const char* what;
    Bytes data;
    TSpecialKind kind;
    std::uint32_t major, minor;
  };
  const std::vector<Special> specials = {
      {"empty: FIFO", {}, TSpecialKind::Fifo, 0, 0},
      {"one byte: socket", {0}, TSpecialKind::Socket, 0, 0},
      {"character device", chr, TSpecialKind::CharDevice, 1, 3},
      {"block device", blk, TSpecialKind::BlockDevice, 7, 200},
      {"cut short", Bytes(chr.begin(), chr.end() - 1), TSpecialKind::Unknown, 0, 0},
      {"major past 32 bits", huge, TSpecialKind::Unknown, 0, 0},
      {"other magic", le(le({'I', 'n', 't', 'x', 'F', 'I', 'F', 0}, 1, 8), 3, 8), TSpecialKind::Unknown, 0, 0},
  };
  for (const Special& c : specials) {
    TSpecialInfo info;
    EXPECT_EQ(ParseInterixSpecial(c.data, info), c.kind) << c.what;
    EXPECT_EQ(info.Kind, c.kind) << c.what;
    EXPECT_EQ(info.Major, c.major) << c.what;
    EXPECT_EQ(info.Minor, c.minor) << c.what;
  }

  // An LX link: tag, data length, reserved, version 2, the UTF-8 text.
  const auto lx = [&](const std::string& text, std::uint16_t declared) {
    Bytes b = le(le(le(le({}, kNtfsReparseLxSymlink, 4), declared, 2), 0, 2), 2, 4);
    b.insert(b.end(), text.begin(), text.end());
    return b;
  };
  struct Link {
    const char* what;
    Bytes data;
    std::string target;  // "" when refused
  };
  const std::vector<Link> links = {
      {"link", lx("dir/file.txt", 16), "dir/file.txt"},
      {"declared length ends early", lx("dir/file.txt", 7), "dir"},
      {"declared length past the buffer", lx("etc", 0xFFFF), "etc"},
      {"no text", lx("", 4), ""},
      {"NUL in the text", lx(std::string("a\0b", 3), 7), ""},
      {"header only", Bytes(8, 0), ""},
  };
  for (const Link& c : links) {
    std::string target;
    EXPECT_EQ(ParseLxSymlink(c.data, target), !c.target.empty()) << c.what;
    EXPECT_EQ(target, c.target) << c.what;
  }

  // Extended attributes: the one named is found, a chain that leaves the
  // buffer or a name cut short is not.
  const auto ea = [&](const std::string& name, const Bytes& value, std::uint32_t next) {
    Bytes b = le(le(le(le({}, next, 4), 0, 1), name.size(), 1), value.size(), 2);
    b.insert(b.end(), name.begin(), name.end());
    b.push_back(0);
    b.insert(b.end(), value.begin(), value.end());
    return b;
  };
  Bytes mode = ea("$LXMOD", {0xA4, 0x21, 0, 0}, 20);
  mode.push_back(0);  // entries start on 4-byte boundaries
  Bytes two = mode;
  const Bytes dev = ea("$LXDEV", le(le({}, 4, 4), 5, 4), 0);
  two.insert(two.end(), dev.begin(), dev.end());
  struct Ea {
    const char* what;
    Bytes data;
    bool found;
  };
  Bytes longName = two;
  longName[5] = 0xFF;
  Bytes cut = two;
  cut.resize(two.size() - 3);
  const std::vector<Ea> eas = {
      {"second entry", two, true},
      {"name past the buffer", longName, false},
      {"value cut short", cut, false},
      {"absent", mode, false},
  };
  for (const Ea& c : eas) {
    ByteSpan value;
    EXPECT_EQ(FindEaValue(c.data, "$LXDEV", value), c.found) << c.what;
    if (c.found) {
      EXPECT_EQ(Bytes(value.begin(), value.end()), le(le({}, 4, 4), 5, 4)) << c.what;
    }
  }
}

}  // namespace
}  // namespace vandrel
