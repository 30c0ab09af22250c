// Encrypted NTFS files read as their raw export, against files that
// ntfs-3g encrypted (tests/fixtures/ntfs_efs.sh). The export is parsed here
// on its own terms and its pieces compared with what ntfs-3g shows: the
// $EFS metadata as system.ntfs_efsinfo, the still-encrypted stream bytes
// through its efs_raw mode.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "common/endian.h"
#include "common/log.h"
#include "filesystems/ntfs/ntfs.h"
#include "common/error_codes.h"
#include "filesystems/reader_walk.h"
#include "mount/callback_file_system.h"
#include "mount/mount2_system.h"
#include "filesystems/block_file_stream_storage.h"
#include "support/fixtures.h"
#include "support/memory_stream.h"
#include "support/ntfs3g_mount.h"
#include "support/ntfs_image.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// ------------------------------------------------------------ the format

std::u16string Utf16At(ByteSpan b, std::size_t at, std::size_t units) {
  std::u16string text;
  for (std::size_t i = 0; i < units; ++i) text.push_back(static_cast<char16_t>(Le16(b, at + 2 * i)));
  return text;
}

bool ZeroAt(ByteSpan b, std::size_t at, std::size_t length) {
  return Fits(b, at, length) && std::all_of(b.begin() + at, b.begin() + at + length, [](std::uint8_t v) { return v == 0; });
}

struct Block {
  std::uint32_t Length = 0, Index = 0, Count28 = 0, Count32 = 0, Padded = 0;
  std::uint8_t Kind[4] = {};
  std::uint8_t Tail[4] = {};
};

struct Stream {
  std::u16string Name;
  Bytes Data;
  std::vector<Block> Blocks;
};

struct Export {
  Bytes Efs;
  std::vector<Stream> Streams;
};

// Splits an export into its pieces, checking the fixed fields of every
// header on the way.
void ParseExport(const Bytes& x, Export& out) {
  const ByteSpan b(x);
  ASSERT_GE(x.size(), 66u);
  EXPECT_EQ(Le32(b, 0), 0x100u);
  EXPECT_EQ(Utf16At(b, 4, 4), u"ROBS");
  EXPECT_TRUE(ZeroAt(b, 12, 8));
  EXPECT_EQ(Le32(b, 20), 30u);
  EXPECT_EQ(Utf16At(b, 24, 4), u"NTFS");
  EXPECT_TRUE(ZeroAt(b, 32, 12));
  EXPECT_EQ(Le32(b, 44), 2u);
  EXPECT_EQ(b[48], 0x10);
  EXPECT_EQ(b[49], 0x19);
  const std::size_t efs = Le32(b, 50);
  EXPECT_EQ(Utf16At(b, 54, 4), u"GURE");
  EXPECT_TRUE(ZeroAt(b, 62, 4));
  ASSERT_GE(efs, 16u);
  ASSERT_TRUE(Fits(b, 66, efs - 16));
  out.Efs.assign(x.begin() + 66, x.begin() + 66 + static_cast<std::ptrdiff_t>(efs - 16));
  std::size_t at = 66 + efs - 16;
  while (at < x.size()) {
    ASSERT_TRUE(Fits(b, at, 28)) << at;
    Stream s;
    const std::uint32_t nameLength = Le32(b, at + 24);
    EXPECT_EQ(Le32(b, at), 28 + nameLength);
    EXPECT_EQ(Utf16At(b, at + 4, 4), u"NTFS");
    EXPECT_TRUE(ZeroAt(b, at + 12, 12));
    ASSERT_TRUE(Fits(b, at + 28, nameLength));
    s.Name = Utf16At(b, at + 28, nameLength / 2);
    at += 28 + nameLength;
    while (Fits(b, at, 12) && Utf16At(b, at + 4, 4) == u"GURE") {
      Block k;
      k.Length = Le32(b, at);
      ASSERT_GE(k.Length, 512u);
      ASSERT_TRUE(Fits(b, at, k.Length));
      k.Index = Le32(b, at + 18);
      k.Count28 = Le32(b, at + 28);
      k.Count32 = Le32(b, at + 32);
      k.Padded = Le32(b, at + 44);
      std::copy(b.begin() + at + 36, b.begin() + at + 40, k.Kind);
      std::copy(b.begin() + at + 40, b.begin() + at + 44, k.Tail);
      EXPECT_TRUE(ZeroAt(b, at + 12, 6));
      EXPECT_TRUE(ZeroAt(b, at + 22, 2));
      EXPECT_EQ(Le32(b, at + 24), 496u);
      EXPECT_TRUE(ZeroAt(b, at + 48, 464));
      s.Data.insert(s.Data.end(), x.begin() + at + 512, x.begin() + at + k.Length);
      s.Blocks.push_back(k);
      at += k.Length;
    }
    out.Streams.push_back(std::move(s));
  }
}

