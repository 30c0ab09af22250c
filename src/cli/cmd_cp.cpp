// `cp [-r] ADDR PATH DEST`: copy files out of a volume.
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "cli/progress.h"
#include "cli/volume_files.h"
#include "filesystems/dir_list_ex.h"

namespace vandrel::cli {
namespace {

namespace fs = std::filesystem;

struct CpOptions {
  std::string address;
  std::string path;
  std::string destination;
  bool recursive = false;
  bool force = false;
};

const char* KindText(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

// The permission bits a new file gets from the user's umask.
mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// Puts the finished `temporary` under `target`'s name. Without `replace`
// an object that appeared there meanwhile is kept, never overwritten.
bool PlaceFile(const std::string& temporary, const std::string& target, bool replace) {
  if (replace) return ::rename(temporary.c_str(), target.c_str()) == 0;
  if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without RENAME_NOREPLACE: link() never replaces either.
  if (::link(temporary.c_str(), target.c_str()) != 0) return false;
  ::unlink(temporary.c_str());
  return true;
}

// NTFS metadata kept only as indexes or named streams ($Secure, and $ObjId,
// $Quota, $Reparse in $Extend): no unnamed data to copy, so nothing failed.
bool IsMetadataWithoutData(const TFileEntry& entry) {
  if (entry.Fs == nullptr || entry.Fs->GetKind() != TFileSystemKind::kNtfs || entry.Name.empty() || entry.Name[0] != '$') return false;
  TDirListEx streams;
  if (!entry.Fs->ListStreams(entry, streams)) return false;
  for (std::int32_t i = 0; i < streams.Count(); ++i) {
    const TFileEntry* stream = streams.Items(i);
    if (stream != nullptr && stream->ParentId == 0x80 && stream->Name.empty()) return false;
  }
  return true;
}

class Copier {
 public:
  // Everything is written inside `root`, an existing or new folder.
  Copier(TDeviceManager& devices, const fs::path& root, bool showProgress, bool force)
      : devices_(devices), root_(fs::weakly_canonical(fs::absolute(root))), progress_(showProgress), force_(force) {}

  // Writes the entry's data as a regular file at `target`. Only a regular
  // file is ever replaced there, and only when `replace` (the user named it,
  // or asked for --force); the destination's final name is never followed
  // as a link.
  void CopyFile(const TFileEntry& entry, const fs::path& target, bool replace) {
    struct stat st {};
    const bool exists = ::lstat(target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode))
      throw CliError(kExitFailure, "will not write over " + target.string() + ": it is " + KindText(st.st_mode));
    if (exists && !replace) throw CliError(kExitFailure, target.string() + " exists (--force replaces it)");
    // A fresh name of our own beside the target (O_EXCL: nothing planted
    // there is opened or followed).
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string temporary = (folder / ".vandrel-partial-XXXXXX").string();
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) throw CliError(kExitFailure, "cannot create " + target.string() + ": " + std::strerror(errno));
    ::fchmod(fd, NewFileMode());
    std::FILE* out = ::fdopen(fd, "wb");
    if (out == nullptr) {
      ::close(fd);
      ::unlink(temporary.c_str());
      throw CliError(kExitFailure, "cannot create " + target.string());
    }
    ProgressBar bar(entry.Name, static_cast<std::uint64_t>(std::max<std::int64_t>(entry.Size, 0)),
                    progress_ && ProgressBar::Wanted(false));
    std::string damage;
    try {
      CopyEntryData(
          devices_, entry, "", [out](const std::uint8_t* data, std::size_t size) { WriteAll(out, data, size); },
          [&bar](std::uint64_t bytes) { bar.Add(bytes); }, &damage);
    } catch (...) {
      std::fclose(out);
      std::remove(temporary.c_str());
      throw;
    }
    bar.Finish();
    if (std::fclose(out) != 0) {
      std::remove(temporary.c_str());
      throw CliError(kExitFailure, "write error: " + target.string());
    }
    // A file appears under its name only once it is complete.
    if (!PlaceFile(temporary, target.string(), exists)) {
      const std::string why = std::strerror(errno);
      ::unlink(temporary.c_str());
      throw CliError(kExitFailure, "cannot create " + target.string() + ": " + why);
    }
    SetTime(entry, target);
    // The copy is kept, zeros in place of what could not be read, and counted as failed.
    if (!damage.empty()) throw CliError(kExitFailure, damage);
  }

  // A symbolic link is made again as a link with the text the volume
  // stores: never followed, never written over anything already there.
  static void CopyLink(const TFileEntry& entry, const fs::path& target) {
    const std::string text = LinkTarget(entry);
    if (text.empty()) throw CliError(kExitFailure, "cannot read the link " + entry.Name);
    if (::symlink(text.c_str(), target.c_str()) == 0) return;
    const int error = errno;
    struct stat st {};
    if (error == EEXIST && ::lstat(target.c_str(), &st) == 0)
      throw CliError(kExitFailure, "will not write over " + target.string() + ": it is " + KindText(st.st_mode));
    throw CliError(kExitFailure, "cannot create " + target.string() + ": " + std::strerror(error));
  }

