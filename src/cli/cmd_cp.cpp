// `cp [-r] ADDR PATH DEST`: copy files out of a volume.
#include <sys/stat.h>
#include <utime.h>

#include <cstdio>
#include <filesystem>
#include <iostream>

#include "cli/progress.h"
#include "cli/volume_files.h"

namespace vandrel::cli {
namespace {

namespace fs = std::filesystem;

struct CpOptions {
  std::string address;
  std::string path;
  std::string destination;
  bool recursive = false;
};

class Copier {
 public:
  Copier(TDeviceManager& devices, TStorage* volume, bool showProgress)
      : devices_(devices), volume_(volume), progress_(showProgress) {}

  void CopyFile(const TFileEntry& entry, const fs::path& target) {
    const std::string temporary = target.string() + ".vandrel-partial";
    std::FILE* out = std::fopen(temporary.c_str(), "wb");
    if (out == nullptr) throw CliError(kExitFailure, "cannot create " + target.string());
    ProgressBar bar(entry.Name, static_cast<std::uint64_t>(std::max<std::int64_t>(entry.Size, 0)),
                    progress_ && ProgressBar::Wanted(false));
    try {
      CopyEntryData(
          devices_, entry, "", [out](const std::uint8_t* data, std::size_t size) { WriteAll(out, data, size); },
          [&bar](std::uint64_t bytes) { bar.Add(bytes); });
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
    std::error_code ec;
    fs::rename(temporary, target, ec);
    if (ec) throw CliError(kExitFailure, "cannot create " + target.string() + ": " + ec.message());
    SetTime(entry, target);
  }

  void CopyTree(const std::string& sourcePath, const TFileEntry& directory, const fs::path& target, TreeWalkGuard& guard) {
    std::error_code ec;
    fs::create_directories(target, ec);
    if (ec) throw CliError(kExitFailure, "cannot create " + target.string() + ": " + ec.message());
    std::vector<TFileEntry> children;
    if (!ForEachChild(devices_, volume_, sourcePath, [&](const TFileEntry& e) { children.push_back(e); })) {
      std::cerr << "vandrel-cli: cannot list " << sourcePath << "\n";
      failed_ = true;
      return;
    }
    for (const TFileEntry& child : children) {
      const std::string childPath = JoinPath(sourcePath, child.Name);
      const fs::path childTarget = target / child.Name;
      try {
        if (child.IsDirectory()) {
          const auto verdict = guard.Check(child);
          if (verdict != TreeWalkGuard::Verdict::Enter) {
            if (guard.Report(verdict, childPath)) failed_ = true;
            continue;
          }
          const TreeWalkGuard::Inside inside(guard, child);
          CopyTree(childPath, child, childTarget, guard);
        } else if ((child.Attributes & kAttrSpecial) == 0) {
          CopyFile(child, childTarget);
        }
      } catch (const CliError& e) {
        // One unreadable file must not stop the rescue of the others.
        std::cerr << "vandrel-cli: " << childPath << ": " << e.what() << "\n";
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

  TDeviceManager& devices_;
  TStorage* volume_;
  bool progress_;
  bool failed_ = false;
};

int RunCp(Session& session, const CpOptions& options) {
  TStorage* volume = OpenVolume(session, ParseAddress(options.address));
  const std::string sourcePath = NormalizePath(options.path);
  const TFileEntry entry = LookupEntry(volume, sourcePath);
  fs::path target = options.destination;
  std::error_code ec;
  const std::string leaf = entry.Name.empty() || sourcePath == "/" ? std::string("root") : entry.Name;
  if (fs::is_directory(target, ec)) target /= leaf;
  Copier copier(session.Devices(), volume, true);
  if (entry.IsDirectory()) {
    if (!options.recursive) throw CliError(kExitFailure, sourcePath + " is a directory (use -r)");
    TreeWalkGuard guard(entry);
    copier.CopyTree(sourcePath, entry, target, guard);
  } else {
    copier.CopyFile(entry, target);
  }
  return copier.Failed() ? kExitFailure : kExitOk;
}

const CommandRegistrar kRegistrar{{"cp", "Copy a file or (with -r) a directory out of a volume", [](CLI::App& command) {
                                     auto options = std::make_shared<CpOptions>();
                                     command.add_flag("-r,--recursive", options->recursive, "Copy directories");
                                     command.add_option("ADDR", options->address, "Volume address D:P or D")->required();
                                     command.add_option("PATH", options->path, "Path inside the volume")->required();
                                     command.add_option("DEST", options->destination, "Target file or folder")->required();
                                     return std::function<int(Session&)>(
                                         [options](Session& session) { return RunCp(session, *options); });
                                   }}};

}  // namespace
}  // namespace vandrel::cli
