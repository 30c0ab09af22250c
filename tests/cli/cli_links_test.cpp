// Names, kinds and links as the volume stores them: every entry's name,
// kind, size, link target, device numbers and bytes through `ls --json`,
// `cat` and the mount, against the view of the same image that the kernel
// (ext), ntfs-3g (NTFS) or mtools (FAT) gives; and `cp -r` recreating
// links as links without writing anything outside its destination.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "filesystems/reader_walk.h"
#include "support/fixtures.h"
#include "support/ntfs3g_mount.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;
using test::ShellQuote;

struct Seen {
  std::string type;
  std::int64_t size = 0;
  std::string target;
  std::uint64_t rdev = 0;
  std::string bytes;  // a file's content
  bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Seen& s) {
  return os << s.type << " " << s.size << " '" << s.target << "' rdev " << s.rdev << " '" << s.bytes << "'";
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What lstat says of every entry under `root`, keyed "/a/b", with each
// file's bytes.
std::map<std::string, Seen> HostView(const fs::path& root) {
  std::map<std::string, Seen> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    // (fs::relative would resolve the links)
    const std::string rel = it->path().string().substr(root.string().size());
    if (rel.rfind("/lost+found", 0) == 0) continue;
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) != 0) continue;
    Seen s;
    if (S_ISDIR(st.st_mode)) s.type = "dir";
    else if (S_ISREG(st.st_mode)) s.type = "file";
    else if (S_ISLNK(st.st_mode)) s.type = "symlink";
    else if (S_ISFIFO(st.st_mode)) s.type = "fifo";
    else if (S_ISCHR(st.st_mode)) s.type = "char";
    else if (S_ISBLK(st.st_mode)) s.type = "block";
    else s.type = "socket";
    // ntfs-3g gives an Interix socket its one byte of data as size.
    s.size = S_ISDIR(st.st_mode) || !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) ? 0 : st.st_size;
    if (S_ISLNK(st.st_mode)) s.target = fs::read_symlink(it->path()).string();
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) s.rdev = st.st_rdev;
    if (S_ISREG(st.st_mode)) s.bytes = ReadText(it->path());
    out[rel] = s;
  }
  return out;
}

bool DriveLetter(const std::string& target) { return target.size() >= 2 && target[1] == ':'; }

enum class Truth { Kernel, Ntfs3g, Mtools };

struct Lookup {
  const char* typed;    // a path as a user might type it
  const char* content;  // nullptr: no such file
};

struct Case {
  const char* fixture;
  Truth truth;
  const char* link;  // a link to a file inside the volume; nullptr when the volume holds none
  std::vector<Lookup> lookups;
  // Links whose target we show as the volume stores it where the tool
  // shows something else.
  std::map<std::string, std::string> storedTargets;
  // Junctions and the folder each names: ntfs-3g shows a symbolic link,
  // we show the folder's entries.
  std::map<std::string, std::string> junctions;
  // Paths we list that the tool leaves out: ntfs-3g hides the metafiles.
  const char* toolHides = nullptr;
};

// `view` without the entries under `prefix`.
std::map<std::string, Seen> Without(std::map<std::string, Seen> view, const char* prefix) {
  if (prefix != nullptr) std::erase_if(view, [&](const auto& item) { return item.first.rfind(prefix, 0) == 0; });
  return view;
}

void PrintTo(const Case& c, std::ostream* out) { *out << c.fixture; }

// Ext names are bytes, so both case variants exist and a third spelling
// finds nothing.
Case ExtCase(const char* fixture) {
  return {fixture,
          Truth::Kernel,
          "/up",
          {{"/dir/UPPER.TXT", "UPPER\n"}, {"/dir/upper.txt", "lower\n"}, {"/dir/Upper.txt", nullptr}, {"/DIR/file.txt", nullptr}},
          {},
          {}};
}

const Case kCases[] = {
    ExtCase("ext2_links"),
    ExtCase("ext3_links"),
    ExtCase("ext4_links"),
    // FAT holds one spelling of a name and finds it in any case, by its
    // long name or its short one.
    {"fat32_cases",
     Truth::Mtools,
     nullptr,
     {{"/sub dir/INNER FILE.txt", "inner\n"},
      {"/SUBDIR~1/inner file.TXT", "inner\n"},
      {"/Sub Dir/LOWER.TXT", "lower\n"},
      {"/upper.txt", "UPPER\n"},
      {"/mixed case.TXT", "mixed\n"},
      {"/Sub Dir/lower.tx", nullptr}},
     {},
     {}},
    // ntfs-3g writes case-differing names in the POSIX namespace: each is
    // found exactly, another spelling through $UpCase.
    {"ntfs_links",
     Truth::Ntfs3g,
     "/up",
     {{"/dir/Case.txt", "Upper\n"}, {"/dir/case.txt", "lower\n"}, {"/DIR/FILE.TXT", "inside\n"}, {"/dir/file.tx", nullptr}},
     // ntfs-3g turns an absolute target on drive C: into a path under its
     // own mount point and one on another drive into a path under its
     // .NTFS-3G folder, and shows no target for a relative link that
     // climbs out of the volume; the volume stores "C:\dir\file.txt",
     // "D:\data" and "..\..\..", which is what we show.
     {{"/rabs", "C:/dir/file.txt"}, {"/rother", "D:/data"}, {"/rescape", "../../.."}},
     {{"/junc", "/dir"}},
     "/$"},
};

