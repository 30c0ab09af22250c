// The Ext reader against the kernel's view (loop mount) of ext2, ext3 and
// ext4 images that mke2fs made and the kernel filled, and on damaged
// images.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <filesystem>
#include <set>

#include "common/log.h"
#include "filesystems/ext/ext2.h"
#include "filesystems/ext/extents.h"
#include "filesystems/ext/inline_data.h"
#include "filesystems/reader_walk.h"
#include "support/fixtures.h"
#include "support/memory_disk.h"

namespace vandrel::test {
namespace {

namespace fs = std::filesystem;

// A read-only loop mount of an image for the lifetime of the object.
class LoopMount {
 public:
  explicit LoopMount(const std::string& image) {
    char pattern[] = "/tmp/vandrel-ext-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    std::string output;
    mounted_ = RunCommand("mount -o ro,loop " + ShellQuote(image) + " " + dir_ + " 2>&1", output);
  }
  ~LoopMount() {
    std::string output;
    if (mounted_) RunCommand("umount " + dir_ + " 2>&1", output);
    if (!dir_.empty()) fs::remove(dir_);
  }
  LoopMount(const LoopMount&) = delete;
  LoopMount& operator=(const LoopMount&) = delete;
  bool Mounted() const { return mounted_; }
  const std::string& Dir() const { return dir_; }

