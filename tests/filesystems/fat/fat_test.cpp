// The FAT reader against mtools' and sleuthkit's view of images that
// mkfs.fat made and mtools filled, and on damaged images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>

#include "common/endian.h"
#include "filesystems/fat/fat.h"
#include "filesystems/reader_walk.h"
#include "support/fixtures.h"
#include "support/memory_disk.h"

namespace vandrel::test {
namespace {

namespace fs = std::filesystem;

struct FatImageCase {
  const char* fixture;
  TFileSystemKind fatType;
};

void PrintTo(const FatImageCase& c, std::ostream* out) { *out << c.fixture; }

class FatImage : public ::testing::TestWithParam<FatImageCase> {};

std::string Mtools(const std::string& /*image*/) {
  return "MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 m";
}

TEST_P(FatImage, MatchesMtoolsAndSleuthkit) {
  VANDREL_REQUIRE(HaveTool("mdir") && HaveTool("fls") && HaveTool("icat"), "mtools and sleuthkit needed");
  VANDREL_FIXTURE(image, GetParam().fixture);
  ImageReader opened = OpenImageReader(image, TReaderChoice::kFat);
  ASSERT_TRUE(opened.opened);
  auto& fat = static_cast<TFAT&>(*opened.reader);
  EXPECT_EQ(fat.FatType(), GetParam().fatType);
  const TreeListing tree = ListTree(fat);

  // Every path mtools shows, and nothing else.
  std::set<std::string> ours;
  for (const auto& [path, entry] : tree.live) ours.insert(path + (entry.IsDirectory() ? "/" : ""));
  std::set<std::string> theirs;
  for (const std::string& line : CommandLines(Mtools(image) + "dir -/ -b -a -i " + ShellQuote(image) + " ::"))
    if (line.starts_with("::/")) theirs.insert(line.substr(2));
  ASSERT_GT(theirs.size(), 400u);
  EXPECT_EQ(ours, theirs);

  // The same paths in sleuthkit's listing of allocated entries.
  std::set<std::string> sleuth;
  for (const std::string& line : CommandLines("fls -r -p -u " + ShellQuote(image))) {
    const auto tab = line.find('\t');
    if (tab == std::string::npos || line.find("(Volume Label Entry)") != std::string::npos) continue;
    const std::string path = "/" + line.substr(tab + 1);
    if (path.starts_with("/$")) continue;
    sleuth.insert(path + (line.starts_with("d/d") ? "/" : ""));
  }
  EXPECT_EQ(ours, sleuth);

  // The contents mcopy extracts.
  const fs::path extracted = fs::path(image).string() + ".mcopy";
  fs::remove_all(extracted);
  fs::create_directories(extracted);
  std::string output;
  ASSERT_TRUE(RunCommand(Mtools(image) + "copy -s -n -i " + ShellQuote(image) + " '::/*' " +
                             ShellQuote(extracted.string()) + "/ 2>&1",
                         output))
      << output;
  int files = 0;
  for (const auto& [path, entry] : tree.live) {
    if (entry.IsDirectory()) continue;
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(ReadWhole(fat, entry, bytes)) << path;
    EXPECT_EQ(bytes, ReadFileBytes((extracted / path.substr(1)).string())) << path;
    ++files;
  }
  EXPECT_GT(files, 400);

  // Deleted entries: "x" for the first character, contents as icat
  // recovers them while their clusters are still free.
  int deleted = 0;
  for (const std::string& line : CommandLines("fls -r -p -d " + ShellQuote(image))) {
    const auto star = line.find("* ");
    const auto tab = line.find('\t');
    if (star == std::string::npos || tab == std::string::npos || !line.starts_with("r/r")) continue;
    const std::string inode = line.substr(star + 2, line.find(':', star) - star - 2);
    std::string path = "/" + line.substr(tab + 1);
    const auto slash = path.rfind('/');
    path = path.substr(0, slash + 1) + "x" + path.substr(slash + 2);
    const auto found = tree.deleted.find(path);
    ASSERT_NE(found, tree.deleted.end()) << path;
    EXPECT_NE(found->second.Attributes & kAttrDeleted, 0u);
    if (found->second.Mark != 0) continue;
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(ReadWhole(fat, found->second, bytes)) << path;
    std::string recovered;
    ASSERT_TRUE(RunCommand("icat " + ShellQuote(image) + " " + inode, recovered));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), recovered) << path;
    // Read over the free clusters from its first one: the same bytes while none was reused.
    FsHandle overFree = fat.OpenFile(found->second, TFatReadMode::kFreeClusters);
    ASSERT_NE(overFree, kNoHandle) << path;
    std::string freeBytes(recovered.size(), '\0');
    EXPECT_EQ(fat.Read(overFree, freeBytes.data(), static_cast<std::int32_t>(freeBytes.size())),
              static_cast<std::int32_t>(recovered.size()));
    EXPECT_EQ(freeBytes, recovered) << path;
    fat.CloseFile(overFree);
    ++deleted;
  }
  EXPECT_EQ(deleted, 2);

