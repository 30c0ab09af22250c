#include "platform/mount_points.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <pwd.h>
#include <sched.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "platform/settings.h"
#include "platform/linux/sysfs.h"

extern char** environ;

namespace vandrel::platform {
namespace {

// Absolute form without following the last component, which may be a dead
// mount that every stat refuses.
std::string AbsoluteFolder(const std::string& folder) {
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty()) return path;
  if (path.front() != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) != nullptr) path = std::string(cwd) + "/" + path;
  }
  const auto slash = path.rfind('/');
  const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = path.substr(slash + 1);
  char resolved[PATH_MAX];
  if (::realpath(parent.c_str(), resolved) == nullptr) return path;
  const std::string base(resolved);
  return base == "/" ? "/" + name : base + "/" + name;
}

bool FolderIsEmpty(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return false;
  bool empty = true;
  while (dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  ::closedir(dir);
  return empty;
}

}  // namespace

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
  return "/";
}

std::string ProgramFolder() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return ".";
  std::string path(buffer, static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string MountRoot(const std::string& settingsFile) {
  std::string root = TIniFile(settingsFile).ReadString("main", "mount_root", "");
  if (root.empty()) root = HomeFolder() + "/Vandrel";
  if (root.size() > 1 && root[0] == '~' && root[1] == '/') root = HomeFolder() + root.substr(1);
  return root;
}

bool IsDriveLetterPoint(std::string_view point) {
  return point.size() == 2 && point[1] == ':' &&
         ((point[0] >= 'A' && point[0] <= 'Z') || (point[0] >= 'a' && point[0] <= 'z'));
}

std::string MountFolderFor(std::string_view point, const std::string& mountRoot) {
  if (IsDriveLetterPoint(point)) {
    const char letter = static_cast<char>(point[0] >= 'a' ? point[0] - 'a' + 'A' : point[0]);
    return AbsoluteFolder(mountRoot + "/" + std::string(1, letter));
  }
  return AbsoluteFolder(std::string(point));
}

bool IsMountPoint(const std::string& folder) {
  const std::string wanted = AbsoluteFolder(folder);
  std::istringstream lines(linux_detail::ReadTextFile("/proc/self/mountinfo", 4 << 20));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string id, parent, majorMinor, root, mountPoint;
    if (!(fields >> id >> parent >> majorMinor >> root >> mountPoint)) continue;
    if (linux_detail::Unescape(mountPoint) == wanted) return true;
  }
  return false;
}

MountFolderState InspectMountFolder(const std::string& folder) {
  struct stat st {};
  // A FUSE volume answers stat from cached attributes even after its server
  // died; statfs always asks the server.
  struct statvfs vfs {};
  if (::statvfs(folder.c_str(), &vfs) != 0 && (errno == ENOTCONN || errno == ECONNABORTED))
    return MountFolderState::kDeadMount;
  if (::stat(folder.c_str(), &st) != 0) {
    if (errno == ENOTCONN || errno == ECONNABORTED) return MountFolderState::kDeadMount;
    if (errno == ENOENT) return MountFolderState::kMissing;
    return IsMountPoint(folder) ? MountFolderState::kDeadMount : MountFolderState::kNotFolder;
  }
  if (!S_ISDIR(st.st_mode)) return MountFolderState::kNotFolder;
  if (IsMountPoint(folder)) return MountFolderState::kLiveMount;
  return FolderIsEmpty(folder) ? MountFolderState::kEmpty : MountFolderState::kNotEmpty;
}

bool EnsureFolder(const std::string& folder, std::string& error) {
  const std::string path = AbsoluteFolder(folder);
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    const std::string part = path.substr(0, at);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      error = "cannot create folder " + part + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

int RunProgram(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return -1;
  std::vector<char*> argv;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ProgramOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (!folder.empty() && ::access((folder + "/" + name).c_str(), X_OK) == 0) return true;
  }
  return false;
}

bool RunningAsRoot() { return ::geteuid() == 0; }

unsigned ProcessorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

bool DetachMount(const std::string& folder, bool lazy, std::string& error) {
  const std::string path = AbsoluteFolder(folder);
  if (RunningAsRoot()) {
    if (::umount2(path.c_str(), lazy ? MNT_DETACH : 0) == 0) return true;
    error = "cannot unmount " + path + ": " + std::strerror(errno);
    return false;
  }
  const int rc = lazy ? RunProgram({"fusermount3", "-u", "-z", path}) : RunProgram({"fusermount3", "-u", path});
  if (rc == 0) return true;
  error = "cannot unmount " + path + (rc < 0 ? ": fusermount3 is missing (install the fuse3 package)" : "");
  return false;
}

bool CleanDeadMount(const std::string& folder, std::string& error) {
  if (InspectMountFolder(folder) != MountFolderState::kDeadMount) return true;
  if (!DetachMount(folder, true, error)) return false;
  return InspectMountFolder(folder) != MountFolderState::kDeadMount;
}

}  // namespace vandrel::platform
