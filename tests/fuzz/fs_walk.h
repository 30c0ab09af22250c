// Shared by the reader fuzz targets: list every directory a reader shows
// (bounded depth and count) and read every file it lists.
#pragma once

#include <cstdint>
#include <vector>

#include "filesystems/uFileSystem.h"

namespace vandrel::fuzz {

// Called for every file after the plain read; a reader's own extra paths.
using FileVisitor = void (*)(FileSystem& fs, const TFileEntry& file);

inline void WalkAndRead(FileSystem& fs, const TFileEntry& directory, int depth, int& budget, FileVisitor visit) {
  if (depth <= 0 || budget <= 0) return;
  TFileEntry entry;
  const FsHandle handle = fs.FindFirst(directory, entry);
  if (handle == kNoHandle) return;
  std::vector<TFileEntry> subdirs;
  std::vector<std::uint8_t> buffer(65536);
  while (budget-- > 0 && fs.FindNext(handle, entry)) {
    if (entry.Name == "..") continue;
    if (entry.IsDirectory()) {
      subdirs.push_back(entry);
      continue;
    }
    FsHandle file = fs.OpenFile(entry, -1);
    if (file == kNoHandle) continue;
    for (int reads = 0; reads < 16 && fs.Read(file, buffer.data(), static_cast<std::int32_t>(buffer.size())) > 0; ++reads) {
    }
    fs.Seek(file, kSeekBegin, entry.Size / 2);
    fs.Read(file, buffer.data(), 4097);
    fs.CloseFile(file);
    if (visit != nullptr) visit(fs, entry);
  }
  fs.FindClose(handle);
  for (const TFileEntry& sub : subdirs) WalkAndRead(fs, sub, depth - 1, budget, visit);
}

inline void WalkAndRead(FileSystem& fs, FileVisitor visit = nullptr) {
  int budget = 2000;
  TFileEntry root = fs.RootEntry();
  root.Storage = fs.Storage();
  root.Fs = &fs;
  WalkAndRead(fs, root, 8, budget, visit);
}

}  // namespace vandrel::fuzz