  // The directory of many long names spans more than 100 clusters.
  EXPECT_GT(fat.ChainLength(tree.live.at("/many").ObjectId), 100);
}

TEST_P(FatImage, PathsAndPartialReads) {
  VANDREL_FIXTURE(image, GetParam().fixture);
  ImageReader opened = OpenImageReader(image, TReaderChoice::kFat);
  ASSERT_TRUE(opened.opened);
  FileSystem& fat = *opened.reader;
  TFileEntry entry;
  const FsHandle find = fat.FindFirstByPath("/D1/d2/d3/d4/d5/d6/d7/d8/d9/d10/", entry);
  ASSERT_NE(find, kNoHandle);
  EXPECT_EQ(entry.Name, "..");
  ASSERT_TRUE(fat.FindNext(find, entry));
  EXPECT_EQ(entry.Name, "deep file.txt");
  EXPECT_FALSE(fat.FindNext(find, entry));
  fat.FindClose(find);
  EXPECT_EQ(fat.FindFirstByPath("/d1/missing", entry), kNoHandle);

  // Odd-sized reads and seeks give the bytes whole-cluster reads give.
  TFileEntry big;
  ASSERT_TRUE(fat.LookupPath("/frag/BIG.BIN", big, true, nullptr));
  std::vector<std::uint8_t> whole;
  ASSERT_TRUE(ReadWhole(fat, big, whole));
  std::vector<std::uint8_t> pieces;
  ASSERT_TRUE(ReadWhole(fat, big, pieces, 1000));
  EXPECT_EQ(pieces, whole);
  const FsHandle file = fat.OpenFile(big);
  ASSERT_NE(file, kNoHandle);
  EXPECT_EQ(fat.Seek(file, kSeekBegin, 12345), 12345);
  std::uint8_t three[3] = {};
  EXPECT_EQ(fat.Read(file, three, 3), 3);
  EXPECT_EQ(0, std::memcmp(three, whole.data() + 12345, 3));
  EXPECT_EQ(fat.Seek(file, kSeekEnd, 2), big.Size - 2);
  EXPECT_EQ(fat.Read(file, three, 3), 2);
  EXPECT_TRUE(fat.IsEof(file));
  FsHandle closing = file;
  EXPECT_TRUE(fat.CloseFile(closing));
}

INSTANTIATE_TEST_SUITE_P(Fat, FatImage,
                         ::testing::Values(FatImageCase{"fat12_full", kFat12}, FatImageCase{"fat16_full", kFat16},
                                           FatImageCase{"fat32_full", kFat32}),
                         [](const auto& testInfo) { return std::string(testInfo.param.fixture); });

// ------------------------------------------------------------- damage

struct Geometry {
  std::uint64_t bps, fatStart, fatBytes, fats;
  TFileSystemKind type;
};

Geometry GeometryOf(const std::vector<std::uint8_t>& bytes, TFileSystemKind type) {
  const ByteSpan b(bytes);
  const std::uint64_t bps = Le16(b, 11);
  std::uint64_t perFat = Le16(b, 22);
  if (perFat == 0) perFat = Le32(b, 36);
  return {bps, Le16(b, 14) * bps, perFat * bps, Le8(b, 16), type};
}

