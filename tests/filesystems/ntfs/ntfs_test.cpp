// The NTFS reader against images made by mkntfs and filled through ntfs-3g,
// compared with what ntfs-3g itself shows of the same image.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "common/log.h"
#include "common/text.h"
#include "filesystems/dir_list_ex.h"
#include "filesystems/ntfs/salvage.h"
#include "filesystems/ntfs/lznt1.h"
#include "support/fixtures.h"
#include "support/ntfs3g_mount.h"
#include "support/ntfs_image.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;
using test::Ntfs3gMount;

using Opened = test::NtfsImage;

std::vector<std::uint8_t> ReadAll(FileSystem& fs, FsHandle handle) {
  std::vector<std::uint8_t> data;
  if (handle == kNoHandle) return data;
  const std::int64_t size = fs.GetFileSize(handle);
  std::vector<std::uint8_t> block(65536);
  while (static_cast<std::int64_t>(data.size()) < size) {
    const std::int32_t n = fs.Read(handle, block.data(), static_cast<std::int32_t>(block.size()));
    if (n <= 0) break;
    data.insert(data.end(), block.begin(), block.begin() + n);
  }
  return data;
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every entry below `directory`, by path from the root ("/a/b").
void Walk(FileSystem& fs, const TFileEntry& directory, const std::string& path, std::map<std::string, TFileEntry>& out,
          bool strict = true, int depth = 0) {
  ASSERT_LT(depth, 64) << "directory walk does not end at " << path;
  TFileEntry entry;
  const FsHandle handle = fs.FindFirst(directory, entry);
  if (handle == kNoHandle) return;
  std::vector<TFileEntry> children;
  do {
    if (entry.Name == ".." || entry.Name == ".") continue;
    // Metadata files of the root are hidden by ntfs-3g.
    if (path.empty() && !entry.Name.empty() && entry.Name[0] == '$') continue;
    children.push_back(entry);
  } while (fs.FindNext(handle, entry));
  fs.FindClose(handle);
  for (const TFileEntry& child : children) {
    const std::string childPath = path + "/" + child.Name;
    if (strict) {
      EXPECT_EQ(out.count(childPath), 0u) << "listed twice: " << childPath;
    }
    // A damaged index may name a directory twice: walk it once.
    const bool seen = out.count(childPath) != 0;
    out[childPath] = child;
    if (child.IsDirectory() && !seen) Walk(fs, child, childPath, out, strict, depth + 1);
  }
}

std::set<std::string> PathsOf(const std::map<std::string, TFileEntry>& entries) {
  std::set<std::string> paths;
  for (const auto& [path, entry] : entries) paths.insert(path);
  return paths;
}

std::set<std::string> Ntfs3gPaths(const std::string& root) {
  std::set<std::string> paths;
  for (const auto& item : fs::recursive_directory_iterator(root))
    paths.insert(item.path().string().substr(root.size()));
  return paths;
}

class NtfsFilled : public ::testing::TestWithParam<const char*> {};

TEST_P(NtfsFilled, MatchesNtfs3gView) {
  VANDREL_REQUIRE(test::IsRoot(), "ntfs-3g mounts need root");
  VANDREL_REQUIRE(test::HaveTool("ntfs-3g") && test::HaveTool("mkntfs"), "ntfs-3g and mkntfs are needed");
  VANDREL_FIXTURE(image, GetParam());
  Ntfs3gMount mount(image);
  ASSERT_TRUE(mount.Mounted());
  Opened o = test::OpenNtfsImage(test::ReadFileBytes(image));
  ASSERT_TRUE(o.reader->Usable());

  std::map<std::string, TFileEntry> ours;
  Walk(*o.reader, o.reader->RootEntry(), "", ours);
  EXPECT_EQ(PathsOf(ours), Ntfs3gPaths(mount.Dir()));
  EXPECT_GT(ours.size(), 3000u);

  std::size_t streams = 0;
  for (const auto& [path, entry] : ours) {
    SCOPED_TRACE(path);
    struct stat st {};
    const std::string theirs = mount.Dir() + path;
    ASSERT_EQ(::lstat(theirs.c_str(), &st), 0);
    EXPECT_EQ(entry.IsDirectory(), S_ISDIR(st.st_mode));
    EXPECT_EQ(FileTimeToUnix(entry.LastWriteTime), static_cast<std::int64_t>(st.st_mtim.tv_sec));
    if (entry.IsDirectory()) continue;
    EXPECT_EQ(entry.Size, st.st_size);
    FsHandle h = o.reader->OpenFile(entry);
    ASSERT_NE(h, kNoHandle);
    EXPECT_EQ(o.reader->GetFileSize(h), st.st_size);
    EXPECT_TRUE(ReadAll(*o.reader, h) == ReadFile(theirs)) << "content differs";
    o.reader->CloseFile(h);

    TDirListEx list;
    o.reader->ListStreams(entry, list);
    for (std::int32_t i = 0; i < list.Count(); ++i) {
      const TFileEntry* s = list.Items(i);
      if (s->ParentId != 0x80 || s->Name.empty()) continue;
      ++streams;
      FsHandle sh = o.reader->OpenStream(entry, TStreamId::Named(s->Name));
      EXPECT_TRUE(ReadAll(*o.reader, sh) == ReadFile(theirs + ":" + s->Name)) << "stream " << s->Name;
      o.reader->CloseFile(sh);
    }
  }
  EXPECT_EQ(streams, 62u);
}

INSTANTIATE_TEST_SUITE_P(Images, NtfsFilled, ::testing::Values("ntfs_filled_512", "ntfs_filled_4k"));

}  // namespace
}  // namespace vandrel

