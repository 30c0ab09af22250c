// Files whose map or size is damaged: `cat` and `cp` give the bytes that
// can be read, zeros in place of the rest, name the file and exit 1, and
// end; through the mount the unreadable range is an I/O error, not zeros.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include "common/log.h"
#include "filesystems/ext/ext2.h"
#include "mount/system_view.h"
#include "support/cli_run.h"
#include "support/fixtures.h"
#include "support/memory_disk.h"
#include "support/ntfs_image.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;
using test::CliRun;
using test::ShellQuote;

// A size the map cannot back must not make the output go on for ever.
CliRun Cli(const std::string& arguments, const fs::path& errors) { return test::RunCli(arguments, errors, 20); }

void Put(std::vector<std::uint8_t>& bytes, std::uint64_t at, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) bytes[at + static_cast<std::uint64_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t Get(const std::vector<std::uint8_t>& bytes, std::uint64_t at, int width) {
  std::uint64_t value = 0;
  for (int i = 0; i < width; ++i) value |= std::uint64_t{bytes[at + static_cast<std::uint64_t>(i)]} << (8 * i);
  return value;
}

class CliRescue : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vandrel-damaged-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::string out;
    if (mounted_) test::UnmountWithCli((dir_ / "mnt").string(), out);
    fs::remove_all(dir_);
  }

  std::string Write(const std::vector<std::uint8_t>& bytes) {
    const fs::path image = dir_ / "damaged.img";
    std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return image.string();
  }

  // `cat` of the file gives `expected`, exits 1
  // naming it and saying `why`; `cp -r` of the volume keeps it the same
  // way and copies `intact` unchanged.
  void ExpectCliRescue(const std::string& image, const std::string& path, const std::string& expected, const std::string& why,
                       const std::string& intact, const std::string& intactBytes) {
    const std::string volume = "--images-only --image " + ShellQuote(image);
    const CliRun cat = Cli(volume + " cat 0 " + ShellQuote(path), dir_ / "err");
    EXPECT_FALSE(cat.ok);
    EXPECT_EQ(cat.out.size(), expected.size());
    EXPECT_TRUE(cat.out == expected);
    EXPECT_NE(cat.err.find(fs::path(path).filename().string()), std::string::npos) << cat.err;
    EXPECT_NE(cat.err.find(why), std::string::npos) << cat.err;

    const fs::path copy = dir_ / "copy";
    fs::remove_all(copy);
    const CliRun cp = Cli(volume + " cp -r 0 / " + ShellQuote(copy.string()), dir_ / "err");
    EXPECT_FALSE(cp.ok);
    EXPECT_NE(cp.err.find(why), std::string::npos) << cp.err;
    std::string copied;
    ASSERT_TRUE(test::RunCommand("cat " + ShellQuote((copy / path.substr(1)).string()), copied));
    EXPECT_TRUE(copied == expected);
    ASSERT_TRUE(test::RunCommand("cat " + ShellQuote((copy / intact.substr(1)).string()), copied));
    EXPECT_TRUE(copied == intactBytes);
  }

  // `command` run over the image's files mounted at $VOLUME; ok false with
  // nothing else when this machine cannot mount.
  CliRun InMount(const std::string& image, const std::string& command) {
    CliRun r;
    if (!test::MissingForMountTest("ext").empty()) return r;
    const fs::path mnt = dir_ / "mnt";
    fs::create_directories(mnt);
    std::string out;
    EXPECT_TRUE(test::MountWithCli(image, mnt.string(), out)) << out;
    mounted_ = true;
    r.ok = test::RunCommand("VOLUME=" + ShellQuote((mnt / "FileSystem").string()) + "; " + command + " 2>" +
                                ShellQuote((dir_ / "merr").string()),
                            r.out);
    std::ifstream in(dir_ / "merr");
    r.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    EXPECT_TRUE(test::UnmountWithCli(mnt.string(), out)) << out;
    mounted_ = false;
    return r;
  }

  // Reading the file through the mount: an I/O error, or `expected`.
  void ExpectMountRead(const std::string& image, const std::string& path, bool fails, const std::string& expected) {
    if (!test::MissingForMountTest("ext").empty()) return;
    const CliRun cat = InMount(image, "timeout 20 cat \"$VOLUME\"" + ShellQuote(path));
    if (fails) {
      EXPECT_FALSE(cat.ok);
      EXPECT_NE(cat.err.find("Input/output error"), std::string::npos) << cat.err;
    } else {
      EXPECT_TRUE(cat.ok) << cat.err;
      EXPECT_TRUE(cat.out == expected);
    }
  }

  // A folder that cannot be read: `ls` names it and exits 1, `ls -R` and
  // `cp -r` of the volume go on past it to `intact` and exit 1, and the
  // mount answers an I/O error instead of an empty folder.
  void ExpectFolderFails(const std::string& image, const std::string& folder, const std::string& why,
                         const std::string& intact, const std::string& intactBytes) {
    const std::string volume = "--images-only --image " + ShellQuote(image);
    const CliRun ls = Cli(volume + " ls 0 " + ShellQuote(folder), dir_ / "err");
    EXPECT_FALSE(ls.ok);
    EXPECT_NE(ls.err.find("cannot list " + folder), std::string::npos) << ls.err;
    EXPECT_NE(ls.err.find(why), std::string::npos) << ls.err;
    const CliRun all = Cli(volume + " ls -R 0 /", dir_ / "err");
    EXPECT_FALSE(all.ok);
    EXPECT_NE(all.out.find(intact), std::string::npos) << all.out;
    EXPECT_NE(all.err.find("cannot list " + folder), std::string::npos) << all.err;
    const fs::path copy = dir_ / "copy";
    fs::remove_all(copy);
    const CliRun cp = Cli(volume + " cp -r 0 / " + ShellQuote(copy.string()), dir_ / "err");
    EXPECT_FALSE(cp.ok);
    EXPECT_NE(cp.err.find("cannot list " + folder), std::string::npos) << cp.err;
    std::string copied;
    ASSERT_TRUE(test::RunCommand("cat " + ShellQuote((copy / intact.substr(1)).string()), copied));
    EXPECT_TRUE(copied == intactBytes);

    if (!test::MissingForMountTest("ext").empty()) return;
    const CliRun mounted = InMount(image, "cat \"$VOLUME\"" + ShellQuote(intact) + "; ls \"$VOLUME\"" + ShellQuote(folder));
    EXPECT_FALSE(mounted.ok);
    EXPECT_NE(mounted.err.find("Input/output error"), std::string::npos) << mounted.err;
    EXPECT_TRUE(mounted.out == intactBytes);
  }

  std::string CatClean(const std::string& image, const std::string& path) {
    const CliRun r = Cli("--images-only --image " + ShellQuote(image) + " cat 0 " + ShellQuote(path), dir_ / "err");
    EXPECT_TRUE(r.ok) << r.err;
    return r.out;
  }

  fs::path dir_;
  bool mounted_ = false;
};

