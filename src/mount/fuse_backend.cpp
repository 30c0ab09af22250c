// The component's Linux backend: a multi-threaded FUSE 3 session per
// mounting point. Requests become the component's events; every request
// that would change the volume is answered "read-only file system" here.
#define FUSE_USE_VERSION 312
#include <fuse.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "common/log.h"
#include "filesystems/file_system.h"
#include "mount/callback_file_system.h"
#include "mount/callback_backend.h"
#include "platform/mount_points.h"

namespace vandrel {
namespace {

// The volume cannot change beneath the kernel: its caches may keep entries,
// attributes and listings for as long as the mount lives.
constexpr double kCacheSeconds = 86400.0;
// Largest read the kernel hands over in one request (its own limit).
constexpr unsigned kMaxRequestBytes = 1u << 20;

struct OpenFile {
  TCbFsFileInfo info;
  void* context = nullptr;
};

struct DirectoryItem {
  std::string name;
  struct stat st;
};

struct OpenDirectory {
  TCbFsFileInfo info;
  void* context = nullptr;
  // The whole listing, gathered at the first read: ".", "..", then the
  // handler's entries. Later reads continue at the kernel's offset.
  bool listed = false;
  std::vector<DirectoryItem> items;
};

// The open files and listings of one session. A forced unmount ends the
// session without their releases; what is left is closed and freed when the
// session has ended.
template <typename Handle>
class HandleSet {
 public:
  std::uint64_t Add(std::unique_ptr<Handle> handle) {
    std::lock_guard lock(mutex_);
    Handle* raw = handle.release();
    live_.insert(raw);
    return reinterpret_cast<std::uint64_t>(raw);
  }
  // Empty for a handle this set does not hold (never freed twice).
  std::unique_ptr<Handle> Take(std::uint64_t fh) {
    std::lock_guard lock(mutex_);
    auto* raw = reinterpret_cast<Handle*>(fh);
    if (live_.erase(raw) == 0) return nullptr;
    return std::unique_ptr<Handle>(raw);
  }
  std::vector<std::unique_ptr<Handle>> TakeAll() {
    std::lock_guard lock(mutex_);
    std::vector<std::unique_ptr<Handle>> all;
    for (Handle* raw : live_) all.emplace_back(raw);
    live_.clear();
    return all;
  }
 private:
  std::mutex mutex_;
  std::unordered_set<Handle*> live_;
};

timespec ToTimespec(std::uint64_t fileTime) {
  timespec ts{};
  if (fileTime < kFileTimeUnixEpoch) {
    // Before 1970: negative seconds with a positive fraction.
    const std::uint64_t before = kFileTimeUnixEpoch - fileTime;
    const auto seconds = static_cast<std::int64_t>((before + 9999999) / 10000000);
    const std::uint64_t rest = static_cast<std::uint64_t>(seconds) * 10000000 - before;
    ts.tv_sec = static_cast<time_t>(-seconds);
    ts.tv_nsec = static_cast<long>(rest * 100);
    return ts;
  }
  const std::uint64_t since = fileTime - kFileTimeUnixEpoch;
  ts.tv_sec = static_cast<time_t>(since / 10000000);
  ts.tv_nsec = static_cast<long>((since % 10000000) * 100);
  return ts;
}

// What the kernel shows for "." and ".." of a listing, as libfuse does when
// it numbers the files itself.
constexpr ino_t kUnknownInode = 0xFFFFFFFF;

// A file's inode number: the volume's own id of it where the reader gives
// one (NTFS record numbers, below 2^48), so that a folder reached again
// through a junction shows as the same folder and `find` or `cp -r` stop
// there; otherwise one derived from the path, above every such id.
ino_t InodeOf(const TCbFsEntryInfo& info, std::string_view path) {
  if (info.FileId > 0) return static_cast<ino_t>(info.FileId);
  std::uint64_t h = 14695981039346656037ULL;  // FNV-1a
  for (const char c : path) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ULL;
  }
  return static_cast<ino_t>((h >> 2) | (std::uint64_t{1} << 62));
}

class FuseMount;

FuseMount* Current() { return static_cast<FuseMount*>(fuse_get_context()->private_data); }

class FuseMount : public CbFsMount {
 public:
  FuseMount(TCallbackFileSystem& owner, std::string folder) : owner_(owner), folder_(std::move(folder)) {}
  ~FuseMount() override {
    try {
      Stop(true);
    } catch (...) {
    }
  }