  // A directory at `target`: made, or one already there (not a link to one).
  static void MakeDirectory(const fs::path& target) {
    if (::mkdir(target.c_str(), 0777) == 0) return;
    const int error = errno;
    struct stat st {};
    if (error == EEXIST && ::lstat(target.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) return;
      throw CliError(kExitFailure, "will not write over " + target.string() + ": it is " + KindText(st.st_mode));
    }
    throw CliError(kExitFailure, "cannot create " + target.string() + ": " + std::strerror(error));
  }

  void CopyTree(const std::string& sourcePath, const TFileEntry& directory, const fs::path& target, TreeWalkGuard& guard) {
    MakeDirectory(target);
    std::vector<TFileEntry> children;
    if (!ListChildren(directory, sourcePath, children)) failed_ = true;
    for (const TFileEntry& child : children) {
      const std::string childPath = JoinPath(sourcePath, child.Name);
      const fs::path childTarget = target / child.Name;
      try {
        CheckInside(childTarget);
        if ((child.Attributes & kAttrSymlink) != 0) {
          CopyLink(child, childTarget);
        } else if (child.IsDirectory()) {
          const auto verdict = guard.Check(child);
          if (verdict != TreeWalkGuard::Verdict::Enter) {
            if (guard.Report(verdict, childPath)) failed_ = true;
            continue;
          }
          const TreeWalkGuard::Inside inside(guard, child);
          CopyTree(childPath, child, childTarget, guard);
        } else if (IsMetadataWithoutData(child)) {
          std::cerr << "vandrel-cli: " << childPath << ": volume metadata without a data stream, not copied\n";
        } else if ((child.Attributes & kAttrSpecial) == 0) {
          CopyFile(child, childTarget, force_);
        }
      } catch (const CliError& e) {
        // One unreadable file must not stop the rescue of the others.
        std::cerr << "vandrel-cli: " << TerminalText(childPath) << ": " << TerminalText(e.what()) << "\n";
        failed_ = true;
      }
    }
    SetTime(directory, target);
  }

  bool Failed() const { return failed_; }

 private:
  static void SetTime(const TFileEntry& entry, const fs::path& target) {
    if (entry.LastWriteTime == 0) return;
    struct utimbuf times {};
    times.modtime = static_cast<std::time_t>(FileTimeToUnix(entry.LastWriteTime));
    times.actime = entry.LastAccessTime != 0 ? static_cast<std::time_t>(FileTimeToUnix(entry.LastAccessTime)) : times.modtime;
    ::utime(target.c_str(), &times);
  }

  // Names from disk are single components already; the final path is
  // still checked, its existing part resolved, before anything is written.
  void CheckInside(const fs::path& target) const {
    std::error_code ec;
    const fs::path resolved = fs::weakly_canonical(fs::absolute(target), ec);
    const auto [r, t] = std::mismatch(root_.begin(), root_.end(), resolved.begin(), resolved.end());
    if (ec || r != root_.end() || t == resolved.end())
      throw CliError(kExitFailure, "refusing to write outside " + root_.string() + ": " + target.string());
  }

  TDeviceManager& devices_;
  const fs::path root_;
  bool progress_;
  bool force_;
  bool failed_ = false;
};

int RunCp(Session& session, const CpOptions& options) {
  TStorage* volume = OpenVolume(session, ParseAddress(options.address));
  const std::string sourcePath = NormalizePath(options.path);
  const TFileEntry entry = LookupEntry(volume, sourcePath);
  fs::path target = options.destination;
  std::error_code ec;
  const std::string leaf = entry.Name.empty() || sourcePath == "/" ? std::string("root") : entry.Name;
  // A folder the user names may be reached through a link; what is made
  // inside it never is.
  const bool intoFolder = fs::is_directory(target, ec);
  if (intoFolder) target /= leaf;
  Copier copier(session.Devices(), entry.IsDirectory() ? target : fs::absolute(target).parent_path(), true, options.force);
  if ((entry.Attributes & kAttrSymlink) != 0) {
    Copier::CopyLink(entry, target);
  } else if (entry.IsDirectory()) {
    if (!options.recursive) throw CliError(kExitFailure, sourcePath + " is a directory (use -r)");
    if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
    TreeWalkGuard guard(entry);
    copier.CopyTree(sourcePath, entry, target, guard);
  } else {
    copier.CopyFile(entry, target, !intoFolder || options.force);
  }
  return copier.Failed() ? kExitFailure : kExitOk;
}

const CommandRegistrar kRegistrar{{"cp", "Copy a file or (with -r) a directory out of a volume", [](CLI::App& command) {
                                     auto options = std::make_shared<CpOptions>();
                                     command.add_flag("-r,--recursive", options->recursive, "Copy directories");
                                     command.add_flag("-f,--force", options->force,
                                                      "Replace regular files already at the destination");
                                     command.add_option("ADDR", options->address, "Volume address D:P or D")->required();
                                     command.add_option("PATH", options->path, "Path inside the volume")->required();
                                     command.add_option("DEST", options->destination, "Target file or folder")->required();
                                     return std::function<int(Session&)>(
                                         [options](Session& session) { return RunCp(session, *options); });
                                   }}};

}  // namespace
}  // namespace vandrel::cli