class CliLinks : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    VANDREL_REQUIRE(test::IsRoot(), "loop and FUSE mounts need root");
    dir_ = fs::temp_directory_path() / ("vandrel-links-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "kernel");
  }
  void TearDown() override {
    std::string out;
    test::RunCommand("umount " + ShellQuote((dir_ / "kernel").string()) + " 2>/dev/null", out);
    test::RunCommand(std::string(VANDREL_CLI_PATH) + " umount " + ShellQuote((dir_ / "ours").string()) + " 2>/dev/null", out);
    fs::remove_all(dir_);
  }
  std::string Cli(const std::string& image, const std::string& arguments, bool* ok = nullptr) {
    std::string out;
    const bool good = test::RunCommand("timeout 60 " + std::string(VANDREL_CLI_PATH) + " --images-only --image " +
                                           ShellQuote(image) + " " + arguments + " 2>/dev/null",
                                       out);
    if (ok != nullptr) *ok = good;
    return out;
  }
  // The tool's view, with the differences the case names applied.
  std::map<std::string, Seen> ToolView(const Case& c, const std::string& image) {
    std::map<std::string, Seen> view;
    std::string out;
    if (c.truth == Truth::Kernel) {
      const fs::path kernel = dir_ / "kernel";
      EXPECT_TRUE(test::RunCommand("mount -o loop,ro " + ShellQuote(image) + " " + ShellQuote(kernel.string()), out));
      view = HostView(kernel);
    } else if (c.truth == Truth::Ntfs3g) {
      test::Ntfs3gMount ntfs3g(image);
      EXPECT_TRUE(ntfs3g.Mounted());
      if (ntfs3g.Mounted()) view = HostView(ntfs3g.Dir());
    } else {
      const fs::path copy = dir_ / "mtools";
      fs::create_directories(copy);
      EXPECT_TRUE(test::RunCommand("MTOOLS_SKIP_CHECK=1 mcopy -s -i " + ShellQuote(image) + " ::/ " + ShellQuote(copy.string()), out));
      view = HostView(copy);
    }
    for (const auto& [path, target] : c.storedTargets) {
      EXPECT_EQ(view.count(path), 1u) << path;
      view[path].target = target;
      view[path].size = static_cast<std::int64_t>(target.size());
    }
    for (const auto& [junction, folder] : c.junctions) {
      view[junction] = Seen{"dir", 0, "", 0, ""};
      const auto named = view;
      for (const auto& [path, seen] : named)
        if (path.rfind(folder + "/", 0) == 0) view[junction + path.substr(folder.size())] = seen;
    }
    return view;
  }
  fs::path dir_;
};