  const std::string& Folder() const override { return folder_; }
  bool Serving() const override { return running_.load(); }

  void Start(const CbFsMountOptions& options);
  void Stop(bool force) override;

  TCallbackFileSystem& Owner() { return owner_; }
  void FillStat(const TCbFsEntryInfo& info, std::string_view path, struct stat* st) const;
  void FillRoot(struct stat* st) const;
  HandleSet<OpenFile>& Files() { return files_; }
  HandleSet<OpenDirectory>& Directories() { return directories_; }
  void MarkInitialised() {
    std::lock_guard lock(stateMutex_);
    initialised_ = true;
    stateChanged_.notify_all();
  }

 private:
  void Loop(unsigned threads);
  void TuneReadahead();
  bool AbortConnection();
  void CloseLeftHandles();

  TCallbackFileSystem& owner_;
  std::string folder_;
  fuse* fuse_ = nullptr;
  std::thread loop_;
  std::atomic<bool> running_{false};
  std::mutex stateMutex_;
  std::condition_variable stateChanged_;
  bool initialised_ = false;
  bool loopEnded_ = false;
  dev_t device_ = 0;
  uid_t uid_ = ::getuid();
  gid_t gid_ = ::getgid();
  std::uint64_t mountTime_ = UnixToFileTime(::time(nullptr));
  HandleSet<OpenFile> files_;
  HandleSet<OpenDirectory> directories_;
};

void FuseMount::FillRoot(struct stat* st) const {
  std::memset(st, 0, sizeof *st);
  st->st_mode = S_IFDIR | 0555;
  st->st_ino = InodeOf(TCbFsEntryInfo{}, "/");
  st->st_nlink = 2;
  st->st_uid = uid_;
  st->st_gid = gid_;
  st->st_atim = st->st_mtim = st->st_ctim = ToTimespec(mountTime_);
}

void FuseMount::FillStat(const TCbFsEntryInfo& info, std::string_view path, struct stat* st) const {
  std::memset(st, 0, sizeof *st);
  st->st_ino = InodeOf(info, path);
  const bool directory = (info.FileAttributes & kAttrDirectory) != 0;
  const bool link = !directory && (info.FileAttributes & kAttrSymlink) != 0;
  st->st_mode = directory ? (S_IFDIR | 0555) : link ? (S_IFLNK | 0777) : (S_IFREG | 0444);
  if (!directory && !link && (info.FileAttributes & kAttrSpecial) != 0) {
    switch (info.SpecialKind) {
      case 1: st->st_mode = S_IFIFO | 0444; break;
      case 2: st->st_mode = S_IFCHR | 0444; break;
      case 3: st->st_mode = S_IFBLK | 0444; break;
      case 4: st->st_mode = S_IFSOCK | 0444; break;
      default: break;
    }
    st->st_rdev = makedev(info.DeviceMajor, info.DeviceMinor);
  }
  st->st_nlink = directory ? 2 : 1;
  st->st_uid = uid_;
  st->st_gid = gid_;
  st->st_size = directory ? 0 : link ? static_cast<off_t>(info.LinkTarget.size()) : info.EndOfFile;
  st->st_blocks = static_cast<blkcnt_t>((std::max<std::int64_t>(0, info.AllocationSize) + 511) / 512);
  st->st_blksize = 65536;
  st->st_atim = ToTimespec(info.LastAccessTime);
  st->st_mtim = ToTimespec(info.LastWriteTime);
  st->st_ctim = ToTimespec(info.LastWriteTime);
}

// Devices, FIFOs and sockets whose kind is unknown cannot be shown as one.
bool IsSpecial(const TCbFsEntryInfo& info) {
  return (info.FileAttributes & kAttrSpecial) != 0 && (info.FileAttributes & kAttrDirectory) == 0 &&
         info.SpecialKind == 0;
}

// A handler's failure becomes an errno answer; nothing escapes to libfuse.
template <typename Body>
int Guarded(Body&& body) {
  try {
    return body();
  } catch (const ECbFsError& e) {
    return -(e.Code != 0 ? e.Code : EIO);
  } catch (const std::exception& e) {
    LogText(std::string("CbFs handler: ") + e.what());
    return -EIO;
  } catch (...) {
    return -EIO;
  }
}

void* OpInit(fuse_conn_info* conn, fuse_config* cfg) {
  FuseMount* mount = Current();
  cfg->kernel_cache = 1;
  cfg->entry_timeout = kCacheSeconds;
  cfg->attr_timeout = kCacheSeconds;
  cfg->negative_timeout = kCacheSeconds;
  cfg->nullpath_ok = 1;
  cfg->use_ino = 1;
  // Listings hand the attributes over, so `ls -l` needs no lookup per entry.
  if (conn->capable & FUSE_CAP_READDIRPLUS) conn->want |= FUSE_CAP_READDIRPLUS;
  conn->want &= ~static_cast<unsigned>(FUSE_CAP_READDIRPLUS_AUTO);
  if (conn->capable & FUSE_CAP_ASYNC_READ) conn->want |= FUSE_CAP_ASYNC_READ;
  // Raises the kernel's request size (max_pages) for reads too.
  conn->max_write = kMaxRequestBytes;
  conn->max_read = 0;
  try {
    mount->Owner().OnOpenVolume();
  } catch (...) {
  }
  mount->MarkInitialised();
  return mount;
}

void OpDestroy(void* data) {
  auto* mount = static_cast<FuseMount*>(data);
  try {
    mount->Owner().OnCloseVolume();
  } catch (...) {
  }
}

int OpGetattr(const char* path, struct stat* st, fuse_file_info* fi) {
  return Guarded([&] {
    FuseMount* mount = Current();
    std::string name;
    if (path != nullptr) {
      name = path;
    } else if (fi != nullptr && fi->fh != 0) {
      name = reinterpret_cast<OpenFile*>(fi->fh)->info.FileName;
    }
    if (name.empty() || name == "/") {
      mount->FillRoot(st);
      return 0;
    }
    bool exists = false;
    TCbFsEntryInfo info;
    mount->Owner().OnGetFileInfo(name, exists, info);
    if (!exists || IsSpecial(info)) return -ENOENT;
    mount->FillStat(info, name, st);
    return 0;
  });
}

void ListDirectory(FuseMount& mount, OpenDirectory& directory) {
  DirectoryItem dot;
  mount.FillRoot(&dot.st);
  dot.st.st_ino = kUnknownInode;
  dot.name = ".";
  directory.items.push_back(dot);
  dot.name = "..";
  directory.items.push_back(dot);
  std::string child = directory.info.FileName;
  if (child.empty() || child.back() != '/') child.push_back('/');
  const std::size_t stem = child.size();
  // The handler may list a name twice (a damaged directory); the
  // listing shows each name once.
  std::unordered_set<std::string> seen;
  for (int index = 0;; ++index) {
    bool found = false;
    TCbFsEntryInfo info;
    mount.Owner().OnEnumerateDirectory(directory.info, directory.context, "*", index, index == 0, found, info);
    if (!found) break;
    if (info.Name.empty() || info.Name == "." || info.Name == ".." || info.Name.find('/') != std::string::npos)
      continue;
    if (IsSpecial(info) || !seen.insert(info.Name).second) continue;
    child.resize(stem);
    child += info.Name;
    DirectoryItem item;
    mount.FillStat(info, child, &item.st);
    item.name = std::move(info.Name);
    directory.items.push_back(std::move(item));
  }
}

int OpOpendir(const char* path, fuse_file_info* fi) {
  return Guarded([&] {
    auto directory = std::make_unique<OpenDirectory>();
    directory->info.FileName = path != nullptr ? path : "/";
    fi->fh = Current()->Directories().Add(std::move(directory));
    // The kernel keeps the listing: the volume cannot change.
    fi->cache_readdir = 1;
    fi->keep_cache = 1;
    return 0;
  });
}

// Entries go out with their offsets: libfuse before 3.16.2 drops the
// attributes of a listing filled without offsets, and the kernel then looks
// up every name again (each lookup a scan of the directory).
int OpReaddir(const char* /*path*/, void* buffer, fuse_fill_dir_t filler, off_t offset, fuse_file_info* fi,
              fuse_readdir_flags /*flags*/) {
  return Guarded([&] {
    FuseMount* mount = Current();
    auto* directory = reinterpret_cast<OpenDirectory*>(fi->fh);
    if (!directory->listed) {
      ListDirectory(*mount, *directory);
      directory->listed = true;
    }
    const auto first = static_cast<std::size_t>(std::max<off_t>(offset, 0));
    for (std::size_t i = first; i < directory->items.size(); ++i) {
      const DirectoryItem& item = directory->items[i];
      const bool dots = i < 2;
      if (filler(buffer, item.name.c_str(), &item.st, static_cast<off_t>(i + 1),
                 dots ? static_cast<fuse_fill_dir_flags>(0) : FUSE_FILL_DIR_PLUS) != 0)
        break;
    }
    return 0;
  });
}

int OpReleasedir(const char* /*path*/, fuse_file_info* fi) {
  return Guarded([&] {
    std::unique_ptr<OpenDirectory> directory = Current()->Directories().Take(fi->fh);
    fi->fh = 0;
    if (directory) Current()->Owner().OnCloseEnumeration(directory->info, directory->context);
    return 0;
  });
}

int OpOpen(const char* path, fuse_file_info* fi) {
  if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC) != 0) return -EROFS;
  return Guarded([&] {
    auto file = std::make_unique<OpenFile>();
    file->info.FileName = path != nullptr ? path : "";
    // Read access only; the volume is opened shared.
    Current()->Owner().OnOpenFile(file->info.FileName, 0x80000000u, 0x1u, file->context);
    fi->fh = Current()->Files().Add(std::move(file));
    fi->keep_cache = 1;
    fi->noflush = 1;
    return 0;
  });
}

