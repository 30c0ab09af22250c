// `cat ADDR [PATH]`: a file's bytes, or with no path the raw sectors of any
// storage, to stdout.
#include <unistd.h>

#include <algorithm>
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
};

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
       return std::function<int(Session&)>([options](Session& session) { return RunCat(session, *options); });
     }}};

}  // namespace
}  // namespace vandrel::cli