void SetFatEntry(std::vector<std::uint8_t>& bytes, const Geometry& g, std::uint32_t cluster, std::uint32_t value) {
  for (std::uint64_t k = 0; k < g.fats; ++k) {
    std::uint8_t* fat = bytes.data() + g.fatStart + k * g.fatBytes;
    if (g.type == kFat32) {
      for (int i = 0; i < 4; ++i) fat[cluster * 4 + i] = static_cast<std::uint8_t>(value >> (8 * i));
    } else {
      fat[cluster * 2] = static_cast<std::uint8_t>(value);
      fat[cluster * 2 + 1] = static_cast<std::uint8_t>(value >> 8);
    }
  }
}

struct Damaged {
  std::unique_ptr<MemoryDisk> disk;
  std::unique_ptr<TFAT> fat;
};

Damaged OpenBytes(std::vector<std::uint8_t> bytes) {
  Damaged d;
  d.disk = std::make_unique<MemoryDisk>(std::move(bytes));
  d.disk->Open(true, false, false);
  d.fat = std::make_unique<TFAT>(d.disk.get());
  d.fat->Open();
  d.fat->Prepare();
  return d;
}

TEST(FatDamage, LoopsEndAndFat32EntriesAreMasked) {
  VANDREL_FIXTURE(image16, "fat16_full");
  VANDREL_FIXTURE(image32, "fat32_full");
  for (const auto& [path, type] : {std::pair{image16, kFat16}, std::pair{image32, kFat32}}) {
    std::vector<std::uint8_t> bytes = ReadFileBytes(path);
    const Geometry g = GeometryOf(bytes, type);
    Damaged clean = OpenBytes(bytes);
    TFileEntry many, big;
    ASSERT_TRUE(clean.fat->LookupPath("/many", many, false, nullptr));
    ASSERT_TRUE(clean.fat->LookupPath("/frag/big.bin", big, true, nullptr));
    std::vector<std::uint8_t> bigBytes;
    ASSERT_TRUE(ReadWhole(*clean.fat, big, bigBytes));
    const std::size_t manyCount = ListTree(*clean.fat).live.size();

    // The last cluster of /many points back to its first; a middle cluster
    // of big.bin points to itself; FAT32 entries of big.bin carry the
    // reserved top bits.
    std::int64_t last = many.ObjectId;
    while (!clean.fat->IsEndOfChain(clean.fat->FatEntry(last))) last = clean.fat->FatEntry(last);
    SetFatEntry(bytes, g, static_cast<std::uint32_t>(last), static_cast<std::uint32_t>(many.ObjectId));
    std::int64_t c = big.ObjectId;
    std::vector<std::int64_t> chain;
    while (!clean.fat->IsEndOfChain(c) && chain.size() < 100000) {
      chain.push_back(c);
      c = clean.fat->FatEntry(c);
    }
    if (type == kFat32)
      for (std::int64_t link : chain)
        SetFatEntry(bytes, g, static_cast<std::uint32_t>(link),
                    static_cast<std::uint32_t>(clean.fat->FatEntry(link)) | 0xF0000000u);
    Damaged looped = OpenBytes(bytes);
    EXPECT_EQ(ListTree(*looped.fat).live.size(), manyCount);
    std::vector<std::uint8_t> again;
    EXPECT_TRUE(ReadWhole(*looped.fat, big, again));
    EXPECT_EQ(again, bigBytes);

    const std::int64_t middle = chain[chain.size() / 2];
    SetFatEntry(bytes, g, static_cast<std::uint32_t>(middle), static_cast<std::uint32_t>(middle));
    Damaged selfLoop = OpenBytes(bytes);
    EXPECT_FALSE(ReadWhole(*selfLoop.fat, big, again));
    EXPECT_LE(again.size(), bigBytes.size());
  }
}