namespace vandrel {
namespace {

// Reads every file of everything listed; the point is that it ends.
std::size_t ReadEverything(TNTFS& reader) {
  std::map<std::string, TFileEntry> all;
  Walk(reader, reader.RootEntry(), "", all, false);
  for (const auto& [path, entry] : all) {
    if (entry.IsDirectory()) continue;
    FsHandle h = reader.OpenFile(entry);
    ReadAll(reader, h);
    if (h != kNoHandle) reader.CloseFile(h);
  }
  return all.size();
}

std::set<std::string> RootNames(TNTFS& reader) {
  std::map<std::string, TFileEntry> all;
  Walk(reader, reader.RootEntry(), "", all);
  std::set<std::string> names;
  for (const auto& [path, entry] : all)
    if (path.find('/', 1) == std::string::npos) names.insert(path);
  return names;
}

class NtfsDamage : public ::testing::Test {
 protected:
  void SetUp() override {
    VANDREL_REQUIRE(test::HaveTool("mkntfs"), "mkntfs is needed");
    std::string why;
    image_ = test::FixtureImage("ntfs_filled_512", why);
    VANDREL_REQUIRE(!image_.empty(), why);
    bytes_ = test::ReadFileBytes(image_);
    Opened clean = test::OpenNtfsImage(bytes_);
    expected_ = RootNames(*clean.reader);
    mftOffset_ = clean.reader->RecordOffset(0);
    mirrOffset_ = clean.reader->Boot().MirrLcn * clean.reader->Boot().ClusterSize;
    recordSize_ = clean.reader->Boot().RecordSize;
    ASSERT_GT(mftOffset_, 0);
  }
  std::string image_;
  std::vector<std::uint8_t> bytes_;
  std::set<std::string> expected_;
  std::int64_t mftOffset_ = 0;
  std::int64_t mirrOffset_ = 0;
  std::uint32_t recordSize_ = 0;
  ScopedLogSink quiet_{[](const std::string&, int) {}};
};

TEST_F(NtfsDamage, BootSectorDestroyedOpensThroughBackup) {
  std::fill(bytes_.begin(), bytes_.begin() + 512, std::uint8_t{0xEE});
  Opened o = test::OpenNtfsImage(bytes_);
  ASSERT_TRUE(o.reader->Usable());
  EXPECT_EQ(RootNames(*o.reader), expected_);
}

TEST_F(NtfsDamage, MftRecordZeroDestroyedOpensThroughMirror) {
  std::fill(bytes_.begin() + mftOffset_, bytes_.begin() + mftOffset_ + recordSize_, std::uint8_t{0});
  Opened o = test::OpenNtfsImage(bytes_);
  ASSERT_TRUE(o.reader->Usable());
  EXPECT_EQ(RootNames(*o.reader), expected_);
}

TEST_F(NtfsDamage, NothingUsableListsNothing) {
  std::fill(bytes_.begin(), bytes_.begin() + 512, std::uint8_t{0});
  std::fill(bytes_.end() - 4096, bytes_.end(), std::uint8_t{0});
  // The copy of the first records in the middle of the volume too.
  std::fill(bytes_.begin() + mirrOffset_, bytes_.begin() + mirrOffset_ + 4 * recordSize_, std::uint8_t{0});
  Opened o = test::OpenNtfsImage(bytes_);
  EXPECT_FALSE(o.reader->Usable());
  TFileEntry entry;
  EXPECT_EQ(o.reader->FindFirstByPath("/", entry), kNoHandle);
}

// Open answers whether anything can be read, for both readers: the caller
// tells an empty volume from one with no file table.
TEST_F(NtfsDamage, OpenSaysWhetherTheVolumeIsUsable) {
  std::vector<std::uint8_t> lost = bytes_;
  std::fill(lost.begin(), lost.begin() + 512, std::uint8_t{0});
  std::fill(lost.end() - 4096, lost.end(), std::uint8_t{0});
  std::fill(lost.begin() + mirrOffset_, lost.begin() + mirrOffset_ + 4 * recordSize_, std::uint8_t{0});
  for (const bool salvager : {false, true}) {
    SCOPED_TRACE(salvager ? "scanning reader" : "index reader");
    EXPECT_TRUE(test::OpenNtfsImage(bytes_, salvager).opened);
    EXPECT_FALSE(test::OpenNtfsImage(lost, salvager).opened);
    EXPECT_FALSE(test::OpenNtfsImage(std::vector<std::uint8_t>(1 << 20, 0), salvager).opened);
  }
}

TEST_F(NtfsDamage, TruncatedImagesListWhatSurvives) {
  for (std::size_t keep : {bytes_.size() / 2, bytes_.size() / 8, static_cast<std::size_t>(mftOffset_ + 8 * 1024), std::size_t{4096}}) {
    SCOPED_TRACE(keep);
    std::vector<std::uint8_t> cut(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(keep));
    Opened o = test::OpenNtfsImage(std::move(cut));
    ReadEverything(*o.reader);
  }
}

// Random bytes over MFT records and the rest of the volume, seeded so a
// failure repeats.
TEST_F(NtfsDamage, RandomBytesNeverCrash) {
  for (std::uint32_t seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> damaged = bytes_;
    const std::int64_t mftSpan = 6000 * static_cast<std::int64_t>(recordSize_);
    for (int i = 0; i < 3000; ++i) {
      // Mostly inside the MFT (records, runlists, attribute lists), some anywhere.
      const bool inMft = i % 4 != 0;
      const std::uint64_t base = inMft ? static_cast<std::uint64_t>(mftOffset_) : 0;
      const std::uint64_t span = inMft ? static_cast<std::uint64_t>(mftSpan) : damaged.size();
      const std::uint64_t at = base + rng() % span;
      if (at < damaged.size()) damaged[at] = static_cast<std::uint8_t>(rng());
    }
    Opened o = test::OpenNtfsImage(damaged);
    ReadEverything(*o.reader);
    Opened s = test::OpenNtfsImage(std::move(damaged), true);
    std::map<std::string, TFileEntry> all;
    Walk(*s.reader, s.reader->RootEntry(), "", all, false);
  }
}

// A runlist whose offsets point back at the same clusters over and over,
// and one that reaches past the end of the volume.
TEST_F(NtfsDamage, LoopingAndOutsideRunlists) {
  Opened clean = test::OpenNtfsImage(bytes_);
  TFileEntry entry;
  ASSERT_TRUE(clean.reader->LookupPath("/edges/size_200000.bin", entry, true, nullptr));
  const std::int64_t at = clean.reader->RecordOffset(entry.ObjectId);
  ASSERT_GT(at, 0);
  TNtfsAttrHeader data;
  ASSERT_TRUE(test::NonResidentData(bytes_, at, recordSize_, data));
  ASSERT_GE(data.RunlistLength, 8u);
  const std::vector<std::vector<std::uint8_t>> runlists = {
      // The same 8 clusters twice over.
      {0x21, 0x08, 0x64, 0x00, 0x21, 0x08, 0x00, 0x00},
      // A run of 2^40 - 1 clusters: far outside the volume.
      {0x15, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x10, 0x00},
      // A negative LCN.
      {0x11, 0x10, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00},
  };
  for (const auto& runlist : runlists) {
    std::vector<std::uint8_t> damaged = bytes_;
    std::copy(runlist.begin(), runlist.end(), damaged.begin() + at + data.RunlistOffset);
    Opened o = test::OpenNtfsImage(std::move(damaged));
    TFileEntry e;
    ASSERT_TRUE(o.reader->LookupPath("/edges/size_200000.bin", e, true, nullptr));
    FsHandle h = o.reader->OpenFile(e);
    ASSERT_NE(h, kNoHandle);
    EXPECT_LE(o.reader->GetFileSize(h), 200000);
    ReadAll(*o.reader, h);
    o.reader->CloseFile(h);
  }
}

// Bytes past the initialized size are zeros, not the clusters' contents.
TEST_F(NtfsDamage, BytesPastInitializedSizeReadAsZeros) {
  Opened clean = test::OpenNtfsImage(bytes_);
  TFileEntry entry;
  ASSERT_TRUE(clean.reader->LookupPath("/edges/size_65537.bin", entry, true, nullptr));
  const std::int64_t at = clean.reader->RecordOffset(entry.ObjectId);
  std::vector<std::uint8_t> record(bytes_.begin() + at, bytes_.begin() + at + recordSize_);
  TNtfsRecordInfo info;
  std::vector<TNtfsAttrHeader> headers;
  ASSERT_TRUE(ParseRecordAttributes(record, info, headers));
  for (const TNtfsAttrHeader& h : headers)
    if (h.Type == kNtfsAttrData && h.NonResident) {
      const std::int64_t field = at + h.Offset + 56;
      for (int i = 0; i < 8; ++i) bytes_[static_cast<std::size_t>(field + i)] = static_cast<std::uint8_t>((std::int64_t{1000} >> (8 * i)) & 0xFF);
    }
  Opened o = test::OpenNtfsImage(bytes_);
  ASSERT_TRUE(o.reader->LookupPath("/edges/size_65537.bin", entry, true, nullptr));
  FsHandle h = o.reader->OpenFile(entry);
  const std::vector<std::uint8_t> data = ReadAll(*o.reader, h);
  o.reader->CloseFile(h);
  ASSERT_EQ(data.size(), 65537u);
  EXPECT_TRUE(std::any_of(data.begin(), data.begin() + 1000, [](std::uint8_t b) { return b != 0; }));
  EXPECT_TRUE(std::all_of(data.begin() + 1000, data.end(), [](std::uint8_t b) { return b == 0; }));
}

// ------------------------------------------------------------ decoders

TEST(NtfsRunlist, Decodes) {
  struct Case {
    std::vector<std::uint8_t> bytes;
    std::vector<TRunNode> runs;
  };
  const std::vector<Case> cases = {
      {{0x21, 0x10, 0x00, 0x01, 0x00}, {{0, 16, 256}}},
      // 3-byte offset FE FF FF moves back by 2 clusters.
      {{0x11, 0x04, 0x10, 0x31, 0x02, 0xFE, 0xFF, 0xFF, 0x00}, {{0, 4, 16}, {4, 2, 14}}},
      // Sparse run (no offset field) keeps the LCN.
      {{0x11, 0x04, 0x10, 0x01, 0x08, 0x11, 0x02, 0x01, 0x00}, {{0, 4, 16}, {4, 8, kLcnSparse}, {12, 2, 17}}},
      // Length field of 9 bytes ends decoding; header 0 as well.
      {{0x11, 0x04, 0x10, 0x09, 0x01}, {{0, 4, 16}}},
      // A run that does not fit is not decoded.
      {{0x11, 0x04, 0x10, 0x21, 0x01}, {{0, 4, 16}}},
      // Negative LCN and past the volume (1000 clusters): outside.
      {{0x11, 0x04, 0x80, 0x00}, {{0, 4, kLcnOutside}}},
      {{0x21, 0x04, 0xE8, 0x03, 0x00}, {{0, 4, kLcnOutside}}},
  };
  for (const Case& c : cases) {
    std::vector<TRunNode> runs;
    DecodeRunlist(c.bytes, 0, 1000, runs);
    ASSERT_EQ(runs.size(), c.runs.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
      EXPECT_EQ(runs[i].Vcn, c.runs[i].Vcn);
      EXPECT_EQ(runs[i].Length, c.runs[i].Length);
      EXPECT_EQ(runs[i].Lcn, c.runs[i].Lcn);
    }
  }
}

TEST(NtfsFixup, RestoresProtectedBytesAndReportsMismatch) {
  for (std::size_t size : {1024u, 4096u}) {
    std::vector<std::uint8_t> rec(size, 0x11);
    std::memcpy(rec.data(), "FILE", 4);
    const std::size_t count = size / 512 + 1;
    rec[4] = 48;
    rec[5] = 0;
    rec[6] = static_cast<std::uint8_t>(count);
    rec[7] = 0;
    rec[48] = 0xAB;
    rec[49] = 0xCD;
    for (std::size_t i = 1; i < count; ++i) {
      rec[48 + 2 * i] = static_cast<std::uint8_t>(i);
      rec[49 + 2 * i] = 0x77;
      rec[i * 512 - 2] = 0xAB;
      rec[i * 512 - 1] = 0xCD;
    }
    std::vector<std::uint8_t> torn = rec;
    ASSERT_TRUE(ApplyFixup(rec));
    for (std::size_t i = 1; i < count; ++i) {
      EXPECT_EQ(rec[i * 512 - 2], i);
      EXPECT_EQ(rec[i * 512 - 1], 0x77);
    }
    torn[size - 1] = 0;
    EXPECT_FALSE(ApplyFixup(torn));
    EXPECT_EQ(torn[size - 1], 0x77);  // written back all the same
  }
}

TEST(NtfsLznt1, DecompressesChunks) {
  TNTFS_Unpack unpack(4096, 65536);
  std::vector<std::uint8_t> out(65536);
  // "abc" then a back-reference of length 9 at displacement 3: "abcabcabcabc".
  const std::vector<std::uint8_t> compressed = {0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x06, 0x20, 0x00, 0x00};
  EXPECT_EQ(unpack.DecompressUnit(compressed, out), 12u);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 12), "abcabcabcabc");
  // An uncompressed chunk is copied as it is.
  std::vector<std::uint8_t> raw = {0xFF, 0x3F};
  for (int i = 0; i < 4096; ++i) raw.push_back(static_cast<std::uint8_t>(i * 7));
  EXPECT_EQ(unpack.DecompressUnit(raw, out), 4096u);
  EXPECT_EQ(out[4095], static_cast<std::uint8_t>(4095 * 7));
  // A token pointing before the chunk copies nothing.
  const std::vector<std::uint8_t> bad = {0x03, 0xB0, 0x01, 0x00, 0x70, 0x00, 0x00};
  EXPECT_EQ(unpack.DecompressUnit(bad, out), 0u);
}

}  // namespace
}  // namespace vandrel