// The block headers a stream of `dataSize` bytes must get when its raw
// bytes run to the end of a `sectorSize` sector.
void ExpectBlocks(const Stream& s, std::int64_t dataSize, std::int64_t sectorSize, bool named) {
  const std::int64_t stored = (dataSize + sectorSize - 1) / sectorSize * sectorSize;
  ASSERT_EQ(static_cast<std::int64_t>(s.Blocks.size()), (stored + 65535) / 65536);
  for (std::size_t i = 0; i < s.Blocks.size(); ++i) {
    SCOPED_TRACE(i);
    const Block& k = s.Blocks[i];
    const std::int64_t piece = std::min<std::int64_t>(65536, stored - static_cast<std::int64_t>(i) * 65536);
    EXPECT_EQ(k.Index, i);
    EXPECT_EQ(k.Length, 512 + piece);
    EXPECT_EQ(k.Padded, piece);
    const std::uint8_t tail[4] = {0x09, 0x01, 0x01, 0x00};
    EXPECT_TRUE(std::equal(k.Tail, k.Tail + 4, tail));
    if (piece == 65536) {
      EXPECT_EQ(k.Count28, 65536u);
      EXPECT_EQ(k.Count32, 65536u);
      const std::uint8_t kind[4] = {0, 0, 0x10, 0x10};
      EXPECT_TRUE(std::equal(k.Kind, k.Kind + 4, kind));
    } else {
      EXPECT_EQ(k.Count28, dataSize % 65536);
      EXPECT_EQ(k.Count32, dataSize % 65536);
      const std::uint8_t mark = named ? 0x09 : 0x0F;
      const std::uint8_t kind[4] = {0, 0, mark, mark};
      EXPECT_TRUE(std::equal(k.Kind, k.Kind + 4, kind));
    }
  }
}

// ------------------------------------------------------------ helpers

using Opened = test::NtfsImage;

// The entry a listing gives for a name in the root.
bool FindInRoot(TNTFS& reader, const std::string& name, TFileEntry& out) {
  TFileEntry e;
  const FsHandle h = reader.FindFirst(reader.RootEntry(), e);
  bool found = false;
  for (bool more = h != kNoHandle; more && !found; more = reader.FindNext(h, e))
    if (e.Name == name) {
      out = e;
      found = true;
    }
  if (h != kNoHandle) reader.FindClose(h);
  return found;
}

// Reads an open file to its end in pieces of `chunk` bytes.
Bytes ReadToEnd(FileSystem& fs, FsHandle h, std::int32_t chunk = 65536) {
  Bytes all, piece(static_cast<std::size_t>(chunk));
  for (int guard = 0; guard < 1 << 20; ++guard) {
    const std::int32_t n = fs.Read(h, piece.data(), chunk);
    if (n <= 0) break;
    all.insert(all.end(), piece.begin(), piece.begin() + n);
  }
  return all;
}

Bytes ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Bytes EfsInfo(const std::string& path) {
  Bytes value(70000);
  const ssize_t n = ::getxattr(path.c_str(), "system.ntfs_efsinfo", value.data(), value.size());
  value.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return value;
}

Bytes Head(const Bytes& bytes, std::size_t n) { return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(n, bytes.size()))); }

std::int64_t RoundUp(std::int64_t v, std::int64_t to) { return (v + to - 1) / to * to; }

class NtfsEfs : public test::Ntfs3gImageTest {
 protected:
  void SetUp() override { Load("ntfs_efs"); }
};

