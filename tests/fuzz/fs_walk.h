// Shared by the reader fuzz targets and the mutation tests: list every
// directory a reader shows (bounded depth and count), read every file it
// lists, and check that what a read hands out as success is the image's.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "filesystems/file_system.h"

namespace vandrel::fuzz {

// Every 512-byte piece of an image at a 512-byte boundary. Readers place
// file data in whole sectors, so each whole sector-aligned piece of a
// successful read is zeros (a hole, a range past the initialized size) or
// one of these; anything else was made up.
class ImageTruth {
 public:
  static constexpr std::size_t kPiece = 512;

  explicit ImageTruth(std::span<const std::uint8_t> image) {
    for (std::size_t at = 0; at + kPiece <= image.size(); at += kPiece) pieces_.insert(Hash(image.data() + at));
  }

  // Whether `n` bytes read at file offset `position` hold only such pieces.
  bool Holds(std::int64_t position, const std::uint8_t* bytes, std::size_t n) const {
    const auto skip = static_cast<std::size_t>((kPiece - static_cast<std::uint64_t>(position) % kPiece) % kPiece);
    for (std::size_t at = skip; at + kPiece <= n; at += kPiece) {
      const std::uint8_t* piece = bytes + at;
      bool zeros = true;
      for (std::size_t i = 0; i < kPiece && zeros; ++i) zeros = piece[i] == 0;
      if (!zeros && pieces_.count(Hash(piece)) == 0) return false;
    }
    return true;
  }

 private:
  static std::uint64_t Hash(const std::uint8_t* piece) {
    std::uint64_t h = 14695981039346656037ULL;  // FNV-1a
    for (std::size_t i = 0; i < kPiece; ++i) h = (h ^ piece[i]) * 1099511628211ULL;
    return h;
  }
  std::unordered_set<std::uint64_t> pieces_;
};

// Called for every file after the plain read; a reader's own extra paths.
using FileVisitor = void (*)(FileSystem& fs, const TFileEntry& file);
// Whether a file's bytes are legitimately not the image's own: NTFS
// compressed or encrypted data (served decompressed or as an export) and
// data kept inside a record (resident NTFS values, Ext inline data).
using TransformedData = bool (*)(FileSystem& fs, const TFileEntry& file);

struct WalkCheck {
  const ImageTruth* truth = nullptr;
  TransformedData transformed = nullptr;
  std::vector<std::string> wrong;  // files whose read handed out bytes the image lacks
};

inline void WalkAndRead(FileSystem& fs, const TFileEntry& directory, int depth, int& budget, FileVisitor visit,
                        WalkCheck* check) {
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
    FsHandle file = fs.OpenFile(entry);
    if (file == kNoHandle) continue;
    const bool checked = check != nullptr && check->truth != nullptr &&
                         (check->transformed == nullptr || !check->transformed(fs, entry));
    bool right = true;
    std::int64_t position = 0;
    for (int reads = 0; reads < 16; ++reads) {
      const std::int32_t got = fs.Read(file, buffer.data(), static_cast<std::int32_t>(buffer.size()));
      if (got <= 0) break;
      if (checked) right = right && check->truth->Holds(position, buffer.data(), static_cast<std::size_t>(got));
      position += got;
    }
    position = fs.Seek(file, kSeekBegin, entry.Size / 2);
    const std::int32_t got = fs.Read(file, buffer.data(), 4097);
    if (checked && got > 0) right = right && check->truth->Holds(position, buffer.data(), static_cast<std::size_t>(got));
    fs.CloseFile(file);
    if (!right) check->wrong.push_back(entry.Name);
    if (visit != nullptr) visit(fs, entry);
  }
  fs.FindClose(handle);
  for (const TFileEntry& sub : subdirs) WalkAndRead(fs, sub, depth - 1, budget, visit, check);
}

inline void WalkAndRead(FileSystem& fs, FileVisitor visit = nullptr, WalkCheck* check = nullptr) {
  int budget = 2000;
  TFileEntry root = fs.RootEntry();
  root.Storage = fs.Storage();
  root.Fs = &fs;
  WalkAndRead(fs, root, 8, budget, visit, check);
}

}  // namespace vandrel::fuzz