int OpRead(const char* /*path*/, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  return Guarded([&] {
    auto* file = reinterpret_cast<OpenFile*>(fi->fh);
    if (file == nullptr) return -EBADF;
    std::int32_t done = 0;
    const auto count = static_cast<std::int32_t>(std::min<size_t>(size, 0x40000000));
    Current()->Owner().OnReadFile(file->info, file->context, offset, buffer, count, done);
    return static_cast<int>(std::max<std::int32_t>(0, std::min(done, count)));
  });
}

int OpRelease(const char* /*path*/, fuse_file_info* fi) {
  return Guarded([&] {
    std::unique_ptr<OpenFile> file = Current()->Files().Take(fi->fh);
    fi->fh = 0;
    if (file) Current()->Owner().OnCloseFile(file->info, file->context);
    return 0;
  });
}

// A symbolic link's target is the text the volume stores: never resolved
// here, whatever it names.
int OpReadlink(const char* path, char* buffer, size_t size) {
  if (size == 0) return -EINVAL;
  return Guarded([&] {
    bool exists = false;
    TCbFsEntryInfo info;
    Current()->Owner().OnGetFileInfo(path != nullptr ? path : "", exists, info);
    if (!exists) return -ENOENT;
    if ((info.FileAttributes & kAttrSymlink) == 0 || (info.FileAttributes & kAttrDirectory) != 0) return -EINVAL;
    if (info.LinkTarget.empty()) return -EIO;
    const std::size_t n = std::min(size - 1, info.LinkTarget.size());
    std::memcpy(buffer, info.LinkTarget.data(), n);
    buffer[n] = '\0';
    return 0;
  });
}