struct Expected {
  const char* file;
  std::int64_t size;
  std::vector<std::pair<std::string, std::int64_t>> streams;  // named ones, in order
};

const std::vector<Expected> kEncrypted = {
    {"secret.bin", 150000, {{"ads", 3000}, {"more", 70000}}},
    {"exact.bin", 131072, {}},
    {"nearly.bin", 65530, {}},
    {"empty.bin", 0, {}},
};

// ------------------------------------------------------------ tests

TEST_F(NtfsEfs, ExportMatchesWhatNtfs3gHolds) {
  test::Ntfs3gMount raw(image_, "efs_raw");
  ASSERT_TRUE(raw.Mounted());
  struct Setup {
    std::int32_t sectorSize;
    bool salvager;
  };
  for (const Setup setup : {Setup{512, false}, Setup{512, true}, Setup{4096, false}}) {
    SCOPED_TRACE("sector size " + std::to_string(setup.sectorSize) + (setup.salvager ? ", scanning reader" : ""));
    Opened o = test::OpenNtfsImage(bytes_, setup.salvager, setup.sectorSize);
    for (const Expected& e : kEncrypted) {
      SCOPED_TRACE(e.file);
      const std::string host = raw.Dir() + "/" + e.file;
      TFileEntry entry;
      ASSERT_TRUE(FindInRoot(*o.reader, e.file, entry));
      EXPECT_NE(entry.Attributes & kAttrEncrypted, 0u);
      FsHandle h = o.reader->OpenFile(entry);
      ASSERT_NE(h, kNoHandle);
      const std::int64_t size = o.reader->GetFileSize(h);
      const Bytes x = ReadToEnd(*o.reader, h);
      EXPECT_TRUE(o.reader->IsEof(h));
      o.reader->CloseFile(h);
      EXPECT_EQ(static_cast<std::int64_t>(x.size()), size);
      EXPECT_EQ(entry.Size, size) << "the listing tells the size a read delivers";

      Export parsed;
      ASSERT_NO_FATAL_FAILURE(ParseExport(x, parsed));
      EXPECT_EQ(parsed.Efs, EfsInfo(host));
      ASSERT_EQ(parsed.Streams.size(), 1 + e.streams.size());
      for (std::size_t i = 0; i < parsed.Streams.size(); ++i) {
        const bool named = i > 0;
        const std::string name = named ? e.streams[i - 1].first : "";
        const std::int64_t dataSize = named ? e.streams[i - 1].second : e.size;
        SCOPED_TRACE("stream '" + name + "'");
        const Stream& s = parsed.Streams[i];
        std::u16string expectedName = u":";
        for (char c : name) expectedName.push_back(static_cast<char16_t>(c));
        expectedName += u":$DATA";
        EXPECT_EQ(s.Name, expectedName);
        ExpectBlocks(s, dataSize, setup.sectorSize, named);
        // efs_raw shows the encrypted bytes padded to 512 and two bytes of
        // padding length; a 4 KiB sector holds more than the last cipher block.
        const Bytes view = ReadHostFile(host + (named ? ":" + name : ""));
        const std::size_t cipher = static_cast<std::size_t>(RoundUp(dataSize, 512));
        ASSERT_EQ(view.size(), cipher + (dataSize > 0 ? 2 : 0));
        EXPECT_EQ(s.Data.size(), static_cast<std::size_t>(RoundUp(dataSize, setup.sectorSize)));
        EXPECT_TRUE(Head(s.Data, cipher) == Head(view, cipher));
      }
    }
  }
}