TEST(FatDamage, TruncatedAndGarbageImagesDoNotCrash) {
  VANDREL_FIXTURE(image, "fat16_full");
  const std::vector<std::uint8_t> bytes = ReadFileBytes(image);
  for (std::size_t length : {std::size_t{512}, std::size_t{4096}, bytes.size() / 8, bytes.size() / 2}) {
    Damaged d = OpenBytes(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(length)));
    const TreeListing tree = ListTree(*d.fat);
    for (const auto& [path, entry] : tree.live) {
      std::vector<std::uint8_t> content;
      if (!entry.IsDirectory()) ReadWhole(*d.fat, entry, content);
    }
  }
  std::vector<std::uint8_t> zeroCluster = bytes;
  zeroCluster[13] = 0;  // sectors per cluster
  EXPECT_FALSE(OpenBytes(zeroCluster).fat->Open());
}

// A deleted entry's share of clusters in use again (its Mark), for ranges
// that start anywhere, cross many clusters or run past the volume (garbage
// sizes in a damaged folder), against a count over the image's own FAT.
TEST(FatDamage, DeletedEntryInUseShareOverAnyRange) {
  VANDREL_FIXTURE(image, "fat16_full");
  std::vector<std::uint8_t> bytes = ReadFileBytes(image);
  const Geometry g = GeometryOf(bytes, kFat16);
  const ByteSpan b(bytes);
  const std::uint64_t rootSectors = (Le16(b, 17) * 32 + g.bps - 1) / g.bps;
  const std::uint64_t dataStart = Le16(b, 14) + g.fats * (g.fatBytes / g.bps) + rootSectors;
  const std::uint64_t totalSectors = Le16(b, 19) != 0 ? Le16(b, 19) : Le32(b, 32);
  const std::int64_t clusters = static_cast<std::int64_t>((totalSectors - dataStart) / Le8(b, 13));
  const std::int64_t clusterBytes = static_cast<std::int64_t>(g.bps * Le8(b, 13));
  ASSERT_GT(clusters, 3 * 4096);  // ranges below cross several thousand clusters
  const std::vector<std::uint8_t> gone = {0xE5, 'O', 'N', 'E', ' ', ' ', ' ', ' ', 'T', 'X', 'T'};
  const auto hit = std::search(bytes.begin(), bytes.end(), gone.begin(), gone.end());
  ASSERT_NE(hit, bytes.end());
  const auto entry = static_cast<std::uint64_t>(hit - bytes.begin());
  const std::int64_t original = Le16(b, entry + 26);

  const struct {
    const char* what;
    std::int64_t first;
    std::uint32_t size;
  } cases[] = {
      {"as mtools left it", original, 1500},
      {"one cluster at the start", 2, 0},
      {"across thousands of clusters", 4000, static_cast<std::uint32_t>(9000 * clusterBytes)},
      {"size past the volume", original, 0xFFFFFFFF},
      {"last cluster, size past the volume", clusters + 1, 0xFFFFFFFF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> patched = bytes;
    patched[entry + 26] = static_cast<std::uint8_t>(c.first);
    patched[entry + 27] = static_cast<std::uint8_t>(c.first >> 8);
    for (int i = 0; i < 4; ++i) patched[entry + 28 + static_cast<std::uint64_t>(i)] = static_cast<std::uint8_t>(c.size >> (8 * i));
    const std::int64_t last = std::min<std::int64_t>(c.first + c.size / clusterBytes, clusters + 1);
    std::int64_t used = 0;
    for (std::int64_t cluster = c.first; cluster <= last; ++cluster)
      if (Le16(ByteSpan(patched), g.fatStart + static_cast<std::uint64_t>(cluster) * 2) != 0) ++used;
    const std::int64_t examined = last - c.first + 1;
    Damaged d = OpenBytes(patched);
    const TreeListing tree = ListTree(*d.fat);
    const auto found = tree.deleted.find("/del/xone.txt");
    ASSERT_NE(found, tree.deleted.end());
    EXPECT_EQ(found->second.Mark, (100 * used + examined / 2) / examined);
  }
}

// Hand-made root directory entries on a fresh FAT16 volume.
TEST(FatDirectory, EntriesOfTheRawDirectory) {
  VANDREL_FIXTURE(image, "fat16_plain");
  std::vector<std::uint8_t> bytes = ReadFileBytes(image);
  const Geometry g = GeometryOf(bytes, kFat16);
  const std::uint64_t root = g.fatStart + g.fats * g.fatBytes;
  auto put = [&](int slot, const char* name11, std::uint8_t attr, std::uint16_t cluster, std::uint32_t size) {
    std::uint8_t* e = bytes.data() + root + slot * 32;
    std::memset(e, 0, 32);
    std::memcpy(e, name11, 11);
    e[11] = attr;
    e[26] = static_cast<std::uint8_t>(cluster);
    e[27] = static_cast<std::uint8_t>(cluster >> 8);
    std::memcpy(e + 28, &size, 4);
  };
  auto putLong = [&](int slot, std::uint8_t sequence, const char* text, std::uint8_t checksum) {
    std::uint8_t* e = bytes.data() + root + slot * 32;
    std::memset(e, 0xFF, 32);
    e[0] = sequence;
    e[11] = 0x0F;
    e[12] = 0;
    e[13] = checksum;
    e[26] = e[27] = 0;
    const int offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    std::size_t i = 0;
    for (; i < 13 && text[i] != 0; ++i) {
      e[offsets[i]] = static_cast<std::uint8_t>(text[i]);
      e[offsets[i] + 1] = 0;
    }
    if (i < 13) e[offsets[i]] = e[offsets[i] + 1] = 0;
  };
  put(0, "LABEL      ", 0x08, 0, 0);                       // volume label: not listed
  putLong(1, 0x41, "stale name", 0x12);                    // orphan long name
  put(2, "PLAIN   TXT", 0x20, 0, 0);                       // keeps its short name
  std::uint8_t name11[11];
  std::memcpy(name11, "LONGNA~1TXT", 11);
  putLong(3, 0x41, "Long.txt", FatShortNameChecksum(name11));
  put(4, "LONGNA~1TXT", 0x20, 0, 0);
  put(5, "\xE5OST    TXT", 0x20, 0, 0);                    // deleted
  put(6, "           ", 0x10, 7, 0);                       // nameless directory
  // The path delimiter in a damaged name, long or short.
  std::memcpy(name11, "AB~1    TXT", 11);
  putLong(7, 0x41, "a/b.txt", FatShortNameChecksum(name11));
  put(8, "AB~1    TXT", 0x20, 0, 0);
  put(9, "C/D     TXT", 0x20, 0, 0);
  Damaged d = OpenBytes(bytes);
  const TFolderListing listing = d.fat->ListFolder(d.fat->RootEntry());
  ASSERT_TRUE(listing.Readable);
  std::vector<std::pair<std::string, std::uint32_t>> names;
  for (const TFileEntry& entry : listing.Entries) names.emplace_back(entry.Name, entry.Attributes);
  const std::vector<std::pair<std::string, std::uint32_t>> expected = {
      {"PLAIN.TXT", 0x20}, {"Long.txt", 0x20}, {"xOST.TXT", 0x20 | kAttrDeleted}, {"RECOVERED_FOLDER_7", 0x10},
      {"a%2Fb.txt", 0x20}, {"C%2FD.TXT", 0x20}};
  EXPECT_EQ(names, expected);
}

TEST(FatTime, DatesConvertAsUtc) {
  // 2001-02-03 04:05:06
  const std::uint16_t date = static_cast<std::uint16_t>(((2001 - 1980) << 9) | (2 << 5) | 3);
  const std::uint16_t time = static_cast<std::uint16_t>((4 << 11) | (5 << 5) | 3);
  EXPECT_EQ(FileTimeToUnix(FatTimeToFileTime(date, time)), 981173106);
  EXPECT_EQ(FatTimeToFileTime(0, 0), 0u);
  EXPECT_EQ(FatTimeToFileTime(static_cast<std::uint16_t>(13 << 5 | 1), 0), 0u);
}

}  // namespace
}  // namespace vandrel::test