int OpStatfs(const char* /*path*/, struct statvfs* st) {
  return Guarded([&] {
    std::int64_t total = 0, available = 0;
    std::uint32_t sectorsPerUnit = 1, bytesPerSector = 512;
    Current()->Owner().OnGetVolumeSize(total, available, sectorsPerUnit, bytesPerSector);
    std::memset(st, 0, sizeof *st);
    st->f_bsize = st->f_frsize = static_cast<unsigned long>(std::max<std::uint32_t>(1, sectorsPerUnit) *
                                                            std::max<std::uint32_t>(1, bytesPerSector));
    st->f_blocks = static_cast<fsblkcnt_t>(std::max<std::int64_t>(0, total));
    st->f_bfree = st->f_bavail = static_cast<fsblkcnt_t>(std::max<std::int64_t>(0, available));
    st->f_namemax = 255;
    st->f_flag = ST_RDONLY;
    return 0;
  });
}

// Every request that would change the volume.
int OpRofs() { return -EROFS; }
int OpWrite(const char*, const char*, size_t, off_t, fuse_file_info*) { return OpRofs(); }
int OpCreate(const char*, mode_t, fuse_file_info*) { return OpRofs(); }
int OpMknod(const char*, mode_t, dev_t) { return OpRofs(); }
int OpMkdir(const char*, mode_t) { return OpRofs(); }
int OpUnlink(const char*) { return OpRofs(); }
int OpRmdir(const char*) { return OpRofs(); }
int OpSymlink(const char*, const char*) { return OpRofs(); }
int OpRename(const char*, const char*, unsigned int) { return OpRofs(); }
int OpLink(const char*, const char*) { return OpRofs(); }
int OpChmod(const char*, mode_t, fuse_file_info*) { return OpRofs(); }
int OpChown(const char*, uid_t, gid_t, fuse_file_info*) { return OpRofs(); }
int OpTruncate(const char*, off_t, fuse_file_info*) { return OpRofs(); }
int OpUtimens(const char*, const timespec[2], fuse_file_info*) { return OpRofs(); }
int OpSetxattr(const char*, const char*, const char*, size_t, int) { return OpRofs(); }
int OpRemovexattr(const char*, const char*) { return OpRofs(); }
int OpFallocate(const char*, int, off_t, off_t, fuse_file_info*) { return OpRofs(); }