TEST_F(NtfsEfs, ReadsFromAnyPositionMatchTheWhole) {
  Opened o = test::OpenNtfsImage(bytes_);
  TFileEntry entry;
  ASSERT_TRUE(FindInRoot(*o.reader, "secret.bin", entry));
  FsHandle h = o.reader->OpenFile(entry);
  const Bytes whole = ReadToEnd(*o.reader, h, 1000);  // odd pieces: headers get cut anywhere
  const auto total = static_cast<std::int64_t>(whole.size());
  ASSERT_GT(total, 3 * 66048);

  std::mt19937 rng(7);
  Bytes piece;
  for (int i = 0; i < 300; ++i) {
    // Every other read is what the mount asks: a 64 KiB block from an aligned position.
    const bool aligned = i % 2 == 0;
    const std::int64_t at = aligned ? static_cast<std::int64_t>(rng() % (total / 65536 + 1)) * 65536 : rng() % (total + 10);
    const std::int32_t count = aligned ? 65536 : static_cast<std::int32_t>(rng() % 70000 + 1);
    piece.assign(static_cast<std::size_t>(count), 0xAA);
    EXPECT_EQ(o.reader->Seek(h, kSeekBegin, at), std::min(at, total));
    const std::int32_t n = o.reader->Read(h, piece.data(), count);
    const std::int64_t expected = std::clamp<std::int64_t>(total - at, 0, count);
    ASSERT_EQ(n, expected) << at;
    EXPECT_TRUE(std::equal(piece.begin(), piece.begin() + n, whole.begin() + std::min(at, total))) << at;
  }
  // Origins other than the start, and positions past the end.
  EXPECT_EQ(o.reader->Seek(h, kSeekEnd, 100), total - 100);
  EXPECT_EQ(o.reader->Seek(h, kSeekCurrent, -50), total - 150);
  EXPECT_EQ(o.reader->Seek(h, kSeekBegin, total + 5), total);
  EXPECT_TRUE(o.reader->IsEof(h));
  o.reader->CloseFile(h);

  // The stream the mount reads through, and handles read on several threads at once.
  TFileEntry withReader = entry;
  withReader.Fs = o.reader.get();
  std::vector<std::thread> threads;
  std::vector<int> mismatches(2, 0);
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 4; ++round) {
        TBlockFileStreamStorage stream(withReader);
        Bytes got(whole.size());
        // Blocks from the back to the front.
        for (std::int64_t at = (total - 1) / 65536 * 65536; at >= 0; at -= 65536) {
          stream.Seek64(at, kSeekBegin);
          stream.Read(got.data() + at, std::min<std::int64_t>(65536, total - at));
        }
        if (got != whole) ++mismatches[static_cast<std::size_t>(t)];
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches, std::vector<int>(2, 0));

  // A reader that goes away with an export still open frees it cleanly.
  Opened other = test::OpenNtfsImage(bytes_);
  EXPECT_NE(other.reader->OpenFile(entry), kNoHandle);
}

// Data past 4 GiB, reached by seeks within the export.
TEST_F(NtfsEfs, SparseFileLargerThan4GiB) {
  test::Ntfs3gMount raw(image_, "efs_raw");
  ASSERT_TRUE(raw.Mounted());
  const std::string host = raw.Dir() + "/huge.bin";
  struct stat st {};
  ASSERT_EQ(::stat(host.c_str(), &st), 0);
  const std::int64_t dataSize = (std::int64_t{4} << 30) + 100000;
  // The index size passes the volume's, so a listing leaves the file out:
  // it is opened by its record number, which ntfs-3g gives as inode.
  Opened o = test::OpenNtfsImage(bytes_);
  TFileEntry entry;
  entry.ObjectId = static_cast<std::int64_t>(st.st_ino);
  entry.Attributes = kAttrEncrypted;
  entry.Name = "huge.bin";
  FsHandle h = o.reader->OpenFile(entry);
  ASSERT_NE(h, kNoHandle);
  const std::int64_t head = 66 + 700 + 28 + 14;
  EXPECT_EQ(o.reader->GetFileSize(h), head + dataSize / 65536 * 66048 + 512 + RoundUp(dataSize % 65536, 512));
  EXPECT_EQ(o.reader->GetFileSize(h), o.reader->EncryptedRawSize(entry));

  const int fd = ::open(host.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  for (const std::int64_t offset : {std::int64_t{0}, std::int64_t{69000}, (std::int64_t{4} << 30) + 1000,
                                    (std::int64_t{4} << 30) + 40000, dataSize - 1000}) {
    SCOPED_TRACE(offset);
    // Within one block, from `offset` to the block's end.
    const std::int64_t in = offset % 65536;
    const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(65536 - in, dataSize - offset));
    Bytes expected(static_cast<std::size_t>(n)), got(static_cast<std::size_t>(n));
    ASSERT_EQ(::pread(fd, expected.data(), expected.size(), offset), n);
    const std::int64_t at = head + offset / 65536 * 66048 + 512 + in;
    EXPECT_EQ(o.reader->Seek(h, kSeekBegin, at), at);
    ASSERT_EQ(o.reader->Read(h, got.data(), n), n);
    EXPECT_TRUE(got == expected);
  }
  ::close(fd);
  o.reader->CloseFile(h);
}