TEST_P(CliLinks, NamesKindsSizesAndTargetsAsTheToolShowsThem) {
  const Case& c = GetParam();
  VANDREL_FIXTURE(image, c.fixture);
  const auto truth = ToolView(c, image);
  ASSERT_FALSE(truth.empty());

  // ls --json, and cat of every file.
  std::map<std::string, Seen> listed;
  std::istringstream lines(Cli(image, "ls -R 0 / --json"));
  for (std::string line; std::getline(lines, line);) {
    const auto j = nlohmann::json::parse(line);
    const std::string path = j["path"];
    if (path.rfind("/lost+found", 0) == 0) continue;
    Seen s{j["type"], j["size"], j.value("target", ""), 0, ""};
    if (s.type == "other") {
      s.type = j.value("special", "unknown");
      s.size = 0;
      if (j.contains("major")) s.rdev = makedev(j["major"].get<unsigned>(), j["minor"].get<unsigned>());
    }
    if (s.type == "file" && (c.toolHides == nullptr || path.rfind(c.toolHides, 0) != 0))
      s.bytes = Cli(image, "cat 0 " + ShellQuote(path));
    listed[path] = s;
  }
  EXPECT_EQ(Without(listed, c.toolHides), truth);

  // Each file system's own rule for the case of names.
  bool ok = true;
  for (const Lookup& l : c.lookups) {
    const std::string bytes = Cli(image, "cat 0 " + ShellQuote(l.typed), &ok);
    EXPECT_EQ(ok, l.content != nullptr) << l.typed;
    if (l.content != nullptr) {
      EXPECT_EQ(bytes, l.content) << l.typed;
    }
  }

  // cat refuses a link unless asked, and then stays inside the volume.
  if (c.link != nullptr) {
    Cli(image, std::string("cat 0 ") + c.link, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(Cli(image, std::string("cat --follow 0 ") + c.link, &ok), "inside\n");
    EXPECT_TRUE(ok);
  }
  for (const auto& [path, s] : truth) {
    if (s.type != "symlink" || path == c.link) continue;
    Cli(image, "cat --follow 0 " + ShellQuote(path), &ok);
    const std::string folder = path.substr(0, path.rfind('/'));
    const auto named = truth.find(folder + "/" + s.target);
    const bool inside = s.target.front() != '/' && !DriveLetter(s.target) && s.target.find("..") == std::string::npos &&
                        named != truth.end() && named->second.type == "file";
    EXPECT_EQ(ok, inside) << path;
  }

  // The mount: the same names, kinds, sizes, targets, bytes and device
  // numbers, found by the same rule.
  const fs::path ours = dir_ / "ours";
  fs::create_directories(ours);
  std::string out;
  ASSERT_TRUE(test::RunCommand(std::string(VANDREL_CLI_PATH) + " --images-only --image " + ShellQuote(image) +
                                   " mount 0 " + ShellQuote(ours.string()) + " --background 2>&1",
                               out))
      << out;
  EXPECT_EQ(Without(HostView(ours / "FileSystem"), c.toolHides), truth);
  for (const Lookup& l : c.lookups) {
    const fs::path file = ours / ("FileSystem" + std::string(l.typed));
    std::error_code ec;
    EXPECT_EQ(fs::is_regular_file(file, ec), l.content != nullptr) << l.typed;
    if (l.content != nullptr) {
      EXPECT_EQ(ReadText(file), l.content) << l.typed;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Images, CliLinks, ::testing::ValuesIn(kCases),
                         [](const auto& param) { return std::string(param.param.fixture); });

// Links that point outside the volume are made again as links: a guard
// folder around the destination holds nothing else afterwards, and every
// link holds the text the volume stores. NTFS metafiles are left out of
// the comparison.
struct CopyCase {
  const char* fixture;
  std::string found;  // `find` under the guard folder, sorted
};

void PrintTo(const CopyCase& c, std::ostream* out) { *out << c.fixture; }

const std::string kGuard = "d  \nd a \nd a/b \nd a/b/c \nd a/b/c/root \nd a/b/c/root/dir \n";

const CopyCase kCopyCases[] = {
    {"ext4_links", kGuard + "d a/b/c/root/lost+found \n"
                            "f a/b/c/root/dir/UPPER.TXT \nf a/b/c/root/dir/file.txt \nf a/b/c/root/dir/upper.txt \n"
                            "l a/b/c/root/dir/rel file.txt\nl a/b/c/root/dir/slow " +
                       std::string(200, 'n') +
                       "\nl a/b/c/root/escape ../../..\nl a/b/c/root/etc /etc\nl a/b/c/root/loop loop\n"
                       "l a/b/c/root/up dir/file.txt\n"},
    // Interix, WSL and reparse-point links alike; the junction is copied
    // as the folder it names, special files are not copied.
    {"ntfs_links", kGuard + "d a/b/c/root/junc \n"
                            "f a/b/c/root/dir/Case.txt \nf a/b/c/root/dir/case.txt \nf a/b/c/root/dir/file.txt \n"
                            "f a/b/c/root/junc/Case.txt \nf a/b/c/root/junc/case.txt \nf a/b/c/root/junc/file.txt \n"
                            "l a/b/c/root/dir/rel file.txt\nl a/b/c/root/escape ../../..\nl a/b/c/root/etc /etc\n"
                            "l a/b/c/root/junc/rel file.txt\nl a/b/c/root/loop loop\n"
                            "l a/b/c/root/rabs C:/dir/file.txt\nl a/b/c/root/rescape ../../..\n"
                            "l a/b/c/root/rother D:/data\nl a/b/c/root/rrel dir/file.txt\nl a/b/c/root/up dir/file.txt\n"
                            "l a/b/c/root/wsl dir/file.txt\nl a/b/c/root/wslabs /etc\n"},
};

class CliLinkCopy : public ::testing::TestWithParam<CopyCase> {};

TEST_P(CliLinkCopy, NothingIsWrittenOutsideTheDestination) {
  VANDREL_FIXTURE(image, GetParam().fixture);
  const fs::path guard = fs::temp_directory_path() / ("vandrel-guard-" + std::to_string(::getpid()));
  fs::remove_all(guard);
  const fs::path destination = guard / "a" / "b" / "c";
  fs::create_directories(destination);
  std::string out;
  test::RunCommand("timeout 60 " + std::string(VANDREL_CLI_PATH) + " --images-only --image " + ShellQuote(image) +
                       " cp -r 0 / " + ShellQuote(destination.string()) + " 2>/dev/null",
                   out);
  std::string found;
  ASSERT_TRUE(test::RunCommand("find " + ShellQuote(guard.string()) + " -printf '%y %P %l\\n' | grep -v '/[$]' | LC_ALL=C sort",
                               found));
  EXPECT_EQ(found, GetParam().found);
  fs::remove_all(guard);
}

INSTANTIATE_TEST_SUITE_P(Images, CliLinkCopy, ::testing::ValuesIn(kCopyCases),
                         [](const auto& param) { return std::string(param.param.fixture); });

}  // namespace
}  // namespace vandrel