fuse_operations MakeOperations() {
  fuse_operations ops{};
  ops.init = OpInit;
  ops.destroy = OpDestroy;
  ops.getattr = OpGetattr;
  ops.opendir = OpOpendir;
  ops.readdir = OpReaddir;
  ops.releasedir = OpReleasedir;
  ops.open = OpOpen;
  ops.read = OpRead;
  ops.release = OpRelease;
  ops.statfs = OpStatfs;
  ops.readlink = OpReadlink;
  ops.write = OpWrite;
  ops.create = OpCreate;
  ops.mknod = OpMknod;
  ops.mkdir = OpMkdir;
  ops.unlink = OpUnlink;
  ops.rmdir = OpRmdir;
  ops.symlink = OpSymlink;
  ops.rename = OpRename;
  ops.link = OpLink;
  ops.chmod = OpChmod;
  ops.chown = OpChown;
  ops.truncate = OpTruncate;
  ops.utimens = OpUtimens;
  ops.setxattr = OpSetxattr;
  ops.removexattr = OpRemovexattr;
  ops.fallocate = OpFallocate;
  return ops;
}

// Mount options take ',' and '\' only escaped.
std::string EscapeOption(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == ',' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

void FuseMount::Start(const CbFsMountOptions& options) {
  static const fuse_operations kOperations = MakeOperations();
  fuse_args args = FUSE_ARGS_INIT(0, nullptr);
  const std::string label = options.label.empty() ? std::string("vandrel") : options.label;
  const std::vector<std::string> arguments = {
      "vandrel", "-o", "ro", "-o", "nodev", "-o", "fsname=" + EscapeOption(label), "-o", "subtype=vandrel",
  };
  for (const std::string& a : arguments) fuse_opt_add_arg(&args, a.c_str());
  fuse_ = fuse_new(&args, &kOperations, sizeof kOperations, this);
  fuse_opt_free_args(&args);
  if (fuse_ == nullptr) throw ECbFsError("Can't create the FUSE session");
  if (fuse_mount(fuse_, folder_.c_str()) != 0) {
    fuse_destroy(fuse_);
    fuse_ = nullptr;
    throw ECbFsError("Can't mount the volume at " + folder_ + " (is /dev/fuse usable?)");
  }
  running_ = true;
  const unsigned threads = std::max(1u, options.threads);
  loop_ = std::thread([this, threads] { Loop(threads); });

  std::unique_lock lock(stateMutex_);
  const bool live = stateChanged_.wait_for(lock, std::chrono::milliseconds(options.timeoutMs),
                                           [this] { return initialised_ || loopEnded_; });
  const bool failed = !live || !initialised_;
  lock.unlock();
  if (failed) {
    Stop(true);
    throw ECbFsError("The volume at " + folder_ + " did not come up in time");
  }
  struct stat st {};
  if (::stat(folder_.c_str(), &st) == 0) device_ = st.st_dev;
  TuneReadahead();
}

void FuseMount::Loop(unsigned threads) {
  fuse_loop_config* config = fuse_loop_cfg_create();
  fuse_loop_cfg_set_max_threads(config, threads);
  fuse_loop_cfg_set_idle_threads(config, threads);
  fuse_loop_cfg_set_clone_fd(config, 0);
  fuse_loop_mt(fuse_, config);
  fuse_loop_cfg_destroy(config);
  running_ = false;
  std::lock_guard lock(stateMutex_);
  loopEnded_ = true;
  stateChanged_.notify_all();
}

// Sequential reads go faster with a readahead as large as a request; the
// kernel starts FUSE volumes at 128 KiB. Best effort: needs root.
void FuseMount::TuneReadahead() {
  if (device_ == 0 || !platform::RunningAsRoot()) return;
  const std::string path = "/sys/class/bdi/" + std::to_string(major(device_)) + ":" + std::to_string(minor(device_)) +
                           "/read_ahead_kb";
  std::ofstream out(path);
  if (out) out << (kMaxRequestBytes / 1024) << "\n";
}

// No request runs any more: what the kernel never released is closed here.
void FuseMount::CloseLeftHandles() {
  for (auto& file : files_.TakeAll()) {
    try {
      owner_.OnCloseFile(file->info, file->context);
    } catch (...) {
    }
  }
  for (auto& directory : directories_.TakeAll()) {
    try {
      owner_.OnCloseEnumeration(directory->info, directory->context);
    } catch (...) {
    }
  }
}

// Ends every request of a detached volume that is still held open.
bool FuseMount::AbortConnection() {
  if (device_ == 0) return false;
  std::ofstream out("/sys/fs/fuse/connections/" + std::to_string(minor(device_)) + "/abort");
  if (!out) return false;
  out << "1\n";
  return static_cast<bool>(out.flush());
}

void FuseMount::Stop(bool force) {
  if (fuse_ == nullptr) return;
  if (running_) {
    std::string error;
    if (platform::DetachMount(folder_, false, error)) {
      fuse_exit(fuse_);
    } else {
      // Busy: take it off the folder now and end the requests of the files
      // still open, as a forced removal of the media does.
      const int root = ::open(folder_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      fuse_exit(fuse_);
      if (!platform::DetachMount(folder_, true, error) && platform::IsMountPoint(folder_) && !force) {
        if (root >= 0) ::close(root);
        throw ECbFsError("Can't unmount " + folder_ + ": " + error);
      }
      if (!AbortConnection() && root >= 0) {
        // Without the connection's abort switch (fusectl not mounted) the
        // workers see the end only with their next request, which they drop
        // unanswered: ask from a thread of its own, which the closing of the
        // session's device sets free.
        std::thread([root] {
          struct statfs volume {};
          ::fstatfs(root, &volume);
          ::close(root);
        }).detach();
      } else if (root >= 0) {
        ::close(root);
      }
    }
  }
  std::unique_lock lock(stateMutex_);
  const bool ended = stateChanged_.wait_for(lock, std::chrono::seconds(5), [this] { return loopEnded_; });
  lock.unlock();
  if (!ended) {
    // The session cannot be ended from here; leave it to the process's end
    // rather than free what its threads still use.
    LogText("CbFs: the session at " + folder_ + " still serves open files; left to end with the program");
    loop_.detach();
    fuse_ = nullptr;
    return;
  }
  if (loop_.joinable()) loop_.join();
  CloseLeftHandles();
  fuse_unmount(fuse_);
  fuse_destroy(fuse_);
  fuse_ = nullptr;
}

}  // namespace

std::unique_ptr<CbFsMount> StartCbFsMount(TCallbackFileSystem& owner, const std::string& folder,
                                          const CbFsMountOptions& options) {
  auto mount = std::make_unique<FuseMount>(owner, folder);
  mount->Start(options);
  return mount;
}

void QueryBackendState(bool& installed, std::uint32_t& versionHigh, std::uint32_t& versionLow) {
  installed = BackendProblem().empty();
  unsigned major = 0, minor = 0, release = 0;
  const char* text = fuse_pkgversion();
  if (text == nullptr || std::sscanf(text, "%u.%u.%u", &major, &minor, &release) < 2) {
    const int v = fuse_version();
    major = static_cast<unsigned>(v / 100);
    minor = static_cast<unsigned>(v % 100);
  }
  versionHigh = ((major & 0xFFFFu) << 16) | (minor & 0xFFFFu);
  versionLow = (release & 0xFFFFu) << 16;
}

std::string BackendProblem() {
  if (::access("/dev/fuse", F_OK) != 0)
    return "/dev/fuse is missing, the fuse kernel module is not loaded. Install the fuse3 package and load the "
           "module (as root: apt install fuse3, then modprobe fuse).";
  // As the effective user, who opens it.
  if (::euidaccess("/dev/fuse", R_OK | W_OK) != 0)
    return "this user may not open /dev/fuse. Ask the administrator to open /dev/fuse to users (most systems "
           "do), or run Vandrel as root.";
  if (!platform::RunningAsRoot() && !platform::ProgramOnPath("fusermount3"))
    return "fusermount3 is missing. Install the fuse3 package (as root: apt install fuse3).";
  return {};
}

std::string BackendDriverName() { return "fuse kernel module of the fuse3 package"; }

bool BackendDriverPresent(const std::string& /*driverFile*/) {
  return ::access("/dev/fuse", F_OK) == 0 || ::access("/sys/module/fuse", F_OK) == 0 ||
         platform::RunProgram({"modprobe", "-n", "fuse"}) == 0;
}

void InstallBackend(const std::string& /*driverFile*/) {
  if (::access("/dev/fuse", F_OK) != 0 && platform::RunProgram({"modprobe", "fuse"}) != 0)
    throw ECbFsError("Can't load the fuse kernel module: install the fuse3 package, then run 'modprobe fuse' as root");
  if (::access("/dev/fuse", F_OK) != 0)
    throw ECbFsError("/dev/fuse is missing: install the fuse3 package and load the fuse module");
  if (::access("/dev/fuse", R_OK | W_OK) != 0) throw ECbFsError("/dev/fuse is not accessible for this user");
  if (!platform::RunningAsRoot() && !platform::ProgramOnPath("fusermount3"))
    throw ECbFsError("fusermount3 is missing: install the fuse3 package");
}

}  // namespace vandrel