// With its $EFS gone the file's encrypted bytes are served as they are.
TEST_F(NtfsEfs, WithoutEfsTheBytesAreServedAsTheyAre) {
  test::Ntfs3gMount raw(image_, "efs_raw");
  ASSERT_TRUE(raw.Mounted());
  const Bytes view = ReadHostFile(raw.Dir() + "/noefs.bin");
  {
    Opened clean = test::OpenNtfsImage(bytes_);
    TFileEntry entry;
    ASSERT_TRUE(FindInRoot(*clean.reader, "noefs.bin", entry));
    const std::int64_t at = clean.reader->RecordOffset(entry.ObjectId);
    ASSERT_GT(at, 0);
    // The attribute's name "$EFS" in UTF-16; no tool makes such a record.
    const std::uint8_t name[] = {'$', 0, 'E', 0, 'F', 0, 'S', 0};
    const auto record = bytes_.begin() + at;
    const auto found = std::search(record, record + clean.reader->Boot().RecordSize, std::begin(name), std::end(name));
    ASSERT_NE(found, record + clean.reader->Boot().RecordSize);
    found[6] = 'X';
  }
  std::vector<std::pair<std::string, int>> log;
  ScopedLogSink sink([&](const std::string& line, int level) { log.emplace_back(line, level); });
  Opened o = test::OpenNtfsImage(bytes_);
  TFileEntry entry;
  ASSERT_TRUE(FindInRoot(*o.reader, "noefs.bin", entry));
  EXPECT_NE(entry.Attributes & kAttrEncrypted, 0u);
  EXPECT_EQ(entry.Size, 5000);
  log.clear();
  FsHandle h = o.reader->OpenFile(entry);
  ASSERT_NE(h, kNoHandle);
  EXPECT_EQ(o.reader->GetFileSize(h), 5000);
  EXPECT_TRUE(ReadToEnd(*o.reader, h) == Head(view, 5000));
  o.reader->CloseFile(h);
  EXPECT_NE(std::find(log.begin(), log.end(), std::pair<std::string, int>(ErrorText(8), 1)), log.end());
}