struct ExtImage {
  std::unique_ptr<test::MemoryDisk> disk;
  std::unique_ptr<TExt2_Reader> ext;
};

ExtImage OpenExt(const std::vector<std::uint8_t>& bytes) {
  ExtImage e;
  e.disk = std::make_unique<test::MemoryDisk>(bytes);
  e.disk->Open(true, false, false);
  e.ext = std::make_unique<TExt2_Reader>(e.disk.get());
  EXPECT_TRUE(e.ext->Open());
  e.ext->Prepare();
  return e;
}

TEST_F(CliRescue, ExtMapsAndSizes) {
  VANDREL_FIXTURE(image, "ext4_damage");
  const std::vector<std::uint8_t> clean = test::ReadFileBytes(image);
  std::string whole, frag, tail;
  {
    const std::string volume = "--images-only --image " + ShellQuote(image);
    for (auto [path, bytes] : {std::pair{"/whole.bin", &whole}, std::pair{"/frag.bin", &frag}, std::pair{"/tail.bin", &tail}}) {
      const CliRun r = Cli(volume + " cat 0 " + path, dir_ / "err");
      ASSERT_TRUE(r.ok) << r.err;
      *bytes = r.out;
    }
  }
  ASSERT_EQ(whole.size(), 5000u);
  ASSERT_EQ(frag.size(), 11u * 4096 + 1024);
  ExtImage good = OpenExt(clean);
  const std::uint64_t blockSize = good.ext->Superblock().blockSize;
  ASSERT_EQ(blockSize, 1024u);
  auto inodeOf = [&](const char* path) {
    TFileEntry entry;
    EXPECT_TRUE(good.ext->LookupPath(path, entry, true, nullptr));
    std::uint64_t at = 0;
    EXPECT_TRUE(good.ext->InodeLocation(static_cast<std::uint32_t>(entry.ObjectId), at));
    return at;
  };
  const std::uint64_t wholeInode = inodeOf("/whole.bin");
  const std::uint64_t fragInode = inodeOf("/frag.bin");
  constexpr std::uint64_t kBlockArea = 40;  // i_block: the extent root
  // whole.bin: one extent in the inode; frag.bin: the inode holds an index
  // over one leaf block.
  ASSERT_EQ(Get(clean, wholeInode + kBlockArea + 6, 2), 0u);
  ASSERT_EQ(Get(clean, fragInode + kBlockArea + 6, 2), 1u);
  const std::uint64_t leaf = Get(clean, fragInode + kBlockArea + 12 + 4, 4);

  const std::string wholeRead = whole + std::string(5 * 1024 - whole.size(), '\0');
  const struct {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> patch;
    const char* path;
    std::string expected;  // what cat gives
    std::string why;
    bool mountFails;
    bool listedDamaged;  // ls --json shows it
  } cases[] = {
      {"size 2^63 - 1: the five blocks the extent maps",
       [&](std::vector<std::uint8_t>& b) {
         Put(b, wholeInode + 4, 0xFFFFFFFF, 4);
         Put(b, wholeInode + 108, 0x7FFFFFFF, 4);
       },
       "/whole.bin", wholeRead, "size beyond map", false, true},
      {"extent starting past the volume's end",
       [&](std::vector<std::uint8_t>& b) { Put(b, wholeInode + kBlockArea + 12 + 8, 0x7FFFFFF0, 4); }, "/whole.bin",
       std::string(5000, '\0'), "run outside volume", true, false},
      {"extent index node pointing at itself",
       [&](std::vector<std::uint8_t>& b) {
         Put(b, fragInode + kBlockArea + 6, 2, 2);        // root: depth 2
         Put(b, leaf * blockSize + 6, 1, 2);              // the leaf claims to be an index
         Put(b, leaf * blockSize + 2, 1, 2);              // with one entry
         Put(b, leaf * blockSize + 12, 0, 4);             // from block 0
         Put(b, leaf * blockSize + 16, leaf, 4);          // to itself
         Put(b, leaf * blockSize + 20, 0, 2);
       },
       "/frag.bin", std::string(frag.size(), '\0'), "extent loop", true, false},
      {"extent root without its magic", [&](std::vector<std::uint8_t>& b) { Put(b, wholeInode + kBlockArea, 0, 2); },
       "/whole.bin", std::string(5000, '\0'), "extent header damaged", true, true},
      {"extent root with more entries than it has room for",
       [&](std::vector<std::uint8_t>& b) {
         Put(b, wholeInode + kBlockArea + 2, 5, 2);  // eh_entries
         Put(b, wholeInode + kBlockArea + 4, 5, 2);  // eh_max: four fit in the inode
       },
       "/whole.bin", std::string(5000, '\0'), "extent header damaged", true, true},
      {"leaf block with more entries than its maximum",
       [&](std::vector<std::uint8_t>& b) { Put(b, leaf * blockSize + 2, Get(b, leaf * blockSize + 4, 2) + 1, 2); },
       "/frag.bin", std::string(frag.size(), '\0'), "extent header damaged", true, false},
      {"extent root deeper than the format allows", [&](std::vector<std::uint8_t>& b) { Put(b, fragInode + kBlockArea + 6, 6, 2); },
       "/frag.bin", std::string(frag.size(), '\0'), "extent tree too deep", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> bytes = clean;
    c.patch(bytes);
    const std::string damaged = Write(bytes);
    ExpectCliRescue(damaged, c.path, c.expected, c.why, "/tail.bin", tail);
    // A size the map cannot back is known from the listing already.
    const CliRun listed = Cli("--images-only --image " + ShellQuote(damaged) + " --json ls 0 " + c.path, dir_ / "err");
    EXPECT_EQ(listed.out.find("\"damage\":\"" + c.why) != std::string::npos, c.listedDamaged) << listed.out;
    ExpectMountRead(damaged, c.path, c.mountFails, c.expected);
  }
}

// A root folder whose only block starts with a record of length 0 fails the
// listing; an empty folder lists as empty.
TEST_F(CliRescue, DamagedRootFolderIsNotEmpty) {
  VANDREL_FIXTURE(image, "ext4_damage");
  std::vector<std::uint8_t> bytes = test::ReadFileBytes(image);
  const std::string volume = "--images-only --image ";
  const CliRun empty = Cli(volume + ShellQuote(image) + " ls 0 /emptydir", dir_ / "err");
  EXPECT_TRUE(empty.ok) << empty.err;
  EXPECT_EQ(empty.out.find("tail.bin"), std::string::npos);
  // "." and ".." both inode 2: the root's block.
  const std::vector<std::uint8_t> rootStart = {2, 0, 0, 0, 12, 0, 1, 2, '.', 0, 0, 0, 2, 0, 0, 0};
  int found = 0;
  for (auto hit = std::search(bytes.begin(), bytes.end(), rootStart.begin(), rootStart.end()); hit != bytes.end();
       hit = std::search(hit + 1, bytes.end(), rootStart.begin(), rootStart.end()), ++found)
    hit[4] = 0;
  ASSERT_EQ(found, 1);
  const CliRun root = Cli(volume + ShellQuote(Write(bytes)) + " ls 0 /", dir_ / "err");
  EXPECT_FALSE(root.ok);
  EXPECT_NE(root.err.find("cannot list"), std::string::npos) << root.err;
}

// A freshly made NTFS volume copies whole: its metadata kept only as
// indexes ($Secure, $ObjId, $Quota, $Reparse) is passed over with a note.
TEST_F(CliRescue, FreshNtfsVolumeCopiesWithoutFailure) {
  VANDREL_FIXTURE(image, "ntfs_plain");
  const fs::path copy = dir_ / "copy";
  const CliRun cp = Cli("--images-only --image " + ShellQuote(image) + " cp -r 0 / " + ShellQuote(copy.string()), dir_ / "err");
  EXPECT_TRUE(cp.ok) << cp.err;
  for (const char* name : {"$Secure", "$ObjId", "$Quota", "$Reparse"}) EXPECT_NE(cp.err.find(name), std::string::npos) << cp.err;
  EXPECT_TRUE(fs::is_regular_file(copy / "$MFT"));
  EXPECT_TRUE(fs::is_regular_file(copy / "$UpCase"));
}

// A data run moved past the volume's end: no zeros passed off as data.
TEST_F(CliRescue, NtfsRunOutsideTheVolume) {
  VANDREL_FIXTURE(image, "ntfs_filled_512");
  std::vector<std::uint8_t> bytes = test::ReadFileBytes(image);
  ScopedLogSink quiet{[](const std::string&, int) {}};
  std::string intact;
  {
    const CliRun r = Cli("--images-only --image " + ShellQuote(image) + " cat 0 /edges/size_65537.bin", dir_ / "err");
    ASSERT_TRUE(r.ok) << r.err;
    intact = r.out;
  }
  {
    test::NtfsImage clean = test::OpenNtfsImage(bytes);
    TFileEntry entry;
    ASSERT_TRUE(clean.reader->LookupPath("/edges/size_200000.bin", entry, true, nullptr));
    const std::int64_t at = clean.reader->RecordOffset(entry.ObjectId);
    ASSERT_GT(at, 0);
    const std::uint32_t recordSize = clean.reader->Boot().RecordSize;
    const std::int64_t clusterSize = clean.reader->Boot().ClusterSize;
    TNtfsAttrHeader data;
    ASSERT_TRUE(test::NonResidentData(bytes, at, recordSize, data));
    ASSERT_GE(data.RunlistLength, 7u);
    const std::uint64_t clusters = (200000 + static_cast<std::uint64_t>(clusterSize) - 1) / static_cast<std::uint64_t>(clusterSize);
    const std::uint64_t volumeClusters = bytes.size() / static_cast<std::uint64_t>(clusterSize);
    ASSERT_LT(volumeClusters + 16, 0x7FFFFFu);
    // One run, as long as before, at cluster 0x7FFFF0: past the end.
    const std::vector<std::uint8_t> runlist = {0x32, static_cast<std::uint8_t>(clusters), static_cast<std::uint8_t>(clusters >> 8),
                                               0xF0, 0xFF, 0x7F, 0x00};
    std::copy(runlist.begin(), runlist.end(), bytes.begin() + at + data.RunlistOffset);
  }
  const std::string damaged = Write(bytes);
  ExpectCliRescue(damaged, "/edges/size_200000.bin", std::string(200000, '\0'), "200000 unreadable byte(s)",
                  "/edges/size_65537.bin", intact);
  ExpectMountRead(damaged, "/edges/size_200000.bin", true, "");
}

// Offset of the only place `pattern` occurs in the image.
std::uint64_t OnlyPlaceOf(const std::vector<std::uint8_t>& bytes, const std::vector<std::uint8_t>& pattern) {
  auto hit = std::search(bytes.begin(), bytes.end(), pattern.begin(), pattern.end());
  EXPECT_NE(hit, bytes.end());
  if (hit == bytes.end()) return 0;
  EXPECT_EQ(std::search(hit + 1, bytes.end(), pattern.begin(), pattern.end()), bytes.end());
  return static_cast<std::uint64_t>(hit - bytes.begin());
}

// Byte offset of the record of `path` and its non-resident attribute `type`.
struct NtfsPlace {
  std::int64_t record = 0;
  std::uint32_t recordSize = 0;
  std::int64_t clusterSize = 0;
  TNtfsAttrHeader attribute;
};

NtfsPlace PlaceOf(const std::vector<std::uint8_t>& bytes, const char* path, std::uint32_t type) {
  NtfsPlace p;
  test::NtfsImage clean = test::OpenNtfsImage(bytes);
  TFileEntry entry;
  EXPECT_TRUE(clean.reader->LookupPath(path, entry, true, nullptr)) << path;
  p.record = clean.reader->RecordOffset(entry.ObjectId);
  p.recordSize = clean.reader->Boot().RecordSize;
  p.clusterSize = clean.reader->Boot().ClusterSize;
  EXPECT_GT(p.record, 0);
  EXPECT_TRUE(test::NonResidentAttribute(bytes, p.record, p.recordSize, type, p.attribute)) << path;
  return p;
}

// A folder whose only block, cluster or index block is broken is not an
// empty folder, on every reader.
TEST_F(CliRescue, DamagedFolderIsNotEmpty) {
  ScopedLogSink quiet{[](const std::string&, int) {}};
  VANDREL_FIXTURE(ext, "ext4_damage");
  VANDREL_FIXTURE(fat, "fat16_full");
  VANDREL_FIXTURE(ntfs, "ntfs_filled_512");
  const std::vector<std::uint8_t> extClean = test::ReadFileBytes(ext);
  std::uint64_t emptyDirBlock = 0;  // where the extent of /emptydir starts
  {
    ExtImage good = OpenExt(extClean);
    TFileEntry entry;
    ASSERT_TRUE(good.ext->LookupPath("/emptydir", entry, true, nullptr));
    std::uint64_t at = 0;
    ASSERT_TRUE(good.ext->InodeLocation(static_cast<std::uint32_t>(entry.ObjectId), at));
    ASSERT_EQ(Get(extClean, at + 40 + 6, 2), 0u);  // the extent sits in the inode
    emptyDirBlock = at + 40 + 12 + 8;
  }
  const std::uint64_t extBlock = Get(extClean, emptyDirBlock, 4) * 1024;
  // "d1" in the FAT root: its short name, directory attribute.
  const std::vector<std::uint8_t> fatClean = test::ReadFileBytes(fat);
  const std::vector<std::uint8_t> d1 = {'D', '1', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', 0x10};
  const std::uint64_t fatEntry = OnlyPlaceOf(fatClean, d1);
  const std::vector<std::uint8_t> ntfsClean = test::ReadFileBytes(ntfs);
  const NtfsPlace edges = PlaceOf(ntfsClean, "/edges", kNtfsAttrIndexAllocation);
  ASSERT_GE(edges.attribute.RunlistLength, 6u);
  std::vector<TRunNode> indexRuns;
  ASSERT_TRUE(DecodeRunlist(ByteSpan(ntfsClean).subspan(static_cast<std::size_t>(edges.record) + edges.attribute.RunlistOffset,
                                                       edges.attribute.RunlistLength),
                            0, static_cast<std::int64_t>(ntfsClean.size()) / edges.clusterSize, indexRuns));
  ASSERT_FALSE(indexRuns.empty());
  const std::uint64_t indexBlock = static_cast<std::uint64_t>(indexRuns.front().Lcn * edges.clusterSize);

  const struct {
    const char* what;
    const std::string& image;
    std::function<void(std::vector<std::uint8_t>&)> patch;
    const char* folder;
    const char* why;
    const char* intact;
  } cases[] = {
      {"ext: the folder's block past the volume", ext,
       [&](std::vector<std::uint8_t>& b) { Put(b, emptyDirBlock, 0x7FFFF0, 4); }, "/emptydir", "folder unreadable",
       "/tail.bin"},
      {"ext: its first record of length 0", ext, [&](std::vector<std::uint8_t>& b) { Put(b, extBlock + 4, 0, 2); },
       "/emptydir", "folder unreadable", "/tail.bin"},
      {"fat: first cluster 1", fat, [&](std::vector<std::uint8_t>& b) { Put(b, fatEntry + 26, 1, 2); }, "/d1",
       "folder unreadable", "/readme.txt"},
      {"fat: first cluster past the last", fat, [&](std::vector<std::uint8_t>& b) { Put(b, fatEntry + 26, 0xFFF6, 2); },
       "/d1", "folder unreadable", "/readme.txt"},
      {"ntfs: index blocks outside the volume", ntfs,
       [&](std::vector<std::uint8_t>& b) {
         const std::vector<std::uint8_t> runlist = {0x31, static_cast<std::uint8_t>(indexRuns.front().Length), 0xF0, 0xFF, 0x7F, 0x00};
         std::copy(runlist.begin(), runlist.end(), b.begin() + edges.record + edges.attribute.RunlistOffset);
       },
       "/edges", "run outside volume", "/a/b/mid.txt"},
      {"ntfs: index block torn", ntfs, [&](std::vector<std::uint8_t>& b) { b[indexBlock + 1022] ^= 0xFF; }, "/edges",
       "torn record", "/a/b/mid.txt"},
      // The node header (at 24) gives where the entries start; each entry's
      // length is at 8. A walk that stops before the last-entry mark lost
      // the entries after it.
      {"ntfs: index block's first entry of length 0", ntfs,
       [&](std::vector<std::uint8_t>& b) { Put(b, indexBlock + 24 + Get(b, indexBlock + 24, 4) + 8, 0, 2); }, "/edges",
       "folder unreadable", "/a/b/mid.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string intactBytes = CatClean(c.image, c.intact);
    const CliRun clean = Cli("--images-only --image " + ShellQuote(c.image) + " ls 0 " + c.folder, dir_ / "err");
    ASSERT_TRUE(clean.ok) << clean.err;
    std::vector<std::uint8_t> bytes = test::ReadFileBytes(c.image);
    c.patch(bytes);
    ExpectFolderFails(Write(bytes), c.folder, c.why, c.intact, intactBytes);
  }
}

// A folder of many index blocks, one of them torn: the rest is listed, in
// the mount too, and the listing says that entries are missing.
TEST_F(CliRescue, PartlyDamagedFolderListsTheRest) {
  ScopedLogSink quiet{[](const std::string&, int) {}};
  VANDREL_FIXTURE(ntfs, "ntfs_filled_512");
  std::vector<std::uint8_t> bytes = test::ReadFileBytes(ntfs);
  const NtfsPlace many = PlaceOf(bytes, "/many", kNtfsAttrIndexAllocation);
  std::vector<TRunNode> runs;
  ASSERT_TRUE(DecodeRunlist(ByteSpan(bytes).subspan(static_cast<std::size_t>(many.record) + many.attribute.RunlistOffset,
                                                   many.attribute.RunlistLength),
                            0, static_cast<std::int64_t>(bytes.size()) / many.clusterSize, runs));
  ASSERT_FALSE(runs.empty());
  // The second 4 KiB index block, torn in its last sector.
  const std::int64_t second = 4096 / many.clusterSize;
  ASSERT_GT(runs.front().Length, second);
  bytes[static_cast<std::size_t>((runs.front().Lcn + second) * many.clusterSize) + 4094] ^= 0xFF;
  const std::string damaged = Write(bytes);

  const CliRun ls = Cli("--images-only --image " + ShellQuote(damaged) + " ls 0 /many", dir_ / "err");
  EXPECT_FALSE(ls.ok);
  EXPECT_NE(ls.err.find("/many: some entries cannot be read (torn record)"), std::string::npos) << ls.err;
  const auto shown = std::count(ls.out.begin(), ls.out.end(), '\n');
  EXPECT_GT(shown, 2000);
  EXPECT_LT(shown, 3000);

  if (!test::MissingForMountTest("ext").empty()) return;
  const CliRun mounted = InMount(damaged, "ls -1 \"$VOLUME\"/many");
  EXPECT_TRUE(mounted.ok) << mounted.err;
  EXPECT_EQ(std::count(mounted.out.begin(), mounted.out.end(), '\n'), shown);
}

// Damage found in a file's record or map is named where the file is listed
// and read: a torn record fails every read, a size beyond what the map
// covers reads as what it covers.
TEST_F(CliRescue, DamageIsNamedAndReadsFail) {
  ScopedLogSink quiet{[](const std::string&, int) {}};
  VANDREL_FIXTURE(fat, "fat16_full");
  VANDREL_FIXTURE(ntfs, "ntfs_filled_512");
  const std::vector<std::uint8_t> ntfsClean = test::ReadFileBytes(ntfs);
  const NtfsPlace file = PlaceOf(ntfsClean, "/edges/size_200000.bin", kNtfsAttrData);
  const std::string file200k = CatClean(ntfs, "/edges/size_200000.bin");
  const std::uint64_t dataSize = static_cast<std::uint64_t>(file.record) + file.attribute.Offset + 0x30;
  ASSERT_EQ(Get(ntfsClean, dataSize, 8), 200000u);
  ASSERT_LT(dataSize + 8, static_cast<std::uint64_t>(file.record) + 510);  // before the first fix-up place
  const std::uint64_t dataType = static_cast<std::uint64_t>(file.record) + file.attribute.Offset;
  const std::uint64_t lastVcn = dataType + 0x18;
  const std::uint64_t bytesInUse = static_cast<std::uint64_t>(file.record) + 0x18;
  ASSERT_EQ(Get(ntfsClean, lastVcn, 8), static_cast<std::uint64_t>(file.attribute.LastVcn));

  // a.txt: 5000 bytes in ten 512-byte clusters; its chain cut after five.
  const std::vector<std::uint8_t> fatClean = test::ReadFileBytes(fat);
  const std::string aTxt = CatClean(fat, "/a.txt");
  ASSERT_EQ(aTxt.size(), 5000u);
  const std::vector<std::uint8_t> aName = {'A', ' ', ' ', ' ', ' ', ' ', ' ', ' ', 'T', 'X', 'T'};
  const std::uint64_t aEntry = OnlyPlaceOf(fatClean, aName);
  const std::uint64_t aFirst = Get(fatClean, aEntry + 26, 2);
  const std::uint64_t fatStart = Get(fatClean, 14, 2) * 512;
  const std::uint64_t fatBytes = Get(fatClean, 22, 2) * 512;

  const struct {
    const char* what;
    const std::string& image;
    std::function<void(std::vector<std::uint8_t>&)> patch;
    const char* path;
    std::string expected;  // what cat gives
    const char* why;       // in ls --json and in the error of cat and cp
    bool mountFails;
    const char* intact;
  } cases[] = {
      {"ntfs: record torn", ntfs, [&](std::vector<std::uint8_t>& b) { b[file.record + 510] ^= 0xFF; },
       "/edges/size_200000.bin", std::string(200000, '\0'), "torn record", true, "/a/b/mid.txt"},
      {"ntfs: data size 2^40, more than allocated and mapped", ntfs,
       [&](std::vector<std::uint8_t>& b) { Put(b, dataSize, std::uint64_t{1} << 40, 8); }, "/edges/size_200000.bin",
       file200k + std::string(192, '\0'), "size beyond map", false, "/a/b/mid.txt"},
      // The map's own fields disagree; every byte still reads.
      {"ntfs: last VCN past the end of the runlist", ntfs,
       [&](std::vector<std::uint8_t>& b) { Put(b, lastVcn, Get(b, lastVcn, 8) + 8, 8); }, "/edges/size_200000.bin", file200k,
       "runlist shorter than attribute", false, "/a/b/mid.txt"},
      {"ntfs: last VCN before the end of the runlist", ntfs,
       [&](std::vector<std::uint8_t>& b) { Put(b, lastVcn, Get(b, lastVcn, 8) - 1, 8); }, "/edges/size_200000.bin", file200k,
       "runlist longer than attribute", false, "/a/b/mid.txt"},
      // The walk stops before the data attribute: its bytes are not trusted.
      {"ntfs: bytes in use end inside the data attribute", ntfs,
       [&](std::vector<std::uint8_t>& b) { Put(b, bytesInUse, file.attribute.Offset + 16, 4); }, "/edges/size_200000.bin",
       std::string(200000, '\0'), "past bytes in use", true, "/a/b/mid.txt"},
      {"ntfs: data attribute typed below the name before it", ntfs,
       [&](std::vector<std::uint8_t>& b) { Put(b, dataType, kNtfsAttrAttributeList, 4); }, "/edges/size_200000.bin",
       std::string(200000, '\0'), "attributes out of order", true, "/a/b/mid.txt"},
      {"fat: chain shorter than the size", fat,
       [&](std::vector<std::uint8_t>& b) {
         for (std::uint64_t copy = 0; copy < 2; ++copy) Put(b, fatStart + copy * fatBytes + (aFirst + 4) * 2, 0xFFFF, 2);
       },
       "/a.txt", aTxt.substr(0, 2560) + std::string(2440, '\0'), "size beyond map", true, "/readme.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> bytes = test::ReadFileBytes(c.image);
    c.patch(bytes);
    const std::string damaged = Write(bytes);
    const CliRun listed = Cli("--images-only --image " + ShellQuote(damaged) + " --json ls 0 " + c.path, dir_ / "err");
    EXPECT_NE(listed.out.find(std::string("\"damage\":\"") + c.why + "\""), std::string::npos) << listed.out;
    ExpectCliRescue(damaged, c.path, c.expected, c.why, c.intact, CatClean(c.image, c.intact));
    ExpectMountRead(damaged, c.path, c.mountFails, c.expected);
  }
}

}  // namespace
}  // namespace vandrel
