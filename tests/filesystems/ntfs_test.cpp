// The NTFS reader against images made by mkntfs and filled through ntfs-3g,
// compared with what ntfs-3g itself shows of the same image.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "common/text.h"
#include "filesystems/DirListEx.h"
#include "filesystems/NTFS.h"
#include "filesystems/ntfs_unpack.h"
#include "support/fixtures.h"
#include "support/memory_disk.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;
using test::MemoryDisk;

// The image read-only through ntfs-3g, unmounted on destruction.
class Ntfs3gMount {
 public:
  explicit Ntfs3gMount(const std::string& image) {
    char pattern[] = "/tmp/vandrel-ntfs3g-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    std::string out;
    mounted_ = test::RunCommand("ntfs-3g -o ro,streams_interface=windows '" + image + "' '" + dir_ + "' 2>&1", out);
  }
  ~Ntfs3gMount() {
    std::string out;
    if (mounted_) test::RunCommand("fusermount3 -u '" + dir_ + "' 2>&1 || umount '" + dir_ + "' 2>&1", out);
    if (!dir_.empty()) ::rmdir(dir_.c_str());
  }
  bool Mounted() const { return mounted_; }
  const std::string& Dir() const { return dir_; }

 private:
  std::string dir_;
  bool mounted_ = false;
};

struct Opened {
  std::unique_ptr<MemoryDisk> disk;
  std::unique_ptr<TNTFS> reader;
};

Opened OpenImage(std::vector<std::uint8_t> bytes, bool salvager = false) {
  Opened o;
  o.disk = std::make_unique<MemoryDisk>(std::move(bytes));
  if (salvager)
    o.reader = std::make_unique<TNTFS_Salvager>(o.disk.get());
  else
    o.reader = std::make_unique<TNTFS_Reader>(o.disk.get());
  o.reader->Open();
  o.reader->Prepare();
  return o;
}

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
          int depth = 0) {
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
    EXPECT_EQ(out.count(childPath), 0u) << "listed twice: " << childPath;
    out[childPath] = child;
    if (child.IsDirectory()) Walk(fs, child, childPath, out, depth + 1);
  }
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
  Opened o = OpenImage(test::ReadFileBytes(image));
  ASSERT_TRUE(o.reader->Usable());

  std::map<std::string, TFileEntry> ours;
  Walk(*o.reader, o.reader->RootEntry(), "", ours);
  std::set<std::string> ourPaths;
  for (const auto& [path, entry] : ours) ourPaths.insert(path);
  EXPECT_EQ(ourPaths, Ntfs3gPaths(mount.Dir()));
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
    FsHandle h = o.reader->OpenFile(entry, 0x80);
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
      FsHandle sh = o.reader->OpenStream(entry, 0x80, -1, s->Name);
      EXPECT_TRUE(ReadAll(*o.reader, sh) == ReadFile(theirs + ":" + s->Name)) << "stream " << s->Name;
      o.reader->CloseFile(sh);
    }
  }
  EXPECT_EQ(streams, 62u);
}

INSTANTIATE_TEST_SUITE_P(Images, NtfsFilled, ::testing::Values("ntfs_filled_512", "ntfs_filled_4k"));

}  // namespace
}  // namespace vandrel