// The command-line tool and the mount hand out the same export.
TEST_F(NtfsEfs, CliAndMountServeTheExport) {
  Bytes expected;
  {
    Opened o = test::OpenNtfsImage(bytes_);
    TFileEntry entry;
    ASSERT_TRUE(FindInRoot(*o.reader, "secret.bin", entry));
    FsHandle h = o.reader->OpenFile(entry);
    expected = ReadToEnd(*o.reader, h);
    o.reader->CloseFile(h);
  }
  ASSERT_GT(expected.size(), 150000u);
  const std::string dir = ::testing::TempDir() + "/vandrel_efs_" + std::to_string(::getpid());
  fs::remove_all(dir);
  fs::create_directories(dir + "/ours");
  const std::string cli = std::string(VANDREL_CLI_PATH) + " --images-only --image " + test::ShellQuote(image_);
  std::string out;
  ASSERT_TRUE(test::RunCommand(cli + " cat 0:0 /secret.bin > " + test::ShellQuote(dir + "/cat.bin") + " 2>/dev/null", out));
  EXPECT_TRUE(ReadHostFile(dir + "/cat.bin") == expected);

  bool installed = false;
  std::uint32_t high = 0, low = 0;
  TCallbackFileSystem::QueryDriverState(kProductId, installed, high, low);
  VANDREL_REQUIRE(installed, "needs a usable /dev/fuse");
  const std::string ours = dir + "/ours";
  ASSERT_TRUE(test::RunCommand(cli + " mount 0:0 " + test::ShellQuote(ours) + " --background 2>&1", out)) << out;
  const std::string file = ours + "/FileSystem/secret.bin";
  struct stat st {};
  EXPECT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(static_cast<std::size_t>(st.st_size), expected.size());
  EXPECT_TRUE(ReadHostFile(file) == expected);
  // Reads from inside blocks, past the page cache's first fill.
  const int fd = ::open(file.c_str(), O_RDONLY | O_DIRECT);
  const int plain = fd >= 0 ? fd : ::open(file.c_str(), O_RDONLY);
  ASSERT_GE(plain, 0);
  for (const std::size_t at : {std::size_t{0}, std::size_t{65536}, std::size_t{131072}}) {
    alignas(4096) static std::uint8_t buffer[65536];
    const ssize_t n = ::pread(plain, buffer, sizeof buffer, static_cast<off_t>(at));
    ASSERT_EQ(n, static_cast<ssize_t>(std::min(sizeof buffer, expected.size() - at)));
    EXPECT_TRUE(std::equal(buffer, buffer + n, expected.begin() + static_cast<std::ptrdiff_t>(at))) << at;
  }
  ::close(plain);
  EXPECT_TRUE(test::RunCommand(std::string(VANDREL_CLI_PATH) + " umount " + test::ShellQuote(ours) + " 2>&1", out)) << out;
  fs::remove_all(dir);
}

// ------------------------------------------------------------ the stream alone

TEST(EncryptedFileRaw, SizesAndDegenerateInputs) {
  EXPECT_EQ(RawDataSize(0), 0);
  EXPECT_EQ(RawDataSize(1), 1024);
  EXPECT_EQ(RawDataSize(65536), 66048);
  EXPECT_EQ(RawDataSize(65537), 66048 + 1024);
  EXPECT_EQ(RawDataSize(std::numeric_limits<std::int64_t>::max()), std::numeric_limits<std::int64_t>::max());

  // No $EFS: nothing to export.
  TAdsStreams none;
  none.push_back({"", 10, std::make_unique<test::MemoryStream>(Bytes(512, 1))});
  TEncryptedFileRaw empty(nullptr, std::move(none));
  EXPECT_EQ(empty.GetSize(), 0);
  std::uint8_t byte = 0;
  EXPECT_EQ(empty.Read(&byte, 1), 0);

  // $EFS larger than the export carries, a stream that delivers less than
  // its size claims, and a data size that does not fit its stream.
  TAdsStreams streams;
  streams.push_back({"", 100000, std::make_unique<test::MemoryStream>(Bytes(1000, 7))});
  TEncryptedFileRaw x(std::make_unique<test::MemoryStream>(Bytes(70000, 3)), std::move(streams));
  EXPECT_EQ(x.GetSize(), 66 + 65536 + 28 + 14 + RawDataSize(1000));
  Bytes all(static_cast<std::size_t>(x.GetSize() + 100));
  EXPECT_EQ(x.Read(all.data(), x.GetSize() + 100), x.GetSize());
  all.resize(static_cast<std::size_t>(x.GetSize()));
  Export parsed;
  ASSERT_NO_FATAL_FAILURE(ParseExport(all, parsed));
  EXPECT_EQ(parsed.Efs, Bytes(65536, 3));
  ASSERT_EQ(parsed.Streams.size(), 1u);
  ASSERT_EQ(parsed.Streams[0].Blocks.size(), 1u);
  EXPECT_EQ(parsed.Streams[0].Blocks[0].Count28, 1000u);
  Bytes padded(1000, 7);
  padded.resize(1024, 0);
  EXPECT_EQ(parsed.Streams[0].Data, padded);
  EXPECT_EQ(x.Seek64(-1, kSeekBegin), x.GetSize());
  EXPECT_EQ(x.Seek64(std::numeric_limits<std::int64_t>::min(), kSeekEnd), x.GetSize());
  EXPECT_EQ(x.Seek64(std::numeric_limits<std::int64_t>::max(), kSeekCurrent), x.GetSize());
}

}  // namespace
}  // namespace vandrel
