// `cat ADDR [PATH]`: a file's bytes, or with no path the raw sectors of any
// storage, to stdout.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <vector>

#include "cli/progress.h"
#include "cli/volume_files.h"
#include "common/func.h"

namespace vandrel::cli {
namespace {

struct CatOptions {
  std::string address;
  std::string path;
  bool follow = false;
};

// Links one --follow may pass, as many as Linux follows for one open.
constexpr int kMaxLinkHops = 40;

// The volume path a relative link target names from the link's folder;
// throws when the target leaves the volume.
std::string LinkDestination(const std::string& linkPath, const std::string& target) {
  const bool driveLetter = target.size() >= 2 && target[1] == ':' && std::isalpha(static_cast<unsigned char>(target[0]));
  if (target.empty() || target.front() == kPathDelimiter || driveLetter)
    throw CliError(kExitFailure, linkPath + " is a symbolic link to " + target + ", outside this volume");
  std::vector<std::string> parts;
  std::string folder = linkPath.substr(0, linkPath.rfind(kPathDelimiter));
  for (const std::string& text : {folder, target}) {
    std::size_t begin = 0;
    while (begin <= text.size()) {
      std::size_t end = text.find(kPathDelimiter, begin);
      if (end == std::string::npos) end = text.size();
      const std::string part = text.substr(begin, end - begin);
      if (part == "..") {
        if (parts.empty()) throw CliError(kExitFailure, linkPath + " is a symbolic link to " + target + ", outside this volume");
        parts.pop_back();
      } else if (!part.empty() && part != ".") {
        parts.push_back(part);
      }
      begin = end + 1;
    }
  }
  std::string out;
  for (const std::string& part : parts) out += kPathDelimiter + part;
  return out.empty() ? std::string(1, kPathDelimiter) : out;
}

// Raw sectors; unreadable ones are written as zeros, counted and reported,
// so a rescue copy keeps every position of the storage.
int CatRaw(Session& session, const Address& address) {
  TStorage* storage = ResolveAddress(session, address);
  if (storage->SectorSize <= 0 || storage->SectorCount <= 0) throw CliError(kExitFailure, address.text + ": empty storage");
  if (!storage->Open(true, false, false)) throw CliError(kExitFailure, address.text + ": cannot open storage");
  const std::int32_t sectorSize = storage->SectorSize;
  const std::int32_t perRead = std::max<std::int32_t>(1, (4 << 20) / sectorSize);
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(perRead) * static_cast<std::size_t>(sectorSize));
  const std::uint64_t totalBytes = static_cast<std::uint64_t>(storage->Size);
  ProgressBar bar(TDeviceManager::DisplayName(storage, true), totalBytes, ProgressBar::Wanted(true));
  std::uint64_t written = 0;
  std::int64_t unreadable = 0;
  try {
    for (std::int64_t sector = 0; sector < storage->SectorCount;) {
      const auto count = static_cast<std::int32_t>(std::min<std::int64_t>(perRead, storage->SectorCount - sector));
      if (!storage->ReadSectors(buffer.data(), count, sector)) {
        // Retry sector by sector so that one bad sector costs only itself.
        for (std::int32_t i = 0; i < count; ++i) {
          std::uint8_t* at = buffer.data() + static_cast<std::size_t>(i) * static_cast<std::size_t>(sectorSize);
          if (!storage->ReadSectors(at, 1, sector + i)) ++unreadable;
        }
      }
      // The last sector of an image may be partly outside the file.
      std::uint64_t bytes = static_cast<std::uint64_t>(count) * static_cast<std::uint64_t>(sectorSize);
      bytes = std::min(bytes, totalBytes - std::min(totalBytes, written));
      WriteAll(stdout, buffer.data(), static_cast<std::size_t>(bytes));
      written += bytes;
      bar.Add(bytes);
      sector += count;
    }
  } catch (...) {
    storage->Close(false);
    throw;
  }
  storage->Close(false);
  bar.Finish();
  std::fflush(stdout);
  if (unreadable > 0) {
    std::cerr << "vandrel-cli: " << unreadable << " unreadable sector(s) written as zeros\n";
    return kExitFailure;
  }
  return kExitOk;
}

int RunCat(Session& session, const CatOptions& options) {
  const Address address = ParseAddress(options.address);
  if (options.path.empty()) return CatRaw(session, address);
  TStorage* volume = OpenVolume(session, address);
  std::string path = options.path;
  std::string stream;
  TFileEntry entry;
  const std::string normalized = NormalizePath(path);
  if (!volume->Reader->LookupPath(normalized, entry, true, nullptr)) {
    // "file:stream" names a named stream of the file.
    const auto colon = normalized.rfind(':');
    if (colon == std::string::npos || colon < normalized.rfind(kPathDelimiter)) throw CliError(kExitFailure, "not found: " + normalized);
    stream = normalized.substr(colon + 1);
    path = normalized.substr(0, colon);
  }
  entry = LookupEntry(volume, path);
  path = NormalizePath(path);
  for (int hops = 0; (entry.Attributes & kAttrSymlink) != 0; ++hops) {
    const std::string target = LinkTarget(entry);
    if (!options.follow) throw CliError(kExitFailure, path + " is a symbolic link to " + target + " (--follow reads what it names)");
    if (hops >= kMaxLinkHops) throw CliError(kExitFailure, path + ": too many levels of symbolic links");
    path = LinkDestination(path, target);
    entry = LookupEntry(volume, path);
  }
  if (entry.IsDirectory() && stream.empty()) throw CliError(kExitFailure, "is a directory: " + NormalizePath(path));
  ProgressBar bar(entry.Name, static_cast<std::uint64_t>(std::max<std::int64_t>(entry.Size, 0)), ProgressBar::Wanted(true));
  CopyEntryData(
      session.Devices(), entry, stream, [](const std::uint8_t* data, std::size_t size) { WriteAll(stdout, data, size); },
      [&bar](std::uint64_t bytes) { bar.Add(bytes); });
  bar.Finish();
  std::fflush(stdout);
  return kExitOk;
}

const CommandRegistrar kRegistrar{
    {"cat", "Write a file (PATH, or PATH:stream) or, without PATH, the raw storage to stdout", [](CLI::App& command) {
       auto options = std::make_shared<CatOptions>();
       command.add_option("ADDR", options->address, "Storage or volume address D:P or D")->required();
       command.add_option("PATH", options->path, "File path inside the volume");
       command.add_flag("--follow", options->follow, "Read what a symbolic link names (inside this volume only)");
       return std::function<int(Session&)>([options](Session& session) { return RunCat(session, *options); });
     }}};

}  // namespace
}  // namespace vandrel::cli
