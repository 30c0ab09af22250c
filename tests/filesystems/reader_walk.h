// Helpers of the reader tests: a reader over an image file, the whole tree
// it lists, and the bytes of one file.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "filesystems/file_system.h"
#include "storage/hard_drive.h"

namespace vandrel::test {

// An image file opened as a drive, read by the reader of `selection`.
struct ImageReader {
  std::unique_ptr<THardDrive> drive;
  std::unique_ptr<FileSystem> reader;
  bool opened = false;
};
ImageReader OpenImageReader(const std::string& path, TReaderChoice choice);

// Every entry below the root by path ("/a/b"; directories too), ".."
// left out. Deleted entries are kept apart.
struct TreeListing {
  std::map<std::string, TFileEntry> live;
  std::map<std::string, TFileEntry> deleted;
};
TreeListing ListTree(FileSystem& fs, int maxDepth = 64);

// The file's bytes read in `chunk`-sized reads; false when a read fails
// or the size is not reached.
bool ReadWhole(FileSystem& fs, const TFileEntry& entry, std::vector<std::uint8_t>& out, std::int32_t chunk = 0);

// Output lines of a shell command (empty on failure).
std::vector<std::string> CommandLines(const std::string& command);
std::string ShellQuote(const std::string& text);

}  // namespace vandrel::test