 private:
  std::string dir_;
  bool mounted_ = false;
};

enum class Kind { kFile, kDirectory, kSymlink, kOther };

Kind KindOf(const TFileEntry& entry) {
  if ((entry.Attributes & kAttrSymlink) != 0) return Kind::kSymlink;
  if ((entry.Attributes & kAttrSpecial) != 0) return Kind::kOther;
  return entry.IsDirectory() ? Kind::kDirectory : Kind::kFile;
}

// Streams the reader's bytes of `entry` against `expected` (a file of the
// mount, or a symbolic link's target).
::testing::AssertionResult SameBytes(FileSystem& reader, const TFileEntry& entry, std::istream& expected) {
  const FsHandle handle = reader.OpenFile(entry);
  if (handle == kNoHandle) return ::testing::AssertionFailure() << "cannot open";
  constexpr std::int32_t kChunk = 1 << 20;
  std::vector<char> ours(kChunk);
  std::vector<char> theirs(kChunk);
  std::int64_t offset = 0;
  ::testing::AssertionResult result = ::testing::AssertionSuccess();
  while (true) {
    const std::int32_t n = reader.Read(handle, ours.data(), kChunk);
    expected.read(theirs.data(), kChunk);
    const std::streamsize m = expected.gcount();
    if (n != m || !std::equal(ours.begin(), ours.begin() + std::max(n, 0), theirs.begin())) {
      result = ::testing::AssertionFailure() << "differs in the MiB at " << offset << " (" << n << " vs " << m << ")";
      break;
    }
    if (n <= 0) break;
    offset += n;
  }
  FsHandle closing = handle;
  reader.CloseFile(closing);
  return result;
}

// For a large sparse file: the regions where the kernel has data compare
// byte for byte, and a stretch of each hole reads as zeros.
::testing::AssertionResult SameDataRegions(FileSystem& reader, const TFileEntry& entry, const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return ::testing::AssertionFailure() << "cannot open on the mount";
  const FsHandle handle = reader.OpenFile(entry);
  ::testing::AssertionResult result = ::testing::AssertionSuccess();
  std::vector<char> ours(1 << 20);
  std::vector<char> theirs(1 << 20);
  auto compare = [&](off_t at, std::size_t length, bool zeros) {
    const std::int64_t sought = reader.Seek(handle, kSeekBegin, at);
    const std::int32_t n = reader.Read(handle, ours.data(), static_cast<std::int32_t>(length));
    const ssize_t m = zeros ? static_cast<ssize_t>(length) : ::pread(fd, theirs.data(), length, at);
    if (zeros) std::fill(theirs.begin(), theirs.end(), 0);
    if (sought != at || n != m || !std::equal(ours.begin(), ours.begin() + n, theirs.begin()))
      result = ::testing::AssertionFailure() << "differs at " << at;
  };
  int regions = 0;
  for (off_t at = ::lseek(fd, 0, SEEK_DATA); at >= 0 && at < entry.Size && result; ++regions) {
    const off_t hole = ::lseek(fd, at, SEEK_HOLE);
    for (off_t piece = at; piece < hole && result; piece += static_cast<off_t>(ours.size()))
      compare(piece, static_cast<std::size_t>(std::min<off_t>(static_cast<off_t>(ours.size()), hole - piece)), false);
    if (hole < entry.Size)
      compare(hole, static_cast<std::size_t>(std::min<off_t>(static_cast<off_t>(ours.size()), entry.Size - hole)), true);
    at = ::lseek(fd, hole, SEEK_DATA);
  }
  if (regions < 2) result = ::testing::AssertionFailure() << "expected several data regions";
  FsHandle closing = handle;
  reader.CloseFile(closing);
  ::close(fd);
  return result;
}

class ExtImage : public ::testing::TestWithParam<const char*> {};

TEST_P(ExtImage, MatchesKernelMount) {
  VANDREL_REQUIRE(IsRoot(), "loop mounts need root");
  VANDREL_FIXTURE(image, GetParam());
  LoopMount mount(image);
  VANDREL_REQUIRE(mount.Mounted(), "the kernel cannot mount the image");
  ImageReader opened = OpenImageReader(image, TReaderChoice::kExt2Reader);
  ASSERT_TRUE(opened.opened);
  FileSystem& reader = *opened.reader;
  const TreeListing tree = ListTree(reader);
  EXPECT_TRUE(tree.deleted.empty());

  std::map<std::string, Kind> theirs;
  for (auto it = fs::recursive_directory_iterator(mount.Dir()); it != fs::recursive_directory_iterator(); ++it) {
    const fs::file_status status = it->symlink_status();
    const std::string path = "/" + it->path().lexically_relative(mount.Dir()).string();
    theirs[path] = fs::is_symlink(status)     ? Kind::kSymlink
                   : fs::is_directory(status) ? Kind::kDirectory
                   : fs::is_regular_file(status) ? Kind::kFile
                                                 : Kind::kOther;
  }
  std::map<std::string, Kind> ours;
  for (const auto& [path, entry] : tree.live) ours[path] = KindOf(entry);
  EXPECT_EQ(ours, theirs);
  ASSERT_GT(ours.size(), 3000u);

  for (const auto& [path, entry] : tree.live) {
    const fs::path onMount = fs::path(mount.Dir()) / path.substr(1);
    switch (KindOf(entry)) {
      case Kind::kFile: {
        EXPECT_EQ(static_cast<std::uintmax_t>(entry.Size), fs::file_size(onMount)) << path;
        if (entry.Size > (64 << 20)) {
          EXPECT_TRUE(SameDataRegions(reader, entry, onMount.string())) << path;
          break;
        }
        std::ifstream file(onMount, std::ios::binary);
        EXPECT_TRUE(SameBytes(reader, entry, file)) << path;
        break;
      }
      case Kind::kSymlink: {
        std::istringstream target(fs::read_symlink(onMount).string());
        EXPECT_TRUE(SameBytes(reader, entry, target)) << path;
        break;
      }
      default: break;
    }
  }
  EXPECT_EQ(tree.live.at("/hard_link").ObjectId, tree.live.at("/a.txt").ObjectId);

  // The salvaging variant lists the same live entries.
  ImageReader salvage = OpenImageReader(image, TReaderChoice::kExt2Salvage);
  ASSERT_TRUE(salvage.opened);
  std::set<std::string> salvaged;
  for (const auto& [path, entry] : ListTree(*salvage.reader).live) salvaged.insert(path);
  for (const auto& [path, entry] : tree.live) EXPECT_TRUE(salvaged.count(path)) << path;
}

TEST_P(ExtImage, TreeAnswersRepeatedListingsAndLookups) {
  VANDREL_FIXTURE(image, GetParam());
  ImageReader opened = OpenImageReader(image, TReaderChoice::kExt2Reader);
  ASSERT_TRUE(opened.opened);
  FileSystem& reader = *opened.reader;
  // A lookup stops a listing half way; a later full listing still holds all.
  TFileEntry entry;
  ASSERT_TRUE(reader.LookupPath("/many/entry number 00010 with a name long enough to fill blocks", entry, true, nullptr));
  auto count = [&](std::string_view path) {
    TFileEntry e;
    const FsHandle h = reader.FindFirstByPath(path, e);
    int n = 0;
    while (h != kNoHandle && reader.FindNext(h, e)) ++n;
    reader.FindClose(h);
    return n;
  };
  EXPECT_EQ(count("/many"), 3000);
  EXPECT_EQ(count("/many/"), 3000);  // now from the tree
  EXPECT_EQ(count("/emptydir"), 0);
  EXPECT_EQ(count("/d1/d2/d3/d4/d5/d6/d7/d8"), 1);
  TFileEntry missing;
  EXPECT_EQ(reader.FindFirstByPath("/d1/nothing", missing), kNoHandle);
  // Seeks and small reads.
  ASSERT_TRUE(reader.LookupPath("/hole_middle", entry, true, nullptr));
  const FsHandle file = reader.OpenFile(entry);
  ASSERT_NE(file, kNoHandle);
  EXPECT_EQ(reader.Seek(file, kSeekEnd, 0), entry.Size);
  std::uint8_t byte = 1;
  EXPECT_EQ(reader.Read(file, &byte, 1), 0);
  EXPECT_TRUE(reader.IsEof(file));
  EXPECT_EQ(reader.Seek(file, kSeekBegin, entry.Size / 2), entry.Size / 2);
  EXPECT_EQ(reader.Read(file, &byte, 1), 1);
  EXPECT_EQ(byte, 0);  // inside the hole
  FsHandle closing = file;
  EXPECT_TRUE(reader.CloseFile(closing));
}

INSTANTIATE_TEST_SUITE_P(Ext, ExtImage,
                         ::testing::Values("ext2_full", "ext2_huge", "ext2_notype", "ext3_full", "ext3_small",
                                           "ext4_full", "ext4_inline", "ext4_small"),
                         [](const auto& testInfo) { return std::string(testInfo.param); });

TEST(ExtImageFeatures, HtreeAnd64BitFixturesHaveThem) {
  VANDREL_FIXTURE(image, "ext4_full");
  ImageReader opened = OpenImageReader(image, TReaderChoice::kExt2Reader);
  ASSERT_TRUE(opened.opened);
  auto& ext = static_cast<TExt2&>(*opened.reader);
  EXPECT_EQ(ext.Superblock().descSize, 64);
  EXPECT_EQ(ext.Superblock().inodeSize, 256);
  TFileEntry many;
  ASSERT_TRUE(ext.LookupPath("/many", many, false, nullptr));
  Ext2Inode inode;
  ASSERT_TRUE(ext.ReadInode(static_cast<std::uint32_t>(many.ObjectId), inode));
  EXPECT_NE(inode.flags & 0x1000u, 0u);  // hashed (htree) directory
  EXPECT_NE(inode.flags & kExt2FlagExtents, 0u);
  // A file of many extents has a tree with an index level.
  TFileEntry fragmented;
  ASSERT_TRUE(ext.LookupPath("/many_extents", fragmented, true, nullptr));
  ASSERT_TRUE(ext.ReadInode(static_cast<std::uint32_t>(fragmented.ObjectId), inode));
  ExtentHeader root;
  ASSERT_TRUE(ParseExtentHeader(ByteSpan(inode.blockArea), root));
  EXPECT_GE(root.depth, 1);
}

TEST(ExtImageFeatures, RecordsWithoutTypeFixtureHasNone) {
  VANDREL_FIXTURE(image, "ext2_notype");
  ImageReader opened = OpenImageReader(image, TReaderChoice::kExt2Reader);
  ASSERT_TRUE(opened.opened);
  EXPECT_EQ(static_cast<TExt2&>(*opened.reader).Superblock().featureIncompat & kExt2IncompatFiletype, 0u);
}

TEST(ExtImageFeatures, InlineFixtureKeepsDataInInodes) {
  VANDREL_FIXTURE(image, "ext4_inline");
  ImageReader opened = OpenImageReader(image, TReaderChoice::kExt2Reader);
  ASSERT_TRUE(opened.opened);
  auto& ext = static_cast<TExt2&>(*opened.reader);
  // Path, whether it is inline, how many bytes its attribute holds.
  const struct {
    const char* path;
    bool isInline;
    std::size_t attributeBytes;
  } cases[] = {
      {"/by_mkfs/size_0", true, 0},        {"/by_kernel/size_59", true, 0},  {"/by_kernel/size_100", true, 40},
      {"/by_kernel/size_128", true, 68},   {"/by_kernel/size_129", false, 0}, {"/by_kernel/dir", true, 0},
      {"/by_kernel/spill", true, 68},      {"/by_kernel/grown", false, 0},   {"/by_mkfs/link_100", true, 40},
  };
  for (const auto& c : cases) {
    TFileEntry entry;
    ASSERT_TRUE(ext.LookupPath(c.path, entry, true, nullptr)) << c.path;
    Ext2Inode inode;
    std::vector<std::uint8_t> record;
    ASSERT_TRUE(ext.ReadInode(static_cast<std::uint32_t>(entry.ObjectId), inode, &record)) << c.path;
    EXPECT_EQ((inode.flags & kExt2FlagInlineData) != 0, c.isInline) << c.path;
    if (!c.isInline) continue;
    ByteSpan value;
    EXPECT_EQ(FindExt2InodeXattr(record, kExt2XattrIndexSystem, kExt2InlineDataName, value), Ext2XattrLookup::kFound)
        << c.path;
    EXPECT_EQ(value.size(), c.attributeBytes) << c.path;
  }
}

// ------------------------------------------------------------- damage

struct DamagedExt {
  std::unique_ptr<MemoryDisk> disk;
  std::unique_ptr<TExt2> ext;
};

DamagedExt OpenExtBytes(std::vector<std::uint8_t> bytes) {
  DamagedExt d;
  d.disk = std::make_unique<MemoryDisk>(std::move(bytes));
  d.disk->Open(true, false, false);
  d.ext = std::make_unique<TExt2_Reader>(d.disk.get());
  d.ext->Open();
  d.ext->Prepare();
  return d;
}

void Put32(std::vector<std::uint8_t>& bytes, std::uint64_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::set<std::string> ListNames(FileSystem& fs, std::string_view directory) {
  std::set<std::string> names;
  TFileEntry entry;
  const FsHandle find = fs.FindFirstByPath(directory, entry);
  while (find != kNoHandle && fs.FindNext(find, entry)) names.insert(entry.Name);
  fs.FindClose(find);
  return names;
}

TEST(ExtDamage, WhatSurvivesIsListedAndRead) {
  SetLogEnabled(false);
  for (const char* fixture : {"ext2_full", "ext4_full"}) {
    VANDREL_FIXTURE(image, fixture);
    const std::vector<std::uint8_t> clean = ReadFileBytes(image);
    DamagedExt good = OpenExtBytes(clean);
    TFileEntry many, a, hole;
    ASSERT_TRUE(good.ext->LookupPath("/many", many, false, nullptr));
    ASSERT_TRUE(good.ext->LookupPath("/a.txt", a, true, nullptr));
    ASSERT_TRUE(good.ext->LookupPath("/hole_middle", hole, true, nullptr));
    std::vector<std::uint8_t> holeBytes;
    ASSERT_TRUE(ReadWhole(*good.ext, hole, holeBytes));
    const std::uint64_t blockSize = good.ext->Superblock().blockSize;
    std::uint64_t aInode = 0;
    ASSERT_TRUE(good.ext->InodeLocation(static_cast<std::uint32_t>(a.ObjectId), aInode));

    // rec_len 0 at the start of one block of a large directory: its other
    // blocks are still listed.
    std::vector<std::uint8_t> bytes = clean;
    const std::string name = "entry number 01000 with";
    // (every copy of it: the journal may hold one)
    int copies = 0;
    for (auto hit = std::search(bytes.begin(), bytes.end(), name.begin(), name.end()); hit != bytes.end();
         hit = std::search(hit + 1, bytes.end(), name.begin(), name.end()), ++copies) {
      const std::uint64_t dirBlock = static_cast<std::uint64_t>(hit - bytes.begin()) / blockSize * blockSize;
      bytes[dirBlock + 4] = bytes[dirBlock + 5] = 0;
    }
    ASSERT_GT(copies, 0);
    DamagedExt zeroLength = OpenExtBytes(bytes);
    TFileEntry entry;
    const FsHandle find = zeroLength.ext->FindFirstByPath("/many", entry);
    int listed = 0;
    while (zeroLength.ext->FindNext(find, entry)) ++listed;
    zeroLength.ext->FindClose(find);
    EXPECT_GT(listed, 2500);
    EXPECT_LT(listed, 3000);

    // The first block of a.txt points past the volume's end (block map or
    // extent): the read fails there instead of passing zeros off as data,
    // and the size stays.
    bytes = clean;
    if (std::string(fixture) == "ext2_full") Put32(bytes, aInode + 40, 0x7FFFFFF0);
    else Put32(bytes, aInode + 40 + 12 + 8, 0x7FFFFFF0);
    DamagedExt pastEnd = OpenExtBytes(bytes);
    std::vector<std::uint8_t> content;
    EXPECT_FALSE(ReadWhole(*pastEnd.ext, a, content));
    EXPECT_TRUE(content.empty());
    TFileEntry damagedA;
    ASSERT_TRUE(pastEnd.ext->LookupPath("/a.txt", damagedA, true, nullptr));
    EXPECT_EQ(damagedA.Size, a.Size);

    // Truncated images list and read what they hold.
    for (std::size_t length : {std::size_t{2048}, clean.size() / 16, clean.size() / 3}) {
      DamagedExt cut = OpenExtBytes(std::vector<std::uint8_t>(clean.begin(), clean.begin() + static_cast<long>(length)));
      for (const auto& [path, found] : ListTree(*cut.ext).live)
        if (!found.IsDirectory() && found.Size < (1 << 24)) ReadWhole(*cut.ext, found, content);
    }
  }
  SetLogEnabled(true);
}

// The attribute that holds inline data beyond the block area, damaged in
// one way at a time: the block area's 60 bytes are still read (the rest of
// a file reads as zeros, its size stays), the directory's records there
// are still listed, and a log line tells of it.
TEST(ExtDamage, InlineDataAttribute) {
  VANDREL_FIXTURE(image, "ext4_inline");
  const std::vector<std::uint8_t> clean = ReadFileBytes(image);
  DamagedExt good = OpenExtBytes(clean);
  TFileEntry file, dir;
  ASSERT_TRUE(good.ext->LookupPath("/by_kernel/size_100", file, true, nullptr));
  ASSERT_TRUE(good.ext->LookupPath("/by_kernel/spill", dir, false, nullptr));
  std::vector<std::uint8_t> fileBytes;
  ASSERT_TRUE(ReadWhole(*good.ext, file, fileBytes));
  const std::set<std::string> allNames = ListNames(*good.ext, "/by_kernel/spill");
  ASSERT_EQ(allNames.size(), 6u);
  std::uint64_t fileInode = 0, dirInode = 0;
  ASSERT_TRUE(good.ext->InodeLocation(static_cast<std::uint32_t>(file.ObjectId), fileInode));
  ASSERT_TRUE(good.ext->InodeLocation(static_cast<std::uint32_t>(dir.ObjectId), dirInode));
  // Both inodes: 32 extra bytes, the table at 160, "system.data" its first entry.
  for (std::uint64_t inode : {fileInode, dirInode}) {
    ASSERT_EQ(clean[inode + 128], 32);
    ASSERT_EQ(clean[inode + 165], kExt2XattrIndexSystem);
    ASSERT_EQ(std::string(clean.begin() + static_cast<long>(inode) + 180, clean.begin() + static_cast<long>(inode) + 184),
              "data");
  }
  const struct {
    const char* what;
    std::uint64_t at;  // within the inode
    std::uint32_t value;
    int width;
  } cases[] = {
      {"bad magic", 160, 0x12345678, 4},
      {"extra size past the record", 128, 0xFFFC, 2},
      {"extra size not a multiple of 4", 128, 33, 2},
      {"entry running past the record", 164, 255, 1},
      {"value offset past the record", 166, 0xFFF0, 2},
      {"value size past the record", 172, 0xFFFFFFF0, 4},
      {"value kept in another inode", 168, 12, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> bytes = clean;
    for (std::uint64_t inode : {fileInode, dirInode})
      for (int i = 0; i < c.width; ++i) bytes[inode + c.at + static_cast<std::uint64_t>(i)] = static_cast<std::uint8_t>(c.value >> (8 * i));
    DamagedExt damaged = OpenExtBytes(std::move(bytes));
    std::vector<std::string> lines;
    ScopedLogSink sink([&](const std::string& line, int) { lines.push_back(line); });
    std::vector<std::uint8_t> content;
    EXPECT_TRUE(ReadWhole(*damaged.ext, file, content));
    ASSERT_EQ(content.size(), fileBytes.size());
    EXPECT_TRUE(std::equal(content.begin(), content.begin() + 60, fileBytes.begin()));
    EXPECT_TRUE(std::all_of(content.begin() + 60, content.end(), [](std::uint8_t b) { return b == 0; }));
    const std::set<std::string> names = ListNames(*damaged.ext, "/by_kernel/spill");
    EXPECT_FALSE(names.empty());
    EXPECT_LT(names.size(), allNames.size());
    EXPECT_TRUE(std::includes(allNames.begin(), allNames.end(), names.begin(), names.end()));
    EXPECT_FALSE(lines.empty());
  }
}

}  // namespace
}  // namespace vandrel::test