namespace vandrel {
namespace {

// An index entry whose size copy is stale (writers update it lazily):
// the listing gives the size a read of the file delivers.
TEST_F(NtfsDamage, StaleIndexSizeGivesWayToTheRecord) {
  Opened clean = test::OpenNtfsImage(bytes_);
  TFileEntry dir;
  ASSERT_TRUE(clean.reader->LookupPath("/a", dir, false, nullptr));
  const std::int64_t at = clean.reader->RecordOffset(dir.ObjectId);
  ASSERT_GT(at, 0);
  std::u16string name = u"original.txt";
  std::vector<std::uint8_t> pattern;
  for (char16_t c : name) {
    pattern.push_back(static_cast<std::uint8_t>(c & 0xFF));
    pattern.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  const auto begin = bytes_.begin() + at;
  const auto found = std::search(begin, begin + recordSize_, pattern.begin(), pattern.end());
  ASSERT_NE(found, begin + recordSize_) << "the small directory keeps its entries in the index root";
  const std::size_t entry = static_cast<std::size_t>(found - bytes_.begin()) - 82;
  for (int i = 0; i < 8; ++i) bytes_[entry + 64 + static_cast<std::size_t>(i)] = i == 0 ? 3 : 0;
  Opened o = test::OpenNtfsImage(bytes_);
  TFileEntry file;
  ASSERT_TRUE(o.reader->LookupPath("/a/original.txt", file, true, nullptr));
  EXPECT_EQ(file.Size, 15);
}

}  // namespace
}  // namespace vandrel

namespace vandrel {
namespace {

// The scanning variant shows the same live files as the index listing.
TEST(NtfsSalvager, TreeHoldsTheLiveFiles) {
  VANDREL_REQUIRE(test::HaveTool("mkntfs"), "mkntfs is needed");
  VANDREL_FIXTURE(image, "ntfs_filled_512");
  const std::vector<std::uint8_t> bytes = test::ReadFileBytes(image);
  Opened reader = test::OpenNtfsImage(bytes);
  Opened salvager = test::OpenNtfsImage(bytes, true);
  std::map<std::string, TFileEntry> listed, scanned;
  Walk(*reader.reader, reader.reader->RootEntry(), "", listed);
  Walk(*salvager.reader, salvager.reader->RootEntry(), "", scanned, false);
  std::map<std::int64_t, int> names;
  for (const auto& [path, entry] : listed) ++names[entry.ObjectId];
  std::size_t compared = 0;
  for (const auto& [path, entry] : listed) {
    if (names[entry.ObjectId] > 1) continue;  // one node per record: hard links differ
    SCOPED_TRACE(path);
    const auto it = scanned.find(path);
    // Names kept in extension records (files with attribute lists) too.
    if (it == scanned.end()) {
      ADD_FAILURE() << "not in the scan";
      continue;
    }
    EXPECT_EQ(it->second.ObjectId, entry.ObjectId);
    EXPECT_EQ(it->second.IsDirectory(), entry.IsDirectory());
    if (!entry.IsDirectory()) {
      EXPECT_EQ(it->second.Size, entry.Size);
    }
    ++compared;
  }
  EXPECT_GT(compared, 3000u);
  // The freed fillers are listed, marked deleted.
  std::size_t deleted = 0;
  for (const auto& [path, entry] : scanned)
    if (path.rfind("/frag/filler_", 0) == 0 && (entry.Attributes & kAttrDeleted) != 0) ++deleted;
  EXPECT_GT(deleted, 100u);
}

}  // namespace
}  // namespace vandrel

namespace vandrel {
namespace {

// Bytes of `bytes` at `offset` overwritten with zeros.
void Zero(std::vector<std::uint8_t>& bytes, std::size_t offset, std::size_t length) {
  std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(offset), bytes.begin() + static_cast<std::ptrdiff_t>(offset + length),
            std::uint8_t{0});
}

// Neither boot sector points at $MFT or its mirror (or neither boot sector
// is left at all): the copy of the first records in the middle of the
// volume leads to $MFT, and every file ntfs-3g shows of the undamaged
// image is there with its size and content.
TEST(NtfsMftSearch, FindsTheMftThroughTheCopyInTheMiddle) {
  VANDREL_REQUIRE(test::IsRoot(), "ntfs-3g mounts need root");
  VANDREL_REQUIRE(test::HaveTool("ntfs-3g") && test::HaveTool("mkntfs"), "ntfs-3g and mkntfs are needed");
  struct Case {
    const char* fixture;
    bool wholeBootSectors;  // else only the two cluster fields
  };
  const Case cases[] = {{"ntfs_filled_512", false}, {"ntfs_filled_512", true}, {"ntfs_filled_4k", false},
                        {"ntfs_filled_4k", true},   {"ntfs_cluster64k", false}, {"ntfs_cluster64k", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fixture) + (c.wholeBootSectors ? ", boot sectors gone" : ", cluster fields zeroed"));
    VANDREL_FIXTURE(image, c.fixture);
    Ntfs3gMount mount(image);
    ASSERT_TRUE(mount.Mounted());
    std::vector<std::uint8_t> bytes = test::ReadFileBytes(image);
    const std::size_t sector = test::OpenNtfsImage(bytes).reader->Boot().BytesPerSector;
    // The backup boot sector is the volume's last sector.
    for (const std::size_t at : {std::size_t{0}, bytes.size() - sector}) {
      if (c.wholeBootSectors)
        Zero(bytes, at, sector);
      else
        Zero(bytes, at + 48, 16);
    }
    std::vector<std::string> lines;
    std::mutex mutex;
    Opened o;
    {
      ScopedLogSink sink([&](const std::string& line, int) {
        std::lock_guard lock(mutex);
        lines.push_back(line);
      });
      o = test::OpenNtfsImage(std::move(bytes));
    }
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Calculating direct mft position"), lines.end());
    ASSERT_TRUE(o.reader->Usable());
    std::map<std::string, TFileEntry> ours;
    Walk(*o.reader, o.reader->RootEntry(), "", ours);
    EXPECT_EQ(PathsOf(ours), Ntfs3gPaths(mount.Dir()));
    std::size_t index = 0;
    for (const auto& [path, entry] : ours) {
      if (entry.IsDirectory()) continue;
      SCOPED_TRACE(path);
      EXPECT_EQ(entry.Size, static_cast<std::int64_t>(fs::file_size(mount.Dir() + path)));
      // Content for a sample: the sizes already show every record is found.
      if (index++ % 40 != 0) continue;
      FsHandle h = o.reader->OpenFile(entry);
      EXPECT_TRUE(ReadAll(*o.reader, h) == ReadFile(mount.Dir() + path)) << "content differs";
      o.reader->CloseFile(h);
    }
  }
}

// The copy of record 1 says where the mirror starts in clusters, which
// gives the cluster size: a number that gives none (zero, not a divisor,
// a cluster larger than any) leaves the guess as it was.
TEST(NtfsMftSearch, NonsenseInTheMirrorCopyKeepsTheGuess) {
  VANDREL_REQUIRE(test::HaveTool("mkntfs"), "mkntfs is needed");
  VANDREL_FIXTURE(image, "ntfs_filled_4k");
  const std::vector<std::uint8_t> clean = test::ReadFileBytes(image);
  Opened reference = test::OpenNtfsImage(clean);
  const std::set<std::string> expected = RootNames(*reference.reader);
  const TNtfsBoot& boot = reference.reader->Boot();
  ASSERT_EQ(boot.ClusterSize, 4096u);  // the size guessed without a boot sector
  const std::size_t record1 = static_cast<std::size_t>(boot.MirrLcn * boot.ClusterSize + boot.RecordSize);
  std::vector<std::uint8_t> copy(clean.begin() + static_cast<std::ptrdiff_t>(record1),
                                 clean.begin() + static_cast<std::ptrdiff_t>(record1 + boot.RecordSize));
  TNtfsRecordInfo info;
  std::vector<TNtfsAttrHeader> headers;
  ASSERT_TRUE(ParseRecordAttributes(copy, info, headers));
  const auto data = std::find_if(headers.begin(), headers.end(),
                                 [](const TNtfsAttrHeader& h) { return h.Type == kNtfsAttrData && h.NonResident; });
  ASSERT_NE(data, headers.end());
  const std::uint8_t header = copy[data->RunlistOffset];
  const std::size_t field = record1 + data->RunlistOffset + 1 + (header & 0x0F);
  const unsigned width = header >> 4;
  ASSERT_GT(width, 0u);
  ScopedLogSink quiet([](const std::string&, int) {});
  for (const std::uint64_t lcn : {0ULL, 1ULL, 3ULL}) {
    SCOPED_TRACE(lcn);
    std::vector<std::uint8_t> damaged = clean;
    Zero(damaged, 0, boot.BytesPerSector);
    Zero(damaged, damaged.size() - boot.BytesPerSector, boot.BytesPerSector);
    for (unsigned i = 0; i < width; ++i) damaged[field + i] = static_cast<std::uint8_t>(lcn >> (8 * i));
    Opened o = test::OpenNtfsImage(std::move(damaged));
    ASSERT_TRUE(o.reader->Usable());
    EXPECT_EQ(o.reader->ClusterSize(), 4096u);
    EXPECT_EQ(RootNames(*o.reader), expected);
  }
}

}  // namespace
}  // namespace vandrel
